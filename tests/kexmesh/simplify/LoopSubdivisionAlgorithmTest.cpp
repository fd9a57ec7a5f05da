// One Loop step: against a brute-force step from edge maps on many random manifold meshes (counts,
// positions, numbering, orientation, adjacency), the vertex rule's weights by valence, the lists it
// empties, and its refusals and sound handling of bad input.
#include "kexmesh/simplify/LoopSubdivisionAlgorithm.h"
#include "kex/Testing.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"
#include "support/Reference.h"
#include "support/ReferenceSubdivision.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <set>

using namespace kexmeshtest;

namespace {

using D = KEXVector3<double>;

bool loop(KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXLoopSubdivisionAlgorithm>(b); }

int edgeCount(const KEXTriangleMeshBuffer& b) { return int(edgeCorners(b).size()); }

TEST(LoopSubdivisionAlgorithm, MatchesTheBruteForceStepOnRandomManifoldMeshes)
{
  std::mt19937 rng(4242);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    const KEXTriangleMeshBuffer input = randomManifoldMesh(rng);
    const bool closed = closedAndConsistent(input);
    const bool withAdjacency = round % 2 == 1;
    KEXTriangleMeshBuffer b(input);
    if (withAdjacency) {
      ASSERT_TRUE(b.createTriangleAdjacencyList());
    }
    ASSERT_TRUE(loop(b));
    const KEXTriangleMeshBuffer expected = referenceLoop(input);
    EXPECT_EQ(b.getVertexCount(), input.getVertexCount() + edgeCount(input));
    EXPECT_EQ(b.getTriangleCount(), 4 * input.getTriangleCount());
    EXPECT_LT(largestDifference(b, expected), 1e-5) << measure(input).summary();
    EXPECT_EQ(triangles(b), triangles(expected));
    EXPECT_EQ(closedAndConsistent(b), closed);
    EXPECT_TRUE(manifoldEdgesConsistent(b));
    if (closed) {
      EXPECT_GT(signedVolume(b), 0.0);
    }
    EXPECT_FALSE(b.hasVertexAdjacencyList());
    EXPECT_EQ(b.hasTriangleAdjacencyList(), withAdjacency);
    if (withAdjacency) {
      EXPECT_TRUE(triangleAdjacencyMatches(b));
    }
    EXPECT_TRUE(b.isConsistent());
  }
}

// The vertex rule by valence: new P = self * P + w * (sum of the neighbours).
TEST(LoopSubdivisionAlgorithm, VertexRuleWeightsByValence)
{
  struct Case {
    const char* name;
    KEXTriangleMeshBuffer mesh;
    int vertex;
    double self, each;
  };
  const Case cases[] = {
      {"valence 3 (tetrahedron)", makeTetrahedron(), 0, 7.0 / 16.0, 3.0 / 16.0},
      {"valence 6 (torus)", makeTorus(8, 6), 5, 0.625, 0.0625},
      {"valence 5 (icosahedron)", makeIcosphere(0), 3, 1.0 - 15.0 / 40.0, 3.0 / 40.0},
      {"valence 9 (cone apex)", makeCone(9), 0, 1.0 - 27.0 / 72.0, 3.0 / 72.0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::set<int> ring;
    for (const KEXTriangle<int>& t : k.mesh.triangleList)
      for (int i = 0; i < 3; ++i)
        if (t[i] == k.vertex) {
          ring.insert(t[(i + 1) % 3]);
          ring.insert(t[(i + 2) % 3]);
        }
    D sum(0, 0, 0);
    for (int q : ring)
      sum += D(k.mesh.vertexList[q]);
    KEXTriangleMeshBuffer b(k.mesh);
    ASSERT_TRUE(loop(b));
    const D want = D(k.mesh.vertexList[k.vertex]) * k.self + sum * k.each;
    const D got(b.vertexList[k.vertex]);
    EXPECT_NEAR(got.x, want.x, 1e-6);
    EXPECT_NEAR(got.y, want.y, 1e-6);
    EXPECT_NEAR(got.z, want.z, 1e-6);
  }
}

TEST(LoopSubdivisionAlgorithm, SingleTriangleGetsMidpointsAndBorderRule)
{
  const KEXTriangleMeshBuffer in = makeBuffer({{0, 0, 0}, {4, 0, 0}, {0, 8, 0}}, {{0, 1, 2}});
  KEXTriangleMeshBuffer b(in);
  ASSERT_TRUE(loop(b));
  ASSERT_EQ(b.getVertexCount(), 6);
  ASSERT_EQ(b.getTriangleCount(), 4);
  std::set<std::array<float, 3>> midpoints;
  for (int v = 3; v < 6; ++v)
    midpoints.insert({b.vertexList[v].x, b.vertexList[v].y, b.vertexList[v].z});
  EXPECT_EQ(midpoints, (std::set<std::array<float, 3>>{{2, 0, 0}, {0, 4, 0}, {2, 4, 0}}));
  for (int v = 0; v < 3; ++v) {
    const D others = D(in.vertexList[(v + 1) % 3]) + D(in.vertexList[(v + 2) % 3]);
    const D want = D(in.vertexList[v]) * 0.75 + others * 0.125;
    EXPECT_EQ(b.vertexList[v], KEXVector3<float>(want)) << v;
  }
}

// Lists the rule cannot extend end empty; the buffer stays consistent for later steps.
TEST(LoopSubdivisionAlgorithm, AttributeListsEndEmptyAndAGivenVertexAdjacencyIsDropped)
{
  KEXTriangleMeshBuffer b = makeIcosphere(1);
  const int V = b.getVertexCount(), T = b.getTriangleCount();
  ASSERT_TRUE(b.calculateVertexNormals());
  ASSERT_TRUE(b.calculateTriangleNormals());
  ASSERT_TRUE(b.vertexColorList.setCount(V, KEXRGBA<float>(1, 0, 0)));
  ASSERT_TRUE(b.triangleColorList.setCount(T, KEXRGBA<float>(0, 1, 0)));
  ASSERT_TRUE(b.vertexEdgeFlagList.setCount(V, char(1)));
  ASSERT_TRUE(b.vertexScalarList.setCount(V, 2.0f));
  ASSERT_TRUE(b.textureCoordinateList.setCount(V, KEXVector2<float>(0.5f, 0.5f)));
  ASSERT_TRUE(b.createTriangleAngleList());
  ASSERT_TRUE(b.createVertexAdjacencyList());
  ASSERT_TRUE(loop(b));
  EXPECT_TRUE(b.isConsistent());
  EXPECT_TRUE(b.vertexNormalList.isEmpty() && b.vertexColorList.isEmpty() && b.vertexEdgeFlagList.isEmpty());
  EXPECT_TRUE(b.vertexScalarList.isEmpty() && b.textureCoordinateList.isEmpty());
  EXPECT_TRUE(b.triangleNormalList.isEmpty() && b.triangleColorList.isEmpty() && b.triangleAngleList.isEmpty());
  EXPECT_TRUE(b.vertexAdjacencyList.isEmpty());
  EXPECT_TRUE(closedAndConsistent(b));
}

// Input the walks cannot take is refused with the buffer untouched.
TEST(LoopSubdivisionAlgorithm, RefusesInvalidIndicesAndInconsistentOrientation)
{
  struct Case {
    const char* name;
    KEXTriangleMeshBuffer mesh;
    KEXenum code;
    const char* diagnostic;
  };
  KEXTriangleMeshBuffer flipped = makeIcosphere(1);
  std::swap(flipped.triangleList[7][1], flipped.triangleList[7][2]);
  KEXTriangleMeshBuffer negative = makeIcosphere(1), beyond = makeGrid(3, 3);
  negative.triangleList[4][2] = -1;
  beyond.triangleList[10][0] = beyond.getVertexCount();
  const Case cases[] = {
      {"one triangle flipped", flipped, KEX::InvalidOperation, "Found inconsistently oriented triangles"},
      {"index -1", negative, KEX::InvalidIndex, "Found an invalid triangle"},
      {"index V", beyond, KEX::InvalidIndex, "Found an invalid triangle"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    KEXTriangleMeshBuffer b(k.mesh);
    kexTest::RecordingScope monitor;
    EXPECT_FALSE(loop(b));
    EXPECT_TRUE(monitor.hasDiagnostic(k.diagnostic));
    EXPECT_TRUE(sameBuffer(b, k.mesh));
    EXPECT_TRUE(monitor.misuses().empty());
  }
}

// An edge of three triangles is split once per triangle (each sheet keeps its own border there);
// a vertex no triangle uses stays where it is.
TEST(LoopSubdivisionAlgorithm, NonManifoldEdgesAndUnusedVerticesAreHandled)
{
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {7, 7, 7}},
                                       {{0, 1, 2}, {1, 0, 3}, {0, 1, 4}});
  const KEXTriangleMeshBuffer in(b);
  ASSERT_TRUE(b.createTriangleAdjacencyList());
  ASSERT_TRUE(loop(b));
  EXPECT_TRUE(b.isConsistent());
  EXPECT_EQ(b.getTriangleCount(), 12);
  EXPECT_EQ(b.getVertexCount(), 6 + 9); // the shared edge counts three times
  EXPECT_EQ(b.vertexList[5], in.vertexList[5]);
  EXPECT_TRUE(triangleAdjacencyMatches(b));
  EXPECT_TRUE(manifoldEdgesConsistent(b));
}

// Relabelling the vertices must not change the surface: the border rule does not depend on which
// end of an edge has the smaller index.
TEST(LoopSubdivisionAlgorithm, GeometryDoesNotDependOnVertexNumbering)
{
  std::mt19937 rng(77);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    // Border vertices with other than four neighbours: grid corners, the rim of an open cone.
    const int n = 5 + round % 4;
    const KEXTriangleMeshBuffer in =
        round % 2 ? makeGrid(2 + round % 4, 2 + round % 3) : withoutStars(makeCone(n), {n + 1});
    std::vector<int> map(size_t(in.getVertexCount()));
    for (int i = 0; i < int(map.size()); ++i)
      map[size_t(i)] = i;
    std::shuffle(map.begin(), map.end(), rng);
    KEXTriangleMeshBuffer renamed(in);
    for (int v = 0; v < in.getVertexCount(); ++v)
      renamed.vertexList[map[size_t(v)]] = in.vertexList[v];
    for (KEXTriangle<int>& t : renamed.triangleList)
      t = KEXTriangle<int>(map[size_t(t[0])], map[size_t(t[1])], map[size_t(t[2])]);
    KEXTriangleMeshBuffer a(in), b(renamed);
    ASSERT_TRUE(loop(a));
    ASSERT_TRUE(loop(b));
    // The same points, each within float noise of one of the other's.
    ASSERT_EQ(a.getVertexCount(), b.getVertexCount());
    double worst = 0;
    for (const KEXVector3<float>& p : a.vertexList) {
      double nearest = 1e30;
      for (const KEXVector3<float>& q : b.vertexList)
        nearest = std::min(nearest, (D(p) - D(q)).length());
      worst = std::max(worst, nearest);
    }
    EXPECT_LT(worst, 1e-5);
  }
}

} // namespace
