// The Laplacian smoothing filter: one mesh action, no properties of its own.
#include "kexmesh/simplify/ILPSmoothing.h"
#include "kex/Error.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/simplify/ILPSmoothingAlgorithm.h"

KEXMESH_DEFINE_CLASS(KEXILPSmoothing, KEXTriangleMeshFilter)

struct KEXILPSmoothing::Private : KEXClassMember {
  class FilterActionAttr : public KEXTriangleMeshActionAttr {
  public:
    FilterActionAttr() : KEXTriangleMeshActionAttr(&KEXILPSmoothingAlgorithm::metaClass(), 0, 0) {}
  };
  FilterActionAttr filter;
};

KEXILPSmoothing::KEXILPSmoothing() { construct(); }

KEXILPSmoothing::KEXILPSmoothing(const KEXILPSmoothing& other) : KEXTriangleMeshFilter(other) { construct(); }

KEXILPSmoothing& KEXILPSmoothing::operator=(const KEXILPSmoothing& other)
{
  if (this != &other)
    KEXTriangleMeshFilter::operator=(other);
  return *this;
}

KEXILPSmoothing::~KEXILPSmoothing() { delete m_private; }

void KEXILPSmoothing::construct()
{
  m_private = new Private;
  if (!m_private || addAction(KEX::Filter, &m_private->filter) != KEX::NoError)
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
}

KEXenum KEXILPSmoothing::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXILPSmoothing", 0, "kexmesh");
  return level == 0 ? id.get() : KEXTriangleMeshFilter::getObjectID(level - 1);
}
