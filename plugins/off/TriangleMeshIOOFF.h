#pragma once
// Handler of the plug-in module kexmeshiooff.
#include "kexmesh/io/TriangleMeshIO.h"

/// OFF text (OFF, NOFF, COFF, CNOFF): vertices with optional normals and colours (floats in
/// [0, 1] or bytes), faces as polygons fanned into triangles; '#' starts a comment. Writes the
/// variant that holds the buffer's vertex normals and colours.
class KEXTriangleMeshIOOFF : public KEXTriangleMeshIO {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshIOOFF)

public:
  KEXTriangleMeshIOOFF() = default;
  KEXTriangleMeshIOOFF(const KEXTriangleMeshIOOFF&) = default;
  KEXTriangleMeshIOOFF& operator=(const KEXTriangleMeshIOOFF&) = default;
  ~KEXTriangleMeshIOOFF() override = default;

  const char* getFormatName() const override { return "OFF"; }
  const char* getFileExtensions() const override { return "off"; }
  bool readBuffer(const char* fileName, KEXTriangleMeshBuffer& buffer, Report& report) override;
  bool writeBuffer(const char* fileName, const KEXTriangleMeshBuffer& buffer, Report& report) override;
};
