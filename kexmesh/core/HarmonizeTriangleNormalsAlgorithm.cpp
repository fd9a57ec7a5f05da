// KEXHarmonizeTriangleNormalsAlgorithm: the algorithm-frame wrapper of the buffer's harmonizeTriangleNormals, with the
// target length as its parameter (copied along by copy construction and assignment).
#include "kexmesh/core/HarmonizeTriangleNormalsAlgorithm.h"

KEXMESH_DEFINE_CLASS(KEXHarmonizeTriangleNormalsAlgorithm, KEXTriangleMeshAlgorithmIF)

bool KEXHarmonizeTriangleNormalsAlgorithm::setVectorLength(float length)
{
  if (!(length >= 0.0f))
    return false;
  m_vectorLength = length;
  return true;
}

bool KEXHarmonizeTriangleNormalsAlgorithm::run(void*) { return m_buffer.harmonizeTriangleNormals(m_vectorLength); }
