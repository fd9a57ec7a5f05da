#pragma once
// Handler of the plug-in module kexmeshiostl.
#include "kexmesh/io/TriangleMeshIO.h"

/// STL, ascii and binary. A read gives a triangle soup (three vertices of its own per triangle,
/// exactly as the file stores them; weld to join them) and the facet normals as triangle normals.
/// Writes binary unless Ascii is set; facet normals come from the triangle normal list when
/// present, else from the triangles.
class KEXTriangleMeshIOSTL : public KEXTriangleMeshIO {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshIOSTL)

public:
  KEXTriangleMeshIOSTL() = default;
  KEXTriangleMeshIOSTL(const KEXTriangleMeshIOSTL&) = default;
  KEXTriangleMeshIOSTL& operator=(const KEXTriangleMeshIOSTL&) = default;
  ~KEXTriangleMeshIOSTL() override = default;

  const char* getFormatName() const override { return "STL"; }
  const char* getFileExtensions() const override { return "stl"; }
  bool readBuffer(const char* fileName, KEXTriangleMeshBuffer& buffer, Report& report) override;
  bool writeBuffer(const char* fileName, const KEXTriangleMeshBuffer& buffer, Report& report) override;
};
