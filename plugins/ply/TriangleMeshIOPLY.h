#pragma once
// Handlers of the plug-in module kexmeshioply: PLY meshes and point clouds, and oriented point
// clouds as XYZ text with normals.
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
