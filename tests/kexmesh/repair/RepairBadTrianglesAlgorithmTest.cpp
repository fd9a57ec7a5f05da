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

using namespace kexmeshtest;

namespace {

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

/// Replaces triangle t = (u, w, x) by (u, m, x), (m, w, x) and the sliver (u, w, m), m the
/// midpoint of u-w: the sliver has a flat corner at m and keeps u-w's partner.
void saltSliver(KEXTriangleMeshBuffer& b, int t)
{
  KEXTriangle<int> tri = b.triangleList[t];
  const int u = tri[0], w = tri[1], x = tri[2];
  const int m = b.getVertexCount();
  b.vertexList.append((b.vertexList[u] + b.vertexList[w]) * 0.5f);
  b.triangleList[t] = KEXTriangle<int>(u, m, x);
  b.triangleList.append(KEXTriangle<int>(m, w, x));
  b.triangleList.append(KEXTriangle<int>(u, w, m));
}

/// Splits triangle t = (u, w, x) at a new vertex placed on u: two of the three parts have zero area.
void saltCoincident(KEXTriangleMeshBuffer& b, int t)
{
  KEXTriangle<int> tri = b.triangleList[t];
  const int m = b.getVertexCount();
  b.vertexList.append(b.vertexList[tri[0]]);
  b.triangleList[t] = KEXTriangle<int>(tri[0], tri[1], m);
  b.triangleList.append(KEXTriangle<int>(tri[1], tri[2], m));
  b.triangleList.append(KEXTriangle<int>(tri[2], tri[0], m));
}

/// Moves vertex v of triangle t almost onto the next vertex: a needle fan around it.
void saltNeedle(KEXTriangleMeshBuffer& b, int t, std::mt19937& rng)
{
  const KEXTriangle<int>& tri = b.triangleList[t];
  const Vec3 target = b.vertexList[tri[1]];
  std::uniform_real_distribution<float> d(-1e-6f, 1e-6f);
  b.vertexList[tri[0]] = target + Vec3(d(rng), d(rng), d(rng));
}

} // namespace

TEST(RepairBadTriangles, TriangleOnOnePointIsCollapsedAndItsFreedVerticesDeleted)
{
  KEXTriangleMeshBuffer b = makeGrid(3, 3);
  const int V = b.getVertexCount(), T = b.getTriangleCount();
  b.vertexList.append(b.vertexList[0]);
  b.vertexList.append(b.vertexList[0]);
  b.triangleList.append(KEXTriangle<int>(0, V, V + 1));
  ASSERT_TRUE(repair(b));
  EXPECT_EQ(b.getTriangleCount(), T);
  EXPECT_EQ(b.getVertexCount(), V);
  EXPECT_EQ(orientedSet(b), orientedSet(makeGrid(3, 3)));
  EXPECT_TRUE(b.vertexAdjacencyList.isEmpty()) << "the list built for the run is removed";
}

TEST(RepairBadTriangles, FlatSliverIsFlippedNextToAHealthyTriangleAndRemovedOnABorder)
{
  // Healthy (0, 1, 2) and the zero-area sliver (1, 0, 3) with 3 the midpoint of 0-1.
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {2, 0, 0}, {1, 1, 0}, {1, 0, 0}}, {{0, 1, 2}, {1, 0, 3}});
  ASSERT_TRUE(repair(b));
  ASSERT_EQ(b.getTriangleCount(), 2);
  EXPECT_EQ(b.getVertexCount(), 4);
  EXPECT_EQ(countDegenerate(b, 1e-9), 0);
  EXPECT_EQ(orientedSet(b), (std::vector<std::array<int, 3>>{{0, 3, 2}, {1, 2, 3}}));

  // On a border: the sliver shares only vertex 0 with the other triangle and is removed, and the
  // vertices 1 and 3 that only it used go with it.
  KEXTriangleMeshBuffer lone =
      makeBuffer({{0, 0, 0}, {2, 0, 0}, {-3, 5, 0}, {1, 0, 0}, {-5, 0, 0}}, {{4, 0, 2}, {1, 0, 3}});
  ASSERT_TRUE(repair(lone));
  EXPECT_EQ(lone.getTriangleCount(), 1);
  EXPECT_EQ(lone.getVertexCount(), 3);
}

TEST(RepairBadTriangles, TwoSliversOnOneLongEdgeAreMergedAway)
{
  // A strip above and below the x axis; the two slivers (0, 1, 2) and (1, 0, 3) lie on 0-1 with
  // flat vertices 2 and 3. Triangles (0, 2, 4), (2, 1, 4) above and (1, 3, 5), (3, 0, 5) below.
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {4, 0, 0}, {1, 0, 0}, {3, 0, 0}, {2, 2, 0}, {2, -2, 0}},
                                       {{0, 2, 4}, {2, 1, 4}, {1, 3, 5}, {3, 0, 5}, {0, 1, 2}, {1, 0, 3}});
  ASSERT_TRUE(repair(b));
  EXPECT_EQ(b.getTriangleCount(), 4);
  EXPECT_EQ(b.getVertexCount(), 5) << "the flat vertex that moved is deleted";
  EXPECT_TRUE(everyVertexUsed(b));
  EXPECT_EQ(countDegenerate(b, 1e-9), 0);
}

TEST(RepairBadTriangles, SliverNextToANeedleRepairsTheNeedleFirst)
{
  // The sliver (0, 1, 2) lies on 0-1 with its flat vertex 2; across 0-1 is the needle (1, 0, 3)
  // with 3 almost on 0, degenerate but without a flat corner. The sliver comes last, so its step
  // sees the needle first: it repairs the needle (one level down) and then looks at itself again.
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {2, 0, 0}, {1, 0, 0}, {0.001f, -0.0005f, 0}, {1, 1, 0}, {1, -1, 0}},
                                       {{0, 2, 4}, {2, 1, 4}, {3, 0, 5}, {1, 3, 5}, {1, 0, 3}, {0, 1, 2}});
  const double threshold = areaThreshold(b);
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

TEST(RepairBadTriangles, SaltedRandomMeshesEndWithoutDegenerateTriangles)
{
  std::mt19937 rng(59);
  for (int round = 0; round < 8; ++round) {
    KEXTriangleMeshBuffer b = round % 2 ? makeIcosphere(3) : makeTorus(30, 14);
    const double threshold = areaThreshold(b);
    const int T = b.getTriangleCount();
    std::set<int> used;
    auto pick = [&]() {
      int t;
      do
        t = int(rng() % unsigned(T));
      while (!used.insert(t).second);
      return t;
    };
    for (int i = 0; i < 6; ++i)
      saltSliver(b, pick());
    for (int i = 0; i < 6; ++i)
      saltCoincident(b, pick());
    for (int i = 0; i < 6; ++i)
      saltNeedle(b, pick(), rng);
    ASSERT_GT(countDegenerate(b, threshold), 12);
    shuffleTriangles(b, rng);
    if (round >= 4) {
      ASSERT_TRUE(b.createTriangleAdjacencyList()); // the run clears it
    }
    ASSERT_TRUE(repair(b)) << "round " << round;
    EXPECT_EQ(countDegenerate(b, threshold), 0) << "round " << round;
    EXPECT_TRUE(b.isConsistent());
    EXPECT_TRUE(b.triangleAdjacencyList.isEmpty());
    EXPECT_TRUE(everyVertexUsed(b)) << "round " << round;
    EXPECT_TRUE(manifoldEdgesConsistent(b)) << "round " << round;
    EXPECT_GT(signedVolume(b), 0.0);
  }
}

TEST(RepairBadTriangles, PresentVertexAdjacencyListStaysExact)
{
  std::mt19937 rng(61);
  KEXTriangleMeshBuffer b = makeIcosphere(2);
  for (int i = 0; i < 5; ++i)
    saltSliver(b, int(rng() % 320u));
  saltCoincident(b, 7);
  ASSERT_TRUE(b.createVertexAdjacencyList());
  ASSERT_TRUE(repair(b));
  EXPECT_TRUE(vertexAdjacencyMatches(b));
  EXPECT_EQ(countDegenerate(b, areaThreshold(b)), 0);
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

TEST(RepairBadTriangles, AllocationFailuresAndStopsLeaveAConsistentBuffer)
{
  std::mt19937 rng(71);
  KEXTriangleMeshBuffer input = makeIcosphere(2);
  for (int i = 0; i < 4; ++i)
    saltSliver(input, int(rng() % 320u));
  for (int i = 0; i < 3; ++i)
    saltCoincident(input, 10 + 20 * i);
  const int T = input.getTriangleCount();
  int failed = 0;
  sweepAllocationFaults(input, repair, [&](const KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor& m) {
    EXPECT_FALSE(result);
    if (m.hasRootEnding()) {
      EXPECT_EQ(m.rootStatus(), KEXTaskInfo::Failed);
      failed += m.rootCode() == KEX::OutOfMemory ? 1 : 0;
    }
    EXPECT_LE(b.getTriangleCount(), T);
    EXPECT_TRUE(b.vertexAdjacencyList.isEmpty());
    for (int t = 0; t < b.getTriangleCount(); ++t)
      for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(b.isValidVertex(b.triangleList[t][k]));
      }
  });
  EXPECT_GT(failed, 0);
  for (auto kind : {KEXTaskMonitor::Stop, KEXTaskMonitor::Abort}) {
    long reports = sweepStops(
        input, repair,
        [&](const KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor& m) {
          expectStopped(result, m, kind);
          EXPECT_TRUE(b.vertexAdjacencyList.isEmpty());
        },
        kind);
    EXPECT_GT(reports, 1);
  }
}
