// KEXCheckTriangleMeshAlgorithm: validates a buffer before anything relies on it. A vertex is
// invalid when a coordinate is infinite or NaN; a triangle when an index lies outside 0 ... V-1
// (repeated indices are allowed here). Triangles whose area is at most that of a right isosceles
// triangle with legs 1/128 of the mesh's smallest sampling distance count as empty: they are only
// reported, since later repair steps remove them. Nothing in the buffer changes. The three counting
// passes run on the worker threads; the mean sampling distance, a floating-point sum in triangle
// order, stays on the calling thread.
#include "kexmesh/repair/CheckTriangleMeshAlgorithm.h"

#include "kex/Task.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/internal/ParallelBlocks.h"
#include "kexmesh/core/internal/Prefetch.h"

#include <atomic>

#include <cmath>

KEXMESH_DEFINE_CLASS(KEXCheckTriangleMeshAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {
constexpr int BLOCK = 16384;

bool halted(const KEXTask& task) { return task.wasStopped() || task.wasAborted(); }

/// Adds to count the items i of [0, n) for which bad(i) holds, in blocks on the worker threads
/// (a count does not depend on which thread took which block), advancing task by one per item.
/// False when the task was stopped.
template <class Bad>
bool countInBlocks(KEXTask& task, int n, std::atomic<int>& count, Bad bad)
{
  bool stopped = false;
  return kexmeshcore::parallelBlocks(task, n, BLOCK, 1.0, stopped, [&](int first, int end) {
    int found = 0;
    for (int i = first; i < end; ++i)
      found += bad(i) ? 1 : 0;
    count.fetch_add(found, std::memory_order_relaxed);
    return true;
  });
}

void report(int count, KEXenum severity, const char* one, const char* many)
{
  if (count == 1)
    kexTaskDiagnostics(severity, one);
  else if (count > 1)
    kexTaskDiagnostics(severity, many, count);
}
} // namespace

bool KEXCheckTriangleMeshAlgorithm::run(void*)
{
  m_invalidVertices = m_invalidTriangles = m_emptyTriangles = m_badEdges = 0;
  const int V = m_buffer.getVertexCount();
  const int T = m_buffer.getTriangleCount();
  KEXTask task("Checking triangle mesh integrity", 2.0 * V + 3.0 * T + 1.0, 0x1010000, 0);
  task.incProgress(1.0, true);
  if (halted(task))
    return task.aborted();

  if (V == 0) {
    if (T > 0) {
      kexTaskDiagnostics(KEX::Error, "Found %i triangles, but no vertices at all", T);
      return task.error(KEX::InvalidValue);
    }
    return task.ok();
  }

  const KEXVector3<float>* pos = m_buffer.vertexList.getData();
  const KEXTriangle<int>* tri = m_buffer.triangleList.getData();
  {
    KEXSubTask phase(nullptr, double(V));
    std::atomic<int> count{0};
    if (!countInBlocks(task, V, count, [pos](int i) {
          return !std::isfinite(pos[i].x) || !std::isfinite(pos[i].y) || !std::isfinite(pos[i].z);
        }))
      return task.aborted();
    m_invalidVertices = count;
    report(count, KEX::Error, "Found an invalid vertex", "Found %i invalid vertices");
  }
  if (halted(task))
    return task.aborted();
  {
    KEXSubTask phase(nullptr, double(T));
    const unsigned uv = unsigned(V);
    std::atomic<int> count{0};
    if (!countInBlocks(task, T, count, [tri, uv](int t) {
          return unsigned(tri[t][0]) >= uv || unsigned(tri[t][1]) >= uv || unsigned(tri[t][2]) >= uv;
        }))
      return task.aborted();
    m_invalidTriangles = count;
    report(count, KEX::Error, "Found an invalid triangle", "Found %i invalid triangles");
  }
  if (m_invalidVertices != 0 || m_invalidTriangles != 0)
    return task.error(KEX::InvalidValue);
  if (halted(task))
    return task.aborted();

  double s = 1.0;
  {
    KEXSubTask phase(nullptr, double(V) + double(T));
    KEXVector3<float> msd;
    if (m_buffer.calculateMeanSamplingDistance(msd))
      s = std::min(msd.x, std::min(msd.y, msd.z));
  }
  if (halted(task))
    return task.aborted();
  {
    KEXSubTask phase(nullptr, double(T));
    const double q = s / 128.0;
    const double threshold = q * q * 0.5;
    std::atomic<int> count{0};
    if (!countInBlocks(task, T, count, [pos, tri, threshold, V, T](int t) {
          kexmeshcore::prefetchCorners(pos, unsigned(V), tri, t + kexmeshcore::PREFETCH_DISTANCE, T);
          double area;
          KEXTriangleCalculus3<float>::area(area, pos[tri[t][0]], pos[tri[t][1]], pos[tri[t][2]]);
          return area <= threshold;
        }))
      return task.aborted();
    m_emptyTriangles = count;
    report(count, KEX::Warning, "Found an empty triangle", "Found %i empty triangles");
  }
  if (halted(task))
    return task.aborted();
  return task.ok();
}
