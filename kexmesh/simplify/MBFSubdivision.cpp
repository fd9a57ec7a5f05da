// The modified butterfly subdivision filter: one mesh action bound to the algorithm's metaclass.
#include "kexmesh/simplify/MBFSubdivision.h"
#include "kex/Error.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/simplify/MBFSubdivisionAlgorithm.h"

KEXMESH_DEFINE_CLASS(KEXMBFSubdivision, KEXTriangleMeshFilter)

struct KEXMBFSubdivision::Private : KEXClassMember {
  class FilterActionAttr : public KEXTriangleMeshActionAttr {
  public:
    FilterActionAttr() : KEXTriangleMeshActionAttr(&KEXMBFSubdivisionAlgorithm::metaClass(), 0, 0) {}
  };
  FilterActionAttr filter;
};

KEXMBFSubdivision::KEXMBFSubdivision() { construct(); }

KEXMBFSubdivision::KEXMBFSubdivision(const KEXMBFSubdivision& other) : KEXTriangleMeshFilter(other) { construct(); }

KEXMBFSubdivision& KEXMBFSubdivision::operator=(const KEXMBFSubdivision& other)
{
  if (this != &other)
    KEXTriangleMeshFilter::operator=(other);
  return *this;
}

KEXMBFSubdivision::~KEXMBFSubdivision() { delete m_private; }

void KEXMBFSubdivision::construct()
{
  m_private = new Private;
  if (!m_private) {
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
    return;
  }
  if (addAction(KEX::Filter, &m_private->filter) != KEX::NoError)
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
}

KEXenum KEXMBFSubdivision::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXMBFSubdivision", 0, "kexmesh");
  return level == 0 ? id.get() : KEXTriangleMeshFilter::getObjectID(level - 1);
}

bool KEXMBFSubdivision::filter() { return m_private && m_private->filter.execute(nullptr); }
