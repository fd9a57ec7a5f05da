// Repair of degenerate triangles.
//
// A triangle is degenerate when its area is at most that of a right isosceles triangle with legs of
// 1/64 of the mesh's sampling distance, or when its smallest inner angle is below 1/1024 of its
// largest. Two kinds are told apart by the largest angle:
// - with a flat corner (about 180 degrees) the triangle is a sliver lying on its long edge. Next to
//   a healthy triangle the long edge is flipped, which splits the neighbour at the flat vertex; on a
//   border the sliver is simply removed; two slivers on the same long edge are merged away by
//   moving one flat vertex onto the other; otherwise the neighbour is repaired first (at most two
//   levels deep) and the triangle is looked at again;
// - without a flat corner (a needle, or a tiny triangle) its short edges are collapsed onto one
//   vertex and the triangle is removed.
// Vertices that no triangle uses after a repair are removed. Two passes from the last triangle to
// the first catch most of what the first pass leaves behind (collapses create new degenerate
// triangles among the neighbours).
//
// The partner of an edge comes from the vertex corner lists (the triangle adjacency list is cleared
// at the start, as the repairs would invalidate it anyway), so only manifold, consistently oriented
// edges count as shared.
#include "kexmesh/repair/RepairBadTrianglesAlgorithm.h"

#include "kex/Task.h"
#include "kexmesh/core/TriangleCalculus.h"

#include <algorithm>
#include <cmath>

KEXMESH_DEFINE_CLASS(KEXRepairBadTrianglesAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using Buffer = KEXTriangleMeshBuffer;
using D = KEXVector3<double>;
constexpr int BLOCK = 16384;
constexpr double MIN_ANGLE_RATIO = 0.0009765625;      // 1/1024
constexpr double FLAT_ANGLE = 3.129320807286708;      // 179.296875 degrees
constexpr double NEEDLE_ANGLE = 1.3089969389957472;   // 75 degrees
constexpr double SCREEN_SINE = 0.004;                 // > sin(pi / 1024), with a wide margin
constexpr int MAX_RECURSION = 2;

bool shareTriangle(const KEXCompactIndexArray& la, const KEXCompactIndexArray& lb)
{
  int i = 0, j = 0;
  while (i < la.getCount() && j < lb.getCount()) {
    int ta = la[i] / 3, tb = lb[j] / 3;
    if (ta == tb)
      return true;
    if (ta < tb)
      ++i;
    else
      ++j;
  }
  return false;
}

class Repairer {
public:
  Repairer(Buffer& b, double areaThreshold) : m_b(b), m_threshold(areaThreshold) {}

  /// Repairs triangle t if it is degenerate. False when a buffer operation fails.
  bool step(int t, int depth);

private:
  /// Whether t is degenerate; its angles are filled in when it is.
  bool degenerate(int t, D& angles) const;
  static int flatCorner(const D& angles)
  {
    for (int k = 2; k >= 0; --k)
      if (angles[k] >= FLAT_ANGLE)
        return k;
    return -1;
  }
  /// Whether flipping the edge of corner c (partner cp) keeps the mesh sound: four distinct
  /// vertices and a new diagonal that is not an edge yet.
  bool canFlip(int c, int cp) const;
  void note(int t)
  {
    for (int k = 0; k < 3 && m_noted < 6; ++k)
      m_notes[m_noted++] = m_b.triangleList[t][k];
  }
  bool removeOrphans();

  Buffer& m_b;
  double m_threshold;
  int m_notes[6] = {};
  int m_noted = 0;
};

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

bool Repairer::canFlip(int c, int cp) const
{
  const int s = m_b.cornerVertex(Buffer::previousCorner(c));
  const int e = m_b.cornerVertex(c);
  const int a = m_b.cornerVertex(Buffer::nextCorner(c));
  const int ap = m_b.cornerVertex(Buffer::nextCorner(cp));
  if (!m_b.isValidVertex(a) || !m_b.isValidVertex(ap) || !m_b.isValidVertex(s) || !m_b.isValidVertex(e))
    return false;
  if (a == ap || a == s || a == e || ap == s || ap == e || s == e)
    return false;
  return !shareTriangle(m_b.vertexAdjacencyList[a], m_b.vertexAdjacencyList[ap]);
}

bool Repairer::removeOrphans()
{
  std::sort(m_notes, m_notes + m_noted);
  for (int i = m_noted - 1; i >= 0; --i) {
    const int v = m_notes[i];
    if (i + 1 < m_noted && m_notes[i + 1] == v)
      continue;
    if (m_b.isValidVertex(v) && m_b.vertexAdjacencyList[v].getCount() == 0 && !m_b.removeVertex(v))
      return false;
  }
  m_noted = 0;
  return true;
}

bool Repairer::step(int t, int depth)
{
  if (t < 0 || t >= m_b.getTriangleCount())
    return true;
  const KEXTriangle<int> tri = m_b.triangleList[t];
  if (!m_b.isValidVertex(tri[0]) || !m_b.isValidVertex(tri[1]) || !m_b.isValidVertex(tri[2]))
    return true; // not ours to judge: the discard step removes such triangles
  D angles;
  if (!degenerate(t, angles))
    return true;
  m_noted = 0;

  const int flat = flatCorner(angles);
  if (flat >= 0) {
    const int c = 3 * t + (flat + 2) % 3; // its edge is the long edge, opposite the flat corner
    const int cp = m_b.partnerCorner(c);
    if (cp < 0) {
      note(t);
      return m_b.removeTriangle(t) && removeOrphans();
    }
    const int t2 = cp / 3;
    D angles2;
    if (!degenerate(t2, angles2)) {
      // A flip that would make a non-manifold edge or fold repeated vertices is not done; the
      // sliver then stays.
      if (!canFlip(c, cp))
        return true;
      return m_b.flipEdge(c);
    }
    const int flat2 = flatCorner(angles2);
    if (flat2 == (cp % 3 + 1) % 3) {
      // Both are slivers on the same long edge: move t's flat vertex onto t2's, and both vanish.
      note(t);
      note(t2);
      if (!m_b.redirectVertex(tri[flat], m_b.triangleList[t2][flat2]))
        return false;
      if (!m_b.removeTriangle(std::max(t, t2)) || !m_b.removeTriangle(std::min(t, t2)))
        return false;
      return removeOrphans();
    }
    if (depth < MAX_RECURSION) {
      if (!step(t2, depth + 1))
        return false;
      if (t < m_b.getTriangleCount())
        return step(t, depth + 1);
    }
    return true;
  }

  // A needle or a tiny triangle: collapse the edges opposite its sharp corners onto one vertex.
  int set[6];
  int n = 0;
  auto add = [&](int v) {
    for (int i = 0; i < n; ++i)
      if (set[i] == v)
        return;
    set[n++] = v;
  };
  for (int k = 2; k >= 0; --k) {
    if (angles[k] <= NEEDLE_ANGLE) {
      add(tri[(k + 1) % 3]);
      add(tri[(k + 2) % 3]);
    }
  }
  note(t);
  for (int i = n - 1; i >= 1; --i)
    if (!m_b.redirectVertex(set[i], set[0]))
      return false;
  return m_b.removeTriangle(t) && removeOrphans();
}

} // namespace

bool KEXRepairBadTrianglesAlgorithm::run(void*)
{
  Buffer& b = m_buffer;
  KEXTask task("Removing degenerate triangles", 8.0, 0x1010000, 0);
  b.triangleAdjacencyList.clear();
  if (b.getTriangleCount() <= 0)
    return task.ok();

  double threshold;
  {
    KEXSubTask sub(nullptr, 2.0);
    KEXVector3<float> msd;
    double s = 1.0;
    if (b.calculateMeanSamplingDistance(msd))
      s = double(std::min(msd.x, std::min(msd.y, msd.z)));
    const double leg = s * 0.015625;
    threshold = leg * leg * 0.5;
  }

  KEXDerivedListScope vertexAdjacency = KEXDerivedListScope::vertexAdjacency(b, true);
  {
    KEXSubTask sub("Creating vertex adjacency list", 2.0);
    if (!vertexAdjacency.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }

  Repairer repairer(b, threshold);
  for (int pass = 0; pass < 2; ++pass) {
    KEXSubTask sub(nullptr, 2.0);
    const int T = b.getTriangleCount();
    KEXTask inner("Processing triangles", double(T), 0x10000, 0);
    int i = T - 1;
    while (i >= 0) {
      const int blockStart = std::max(0, i - BLOCK + 1);
      const int blockSize = i - blockStart + 1;
      while (i >= blockStart) {
        if (!repairer.step(i, 0)) {
          KEXTask::Diagnostics d(KEX::Error, "Out of memory");
          inner.error(KEX::OutOfMemory, &d);
          return task.error(KEX::OutOfMemory);
        }
        i = std::min(i, b.getTriangleCount()) - 1;
      }
      if (!inner.incProgress(double(blockSize), true)) {
        if (inner.wasAborted()) {
          inner.aborted();
          return task.aborted();
        }
        inner.error(KEX::GenericError);
        return task.error(KEX::GenericError);
      }
    }
    inner.ok();
  }
  return task.ok();
}
