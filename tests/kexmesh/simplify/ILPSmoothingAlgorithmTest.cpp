// Laplacian smoothing: the octahedron collapsing to its centre, flat regions and borders staying,
// non-manifold and inconsistent fans kept in place, and equality with a brute-force reference on
// random closed, open and damaged surfaces.
#include "kexmesh/simplify/ILPSmoothingAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/SmoothingReference.h"

#include <gtest/gtest.h>

#include <random>

using namespace kexmeshtest;

TEST(ILPSmoothingAlgorithm, OctahedronGoesToItsCentre)
{
  KEXTriangleMeshBuffer b = makeBuffer({{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}},
                                       {{0, 2, 4}, {2, 1, 4}, {1, 3, 4}, {3, 0, 4}, {2, 0, 5}, {1, 2, 5}, {3, 1, 5}, {0, 3, 5}});
  ASSERT_TRUE(closedAndConsistent(b));
  ASSERT_TRUE(runAlgorithm<KEXILPSmoothingAlgorithm>(b));
  for (const Vec3& p : vertices(b))
    EXPECT_EQ(p, Vec3(0, 0, 0));
}

TEST(ILPSmoothingAlgorithm, FlatRegionStaysInItsPlaneAndTheBorderStays)
{
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> jitter(-0.3f, 0.3f);
  KEXTriangleMeshBuffer b = makeGrid(12, 9);
  for (int v = 0; v < b.getVertexCount(); ++v)
    b.vertexList[v] += Vec3(jitter(rng), jitter(rng), 0.0f);
  const KEXTriangleMeshBuffer before(b);
  ASSERT_TRUE(runAlgorithm<KEXILPSmoothingAlgorithm>(b));
  int moved = 0;
  for (int v = 0; v < b.getVertexCount(); ++v) {
    EXPECT_EQ(b.vertexList[v].z, 0.0f);
    const int x = v % 13, y = v / 13;
    const bool border = x == 0 || y == 0 || x == 12 || y == 9;
    if (border) {
      EXPECT_EQ(b.vertexList[v], before.vertexList[v]) << v;
    }
    moved += b.vertexList[v] != before.vertexList[v];
  }
  EXPECT_EQ(moved, 11 * 8); // every interior vertex
}

TEST(ILPSmoothingAlgorithm, NonManifoldAndInconsistentFansStay)
{
  // Three triangles on the edge 0-1 of a closed tetrahedron, and a tetrahedron with one face flipped.
  KEXTriangleMeshBuffer fin = makeTetrahedron();
  fin.vertexList.append(Vec3(3, 3, 3));
  fin.triangleList.append(KEXTriangle<int>(fin.triangleList[0][0], fin.triangleList[0][1], 4));
  KEXTriangleMeshBuffer flipped = makeTetrahedron();
  std::swap(flipped.triangleList[2][1], flipped.triangleList[2][2]);
  for (KEXTriangleMeshBuffer* b : {&fin, &flipped}) {
    const std::vector<Vec3> expected = referenceLaplace(*b);
    const std::vector<Vec3> before = vertices(*b);
    ASSERT_TRUE(runAlgorithm<KEXILPSmoothingAlgorithm>(*b));
    expectNearPositions(*b, expected, 1e-6);
    int kept = 0;
    for (int v = 0; v < b->getVertexCount(); ++v)
      kept += b->vertexList[v] == before[size_t(v)];
    EXPECT_GE(kept, 2);
  }
}

TEST(ILPSmoothingAlgorithm, EqualsTheReferenceOnRandomSurfaces)
{
  std::mt19937 rng(5);
  for (int index = 0; index < 36; ++index) {
    SCOPED_TRACE(index);
    KEXTriangleMeshBuffer b = randomSurface(rng, index);
    const std::vector<Vec3> expected = referenceLaplace(b);
    ASSERT_TRUE(runAlgorithm<KEXILPSmoothingAlgorithm>(b));
    expectNearPositions(b, expected, 1e-5);
  }
}
