// Laplacian smoothing: the octahedron collapsing to its centre, flat regions and borders staying,
// non-manifold and inconsistent fans kept in place, equality with a brute-force reference on
// random closed, open and damaged surfaces, and both passes on the real meshes.
#include "kexmesh/simplify/ILPSmoothingAlgorithm.h"
#include "kexmesh/simplify/CASmoothingAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"
#include "support/OffReader.h"
#include "support/SmoothingReference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
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

TEST(ILPSmoothingAlgorithm, BothPassesOnTheRealMeshes)
{
  // Judged by the independent measure: the passes change no triangle and no edge count, their positions stay
  // finite, a Laplacian move stays within the vertex's longest edge, and a run that fails (a
  // normal without direction on inconsistently oriented data) moves nothing.
  const std::filesystem::path folder = std::filesystem::path(KEXMESH_DATA_DIR) / "meshes";
  if (!std::filesystem::exists(folder))
    GTEST_SKIP() << "no real meshes in " << folder;
  int meshes = 0, succeeded = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    KEXTriangleMeshBuffer input;
    if (entry.path().extension() != ".off" || !readOff(entry.path().string(), input) ||
        input.getTriangleCount() > 60000)
      continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++meshes;
    const MeshQuality quality = measure(input);
    for (bool arc : {false, true}) {
      KEXTriangleMeshBuffer b(input);
      const bool ok = arc ? runAlgorithm<KEXCASmoothingAlgorithm>(b) : runAlgorithm<KEXILPSmoothingAlgorithm>(b);
      EXPECT_EQ(triangles(b), triangles(input));
      const MeshQuality after = measure(b);
      EXPECT_EQ(after.borderEdges, quality.borderEdges);
      EXPECT_EQ(after.nonManifoldEdges, quality.nonManifoldEdges);
      EXPECT_EQ(after.inconsistentEdges, quality.inconsistentEdges);
      EXPECT_EQ(after.duplicateTriangles, quality.duplicateTriangles);
      EXPECT_EQ(after.closedComponents, quality.closedComponents);
      if (!ok) {
        EXPECT_EQ(vertices(b), vertices(input));
        continue;
      }
      succeeded += !arc;
      std::vector<double> reach(size_t(b.getVertexCount()), 0.0);
      for (const Tri& t : triangles(input))
        for (int k = 0; k < 3; ++k) {
          const int u = t[k], w = t[(k + 1) % 3];
          if (!input.isValidVertex(u) || !input.isValidVertex(w))
            continue;
          const Vec3 d = input.vertexList[u] - input.vertexList[w];
          const double l = std::sqrt(double(d.x) * d.x + double(d.y) * d.y + double(d.z) * d.z);
          reach[size_t(u)] = std::max(reach[size_t(u)], l);
          reach[size_t(w)] = std::max(reach[size_t(w)], l);
        }
      for (int v = 0; v < b.getVertexCount(); ++v) {
        const Vec3 p = b.vertexList[v], q = input.vertexList[v];
        if (!(std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z)))
          continue;
        ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) << v;
        if (!arc) {
          const Vec3 d = p - q;
          EXPECT_LE(std::sqrt(double(d.x) * d.x + double(d.y) * d.y + double(d.z) * d.z), reach[size_t(v)] * 1.0001)
              << v;
        }
      }
    }
  }
  EXPECT_GE(succeeded, meshes * 9 / 10);
}
