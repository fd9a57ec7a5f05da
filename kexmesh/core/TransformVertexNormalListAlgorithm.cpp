// KEXTransformVertexNormalListAlgorithm: applies the transform matrix to the buffer's vertexNormalList (normals turn by
// the inverse transpose so that they stay perpendicular to transformed surfaces).
#include "kexmesh/core/TransformVertexNormalListAlgorithm.h"

KEXMESH_DEFINE_CLASS(KEXTransformVertexNormalListAlgorithm, KEXTriangleMeshAlgorithmIF)

bool KEXTransformVertexNormalListAlgorithm::run(void*)
{
  return transformList(m_buffer.vertexNormalList, "Transforming vertex normal list", true);
}
