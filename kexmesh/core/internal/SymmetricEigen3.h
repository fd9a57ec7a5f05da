#pragma once
// Internal (not installed): eigen decomposition of a symmetric 3x3 matrix by cyclic Jacobi
// rotations. Used for local shape analysis (covariance of a point neighbourhood, quadric axes),
// where the matrix is tiny and accuracy on nearly repeated eigenvalues matters more than speed:
// Jacobi converges quadratically, keeps the eigenvectors orthonormal to rounding and, unlike the
// closed-form cubic solution, has no trouble with double or triple eigenvalues.
#include <cmath>

/// Eigenvalues of the symmetric matrix a in ascending order (values[0] <= values[1] <= values[2])
/// and vectors[k] the unit eigenvector of values[k]. The three vectors are orthonormal and form a
/// right-handed frame (vectors[2] = vectors[0] x vectors[1]). Only the upper triangle is read
/// together with the diagonal: a[i][j] for i <= j. For repeated eigenvalues any orthonormal basis
/// of the eigenspace is returned.
/// \return false (outputs untouched) when an entry read is not finite.
inline bool kexSymmetricEigen3(const double a[3][3], double values[3], double vectors[3][3])
{
  double m[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = i; j < 3; ++j) {
      if (!std::isfinite(a[i][j]))
        return false;
      m[i][j] = m[j][i] = a[i][j];
    }
  // Work on the matrix scaled to entries of at most 1, so neither the stopping test below nor the
  // rotations overflow or underflow for extreme magnitudes.
  double maxAbs = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      maxAbs = std::fmax(maxAbs, std::fabs(m[i][j]));
  if (maxAbs > 0)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        m[i][j] /= maxAbs;
  // v holds the eigenvectors as columns: m = v · diag · v^T at the end.
  double v[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  // Size of the problem, so the stopping test is relative (and the zero matrix stops at once).
  double scale = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      scale += m[i][j] * m[i][j];
  // Quadratic convergence: a handful of sweeps reach rounding; the bound only guards the loop.
  for (int sweep = 0; sweep < 32; ++sweep) {
    const double off = m[0][1] * m[0][1] + m[0][2] * m[0][2] + m[1][2] * m[1][2];
    if (!(off > scale * 1e-32))
      break;
    for (int p = 0; p < 2; ++p)
      for (int q = p + 1; q < 3; ++q) {
        const double apq = m[p][q];
        if (apq == 0)
          continue;
        // Rotation angle that zeroes m[p][q] (the smaller of the two roots, for stability).
        const double theta = (m[q][q] - m[p][p]) / (2 * apq);
        const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
        const double c = 1 / std::sqrt(t * t + 1), s = t * c;
        for (int k = 0; k < 3; ++k) { // m = J^T m J, columns then rows
          const double mkp = m[k][p], mkq = m[k][q];
          m[k][p] = c * mkp - s * mkq;
          m[k][q] = s * mkp + c * mkq;
        }
        for (int k = 0; k < 3; ++k) {
          const double mpk = m[p][k], mqk = m[q][k];
          m[p][k] = c * mpk - s * mqk;
          m[q][k] = s * mpk + c * mqk;
        }
        m[p][q] = m[q][p] = 0;
        for (int k = 0; k < 3; ++k) {
          const double vkp = v[k][p], vkq = v[k][q];
          v[k][p] = c * vkp - s * vkq;
          v[k][q] = s * vkp + c * vkq;
        }
      }
  }
  int order[3] = {0, 1, 2};
  for (int i = 1; i < 3; ++i)
    for (int j = i; j > 0 && m[order[j]][order[j]] < m[order[j - 1]][order[j - 1]]; --j) {
      const int x = order[j];
      order[j] = order[j - 1];
      order[j - 1] = x;
    }
  for (int k = 0; k < 3; ++k) {
    values[k] = m[order[k]][order[k]] * maxAbs;
    for (int i = 0; i < 3; ++i)
      vectors[k][i] = v[i][order[k]];
  }
  // Rotations keep the determinant at +1, a permutation may flip it: flip the last vector back.
  const double det = vectors[0][0] * (vectors[1][1] * vectors[2][2] - vectors[1][2] * vectors[2][1]) -
                     vectors[0][1] * (vectors[1][0] * vectors[2][2] - vectors[1][2] * vectors[2][0]) +
                     vectors[0][2] * (vectors[1][0] * vectors[2][1] - vectors[1][1] * vectors[2][0]);
  if (det < 0)
    for (int i = 0; i < 3; ++i)
      vectors[2][i] = -vectors[2][i];
  return true;
}
