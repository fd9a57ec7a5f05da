// The error quadric on random planes: the value against the sum of squared distances, the
// minimisers against the gradient of that sum, and the refused singular forms.
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
    const D n(g(rng), g(rng), g(rng));
    planes.push_back({n / n.length(), g(rng)});
  }
  return planes;
}

// The gradient of the sum of squared distances, 2 sum (n.p + d) n: zero only at the least-squares
// point of the planes.
D gradient(const std::vector<Plane>& planes, const D& p)
{
  D g(0, 0, 0);
  for (const Plane& pl : planes)
    g += pl.n * (2 * pl.distance(p));
  return g;
}

TEST(Quadric4, RandomPlanesEvaluateMinimiseAndTranslate)
{
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> u(-4, 4);
  for (int round = 0; round < 200; ++round) {
    const std::vector<Plane> planes = randomPlanes(rng, 3 + round % 8);
    const D p(u(rng), u(rng), u(rng)), p0(u(rng), u(rng), u(rng)), p1(u(rng), u(rng), u(rng));
    const D t(u(rng), u(rng), u(rng));
    Qd q;
    double reference = 0.0; // the sum of squared distances
    for (const Plane& pl : planes) {
      q += Qd(pl.n, pl.d);
      reference += pl.distance(p) * pl.distance(p);
    }
    EXPECT_NEAR(q.evaluate(p), reference, 1e-9 * (1 + reference));
    EXPECT_NEAR(Qf(q).evaluate(KEXVector3<float>(p)), reference, 1e-4 * (1 + reference));
    D found;
    ASSERT_TRUE(q.findGlobalMinimum(found));
    EXPECT_LT(gradient(planes, found).length(), 1e-7 * (1 + found.length()));
    // The segment minimum beats every sampled point of the segment.
    D s;
    ASSERT_TRUE(q.findLinearMinimum(p0, p1, s));
    for (int k = 0; k <= 100; ++k)
      EXPECT_LE(q.evaluate(s), q.evaluate(p0 + (p1 - p0) * (k / 100.0)) + 1e-9);
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
  KEXVector3<float> pf(2, 2, 2);
  EXPECT_FALSE(indefinite.findGlobalMinimum(pf));
  D same(4, 4, 4); // a segment of one point has no direction
  EXPECT_FALSE(Qd(1, 0, 0, 0).findLinearMinimum(D(2, 2, 2), D(2, 2, 2), same));
  EXPECT_TRUE(p == D(1, 1, 1) && pf == KEXVector3<float>(2, 2, 2) && same == D(4, 4, 4)) << "a refusal moves nothing";
  const Qd definite = Qd(1, 0, 0, -1) + Qd(0, 1, 0, -1) + Qd(0, 0, 1, -1);
  ASSERT_TRUE(definite.findGlobalMinimum(pf));
  EXPECT_EQ(pf, KEXVector3<float>(1, 1, 1));
}

} // namespace
