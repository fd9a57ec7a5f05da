// Triangulation tools: the loop triangulation against an exhaustive search over all
// triangulations, the linking of filled edge loops against a fresh adjacency build, the ellipsoid's
// counts, closedness, orientation and normals, and all-or-nothing failure behaviour.
#include "kexmesh/reconstruct/TriangulationTools.h"

#include "kex/Testing.h"
#include "support/AlgorithmSweeps.h"
#include "support/CoreSetup.h"
#include "support/MeshQuality.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <numeric>
#include <random>
#include <vector>

using namespace kexmeshtest;
using Tools = KEXTriangulationTools;

namespace {
constexpr double PENALTY = 1.4044477616111841e306;

KEXValueList<int> listOf(const std::vector<int>& v)
{
  KEXValueList<int> l;
  for (int x : v)
    l.append(x);
  return l;
}

double perimeter(const KEXTriangleMeshBuffer& b, const KEXTriangle<int>& t)
{
  double sum = 0;
  for (int k = 0; k < 3; ++k)
    sum += (KEXVector3<double>(b.vertexList[t[k]]) - KEXVector3<double>(b.vertexList[t[(k + 1) % 3]])).length();
  return sum;
}

// The rules a triangulation of the loop v is weighed by. A candidate triangle that is in the mesh
// already costs existingCost alone (the penalty for vertex loops, infinity for edge loops);
// forbidden, when set, tells whether a diagonal (by loop positions) is an edge of the mesh
// already: a candidate that needs it costs infinity.
struct Rules {
  const KEXTriangleMeshBuffer& b;
  const std::vector<int>& v;
  double existingCost = PENALTY;
  std::function<bool(int, int)> forbidden;

  double candidate(int i, int k, int j, double parts) const
  {
    if (forbidden && ((k > i + 1 && forbidden(i, k)) || (j > k + 1 && forbidden(k, j))))
      return INFINITY;
    const KEXTriangle<int> t(v[size_t(i)], v[size_t(k)], v[size_t(j)]);
    return referenceContainsTriangle(b, t) ? existingCost : parts + perimeter(b, t);
  }
  // The least weight of any triangulation of the sub-loop (i, j), by exhaustive search (a
  // candidate's weight never falls as its parts grow, so the best parts make the best whole).
  double least(int i, int j) const
  {
    double best = j == i + 1 ? 0.0 : INFINITY;
    for (int k = i + 1; k < j; ++k)
      best = std::min(best, candidate(i, k, j, least(i, k) + least(k, j)));
    return best;
  }
};

struct Triangulation {
  double weight = 0.0;
  std::vector<KEXTriangle<int>> emitted; // in emission order: left part, right part, own triangle
};

// The reference of the sub-loop (i, j): the smallest split that reaches the least weight (within
// rounding), its two parts chosen the same way. Infinite weight: no triangulation is allowed.
Triangulation reference(const Rules& rules, int i, int j)
{
  const double best = rules.least(i, j);
  if (j == i + 1 || std::isinf(best))
    return Triangulation{best, {}};
  for (int k = i + 1; k < j; ++k) {
    Triangulation l = reference(rules, i, k), r = reference(rules, k, j), t;
    t.weight = rules.candidate(i, k, j, l.weight + r.weight);
    if (t.weight > best * (1.0 + 1e-12))
      continue;
    t.emitted = l.emitted;
    t.emitted.insert(t.emitted.end(), r.emitted.begin(), r.emitted.end());
    t.emitted.push_back(KEXTriangle<int>(rules.v[size_t(i)], rules.v[size_t(j)], rules.v[size_t(k)]));
    return t;
  }
  ADD_FAILURE() << "no split reaches the minimum";
  return Triangulation();
}

// For edge loops (edgeLoop) existing triangles and diagonals along existing edges are forbidden.
Triangulation bruteForce(const KEXTriangleMeshBuffer& b, const std::vector<int>& v, bool edgeLoop = false)
{
  const auto h = halfEdges(b);
  auto forbidden = [&](int i, int j) { return h.count({v[size_t(i)], v[size_t(j)]}) + h.count({v[size_t(j)], v[size_t(i)]}) > 0; };
  return reference(edgeLoop ? Rules{b, v, INFINITY, forbidden} : Rules{b, v, PENALTY, {}}, 0, int(v.size()) - 1);
}

// A ring of n loop vertices jittered around the unit circle, each loop edge carried by one border
// triangle with an apex of its own (the loop's corners are 3m + 1), plus the extra triangles given
// over loop positions (a position of n or more stands for a further vertex of its own).
struct RingMesh {
  KEXTriangleMeshBuffer mesh;
  std::vector<int> loop, vertices;
};
RingMesh makeRing(std::mt19937& rng, int n, const std::vector<std::array<int, 3>>& extras)
{
  std::uniform_real_distribution<float> jitter(-0.3f, 0.3f);
  std::vector<KEXVector3<float>> all;
  for (int i = 0; i < n; ++i) {
    const float a = 6.2831853f * float(i) / float(n);
    all.push_back({std::cos(a) + jitter(rng), std::sin(a) + jitter(rng), jitter(rng)});
  }
  std::vector<KEXTriangle<int>> triangles;
  RingMesh r;
  for (int m = 0; m < n; ++m) {
    all.push_back((all[size_t((m + n - 1) % n)] + all[size_t(m)]) * 0.75f + KEXVector3<float>(0, 0, 0.3f));
    triangles.push_back(KEXTriangle<int>((m + n - 1) % n, m, int(all.size()) - 1));
    r.loop.push_back(3 * m + 1);
    r.vertices.push_back(m);
  }
  for (const auto& e : extras) {
    KEXTriangle<int> t(e[0], e[1], e[2]);
    for (int k = 0; k < 3; ++k)
      if (t[k] >= n) {
        all.push_back(KEXVector3<float>(0.1f * float(all.size()), 5, 5));
        t[k] = int(all.size()) - 1;
      }
    triangles.push_back(t);
  }
  r.mesh = makeBuffer(all, triangles);
  return r;
}

std::vector<KEXTriangle<int>> appended(const KEXTriangleMeshBuffer& b, int t0) { return {b.triangleList.begin() + t0, b.triangleList.end()}; }

// A check for the failure sweeps: the run failed and left the buffer as it was.
auto unchangedFrom(const KEXTriangleMeshBuffer& before)
{
  return [before](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor&) { EXPECT_TRUE(!result && sameBuffer(b, before)); };
}

} // namespace

TEST(TriangulationToolsTest, VertexLoopsEqualTheBruteForceAndTiesGoToTheSmallestSplit)
{
  // First random points (planar or not) visited in a random order, self-intersections being fine,
  // up to 11 of them so that the split search also runs over ranges of eight and more. Then loops
  // over the vertices of a small closed mesh: many candidates exist already, so the penalty
  // decides; the mesh is jittered, as the regular icosahedron ties many splits exactly. Every
  // other loop goes counter-clockwise: the clockwise triangulation of the reversed loop.
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> coord(-1.0f, 1.0f), jitter(-0.01f, 0.01f);
  KEXTriangleMeshBuffer ico = makeIcosphere(0);
  for (auto& p : ico.vertexList)
    p = p + KEXVector3<float>(jitter(rng), jitter(rng), jitter(rng));
  ASSERT_TRUE(ico.createVertexAdjacencyList());
  for (int trial = 0; trial < 240; ++trial) {
    const bool onMesh = trial >= 180, reversed = trial % 4 >= 2;
    const int n = onMesh ? 4 + trial % 5 : 3 + trial % 9;
    std::vector<KEXVector3<float>> points;
    for (int i = 0; i < n + 2; ++i)
      points.push_back({coord(rng), coord(rng), trial % 2 ? 0.0f : coord(rng)});
    KEXTriangleMeshBuffer b = onMesh ? ico : makeBuffer(points, {});
    std::vector<int> loop(size_t(onMesh ? 12 : n + 2)); // a random loop of n of the vertices
    std::iota(loop.begin(), loop.end(), 0);
    std::shuffle(loop.begin(), loop.end(), rng);
    loop.resize(size_t(n));
    const Triangulation expected = bruteForce(b, reversed ? std::vector<int>(loop.rbegin(), loop.rend()) : loop);
    const int t0 = b.getTriangleCount();
    ASSERT_TRUE(reversed ? Tools::counterClockwiseVertexLoop(&b, listOf(loop)) : Tools::clockwiseVertexLoop(&b, listOf(loop)));
    EXPECT_EQ(appended(b, t0), expected.emitted) << "n = " << n << " trial " << trial;
    EXPECT_TRUE(!onMesh || vertexAdjacencyMatches(b)) << "trial " << trial;
  }
  // Random loops never tie. A rectangle: both diagonals equally long, so the smallest split
  // (k = 1) wins: diagonal 1-3.
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {2, 0, 0}, {2, 1, 0}, {0, 1, 0}}, {});
  ASSERT_TRUE(Tools::clockwiseVertexLoop(&b, listOf({0, 1, 2, 3})));
  EXPECT_EQ(appended(b, 0), (std::vector<KEXTriangle<int>>{{1, 3, 2}, {0, 3, 1}}));
  // Over the corners of a tetrahedron every candidate exists already: the penalties tie, and the
  // smallest split wins again.
  KEXTriangleMeshBuffer tetrahedron = makeTetrahedron();
  ASSERT_TRUE(tetrahedron.createVertexAdjacencyList());
  const Triangulation expected = bruteForce(tetrahedron, {0, 1, 2, 3});
  ASSERT_TRUE(Tools::clockwiseVertexLoop(&tetrahedron, listOf({0, 1, 2, 3})));
  EXPECT_EQ(appended(tetrahedron, 4), expected.emitted);
}

TEST(TriangulationToolsTest, EdgeLoopNeverReusesAnEdgeOrATriangleLikeTheBruteForce)
{
  // Random rings with chord triangles on pairs of loop vertices: every triangulation that needs
  // such a chord as a diagonal, or that repeats a triangle, is out. The result equals the brute
  // force over the allowed triangulations, found through the vertex lists, the triangle lists or
  // without them alike, and the lists that were there equal a fresh build afterwards.
  std::mt19937 rng(17);
  int filled = 0, unfillable = 0;
  for (int trial = 0; trial < 160; ++trial) {
    const int n = 3 + trial % 7;
    std::vector<std::array<int, 3>> extras;
    for (int e = 0; n >= 4 && e < (trial / 7) % 4; ++e) {
      const int p = int(rng() % unsigned(n)), q = (p + 2 + int(rng() % unsigned(n - 3))) % n;
      extras.push_back({p, q, n});
    }
    if (n == 3 && trial % 2 == 0)
      extras.push_back({0, 2, 1}); // the loop's own triangle is there already
    const RingMesh ring = makeRing(rng, n, extras);
    const Triangulation expected = bruteForce(ring.mesh, ring.vertices, true);
    const bool fills = !std::isinf(expected.weight);
    (fills ? filled : unfillable) += 1;
    // (With the loop's own triangle there, built triangle lists would link the loop's edges: no
    // border loop any more, so that case runs without them.)
    for (int lists = 0; lists < (extras.size() == 1 && n == 3 ? 2 : 3); ++lists) {
      SCOPED_TRACE("trial " + std::to_string(trial) + " lists " + std::to_string(lists));
      KEXTriangleMeshBuffer b(ring.mesh);
      ASSERT_TRUE((lists != 1 || b.createVertexAdjacencyList()) && (lists != 2 || b.createTriangleAdjacencyList()));
      const KEXTriangleMeshBuffer before(b);
      Tools::EdgeLoopOutcome outcome;
      ASSERT_EQ(Tools::clockwiseEdgeLoop(&b, ring.loop.data(), n, outcome), fills);
      EXPECT_EQ(outcome, fills ? Tools::EdgeLoopOutcome::Filled : Tools::EdgeLoopOutcome::Unfillable);
      EXPECT_TRUE(fills || sameBuffer(b, before)) << "nothing appended";
      if (!fills)
        continue;
      const MeshQuality q = measure(b), q0 = measure(ring.mesh);
      EXPECT_EQ(appended(b, ring.mesh.getTriangleCount()), expected.emitted);
      EXPECT_TRUE(q.nonManifoldEdges == q0.nonManifoldEdges && q.duplicateTriangles == q0.duplicateTriangles);
      EXPECT_TRUE((lists != 1 || vertexAdjacencyMatches(b)) && (lists != 2 || triangleAdjacencyMatches(b)));
    }
  }
  EXPECT_GT(filled, 80);
  EXPECT_GT(unfillable, 15);

  // A loop through a vertex twice is refused, nothing reaches the buffer.
  KEXTriangleMeshBuffer eight = makeBuffer({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {-1, 0, 0}, {-1, -1, 0}, {0, 0, 1}},
                                           {{0, 1, 5}, {1, 2, 5}, {2, 0, 5}, {0, 3, 5}, {3, 4, 5}, {4, 0, 5}});
  const KEXTriangleMeshBuffer eightBefore(eight);
  Tools::EdgeLoopOutcome outcome, none;
  const int figure[6] = {1, 4, 7, 10, 13, 16};
  EXPECT_FALSE(Tools::clockwiseEdgeLoop(&eight, figure, 6, outcome) || Tools::clockwiseEdgeLoop(nullptr, figure, 6, none));
  EXPECT_TRUE(outcome == Tools::EdgeLoopOutcome::Unfillable && sameBuffer(eight, eightBefore) && none == Tools::EdgeLoopOutcome::Invalid);
}

// Long loops are solved on the worker threads, gap by gap: the triangles must be those of one
// thread, also where many splits tie exactly (a regular polygon, the border of a lattice
// rectangle) and where chords of the mesh forbid diagonals and triangles.
TEST(TriangulationToolsTest, LongLoopsGiveTheSameTrianglesForAnyThreadCount)
{
  std::mt19937 rng(23);
  std::vector<std::array<int, 3>> chords;
  for (int e = 0; e < 60; ++e) {
    const int p = int(rng() % 520u);
    chords.push_back({p, (p + 2 + int(rng() % 510u)) % 520, 520});
  }
  const RingMesh ring = makeRing(rng, 520, chords);
  std::vector<KEXVector3<float>> polygon, lattice;
  for (int i = 0; i < 512; ++i)
    polygon.push_back({std::cos(6.2831853f * float(i) / 512.0f), std::sin(6.2831853f * float(i) / 512.0f), 0.0f});
  for (int i = 0; i < 540; ++i) { // a 180 x 90 rectangle's border, counter-clockwise
    const int x = i < 180 ? i : i < 270 ? 180 : i < 450 ? 450 - i : 0, y = i < 180 ? 0 : i < 270 ? i - 180 : i < 450 ? 90 : 540 - i;
    lattice.push_back({float(x), float(y), 0.0f});
  }
  auto solve = [&](int threads, int which) {
    ThreadCount count(threads);
    if (which == 0) {
      KEXTriangleMeshBuffer b(ring.mesh);
      EXPECT_TRUE(Tools::clockwiseEdgeLoop(&b, ring.loop.data(), 520));
      return appended(b, ring.mesh.getTriangleCount());
    }
    KEXTriangleMeshBuffer b = makeBuffer(which == 1 ? polygon : lattice, {});
    std::vector<int> loop(size_t(b.getVertexCount()));
    std::iota(loop.begin(), loop.end(), 0);
    EXPECT_TRUE(Tools::clockwiseVertexLoop(&b, listOf(loop)));
    return appended(b, 0);
  };
  // The loops take turns, so that no solve finds the finished table of the same loop in memory
  // handed back by the solve before.
  std::vector<KEXTriangle<int>> results[3][3];
  const int threadCounts[3] = {1, 2, 7};
  for (int run = 0; run < 3; ++run)
    for (int which = 0; which < 3; ++which)
      results[which][run] = solve(threadCounts[run], which);
  for (int which = 0; which < 3; ++which) {
    EXPECT_EQ(results[which][0].size(), which == 0 ? 518u : which == 1 ? 510u : 538u);
    for (int run = 1; run < 3; ++run)
      EXPECT_EQ(results[which][run], results[which][0]) << which << " " << threadCounts[run];
  }
}

TEST(TriangulationToolsTest, EllipsoidCountsClosednessOrientationAndNormals)
{
  struct Case {
    KEXVector3<float> radii;
    float edge;
  };
  for (const Case& cs : {Case{{1, 1, 1}, 10.0f}, Case{{2, 1, 0.5f}, 0.3f}, Case{{0.1f, 3, 1}, 0.05f}, Case{{1, 1, 1}, 0.9f}}) {
    KEXTriangleMeshBuffer b = makeTetrahedron(); // something to append to
    b.vertexNormalList.setCount(4, KEXVector3<float>(0, 0, 0));
    b.textureCoordinateList.setCount(4, KEXVector2<float>(0, 0));
    ASSERT_TRUE(b.createTriangleAdjacencyList());
    const KEXVector3<float> center(3, -1, 2);
    ASSERT_TRUE(Tools::ellipsoid(&b, center, cs.radii, cs.edge));
    // The sector and ring counts the radii and the edge length ask for.
    const double L = 0.875 * cs.edge, rMin = std::min({cs.radii.x, cs.radii.y, cs.radii.z}),
                 rMax = std::max({cs.radii.x, cs.radii.y, cs.radii.z});
    const double step = L < rMax ? std::min(M_PI / 4, 2.0 * std::atan2(std::sqrt(1.0 - (1 - L / rMax) * (1 - L / rMax)) * rMin, rMax - L))
                                 : M_PI / 4;
    const int s = std::max(2, int(std::ceil(2 * M_PI / step))), m = std::max(2, int(std::ceil(M_PI / step)));
    EXPECT_TRUE(b.getVertexCount() == 4 + (m - 1) * s + 2 && b.getTriangleCount() == 4 + 2 * s * (m - 1));
    ASSERT_TRUE(b.isConsistent());
    EXPECT_TRUE(closedAndConsistent(b) && triangleAdjacencyMatches(b) && vertexAdjacencyMatches(b));
    const double volume = signedVolumeOf(b, 4, b.getVertexCount()), exact = 4.0 / 3.0 * M_PI * cs.radii.x * cs.radii.y * cs.radii.z;
    EXPECT_TRUE(volume > 0.5 * exact && volume < exact * 1.0001) << volume << " of " << exact;
    // Every vertex on the surface, normals outward along the surface gradient.
    for (int v = 4; v < b.getVertexCount(); ++v) {
      const KEXVector3<double> o = KEXVector3<double>(b.vertexList[v]) - KEXVector3<double>(center), n(b.vertexNormalList[v]);
      const KEXVector3<double> g(o.x / (cs.radii.x * cs.radii.x), o.y / (cs.radii.y * cs.radii.y), o.z / (cs.radii.z * cs.radii.z));
      EXPECT_NEAR(o.dot(g), 1.0, 1e-4);
      EXPECT_NEAR(n.squaredLength(), 1.0, 1e-5);
      EXPECT_NEAR(n.dot(g) / std::sqrt(g.squaredLength()), 1.0, 1e-4);
    }
  }
}

TEST(TriangulationToolsTest, AllocationFailuresLeaveTheBufferUnchanged)
{
  // An edge loop linked into the triangle adjacency list.
  std::mt19937 rng(3);
  RingMesh ring = makeRing(rng, 9, {});
  ASSERT_TRUE(ring.mesh.createTriangleAdjacencyList() && ring.mesh.triangleNormalList.setCount(9, KEXVector3<float>(0, 0, 1)));
  const KEXValueList<int> loop = listOf(ring.loop);
  auto edgeLoop = [&](KEXTriangleMeshBuffer& b) { return Tools::clockwiseEdgeLoop(&b, loop); };
  EXPECT_GT(sweepAllocationFaults(ring.mesh, edgeLoop, unchangedFrom(ring.mesh)), 3);
  // A vertex loop with an existing triangle among its candidates.
  KEXTriangleMeshBuffer quad = makeBuffer({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {-0.5f, 1, 0}}, {{0, 1, 2}});
  ASSERT_TRUE(quad.createVertexAdjacencyList());
  const KEXValueList<int> quadLoop = listOf({0, 1, 2, 3});
  EXPECT_GT(sweepAllocationFaults(quad, [&](KEXTriangleMeshBuffer& b) { return Tools::clockwiseVertexLoop(&b, quadLoop); }, unchangedFrom(quad)), 3);
  // The solids: all lists present, every allocation made to fail once; large enough that every
  // list has to grow (the sweep's copies hold just their rounded size).
  KEXTriangleMeshBuffer base = makeTetrahedron();
  ASSERT_TRUE(base.vertexNormalList.setCount(4, KEXVector3<float>(0, 0, 1)) && base.vertexColorList.setCount(4, KEXRGBA<float>(1, 0, 0)) &&
              base.vertexEdgeFlagList.setCount(4, 0) && base.vertexScalarList.setCount(4, 0.0f) &&
              base.textureCoordinateList.setCount(4, KEXVector2<float>(0, 0)) &&
              base.triangleColorList.setCount(4, KEXRGBA<float>(0, 1, 0)) && base.createTriangleAdjacencyList());
  auto ellipsoid = [](KEXTriangleMeshBuffer& b) { return Tools::ellipsoid(&b, {0, 0, 0}, {1, 2, 1}, 0.01f); };
  auto frustrum = [](KEXTriangleMeshBuffer& b) { return Tools::frustrum(&b, {0, 0, 0}, {0, 1, 0}, 1, 2, 0.1f); };
  EXPECT_GT(sweepAllocationFaults(base, ellipsoid, unchangedFrom(base)), 10);
  EXPECT_GT(sweepAllocationFaults(base, frustrum, unchangedFrom(base)), 10);
}
