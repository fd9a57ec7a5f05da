#pragma once
// KEXTriangleMeshDirectAccess: the plain access object. It keeps a copy of its mesh's vertex and
// triangle lists and one position per triangle corner, and rebuilds them when the mesh's
// VertexList or TriangleList changed since (their modification stamps tell). It holds no
// reference to the mesh: the mesh's access list holds one to it, and a reference back would keep
// both alive for ever.
#include "kexmesh/access/TriangleMeshAccessIF.h"

class KEXTriangleMesh;

class KEXTriangleMeshDirectAccess : public KEXTriangleMeshAccessIF {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshDirectAccess)

public:
  /// No mesh. A failed allocation of the private record reports OutOfMemory with the object.
  KEXTriangleMeshDirectAccess();
  /// Tied to the same mesh; builds its own buffer when first asked.
  KEXTriangleMeshDirectAccess(const KEXTriangleMeshDirectAccess& other);
  KEXTriangleMeshDirectAccess& operator=(const KEXTriangleMeshDirectAccess& other);
  ~KEXTriangleMeshDirectAccess() override;

  /// "KEXTriangleMeshDirectAccess" at level 0, the base's identity (level - 1) deeper.
  KEXenum getObjectID(int level) const override;

  /// Ties the access to mesh (not owned; null unties). The next getBuffer() rebuilds.
  /// \pre mesh outlives every later getBuffer() call, or is untied first.
  void setMesh(const KEXTriangleMesh* mesh);
  const KEXTriangleMesh* getMesh() const;

  /// See KEXTriangleMeshAccessIF::getBuffer. A triangle with an index outside the vertex list is
  /// never read: its three corners hold NaN, so readers of the corner pages can tell it apart.
  const KEXTriangleMeshBuffer* getBuffer() override;
  /// Number of rebuilds so far (a test aid: an unchanged mesh is not copied again).
  int getBuildCount() const;

  /// Creates an access object for mesh and appends it to mesh's GeometryAccessList, which then
  /// holds the only reference. \return the access object, or null (memory short, no list).
  static KEXTriangleMeshDirectAccess* attach(KEXTriangleMesh& mesh);

private:
  struct Private;
  Private* m_private = nullptr;
};
