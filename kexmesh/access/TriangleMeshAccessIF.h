#pragma once
// KEXTriangleMeshAccessIF: a structure a host keeps beside a triangle mesh for reading it fast,
// registered in the mesh's GeometryAccessList. The mesh never creates one; whoever needs it does
// and appends it. Readers find it with find() and take its buffer.
#include "kex/Object.h"
#include "kexmesh/core/ClassRegistration.h"

class KEXTriangleMeshBuffer;

class KEXTriangleMeshAccessIF : public KEXObject {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshAccessIF)

public:
  ~KEXTriangleMeshAccessIF() override;

  /// "KEXTriangleMeshAccessIF" at level 0, KEXObject's identity (level - 1) deeper.
  KEXenum getObjectID(int level) const override;

  /// The mesh's vertices and triangles with cornerVertexPages filled (3T entries, corner c holding
  /// the position of its vertex), brought up to date with the mesh first. The buffer stays valid
  /// until the next call or the access object's end; it is read-only for callers.
  /// \return null when the mesh is gone, invalid, or memory is short.
  virtual const KEXTriangleMeshBuffer* getBuffer() = 0;

  /// The first entry of geometry's GeometryAccessList that is an access object, or null.
  static KEXTriangleMeshAccessIF* find(const KEXObject& geometry);

protected:
  KEXTriangleMeshAccessIF() = default;
  KEXTriangleMeshAccessIF(const KEXTriangleMeshAccessIF& other) = default;
  KEXTriangleMeshAccessIF& operator=(const KEXTriangleMeshAccessIF& other) = default;
};
