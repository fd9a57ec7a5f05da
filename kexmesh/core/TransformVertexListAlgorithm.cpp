// KEXTransformVertexListAlgorithm: applies the transform matrix to the buffer's vertexList.
#include "kexmesh/core/TransformVertexListAlgorithm.h"

KEXMESH_DEFINE_CLASS(KEXTransformVertexListAlgorithm, KEXTriangleMeshAlgorithmIF)

bool KEXTransformVertexListAlgorithm::run(void*)
{
  return transformList(m_buffer.vertexList, "Transforming vertex list", false);
}
