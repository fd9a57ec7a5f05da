// Flipping the orientation: every derived list follows the flip, and flipping twice restores the
// buffer exactly.
#include "kexmesh/core/FlipOrientationAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

using namespace kexmeshtest;

namespace {
std::vector<std::vector<int>> adjacencyOf(const KEXTriangleMeshBuffer& b)
{
  std::vector<std::vector<int>> out;
  for (const KEXCompactIndexArray& a : b.vertexAdjacencyList)
    out.emplace_back(a.begin(), a.end());
  return out;
}

template <class T>
std::vector<T> listOf(const KEXValueList<T>& l)
{
  return {l.begin(), l.end()};
}

/// A mesh with every derived list the flip must keep consistent.
KEXTriangleMeshBuffer withAllLists(KEXTriangleMeshBuffer b)
{
  EXPECT_TRUE(b.createTriangleAdjacencyList());
  EXPECT_TRUE(b.calculateVertexNormals()); // vertex adjacency, triangle normals, angles
  return b;
}
} // namespace

TEST(FlipOrientation, FollowsEveryListAndTwiceRestores)
{
  std::mt19937 rng(17);
  std::vector<KEXTriangleMeshBuffer> meshes;
  meshes.push_back(makeIcosphere(2));
  meshes.push_back(makeTorus(9, 5));
  RandomMeshOptions o;
  o.vertices = 30;
  o.triangles = 90;
  o.repeatedIndexRate = 0.1;
  meshes.push_back(makeRandomMesh(rng, o));
  for (const KEXTriangleMeshBuffer& mesh : meshes) {
    const KEXTriangleMeshBuffer original = withAllLists(mesh);
    KEXTriangleMeshBuffer b = original;
    ASSERT_TRUE(runAlgorithm<KEXFlipOrientationAlgorithm>(b));
    ASSERT_TRUE(b.isConsistent());
    for (int t = 0; t < b.getTriangleCount(); ++t) {
      const KEXTriangle<int>& f = original.triangleList[t];
      EXPECT_EQ(b.triangleList[t], KEXTriangle<int>(f[0], f[2], f[1]));
      EXPECT_EQ(b.triangleNormalList[t], -original.triangleNormalList[t]);
      const Vec3& a = original.triangleAngleList[t];
      EXPECT_EQ(b.triangleAngleList[t], Vec3(a.x, a.z, a.y));
    }
    // Adjacency equals a fresh rebuild on the flipped triangles.
    KEXTriangleMeshBuffer fresh = makeBuffer(vertices(b), triangles(b));
    ASSERT_TRUE(fresh.createTriangleAdjacencyList());
    EXPECT_EQ(adjacencyOf(b), adjacencyOf(fresh));
    EXPECT_TRUE(listOf(b.triangleAdjacencyList) == listOf(fresh.triangleAdjacencyList));

    ASSERT_TRUE(runAlgorithm<KEXFlipOrientationAlgorithm>(b));
    EXPECT_TRUE(listOf(b.triangleList) == listOf(original.triangleList));
    EXPECT_TRUE(listOf(b.triangleAdjacencyList) == listOf(original.triangleAdjacencyList));
    EXPECT_TRUE(listOf(b.triangleNormalList) == listOf(original.triangleNormalList));
    EXPECT_TRUE(listOf(b.triangleAngleList) == listOf(original.triangleAngleList));
    EXPECT_TRUE(listOf(b.vertexNormalList) == listOf(original.vertexNormalList));
    EXPECT_EQ(adjacencyOf(b), adjacencyOf(original));
  }
}

TEST(FlipOrientation, TurnsASolidInsideOutAndRemovesItsOwnAdjacency)
{
  KEXTriangleMeshBuffer b = makeTorus(12, 7);
  const double volume = signedVolume(b);
  ASSERT_GT(volume, 0.0);
  ASSERT_TRUE(runAlgorithm<KEXFlipOrientationAlgorithm>(b));
  EXPECT_NEAR(signedVolume(b), -volume, 1e-9 * volume);
  EXPECT_FALSE(b.hasVertexAdjacencyList());
  KEXTriangleMeshBuffer empty;
  EXPECT_TRUE(runAlgorithm<KEXFlipOrientationAlgorithm>(empty));
  EXPECT_EQ(KEXMetaClass::find("KEXFlipOrientationAlgorithm"), &KEXFlipOrientationAlgorithm::metaClass());
}

