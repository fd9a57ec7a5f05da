// The reconstruct filter. It is a thin binding on purpose: everything about the reconstruction
// (duplicate merging, the distance estimate, the rounds, the error messages) lives in the
// algorithm, and the generic mesh action does the copying between the object and a buffer, so a
// filter run and an algorithm run on the same data cannot disagree.
#include "kexmesh/reconstruct/ReconstructTriangleMesh.h"

#include "kex/Error.h"
#include "kexmesh/core/ClassRegistration.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/reconstruct/ConstructTriangulationAlgorithm.h"

KEXMESH_DEFINE_CLASS(KEXReconstructTriangleMesh, KEXTriangleMeshFilter)

class KEXReconstructTriangleMesh::FilterActionAttr : public KEXTriangleMeshActionAttr {
public:
  FilterActionAttr() : KEXTriangleMeshActionAttr(&KEXConstructTriangulationAlgorithm::metaClass(), 0, 0) {}
};

KEXReconstructTriangleMesh::KEXReconstructTriangleMesh() { construct(); }

KEXReconstructTriangleMesh::KEXReconstructTriangleMesh(const KEXReconstructTriangleMesh& other)
    : KEXTriangleMeshFilter(other)
{
  construct();
  if (m_action && other.m_action)
    *m_action = *other.m_action;
}

KEXReconstructTriangleMesh& KEXReconstructTriangleMesh::operator=(const KEXReconstructTriangleMesh& other)
{
  if (this != &other) {
    KEXTriangleMeshFilter::operator=(other);
    if (m_action && other.m_action)
      *m_action = *other.m_action;
  }
  return *this;
}

KEXReconstructTriangleMesh::~KEXReconstructTriangleMesh() { delete m_action; }

void KEXReconstructTriangleMesh::construct()
{
  m_action = new FilterActionAttr;
  if (!m_action)
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
  else if (addAction(KEX::Filter, m_action) != KEX::NoError)
    KEXError::emitError(KEXError::Message(this, KEX::GenericError));
  setProtectedFlags(0, CLEARED_PROTECTED_FLAGS);
  metaClass().applyDefaultFlags(this);
}

KEXenum KEXReconstructTriangleMesh::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXReconstructTriangleMesh", 0, "kexmesh");
  return level == 0 ? id.get() : KEXTriangleMeshFilter::getObjectID(level - 1);
}

bool KEXReconstructTriangleMesh::reconstruct() { return m_action && m_action->execute(nullptr); }
