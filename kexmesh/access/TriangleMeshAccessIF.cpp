// Base of the mesh access objects and their lookup in a mesh's access list.
#include "kexmesh/access/TriangleMeshAccessIF.h"

#include "kex/Properties.h"
#include "kexmesh/objects/Vocabulary.h"

KEXMESH_DEFINE_ABSTRACT_CLASS(KEXTriangleMeshAccessIF, KEXObject)

KEXTriangleMeshAccessIF::~KEXTriangleMeshAccessIF() = default;

KEXenum KEXTriangleMeshAccessIF::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXTriangleMeshAccessIF", 0, "kexmesh");
  return level == 0 ? id.get() : KEXObject::getObjectID(level - 1);
}

KEXTriangleMeshAccessIF* KEXTriangleMeshAccessIF::find(const KEXObject& geometry)
{
  auto* list =
      dynamic_cast<const KEXValueArrayPropertyIF<KEXObjectLink>*>(geometry.getProperty(KEX::GeometryAccessList));
  int first = 0, last = -1;
  if (!list || !list->getIndexRange(first, last))
    return nullptr;
  for (int i = first; i <= last; ++i) {
    KEXObjectLink link;
    if (!list->getItems(i, i, &link))
      continue;
    KEXObject* target = link.get();
    // The list keeps its own reference, so the target outlives this local link.
    if (target && target->getMetaClass().isOfType(KEXTriangleMeshAccessIF::metaClass()))
      return static_cast<KEXTriangleMeshAccessIF*>(target);
  }
  return nullptr;
}
