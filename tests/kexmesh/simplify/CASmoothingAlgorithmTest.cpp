// Circular-arc smoothing against a brute-force reference on random surfaces, and the preparation
// both smoothing passes share (lists emptied and restored, failures moving nothing).
#include "kexmesh/simplify/CASmoothingAlgorithm.h"
#include "kex/Testing.h"
#include "kexmesh/simplify/ILPSmoothingAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/SmoothingReference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

using namespace kexmeshtest;

namespace {

struct Pass {
  const char* name;
  std::function<bool(KEXTriangleMeshBuffer&)> run;
};
const Pass passes[] = {
    {"arc", [](KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXCASmoothingAlgorithm>(b); }},
    {"laplace", [](KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXILPSmoothingAlgorithm>(b); }},
};

} // namespace

TEST(CASmoothingAlgorithm, EqualsTheReferenceOnRandomSurfaces)
{
  std::mt19937 rng(4);
  for (int index = 0; index < 36; ++index) {
    SCOPED_TRACE(index);
    KEXTriangleMeshBuffer b = randomSurface(rng, index);
    const std::vector<Vec3> expected = referenceArc(b, unitVertexNormals(b));
    ASSERT_TRUE(runAlgorithm<KEXCASmoothingAlgorithm>(b));
    expectNearPositions(b, expected, 2e-5);
  }
}

TEST(CASmoothingAlgorithm, BothPassesEmptyTheStaleListsAndKeepTheRest)
{
  std::mt19937 rng(9);
  for (const Pass& pass : passes) {
    for (bool derivedGiven : {false, true}) {
      SCOPED_TRACE(::testing::Message() << pass.name << (derivedGiven ? " with derived lists" : ""));
      KEXTriangleMeshBuffer b = randomSurface(rng, 4);
      const int V = b.getVertexCount(), T = b.getTriangleCount();
      ASSERT_TRUE(b.vertexColorList.setCount(V, KEXRGBA<float>(1, 0, 0, 1)) &&
                  b.triangleColorList.setCount(T, KEXRGBA<float>(0, 1, 0, 1)));
      ASSERT_TRUE(b.textureCoordinateList.setCount(V, KEXVector2<float>(0.25f, 0.5f)) &&
                  b.vertexScalarList.setCount(V, 7.0f) && b.calculateTriangleNormals());
      b.vertexAdjacencyList.clear(); // built on the way
      // The triangle adjacency brings the vertex adjacency list along.
      ASSERT_TRUE(!derivedGiven || (b.createTriangleAdjacencyList() && b.createTriangleAngleList() && b.updateCornerNormals(30.0f)));
      const KEXTriangleMeshBuffer before(b);
      ASSERT_TRUE(pass.run(b));
      EXPECT_FALSE(b.hasVertexColorList() || b.hasTriangleNormalList() || b.hasTriangleColorList() || b.hasVertexNormalList());
      EXPECT_TRUE(sameBits(b.textureCoordinateList, before.textureCoordinateList) &&
                  sameBits(b.vertexScalarList, before.vertexScalarList));
      EXPECT_EQ(triangles(b), triangles(before));
      for (bool kept : {b.hasVertexAdjacencyList(), b.hasTriangleAdjacencyList(), b.hasTriangleAngleList()})
        EXPECT_EQ(kept, derivedGiven);
      // Positions moved, so per-corner positions and angles of the old ones must not survive.
      EXPECT_EQ(b.cornerVertexPages.getCount(), 0);
      if (derivedGiven) {
        KEXTriangleMeshBuffer fresh(b);
        ASSERT_TRUE(fresh.removeTriangleAngleList() && fresh.createTriangleAngleList());
        EXPECT_TRUE(sameBits(b.triangleAngleList, fresh.triangleAngleList));
      }
      EXPECT_TRUE(b.isConsistent());
    }
  }
}

TEST(CASmoothingAlgorithm, BothPassesFailOnANormalWithoutDirectionAndMoveNothing)
{
  for (const Pass& pass : passes) {
    SCOPED_TRACE(pass.name);
    KEXTriangleMeshBuffer b = makeIcosphere(2);
    ASSERT_TRUE(b.calculateVertexNormals());
    b.vertexNormalList[17] = Vec3(0, 0, 0);
    b.triangleNormalList.clear(); // what the normals were built with goes
    b.vertexAdjacencyList.clear();
    b.triangleAngleList.clear();
    const std::vector<Vec3> before = vertices(b);
    kexTest::RecordingScope monitor;
    EXPECT_FALSE(pass.run(b));
    EXPECT_TRUE(monitor.rootCode() == KEX::InvalidValue && monitor.hasDiagnostic("Invalid vertex normal found"));
    EXPECT_EQ(vertices(b), before);
    EXPECT_TRUE(b.isConsistent() && !b.hasVertexAdjacencyList() && !b.hasTriangleAdjacencyList());
  }
}

// Unused vertices stay (the random surfaces have some); point clouds and empty buffers pass. A
// given adjacency list is trusted to be of the right length, not to be right: a walk over
// scrambled partners must end, and the result stays a finite mesh.
TEST(CASmoothingAlgorithm, BothPassesAcceptPointCloudsAndSurviveAdjacencyThatDoesNotFit)
{
  std::mt19937 rng(12);
  for (const Pass& pass : passes) {
    SCOPED_TRACE(pass.name);
    KEXTriangleMeshBuffer cloud = makeBuffer({{1, 2, 3}, {4, 5, 6}}, {}), empty, b = makeTorus(10, 8);
    ASSERT_TRUE(pass.run(cloud) && pass.run(empty));
    EXPECT_EQ(vertices(cloud), (std::vector<Vec3>{{1, 2, 3}, {4, 5, 6}}));
    ASSERT_TRUE(b.createTriangleAdjacencyList());
    std::uniform_int_distribution<int> corner(-1, 3 * b.getTriangleCount() + 5);
    for (int t = 0; t < b.getTriangleCount(); ++t)
      for (int k = 0; k < 3; ++k)
        if (rng() % 3 == 0)
          b.triangleAdjacencyList[t][k] = corner(rng);
    ASSERT_TRUE(pass.run(b));
    EXPECT_TRUE(std::all_of(b.vertexList.begin(), b.vertexList.end(), finitePoint));
  }
}
