// The circular-arc smoothing filter: one mesh action, no properties of its own.
#include "kexmesh/simplify/CASmoothing.h"
#include "kex/Error.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/simplify/CASmoothingAlgorithm.h"

KEXMESH_DEFINE_CLASS(KEXCASmoothing, KEXTriangleMeshFilter)

struct KEXCASmoothing::Private : KEXClassMember {
  class FilterActionAttr : public KEXTriangleMeshActionAttr {
  public:
    FilterActionAttr() : KEXTriangleMeshActionAttr(&KEXCASmoothingAlgorithm::metaClass(), 0, 0) {}
  };
  FilterActionAttr filter;
};

KEXCASmoothing::KEXCASmoothing() { construct(); }

KEXCASmoothing::KEXCASmoothing(const KEXCASmoothing& other) : KEXTriangleMeshFilter(other) { construct(); }

KEXCASmoothing& KEXCASmoothing::operator=(const KEXCASmoothing& other)
{
  if (this != &other)
    KEXTriangleMeshFilter::operator=(other);
  return *this;
}

KEXCASmoothing::~KEXCASmoothing() { delete m_private; }

void KEXCASmoothing::construct()
{
  m_private = new Private;
  if (!m_private || addAction(KEX::Filter, &m_private->filter) != KEX::NoError)
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
}

KEXenum KEXCASmoothing::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXCASmoothing", 0, "kexmesh");
  return level == 0 ? id.get() : KEXTriangleMeshFilter::getObjectID(level - 1);
}
