// The normals filter. The harmonize actions copy the filter's VectorLength into their algorithm
// in prepare(): a length the user sets must take effect, and since the property's default equals
// the algorithms' own, an untouched filter behaves exactly as the plain algorithms do.
#include "kexmesh/objects/ModifyTriangleMesh.h"
#include "kex/Error.h"
#include "kexmesh/objects/internal/ObjectMembers.h"
#include "kexmesh/core/CalculateTriangleNormalsAlgorithm.h"
#include "kexmesh/core/CalculateVertexNormalsAlgorithm.h"
#include "kexmesh/core/HarmonizeTriangleNormalsAlgorithm.h"
#include "kexmesh/core/HarmonizeVertexNormalsAlgorithm.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/objects/internal/FilterProperties.h"

KEXMESH_DEFINE_CLASS(KEXModifyTriangleMesh, KEXTriangleMeshFilter)

namespace {

// A harmonize step: the filter's VectorLength becomes the algorithm's length before it runs.
template <class Algorithm>
class HarmonizeActionAttr : public KEXTriangleMeshActionAttr {
public:
  HarmonizeActionAttr() : KEXTriangleMeshActionAttr(&Algorithm::metaClass(), 0, 0) {}
  bool prepare(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters) override
  {
    if (!KEXTriangleMeshActionAttr::prepare(algorithm, parameters))
      return false;
    auto* harmonize = dynamic_cast<Algorithm*>(algorithm);
    if (!harmonize)
      return false;
    float length = 1.0f;
    const KEXObject* owner = getOwner();
    if (owner && owner->getValue(KEX::VectorLength, length))
      return harmonize->setVectorLength(length);
    return true;
  }
};

template <class Algorithm>
class PlainActionAttr : public KEXTriangleMeshActionAttr {
public:
  PlainActionAttr() : KEXTriangleMeshActionAttr(&Algorithm::metaClass(), 0, 0) {}
};

} // namespace

struct KEXModifyTriangleMesh::Private : KEXClassMember {
  KEXVectorLengthAttr vectorLength;
  PlainActionAttr<KEXCalculateVertexNormalsAlgorithm> calculateVertexNormals;
  HarmonizeActionAttr<KEXHarmonizeVertexNormalsAlgorithm> harmonizeVertexNormals;
  PlainActionAttr<KEXCalculateTriangleNormalsAlgorithm> calculateTriangleNormals;
  HarmonizeActionAttr<KEXHarmonizeTriangleNormalsAlgorithm> harmonizeTriangleNormals;
};

KEXModifyTriangleMesh::KEXModifyTriangleMesh() { construct(); }

KEXModifyTriangleMesh::KEXModifyTriangleMesh(const KEXModifyTriangleMesh& other) : KEXTriangleMeshFilter(other)
{
  construct();
  if (m_private)
    m_private->vectorLength.setValue(other.getVectorLength()); // a live value is always accepted
}

KEXModifyTriangleMesh& KEXModifyTriangleMesh::operator=(const KEXModifyTriangleMesh& other)
{
  if (this != &other) {
    KEXTriangleMeshFilter::operator=(other);
    if (m_private)
      m_private->vectorLength.setValue(other.getVectorLength());
  }
  return *this;
}

KEXModifyTriangleMesh::~KEXModifyTriangleMesh() { delete m_private; }

void KEXModifyTriangleMesh::construct()
{
  if (!kexmeshobjects::createPrivate(*this, m_private, KEX::OutOfMemory))
    return;
  Private& p = *m_private;
  bool ok = addProperty(KEX::VectorLength, &p.vectorLength) == KEX::NoError;
  ok = addAction(KEX::CalculateVertexNormals, &p.calculateVertexNormals) == KEX::NoError && ok;
  ok = addAction(KEX::HarmonizeVertexNormals, &p.harmonizeVertexNormals) == KEX::NoError && ok;
  ok = addAction(KEX::CalculateTriangleNormals, &p.calculateTriangleNormals) == KEX::NoError && ok;
  ok = addAction(KEX::HarmonizeTriangleNormals, &p.harmonizeTriangleNormals) == KEX::NoError && ok;
  if (!ok)
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
}

KEXenum KEXModifyTriangleMesh::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXModifyTriangleMesh", 0, "kexmesh");
  return level == 0 ? id.get() : KEXTriangleMeshFilter::getObjectID(level - 1);
}

bool KEXModifyTriangleMesh::setVectorLength(float length) { return m_private && m_private->vectorLength.setValue(length); }

float KEXModifyTriangleMesh::getVectorLength() const
{
  float length = 1.0f;
  if (m_private)
    m_private->vectorLength.getValue(length);
  return length;
}

bool KEXModifyTriangleMesh::calculateVertexNormals()
{
  return m_private && m_private->calculateVertexNormals.execute(nullptr);
}
bool KEXModifyTriangleMesh::harmonizeVertexNormals()
{
  return m_private && m_private->harmonizeVertexNormals.execute(nullptr);
}
bool KEXModifyTriangleMesh::calculateTriangleNormals()
{
  return m_private && m_private->calculateTriangleNormals.execute(nullptr);
}
bool KEXModifyTriangleMesh::harmonizeTriangleNormals()
{
  return m_private && m_private->harmonizeTriangleNormals.execute(nullptr);
}

bool KEXModifyTriangleMesh::discardVertexNormals() { return false; }
bool KEXModifyTriangleMesh::discardTriangleNormals() { return false; }
bool KEXModifyTriangleMesh::calculateVertexColors() { return false; }
bool KEXModifyTriangleMesh::discardVertexColors() { return false; }
bool KEXModifyTriangleMesh::calculateTriangleColors() { return false; }
bool KEXModifyTriangleMesh::discardTriangleColors() { return false; }
