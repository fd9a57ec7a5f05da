// Repair of degenerate triangles: the needle collapse, the sliver flip and removal, sliver pairs,
// random meshes salted with collinear, coincident and needle triangles, damaged input, failure
// sweeps.
#include "kexmesh/repair/RepairBadTrianglesAlgorithm.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <numbers>

using namespace kexmeshtest;

namespace {

using D = KEXVector3<double>;

bool repair(KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXRepairBadTrianglesAlgorithm>(b); }

/// The run's area threshold, recomputed from the mean sampling distance.
double areaThreshold(const KEXTriangleMeshBuffer& b)
{
  KEXVector3<float> m;
  double s = b.calculateMeanSamplingDistance(m) ? std::min(m.x, std::min(m.y, m.z)) : 1.0;
  return 0.5 * (s / 64) * (s / 64);
}

/// Degenerate by the run's definition (area at most the threshold, or angle ratio below 1/1024).
bool degenerate(const KEXTriangleMeshBuffer& b, int t, double threshold)
{
  const KEXTriangle<int>& tri = b.triangleList[t];
  double area;
  KEXVector3<double> a;
  KEXTriangleCalculus3<float>::area(area, b.vertexList[tri[0]], b.vertexList[tri[1]], b.vertexList[tri[2]]);
  KEXTriangleCalculus3<float>::angles(a, b.vertexList[tri[0]], b.vertexList[tri[1]], b.vertexList[tri[2]]);
  return area <= threshold || std::min(a.x, std::min(a.y, a.z)) / std::max(a.x, std::max(a.y, a.z)) < 1.0 / 1024;
}

int countDegenerate(const KEXTriangleMeshBuffer& b, double threshold)
{
  int n = 0;
  for (int t = 0; t < b.getTriangleCount(); ++t)
    n += degenerate(b, t, threshold) ? 1 : 0;
  return n;
}

bool everyVertexUsed(const KEXTriangleMeshBuffer& b)
{
  std::vector<bool> used(size_t(b.getVertexCount()), false);
  for (int t = 0; t < b.getTriangleCount(); ++t)
    for (int k = 0; k < 3; ++k)
      used[size_t(b.triangleList[t][k])] = true;
  return std::find(used.begin(), used.end(), false) == used.end();
}


/// Moves vertex v of triangle t almost onto the next vertex: a needle fan around it.
void saltNeedle(KEXTriangleMeshBuffer& b, int t, std::mt19937& rng)
{
  const KEXTriangle<int>& tri = b.triangleList[t];
  const Vec3 target = b.vertexList[tri[1]];
  std::uniform_real_distribution<float> d(-1e-6f, 1e-6f);
  b.vertexList[tri[0]] = target + Vec3(d(rng), d(rng), d(rng));
}

/// Splits triangle t at a new vertex c placed at distance eps from its corner k, at the given angle
/// (degrees) from the edge towards the next corner: the two triangles at c's short edge are
/// needles whose second smallest corner is that angle. Returns c.
int plantNeedle(KEXTriangleMeshBuffer& b, int t, int k, double degrees, double eps)
{
  const KEXTriangle<int> tri = b.triangleList[t];
  const int p = tri[k], q = tri[(k + 1) % 3], r = tri[(k + 2) % 3];
  const D pp(b.vertexList[p]), pq(b.vertexList[q]), pr(b.vertexList[r]);
  D e1 = pq - pp;
  e1 = e1 * (1.0 / std::sqrt(e1.squaredLength()));
  D e2 = (pr - pp) - e1 * (pr - pp).dot(e1);
  e2 = e2 * (1.0 / std::sqrt(e2.squaredLength()));
  const double a = degrees * std::numbers::pi / 180.0;
  const D c = pp + (e1 * std::cos(a) + e2 * std::sin(a)) * eps;
  const int m = b.getVertexCount();
  b.vertexList.append(Vec3(float(c.x), float(c.y), float(c.z)));
  b.triangleList[t] = KEXTriangle<int>(p, q, m);
  b.triangleList.append(KEXTriangle<int>(q, r, m));
  b.triangleList.append(KEXTriangle<int>(r, p, m));
  return m;
}

/// Turns the mesh so that no coordinate axis is special (a plane z = const would make the
/// smallest sampling distance component, and with it the repair bound, zero).
void tilt(KEXTriangleMeshBuffer& b)
{
  for (Vec3& v : b.vertexList) {
    const double x = v.x, y = v.y * 0.8 - v.z * 0.6, z = v.y * 0.6 + v.z * 0.8;
    v = Vec3(float(x * 0.8 - z * 0.6), float(y), float(x * 0.6 + z * 0.8));
  }
}

/// The run's length bound: the leg of the area threshold's triangle.
double lengthBound(const KEXTriangleMeshBuffer& b) { return std::sqrt(2.0 * areaThreshold(b)); }

int borderEdges(const KEXTriangleMeshBuffer& b)
{
  const auto h = halfEdges(b);
  int n = 0;
  for (const auto& [e, count] : h)
    n += count == 1 && !h.count({e.second, e.first}) ? 1 : 0;
  return n;
}

bool hasDuplicateTriangle(const KEXTriangleMeshBuffer& b)
{
  auto u = unorientedSet(b);
  return std::adjacent_find(u.begin(), u.end()) != u.end();
}

/// Every vertex position of b is one of a's (repairs keep the surviving vertices where they are).
bool sameVertices(const KEXTriangleMeshBuffer& a, const KEXTriangleMeshBuffer& b)
{
  std::set<std::array<float, 3>> in;
  for (const Vec3& v : a.vertexList)
    in.insert({v.x, v.y, v.z});
  for (const Vec3& v : b.vertexList)
    if (!in.count({v.x, v.y, v.z}))
      return false;
  return true;
}

/// Sum of the z components of the triangles' area vectors (the signed area of a mesh in a plane z = c).
double signedArea(const KEXTriangleMeshBuffer& b)
{
  double s = 0.0;
  for (const Tri& f : b.triangleList)
    s += 0.5 * (D(b.vertexList[f[1]]) - D(b.vertexList[f[0]])).cross(D(b.vertexList[f[2]]) - D(b.vertexList[f[0]])).z;
  return s;
}

KEXRepairBadTrianglesAlgorithm::Statistics repairCounting(KEXTriangleMeshBuffer& b)
{
  KEXRepairBadTrianglesAlgorithm a;
  EXPECT_TRUE(runAlgorithm(b, a));
  return a.getStatistics();
}

} // namespace

TEST(RepairBadTriangles, BorderSliverGoesOnlyWhenThinnerThanTheBoundAndCovered)
{
  // The sliver (0, 1, 3) lies on the border edge 0-1 of a strip of 100 units, its flat vertex 3 at
  // the given height; (0, 3, 2) and (3, 1, 2) cover its short edges. A fine sphere beside it keeps
  // the sampling distance, and so the bound, small.
  struct Case {
    double heightInBounds; // < 0: the covering triangles are missing (an isolated sliver)
    bool removed;
  };
  for (const Case& c : {Case{0.0, true}, Case{0.25, true}, Case{8.0, false}, Case{-1.0, false}}) {
    KEXTriangleMeshBuffer b = makeIcosphere(3);
    const int base = b.getVertexCount();
    const double L = lengthBound(b);
    const float h = float(std::max(0.0, c.heightInBounds) * L);
    KEXTriangleMeshBuffer strip = makeBuffer({{0, 0, 0}, {100, 0, 0}, {50, 30, 0}, {50, h, 0}},
                                             c.heightInBounds < 0 ? std::vector<Tri>{{0, 1, 3}}
                                                                  : std::vector<Tri>{{0, 3, 2}, {3, 1, 2}, {0, 1, 3}});
    append(b, strip);
    ASSERT_NEAR(lengthBound(b), L, 0.05 * L) << "the strip lies in z = 0 and leaves the bound alone";
    const int T = b.getTriangleCount();
    ASSERT_TRUE(degenerate(b, T - 1, areaThreshold(b)));
    const KEXTriangleMeshBuffer input(b);
    auto st = repairCounting(b);
    EXPECT_EQ(b.getTriangleCount(), c.removed ? T - 1 : T) << c.heightInBounds;
    EXPECT_EQ(st.removed, c.removed ? 1 : 0);
    EXPECT_EQ(st.left, c.removed ? 0 : 1);
    EXPECT_LE(farthestVertexDistance(input, b), lengthBound(input));
    EXPECT_EQ(b.getVertexCount(), base + 4) << "no vertex is freed";
  }
}

TEST(RepairBadTriangles, TwoSliversOnOneLongEdgeAreFlippedAwayWhenTooFarApartToMerge)
{
  // A strip above and below the x axis; the two slivers (0, 1, 2) and (1, 0, 3) lie on 0-1 with
  // flat vertices 2 and 3, two units apart (far more than the bound, which is 0 in a plane z = 0).
  // Triangles (0, 2, 4), (2, 1, 4) above and (1, 3, 5), (3, 0, 5) below.
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {4, 0, 0}, {1, 0, 0}, {3, 0, 0}, {2, 2, 0}, {2, -2, 0}},
                                       {{0, 2, 4}, {2, 1, 4}, {1, 3, 5}, {3, 0, 5}, {0, 1, 2}, {1, 0, 3}});
  const KEXTriangleMeshBuffer input(b);
  auto st = repairCounting(b);
  EXPECT_EQ(st.collapses, 0);
  EXPECT_GT(st.flips, 0);
  EXPECT_EQ(b.getVertexCount(), 6) << "no vertex moved";
  EXPECT_TRUE(sameVertices(input, b));
  EXPECT_EQ(countDegenerate(b, 1e-9), st.left);
  EXPECT_TRUE(manifoldEdgesConsistent(b));
  EXPECT_EQ(borderEdges(b), borderEdges(input));
  EXPECT_NEAR(signedArea(b), signedArea(input), 1e-9);
}

TEST(RepairBadTriangles, SliverNextToANeedleRepairsTheNeedleFirst)
{
  // The sliver (0, 1, 2) lies on 0-1 with its flat vertex 2; across 0-1 is the needle (1, 0, 3)
  // with 3 almost on 0, degenerate but without a flat corner. The sliver comes last, so its step
  // sees the needle first: it repairs the needle (one level down) and then looks at itself again.
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {2, 0, 0}, {1, 0, 0}, {0.001f, -0.0005f, 0}, {1, 1, 0}, {1, -1, 0}},
                                       {{0, 2, 4}, {2, 1, 4}, {3, 0, 5}, {1, 3, 5}, {1, 0, 3}, {0, 1, 2}});
  tilt(b);
  const double threshold = areaThreshold(b);
  ASSERT_GT(lengthBound(b), 0.0012);
  ASSERT_TRUE(degenerate(b, 4, threshold));
  ASSERT_TRUE(degenerate(b, 5, threshold));
  ASSERT_TRUE(b.createVertexAdjacencyList());
  ASSERT_TRUE(repair(b));
  EXPECT_EQ(countDegenerate(b, threshold), 0);
  EXPECT_TRUE(vertexAdjacencyMatches(b));
  EXPECT_TRUE(everyVertexUsed(b));
  EXPECT_TRUE(manifoldEdgesConsistent(b));
  EXPECT_LT(b.getTriangleCount(), 6);
}

TEST(RepairBadTriangles, NeedleCollapsesItsShortEdgeOnlyAndNeverDragsAHighValenceVertex)
{
  // A needle whose two smaller corners are both below 75 degrees, made by a vertex planted close
  // to a corner: only the short edge collapses, the planted vertex goes onto the corner and the
  // mesh is what it was before. On the cone the corner is the apex of valence 20, which stays.
  struct Case {
    KEXTriangleMeshBuffer mesh;
    int triangle, corner;
    double degrees;
  };
  Case cases[] = {{makeIcosphere(2), 17, 1, 40.0}, {makeIcosphere(2), 200, 0, 20.0}, {makeCone(20), 6, 0, 30.0}};
  for (Case& c : cases) {
    KEXTriangleMeshBuffer b = c.mesh;
    tilt(b);
    const KEXTriangleMeshBuffer original(b);
    const int apex = b.triangleList[c.triangle][c.corner];
    plantNeedle(b, c.triangle, c.corner, c.degrees, 0.25 * lengthBound(b));
    ASSERT_GE(countDegenerate(b, areaThreshold(b)), 2);
    auto st = repairCounting(b);
    EXPECT_EQ(st.collapses, 1);
    EXPECT_EQ(st.left, 0);
    EXPECT_TRUE(sameGeometry(b, original) || orientedSet(b) == orientedSet(original));
    EXPECT_TRUE(sameVertices(original, b));
    EXPECT_EQ(b.vertexList[apex], original.vertexList[apex]);
  }
}

TEST(RepairBadTriangles, SoundInputComesBackUnchangedAndSmallFatTrianglesStay)
{
  // A tiny closed icosahedron beside a fine sphere: its triangles are degenerate by area, yet
  // equilateral with edges longer than the bound, so none of them can be collapsed within it.
  KEXTriangleMeshBuffer tiny = makeIcosphere(3);
  float edge = float(lengthBound(tiny));
  for (int i = 0; i < 4; ++i) { // the small triangles lower the bound a little: settle it
    KEXTriangleMeshBuffer t = makeIcosphere(3);
    append(t, makeIcosphere(0, Vec3(3, 0, 0), 1.04f * edge / 1.0514622f));
    edge = float(lengthBound(t));
    tiny = t;
  }
  tilt(tiny);
  const double threshold = areaThreshold(tiny), L = lengthBound(tiny);
  for (int t = tiny.getTriangleCount() - 20; t < tiny.getTriangleCount(); ++t) {
    ASSERT_TRUE(degenerate(tiny, t, threshold));
    const Tri& f = tiny.triangleList[t];
    ASSERT_GT(std::sqrt((tiny.vertexList[f[0]] - tiny.vertexList[f[1]]).squaredLength()), L);
  }
  KEXTriangleMeshBuffer withLists = makeTorus(24, 12);
  ASSERT_TRUE(withLists.calculateTriangleNormals());
  ASSERT_TRUE(withLists.createTriangleAngleList());
  for (const KEXTriangleMeshBuffer& input : {makeCube(), makeTetrahedron(), makeIcosphere(3), makeSphere(12, 20), tiny, withLists}) {
    KEXTriangleMeshBuffer b(input);
    auto st = repairCounting(b);
    EXPECT_TRUE(sameGeometry(b, input));
    EXPECT_EQ(st.flips + st.collapses + st.removed, 0);
    EXPECT_EQ(st.left, countDegenerate(input, areaThreshold(input)));
    EXPECT_EQ(b.triangleNormalList.getCount(), input.triangleNormalList.getCount());
    for (int t = 0; t < b.triangleNormalList.getCount(); ++t) {
      EXPECT_EQ(b.triangleNormalList[t], input.triangleNormalList[t]);
    }
  }
}

TEST(RepairBadTriangles, RandomSaltedMeshesStayWithinTheBoundAndClosed)
{
  // Closed meshes salted with slivers lifted a little off their long edge, coincident vertices, needle fans and planted needles. Whatever the run does, no
  // vertex may end farther than the bound from the other surface, the mesh stays closed, manifold
  // and free of duplicates, and what is still degenerate is what the run reports as left.
  std::mt19937 rng(59);
  for (int round = 0; round < 16; ++round) {
    KEXTriangleMeshBuffer b = round % 3 == 0 ? makeIcosphere(2) : round % 3 == 1 ? makeTorus(24, 10) : makeCone(20);
    tilt(b);
    const double L = lengthBound(b);
    const int T = b.getTriangleCount();
    std::set<int> used;
    auto pick = [&]() {
      int t;
      do
        t = int(rng() % unsigned(T));
      while (!used.insert(t).second);
      return t;
    };
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int i = 0; i < 4; ++i) {
      const int t = pick();
      saltSliver(b, t);
      // lift the flat vertex off the long edge, along the triangle's normal
      const Tri& f = b.triangleList[t];
      D n = (D(b.vertexList[f[1]]) - D(b.vertexList[f[0]])).cross(D(b.vertexList[f[2]]) - D(b.vertexList[f[0]]));
      n = n * (1.0 / std::sqrt(n.squaredLength()));
      const double h = 1e-3 * u(rng) * L; // still flat (the corner stays above 179.3 degrees)
      Vec3& m = b.vertexList[b.getVertexCount() - 1];
      m = Vec3(D(m) + n * h);
    }
    for (int i = 0; i < 3; ++i)
      saltCoincident(b, pick());
    for (int i = 0; i < 3; ++i)
      saltNeedle(b, pick(), rng);
    for (int i = 0; i < 3; ++i)
      plantNeedle(b, pick(), int(rng() % 3), 5.0 + 50.0 * u(rng), (0.05 + 0.4 * u(rng)) * L);
    ASSERT_GT(countDegenerate(b, areaThreshold(b)), 8);
    shuffleTriangles(b, rng);
    const KEXTriangleMeshBuffer input(b);
    const double bound = lengthBound(input) * (1.0 + 1e-6);
    auto st = repairCounting(b);
    EXPECT_LE(farthestVertexDistance(input, b), bound) << "round " << round;
    EXPECT_LE(farthestVertexDistance(b, input), bound) << "round " << round;
    EXPECT_TRUE(closedAndConsistent(b)) << "round " << round;
    EXPECT_FALSE(hasDuplicateTriangle(b)) << "round " << round;
    EXPECT_TRUE(everyVertexUsed(b)) << "round " << round; // freed vertices are deleted
    EXPECT_FALSE(b.hasVertexAdjacencyList()) << "the list built for the run is removed";
    EXPECT_EQ(st.left, countDegenerate(b, areaThreshold(input))) << "round " << round;
    EXPECT_GT(st.flips + st.collapses, 0);
    EXPECT_EQ(input.getTriangleCount() - b.getTriangleCount(), st.removed) << "round " << round;
    if (round % 3 != 2) { // on the cone some needles at the apex and the bottom are refused (and counted)
      EXPECT_EQ(st.left, 0) << "round " << round;
    }
    EXPECT_GT(signedVolume(b), 0.0);
  }
}

TEST(RepairBadTriangles, DamagedInputNeverBreaksTheBuffer)
{
  std::mt19937 rng(67);
  for (int round = 0; round < 60; ++round) {
    RandomMeshOptions o;
    o.vertices = 6 + round % 15;
    o.triangles = 5 + 3 * round;
    o.invalidIndexRate = round % 3 == 0 ? 0.05 : 0.0;
    o.duplicateRate = 0.1;
    o.repeatedIndexRate = 0.1;
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, o);
    // Snap some vertices together and onto lines: zero areas and flat corners everywhere.
    for (int v = 0; v < b.getVertexCount(); ++v) {
      if (v % 3 == 0)
        b.vertexList[v] = b.vertexList[v / 2];
      if (v % 4 == 1)
        b.vertexList[v].y = 0;
    }
    ASSERT_TRUE(b.createVertexAdjacencyList());
    EXPECT_TRUE(repair(b));
    EXPECT_TRUE(b.isConsistent());
    EXPECT_TRUE(vertexAdjacencyMatches(b)) << "round " << round;
  }
}

