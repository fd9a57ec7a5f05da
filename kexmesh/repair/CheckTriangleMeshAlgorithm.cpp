// KEXCheckTriangleMeshAlgorithm: validates a buffer before anything relies on it. A vertex is
// invalid when a coordinate is infinite or NaN; a triangle when an index lies outside 0 ... V-1
// (repeated indices are allowed here). Triangles whose area is at most that of a right isosceles
// triangle with legs 1/128 of the mesh's smallest sampling distance count as empty: they are only
// reported, since later repair steps remove them. Nothing in the buffer changes.
#include "kexmesh/repair/CheckTriangleMeshAlgorithm.h"

#include "kex/Task.h"
#include "kexmesh/core/TriangleCalculus.h"

#include <cmath>

KEXMESH_DEFINE_CLASS(KEXCheckTriangleMeshAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {
constexpr int BLOCK = 16384;

bool halted(const KEXTask& task) { return task.wasStopped() || task.wasAborted(); }

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
    int count = 0;
    for (int first = 0; first < V; first += BLOCK) {
      const int end = std::min(V, first + BLOCK);
      for (int i = first; i < end; ++i)
        if (!std::isfinite(pos[i].x) || !std::isfinite(pos[i].y) || !std::isfinite(pos[i].z))
          ++count;
      if (!task.incProgress(end - first, true))
        return task.aborted();
    }
    m_invalidVertices = count;
    report(count, KEX::Error, "Found an invalid vertex", "Found %i invalid vertices");
  }
  if (halted(task))
    return task.aborted();
  {
    KEXSubTask phase(nullptr, double(T));
    const unsigned uv = unsigned(V);
    int count = 0;
    for (int first = 0; first < T; first += BLOCK) {
      const int end = std::min(T, first + BLOCK);
      for (int t = first; t < end; ++t)
        if (unsigned(tri[t][0]) >= uv || unsigned(tri[t][1]) >= uv || unsigned(tri[t][2]) >= uv)
          ++count;
      if (!task.incProgress(end - first, true))
        return task.aborted();
    }
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
    int count = 0;
    for (int first = 0; first < T; first += BLOCK) {
      const int end = std::min(T, first + BLOCK);
      for (int t = first; t < end; ++t) {
        double area;
        KEXTriangleCalculus3<float>::area(area, pos[tri[t][0]], pos[tri[t][1]], pos[tri[t][2]]);
        if (area <= threshold)
          ++count;
      }
      if (!task.incProgress(end - first, true))
        return task.aborted();
    }
    m_emptyTriangles = count;
    report(count, KEX::Warning, "Found an empty triangle", "Found %i empty triangles");
  }
  if (halted(task))
    return task.aborted();
  return task.ok();
}
