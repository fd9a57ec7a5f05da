// Symmetric 3x3 eigen decomposition: matrices built as R·D·R^T from random rotations R and
// diagonals D (distinct, repeated and zero eigenvalues, extreme magnitudes) must give back D in
// ascending order and R's columns up to sign; the result is always an orthonormal right-handed
// frame with A·v = lambda·v. Only the upper triangle is read; non-finite input is refused.
#include "kexmesh/core/internal/SymmetricEigen3.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace {

struct Mat {
  double a[3][3] = {};
};

// A uniformly random rotation from a random unit quaternion.
Mat randomRotation(std::mt19937& rng)
{
  std::normal_distribution<double> g;
  double q[4] = {g(rng), g(rng), g(rng), g(rng)};
  const double l = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  const double w = q[0] / l, x = q[1] / l, y = q[2] / l, z = q[3] / l;
  return Mat{{{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
              {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
              {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}}};
}

Mat compose(const Mat& rot, const double d[3])
{
  Mat m;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k)
        m.a[i][j] += rot.a[i][k] * d[k] * rot.a[j][k];
  return m;
}

struct Result {
  bool ok;
  double values[3], vectors[3][3];
};

Result solve(const Mat& m)
{
  Result r{};
  r.ok = kexSymmetricEigen3(m.a, r.values, r.vectors);
  return r;
}

// What holds for every decomposition of m: ascending values, orthonormal right-handed vectors
// (v2 = v0 x v1), and m·v = value·v, relative to the matrix's size.
void expectDecomposition(const Mat& m, const Result& r, double size)
{
  ASSERT_TRUE(r.ok);
  const double tol = 8e-12 * std::max(size, 1e-300);
  const double(*v)[3] = r.vectors;
  EXPECT_TRUE(r.values[0] <= r.values[1] && r.values[1] <= r.values[2]);
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 3; ++i) {
      double dot = 0, mv = 0;
      for (int j = 0; j < 3; ++j)
        dot += v[k][j] * v[i][j], mv += m.a[i][j] * v[k][j];
      EXPECT_NEAR(dot, k == i ? 1.0 : 0.0, 1e-12) << k << " " << i;
      EXPECT_NEAR(mv, r.values[k] * v[k][i], tol) << k << " " << i;
    }
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(v[2][i], v[0][(i + 1) % 3] * v[1][(i + 2) % 3] - v[0][(i + 2) % 3] * v[1][(i + 1) % 3], 1e-12);
}

} // namespace

// Diagonal patterns: distinct, doubly and triply repeated, zero and negative eigenvalues, with the
// scale swept over many orders of magnitude. Distinct eigenvalues must come back with their
// rotation column up to sign. Garbage below the diagonal changes nothing.
TEST(SymmetricEigen3, RecoversRandomRotationsAndDiagonals)
{
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1, 1);
  for (int pattern = 0; pattern < 5; ++pattern)
    for (double scale : {1e-150, 1e-8, 1.0, 1e6, 1e150})
      for (int trial = 0; trial < 200; ++trial) {
        double d[3] = {u(rng), u(rng), u(rng)};
        if (pattern == 1 || pattern == 2)
          d[1] = d[0]; // double eigenvalue
        if (pattern == 2)
          d[2] = d[0]; // triple
        if (pattern == 3)
          d[trial % 3] = 0; // singular
        if (pattern == 4)
          d[1] = d[0] * (1 + 1e-9); // nearly double
        for (double& x : d)
          x *= scale;
        const Mat rot = randomRotation(rng);
        Mat m = compose(rot, d);
        const Result r = solve(m);
        const double size = std::max({std::fabs(d[0]), std::fabs(d[1]), std::fabs(d[2])});
        expectDecomposition(m, r, size);
        double sorted[3] = {d[0], d[1], d[2]};
        std::sort(sorted, sorted + 3);
        for (int k = 0; k < 3; ++k)
          EXPECT_NEAR(r.values[k], sorted[k], 1e-12 * size) << pattern << " " << scale << " " << k;
        if (trial < 20) {
          m.a[1][0] = u(rng) * 100, m.a[2][0] = std::numeric_limits<double>::quiet_NaN(), m.a[2][1] = u(rng) * 100;
          const Result dirty = solve(m);
          EXPECT_TRUE(dirty.ok && std::equal(r.values, r.values + 3, dirty.values)) << "read below the diagonal";
        }
        // The eigenvector of a close pair is ill-conditioned: only well-separated values are compared.
        const double gap = std::min(sorted[1] - sorted[0], sorted[2] - sorted[1]);
        for (int k = 0; (pattern == 0 || pattern == 3) && gap >= 1e-3 * size && k < 3; ++k) {
          const int column = int(std::find(d, d + 3, sorted[k]) - d);
          double dot = 0;
          for (int i = 0; i < 3; ++i)
            dot += r.vectors[k][i] * rot.a[i][column];
          EXPECT_NEAR(std::fabs(dot), 1.0, 1e-9) << pattern << " " << scale << " " << k;
        }
      }
}

// The zero matrix gives zero values and a frame; every non-finite entry of the part read is refused
// and leaves the outputs alone.
TEST(SymmetricEigen3, ZeroMatrixAndNonFiniteInput)
{
  const Result zero = solve(Mat{});
  expectDecomposition(Mat{}, zero, 0);
  EXPECT_TRUE(zero.values[0] == 0 && zero.values[1] == 0 && zero.values[2] == 0);
  for (double b : {std::numeric_limits<double>::quiet_NaN(), double(INFINITY), -double(INFINITY)})
    for (int i = 0; i < 3; ++i)
      for (int j = i; j < 3; ++j) {
        Mat m{{{2, 1, 0}, {1, 3, 0}, {0, 0, 1}}};
        m.a[i][j] = b;
        double values[3] = {7, 7, 7}, vectors[3][3] = {{7, 7, 7}, {7, 7, 7}, {7, 7, 7}};
        EXPECT_FALSE(kexSymmetricEigen3(m.a, values, vectors)) << i << " " << j;
        EXPECT_TRUE(values[0] == 7.0 && vectors[2][2] == 7.0);
      }
}
