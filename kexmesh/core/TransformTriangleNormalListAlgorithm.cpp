// KEXTransformTriangleNormalListAlgorithm: applies the transform matrix to the buffer's triangleNormalList (normals turn by
// the inverse transpose so that they stay perpendicular to transformed surfaces).
#include "kexmesh/core/TransformTriangleNormalListAlgorithm.h"

KEXMESH_DEFINE_CLASS(KEXTransformTriangleNormalListAlgorithm, KEXTriangleMeshAlgorithmIF)

bool KEXTransformTriangleNormalListAlgorithm::run(void*)
{
  return transformList(m_buffer.triangleNormalList, "Transforming triangle normal list", true);
}
