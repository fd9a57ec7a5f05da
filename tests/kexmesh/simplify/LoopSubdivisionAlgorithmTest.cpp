// One Loop step against a brute-force step on random manifold meshes (interior, border and
// irregular vertices all occur), the lists it empties, refusals and non-manifold edges.
#include "kexmesh/simplify/LoopSubdivisionAlgorithm.h"
#include "support/MeshQuality.h"
#include "support/SubdivisionChecks.h"

using namespace kexmeshtest;

namespace {

bool loop(KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXLoopSubdivisionAlgorithm>(b); }

TEST(LoopSubdivisionAlgorithm, MatchesTheBruteForceStepOnRandomManifoldMeshes)
{
  checkOnRandomManifoldMeshes(loop, 4242, [](const KEXTriangleMeshBuffer& in, const KEXTriangleMeshBuffer& out) {
    EXPECT_LT(largestDifference(out, referenceLoop(in)), 1e-5) << measure(in).summary();
    EXPECT_TRUE(!closedAndConsistent(in) || signedVolume(out) > 0.0);
  });
}

// Lists the rule cannot extend end empty; the buffer stays consistent for later steps.
TEST(LoopSubdivisionAlgorithm, AttributeListsEndEmptyAndAGivenVertexAdjacencyIsDropped)
{
  KEXTriangleMeshBuffer b = makeIcosphere(1);
  const int V = b.getVertexCount(), T = b.getTriangleCount();
  ASSERT_TRUE(b.calculateVertexNormals() && b.calculateTriangleNormals());
  ASSERT_TRUE(b.vertexColorList.setCount(V, KEXRGBA<float>(1, 0, 0)) && b.triangleColorList.setCount(T, KEXRGBA<float>(0, 1, 0)));
  ASSERT_TRUE(b.vertexEdgeFlagList.setCount(V, char(1)) && b.vertexScalarList.setCount(V, 2.0f) &&
              b.textureCoordinateList.setCount(V, KEXVector2<float>(0.5f, 0.5f)));
  ASSERT_TRUE(b.createTriangleAngleList() && b.createVertexAdjacencyList());
  ASSERT_TRUE(loop(b) && b.isConsistent());
  EXPECT_TRUE(b.vertexNormalList.isEmpty() && b.vertexColorList.isEmpty() && b.vertexEdgeFlagList.isEmpty() &&
              b.vertexScalarList.isEmpty() && b.textureCoordinateList.isEmpty());
  EXPECT_TRUE(b.triangleNormalList.isEmpty() && b.triangleColorList.isEmpty() && b.triangleAngleList.isEmpty());
  EXPECT_TRUE(b.vertexAdjacencyList.isEmpty() && closedAndConsistent(b));
}

TEST(LoopSubdivisionAlgorithm, RefusesWhatItCannotSubdivideAndSplitsNonManifoldEdges)
{
  checkRefusalsAndNonManifoldEdges(loop, false);
}

} // namespace
