// Repair of degenerate triangles.
//
// A triangle is degenerate when its area is at most that of a right isosceles triangle with legs of
// s / 64 (s the smallest component of the mesh's mean sampling distance), or when its smallest
// inner angle is below 1/1024 of its largest. Degenerate is not the same as harmful: a small, well
// shaped triangle on a finely tessellated part is part of the surface. So every repair is bounded by
// that leg length (the bound): no repair may move the surface farther than it.
//
// Two kinds are told apart by the largest angle:
// - with a flat corner (about 180 degrees) the triangle is a sliver lying on its long edge. Only a
//   sliver whose flat vertex lies within the bound of the long edge is touched: next to a healthy
//   triangle the long edge is flipped (which splits the neighbour at the flat vertex); on a border
//   the sliver is removed when its short edges stay covered by their other triangles; two slivers
//   on the same long edge are merged by moving one flat vertex onto the other when they are close
//   enough, and otherwise flipped; a sliver next to some other degenerate triangle repairs that one
//   first (at most two levels deep) and is then looked at again;
// - any other degenerate triangle (a needle, or a small one), and a sliver none of the above could
//   fix, has its one shortest edge collapsed when that edge is no longer than the bound.
//
// A collapse redirects one end of an edge onto the other, which stays where it is: the surface
// near the moved vertex moves by at most the edge's length. Each vertex remembers how far the input
// vertices merged into it lie at most, and a collapse that would take that beyond the bound is
// refused, so chains of collapses cannot drift. A collapse is also refused when a triangle around
// the moved vertex would turn over, when the two ends share neighbours other than the apexes of the
// edge's triangles (the link condition: otherwise an edge would be shared by more than two
// triangles or two triangles would coincide), when an edge at the moved vertex is not manifold, and
// when an inner edge joins two border vertices (the collapse would pinch the border). Everything
// refused stays as it was and is counted.
//
// Most triangles of a large mesh are sound. They are found first, on the worker threads, and each
// sound triangle's vertex indices are kept. The repairs never move a vertex, so a triangle whose
// indices are still the kept ones is still sound and need not be judged again; any repair that
// touches a triangle (a flip, a collapse, a removal that moves another triangle into its place)
// changes its indices. The repairs are therefore exactly those of judging every triangle in turn.
//
// The partner of an edge comes from the vertex corner lists (the triangle adjacency list is cleared
// at the start, as the repairs would invalidate it anyway), so only manifold, consistently oriented
// edges count as shared. Triangles with a repeated vertex index are not judged here: the discard
// step removes them.
#include "kexmesh/repair/RepairBadTrianglesAlgorithm.h"
#include "kexmesh/core/internal/ParallelBlocks.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Task.h"
#include "kexmesh/core/TriangleCalculus.h"

#include <algorithm>
#include <atomic>
#include <cmath>

KEXMESH_DEFINE_CLASS(KEXRepairBadTrianglesAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using Buffer = KEXTriangleMeshBuffer;
using D = KEXVector3<double>;
using Statistics = KEXRepairBadTrianglesAlgorithm::Statistics;
constexpr int BLOCK = 16384;
constexpr double MIN_ANGLE_RATIO = 0.0009765625;      // 1/1024
constexpr double FLAT_ANGLE = 3.129320807286708;      // 179.296875 degrees
constexpr double SCREEN_SINE = 0.004;                 // > sin(pi / 1024), with a wide margin
constexpr double RELIABLE_NORMAL = 1e-6;              // |cross| / longest edge^2 above which a normal has a direction
constexpr int MAX_RECURSION = 2;

class Repairer {
public:
  Repairer(Buffer& b, double areaThreshold, double bound, Statistics& statistics)
      : m_b(b), m_threshold(areaThreshold), m_bound(bound), m_st(statistics)
  {
  }

  /// The per-vertex displacement record. False when memory is short.
  bool init() { return m_moved.setCount(m_b.getVertexCount(), 0.0); }
  /// Marks the sound triangles on the worker threads; true when none is degenerate. False in ok
  /// when memory is short or the task was stopped (stopped tells which).
  bool screen(KEXTask& task, bool& ok, bool& stopped);
  /// Repairs triangle t if it is degenerate and a bounded repair exists. False when memory fails.
  bool step(int t, int depth);
  /// Whether t is degenerate; its angles are filled in when it is.
  bool degenerate(int t, D& angles) const;
  /// degenerate(), answered from the screen where t is as it was then.
  bool judge(int t, D& angles) const
  {
    return !(t < m_sound.getCount() && m_sound[t] == m_b.triangleList[t]) && degenerate(t, angles);
  }

private:
  enum class Outcome { Done, Refused, Recursed };

  D point(int v) const { return D(m_b.vertexList[v]); }
  bool repeated(const KEXTriangle<int>& tri) const { return tri[0] == tri[1] || tri[1] == tri[2] || tri[2] == tri[0]; }
  static int flatCorner(const D& angles)
  {
    for (int k = 2; k >= 0; --k)
      if (angles[k] >= FLAT_ANGLE)
        return k;
    return -1;
  }

  /// The distinct triangles that use both a and b (a != b); stores the first max of them.
  int edgeTriangles(int a, int b, int* out, int max) const;
  /// Whether t runs the half-edge a -> b.
  bool runsEdge(int t, int a, int b) const;
  /// One triangle on edge a-b, or two that run it in opposite directions and nowhere repeat a or b.
  bool manifoldEdge(int a, int b) const;
  bool isBorderVertex(int v) const;
  /// The distinct neighbours of v, ascending. False when memory is short.
  bool collectNeighbours(int v, KEXValueList<int>& out) const;

  Outcome repairSliver(int t, int flat, double bound, int depth, bool& ok);
  /// Whether the flip of the edge of corner c (partner cp) keeps the mesh sound and the surface
  /// within the bound: four distinct vertices, a new diagonal that is not an edge yet, and new
  /// triangles facing the way the healthy partner faced.
  bool canFlip(int c, int cp, double bound) const;
  /// Collapses edge a-b, moving the end that disturbs less; done tells whether it happened.
  bool collapseEdge(int a, int b, bool& done);
  /// Redirects u onto w and removes the triangles that vanish: those using both u and w, or the
  /// given ones (a sliver pair, where u and w share no edge). done tells whether it happened.
  bool tryCollapse(int u, int w, const int* extra, int extraCount, bool& done);
  /// Removes the listed vertices that no triangle uses any more (each once, highest first).
  bool removeOrphans(int* vertices, int count);

  Buffer& m_b;
  double m_threshold;
  double m_bound;
  Statistics& m_st;
  KEXValueList<double> m_moved; ///< per vertex: farthest input vertex merged into it
  mutable KEXValueList<int> m_ringU, m_ringW;
  /// Per triangle: its vertex indices when it was screened sound, (-1, -1, -1) when it was not.
  KEXValueList<KEXTriangle<int>> m_sound{16, true};
};

bool Repairer::screen(KEXTask& task, bool& ok, bool& stopped)
{
  const int T = m_b.getTriangleCount();
  stopped = false;
  ok = m_sound.setCount(T);
  if (!ok)
    return false;
  KEXTriangle<int>* sound = m_sound.getData();
  const KEXTriangle<int>* triangles = m_b.triangleList.getData();
  std::atomic<int> found{0};
  ok = kexmeshcore::parallelBlocks(task, T, BLOCK, 1.0, stopped, [&](int first, int end) {
    D angles;
    int n = 0;
    for (int t = first; t < end; ++t) {
      const bool bad = degenerate(t, angles);
      sound[t] = bad ? KEXTriangle<int>(-1, -1, -1) : triangles[t];
      n += bad ? 1 : 0;
    }
    found.fetch_add(n, std::memory_order_relaxed);
    return true;
  });
  return ok && found.load() == 0;
}

bool Repairer::degenerate(int t, D& angles) const
{
  const KEXTriangle<int>& tri = m_b.triangleList[t];
  if (!m_b.isValidVertex(tri[0]) || !m_b.isValidVertex(tri[1]) || !m_b.isValidVertex(tri[2]))
    return false;
  const KEXVector3<float>& a = m_b.vertexList[tri[0]];
  const KEXVector3<float>& b = m_b.vertexList[tri[1]];
  const KEXVector3<float>& c = m_b.vertexList[tri[2]];
  double area = 0.0;
  KEXTriangleCalculus3<float>::area(area, a, b, c);
  if (!(area <= m_threshold)) {
    // sin(smallest angle) = 2 * area / (product of the two longer sides). Well above sin(pi/1024)
    // the angle ratio cannot be below 1/1024 (the largest angle is at most pi): skip the arc
    // cosines for the vast majority of triangles.
    KEXVector3<double> l;
    KEXTriangleCalculus3<float>::lengths(l, a, b, c);
    double lo = std::min(l.x, std::min(l.y, l.z));
    double product = (l.x * l.y * l.z) / lo;
    if (product > 0.0 && 2.0 * area / product > SCREEN_SINE)
      return false;
  }
  KEXTriangleCalculus3<float>::angles(angles, a, b, c);
  if (area <= m_threshold)
    return true;
  double mn = std::min(angles.x, std::min(angles.y, angles.z));
  double mx = std::max(angles.x, std::max(angles.y, angles.z));
  return mn / mx < MIN_ANGLE_RATIO;
}

int Repairer::edgeTriangles(int a, int b, int* out, int max) const
{
  int n = 0, last = -1;
  for (int c : m_b.vertexAdjacencyList[a]) {
    const int t = c / 3;
    if (t == last)
      continue;
    last = t;
    const KEXTriangle<int>& tri = m_b.triangleList[t];
    if (tri[0] == b || tri[1] == b || tri[2] == b) {
      if (n < max)
        out[n] = t;
      ++n;
    }
  }
  return n;
}

bool Repairer::runsEdge(int t, int a, int b) const
{
  const KEXTriangle<int>& tri = m_b.triangleList[t];
  for (int k = 0; k < 3; ++k)
    if (tri[k] == a && tri[(k + 1) % 3] == b)
      return true;
  return false;
}

bool Repairer::manifoldEdge(int a, int b) const
{
  int ts[2];
  const int n = edgeTriangles(a, b, ts, 2);
  if (n == 1)
    return !repeated(m_b.triangleList[ts[0]]);
  if (n != 2 || repeated(m_b.triangleList[ts[0]]) || repeated(m_b.triangleList[ts[1]]))
    return false;
  return runsEdge(ts[0], a, b) != runsEdge(ts[1], a, b);
}

bool Repairer::isBorderVertex(int v) const
{
  for (int c : m_b.vertexAdjacencyList[v]) {
    const int x = m_b.cornerVertex(Buffer::nextCorner(c));
    const int y = m_b.cornerVertex(Buffer::previousCorner(c));
    if ((x != v && edgeTriangles(v, x, nullptr, 0) == 1) || (y != v && edgeTriangles(v, y, nullptr, 0) == 1))
      return true;
  }
  return false;
}

bool Repairer::collectNeighbours(int v, KEXValueList<int>& out) const
{
  out.setCount(0);
  for (int c : m_b.vertexAdjacencyList[v]) {
    const int x = m_b.cornerVertex(Buffer::nextCorner(c));
    const int y = m_b.cornerVertex(Buffer::previousCorner(c));
    if ((x != v && !out.append(x)) || (y != v && !out.append(y)))
      return false;
  }
  std::sort(out.begin(), out.end());
  return out.setCount(int(std::unique(out.begin(), out.end()) - out.begin()));
}

bool Repairer::removeOrphans(int* vertices, int count)
{
  std::sort(vertices, vertices + count);
  for (int i = count - 1; i >= 0; --i) {
    const int v = vertices[i];
    if ((i + 1 < count && vertices[i + 1] == v) || !m_b.isValidVertex(v) || m_b.vertexAdjacencyList[v].getCount() > 0)
      continue;
    const int last = m_b.getVertexCount() - 1;
    if (!m_b.removeVertex(v))
      return false;
    m_moved[v] = m_moved[last];
    m_moved.setCount(last);
  }
  return true;
}

bool Repairer::canFlip(int c, int cp, double bound) const
{
  const int t = c / 3, t2 = cp / 3;
  const int s = m_b.cornerVertex(Buffer::previousCorner(c));
  const int e = m_b.cornerVertex(c);
  const int a = m_b.cornerVertex(Buffer::nextCorner(c));
  const int ap = m_b.cornerVertex(Buffer::nextCorner(cp));
  if (t == t2 || !m_b.isValidVertex(ap) || a == ap || ap == s || ap == e)
    return false;
  const D ps = point(s), pe = point(e), pa = point(a), pap = point(ap);
  // The flat vertex must lie within the bound of the long edge: that is how far the surface moves.
  const D se = pe - ps;
  const double height = std::sqrt((pa - ps).cross(se).squaredLength() / se.squaredLength());
  if (!(height <= bound))
    return false;
  if (edgeTriangles(a, ap, nullptr, 0) != 0)
    return false;
  // The new triangles (s, ap, a) and (e, a, ap) must face the way the partner (e, s, ap) faces.
  const D n2 = (ps - pe).cross(pap - pe);
  return (pap - ps).cross(pa - ps).dot(n2) > 0.0 && (pa - pe).cross(pap - pe).dot(n2) > 0.0;
}

bool Repairer::tryCollapse(int u, int w, const int* extra, int extraCount, bool& done)
{
  done = false;
  if (u == w || !m_b.isValidVertex(u) || !m_b.isValidVertex(w))
    return true;
  const D pu = point(u), pw = point(w);
  const double d = std::sqrt((pw - pu).squaredLength());
  if (!(m_moved[u] + d <= m_bound))
    return true;

  // The triangles that vanish and their apexes (vertices other than u and w).
  int removed[2];
  int nRemoved = edgeTriangles(u, w, removed, 2);
  if (extraCount > 0) {
    if (nRemoved != 0)
      return true;
    nRemoved = extraCount;
    std::copy(extra, extra + extraCount, removed);
  } else if (nRemoved < 1 || nRemoved > 2 || !manifoldEdge(u, w)) {
    return true;
  }
  int apex[4];
  int nApex = 0;
  for (int i = 0; i < nRemoved; ++i) {
    const KEXTriangle<int>& tri = m_b.triangleList[removed[i]];
    if (repeated(tri))
      return true;
    for (int k = 0; k < 3; ++k)
      if (tri[k] != u && tri[k] != w && std::find(apex, apex + nApex, tri[k]) == apex + nApex)
        apex[nApex++] = tri[k];
  }
  if (nApex != (extraCount > 0 ? 2 : nRemoved))
    return true; // two triangles on one edge with one apex: a doubled triangle
  const bool borderEdge = extraCount == 0 && nRemoved == 1;
  if (!borderEdge && isBorderVertex(u) && isBorderVertex(w))
    return true;

  // Link condition: the only common neighbours are the apexes.
  if (!collectNeighbours(u, m_ringU) || !collectNeighbours(w, m_ringW))
    return false;
  int common = 0;
  for (int i = 0, j = 0; i < m_ringU.getCount() && j < m_ringW.getCount();) {
    if (m_ringU[i] < m_ringW[j]) {
      ++i;
    } else if (m_ringW[j] < m_ringU[i]) {
      ++j;
    } else {
      if (std::find(apex, apex + nApex, m_ringU[i]) == apex + nApex)
        return true;
      ++common, ++i, ++j;
    }
  }
  if (common != nApex)
    return true;
  for (int x : m_ringU)
    if (!manifoldEdge(u, x))
      return true;
  for (int i = 0; i < nApex; ++i)
    if (!manifoldEdge(w, apex[i]))
      return true;

  // The triangles that move with u: none may turn over or coincide with an existing one.
  D ring(0, 0, 0);
  for (int c : m_b.vertexAdjacencyList[u]) {
    const KEXTriangle<int>& tri = m_b.triangleList[c / 3];
    ring += (point(tri[1]) - point(tri[0])).cross(point(tri[2]) - point(tri[0]));
  }
  for (int c : m_b.vertexAdjacencyList[u]) {
    const int t = c / 3;
    if (std::find(removed, removed + nRemoved, t) != removed + nRemoved)
      continue;
    const int x = m_b.cornerVertex(Buffer::nextCorner(c)), y = m_b.cornerVertex(Buffer::previousCorner(c));
    if (x == u || y == u)
      return true;
    const D px = point(x), py = point(y);
    const D before = (px - pu).cross(py - pu), after = (px - pw).cross(py - pw);
    const double longest = std::max((px - pu).squaredLength(), std::max((py - pu).squaredLength(), (py - px).squaredLength()));
    const D reference = std::sqrt(before.squaredLength()) > RELIABLE_NORMAL * longest ? before : ring;
    if (reference.squaredLength() > 0.0 && !(after.dot(reference) > 0.0))
      return true;
    for (int cw : m_b.vertexAdjacencyList[w]) {
      const int tw = cw / 3;
      if (std::find(removed, removed + nRemoved, tw) != removed + nRemoved)
        continue;
      const int xw = m_b.cornerVertex(Buffer::nextCorner(cw)), yw = m_b.cornerVertex(Buffer::previousCorner(cw));
      if ((xw == x && yw == y) || (xw == y && yw == x))
        return true;
    }
  }

  if (!m_b.redirectVertex(u, w))
    return false;
  std::sort(removed, removed + nRemoved);
  for (int i = nRemoved - 1; i >= 0; --i)
    if (!m_b.removeTriangle(removed[i]))
      return false;
  m_moved[w] = std::max(m_moved[w], m_moved[u] + d);
  ++m_st.collapses;
  m_st.removed += nRemoved;
  done = true;
  int orphans[6] = {u, w, apex[0], nApex > 1 ? apex[1] : u};
  return removeOrphans(orphans, 4);
}

bool Repairer::collapseEdge(int a, int b, bool& done)
{
  // Keep the vertex that holds more in place: a border vertex over an inner one (the border keeps
  // its shape), else the one with the larger fan.
  const bool borderA = isBorderVertex(a), borderB = isBorderVertex(b);
  int u = b, w = a;
  if (borderA != borderB ? borderB : m_b.vertexAdjacencyList[b].getCount() > m_b.vertexAdjacencyList[a].getCount())
    std::swap(u, w);
  if (!tryCollapse(u, w, nullptr, 0, done))
    return false;
  return done || tryCollapse(w, u, nullptr, 0, done);
}

Repairer::Outcome Repairer::repairSliver(int t, int flat, double bound, int depth, bool& ok)
{
  ok = true;
  const KEXTriangle<int> tri = m_b.triangleList[t];
  const int c = 3 * t + (flat + 2) % 3; // its edge is the long edge, opposite the flat corner
  const int s = tri[(flat + 1) % 3], e = tri[(flat + 2) % 3], a = tri[flat];
  const int cp = m_b.partnerCorner(c);
  if (cp < 0) {
    // A border only when no other triangle uses the long edge; the sliver goes when it is thin
    // and its short edges stay covered by their other triangles (no hole opens).
    const D ps = point(s), se = point(e) - ps;
    const double height = std::sqrt((point(a) - ps).cross(se).squaredLength() / se.squaredLength());
    if (edgeTriangles(s, e, nullptr, 0) != 1 || !(height <= bound) || edgeTriangles(s, a, nullptr, 0) != 2 ||
        edgeTriangles(a, e, nullptr, 0) != 2 || !manifoldEdge(s, a) || !manifoldEdge(a, e))
      return Outcome::Refused;
    int notes[3] = {s, e, a};
    ok = m_b.removeTriangle(t) && removeOrphans(notes, 3);
    ++m_st.removed;
    return Outcome::Done;
  }
  const int t2 = cp / 3;
  if (repeated(m_b.triangleList[t2]))
    return Outcome::Refused;
  D angles2;
  if (!judge(t2, angles2)) {
    if (!canFlip(c, cp, bound))
      return Outcome::Refused;
    ok = m_b.flipEdge(c);
    ++m_st.flips;
    return Outcome::Done;
  }
  const int flat2 = flatCorner(angles2);
  if (flat2 == (cp % 3 + 1) % 3) {
    // Both are slivers on the same long edge: move one flat vertex onto the other, and both vanish.
    const int a2 = m_b.triangleList[t2][flat2];
    const int pair[2] = {t, t2};
    const D ps = point(s), se = point(e) - ps;
    const double h = std::sqrt((point(a) - ps).cross(se).squaredLength() / se.squaredLength());
    const double h2 = std::sqrt((point(a2) - ps).cross(se).squaredLength() / se.squaredLength());
    if (!(h <= bound) || !(h2 <= bound))
      return Outcome::Refused;
    bool done = false;
    if (!tryCollapse(a, a2, pair, 2, done) || (!done && !tryCollapse(a2, a, pair, 2, done))) {
      ok = false;
      return Outcome::Done;
    }
    if (done)
      return Outcome::Done;
    // Too far apart to merge: the flip gives the quadrilateral its other diagonal, which lies as
    // close to the long edge as the two flat vertices do.
    if (a == a2 || edgeTriangles(a, a2, nullptr, 0) != 0)
      return Outcome::Refused;
    ok = m_b.flipEdge(c);
    ++m_st.flips;
    return Outcome::Done;
  }
  if (depth >= MAX_RECURSION)
    return Outcome::Refused;
  ok = step(t2, depth + 1) && (t >= m_b.getTriangleCount() || step(t, depth + 1));
  return Outcome::Recursed;
}

bool Repairer::step(int t, int depth)
{
  if (t < 0 || t >= m_b.getTriangleCount())
    return true;
  const KEXTriangle<int> tri = m_b.triangleList[t];
  if (!m_b.isValidVertex(tri[0]) || !m_b.isValidVertex(tri[1]) || !m_b.isValidVertex(tri[2]) || repeated(tri))
    return true; // not ours to judge: the discard step removes such triangles
  D angles;
  if (!judge(t, angles))
    return true;
  D l;
  KEXTriangleCalculus3<float>::lengths(l, m_b.vertexList[tri[0]], m_b.vertexList[tri[1]], m_b.vertexList[tri[2]]);
  const int shortK = l.x <= l.y && l.x <= l.z ? 0 : (l.y <= l.z ? 1 : 2);
  const double shortest = l[shortK];
  const double bound = std::min(m_bound, shortest);

  const int flat = flatCorner(angles);
  if (flat >= 0) {
    bool ok = true;
    const Outcome outcome = repairSliver(t, flat, bound, depth, ok);
    if (!ok)
      return false;
    if (outcome != Outcome::Refused)
      return true;
  }
  // A needle, a small triangle, or a sliver nothing else could fix: collapse the one shortest
  // edge, when it is short enough.
  if (!(shortest <= m_bound))
    return true;
  bool done = false;
  return collapseEdge(tri[(shortK + 1) % 3], tri[(shortK + 2) % 3], done);
}

bool endOutOfMemory(KEXTask& inner, KEXTask& task)
{
  kexEndOutOfMemory(inner);
  return task.error(KEX::OutOfMemory);
}

/// Ends inner and task after a stop request: aborted, or failed with GenericError.
bool endStopped(KEXTask& inner, KEXTask& task)
{
  if (inner.wasAborted()) {
    inner.aborted();
    return task.aborted();
  }
  inner.error(KEX::GenericError);
  return task.error(KEX::GenericError);
}

} // namespace

bool KEXRepairBadTrianglesAlgorithm::run(void*)
{
  Buffer& b = m_buffer;
  m_statistics = Statistics();
  KEXTask task("Removing degenerate triangles", 8.0, 0x1010000, 0);
  b.triangleAdjacencyList.clear();
  if (b.getTriangleCount() <= 0)
    return task.ok();

  double threshold, bound;
  {
    KEXSubTask sub(nullptr, 1.0);
    KEXVector3<float> msd;
    double s = 1.0;
    if (b.calculateMeanSamplingDistance(msd))
      s = double(std::min(msd.x, std::min(msd.y, msd.z)));
    bound = s * 0.015625;
    threshold = bound * bound * 0.5;
  }

  Repairer repairer(b, threshold, bound, m_statistics);
  {
    KEXSubTask sub(nullptr, 1.0);
    KEXTask inner("Processing triangles", double(b.getTriangleCount()), 0x10000, 0);
    bool ok = false, stopped = false;
    if (repairer.screen(inner, ok, stopped)) {
      inner.ok();
      return task.ok(); // nothing to repair, so no adjacency list to build
    }
    if (stopped)
      return endStopped(inner, task);
    if (!ok)
      return endOutOfMemory(inner, task);
    inner.ok();
  }

  KEXDerivedListScope vertexAdjacency = KEXDerivedListScope::vertexAdjacency(b, true);
  {
    KEXSubTask sub("Creating vertex adjacency list", 2.0);
    if (!vertexAdjacency.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }

  for (int pass = 0; pass < 2; ++pass) {
    KEXSubTask sub(nullptr, 2.0);
    const int T = b.getTriangleCount();
    KEXTask inner("Processing triangles", double(T), 0x10000, 0);
    if (pass == 0 && !repairer.init())
      return endOutOfMemory(inner, task);
    int i = T - 1;
    while (i >= 0) {
      const int blockStart = std::max(0, i - BLOCK + 1);
      const int blockSize = i - blockStart + 1;
      while (i >= blockStart) {
        if (!repairer.step(i, 0))
          return endOutOfMemory(inner, task);
        i = std::min(i, b.getTriangleCount()) - 1;
      }
      if (!inner.incProgress(double(blockSize), true))
        return endStopped(inner, task);
    }
    inner.ok();
  }
  D angles;
  for (int t = 0; t < b.getTriangleCount(); ++t)
    m_statistics.left += repairer.judge(t, angles) ? 1 : 0;
  return task.ok();
}
