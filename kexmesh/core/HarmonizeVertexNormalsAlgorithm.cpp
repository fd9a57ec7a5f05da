// KEXHarmonizeVertexNormalsAlgorithm: the algorithm-frame wrapper of the buffer's harmonizeVertexNormals, with the
// target length as its parameter (copied along by copy construction and assignment).
#include "kexmesh/core/HarmonizeVertexNormalsAlgorithm.h"

KEXMESH_DEFINE_CLASS(KEXHarmonizeVertexNormalsAlgorithm, KEXTriangleMeshAlgorithmIF)

bool KEXHarmonizeVertexNormalsAlgorithm::setVectorLength(float length)
{
  if (!(length >= 0.0f))
    return false;
  m_vectorLength = length;
  return true;
}

bool KEXHarmonizeVertexNormalsAlgorithm::run(void*) { return m_buffer.harmonizeVertexNormals(m_vectorLength); }
