// The transform filter. Each transform action copies the filter's TransformMatrix into its
// algorithm in prepare(): a matrix the user sets must take effect, and since the property's default
// is the algorithms' own identity, an untouched filter changes nothing. The Filter action is the
// shared sequence routine over the three fixed steps, vertices first, so the mesh is read and
// written once and a failing step writes nothing.
#include "kexmesh/objects/TransformTriangleMesh.h"
#include "kex/Error.h"
#include "kexmesh/objects/internal/ObjectMembers.h"
#include "kexmesh/core/TransformTriangleNormalListAlgorithm.h"
#include "kexmesh/core/TransformVertexListAlgorithm.h"
#include "kexmesh/core/TransformVertexNormalListAlgorithm.h"
#include "kexmesh/objects/ExecuteSequenceAction.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/objects/internal/FilterProperties.h"

KEXMESH_DEFINE_CLASS(KEXTransformTriangleMesh, KEXTriangleMeshFilter)

namespace {

const KEXenum* filterSequence()
{
  static const KEXenum names[3] = {KEX::TransformVertexList, KEX::TransformVertexNormalList,
                                   KEX::TransformTriangleNormalList};
  return names;
}

// A transform step: the filter's TransformMatrix becomes the algorithm's matrix before it runs.
template <class Algorithm>
class TransformActionAttr : public KEXTriangleMeshActionAttr {
public:
  TransformActionAttr() : KEXTriangleMeshActionAttr(&Algorithm::metaClass(), 0, 0) {}
  bool prepare(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters) override
  {
    if (!KEXTriangleMeshActionAttr::prepare(algorithm, parameters))
      return false;
    auto* transform = dynamic_cast<Algorithm*>(algorithm);
    if (!transform)
      return false;
    KEXMatrix4<float> matrix(1.0f);
    const KEXObject* owner = getOwner();
    if (owner && owner->getValue(KEX::TransformMatrix, matrix))
      return transform->setTransformMatrix(matrix);
    return true;
  }
};

// The three transforms as one sequence of the owner.
class FilterActionAttr : public KEXActionAttr {
public:
  FilterActionAttr() : KEXActionAttr(0x4100050) {}

protected:
  bool action(void* parameters) override
  {
    return KEXExecuteSequenceAction::executeSequence(getOwner(), filterSequence(), 3, parameters);
  }
  KEXenum checkAction(void* parameters) override
  {
    KEXObject* owner = getOwner();
    if (!owner)
      return KEX::InvalidOperation;
    KEXenum code = KEX::NoError;
    for (int i = 0; i < 3; ++i) {
      KEXAction* step = owner->getAction(filterSequence()[i]);
      if (!step)
        return KEX::InvalidOperation;
      code = step->checkExecute(parameters);
      if (code != KEX::NoError)
        return code;
    }
    return code;
  }
};

} // namespace

struct KEXTransformTriangleMesh::Private : KEXClassMember {
  KEXTransformMatrixAttr transformMatrix;
  KEXVectorLengthAttr vectorLength;
  FilterActionAttr filter;
  TransformActionAttr<KEXTransformTriangleNormalListAlgorithm> transformTriangleNormalList;
  TransformActionAttr<KEXTransformVertexListAlgorithm> transformVertexList;
  TransformActionAttr<KEXTransformVertexNormalListAlgorithm> transformVertexNormalList;
};

KEXMESH_DEFINE_OBJECT_COPIES(KEXTransformTriangleMesh, KEXTriangleMeshFilter)

void KEXTransformTriangleMesh::construct()
{
  if (!kexmeshobjects::createPrivate(*this, m_private, KEX::OutOfMemory))
    return;
  Private& p = *m_private;
  bool ok = addProperty(KEX::TransformMatrix, &p.transformMatrix) == KEX::NoError;
  ok = addProperty(KEX::VectorLength, &p.vectorLength) == KEX::NoError && ok;
  ok = addAction(KEX::Filter, &p.filter) == KEX::NoError && ok;
  ok = addAction(KEX::TransformTriangleNormalList, &p.transformTriangleNormalList) == KEX::NoError && ok;
  ok = addAction(KEX::TransformVertexList, &p.transformVertexList) == KEX::NoError && ok;
  ok = addAction(KEX::TransformVertexNormalList, &p.transformVertexNormalList) == KEX::NoError && ok;
  if (!ok)
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
}

void KEXTransformTriangleMesh::copyValues(const KEXTransformTriangleMesh& other)
{
  if (!m_private || !other.m_private)
    return;
  // Values of a live property of the same kind are always accepted.
  m_private->transformMatrix.setValue(other.getTransformMatrix());
  m_private->vectorLength.setValue(other.getVectorLength());
}

KEXenum KEXTransformTriangleMesh::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXTransformTriangleMesh", 0, "kexmesh");
  return level == 0 ? id.get() : KEXTriangleMeshFilter::getObjectID(level - 1);
}

bool KEXTransformTriangleMesh::setTransformMatrix(const KEXMatrix4<float>& matrix)
{
  return m_private && m_private->transformMatrix.setValue(matrix);
}

KEXMatrix4<float> KEXTransformTriangleMesh::getTransformMatrix() const
{
  KEXMatrix4<float> matrix = KEXMatrix4<float>::createScaleMatrix(1, 1, 1);
  if (m_private)
    m_private->transformMatrix.getValue(matrix);
  return matrix;
}

bool KEXTransformTriangleMesh::setVectorLength(float length)
{
  return m_private && m_private->vectorLength.setValue(length);
}

float KEXTransformTriangleMesh::getVectorLength() const
{
  float length = 1.0f;
  if (m_private)
    m_private->vectorLength.getValue(length);
  return length;
}
