#pragma once
// Handler of the plug-in module kexmeshioobj.
#include "kexmesh/io/TriangleMeshIO.h"

/// Wavefront OBJ geometry: "v x y z [r g b]", "vn", and faces "f" with v, v/t, v//n or v/t/n
/// corners (negative indices count back from the last vertex); polygons are fanned into
/// triangles. Corner normals become vertex normals (the first one wins where a vertex has
/// several). Texture coordinates, groups, materials, lines and points are read past.
class KEXTriangleMeshIOOBJ : public KEXTriangleMeshIO {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshIOOBJ)

public:
  KEXTriangleMeshIOOBJ() = default;
  KEXTriangleMeshIOOBJ(const KEXTriangleMeshIOOBJ&) = default;
  KEXTriangleMeshIOOBJ& operator=(const KEXTriangleMeshIOOBJ&) = default;
  ~KEXTriangleMeshIOOBJ() override = default;

  const char* getFormatName() const override { return "OBJ"; }
  const char* getFileExtensions() const override { return "obj"; }
  bool readBuffer(const char* fileName, KEXTriangleMeshBuffer& buffer, Report& report) override;
  bool writeBuffer(const char* fileName, const KEXTriangleMeshBuffer& buffer, Report& report) override;
};
