// Step-by-step run of the repair filter with counts. The steps are the filter's own actions run in
// buffer mode (a Parameters record naming the caller's buffer), so they use the same algorithms
// and property values as the Filter action; between steps only counts are taken. Edge statistics
// sort the undirected edge keys once (O(T log T)); holes are the connected chains of border edges
// (union-find over their vertices), which counts a simple loop as one hole.
#include "kexmesh/repair/FixReport.h"
#include "kex/Error.h"
#include "kex/Task.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/core/internal/UnionFind.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/FixTriangleMesh.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

namespace {
constexpr unsigned int SEQUENCE_TASK_FLAGS = 0x1030000;
constexpr double SETUP_WEIGHT = 0.01;

bool validTriangle(const KEXTriangle<int>& t, int V)
{
  return unsigned(t[0]) < unsigned(V) && unsigned(t[1]) < unsigned(V) && unsigned(t[2]) < unsigned(V);
}

/// Whether b is a (with its corners in reverse cyclic order).
bool reversed(const KEXTriangle<int>& a, const KEXTriangle<int>& b)
{
  for (int k = 0; k < 3; ++k)
    if (b[0] == a[k] && b[1] == a[(k + 2) % 3] && b[2] == a[(k + 1) % 3])
      return a[0] != a[1] || a[1] != a[2];
  return false;
}

/// Reversed triangles of after against before, and the components (by shared vertices) of which
/// the majority was reversed. False when memory is short.
bool countReoriented(const KEXValueList<KEXTriangle<int>>& before, const KEXTriangleMeshBuffer& after, int& triangles,
                     int& components)
{
  const int T = after.getTriangleCount(), V = after.getVertexCount();
  if (before.getCount() != T)
    return false;
  KEXValueList<int> parent(16, true), balance(16, true);
  if (!parent.setCount(V) || !balance.setCount(V, 0))
    return false;
  kexunion::reset(parent.getData(), V);
  for (const KEXTriangle<int>& t : after.triangleList)
    if (validTriangle(t, V))
      for (int k = 1; k < 3; ++k)
        kexunion::unite(parent.getData(), t[0], t[k]);
  triangles = 0;
  for (int t = 0; t < T; ++t) {
    const KEXTriangle<int>& now = after.triangleList[t];
    if (!validTriangle(now, V))
      continue;
    const bool r = reversed(before[t], now);
    triangles += r;
    balance[kexunion::findRoot(parent.getData(), now[0])] += r ? 1 : -1;
  }
  components = 0;
  for (int v = 0; v < V; ++v)
    components += parent[v] == v && balance[v] > 0;
  return true;
}
} // namespace

bool KEXFixReport::countEdges(const KEXTriangleMeshBuffer& b, int& openEdges, int& nonManifoldEdges, int& holes)
{
  const int T = b.getTriangleCount(), V = b.getVertexCount();
  KEXValueList<uint64_t> keys(16, true);
  KEXValueList<int> parent(16, true);
  if (!keys.setCount(3 * T) || !parent.setCount(V))
    return false;
  int count = 0;
  for (const KEXTriangle<int>& t : b.triangleList)
    if (validTriangle(t, V))
      for (int k = 0; k < 3; ++k) {
        uint32_t u = uint32_t(t[k]), w = uint32_t(t[(k + 1) % 3]);
        if (u != w)
          keys[count++] = (uint64_t(std::min(u, w)) << 32) | std::max(u, w);
      }
  keys.setCount(count); // shrinking never fails
  std::sort(keys.begin(), keys.end());
  kexunion::reset(parent.getData(), V);
  int open = 0, nonManifold = 0;
  for (int i = 0, n = keys.getCount(); i < n;) {
    int j = i + 1;
    while (j < n && keys[j] == keys[i])
      ++j;
    if (j - i == 1) {
      ++open;
      const int u = int(keys[i] >> 32), w = int(keys[i] & 0xffffffffu);
      kexunion::unite(parent.getData(), w, u);
    } else if (j - i > 2) {
      ++nonManifold;
    }
    i = j;
  }
  // A root of a chain of border edges is a vertex on a border edge that is its own parent.
  int chains = 0;
  for (int i = 0, n = keys.getCount(); i < n;) {
    int j = i + 1;
    while (j < n && keys[j] == keys[i])
      ++j;
    if (j - i == 1)
      for (int u : {int(keys[i] >> 32), int(keys[i] & 0xffffffffu)})
        if (parent[u] == u) {
          ++chains;
          parent[u] = -1 - u; // counted; still a root for nobody else
        }
    i = j;
  }
  openEdges = open;
  nonManifoldEdges = nonManifold;
  holes = chains;
  return true;
}

bool KEXFixReport::problemsLeft() const
{
  return openEdges != 0 || nonManifoldEdges != 0 || inwardComponents != 0 || duplicateTriangles != 0 ||
         invalidVertices != 0 || invalidTriangles != 0;
}

bool KEXFixReport::countComponents(const KEXTriangleMeshBuffer& b, int& duplicateTriangles, int& closedComponents,
                                   int& inwardComponents)
{
  const int T = b.getTriangleCount(), V = b.getVertexCount();
  struct HalfEdge {
    uint64_t key; // undirected: low vertex in the high half
    int triangle;
    bool forward;
  };
  KEXValueList<HalfEdge> edges(16, true);
  KEXValueList<KEXTriangle<int>> sets(16, true);
  KEXValueList<int> parent(16, true), anchor(16, true);
  KEXValueList<double> volume(16, true);
  KEXValueList<char> open(16, true);
  if (!edges.setCount(3 * T) || !parent.setCount(T) || !anchor.setCount(T, -1) || !volume.setCount(T, 0.0) ||
      !open.setCount(T, 0) || !sets.setCount(T))
    return false;
  int count = 0, triangles = 0;
  for (int t = 0; t < T; ++t) {
    parent[t] = t;
    const KEXTriangle<int>& tri = b.triangleList[t];
    if (!validTriangle(tri, V) || tri[0] == tri[1] || tri[1] == tri[2] || tri[0] == tri[2]) {
      open[t] = 1;
      continue;
    }
    for (int k = 0; k < 3; ++k) {
      const uint32_t u = uint32_t(tri[k]), w = uint32_t(tri[(k + 1) % 3]);
      edges[count++] = HalfEdge{(uint64_t(std::min(u, w)) << 32) | std::max(u, w), t, u < w};
    }
    // Duplicates by their sorted vertex triple.
    KEXTriangle<int>& sorted = sets[triangles++];
    sorted = tri;
    if (sorted[0] > sorted[1])
      std::swap(sorted[0], sorted[1]);
    if (sorted[1] > sorted[2])
      std::swap(sorted[1], sorted[2]);
    if (sorted[0] > sorted[1])
      std::swap(sorted[0], sorted[1]);
  }
  edges.setCount(count); // shrinking never fails
  sets.setCount(triangles);
  std::sort(sets.begin(), sets.end(), [](const KEXTriangle<int>& x, const KEXTriangle<int>& y) {
    return x[0] != y[0] ? x[0] < y[0] : (x[1] != y[1] ? x[1] < y[1] : x[2] < y[2]);
  });
  int duplicates = 0;
  for (int i = 1; i < triangles; ++i)
    duplicates += sets[i][0] == sets[i - 1][0] && sets[i][1] == sets[i - 1][1] && sets[i][2] == sets[i - 1][2];
  std::sort(edges.begin(), edges.end(), [](const HalfEdge& x, const HalfEdge& y) { return x.key < y.key; });
  for (int i = 0; i < count;) {
    int j = i + 1;
    while (j < count && edges[j].key == edges[i].key)
      ++j;
    if (j - i == 2 && edges[i].forward != edges[i + 1].forward)
      kexunion::unite(parent.getData(), edges[i + 1].triangle, edges[i].triangle);
    else
      for (int e = i; e < j; ++e)
        open[edges[e].triangle] = 1;
    i = j;
  }
  // An open triangle opens its component; the volume is summed relative to one vertex of the
  // component so that meshes far from the origin keep their precision.
  for (int t = 0; t < T; ++t) {
    if (!validTriangle(b.triangleList[t], V))
      continue;
    const int r = kexunion::findRoot(parent.getData(), t);
    if (open[t])
      open[r] = 1;
    if (anchor[r] < 0)
      anchor[r] = b.triangleList[t][0];
  }
  for (int t = 0; t < T; ++t) {
    const KEXTriangle<int>& tri = b.triangleList[t];
    if (open[t] || !validTriangle(tri, V))
      continue;
    const int r = kexunion::findRoot(parent.getData(), t);
    const KEXVector3<float>& o = b.vertexList[anchor[r]];
    double p[3][3];
    for (int k = 0; k < 3; ++k) {
      const KEXVector3<float>& v = b.vertexList[tri[k]];
      p[k][0] = double(v.x) - o.x;
      p[k][1] = double(v.y) - o.y;
      p[k][2] = double(v.z) - o.z;
    }
    volume[r] += p[0][0] * (p[1][1] * p[2][2] - p[1][2] * p[2][1]) - p[0][1] * (p[1][0] * p[2][2] - p[1][2] * p[2][0]) +
                 p[0][2] * (p[1][0] * p[2][1] - p[1][1] * p[2][0]);
  }
  int closed = 0, inward = 0;
  for (int t = 0; t < T; ++t)
    if (parent[t] == t && !open[t] && validTriangle(b.triangleList[t], V)) {
      ++closed;
      inward += volume[t] < 0.0;
    }
  duplicateTriangles = duplicates;
  closedComponents = closed;
  inwardComponents = inward;
  return true;
}

bool KEXFixReport::run(KEXFixTriangleMesh& filter, KEXTriangleMeshBuffer& buffer, KEXFixReport* report)
{
  const int n = filter.getSequenceCount();
  KEXTask task("Executing operation sequence", n + SETUP_WEIGHT, SEQUENCE_TASK_FLAGS, 0);
  task.incProgress(SETUP_WEIGHT, true);
  KEXValueList<KEXTriangleMeshAction*> actions(16, true);
  KEXValueList<KEXenum> names(16, true);
  if (!actions.setCount(n) || !names.setCount(n)) {
    KEXError::emitError(KEXError::Message(&filter, KEX::OutOfMemory));
    KEXTask::Diagnostics diagnostics(KEX::Error, "Out of memory");
    return task.error(KEX::OutOfMemory, &diagnostics);
  }
  for (int i = 0; i < n; ++i) {
    names[i] = filter.getSequenceID(i);
    KEXAction* a = filter.getAction(names[i]);
    if (!a || !a->getMetaClass().isOfType(KEXTriangleMeshAction::metaClass())) {
      KEXError::emitError(KEXError::Message(&filter, KEX::InvalidValue));
      return task.error(KEX::GenericError);
    }
    actions[i] = static_cast<KEXTriangleMeshAction*>(a);
  }
  int lastCloseGaps = -1;
  for (int i = 0; i < n; ++i)
    if (names[i] == KEX::CloseGaps)
      lastCloseGaps = i;

  KEXTriangleMeshAction::Parameters record(&buffer, nullptr);
  bool holesCounted = false;
  for (int i = 0; i < n; ++i) {
    Step step;
    step.name = names[i];
    step.verticesBefore = buffer.getVertexCount();
    step.trianglesBefore = buffer.getTriangleCount();
    KEXValueList<KEXTriangle<int>> before(16, true);
    if (report && names[i] == KEX::ConsolidateOrientation)
      before = buffer.triangleList;
    const bool orienting = report && names[i] == KEX::ConsolidateOrientation && before.getCount() == step.trianglesBefore;
    if (report && names[i] == KEX::CloseGaps && !holesCounted) {
      int open = 0, nonManifold = 0;
      holesCounted = countEdges(buffer, open, nonManifold, report->holesBefore);
    }
    const auto start = std::chrono::steady_clock::now();
    bool ok;
    {
      KEXSubTask sub(nullptr, 1.0);
      ok = actions[i]->execute(&record);
      if (!ok) {
        if (report) {
          step.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          report->steps.append(step);
          report->failedStep = names[i];
        }
        return task.statusOf(sub, KEX::GenericError);
      }
    }
    if (report) {
      step.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      step.verticesAfter = buffer.getVertexCount();
      step.trianglesAfter = buffer.getTriangleCount();
      report->steps.append(step);
      const int dt = step.trianglesAfter - step.trianglesBefore;
      (dt < 0 ? report->trianglesDropped : report->trianglesAdded) += dt < 0 ? -dt : dt;
      if (names[i] == KEX::ClusterVertices) {
        report->verticesWelded += step.verticesBefore - step.verticesAfter;
        report->weldDistance = filter.getLastWeldDistance();
      }
      if (orienting) {
        int triangles = 0, components = 0;
        if (countReoriented(before, buffer, triangles, components)) {
          report->trianglesReoriented = std::max(report->trianglesReoriented, 0) + triangles;
          report->componentsFlipped = std::max(report->componentsFlipped, 0) + components;
        }
      }
      if (names[i] == KEX::CloseGaps) {
        const KEXCloseGapsAlgorithm::Statistics gaps = filter.getLastGapStatistics();
        report->sheetOutlines += gaps.sheetLoops;
        report->unfillableLoops += gaps.unfillableLoops;
        report->givenUpLoops += gaps.abandonedLoops + gaps.nonManifoldLoops;
        report->componentsTurnedOutward += gaps.reorientedComponents;
      }
      if (names[i] == KEX::RemoveDegenerateTriangles)
        report->degenerateLeft = filter.getLastDegenerateStatistics().left;
      if (i == lastCloseGaps && holesCounted) {
        int open = 0, nonManifold = 0, holes = 0;
        if (countEdges(buffer, open, nonManifold, holes))
          report->holesAfter = holes;
      }
    }
    if (task.wasAborted())
      return task.aborted();
    if (task.wasStopped())
      break;
  }
  if (report) {
    const int V = buffer.getVertexCount();
    report->invalidVertices = 0;
    for (const auto& p : buffer.vertexList)
      report->invalidVertices += !(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
    report->invalidTriangles = 0;
    for (const auto& t : buffer.triangleList)
      report->invalidTriangles += !validTriangle(t, V);
    if (!countEdges(buffer, report->openEdges, report->nonManifoldEdges, report->openLoops))
      report->openEdges = report->nonManifoldEdges = report->openLoops = -1;
    if (!countComponents(buffer, report->duplicateTriangles, report->closedComponents, report->inwardComponents))
      report->duplicateTriangles = report->closedComponents = report->inwardComponents = -1;
  }
  return task.wasStopped() ? task.stopped() : task.ok();
}
