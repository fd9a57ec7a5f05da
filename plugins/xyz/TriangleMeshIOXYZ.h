#pragma once
// The handler of the plug-in module kexmeshioxyz: oriented point clouds as XYZ text.
#include "kexmesh/io/TriangleMeshIO.h"

/// Oriented point clouds as text: one point per line, "x y z" or "x y z nx ny nz" (the same
/// column count on every line), '#' starts a comment; an optional first line holding only the
/// point count is checked. Writes normals when the buffer has them.
class KEXTriangleMeshIOXYZ : public KEXTriangleMeshIO {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshIOXYZ)

public:
  KEXTriangleMeshIOXYZ() = default;
  KEXTriangleMeshIOXYZ(const KEXTriangleMeshIOXYZ&) = default;
  KEXTriangleMeshIOXYZ& operator=(const KEXTriangleMeshIOXYZ&) = default;
  ~KEXTriangleMeshIOXYZ() override = default;

  const char* getFormatName() const override { return "XYZ"; }
  const char* getFileExtensions() const override { return "xyz pwn"; }
  bool readBuffer(const char* fileName, KEXTriangleMeshBuffer& buffer, Report& report) override;
  bool writeBuffer(const char* fileName, const KEXTriangleMeshBuffer& buffer, Report& report) override;
};
