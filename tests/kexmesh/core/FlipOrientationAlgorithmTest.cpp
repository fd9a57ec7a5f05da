// Flipping the orientation: every derived list follows the flip, and flipping twice restores the
// buffer exactly.
#include "kexmesh/core/FlipOrientationAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

using namespace kexmeshtest;

namespace {
/// A mesh with every derived list the flip must keep consistent.
KEXTriangleMeshBuffer withAllLists(KEXTriangleMeshBuffer b)
{
  // The vertex normals bring the vertex adjacency, the triangle normals and the angles along.
  EXPECT_TRUE(b.createTriangleAdjacencyList() && b.calculateVertexNormals());
  return b;
}
} // namespace

TEST(FlipOrientation, FollowsEveryListAndTwiceRestores)
{
  std::mt19937 rng(17);
  for (const KEXTriangleMeshBuffer& mesh : {makeIcosphere(2), makeTorus(9, 5), makeRandomMesh(rng, {30, 90, 0.0, 0.05, 0.1})}) {
    const KEXTriangleMeshBuffer original = withAllLists(mesh);
    KEXTriangleMeshBuffer b = original;
    ASSERT_TRUE(runAlgorithm<KEXFlipOrientationAlgorithm>(b) && b.isConsistent());
    for (int t = 0; t < b.getTriangleCount(); ++t) {
      const KEXTriangle<int>& f = original.triangleList[t];
      EXPECT_EQ(b.triangleList[t], KEXTriangle<int>(f[0], f[2], f[1]));
      EXPECT_EQ(b.triangleNormalList[t], -original.triangleNormalList[t]);
      const Vec3& a = original.triangleAngleList[t];
      EXPECT_EQ(b.triangleAngleList[t], Vec3(a.x, a.z, a.y));
    }
    // Adjacency equals a fresh build on the flipped triangles.
    EXPECT_TRUE(vertexAdjacencyMatches(b) && triangleAdjacencyMatches(b));
    ASSERT_TRUE(runAlgorithm<KEXFlipOrientationAlgorithm>(b));
    EXPECT_TRUE(sameBuffer(b, original));
  }
}

