// Symmetric 3x3 eigen decomposition: matrices built as R·D·R^T from random rotations R and
// diagonals D (distinct, repeated and zero eigenvalues, extreme magnitudes) must give back D in
// ascending order and R's columns up to sign; the result is always an orthonormal right-handed
// frame with A·v = lambda·v. Non-finite input is refused.
#include "kexmesh/core/internal/SymmetricEigen3.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>

namespace {

using Mat = std::array<std::array<double, 3>, 3>;

// A uniformly random rotation from a random unit quaternion.
Mat randomRotation(std::mt19937& rng)
{
  std::normal_distribution<double> g;
  double q[4] = {g(rng), g(rng), g(rng), g(rng)};
  const double l = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  for (double& x : q)
    x /= l;
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  return Mat{{{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
              {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
              {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}}};
}

struct Result {
  bool ok;
  double values[3];
  double vectors[3][3];
};

Result solve(const Mat& m)
{
  double a[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      a[i][j] = m[i][j];
  Result r{};
  r.ok = kexSymmetricEigen3(a, r.values, r.vectors);
  return r;
}

// Checks what holds for every decomposition of m: ascending values, orthonormal right-handed
// vectors, and m·v = value·v, all relative to the matrix's size.
void expectDecomposition(const Mat& m, const Result& r, double size)
{
  ASSERT_TRUE(r.ok);
  const double tol = 1e-12 * std::max(size, 1e-300);
  EXPECT_LE(r.values[0], r.values[1]);
  EXPECT_LE(r.values[1], r.values[2]);
  for (int k = 0; k < 3; ++k) {
    for (int l = 0; l < 3; ++l) {
      double dot = 0;
      for (int i = 0; i < 3; ++i)
        dot += r.vectors[k][i] * r.vectors[l][i];
      EXPECT_NEAR(dot, k == l ? 1.0 : 0.0, 1e-12) << k << " " << l;
    }
    for (int i = 0; i < 3; ++i) {
      double mv = 0;
      for (int j = 0; j < 3; ++j)
        mv += m[i][j] * r.vectors[k][j];
      EXPECT_NEAR(mv, r.values[k] * r.vectors[k][i], 8 * tol) << k << " " << i;
    }
  }
  const double(*v)[3] = r.vectors;
  for (int i = 0; i < 3; ++i) // v2 = v0 x v1
    EXPECT_NEAR(v[2][i], v[0][(i + 1) % 3] * v[1][(i + 2) % 3] - v[0][(i + 2) % 3] * v[1][(i + 1) % 3], 1e-12);
}

Mat compose(const Mat& rot, const double d[3])
{
  Mat m{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k)
        m[i][j] += rot[i][k] * d[k] * rot[j][k];
  return m;
}

} // namespace

// Diagonal patterns: distinct, doubly and triply repeated, zero and negative eigenvalues, with the
// scale swept over many orders of magnitude. Distinct eigenvalues must come back with their
// rotation column up to sign.
TEST(SymmetricEigen3, RecoversRandomRotationsAndDiagonals)
{
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1, 1);
  const double scales[] = {1e-150, 1e-8, 1, 1e6, 1e150};
  for (int pattern = 0; pattern < 5; ++pattern)
    for (double scale : scales)
      for (int trial = 0; trial < 200; ++trial) {
        double d[3] = {u(rng), u(rng), u(rng)};
        if (pattern == 1)
          d[1] = d[0]; // double eigenvalue
        if (pattern == 2)
          d[2] = d[1] = d[0]; // triple
        if (pattern == 3)
          d[trial % 3] = 0; // singular
        if (pattern == 4)
          d[1] = d[0] * (1 + 1e-9); // nearly double
        for (double& x : d)
          x *= scale;
        const Mat rot = randomRotation(rng);
        const Mat m = compose(rot, d);
        const Result r = solve(m);
        const double size = std::max({std::fabs(d[0]), std::fabs(d[1]), std::fabs(d[2])});
        expectDecomposition(m, r, size);
        double sorted[3] = {d[0], d[1], d[2]};
        std::sort(sorted, sorted + 3);
        for (int k = 0; k < 3; ++k)
          EXPECT_NEAR(r.values[k], sorted[k], 1e-12 * size) << pattern << " " << scale << " " << k;
        if (pattern != 0 && pattern != 3)
          continue;
        const double gap = std::min(sorted[1] - sorted[0], sorted[2] - sorted[1]);
        if (gap < 1e-3 * size)
          continue; // the eigenvector of a close pair is ill-conditioned
        for (int k = 0; k < 3; ++k) {
          const int column = int(std::find(d, d + 3, sorted[k]) - d);
          double dot = 0;
          for (int i = 0; i < 3; ++i)
            dot += r.vectors[k][i] * rot[i][column];
          EXPECT_NEAR(std::fabs(dot), 1.0, 1e-9) << pattern << " " << scale << " " << k;
        }
      }
}

// Only the upper triangle (with the diagonal) is read: garbage below it changes nothing.
TEST(SymmetricEigen3, ReadsTheUpperTriangleOnly)
{
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-1, 1);
  for (int trial = 0; trial < 50; ++trial) {
    const double d[3] = {u(rng), u(rng), u(rng)};
    Mat m = compose(randomRotation(rng), d);
    const Result clean = solve(m);
    m[1][0] = u(rng) * 100;
    m[2][0] = std::numeric_limits<double>::quiet_NaN();
    m[2][1] = u(rng) * 100;
    const Result dirty = solve(m);
    ASSERT_TRUE(dirty.ok);
    for (int k = 0; k < 3; ++k)
      EXPECT_EQ(clean.values[k], dirty.values[k]);
  }
}

TEST(SymmetricEigen3, ZeroMatrixGivesZeroValuesAndAFrame)
{
  const Mat zero{};
  const Result r = solve(zero);
  expectDecomposition(zero, r, 0);
  for (double v : r.values)
    EXPECT_EQ(v, 0.0);
}

// Every non-finite entry of the part read is refused and leaves the outputs alone.
TEST(SymmetricEigen3, RefusesNonFiniteInput)
{
  const double bad[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity()};
  for (double b : bad)
    for (int i = 0; i < 3; ++i)
      for (int j = i; j < 3; ++j) {
        double a[3][3] = {{2, 1, 0}, {1, 3, 0}, {0, 0, 1}};
        a[i][j] = b;
        double values[3] = {7, 7, 7}, vectors[3][3] = {{7, 7, 7}, {7, 7, 7}, {7, 7, 7}};
        EXPECT_FALSE(kexSymmetricEigen3(a, values, vectors)) << i << " " << j;
        EXPECT_EQ(values[0], 7.0);
        EXPECT_EQ(vectors[2][2], 7.0);
      }
}
