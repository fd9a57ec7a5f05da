// One Loop step against a brute-force step on random manifold meshes, and the lists it empties.
#include "kexmesh/simplify/LoopSubdivisionAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <random>

using namespace kexmeshtest;

namespace {

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
  EXPECT_TRUE(b.vertexNormalList.isEmpty() && b.vertexColorList.isEmpty() && b.vertexEdgeFlagList.isEmpty() &&
              b.vertexScalarList.isEmpty() && b.textureCoordinateList.isEmpty());
  EXPECT_TRUE(b.triangleNormalList.isEmpty() && b.triangleColorList.isEmpty() && b.triangleAngleList.isEmpty());
  EXPECT_TRUE(b.vertexAdjacencyList.isEmpty() && closedAndConsistent(b));
}

} // namespace
