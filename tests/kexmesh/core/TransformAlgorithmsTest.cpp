// The three transform algorithms: points by the matrix, normals by its inverse transpose.
#include "kexmesh/core/TransformTriangleNormalListAlgorithm.h"
#include "kexmesh/core/TransformVertexListAlgorithm.h"
#include "kexmesh/core/TransformVertexNormalListAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace kexmeshtest;
using D3 = KEXVector3<double>;

namespace {
/// A random affine matrix: rotation-ish mixing, non-uniform scale (0.1 ... 10), shear, translation.
KEXMatrix4<float> randomAffine(std::mt19937& rng)
{
  std::uniform_real_distribution<float> u(-1.0f, 1.0f), s(-1.0f, 1.0f);
  KEXMatrix4<float> m(1.0f);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c)
      m(r, c) = u(rng);
  const KEXMatrix4<float> scale = KEXMatrix4<float>::createScaleMatrix(std::pow(10.0f, s(rng)), std::pow(10.0f, s(rng)),
                                                                       std::pow(10.0f, s(rng)));
  m = scale * m;
  return std::fabs(m.determinant()) < 1e-2f ? scale : m;
}

template <class A>
bool transform(KEXTriangleMeshBuffer& b, const KEXMatrix4<float>& m)
{
  A a;
  EXPECT_TRUE(a.setTransformMatrix(m));
  return runAlgorithm(b, a);
}
} // namespace

TEST(TransformAlgorithms, NormalsStayPerpendicularUnderRandomAffineMaps)
{
  std::mt19937 rng(23);
  for (int round = 0; round < 25; ++round) {
    KEXTriangleMeshBuffer b = makeIcosphere(1);
    ASSERT_TRUE(b.calculateTriangleNormals());
    const KEXTriangleMeshBuffer before = b;
    const KEXMatrix4<float> m = randomAffine(rng);
    ASSERT_TRUE(transform<KEXTransformVertexListAlgorithm>(b, m) && transform<KEXTransformTriangleNormalListAlgorithm>(b, m));
    const KEXMatrix4<double> md(m);
    for (int v = 0; v < b.getVertexCount(); ++v) {
      D3 want = md.transformPoint(D3(before.vertexList[v]));
      EXPECT_NEAR(b.vertexList[v].x, want.x, 1e-4 * (1 + std::fabs(want.x)));
      EXPECT_NEAR(b.vertexList[v].y, want.y, 1e-4 * (1 + std::fabs(want.y)));
    }
    for (int t = 0; t < b.getTriangleCount(); ++t) {
      const KEXTriangle<int>& f = b.triangleList[t];
      const D3 n(b.triangleNormalList[t]), fresh = D3(b.vertexList[f[1]] - b.vertexList[f[0]]).cross(D3(b.vertexList[f[2]] - b.vertexList[f[0]]));
      for (int k = 0; k < 3; ++k) {
        D3 e = D3(b.vertexList[f[(k + 1) % 3]]) - D3(b.vertexList[f[k]]);
        EXPECT_LT(std::fabs(n.dot(e)) / std::sqrt(n.squaredLength() * e.squaredLength()), 1e-4) << round << " " << t;
      }
      // Orientation follows the determinant's sign.
      EXPECT_GT(n.dot(fresh) * double(m.determinant()), 0.0);
    }
  }
}

TEST(TransformAlgorithms, VertexNormalsByTheInverseTransposeAndSingularMatrixRefused)
{
  KEXTriangleMeshBuffer b = makeGrid(3, 3);
  ASSERT_TRUE(b.calculateVertexNormals());
  // Scaling z by 4 turns (0, 0, 1) into (0, 0, 1/4): not renormalised; the translation is ignored.
  const KEXMatrix4<float> m = KEXMatrix4<float>::createTranslationMatrix(5, 6, 7) * KEXMatrix4<float>::createScaleMatrix(2, 3, 4);
  ASSERT_TRUE(transform<KEXTransformVertexNormalListAlgorithm>(b, m));
  for (const Vec3& n : b.vertexNormalList)
    EXPECT_EQ(n, Vec3(0, 0, 0.25f));
  const std::vector<Vec3> normals(b.triangleNormalList.begin(), b.triangleNormalList.end());
  kexTest::RecordingScope monitor;
  EXPECT_FALSE(transform<KEXTransformTriangleNormalListAlgorithm>(b, KEXMatrix4<float>::createScaleMatrix(1, 0, 1)));
  EXPECT_EQ(monitor.rootCode(), KEX::InvalidValue);
  EXPECT_TRUE(std::vector<Vec3>(b.triangleNormalList.begin(), b.triangleNormalList.end()) == normals);
}
