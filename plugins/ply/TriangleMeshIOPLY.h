#pragma once
// The handler of the plug-in module kexmeshioply: PLY meshes and point clouds.
#include "kexmesh/io/TriangleMeshIO.h"

/// PLY, ascii and binary (little and big endian): vertices with optional normals (nx ny nz) and
/// colours (red green blue [alpha], bytes or floats), faces as index lists (polygons are fanned
/// into triangles). A file without faces is a point cloud. Writes binary little endian unless
/// another encoding is set.
class KEXTriangleMeshIOPLY : public KEXTriangleMeshIO {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshIOPLY)

public:
  KEXTriangleMeshIOPLY() = default;
  KEXTriangleMeshIOPLY(const KEXTriangleMeshIOPLY&) = default;
  KEXTriangleMeshIOPLY& operator=(const KEXTriangleMeshIOPLY&) = default;
  ~KEXTriangleMeshIOPLY() override = default;

  const char* getFormatName() const override { return "PLY"; }
  const char* getFileExtensions() const override { return "ply"; }
  bool readBuffer(const char* fileName, KEXTriangleMeshBuffer& buffer, Report& report) override;
  bool writeBuffer(const char* fileName, const KEXTriangleMeshBuffer& buffer, Report& report) override;
};
