#pragma once
// KEXTriangleMeshData: the mesh object that holds a mesh. It owns the eight list properties
// (VertexList ... TriangleColorList), computes the derived values on every read (nothing is
// cached, so they are never stale) and announces the derived values whenever a list they depend
// on changes.
#include "kexmesh/objects/TriangleMesh.h"

class KEXTriangleMeshData : public KEXTriangleMesh {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshData)

public:
  /// Empty lists. A failure to allocate the lists reports OutOfMemory (the object then has no list
  /// properties); a failed registration reports GenericError.
  KEXTriangleMeshData();
  /// Copies all lists; a short copy reports OutOfMemory.
  KEXTriangleMeshData(const KEXTriangleMeshData& other);
  /// Copies all lists (each list is replaced whole or not at all; a failure reports OutOfMemory).
  KEXTriangleMeshData& operator=(const KEXTriangleMeshData& other);
  ~KEXTriangleMeshData() override;

  KEXenum getObjectID(int level) const override;

private:
  struct Private;
  Private* m_data = nullptr;
};
