// KEXCalculateTriangleNormalsAlgorithm: the algorithm-frame wrapper of the buffer's calculateTriangleNormals(), so that actions
// and filters can run it by class name.
#include "kexmesh/core/CalculateTriangleNormalsAlgorithm.h"

KEXMESH_DEFINE_CLASS(KEXCalculateTriangleNormalsAlgorithm, KEXTriangleMeshAlgorithmIF)

bool KEXCalculateTriangleNormalsAlgorithm::run(void*) { return m_buffer.calculateTriangleNormals(); }
