// KEXRemoveOrphanedVerticesAlgorithm: removes vertices that no triangle references. The vertices are
// walked from the last to the first; each one with an empty corner list is exchanged with the last
// kept vertex. The exchange renumbers the triangles through the vertex adjacency list, so every
// triangle keeps referring to the same positions, and the vertex lists are cut once at the end.
#include "kexmesh/repair/RemoveOrphanedVerticesAlgorithm.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Task.h"

#include <algorithm>

KEXMESH_DEFINE_CLASS(KEXRemoveOrphanedVerticesAlgorithm, KEXTriangleMeshAlgorithmIF)

bool KEXRemoveOrphanedVerticesAlgorithm::run(void*)
{
  const int V = m_buffer.getVertexCount();
  KEXTask task("Removing orphaned vertices", 2.0 * V + 1.0, 0x1010000, 0);
  KEXDerivedListScope adjacency = KEXDerivedListScope::vertexAdjacency(m_buffer, true);
  {
    KEXSubTask sub("Creating vertex adjacency list", double(V) + 1.0);
    if (!adjacency.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }

  const int BLOCK = 8192;
  int kept = V;
  for (int end = V; end > 0; end -= BLOCK) {
    const int first = std::max(0, end - BLOCK);
    for (int i = end - 1; i >= first; --i) {
      if (!m_buffer.vertexAdjacencyList[i].isEmpty())
        continue;
      if (!m_buffer.swapVertices(i, --kept))
        return task.error(KEX::GenericError);
    }
    if (!task.incProgress(end - first, true))
      return kexEndRefused(task);
  }
  if (!m_buffer.setVertexCount(kept))
    return task.error(KEX::GenericError);
  return task.ok();
}
