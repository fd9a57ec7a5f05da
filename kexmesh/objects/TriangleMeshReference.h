#pragma once
// KEXTriangleMeshReference: a mesh object without lists of its own. Its accessors and buffer
// conversions use whatever list properties it is given (missing ones read as empty).
#include "kexmesh/objects/TriangleMesh.h"

class KEXTriangleMeshReference : public KEXTriangleMesh {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshReference)

public:
  KEXTriangleMeshReference();
  KEXTriangleMeshReference(const KEXTriangleMeshReference& other);
  KEXTriangleMeshReference& operator=(const KEXTriangleMeshReference& other);
  ~KEXTriangleMeshReference() override;

  KEXenum getObjectID(int level) const override;
  // No state of its own: everything lives in the properties it is given.
};
