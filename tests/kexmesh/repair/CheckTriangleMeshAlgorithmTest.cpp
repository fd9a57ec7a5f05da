// The integrity check: the stored counts against a brute-force count on random damaged meshes.
#include "kexmesh/repair/CheckTriangleMeshAlgorithm.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace kexmeshtest;

namespace {
const float NaN = std::nanf("");
} // namespace

TEST(CheckTriangleMesh, CountsMatchBruteForceOnRandomDamagedMeshes)
{
  std::mt19937 rng(29);
  for (int round = 0; round < 40; ++round) {
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, {5 + int(rng() % 40), int(rng() % 100), round % 2 ? 0.1 : 0.0, 0.05, 0.2});
    if (round % 4 == 1)
      b.vertexList[int(rng() % 5)].x = NaN;
    const KEXTriangleMeshBuffer before = b;
    const int invalidV = int(b.getVertexCount() - std::count_if(b.vertexList.begin(), b.vertexList.end(), finitePoint));
    int invalidT = 0, emptyT = 0;
    for (const KEXTriangle<int>& f : b.triangleList)
      invalidT += !b.isValidVertex(f[0]) || !b.isValidVertex(f[1]) || !b.isValidVertex(f[2]);
    Vec3 msd;
    ASSERT_TRUE(b.calculateMeanSamplingDistance(msd));
    const double s = std::min(msd.x, std::min(msd.y, msd.z)) / 128.0;
    if (invalidV == 0 && invalidT == 0)
      for (const KEXTriangle<int>& f : b.triangleList) {
        double area;
        KEXTriangleCalculus3<float>::area(area, b.vertexList[f[0]], b.vertexList[f[1]], b.vertexList[f[2]]);
        emptyT += area <= 0.5 * s * s;
      }
    KEXCheckTriangleMeshAlgorithm check;
    kexTest::RecordingScope monitor;
    EXPECT_EQ(runAlgorithm(b, check), invalidV == 0 && invalidT == 0);
    EXPECT_EQ(check.getInvalidVertexCount(), invalidV);
    EXPECT_EQ(check.getInvalidTriangleCount(), invalidT);
    EXPECT_EQ(check.getEmptyTriangleCount(), emptyT);
    EXPECT_TRUE(sameBuffer(b, before)); // nothing changes
  }
}
