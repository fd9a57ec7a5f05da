#include "kexmesh/objects/TriangleMeshReference.h"

KEXMESH_DEFINE_CLASS(KEXTriangleMeshReference, KEXTriangleMesh)

KEXTriangleMeshReference::KEXTriangleMeshReference() { metaClass().applyDefaultFlags(this); }
KEXTriangleMeshReference::KEXTriangleMeshReference(const KEXTriangleMeshReference& other) : KEXTriangleMesh(other) {}
KEXTriangleMeshReference& KEXTriangleMeshReference::operator=(const KEXTriangleMeshReference& other)
{
  KEXTriangleMesh::operator=(other);
  return *this;
}
KEXTriangleMeshReference::~KEXTriangleMeshReference() = default;

KEXenum KEXTriangleMeshReference::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXTriangleMeshReference", 0, "kexmesh");
  return level == 0 ? id.get() : KEXTriangleMesh::getObjectID(level - 1);
}
