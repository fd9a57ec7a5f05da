// Inner angles in batches. One triangle at a time, each angle waits for its arc cosine call, which
// keeps the square roots and divisions around it from overlapping; here a batch of triangles is
// laid out by coordinate, its cosines computed in one loop of four lanes, then the arc cosines in
// one run of calls and the scaling to a sum of pi in another loop of four lanes. Every element sees
// the same operations in the same order as KEXTriangleCalculus::angles, so the results are the
// same bits. Triangles with a side shorter than the zero threshold take the fixed angles of that
// function itself.
#include "kexmesh/core/internal/TriangleAngles.h"

#include "kexmesh/core/TriangleCalculus.h"

#include <algorithm>
#include <cmath>

namespace kexmeshcore {

namespace {

constexpr int LANES = 4;
constexpr int BATCH = 256; // a multiple of LANES

void batch(const KEXVector3<float>* p, const KEXTriangle<int>* tris, int n, KEXVector3<float>* out)
{
  alignas(32) double ax[BATCH], ay[BATCH], az[BATCH], bx[BATCH], by[BATCH], bz[BATCH], cx[BATCH], cy[BATCH], cz[BATCH];
  alignas(32) double angleA[BATCH], angleB[BATCH], angleC[BATCH];
  alignas(32) bool degenerate[BATCH];
  const int padded = (n + LANES - 1) / LANES * LANES;
  for (int i = 0; i < n; ++i) {
    const KEXVector3<float>&a = p[tris[i][0]], &b = p[tris[i][1]], &c = p[tris[i][2]];
    ax[i] = a.x, ay[i] = a.y, az[i] = a.z;
    bx[i] = b.x, by[i] = b.y, bz[i] = b.z;
    cx[i] = c.x, cy[i] = c.y, cz[i] = c.z;
  }
  for (int i = n; i < padded; ++i) { // a unit right triangle: finite values in the unused lanes
    ax[i] = ay[i] = az[i] = bz[i] = by[i] = cx[i] = cz[i] = 0.0;
    bx[i] = cy[i] = 1.0;
  }
  for (int i0 = 0; i0 < padded; i0 += LANES)
    for (int i = i0; i < i0 + LANES; ++i) {
      double ux = bx[i] - ax[i], uy = by[i] - ay[i], uz = bz[i] - az[i];
      double vx = cx[i] - bx[i], vy = cy[i] - by[i], vz = cz[i] - bz[i];
      double wx = ax[i] - cx[i], wy = ay[i] - cy[i], wz = az[i] - cz[i];
      const double su = ux * ux + uy * uy + uz * uz, sv = vx * vx + vy * vy + vz * vz, sw = wx * wx + wy * wy + wz * wz;
      degenerate[i] = (su < kexcalc::EPS) | (sv < kexcalc::EPS) | (sw < kexcalc::EPS);
      const double iu = 1.0 / std::sqrt(su), iv = 1.0 / std::sqrt(sv), iw = 1.0 / std::sqrt(sw);
      ux *= iu, uy *= iu, uz *= iu;
      vx *= iv, vy *= iv, vz *= iv;
      wx *= iw, wy *= iw, wz *= iw;
      angleA[i] = std::clamp(-(wx * ux + wy * uy + wz * uz), -1.0, 1.0);
      angleB[i] = std::clamp(-(ux * vx + uy * vy + uz * vz), -1.0, 1.0);
      angleC[i] = std::clamp(-(vx * wx + vy * wy + vz * wz), -1.0, 1.0);
    }
  for (int i = 0; i < padded; ++i) {
    angleA[i] = std::acos(angleA[i]);
    angleB[i] = std::acos(angleB[i]);
    angleC[i] = std::acos(angleC[i]);
  }
  for (int i0 = 0; i0 < padded; i0 += LANES)
    for (int i = i0; i < i0 + LANES; ++i) {
      const double sum = angleA[i] + angleB[i] + angleC[i];
      angleA[i] = angleA[i] * kexcalc::PI / sum;
      angleB[i] = angleB[i] * kexcalc::PI / sum;
      angleC[i] = angleC[i] * kexcalc::PI / sum;
    }
  for (int i = 0; i < n; ++i) {
    if (degenerate[i]) {
      KEXVector3<double> a;
      KEXTriangleCalculus<KEXVector3<float>>::angles(a, p[tris[i][0]], p[tris[i][1]], p[tris[i][2]]);
      out[i] = KEXVector3<float>(float(a.x), float(a.y), float(a.z));
    } else {
      out[i] = KEXVector3<float>(float(angleA[i]), float(angleB[i]), float(angleC[i]));
    }
  }
}

} // namespace

void triangleAngles(const KEXVector3<float>* p, const KEXTriangle<int>* tris, int n, KEXVector3<float>* out)
{
  for (int first = 0; first < n; first += BATCH)
    batch(p, tris + first, std::min(BATCH, n - first), out + first);
}

} // namespace kexmeshcore
