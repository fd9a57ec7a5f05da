// KEXRemoveOrphanedTrianglesAlgorithm: removes triangles that share no vertex with any other
// triangle (stray fragments of a scan or a broken export) together with their three vertices.
// A triangle is isolated when every corner listed for each of its vertices belongs to it; as the
// corner lists are ascending, the first and the last entry decide. Isolated triangles whose three
// vertices carry the same non-zero edge flag are kept: the flag marks them as wanted. Vertices and
// triangles are exchanged with the last kept ones (higher vertex index first, so the lower ones
// stay in place) and all lists are cut once at the end.
#include "kexmesh/repair/RemoveOrphanedTrianglesAlgorithm.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Task.h"

#include <algorithm>

KEXMESH_DEFINE_CLASS(KEXRemoveOrphanedTrianglesAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {
/// Whether every corner of vertex v lies in triangle t (a vertex without corners counts as used by
/// t alone).
bool onlyUsedBy(const KEXCompactIndexArray& corners, int t)
{
  const int n = corners.getCount();
  return n == 0 || (corners[0] >= 3 * t && corners[n - 1] <= 3 * t + 2);
}
} // namespace

bool KEXRemoveOrphanedTrianglesAlgorithm::run(void*)
{
  const int T = m_buffer.getTriangleCount();
  const int V = m_buffer.getVertexCount();
  KEXTask task("Removing orphaned triangles", double(T) + double(V) + 1.0, 0x1010000, 0);
  task.incProgress(1.0, true);
  KEXDerivedListScope adjacency = KEXDerivedListScope::vertexAdjacency(m_buffer, true);
  {
    KEXSubTask sub("Creating vertex adjacency list", double(V));
    if (!adjacency.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }

  const bool flags = m_buffer.hasVertexEdgeFlagList();
  const unsigned uv = unsigned(V);
  const int BLOCK = 16384;
  int keptVertices = V;
  int keptTriangles = T;
  for (int end = T; end > 0; end -= BLOCK) {
    const int first = std::max(0, end - BLOCK);
    for (int t = end - 1; t >= first; --t) {
      const KEXTriangle<int> tri = m_buffer.triangleList[t];
      // A triangle with a missing vertex is not judged here (discarding invalid triangles is).
      if (unsigned(tri[0]) >= uv || unsigned(tri[1]) >= uv || unsigned(tri[2]) >= uv)
        continue;
      if (!onlyUsedBy(m_buffer.vertexAdjacencyList[tri[0]], t) || !onlyUsedBy(m_buffer.vertexAdjacencyList[tri[1]], t) ||
          !onlyUsedBy(m_buffer.vertexAdjacencyList[tri[2]], t))
        continue;
      if (flags) {
        const char f = m_buffer.vertexEdgeFlagList[tri[0]];
        if (f != 0 && f == m_buffer.vertexEdgeFlagList[tri[1]] && f == m_buffer.vertexEdgeFlagList[tri[2]])
          continue;
      }
      int v[3] = {tri[0], tri[1], tri[2]};
      std::sort(v, v + 3);
      bool done = m_buffer.swapVertices(v[2], --keptVertices);
      if (done && v[1] < v[2])
        done = m_buffer.swapVertices(v[1], --keptVertices);
      if (done && v[0] < v[1])
        done = m_buffer.swapVertices(v[0], --keptVertices);
      if (!done || !m_buffer.swapTriangles(t, --keptTriangles))
        return task.error(KEX::GenericError);
    }
    if (!task.incProgress(end - first, true))
      return kexEndRefused(task);
  }
  if (!m_buffer.setTriangleCount(keptTriangles) || !m_buffer.setVertexCount(keptVertices))
    return task.error(KEX::GenericError);
  return task.ok();
}
