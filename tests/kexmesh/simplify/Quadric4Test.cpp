// The error quadric on random planes: the value against the sum of squared distances, the
// minimisers against a direct least-squares solve, and the refused singular forms.
#include "kexmesh/simplify/Quadric4.h"
#include "kexmesh/objects/Vocabulary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using D = KEXVector3<double>;
using Qd = KEXQuadric4<double>;
using Qf = KEXQuadric4<float>;

struct Plane {
  D n;
  double d;
  double distance(const D& p) const { return n.dot(p) + d; }
};

std::vector<Plane> randomPlanes(std::mt19937& rng, int count)
{
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<Plane> planes;
  for (int i = 0; i < count; ++i) {
    D n(g(rng), g(rng), g(rng));
    n = n / n.length();
    planes.push_back({n, g(rng)});
  }
  return planes;
}

Qd sumOf(const std::vector<Plane>& planes)
{
  Qd q;
  for (const Plane& p : planes)
    q += Qd(p.n, p.d);
  return q;
}

double squaredDistances(const std::vector<Plane>& planes, const D& p)
{
  double s = 0.0;
  for (const Plane& pl : planes)
    s += pl.distance(p) * pl.distance(p);
  return s;
}

// The least-squares point of the planes: the normal equations (sum n n^T) p = -(sum d n), solved
// by Gaussian elimination with partial pivoting.
bool leastSquares(const std::vector<Plane>& planes, D& out)
{
  double a[3][4] = {};
  for (const Plane& pl : planes)
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j)
        a[i][j] += pl.n[i] * pl.n[j];
      a[i][3] -= pl.d * pl.n[i];
    }
  for (int c = 0; c < 3; ++c) {
    int pivot = c;
    for (int r = c + 1; r < 3; ++r)
      if (std::fabs(a[r][c]) > std::fabs(a[pivot][c]))
        pivot = r;
    if (std::fabs(a[pivot][c]) < 1e-12)
      return false;
    for (int j = 0; j < 4; ++j)
      std::swap(a[c][j], a[pivot][j]);
    for (int r = 0; r < 3; ++r)
      if (r != c) {
        const double f = a[r][c] / a[c][c];
        for (int j = 0; j < 4; ++j)
          a[r][j] -= f * a[c][j];
      }
  }
  out = D(a[0][3] / a[0][0], a[1][3] / a[1][1], a[2][3] / a[2][2]);
  return true;
}

TEST(Quadric4, RandomPlanesEvaluateMinimiseAndTranslate)
{
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> u(-4, 4);
  for (int round = 0; round < 200; ++round) {
    const std::vector<Plane> planes = randomPlanes(rng, 3 + round % 8);
    const Qd q = sumOf(planes);
    const Qf qf(q);
    const D p(u(rng), u(rng), u(rng));
    const double reference = squaredDistances(planes, p);
    EXPECT_NEAR(q.evaluate(p), reference, 1e-9 * (1 + reference));
    EXPECT_NEAR(qf.evaluate(KEXVector3<float>(p)), reference, 1e-4 * (1 + reference));

    D least, found;
    if (leastSquares(planes, least)) {
      ASSERT_TRUE(q.findGlobalMinimum(found));
      EXPECT_NEAR((found - least).length(), 0.0, 1e-7 * (1 + least.length()));
      // No nearby point does better.
      for (int k = 0; k < 6; ++k) {
        const D nudge(u(rng) * 1e-3, u(rng) * 1e-3, u(rng) * 1e-3);
        EXPECT_LE(q.evaluate(found), squaredDistances(planes, found + nudge) + 1e-12);
      }
    }

    // The segment minimum beats every sampled point of the segment.
    const D p0(u(rng), u(rng), u(rng)), p1(u(rng), u(rng), u(rng));
    D s;
    ASSERT_TRUE(q.findLinearMinimum(p0, p1, s));
    for (int k = 0; k <= 100; ++k) {
      const D x = p0 + (p1 - p0) * (k / 100.0);
      EXPECT_LE(q.evaluate(s), q.evaluate(x) + 1e-9);
    }

    const D t(u(rng), u(rng), u(rng));
    Qd moved(q);
    EXPECT_EQ(&moved.translate(t), &moved);
    EXPECT_NEAR(moved.evaluate(p), q.evaluate(p + t), 1e-8 * (1 + q.evaluate(p + t)));
  }
}

TEST(Quadric4, GlobalMinimumRefusesSingularAndIndefiniteForms)
{
  // Two planes: a line of minima, det 0.
  const Qd two = Qd(1, 0, 0, -1) + Qd(0, 1, 0, 0);
  D p(1, 1, 1);
  EXPECT_FALSE(two.findGlobalMinimum(p));
  // A negative determinant (indefinite A) fails as well.
  const Qd indefinite = Qd(1, 0, 0, 0) + Qd(0, 1, 0, 0) + Qd(0, 0, 1, 0) * -1.0;
  EXPECT_FALSE(indefinite.findGlobalMinimum(p));
  EXPECT_EQ(p, D(1, 1, 1));
  KEXVector3<float> pf(2, 2, 2);
  EXPECT_FALSE(indefinite.findGlobalMinimum(pf));
  EXPECT_EQ(pf, KEXVector3<float>(2, 2, 2));
  D same(4, 4, 4); // a segment of one point has no direction
  EXPECT_FALSE(Qd(1, 0, 0, 0).findLinearMinimum(D(2, 2, 2), D(2, 2, 2), same));
  EXPECT_EQ(same, D(4, 4, 4));
  const Qd definite = Qd(1, 0, 0, -1) + Qd(0, 1, 0, -1) + Qd(0, 0, 1, -1);
  ASSERT_TRUE(definite.findGlobalMinimum(pf));
  EXPECT_EQ(pf, KEXVector3<float>(1, 1, 1));
}

} // namespace
