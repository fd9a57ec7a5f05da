// KEXCalculateVertexNormalsAlgorithm: the algorithm-frame wrapper of the buffer's calculateVertexNormals(), so that actions
// and filters can run it by class name.
#include "kexmesh/core/CalculateVertexNormalsAlgorithm.h"

KEXMESH_DEFINE_CLASS(KEXCalculateVertexNormalsAlgorithm, KEXTriangleMeshAlgorithmIF)

bool KEXCalculateVertexNormalsAlgorithm::run(void*) { return m_buffer.calculateVertexNormals(); }
