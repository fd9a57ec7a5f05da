// KEXDiscardInvalidTrianglesAlgorithm: strips triangles that refer to a vertex that does not exist
// (a negative index or one beyond the vertex list), e.g. after infinite vertices were discarded.
// The triangles are walked from the last to the first; each invalid one is exchanged with the last
// kept triangle (its per-triangle lists and adjacency follow) and the lists are cut once at the end.
#include "kexmesh/repair/DiscardInvalidTrianglesAlgorithm.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Task.h"

KEXMESH_DEFINE_CLASS(KEXDiscardInvalidTrianglesAlgorithm, KEXTriangleMeshAlgorithmIF)

bool KEXDiscardInvalidTrianglesAlgorithm::run(void*)
{
  const int T = m_buffer.getTriangleCount();
  const unsigned uv = unsigned(m_buffer.getVertexCount());
  KEXTask task("Discarding invalid triangles", double(T) + 1.0, 0x10000, 0);
  task.incProgress(1.0, true);

  const int BLOCK = 16384;
  int kept = T;
  for (int end = T; end > 0; end -= BLOCK) {
    const int first = std::max(0, end - BLOCK);
    for (int t = end - 1; t >= first; --t) {
      const KEXTriangle<int>& tri = m_buffer.triangleList[t];
      if (unsigned(tri[0]) < uv && unsigned(tri[1]) < uv && unsigned(tri[2]) < uv)
        continue;
      if (!m_buffer.swapTriangles(t, kept - 1)) {
        return kexEndOutOfMemory(task);
      }
      --kept;
    }
    if (!task.incProgress(end - first, true))
      return kexEndRefused(task);
  }
  if (!m_buffer.setTriangleCount(kept))
    return task.error(KEX::GenericError);
  return task.ok();
}
