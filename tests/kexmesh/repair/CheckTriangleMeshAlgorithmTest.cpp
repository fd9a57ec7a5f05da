// The integrity check: the stored counts against a brute-force count on random damaged meshes.
#include "kexmesh/repair/CheckTriangleMeshAlgorithm.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "support/AlgorithmSweeps.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace kexmeshtest;

namespace {
const float NaN = std::nanf("");
} // namespace

TEST(CheckTriangleMesh, CountsMatchBruteForceOnRandomDamagedMeshes)
{
  std::mt19937 rng(29);
  for (int round = 0; round < 40; ++round) {
    RandomMeshOptions o;
    o.vertices = 5 + int(rng() % 40);
    o.triangles = int(rng() % 100);
    o.invalidIndexRate = round % 2 ? 0.1 : 0.0;
    o.repeatedIndexRate = 0.2;
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, o);
    if (round % 4 == 1)
      b.vertexList[int(rng() % 5)].x = NaN;
    const KEXTriangleMeshBuffer before = b;
    int invalidV = 0, invalidT = 0, emptyT = 0;
    for (const Vec3& p : b.vertexList)
      invalidV += !(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
    for (const KEXTriangle<int>& f : b.triangleList)
      invalidT += f[0] < 0 || f[1] < 0 || f[2] < 0 || f[0] >= o.vertices || f[1] >= o.vertices || f[2] >= o.vertices;
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
    EXPECT_TRUE(triangles(b) == triangles(before)); // nothing changes
    EXPECT_EQ(b.vertexList.getCount(), before.vertexList.getCount());
  }
}

