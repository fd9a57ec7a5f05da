// Bounding box and mean sampling distance of the buffer against brute force.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/AlgorithmSweeps.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

using namespace kexmeshtest;

namespace {
Vec3 referenceSamplingDistance(const KEXTriangleMeshBuffer& b)
{
  const int V = b.getVertexCount();
  Vec3 r(FLT_MAX, FLT_MAX, FLT_MAX);
  double sum[3] = {0, 0, 0};
  long count = 0;
  for (const KEXTriangle<int>& f : b.triangleList) {
    if (f[0] == f[1] || f[0] == f[2] || f[1] == f[2] || !b.isValidVertex(f[0]) || !b.isValidVertex(f[1]) || !b.isValidVertex(f[2]))
      continue;
    for (int k = 0; k < 9; ++k)
      sum[k % 3] += std::fabs(double(b.vertexList[f[(k / 3 + 1) % 3]][k % 3]) - double(b.vertexList[f[k / 3]][k % 3]));
    ++count;
  }
  Vec3 lo(FLT_MAX, FLT_MAX, FLT_MAX), hi(-FLT_MAX, -FLT_MAX, -FLT_MAX);
  for (const Vec3& p : b.vertexList)
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], p[a]);
      hi[a] = std::max(hi[a], p[a]);
    }
  for (int a = 0; a < 3; ++a) {
    const float m = count > 0 ? float(sum[a] / (3.0 * count)) : 0.0f, s = float(double(hi[a] - lo[a]) / std::sqrt(double(V)));
    for (float x : {m, s})
      if (x > FLT_MIN && x < r[a])
        r[a] = x;
  }
  return r;
}
} // namespace

TEST(Measures, BoundingBoxAndSamplingDistanceMatchBruteForce)
{
  std::mt19937 rng(3);
  for (int round = 0; round < 30; ++round) {
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, {1 + int(rng() % 50), int(rng() % 80), 0.1, 0.05, 0.2});
    if (round % 3 == 0)
      for (Vec3& p : b.vertexList)
        p.z *= 0.001f; // a flat-ish mesh: the box decides z
    KEXInterval<Vec3> box;
    ASSERT_TRUE(b.calculateBoundingBox(box));
    for (const Vec3& p : b.vertexList)
      EXPECT_TRUE(box.contains(p));
    Vec3 msd, want = referenceSamplingDistance(b);
    ASSERT_TRUE(b.calculateMeanSamplingDistance(msd));
    for (int a = 0; a < 3; ++a)
      EXPECT_FLOAT_EQ(msd[a], want[a]) << round << " axis " << a;
  }
}
