// KEXDiscardInfiniteVerticesAlgorithm: strips vertices with an infinite or NaN coordinate, which
// would poison every later measure (bounding box, sampling distance, normals). The vertices are
// walked from the last to the first; each invalid one is exchanged with the last kept vertex, so
// nothing is shifted and the lists are cut once at the end. With triangles the exchange renumbers
// the triangles through the vertex adjacency list, built here when absent and removed again.
#include "kexmesh/repair/DiscardInfiniteVerticesAlgorithm.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Task.h"

#include <cmath>

KEXMESH_DEFINE_CLASS(KEXDiscardInfiniteVerticesAlgorithm, KEXTriangleMeshAlgorithmIF)

bool KEXDiscardInfiniteVerticesAlgorithm::run(void*)
{
  const int V = m_buffer.getVertexCount();
  KEXTask task("Discarding infinite vertices", double(V) + 1.0, 0x10000, 0);
  task.incProgress(1.0, true);
  const KEXVector3<float>* pos = m_buffer.vertexList.getData();
  auto invalid = [pos](int i) { return !(std::isfinite(pos[i].x) && std::isfinite(pos[i].y) && std::isfinite(pos[i].z)); };
  // The exchanges renumber triangles through the vertex adjacency list; build it only when there
  // is something to exchange (a clean mesh, the usual case, passes with one read of the vertices).
  int firstInvalid = V - 1;
  while (firstInvalid >= 0 && !invalid(firstInvalid))
    --firstInvalid;
  KEXDerivedListScope adjacency = KEXDerivedListScope::vertexAdjacency(m_buffer, true);
  if (firstInvalid >= 0 && m_buffer.getTriangleCount() > 0) {
    KEXSubTask sub("Creating vertex adjacency list", 0.0);
    if (!adjacency.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }

  const int BLOCK = 16384;
  int kept = V;
  for (int end = V; end > 0; end -= BLOCK) {
    const int first = std::max(0, end - BLOCK);
    for (int i = std::min(end - 1, firstInvalid); i >= first; --i) {
      if (!invalid(i))
        continue;
      if (!m_buffer.swapVertices(i, kept - 1)) {
        return kexEndOutOfMemory(task);
      }
      --kept;
    }
    if (!task.incProgress(end - first, true))
      return kexEndRefused(task);
  }
  if (!m_buffer.setVertexCount(kept))
    return task.error(KEX::GenericError);
  return task.ok();
}
