// Value types: normalisation, matrix inverse and determinant against brute-force references,
// normal transformation, colour conversions, boxes and the owning string.
#include "kex/Memory.h"
#include "kex/Testing.h"
#include "kex/Values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <numbers>

namespace {

using V3f = KEXVector3<float>;
using V3d = KEXVector3<double>;
using M4d = KEXMatrix4<double>;

M4d randomMatrix(std::mt19937& rng)
{
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  M4d m;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      m(r, c) = u(rng);
  return m;
}

// Determinant by cofactor expansion along the first row.
double det3(const M4d& m, int skipRow, int skipCol)
{
  int rows[3], cols[3];
  for (int i = 0, k = 0; i < 4; ++i)
    if (i != skipRow)
      rows[k++] = i;
  for (int i = 0, k = 0; i < 4; ++i)
    if (i != skipCol)
      cols[k++] = i;
  auto e = [&](int r, int c) { return m(rows[r], cols[c]); };
  return e(0, 0) * (e(1, 1) * e(2, 2) - e(1, 2) * e(2, 1)) - e(0, 1) * (e(1, 0) * e(2, 2) - e(1, 2) * e(2, 0)) +
         e(0, 2) * (e(1, 0) * e(2, 1) - e(1, 1) * e(2, 0));
}
double det4(const M4d& m)
{
  double d = 0.0;
  for (int c = 0; c < 4; ++c)
    d += (c % 2 ? -1.0 : 1.0) * m(0, c) * det3(m, 0, c);
  return d;
}

TEST(ValuesTest, NormalizeHasNoZeroGuardAndWorksInDouble)
{
  V3f zero(0, 0, 0);
  zero.normalize();
  EXPECT_TRUE(std::isnan(zero.x) && std::isnan(zero.y) && std::isnan(zero.z));
  V3f v(3, 4, 0);
  v.normalize(0.0f);
  EXPECT_EQ(v, V3f(0, 0, 0));
  V3f w(3, 4, 12);
  w.normalize(2.0f);
  EXPECT_NEAR(w.length(), 2.0f, 1e-6f);
  EXPECT_NEAR(w.x, 6.0f / 13.0f, 1e-7f);
  // 1e-30 squared underflows in float; computed in double the direction survives.
  V3f tiny(1e-30f, 0, 0);
  tiny.normalize();
  EXPECT_EQ(tiny, V3f(1, 0, 0));
  V3f big(3e30f, 4e30f, 0);
  big.normalize();
  EXPECT_NEAR(big.x, 0.6f, 1e-7f);
  EXPECT_EQ(V3f::ZERO, V3f(0, 0, 0));
  EXPECT_EQ(V3f(1, 0, 0).cross(V3f(0, 1, 0)), V3f(0, 0, 1));
  EXPECT_EQ(V3d(V3f(0.5f, 1, 2)), V3d(0.5, 1, 2));
}

TEST(ValuesTest, InverseTimesMatrixIsIdentityAndDeterminantMatchesCofactors)
{
  std::mt19937 rng(3);
  const M4d identity(1.0);
  for (int trial = 0; trial < 200; ++trial) {
    M4d m = randomMatrix(rng);
    double ref = det4(m);
    EXPECT_NEAR(m.determinant(), ref, 1e-9 * (1.0 + std::fabs(ref)));
    if (std::fabs(ref) < 1e-3)
      continue;
    M4d inv = m;
    ASSERT_TRUE(inv.invert());
    M4d p = inv * m, q = m * inv;
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) {
        ASSERT_NEAR(p(r, c), identity(r, c), 1e-9);
        ASSERT_NEAR(q(r, c), identity(r, c), 1e-9);
      }
  }
  // Row exchanges flip the sign; a scale matrix is the product of its factors.
  M4d swapRows(0.0);
  swapRows(0, 1) = swapRows(1, 0) = swapRows(2, 2) = swapRows(3, 3) = 1.0;
  EXPECT_DOUBLE_EQ(swapRows.determinant(), -1.0);
  EXPECT_DOUBLE_EQ(M4d::createScaleMatrix(2, -3, 0.5).determinant(), -3.0);
  EXPECT_FLOAT_EQ(KEXMatrix4<float>(2.0f).determinant(), 16.0f);

  // A singular matrix is refused and left unchanged.
  M4d singular = randomMatrix(rng);
  for (int c = 0; c < 4; ++c)
    singular(2, c) = 2.0 * singular(0, c);
  M4d before = singular;
  EXPECT_NEAR(singular.determinant(), 0.0, 1e-12);
  EXPECT_FALSE(singular.invert());
  EXPECT_EQ(singular, before);
  M4d nanMatrix(1.0);
  nanMatrix(1, 1) = std::nan("");
  EXPECT_FALSE(nanMatrix.invert());
}

TEST(ValuesTest, InverseTransposeKeepsNormalsPerpendicular)
{
  // Non-uniform scale, a rotation and a translation.
  const double a = 0.7;
  M4d rot(1.0);
  rot(0, 0) = std::cos(a);
  rot(0, 1) = -std::sin(a);
  rot(1, 0) = std::sin(a);
  rot(1, 1) = std::cos(a);
  M4d m = M4d::createTranslationMatrix(5, -3, 2) * rot * M4d::createScaleMatrix(3.0, 0.25, 2.0);
  EXPECT_NEAR(m.transformPoint(V3d(0, 0, 0)).x, 5.0, 1e-12);
  M4d normalMatrix = m;
  ASSERT_TRUE(normalMatrix.invert());
  normalMatrix.transpose();

  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int trial = 0; trial < 100; ++trial) {
    V3d p(u(rng), u(rng), u(rng)), t(u(rng), u(rng), u(rng)), s(u(rng), u(rng), u(rng));
    V3d n = t.cross(s); // normal of the plane spanned by t and s at p
    V3d tp = m.transformPoint(p + t) - m.transformPoint(p);
    V3d sp = m.transformPoint(p + s) - m.transformPoint(p);
    V3d np = normalMatrix.transformPoint(n); // the translation lands in row 3 and is ignored
    EXPECT_NEAR(np.dot(tp) / (np.length() * tp.length()), 0.0, 1e-9);
    EXPECT_NEAR(np.dot(sp) / (np.length() * sp.length()), 0.0, 1e-9);
    EXPECT_GT(np.dot(tp.cross(sp)), 0.0); // orientation kept (positive determinant)
  }
  // float <-> double conversion keeps the elements.
  KEXMatrix4<float> f(m);
  M4d back(f);
  EXPECT_NEAR(back(0, 3), 5.0, 1e-6);
  EXPECT_NEAR(back(1, 1), m(1, 1), 1e-6);
}

TEST(ValuesTest, ColourConversions)
{
  KEXRGBA<unsigned char> b(KEXRGBA<float>(0.5f, 0.0f, 1.0f, 0.25f));
  EXPECT_EQ(b.r, 128);
  EXPECT_EQ(b.g, 0);
  EXPECT_EQ(b.b, 255);
  EXPECT_EQ(b.a, 64);
  KEXRGBA<float> back(b);
  EXPECT_FLOAT_EQ(back.r, 0.5019608f);
  EXPECT_EQ(back.g, 0.0f);
  EXPECT_EQ(back.b, 1.0f);
  // Out of range and NaN.
  KEXRGBA<unsigned char> c(KEXRGBA<float>(std::nanf(""), -1.0f, 7.0f, 0.999f));
  EXPECT_EQ(c, KEXRGBA<unsigned char>(0, 0, 255, 255));
  // Every byte survives the round trip through float.
  for (int i = 0; i < 256; ++i) {
    KEXRGBA<unsigned char> x((unsigned char)i, 0, 0, 0);
    EXPECT_EQ(KEXRGBA<unsigned char>(KEXRGBA<float>(x)).r, i);
  }
  EXPECT_EQ(KEXRGBA<float>(0.1f, 0.2f, 0.3f).a, 1.0f);
  EXPECT_EQ(KEXRGBA<unsigned char>(1, 2, 3).a, 255);
  EXPECT_EQ(KEXRGBA<float>::BLACK, KEXRGBA<float>(0, 0, 0, 0));
  KEXRGBA<float> sum = KEXRGBA<float>::BLACK + KEXRGBA<float>(1, 0, 0) + KEXRGBA<float>(0, 1, 0);
  EXPECT_EQ(sum * 0.5f, KEXRGBA<float>(0.5f, 0.5f, 0, 1.0f));
  KEXRGBA<float> d(2.0f, -1.0f, std::nanf(""), 0.5f);
  d.clamp();
  EXPECT_EQ(d.r, 1.0f);
  EXPECT_EQ(d.g, 0.0f);
  EXPECT_TRUE(std::isnan(d.b));
  EXPECT_EQ(d.a, 0.5f);
  KEXRGB<float> white;
  EXPECT_EQ(white, KEXRGB<float>(1, 1, 1));
}

TEST(ValuesTest, IntervalUnitesEnlargesAndNeverTakesNaN)
{
  KEXInterval<V3f> box;
  EXPECT_TRUE(box.isEmpty());
  EXPECT_EQ(box.getSize(), V3f(0, 0, 0));
  EXPECT_EQ(box.getDiameter(), 0.0);
  // Components are compared one by one: a NaN component never enters, the others do.
  box.unite(V3f(std::nanf(""), 1, 1));
  EXPECT_TRUE(box.isEmpty());
  box.unite(V3f(1, 2, 3));
  EXPECT_FALSE(box.isEmpty());
  box.unite(V3f(4, 6, 15));
  box.unite(V3f(2, std::nanf(""), 100));
  EXPECT_EQ(box.getMin(), V3f(1, 1, 1));
  EXPECT_EQ(box.getMax(), V3f(4, 6, 100));
  KEXInterval<V3f> b2(V3f(1, 2, 3), V3f(4, 6, 15));
  EXPECT_DOUBLE_EQ(b2.getDiameter(), 13.0);
  EXPECT_EQ(b2.getCenter(), V3f(2.5f, 4, 9));
  b2.enlarge(V3f(1, 1, 1));
  EXPECT_EQ(b2.getMin(), V3f(0, 1, 2));
  EXPECT_EQ(b2.getSize(), V3f(5, 6, 14));
  EXPECT_TRUE(b2.contains(V3f(0, 1, 2)));
  EXPECT_FALSE(b2.contains(V3f(-0.1f, 1, 2)));

  KEXInterval<V3f> far(V3f(10, 10, 10), V3f(11, 11, 11));
  EXPECT_FALSE(b2.intersects(far));
  EXPECT_FALSE(b2.intersects(KEXInterval<V3f>()));
  EXPECT_FALSE(KEXInterval<V3f>().intersects(KEXInterval<V3f>()));
  KEXInterval<V3f> touching(V3f(5, 7, 16), V3f(6, 8, 17));
  EXPECT_TRUE(b2.intersects(touching));
  KEXInterval<V3f> u = b2;
  u.unite(far);
  u.unite(KEXInterval<V3f>()); // empty box: no effect
  EXPECT_EQ(u.getMax(), V3f(11, 11, 16));
  u.intersect(far);
  EXPECT_EQ(u.getMin(), V3f(10, 10, 10));
  KEXInterval<V3f> none = b2;
  none.intersect(far);
  EXPECT_TRUE(none.isEmpty());
  KEXValuePair<V3f> pair = b2;
  EXPECT_EQ(KEXInterval<V3f>(pair).getMin(), b2.getMin());
  KEXInterval<V3d> d;
  d.unite(V3d(1e300, 0, 0));
  EXPECT_EQ(d.getMax().x, 1e300);
}

TEST(ValuesTest, CStringKeepsItsValueWhenMemoryIsShort)
{
  long base = kexTest::liveAllocations();
  {
    KEXCString s;
    EXPECT_EQ(s.get(), nullptr);
    ASSERT_TRUE(s.set("abc"));
    EXPECT_STREQ(s.get(), "abc");
    {
      kexTest::AllocationFault fault(1);
      EXPECT_FALSE(s.set("defgh"));
      EXPECT_TRUE(fault.fired());
    }
    EXPECT_STREQ(s.get(), "abc");
    ASSERT_TRUE(s.set(s.get())); // setting its own text
    EXPECT_STREQ(s.get(), "abc");
    KEXCString copy(s);
    EXPECT_TRUE(copy == s);
    EXPECT_NE(copy.get(), s.get());
    {
      kexTest::AllocationFault fault(1);
      KEXCString failed(s);
      EXPECT_EQ(failed.get(), nullptr); // a failed copy is null, not a shared pointer
    }
    KEXCString target;
    ASSERT_TRUE(target.set("xyz"));
    {
      kexTest::AllocationFault fault(1);
      target = s; // refused: keeps its value
      EXPECT_STREQ(target.get(), "xyz");
    }
    EXPECT_TRUE(s.set(nullptr));
    EXPECT_EQ(s.get(), nullptr);
    EXPECT_FALSE(copy == s);
  }
  EXPECT_EQ(kexTest::liveAllocations(), base);
}

TEST(ValuesTest, MemoryHooksAndUnits)
{
  long calls = kexTest::allocationCalls();
  EXPECT_EQ(kexMalloc(0), nullptr);
  EXPECT_EQ(kexTest::allocationCalls(), calls); // size 0 is not an allocation
  void* p = kexMalloc(24);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
  {
    kexTest::AllocationFault fault(1);
    EXPECT_EQ(kexRealloc(p, 10), nullptr); // a failed shrink keeps the block
  }
  static_cast<char*>(p)[23] = 1;
  EXPECT_EQ(kexRealloc(p, 0), nullptr); // frees
  kexFree(nullptr);
  {
    kexTest::AllocationFault fault(2, true);
    void* a = kexMalloc(8);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(kexMalloc(8), nullptr);
    EXPECT_EQ(kexMalloc(8), nullptr);
    kexFree(a);
  }
  kexTest::setFreePhysicalMemory(-5);
  EXPECT_EQ(kexGetFreePhysicalMemory(), -5);
  kexTest::clearFreePhysicalMemory();
  EXPECT_GT(kexGetFreePhysicalMemory(), 0);

  EXPECT_NEAR(KEXQuantity::unitToInternal(180.0, KEX::Angle, KEXenum("Degree")), std::numbers::pi, 1e-15);
  EXPECT_EQ(KEXQuantity::unitToInternal(2.5, KEX::Length, KEXenum("Millimeter")), 2.5);

  KEXOrientedBBox obb(KEXValuePair<V3f>(V3f(1, 2, 3), V3f(2, 4, 7)));
  EXPECT_EQ(obb.getMatrix().transformPoint(V3f(1, 1, 1)), V3f(2, 4, 7));
  EXPECT_EQ(obb.getMatrix().transformPoint(V3f(0, 0, 0)), V3f(1, 2, 3));
}

TEST(ValuesTest, MathKernelMatchesPointwiseOperations)
{
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> u(-10.0f, 10.0f);
  const int n = 37; // not a multiple of 4
  float x[n], y[n], z[n], ox[n], oy[n], oz[n];
  for (int i = 0; i < n; ++i) {
    x[i] = u(rng);
    y[i] = u(rng);
    z[i] = u(rng);
  }
  y[5] = std::nanf("");
  KEXMatrix4<float> m =
      KEXMatrix4<float>::createTranslationMatrix(1, 2, 3) * KEXMatrix4<float>::createScaleMatrix(2, 3, 4);
  m(0, 1) = 0.5f;
  KEXMathKernel::transformPoints(m, x, y, z, ox, oy, oz, n);
  KEXInterval<V3f> box, ref;
  for (int i = 0; i < n; ++i) {
    V3f p = m.transformPoint(V3f(x[i], y[i], z[i]));
    if (i == 5) {
      EXPECT_TRUE(std::isnan(ox[i]) && std::isnan(oy[i]) && std::isnan(oz[i])); // 0 * NaN is NaN
    } else {
      EXPECT_EQ(V3f(ox[i], oy[i], oz[i]), p);
    }
    ref.unite(p);
  }
  KEXMathKernel::unitePoints(box, ox, oy, oz, n);
  EXPECT_EQ(box.getMin(), ref.getMin());
  EXPECT_EQ(box.getMax(), ref.getMax());
  // In place.
  KEXMathKernel::transformPoints(m, x, y, z, x, y, z, n);
  for (int i = 0; i < n; ++i) {
    if (i != 5) {
      ASSERT_EQ(V3f(x[i], y[i], z[i]), V3f(ox[i], oy[i], oz[i]));
    }
  }
  KEXMathKernel::unitePoints(box, x, y, z, 0);
  EXPECT_EQ(box.getMax(), ref.getMax());
}

TEST(ValuesTest, AlignedKernelsMatchScalarArithmetic)
{
  std::mt19937 rng(41);
  std::uniform_real_distribution<float> u(-100.0f, 100.0f);
  constexpr int n = 64;
  alignas(KEXMathKernel::ALIGNMENT) float a[3][n], b[3][n];
  alignas(KEXMathKernel::ALIGNMENT) double d[3][n], e[3][n], c[3][n], dot[n], len[n];
  for (int round = 0; round < 20; ++round) {
    for (int k = 0; k < 3; ++k)
      for (int i = 0; i < n; ++i) {
        a[k][i] = u(rng);
        b[k][i] = u(rng);
      }
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

TEST(ValuesTest, UnitingPointsLeavesAnAxisWithoutNumbersAlone)
{
  float x[6] = {1, 5, -2, 3, 0, 4}, y[6], z[6] = {7, 7, 7, 7, 7, 7};
  for (float& v : y)
    v = std::nanf("");
  for (int n : {0, 1, 5, 6}) {
    KEXInterval<V3f> box, ref;
    KEXMathKernel::unitePoints(box, x, y, z, n);
    for (int i = 0; i < n; ++i)
      ref.unite(V3f(x[i], y[i], z[i]));
    EXPECT_EQ(box.getMin(), ref.getMin()) << n;
    EXPECT_EQ(box.getMax(), ref.getMax()) << n;
  }
}

} // namespace
