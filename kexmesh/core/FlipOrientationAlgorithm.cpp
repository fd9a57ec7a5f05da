// KEXFlipOrientationAlgorithm: turns every triangle inside out by exchanging the vertices of its
// corners 1 and 2. Each flip goes through the buffer's flipTriangle, which keeps the vertex and
// triangle adjacency lists, the inner angles and the triangle normals consistent, so a mesh can be
// flipped in place without rebuilding any derived list. Flipping twice restores the buffer exactly.
#include "kexmesh/core/FlipOrientationAlgorithm.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Task.h"

KEXMESH_DEFINE_CLASS(KEXFlipOrientationAlgorithm, KEXTriangleMeshAlgorithmIF)

bool KEXFlipOrientationAlgorithm::run(void*)
{
  const int T = m_buffer.getTriangleCount();
  const int V = m_buffer.getVertexCount();
  KEXTask task("Flipping triangle orientation", double(T) + double(V) + 1.0, 0x1010000, 0);
  task.incProgress(1.0, true);
  KEXDerivedListScope adjacency = KEXDerivedListScope::vertexAdjacency(m_buffer, true);
  {
    KEXSubTask sub("Creating vertex adjacency list", double(V));
    if (!adjacency.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }
  const int BLOCK = 65536;
  for (int first = 0; first < T; first += BLOCK) {
    const int end = std::min(T, first + BLOCK);
    for (int t = first; t < end; ++t)
      if (!m_buffer.flipTriangle(t, 0))
        return task.error(KEX::GenericError);
    if (!task.incProgress(end - first, true))
      return kexEndRefused(task);
  }
  return task.ok();
}
