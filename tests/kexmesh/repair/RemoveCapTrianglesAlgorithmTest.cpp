// Cap removal: each refusal condition on its own, and random jittered meshes (planes keep their
// shape, folds are never flipped across, lists stay equal to a rebuild); damaged input.
#include "kexmesh/repair/RemoveCapTrianglesAlgorithm.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

using namespace kexmeshtest;

namespace {

using Limits = KEXValuePair<float>;
const double DEG = M_PI / 180.0;

bool removeCaps(KEXTriangleMeshBuffer& b, Limits angle = {0, 1}, Limits cap = {135, 180}, Limits needle = {0, 10})
{
  KEXRemoveCapTrianglesAlgorithm a;
  EXPECT_TRUE(a.setAngleLimits(angle) && a.setCapAngleLimits(cap) && a.setNeedleAngleLimits(needle));
  return runAlgorithm(b, a);
}

/// A cap t = (P1, P2, A) with 170 degrees at A, on the x axis from -1 to 1, and its neighbour
/// t' = (P2, P1, B).
KEXTriangleMeshBuffer quad(Vec3 b, Vec3 a = Vec3(0, float(std::tan(5 * DEG)), 0))
{
  return makeBuffer({{-1, 0, 0}, {1, 0, 0}, a, b}, {{0, 1, 2}, {1, 0, 3}});
}

bool hasEdge(const KEXTriangleMeshBuffer& b, int u, int v)
{
  return std::any_of(b.triangleList.begin(), b.triangleList.end(), [&](const Tri& t) {
    return (t[0] == u || t[0] == v) + (t[1] == u || t[1] == v) + (t[2] == u || t[2] == v) >= 2;
  });
}

int capCount(const KEXTriangleMeshBuffer& b)
{
  int n = 0;
  for (const Tri& tri : b.triangleList) {
    KEXVector3<double> a;
    KEXTriangleCalculus3<float>::angles(a, b.vertexList[tri[0]], b.vertexList[tri[1]], b.vertexList[tri[2]]);
    n += (a.x >= 135 * DEG || a.y >= 135 * DEG || a.z >= 135 * DEG) ? 1 : 0;
  }
  return n;
}

} // namespace

TEST(RemoveCapTriangles, EachRefusalConditionHoldsTheFlipBack)
{
  struct Case {
    const char* name;
    KEXTriangleMeshBuffer mesh;
    Limits angle, cap, needle;     // refusing limits
    bool relaxable;                // whether other limits let the same flip happen
    Limits angle2, cap2, needle2;  // relaxed limits
  };
  const Limits A{0, 1}, C{135, 180}, N{0, 10};
  std::vector<Case> cases;
  // 1. a border: the cap alone.
  cases.push_back({"border", makeBuffer({{-1, 0, 0}, {1, 0, 0}, {0, 0.0875f, 0}}, {{0, 1, 2}}), A, C, N, false, A, C, N});
  // 2. coplanarity: folded by 5 degrees (relaxed by wider angle limits).
  cases.push_back({"fold", quad(Vec3(0, -float(std::cos(5 * DEG)), float(std::sin(5 * DEG)))), A, C, N, true,
                   Limits(0, 10), C, N});
  // 3. both triangles have the same apex (a double-sided pair; the normals test is lifted).
  cases.push_back({"same apex", makeBuffer({{-1, 0, 0}, {1, 0, 0}, {0, 0.0875f, 0}}, {{0, 1, 2}, {1, 0, 2}}),
                   Limits(0, 180), C, N, false, A, C, N});
  // 4. not convex at P2: B lies beyond P2, almost on the line.
  cases.push_back({"concave", quad(Vec3(3, -0.01f, 0)), A, C, N, false, A, C, N});
  // 4b. the same with caps ending at 171 degrees: the new triangle at P2 (178 degrees) is no cap
  // then, so only the convexity test holds the flip back.
  cases.push_back({"concave, caps to 171", quad(Vec3(3, -0.1f, 0)), A, Limits(135, 171), N, false, A, C, N});
  // 5. a new cap of 171 degrees at P1 (relaxed when caps end at 170.5 degrees).
  cases.push_back({"new cap", quad(Vec3(-3, -0.5f, 0)), A, C, N, true, A, Limits(135, 170.5f), N});
  // 6. more needle angles afterwards (relaxed when no angle counts as a needle).
  cases.push_back({"needles", quad(Vec3(2.4f, -2.9f, 0), Vec3(-0.5f, 0.28f, 0)), A, C, N, true, A, C, Limits(0, 0)});
  // 7. the apexes are joined already, by a third triangle (A, B, E); without it the quadrilateral
  // is the flat one that is flipped.
  {
    KEXTriangleMeshBuffer m = quad(Vec3(0, -1, 0));
    m.vertexList.append(Vec3(0, 0, 1));
    m.triangleList.append(KEXTriangle<int>(2, 3, 4));
    cases.push_back({"joined", m, A, C, N, false, A, C, N});
  }
  for (Case& c : cases) {
    KEXTriangleMeshBuffer b(c.mesh);
    ASSERT_TRUE(removeCaps(b, c.angle, c.cap, c.needle)) << c.name;
    EXPECT_TRUE(sameGeometry(c.mesh, b)) << c.name;
    if (c.relaxable) {
      ASSERT_TRUE(removeCaps(b, c.angle2, c.cap2, c.needle2)) << c.name;
      EXPECT_TRUE(hasEdge(b, 2, 3)) << c.name << ": flipped with relaxed limits";
    }
  }
}

TEST(RemoveCapTriangles, JitteredPlanesKeepTheirShapeAndListsStayExact)
{
  std::mt19937 rng(41);
  for (int round = 0; round < 6; ++round) {
    KEXTriangleMeshBuffer b = jitteredRoof(rng, 16, 12, round % 2 ? 0.5f : 0.0f);
    shuffleTriangles(b, rng);
    const bool withLists = round >= 2;
    ASSERT_TRUE(!withLists || (b.createTriangleAdjacencyList() && b.calculateTriangleNormals() && b.createTriangleAngleList()));
    const double area = measure(b).area;
    const int caps = capCount(b);
    ASSERT_GT(caps, 3);
    KEXTriangleMeshBuffer before(b);
    ASSERT_TRUE(removeCaps(b));
    EXPECT_LT(capCount(b), caps) << "round " << round;
    EXPECT_NEAR(measure(b).area, area, 1e-4 * area) << "flips inside planar convex quads keep the area";
    EXPECT_TRUE(manifoldEdgesConsistent(b) && halfEdges(b).size() == halfEdges(before).size());
    // No triangle spans the ridge: every flipped pair lay in one plane of the roof.
    const float ridge = 8.0f;
    for (const Tri& t : b.triangleList) {
      const float x[] = {b.vertexList[t[0]].x, b.vertexList[t[1]].x, b.vertexList[t[2]].x};
      EXPECT_FALSE(*std::min_element(x, x + 3) < ridge && *std::max_element(x, x + 3) > ridge) << "folds across the ridge";
    }
    if (withLists) {
      EXPECT_TRUE(vertexAdjacencyMatches(b) && triangleAdjacencyMatches(b));
      KEXTriangleMeshBuffer fresh = makeBuffer(vertices(b), triangles(b));
      ASSERT_TRUE(fresh.calculateTriangleNormals() && fresh.createTriangleAngleList());
      for (int t = 0; t < b.getTriangleCount(); ++t) {
        EXPECT_LT((b.triangleNormalList[t] - fresh.triangleNormalList[t]).length(), 1e-5f);
        EXPECT_LT((b.triangleAngleList[t] - fresh.triangleAngleList[t]).length(), 1e-6f);
      }
    }
  }
}

TEST(RemoveCapTriangles, DamagedInputNeverBreaksTheBuffer)
{
  std::mt19937 rng(47);
  for (int round = 0; round < 40; ++round) {
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, {8 + round % 12, 10 + 2 * round, 0.0, 0.1, 0.1});
    for (int v = 0; v < b.getVertexCount(); ++v) // flatten: caps and coplanar pairs everywhere
      b.vertexList[v].z = 0;
    ASSERT_TRUE(b.createTriangleAdjacencyList());
    const int T = b.getTriangleCount();
    EXPECT_TRUE(removeCaps(b, {0, 180}));
    EXPECT_EQ(b.getTriangleCount(), T);
    EXPECT_TRUE(b.isConsistent() && vertexAdjacencyMatches(b) && triangleAdjacencyMatches(b)) << round;
  }
  // An invalid vertex index with a present normal list is refused before any angle is read.
  KEXTriangleMeshBuffer bad = quad(Vec3(0, -1, 0));
  ASSERT_TRUE(bad.calculateTriangleNormals());
  bad.triangleList[1][2] = 7;
  kexTest::RecordingScope monitor;
  EXPECT_FALSE(removeCaps(bad));
  EXPECT_EQ(monitor.rootCode(), KEX::GenericError);
}
