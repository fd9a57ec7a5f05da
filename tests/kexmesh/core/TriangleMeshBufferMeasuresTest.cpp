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
    bool ok = f[0] != f[1] && f[0] != f[2] && f[1] != f[2];
    for (int k = 0; k < 3; ++k)
      ok = ok && f[k] >= 0 && f[k] < V;
    if (!ok)
      continue;
    for (int k = 0; k < 3; ++k) {
      KEXVector3<double> e = KEXVector3<double>(b.vertexList[f[(k + 1) % 3]]) - KEXVector3<double>(b.vertexList[f[k]]);
      for (int a = 0; a < 3; ++a)
        sum[a] += std::fabs(e[a]);
    }
    ++count;
  }
  Vec3 lo(FLT_MAX, FLT_MAX, FLT_MAX), hi(-FLT_MAX, -FLT_MAX, -FLT_MAX);
  for (const Vec3& p : b.vertexList)
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], p[a]);
      hi[a] = std::max(hi[a], p[a]);
    }
  for (int a = 0; a < 3; ++a) {
    if (count > 0) {
      float m = float(sum[a] / (3.0 * count));
      if (m > FLT_MIN && m < r[a])
        r[a] = m;
    }
    float s = float(double(hi[a] - lo[a]) / std::sqrt(double(V)));
    if (s > FLT_MIN && s < r[a])
      r[a] = s;
  }
  return r;
}
} // namespace

TEST(Measures, BoundingBoxAndSamplingDistanceMatchBruteForce)
{
  std::mt19937 rng(3);
  for (int round = 0; round < 30; ++round) {
    RandomMeshOptions o;
    o.vertices = 1 + int(rng() % 50);
    o.triangles = int(rng() % 80);
    o.invalidIndexRate = 0.1;
    o.repeatedIndexRate = 0.2;
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, o);
    if (round % 3 == 0)
      for (Vec3& p : b.vertexList)
        p.z *= 0.001f; // a flat-ish mesh: the box decides z
    KEXInterval<Vec3> box;
    ASSERT_TRUE(b.calculateBoundingBox(box));
    for (const Vec3& p : b.vertexList) {
      EXPECT_TRUE(box.contains(p));
    }
    Vec3 msd, want = referenceSamplingDistance(b);
    ASSERT_TRUE(b.calculateMeanSamplingDistance(msd));
    for (int a = 0; a < 3; ++a) {
      EXPECT_FLOAT_EQ(msd[a], want[a]) << round << " axis " << a;
    }
  }
}
