// The repair report, an observer of the repair filter's sequence: the steps are the filter's own
// actions run by its Filter action, with their algorithms and property values; the report only
// takes counts between them. Edge statistics
// sort the undirected edge keys once (O(T log T)); holes are the connected chains of border edges
// (union-find over their vertices), which counts a simple loop as one hole.
#include "kexmesh/repair/FixReport.h"
#include "kexmesh/core/internal/UnionFind.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/FixTriangleMesh.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

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

void KEXFixReport::clear()
{
  const KEXFixTriangleMesh* filter = m_filter;
  *this = KEXFixReport(filter);
}

void KEXFixReport::stepBegins(int index, KEXenum name, const KEXTriangleMeshBuffer& buffer)
{
  if (index == 0)
    clear();
  m_step = Step();
  m_step.name = name;
  m_step.verticesBefore = buffer.getVertexCount();
  m_step.trianglesBefore = buffer.getTriangleCount();
  m_orienting = false;
  if (name == KEX::ConsolidateOrientation) {
    m_before = buffer.triangleList;
    m_orienting = m_before.getCount() == m_step.trianglesBefore; // else memory was short
  }
  if (name == KEX::CloseGaps && !m_holesCounted) {
    int open = 0, nonManifold = 0;
    m_holesCounted = countEdges(buffer, open, nonManifold, holesBefore);
  }
  m_start = std::chrono::steady_clock::now(); // the counting above is not the step's time
}

void KEXFixReport::stepEnds(int, KEXenum name, const KEXTriangleMeshBuffer& buffer, bool ok)
{
  m_step.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
  if (!ok) {
    steps.append(m_step);
    failedStep = name;
    return;
  }
  m_step.verticesAfter = buffer.getVertexCount();
  m_step.trianglesAfter = buffer.getTriangleCount();
  steps.append(m_step);
  const int dt = m_step.trianglesAfter - m_step.trianglesBefore;
  (dt < 0 ? trianglesDropped : trianglesAdded) += dt < 0 ? -dt : dt;
  if (name == KEX::ClusterVertices) {
    verticesWelded += m_step.verticesBefore - m_step.verticesAfter;
    if (m_filter)
      weldDistance = m_filter->getLastWeldDistance();
  }
  if (m_orienting) {
    int triangles = 0, components = 0;
    if (countReoriented(m_before, buffer, triangles, components)) {
      trianglesReoriented = std::max(trianglesReoriented, 0) + triangles;
      componentsFlipped = std::max(componentsFlipped, 0) + components;
    }
    m_before.setCount(0);
    m_orienting = false;
  }
  if (name == KEX::CloseGaps) {
    if (m_filter) {
      const KEXCloseGapsAlgorithm::Statistics gaps = m_filter->getLastGapStatistics();
      sheetOutlines += gaps.sheetLoops;
      unfillableLoops += gaps.unfillableLoops;
      givenUpLoops += gaps.abandonedLoops + gaps.nonManifoldLoops;
      componentsTurnedOutward += gaps.reorientedComponents;
    }
    // Counted after every CloseGaps step, so that what stays is the count after the last one.
    int open = 0, nonManifold = 0, holes = 0;
    if (m_holesCounted && countEdges(buffer, open, nonManifold, holes))
      holesAfter = holes;
  }
  if (name == KEX::RemoveDegenerateTriangles && m_filter)
    degenerateLeft = m_filter->getLastDegenerateStatistics().left;
}

void KEXFixReport::sequenceEnds(const KEXTriangleMeshBuffer& buffer)
{
  const int V = buffer.getVertexCount();
  invalidVertices = 0;
  for (const auto& p : buffer.vertexList)
    invalidVertices += !(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
  invalidTriangles = 0;
  for (const auto& t : buffer.triangleList)
    invalidTriangles += !validTriangle(t, V);
  if (!countEdges(buffer, openEdges, nonManifoldEdges, openLoops))
    openEdges = nonManifoldEdges = openLoops = -1;
  if (!countComponents(buffer, duplicateTriangles, closedComponents, inwardComponents))
    duplicateTriangles = closedComponents = inwardComponents = -1;
}
