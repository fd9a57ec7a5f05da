// The bulk operations of the math kernel against the same arithmetic done point by point.
#include "kex/Values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

using V3f = KEXVector3<float>;

TEST(MathKernel, MatchesPointwiseOperations)
{
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> u(-10.0f, 10.0f);
  const int n = 37; // not a multiple of 4
  float x[n], y[n], z[n], ox[n], oy[n], oz[n];
  for (int i = 0; i < n; ++i)
    x[i] = u(rng), y[i] = u(rng), z[i] = u(rng);
  y[5] = std::nanf("");
  KEXMatrix4<float> m =
      KEXMatrix4<float>::createTranslationMatrix(1, 2, 3) * KEXMatrix4<float>::createScaleMatrix(2, 3, 4);
  m(0, 1) = 0.5f;
  KEXMathKernel::transformPoints(m, x, y, z, ox, oy, oz, n);
  KEXInterval<V3f> box, ref;
  for (int i = 0; i < n; ++i) {
    const V3f p = m.transformPoint(V3f(x[i], y[i], z[i]));
    if (i == 5) {
      EXPECT_TRUE(std::isnan(ox[i]) && std::isnan(oy[i]) && std::isnan(oz[i])); // 0 * NaN is NaN
    } else {
      EXPECT_EQ(V3f(ox[i], oy[i], oz[i]), p);
    }
    ref.unite(p);
  }
  KEXMathKernel::unitePoints(box, ox, oy, oz, n);
  EXPECT_TRUE(box.getMin() == ref.getMin() && box.getMax() == ref.getMax());
  KEXMathKernel::transformPoints(m, x, y, z, x, y, z, n); // in place
  for (int i = 0; i < n; ++i)
    ASSERT_TRUE(i == 5 || V3f(x[i], y[i], z[i]) == V3f(ox[i], oy[i], oz[i])) << i;
  KEXMathKernel::unitePoints(box, x, y, z, 0);
  EXPECT_EQ(box.getMax(), ref.getMax());
  // An axis without any number is left alone.
  float a[6] = {1, 5, -2, 3, 0, 4}, b[6], c[6] = {7, 7, 7, 7, 7, 7};
  for (float& v : b)
    v = std::nanf("");
  for (int k : {0, 1, 5, 6}) {
    KEXInterval<V3f> got, want;
    KEXMathKernel::unitePoints(got, a, b, c, k);
    for (int i = 0; i < k; ++i)
      want.unite(V3f(a[i], b[i], c[i]));
    EXPECT_TRUE(got.getMin() == want.getMin() && got.getMax() == want.getMax()) << k;
  }
}

TEST(MathKernel, AlignedKernelsMatchScalarArithmetic)
{
  std::mt19937 rng(41);
  std::uniform_real_distribution<float> u(-100.0f, 100.0f);
  constexpr int n = 64;
  alignas(KEXMathKernel::ALIGNMENT) float a[3][n], b[3][n];
  alignas(KEXMathKernel::ALIGNMENT) double d[3][n], e[3][n], c[3][n], dot[n], len[n];
  for (int round = 0; round < 20; ++round) {
    for (int k = 0; k < 3; ++k)
      for (int i = 0; i < n; ++i)
        a[k][i] = u(rng), b[k][i] = u(rng);
    const int m = KEXMathKernel::paddedCount(1 + round * 3 % n);
    ASSERT_EQ(m % KEXMathKernel::WIDTH, 0);
    KEXMathKernel::subtract(a[0], a[1], a[2], b[0], b[1], b[2], d[0], d[1], d[2], m);
    KEXMathKernel::subtract(b[0], b[1], b[2], a[0], a[1], a[2], e[0], e[1], e[2], m);
    KEXMathKernel::crossProducts(d[0], d[1], d[2], e[0], e[1], e[2], c[0], c[1], c[2], m);
    KEXMathKernel::dotProducts(d[0], d[1], d[2], d[0], d[1], d[2], dot, m);
    KEXMathKernel::lengths(d[0], d[1], d[2], len, m);
    for (int i = 0; i < m; ++i) {
      KEXVector3<double> p(double(b[0][i]) - a[0][i], double(b[1][i]) - a[1][i], double(b[2][i]) - a[2][i]);
      EXPECT_EQ(KEXVector3<double>(d[0][i], d[1][i], d[2][i]), p);
      EXPECT_EQ(KEXVector3<double>(c[0][i], c[1][i], c[2][i]), p.cross(-p));
      EXPECT_EQ(dot[i], p.dot(p));
      EXPECT_EQ(len[i], std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z));
    }
  }
}

} // namespace
