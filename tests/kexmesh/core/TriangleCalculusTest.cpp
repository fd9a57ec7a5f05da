// Triangle calculus: angles of degenerate triangles, and angles, area, normal and heights of random
// triangles against direct formulas.
#include "kexmesh/core/TriangleCalculus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <numbers>

namespace {
using V3 = KEXVector3<double>;
using C3 = KEXTriangleCalculus3<double>;
const double PI = std::numbers::pi;

V3 randomPoint(std::mt19937& rng)
{
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  return V3(u(rng), u(rng), u(rng));
}

// Angle between two vectors, directly from their dot product.
double angleBetween(const V3& a, const V3& b)
{
  return std::acos(std::clamp(a.dot(b) / std::sqrt(a.squaredLength() * b.squaredLength()), -1.0, 1.0));
}
} // namespace

TEST(TriangleCalculus, AnglesOfDegenerateTriangles)
{
  const V3 a(1, 2, 3), b(4, -1, 0), c(0, 0, 5);
  struct Case {
    V3 p, q, r;
    V3 expected;
  };
  const Case cases[] = {
      {a, a, c, V3(PI / 2, PI / 2, 0)}, // a = b
      {a, b, b, V3(0, PI / 2, PI / 2)}, // b = c
      {a, b, a, V3(PI / 2, 0, PI / 2)}, // a = c
      {a, a, a, V3(PI / 3, PI / 3, PI / 3)},
  };
  for (const Case& x : cases) {
    V3 out;
    C3::angles(out, x.p, x.q, x.r);
    EXPECT_DOUBLE_EQ(out.x, x.expected.x);
    EXPECT_DOUBLE_EQ(out.y, x.expected.y);
    EXPECT_DOUBLE_EQ(out.z, x.expected.z);
  }
  // Points closer than the threshold count as one.
  V3 out;
  C3::angles(out, a, a + V3(1e-9, 0, 0), c);
  EXPECT_DOUBLE_EQ(out.z, 0.0);
}

TEST(TriangleCalculus, RandomTrianglesAgreeWithDirectFormulas)
{
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    const V3 a = randomPoint(rng), b = randomPoint(rng), c = randomPoint(rng);
    V3 ang;
    C3::angles(ang, a, b, c);
    EXPECT_NEAR(ang.x + ang.y + ang.z, PI, 1e-12);
    EXPECT_NEAR(ang.x, angleBetween(b - a, c - a), 1e-6);
    EXPECT_NEAR(ang.y, angleBetween(a - b, c - b), 1e-6);
    const double cross = std::sqrt((b - a).cross(c - a).squaredLength());
    double area;
    C3::area(area, a, b, c);
    EXPECT_NEAR(area, 0.5 * cross, 1e-9 * (1 + cross));
    V3 n;
    C3::normalVector(n, a, b, c);
    const V3 reference = (b - a).cross(c - a); // same orientation, length twice the area
    EXPECT_NEAR((n - reference).squaredLength(), 0.0, 1e-16 + 1e-18 * reference.squaredLength() * 1e6);

    KEXVector3<double> l;
    C3::lengths(l, a, b, c);
    // Heights end on the opposite line, at a right angle to it.
    V3 h;
    C3::heightA(h, a, b, c);
    EXPECT_NEAR(h.dot(c - b), 0.0, 1e-9);
    EXPECT_NEAR(std::sqrt(h.squaredLength()) * l.x, 2 * area, 1e-8);
    C3::heightB(h, a, b, c);
    EXPECT_NEAR(h.dot(a - c), 0.0, 1e-9);
    C3::heightC(h, a, b, c);
    EXPECT_NEAR(h.dot(b - a), 0.0, 1e-9);
    EXPECT_NEAR(std::sqrt(h.squaredLength()) * l.z, 2 * area, 1e-8);
  }
}
