// Repair of degenerate triangles: sound input stays, random meshes salted with collinear,
// coincident and needle triangles, damaged input.
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
  std::uniform_real_distribution<float> d(-1e-6f, 1e-6f);
  b.vertexList[b.triangleList[t][0]] = b.vertexList[b.triangleList[t][1]] + Vec3(d(rng), d(rng), d(rng));
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

bool hasDuplicateTriangle(const KEXTriangleMeshBuffer& b)
{
  auto u = unorientedSet(b);
  return std::adjacent_find(u.begin(), u.end()) != u.end();
}

KEXRepairBadTrianglesAlgorithm::Statistics repairCounting(KEXTriangleMeshBuffer& b)
{
  KEXRepairBadTrianglesAlgorithm a;
  EXPECT_TRUE(runAlgorithm(b, a));
  return a.getStatistics();
}

} // namespace

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
    EXPECT_TRUE(sameBits(b.triangleNormalList, input.triangleNormalList));
  }
}

TEST(RepairBadTriangles, RandomSaltedMeshesStayWithinTheBoundAndClosed)
{
  // Closed meshes salted with slivers lifted a little off their long edge, coincident vertices,
  // needle fans and planted needles. Whatever the run does, no vertex may end farther than the bound
  // from the other surface, the mesh stays closed, manifold and free of duplicates, and what is
  // still degenerate is what the run reports as left.
  std::mt19937 rng(59);
  for (int round = 0; round < 16; ++round) {
    SCOPED_TRACE(round);
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
    EXPECT_LE(farthestVertexDistance(input, b), bound);
    EXPECT_LE(farthestVertexDistance(b, input), bound);
    EXPECT_TRUE(closedAndConsistent(b));
    EXPECT_FALSE(hasDuplicateTriangle(b));
    EXPECT_TRUE(everyVertexUsed(b)); // freed vertices are deleted
    EXPECT_FALSE(b.hasVertexAdjacencyList()) << "the list built for the run is removed";
    EXPECT_EQ(st.left, countDegenerate(b, areaThreshold(input)));
    EXPECT_GT(st.flips + st.collapses, 0);
    EXPECT_EQ(input.getTriangleCount() - b.getTriangleCount(), st.removed);
    // On the cone some needles at the apex and the bottom are refused (and counted).
    EXPECT_TRUE(round % 3 == 2 || st.left == 0);
    EXPECT_GT(signedVolume(b), 0.0);
  }
}

TEST(RepairBadTriangles, DamagedInputNeverBreaksTheBuffer)
{
  std::mt19937 rng(67);
  for (int round = 0; round < 60; ++round) {
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, {6 + round % 15, 5 + 3 * round, round % 3 == 0 ? 0.05 : 0.0, 0.1, 0.1});
    // Snap some vertices together and onto lines: zero areas and flat corners everywhere.
    for (int v = 0; v < b.getVertexCount(); ++v) {
      if (v % 3 == 0)
        b.vertexList[v] = b.vertexList[v / 2];
      if (v % 4 == 1)
        b.vertexList[v].y = 0;
    }
    ASSERT_TRUE(b.createVertexAdjacencyList());
    EXPECT_TRUE(runAlgorithm<KEXRepairBadTrianglesAlgorithm>(b));
    EXPECT_TRUE(b.isConsistent() && vertexAdjacencyMatches(b)) << round;
  }
}

