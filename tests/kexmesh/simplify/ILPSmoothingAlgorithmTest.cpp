// Laplacian smoothing: equality with a brute-force reference on random closed, open and damaged
// surfaces, and both passes on the real meshes.
#include "kexmesh/simplify/ILPSmoothingAlgorithm.h"
#include "kexmesh/simplify/CASmoothingAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/OffReader.h"
#include "support/SmoothingReference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>

using namespace kexmeshtest;

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

// Moving every vertex of a tetrahedron to the mean of its neighbours at once reflects it through
// its centre: the pass keeps such a closed part as it was (and says so), while a fine sphere beside
// it is smoothed as without it. The arc pass, which moves along the normals, smooths it and keeps
// it outward.
TEST(ILPSmoothingAlgorithm, CoarseClosedPartsAreNotTurnedInsideOut)
{
  const KEXTriangleMeshBuffer tetrahedron = makeBuffer({Vec3(0, 0, 0), Vec3(1, 0, 0), Vec3(0, 1, 0), Vec3(0, 0, 1)},
                                                       {Tri(0, 2, 1), Tri(0, 1, 3), Tri(0, 3, 2), Tri(1, 2, 3)});
  ASSERT_GT(signedVolume(tetrahedron), 0.0);
  const KEXTriangleMeshBuffer sphere = makeIcosphere(3, Vec3(5, 0, 0));
  KEXTriangleMeshBuffer input(tetrahedron);
  append(input, sphere);
  for (bool arc : {false, true}) {
    SCOPED_TRACE(arc ? "arc" : "Laplace");
    KEXTriangleMeshBuffer b(input), alone(sphere);
    kexTest::RecordingScope monitor;
    for (KEXTriangleMeshBuffer* m : {&b, &alone})
      ASSERT_TRUE(arc ? runAlgorithm<KEXCASmoothingAlgorithm>(*m) : runAlgorithm<KEXILPSmoothingAlgorithm>(*m));
    for (int v = 0; v < sphere.getVertexCount(); ++v)
      EXPECT_EQ(b.vertexList[4 + v], alone.vertexList[v]) << v;
    KEXTriangleMeshBuffer part(b);
    part.triangleList.setCount(4);
    EXPECT_GT(signedVolume(part), 0.0);
    EXPECT_TRUE(arc || monitor.hasDiagnostic("Kept %i closed parts unsmoothed: smoothing would have turned them inside out"));
    for (int v = 0; !arc && v < 4; ++v)
      EXPECT_EQ(b.vertexList[v], tetrahedron.vertexList[v]) << v;
  }
}

TEST(ILPSmoothingAlgorithm, BothPassesOnTheRealMeshes)
{
  // The passes change no triangle, finite positions stay finite, and a run that fails (a normal
  // without direction on inconsistently oriented data) moves nothing.
  const std::filesystem::path folder = std::filesystem::path(KEXMESH_DATA_DIR) / "meshes";
  if (!std::filesystem::exists(folder))
    GTEST_SKIP() << "no real meshes in " << folder;
  int meshes = 0, succeeded = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    KEXTriangleMeshBuffer input;
    if (entry.path().extension() != ".off" || !readOff(entry.path().string(), input) || input.getTriangleCount() > 60000)
      continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++meshes;
    for (bool arc : {false, true}) {
      KEXTriangleMeshBuffer b(input);
      const bool ok = arc ? runAlgorithm<KEXCASmoothingAlgorithm>(b) : runAlgorithm<KEXILPSmoothingAlgorithm>(b);
      EXPECT_EQ(triangles(b), triangles(input));
      EXPECT_TRUE(ok || vertices(b) == vertices(input)) << "a failed run moved vertices";
      succeeded += ok && !arc;
      for (int v = 0; ok && v < b.getVertexCount(); ++v)
        ASSERT_TRUE(!finitePoint(input.vertexList[v]) || finitePoint(b.vertexList[v])) << v;
    }
  }
  EXPECT_GE(succeeded, meshes * 9 / 10);
}
