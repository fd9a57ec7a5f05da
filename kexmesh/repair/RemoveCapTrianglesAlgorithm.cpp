// Cap removal by edge flips.
//
// A cap is a triangle with one inner angle close to 180 degrees; its long edge is shared with a
// neighbour, and together they form a quadrilateral. When the two triangles are (nearly) coplanar
// and the quadrilateral is convex, replacing the long diagonal by the other one keeps the surface
// where it was and removes the cap. The flip is refused when it would create a new cap angle at the
// ends of the old diagonal, raise the number of needle angles, or join two vertices that are
// already joined (which would make a non-manifold edge).
//
// The sweep runs from the last triangle to the first. After a flip the outer neighbours of the
// quadrilateral are looked at: the one with the highest index above the current triangle that has
// a cap corner becomes the current triangle and the sweep continues downward from there, so only
// the neighbourhood of a flip is revisited. A bitset of the triangles with a cap corner lets the
// sweep skip the others in whole words, and a flip budget proportional to the mesh size guarantees
// that the sweep ends even on input where flips could cycle.
#include "kexmesh/repair/RemoveCapTrianglesAlgorithm.h"
#include "kexmesh/core/internal/AdjacencyPreamble.h"
#include "kexmesh/core/internal/Corners.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Memory.h"
#include "kex/Task.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/internal/ScratchAllocator.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>

KEXMESH_DEFINE_CLASS(KEXRemoveCapTrianglesAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using Buffer = KEXTriangleMeshBuffer;
using D = KEXVector3<double>;
constexpr double DBL_EPS = 2.220446049250313e-16;
constexpr double DEGREE = 0.017453292519943295;
constexpr int BLOCK = 16384;

bool validLimits(const KEXValuePair<float>& l)
{
  return l.first >= 0.0f && l.first <= l.second && l.second <= 180.0f;
}

struct Limits {
  double dotLo, dotHi;   // allowed range of the unit normals' dot product
  double capLo, capHi;   // radians
  double needLo, needHi; // radians
};

int capCorner(const KEXVector3<float>& a, const Limits& l)
{
  for (int k = 2; k >= 0; --k)
    if (a[k] >= l.capLo && a[k] <= l.capHi)
      return k;
  return -1;
}

int needles(const KEXVector3<double>& a, const Limits& l)
{
  int n = 0;
  for (int k = 0; k < 3; ++k)
    n += (a[k] >= l.needLo && a[k] <= l.needHi) ? 1 : 0;
  return n;
}

int needles(const KEXVector3<float>& a, const Limits& l) { return needles(D(a), l); }

/// The working state of one sweep.
class CapSweep {
public:
  CapSweep(Buffer& b, const Limits& l) : m_b(b), m_l(l), m_T(b.getTriangleCount()) {}

  bool init()
  {
    const size_t words = size_t(m_T + 63) / 64;
    m_bits = m_scratch.allocate<uint64_t>(words);
    if (!m_bits)
      return false;
    std::memset(m_bits, 0, words * sizeof(uint64_t));
    for (int t = 0; t < m_T; ++t)
      mark(t);
    m_budget = 16LL * m_T + 1024;
    return true;
  }

  /// Highest index <= from whose triangle has a cap corner, or -1.
  int nextCapped(int from) const
  {
    if (from < 0)
      return -1;
    int w = from >> 6;
    uint64_t word = m_bits[w] & (~uint64_t(0) >> (63 - (from & 63)));
    while (true) {
      if (word)
        return (w << 6) + 63 - __builtin_clzll(word);
      if (--w < 0)
        return -1;
      word = m_bits[w];
    }
  }

  /// Tries the flip at triangle t. Returns 1 after a flip (next: the triangle to continue with, or
  /// -1), 0 when refused, -1 when an adjacency update failed.
  int tryFlip(int t, int& next);

private:
  void mark(int t)
  {
    uint64_t bit = uint64_t(1) << (t & 63);
    if (capCorner(m_b.triangleAngleList[t], m_l) >= 0)
      m_bits[t >> 6] |= bit;
    else
      m_bits[t >> 6] &= ~bit;
  }
  const KEXVector3<float>& pos(int v) const { return m_b.vertexList[v]; }
  int corner(int t, int v) const
  {
    const KEXTriangle<int>& tri = m_b.triangleList[t];
    return tri[0] == v ? 0 : (tri[1] == v ? 1 : (tri[2] == v ? 2 : -1));
  }
  bool acceptable(int t, int c, int cp);

  Buffer& m_b;
  const Limits& m_l;
  int m_T;
  KEXScratchAllocator m_scratch; // owns m_bits
  uint64_t* m_bits = nullptr;
  long long m_budget = 0;
};

/// The seven conditions of a flip of the edge opposite cap corner c of t, shared with corner cp.
bool CapSweep::acceptable(int t, int c, int cp)
{
  const int k1 = (c + 1) % 3, k2 = (c + 2) % 3;
  const int tp = cp / 3, kp = cp % 3;
  const KEXTriangle<int>& tri = m_b.triangleList[t];
  const KEXTriangle<int>& trp = m_b.triangleList[tp];
  const int apex = tri[c], p1 = tri[k1], p2 = tri[k2];
  const int apexP = trp[(kp + 1) % 3];
  // The partner must lie on the same two vertices (a stale or inconsistent adjacency list is
  // refused rather than trusted).
  const int q1 = trp[kp], q2 = trp[(kp + 2) % 3];
  if (!((q1 == p1 && q2 == p2) || (q1 == p2 && q2 == p1)))
    return false;

  // 2. coplanar within the angle limits (skipped when a normal is degenerate)
  D n1(m_b.triangleNormalList[t]), n2(m_b.triangleNormalList[tp]);
  n1.normalize();
  n2.normalize();
  if (n1.squaredLength() >= 0.5 && n2.squaredLength() >= 0.5) {
    double d = n1.dot(n2);
    if (!(d >= m_l.dotLo && d <= m_l.dotHi))
      return false;
  }
  // 3. different apexes (and four distinct vertices: repeated indices never flip)
  if (apex == apexP || apex == p1 || apex == p2 || apexP == p1 || apexP == p2 || p1 == p2)
    return false;
  // 4. convex at both ends of the shared edge
  const int c1p = corner(tp, p1), c2p = corner(tp, p2);
  if (c1p < 0 || c2p < 0)
    return false;
  const KEXVector3<float>& at = m_b.triangleAngleList[t];
  const KEXVector3<float>& ap = m_b.triangleAngleList[tp];
  if (!(at[k1] + ap[c1p] < std::numbers::pi_v<float>) || !(at[k2] + ap[c2p] < std::numbers::pi_v<float>))
    return false;
  // 5. no cap angle at the ends of the old diagonal in the new triangles
  KEXVector3<double> a1, a2;
  KEXTriangleCalculus3<float>::angles(a1, pos(apex), pos(p1), pos(apexP));
  KEXTriangleCalculus3<float>::angles(a2, pos(apexP), pos(p2), pos(apex));
  if ((a1[1] >= m_l.capLo && a1[1] <= m_l.capHi) || (a2[1] >= m_l.capLo && a2[1] <= m_l.capHi))
    return false;
  // 6. no more needle angles than before
  if (needles(at, m_l) + needles(ap, m_l) < needles(a1, m_l) + needles(a2, m_l))
    return false;
  // 7. the apexes are not joined yet
  if (kexcorner::shareTriangle(m_b.vertexAdjacencyList[apex], m_b.vertexAdjacencyList[apexP]))
    return false;
  return true;
}

int CapSweep::tryFlip(int t, int& next)
{
  next = -1;
  const int c = capCorner(m_b.triangleAngleList[t], m_l);
  if (c < 0 || m_budget <= 0)
    return 0;
  const int k1 = (c + 1) % 3, k2 = (c + 2) % 3;
  const int cp = m_b.triangleAdjacencyList[t][k2];
  // 1. the long edge has a partner
  if (cp < 0 || cp >= 3 * m_T || cp / 3 == t)
    return 0;
  if (!acceptable(t, c, cp))
    return 0;
  const int tp = cp / 3, kp = cp % 3;

  // Make the pair agree on its winding first: the one whose stored normal disagrees with its
  // geometry gives way.
  if (m_b.triangleList[tp][kp] == m_b.triangleList[t][k2]) {
    const KEXTriangle<int>& tri = m_b.triangleList[t];
    const D pa(pos(tri[c])), p1(pos(tri[k1])), p2(pos(tri[k2]));
    const D g = (p1 - pa).cross(p2 - pa);
    if (g.dot(D(m_b.triangleNormalList[t])) > 0.0) {
      if (!m_b.flipTriangle(tp, (kp + 1) % 3))
        return -1;
    } else if (!m_b.flipTriangle(t, c)) {
      return -1;
    }
  }

  if (!m_b.flipEdge(3 * t + k2))
    return -1;
  --m_budget;
  // The normals of the flipped pair are stored unnormalised, like the rest of the list.
  for (int u : {t, tp}) {
    const KEXTriangle<int>& tri = m_b.triangleList[u];
    KEXTriangleCalculus3<float>::normalVector(m_b.triangleNormalList[u], pos(tri[0]), pos(tri[1]), pos(tri[2]));
    mark(u);
  }

  // Revisit the neighbourhood: the highest-index outer neighbour above t with a cap corner.
  const int newKp = (m_b.triangleList[tp][0] == m_b.triangleList[t][c]) ? 0
                    : (m_b.triangleList[tp][1] == m_b.triangleList[t][c]) ? 1
                                                                           : 2;
  const int outer[4] = {m_b.triangleAdjacencyList[t][k1], m_b.triangleAdjacencyList[t][k2],
                        m_b.triangleAdjacencyList[tp][newKp], m_b.triangleAdjacencyList[tp][(newKp + 2) % 3]};
  int chosen = t;
  for (int p : outer) {
    if (p < 0 || p >= 3 * m_T)
      continue;
    const int u = p / 3;
    if (u > chosen && capCorner(m_b.triangleAngleList[u], m_l) >= 0)
      chosen = u;
  }
  if (chosen > t)
    next = chosen;
  return 1;
}

} // namespace

KEXRemoveCapTrianglesAlgorithm::KEXRemoveCapTrianglesAlgorithm()
    : m_angleLimits(0.0f, 1.0f), m_capAngleLimits(135.0f, 180.0f), m_needleAngleLimits(0.0f, 10.0f)
{
}

KEXRemoveCapTrianglesAlgorithm::KEXRemoveCapTrianglesAlgorithm(const KEXRemoveCapTrianglesAlgorithm& other)
    : KEXTriangleMeshAlgorithmIF(other), m_angleLimits(other.m_angleLimits), m_capAngleLimits(other.m_capAngleLimits),
      m_needleAngleLimits(other.m_needleAngleLimits)
{
}

KEXRemoveCapTrianglesAlgorithm& KEXRemoveCapTrianglesAlgorithm::operator=(const KEXRemoveCapTrianglesAlgorithm& other)
{
  if (this != &other) {
    KEXTriangleMeshAlgorithmIF::operator=(other);
    m_angleLimits = other.m_angleLimits;
    m_capAngleLimits = other.m_capAngleLimits;
    m_needleAngleLimits = other.m_needleAngleLimits;
  }
  return *this;
}

bool KEXRemoveCapTrianglesAlgorithm::setAngleLimits(const KEXValuePair<float>& limits)
{
  if (!validLimits(limits))
    return false;
  m_angleLimits = limits;
  return true;
}

bool KEXRemoveCapTrianglesAlgorithm::setCapAngleLimits(const KEXValuePair<float>& limits)
{
  if (!validLimits(limits))
    return false;
  m_capAngleLimits = limits;
  return true;
}

bool KEXRemoveCapTrianglesAlgorithm::setNeedleAngleLimits(const KEXValuePair<float>& limits)
{
  if (!validLimits(limits))
    return false;
  m_needleAngleLimits = limits;
  return true;
}

bool KEXRemoveCapTrianglesAlgorithm::run(void*)
{
  Buffer& b = m_buffer;
  const int V = b.getVertexCount();
  const int T = b.getTriangleCount();
  KEXTask task("Removing cap shaped triangles", double(V) + 4.0 * double(T) + 1.0, 0x1030000, 0);
  task.incProgress(1.0, true);

  Limits l;
  l.dotLo = std::cos(double(m_angleLimits.second) * DEGREE) - DBL_EPS;
  l.dotHi = std::cos(double(m_angleLimits.first) * DEGREE) + DBL_EPS;
  l.capLo = double(m_capAngleLimits.first) * DEGREE;
  l.capHi = double(m_capAngleLimits.second) * DEGREE;
  l.needLo = double(m_needleAngleLimits.first) * DEGREE;
  l.needHi = double(m_needleAngleLimits.second) * DEGREE;
  if (T <= 0)
    return task.ok();

  KEXDerivedListScope vertexAdjacency = KEXDerivedListScope::vertexAdjacency(b, true);
  KEXDerivedListScope triangleAdjacency = KEXDerivedListScope::triangleAdjacency(b, true);
  KEXDerivedListScope triangleNormals = KEXDerivedListScope::triangleNormals(b, true);
  KEXDerivedListScope triangleAngles = KEXDerivedListScope::triangleAngles(b, true);
  if (const std::optional<bool> ended = kexEnsureAdjacency(task, vertexAdjacency, triangleAdjacency, V, T))
    return *ended;
  {
    KEXSubTask sub("Creating triangle normal list", double(T));
    if (!triangleNormals.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }
  {
    KEXSubTask sub("Creating triangle angle list", double(T));
    // The angle list reads every triangle's positions: a triangle list with an invalid index
    // (possible here when the normal list was present already) is refused instead.
    for (int t = 0; t < T; ++t) {
      const KEXTriangle<int>& tri = b.triangleList[t];
      if (!b.isValidVertex(tri[0]) || !b.isValidVertex(tri[1]) || !b.isValidVertex(tri[2]))
        return task.statusOf(sub, KEX::GenericError);
    }
    if (!triangleAngles.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }

  CapSweep sweep(b, l);
  if (!sweep.init()) {
    return kexEndOutOfMemory(task);
  }

  auto stop = [&task]() {
    if (task.wasAborted())
      return task.aborted();
    if (task.wasStopped())
      return task.stopped();
    return task.error(KEX::GenericError);
  };

  int reportedDown = T; // blocks at and above this index have been reported
  int cur = T - 1;
  while (true) {
    const int t = sweep.nextCapped(cur);
    // Report every block the sweep has passed below.
    while (reportedDown > 0 && t < reportedDown - BLOCK) {
      const int low = reportedDown - BLOCK > 0 ? reportedDown - BLOCK : 0;
      const int size = reportedDown - low;
      reportedDown = low;
      if (!task.incProgress(double(size), true))
        return stop();
    }
    if (t < 0)
      break;
    int next = -1;
    const int r = sweep.tryFlip(t, next);
    if (r < 0)
      return task.error(KEX::GenericError);
    cur = (r > 0 && next > t) ? next : t - 1;
  }
  if (reportedDown > 0 && !task.incProgress(double(reportedDown), true))
    return stop();
  return task.ok();
}
