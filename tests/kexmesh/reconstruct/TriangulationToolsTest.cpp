// Triangulation tools: the loop triangulation against a brute-force enumeration of all
// triangulations, the linking of filled edge loops against a fresh adjacency build, the ellipsoid's
// counts, closedness, orientation and normals, and all-or-nothing failure behaviour.
#include "kexmesh/reconstruct/TriangulationTools.h"

#include "kex/Testing.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshQuality.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <random>
#include <map>
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

double dist(const KEXTriangleMeshBuffer& b, int u, int v)
{
  return std::sqrt((KEXVector3<double>(b.vertexList[u]) - KEXVector3<double>(b.vertexList[v])).squaredLength());
}
double perimeter(const KEXTriangleMeshBuffer& b, int x, int y, int z) { return dist(b, x, y) + dist(b, y, z) + dist(b, z, x); }

// One triangulation of a sub-loop as a binary tree of splits.
struct Triangulation {
  double weight = 0.0;
  std::vector<int> preorder;             // splits, root first, then left part, then right part (enumeration)
  std::vector<KEXTriangle<int>> emitted; // triangles in emission order, left, right, self (reference)
};

// The rules a triangulation is weighed by. exists tells whether a triangle (by vertices) is in the
// mesh already; such a candidate costs existingCost alone (the penalty for vertex loops, infinity
// for edge loops). forbidden, when set, tells whether a diagonal (by loop positions) is an edge of
// the mesh already: a candidate that needs it costs infinity.
struct Rules {
  std::function<bool(int, int, int)> exists;
  double existingCost = PENALTY;
  std::function<bool(int, int)> forbidden;
};

double candidateWeight(const KEXTriangleMeshBuffer& b, const std::vector<int>& v, int i, int k, int j, double parts,
                       const Rules& rules)
{
  if (rules.forbidden && ((k > i + 1 && rules.forbidden(i, k)) || (j > k + 1 && rules.forbidden(k, j))))
    return INFINITY;
  return rules.exists(v[i], v[k], v[j]) ? rules.existingCost : parts + perimeter(b, v[i], v[k], v[j]);
}

// All triangulations of the sub-loop (i, j) with their weights under the rules.
std::vector<Triangulation> enumerate(const KEXTriangleMeshBuffer& b, const std::vector<int>& v, int i, int j,
                                     const Rules& rules)
{
  if (j == i + 1)
    return {Triangulation()};
  std::vector<Triangulation> all;
  for (int k = i + 1; k < j; ++k) {
    auto left = enumerate(b, v, i, k, rules), right = enumerate(b, v, k, j, rules);
    for (const auto& l : left)
      for (const auto& r : right) {
        Triangulation t;
        t.weight = candidateWeight(b, v, i, k, j, l.weight + r.weight, rules);
        t.preorder.push_back(k);
        t.preorder.insert(t.preorder.end(), l.preorder.begin(), l.preorder.end());
        t.preorder.insert(t.preorder.end(), r.preorder.begin(), r.preorder.end());
        all.push_back(t);
      }
  }
  return all;
}

// The reference of the sub-loop (i, j): the smallest split k over which some triangulation of
// minimum weight (within rounding) is reached, found by enumerating all triangulations; its two
// parts chosen the same way on their own. Without existing triangles this is the minimum-weight
// triangulation whose split sequence (root first) is lexicographically smallest. Infinite weight:
// no triangulation is allowed.
Triangulation reference(const KEXTriangleMeshBuffer& b, const std::vector<int>& v, int i, int j, const Rules& rules)
{
  if (j == i + 1)
    return Triangulation();
  auto all = enumerate(b, v, i, j, rules);
  double best = all[0].weight;
  for (const auto& t : all)
    best = std::min(best, t.weight);
  if (std::isinf(best))
    return Triangulation{INFINITY, {}, {}};
  for (int k = i + 1; k < j; ++k) {
    double bestOverK = INFINITY;
    for (const auto& t : all)
      if (t.preorder[0] == k)
        bestOverK = std::min(bestOverK, t.weight);
    if (bestOverK > best * (1.0 + 1e-12))
      continue;
    Triangulation l = reference(b, v, i, k, rules), r = reference(b, v, k, j, rules), t;
    t.weight = candidateWeight(b, v, i, k, j, l.weight + r.weight, rules);
    t.emitted = l.emitted;
    t.emitted.insert(t.emitted.end(), r.emitted.begin(), r.emitted.end());
    t.emitted.push_back(KEXTriangle<int>(v[i], v[j], v[k]));
    return t;
  }
  ADD_FAILURE() << "no split reaches the minimum";
  return Triangulation();
}

Triangulation bruteForce(const KEXTriangleMeshBuffer& b, const std::vector<int>& v, bool penalties)
{
  Rules rules;
  rules.exists = [&](int x, int y, int z) {
    return penalties && v.size() >= 4 && referenceContainsTriangle(b, KEXTriangle<int>(x, y, z));
  };
  return reference(b, v, 0, int(v.size()) - 1, rules);
}

// The edge loop rule: existing triangles (any n) and diagonals along existing edges are forbidden.
Triangulation bruteForceEdgeLoop(const KEXTriangleMeshBuffer& b, const std::vector<int>& v)
{
  Rules rules;
  rules.exists = [&](int x, int y, int z) { return referenceContainsTriangle(b, KEXTriangle<int>(x, y, z)); };
  rules.existingCost = INFINITY;
  const auto h = halfEdges(b);
  rules.forbidden = [&v, h](int i, int j) {
    return h.count({v[size_t(i)], v[size_t(j)]}) + h.count({v[size_t(j)], v[size_t(i)]}) > 0;
  };
  return reference(b, v, 0, int(v.size()) - 1, rules);
}

// A ring of n loop vertices, each loop edge carried by one border triangle with an apex of its own
// (the loop's corners are 3m + 1), plus the extra triangles given over loop positions (a position
// of n or more stands for a further vertex of its own).
struct RingMesh {
  KEXTriangleMeshBuffer mesh;
  std::vector<int> loop, vertices;
};
RingMesh makeRing(const std::vector<KEXVector3<float>>& points, const std::vector<std::array<int, 3>>& extras)
{
  const int n = int(points.size());
  std::vector<KEXVector3<float>> all(points);
  std::vector<KEXTriangle<int>> triangles;
  RingMesh r;
  for (int m = 0; m < n; ++m) {
    const KEXVector3<float> mid = (points[size_t((m + n - 1) % n)] + points[size_t(m)]) * 0.5f;
    all.push_back(mid * 1.5f + KEXVector3<float>(0, 0, 0.3f));
    triangles.push_back(KEXTriangle<int>((m + n - 1) % n, m, int(all.size()) - 1));
    r.loop.push_back(3 * m + 1);
    r.vertices.push_back(m);
  }
  for (const auto& e : extras) {
    KEXTriangle<int> t;
    for (int k = 0; k < 3; ++k) {
      t[k] = e[size_t(k)];
      if (t[k] >= n) {
        all.push_back(KEXVector3<float>(0.1f * float(all.size()), 5, 5));
        t[k] = int(all.size()) - 1;
      }
    }
    triangles.push_back(t);
  }
  r.mesh = makeBuffer(all, triangles);
  return r;
}

std::vector<KEXTriangle<int>> appended(const KEXTriangleMeshBuffer& b, int t0)
{
  return {b.triangleList.begin() + t0, b.triangleList.end()};
}

// The border loop through corner c0 of a mesh whose holes are simple (manifold border vertices).
std::vector<int> borderLoop(const KEXTriangleMeshBuffer& b, int c0)
{
  auto next = KEXTriangleMeshBuffer::nextCorner;
  std::vector<int> loop = {c0};
  int current = c0;
  for (;;) {
    int n = next(current);
    while (b.triangleAdjacencyList[n / 3][n % 3] >= 0)
      n = next(b.triangleAdjacencyList[n / 3][n % 3]);
    if (n == c0)
      return loop;
    loop.push_back(n);
    current = n;
  }
}

int firstBorderCorner(const KEXTriangleMeshBuffer& b)
{
  for (int c = 0; c < 3 * b.getTriangleCount(); ++c)
    if (b.triangleAdjacencyList[c / 3][c % 3] < 0)
      return c;
  return -1;
}

// The ellipsoid's sector and ring counts for the given radii and edge length.
void expectedCounts(KEXVector3<float> radii, float edge, int& sectors, int& rings)
{
  double L = 0.875 * edge;
  double r[3] = {radii.x, radii.y, radii.z};
  std::sort(r, r + 3);
  double step = M_PI / 4;
  if (L < r[2]) {
    double u = r[2] - L;
    step = std::min(step, 2.0 * std::atan2(std::sqrt(1.0 - (u / r[2]) * (u / r[2])) * r[0], u));
  }
  sectors = std::max(2, int(std::ceil(2 * M_PI / step)));
  rings = std::max(2, int(std::ceil(M_PI / step)));
}

// A random loop of n of the first `of` vertices.
std::vector<int> randomLoop(std::mt19937& rng, int n, int of)
{
  std::vector<int> loop(static_cast<size_t>(of));
  for (int i = 0; i < of; ++i)
    loop[size_t(i)] = i;
  std::shuffle(loop.begin(), loop.end(), rng);
  loop.resize(size_t(n));
  return loop;
}

// A check for the failure sweeps: the run failed and left the buffer as it was.
auto unchangedFrom(const KEXTriangleMeshBuffer& before)
{
  return [before](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor&) {
    EXPECT_FALSE(result);
    EXPECT_TRUE(sameBuffer(b, before));
  };
}

} // namespace

TEST(TriangulationToolsTest, VertexLoopEqualsBruteForceOnRandomLoops)
{
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> coord(-1.0f, 1.0f);
  // Up to 11 vertices, so that the split search also runs over ranges of eight and more.
  for (int n = 3; n <= 11; ++n)
    for (int trial = 0; trial < (n <= 9 ? 25 : 4); ++trial) {
      // Random points; the loop visits them in a random order (self-intersections are fine).
      std::vector<KEXVector3<float>> pts;
      for (int i = 0; i < n + 2; ++i)
        pts.push_back({coord(rng), coord(rng), trial % 2 ? 0.0f : coord(rng)});
      KEXTriangleMeshBuffer b = makeBuffer(pts, {});
      const std::vector<int> loop = randomLoop(rng, n, n + 2);
      const Triangulation expected = bruteForce(b, loop, false);
      ASSERT_TRUE(Tools::clockwiseVertexLoop(&b, listOf(loop)));
      ASSERT_EQ(b.getTriangleCount(), n - 2);
      EXPECT_EQ(appended(b, 0), expected.emitted) << "n = " << n << " trial " << trial;
    }
}

TEST(TriangulationToolsTest, ExistingTrianglesArePenalisedLikeTheBruteForce)
{
  // Loops over the vertices of a small closed mesh: many candidates exist already, so the penalty
  // decides. The brute force applies the same rule (penalty alone for an existing triangle).
  std::mt19937 rng(11);
  KEXTriangleMeshBuffer base = makeIcosphere(0);
  // Jittered: the regular icosahedron ties many splits exactly, which rounding then decides.
  std::uniform_real_distribution<float> jitter(-0.01f, 0.01f);
  for (auto& p : base.vertexList)
    p = p + KEXVector3<float>(jitter(rng), jitter(rng), jitter(rng));
  for (int trial = 0; trial < 60; ++trial) {
    KEXTriangleMeshBuffer b(base);
    ASSERT_TRUE(b.createVertexAdjacencyList());
    const std::vector<int> loop = randomLoop(rng, 4 + trial % 5, 12);
    const Triangulation expected = bruteForce(b, loop, true);
    const int t0 = b.getTriangleCount();
    ASSERT_TRUE(Tools::clockwiseVertexLoop(&b, listOf(loop)));
    EXPECT_EQ(appended(b, t0), expected.emitted) << "trial " << trial;
    EXPECT_TRUE(vertexAdjacencyMatches(b));
  }
}

TEST(TriangulationToolsTest, TiesAndTheCounterClockwiseVariant)
{
  // Random loops never tie. A rectangle: both diagonals equally long, so the smallest split
  // (k = 1) wins: diagonal 1-3.
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {2, 0, 0}, {2, 1, 0}, {0, 1, 0}}, {});
  ASSERT_TRUE(Tools::clockwiseVertexLoop(&b, listOf({0, 1, 2, 3})));
  EXPECT_EQ(appended(b, 0), (std::vector<KEXTriangle<int>>{{1, 3, 2}, {0, 3, 1}}));
  // The counter-clockwise variant triangulates the reversed loop.
  KEXTriangleMeshBuffer r = makeBuffer({{0, 0, 0}, {1, -2, 0}, {2, 0, 0}, {1, 2, 0}}, {});
  ASSERT_TRUE(Tools::counterClockwiseVertexLoop(&r, listOf({0, 1, 2, 3})));
  // Reversed: 3, 2, 1, 0; its shorter diagonal 2-0 is the split k = 1.
  EXPECT_EQ(appended(r, 0), (std::vector<KEXTriangle<int>>{{2, 0, 1}, {3, 0, 2}}));
}

TEST(TriangulationToolsTest, EdgeLoopNeverReusesAnEdgeOrATriangleLikeTheBruteForce)
{
  // Random rings with chord triangles on pairs of loop vertices: every triangulation that needs
  // such a chord as a diagonal, or that repeats a triangle, is out. The result equals the brute
  // force over the allowed triangulations, found through the vertex lists, the triangle lists or
  // without them alike, and the lists that were there equal a fresh build afterwards.
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> jitter(-0.3f, 0.3f);
  int filled = 0, unfillable = 0;
  for (int trial = 0; trial < 160; ++trial) {
    const int n = 3 + trial % 7;
    std::vector<KEXVector3<float>> points;
    for (int i = 0; i < n; ++i) {
      const float a = 6.2831853f * float(i) / float(n);
      points.push_back({std::cos(a) + jitter(rng), std::sin(a) + jitter(rng), jitter(rng)});
    }
    std::vector<std::array<int, 3>> extras;
    for (int e = 0; n >= 4 && e < (trial / 7) % 4; ++e) {
      const int p = int(rng() % unsigned(n)), q = (p + 2 + int(rng() % unsigned(n - 3))) % n;
      extras.push_back({p, q, n});
    }
    if (n == 3 && trial % 2 == 0)
      extras.push_back({0, 2, 1}); // the loop's own triangle is there already
    const RingMesh ring = makeRing(points, extras);
    const Triangulation expected = bruteForceEdgeLoop(ring.mesh, ring.vertices);
    (std::isinf(expected.weight) ? unfillable : filled) += 1;
    // (With the loop's own triangle there, built triangle lists would link the loop's edges: no
    // border loop any more, so that case runs without them.)
    for (int lists = 0; lists < (extras.size() == 1 && n == 3 ? 2 : 3); ++lists) {
      KEXTriangleMeshBuffer b(ring.mesh);
      ASSERT_TRUE(lists != 1 || b.createVertexAdjacencyList());
      ASSERT_TRUE(lists != 2 || b.createTriangleAdjacencyList());
      const KEXTriangleMeshBuffer before(b);
      Tools::EdgeLoopOutcome outcome;
      const bool result = Tools::clockwiseEdgeLoop(&b, ring.loop.data(), n, outcome);
      if (std::isinf(expected.weight)) {
        EXPECT_FALSE(result) << "trial " << trial;
        EXPECT_TRUE(outcome == Tools::EdgeLoopOutcome::Unfillable && sameBuffer(b, before));
        continue;
      }
      ASSERT_TRUE(result) << "trial " << trial;
      EXPECT_EQ(outcome, Tools::EdgeLoopOutcome::Filled);
      EXPECT_EQ(appended(b, ring.mesh.getTriangleCount()), expected.emitted) << "trial " << trial;
      EXPECT_EQ(measure(b).nonManifoldEdges, measure(ring.mesh).nonManifoldEdges) << "trial " << trial;
      EXPECT_EQ(measure(b).duplicateTriangles, measure(ring.mesh).duplicateTriangles) << "trial " << trial;
      EXPECT_TRUE(lists != 1 || vertexAdjacencyMatches(b)) << "trial " << trial;
      EXPECT_TRUE(lists != 2 || triangleAdjacencyMatches(b)) << "trial " << trial;
    }
  }
  EXPECT_GT(filled, 80);
  EXPECT_GT(unfillable, 15);

  // A loop through a vertex twice is refused, nothing reaches the buffer.
  KEXTriangleMeshBuffer eight = makeBuffer({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {-1, 0, 0}, {-1, -1, 0}, {0, 0, 1}},
                                           {{0, 1, 5}, {1, 2, 5}, {2, 0, 5}, {0, 3, 5}, {3, 4, 5}, {4, 0, 5}});
  const KEXTriangleMeshBuffer eightBefore(eight);
  Tools::EdgeLoopOutcome outcome;
  const int figure[6] = {1, 4, 7, 10, 13, 16};
  EXPECT_FALSE(Tools::clockwiseEdgeLoop(&eight, figure, 6, outcome));
  EXPECT_TRUE(outcome == Tools::EdgeLoopOutcome::Unfillable && sameBuffer(eight, eightBefore));
  EXPECT_FALSE(Tools::clockwiseEdgeLoop(nullptr, figure, 6, outcome));
  EXPECT_EQ(outcome, Tools::EdgeLoopOutcome::Invalid);
}

TEST(TriangulationToolsTest, EllipsoidCountsClosednessOrientationAndNormals)
{
  struct Case {
    KEXVector3<float> radii;
    float edge;
  };
  for (const Case& cs : {Case{{1, 1, 1}, 10.0f}, Case{{2, 1, 0.5f}, 0.3f}, Case{{0.1f, 3, 1}, 0.05f},
                         Case{{1, 1, 1}, 0.9f}}) {
    KEXTriangleMeshBuffer b = makeTetrahedron(); // something to append to
    b.vertexNormalList.setCount(4, KEXVector3<float>(0, 0, 0));
    b.textureCoordinateList.setCount(4, KEXVector2<float>(0, 0));
    ASSERT_TRUE(b.createTriangleAdjacencyList());
    const KEXVector3<float> center(3, -1, 2);
    ASSERT_TRUE(Tools::ellipsoid(&b, center, cs.radii, cs.edge));
    int s, m;
    expectedCounts(cs.radii, cs.edge, s, m);
    EXPECT_TRUE(b.getVertexCount() == 4 + (m - 1) * s + 2 && b.getTriangleCount() == 4 + 2 * s * (m - 1));
    ASSERT_TRUE(b.isConsistent());
    EXPECT_TRUE(closedAndConsistent(b) && triangleAdjacencyMatches(b) && vertexAdjacencyMatches(b));
    const double volume = signedVolumeOf(b, 4, b.getVertexCount());
    const double exact = 4.0 / 3.0 * M_PI * cs.radii.x * cs.radii.y * cs.radii.z;
    EXPECT_TRUE(volume > 0.5 * exact && volume < exact * 1.0001) << volume << " of " << exact;
    // Every vertex on the surface, normals outward along the surface gradient.
    for (int v = 4; v < b.getVertexCount(); ++v) {
      KEXVector3<double> o = KEXVector3<double>(b.vertexList[v]) - KEXVector3<double>(center);
      const double q = o.x * o.x / (cs.radii.x * cs.radii.x) + o.y * o.y / (cs.radii.y * cs.radii.y) +
                       o.z * o.z / (cs.radii.z * cs.radii.z);
      EXPECT_NEAR(q, 1.0, 1e-4);
      KEXVector3<double> n(b.vertexNormalList[v]);
      KEXVector3<double> g(o.x / (cs.radii.x * cs.radii.x), o.y / (cs.radii.y * cs.radii.y),
                           o.z / (cs.radii.z * cs.radii.z));
      EXPECT_NEAR(n.squaredLength(), 1.0, 1e-5);
      EXPECT_NEAR(n.dot(g) / std::sqrt(g.squaredLength()), 1.0, 1e-4);
    }
  }
}

TEST(TriangulationToolsTest, AllocationFailuresLeaveTheBufferUnchanged)
{
  KEXTriangleMeshBuffer sphere = makeIcosphere(2);
  std::vector<bool> remove(size_t(sphere.getTriangleCount()), false);
  for (int t : {0, 1, 2, 3, 4})
    remove[size_t(t)] = true; // the fan around vertex 0
  KEXTriangleMeshBuffer holed = withoutTriangles(sphere, remove);
  ASSERT_TRUE(holed.createTriangleAdjacencyList());
  holed.triangleNormalList.setCount(holed.getTriangleCount(), KEXVector3<float>(0, 0, 1));
  const std::vector<int> loop = borderLoop(holed, firstBorderCorner(holed));
  const KEXValueList<int> loopList = listOf(loop);
  EXPECT_GT(sweepAllocationFaults(holed, [&](KEXTriangleMeshBuffer& b) { return Tools::clockwiseEdgeLoop(&b, loopList); },
                                  unchangedFrom(holed)),
            3);
  // A vertex loop with an existing triangle among its candidates.
  KEXTriangleMeshBuffer quad = makeBuffer({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {-0.5f, 1, 0}}, {{0, 1, 2}});
  ASSERT_TRUE(quad.createVertexAdjacencyList());
  const KEXValueList<int> quadLoop = listOf({0, 1, 2, 3});
  EXPECT_GT(sweepAllocationFaults(quad, [&](KEXTriangleMeshBuffer& b) { return Tools::clockwiseVertexLoop(&b, quadLoop); },
                                  unchangedFrom(quad)),
            3);

  // The solids: all lists present, every allocation made to fail once.
  KEXTriangleMeshBuffer base = makeTetrahedron();
  ASSERT_TRUE(base.vertexNormalList.setCount(4, KEXVector3<float>(0, 0, 1)) && base.vertexColorList.setCount(4, KEXRGBA<float>(1, 0, 0)) &&
              base.vertexEdgeFlagList.setCount(4, 0) && base.vertexScalarList.setCount(4, 0.0f) &&
              base.textureCoordinateList.setCount(4, KEXVector2<float>(0, 0)) &&
              base.triangleColorList.setCount(4, KEXRGBA<float>(0, 1, 0)) && base.createTriangleAdjacencyList());
  const auto checkBase = unchangedFrom(base);
  // Large enough that every list has to grow (the sweep's copies hold just their rounded size).
  EXPECT_GT(sweepAllocationFaults(
                base, [](KEXTriangleMeshBuffer& b) { return Tools::ellipsoid(&b, {0, 0, 0}, {1, 2, 1}, 0.01f); },
                checkBase),
            10);
  EXPECT_GT(sweepAllocationFaults(
                base, [](KEXTriangleMeshBuffer& b) { return Tools::frustrum(&b, {0, 0, 0}, {0, 1, 0}, 1, 2, 0.1f); },
                checkBase),
            10);
}
