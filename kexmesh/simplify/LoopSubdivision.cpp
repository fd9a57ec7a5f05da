// The Loop subdivision filter: one mesh action bound to the algorithm's metaclass.
#include "kexmesh/simplify/LoopSubdivision.h"
#include "kex/Error.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/simplify/LoopSubdivisionAlgorithm.h"

KEXMESH_DEFINE_CLASS(KEXLoopSubdivision, KEXTriangleMeshFilter)

struct KEXLoopSubdivision::Private : KEXClassMember {
  class FilterActionAttr : public KEXTriangleMeshActionAttr {
  public:
    FilterActionAttr() : KEXTriangleMeshActionAttr(&KEXLoopSubdivisionAlgorithm::metaClass(), 0, 0) {}
  };
  FilterActionAttr filter;
};

KEXLoopSubdivision::KEXLoopSubdivision() { construct(); }

KEXLoopSubdivision::KEXLoopSubdivision(const KEXLoopSubdivision& other) : KEXTriangleMeshFilter(other) { construct(); }

KEXLoopSubdivision& KEXLoopSubdivision::operator=(const KEXLoopSubdivision& other)
{
  if (this != &other)
    KEXTriangleMeshFilter::operator=(other);
  return *this;
}

KEXLoopSubdivision::~KEXLoopSubdivision() { delete m_private; }

void KEXLoopSubdivision::construct()
{
  m_private = new Private;
  if (!m_private) {
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
    return;
  }
  if (addAction(KEX::Filter, &m_private->filter) != KEX::NoError)
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
}

KEXenum KEXLoopSubdivision::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXLoopSubdivision", 0, "kexmesh");
  return level == 0 ? id.get() : KEXTriangleMeshFilter::getObjectID(level - 1);
}

bool KEXLoopSubdivision::filter() { return m_private && m_private->filter.execute(nullptr); }
