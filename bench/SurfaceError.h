#pragma once
// The geometric error of a simplified surface against its original: the two-sided sampled
// Hausdorff distance and the RMS distance. Points are taken on both surfaces (every used vertex
// plus area-weighted random points from a fixed seed), each is measured against the other surface
// through the tests' uniform triangle grid, and the larger side counts. Distances are exact to the
// sampled points; a point farther than the grid can search (some cells around it) is counted at
// the search radius and flagged.
#include "support/MeshQuality.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace kexmeshbench {

struct SurfaceError {
  double hausdorff = 0.0; ///< largest sampled distance, either way
  double rms = 0.0;       ///< root mean square over the samples of both sides
  bool capped = false;    ///< some point lay beyond the search radius
};

/// Every used vertex and `extra` area-weighted random points of the triangles of b.
inline std::vector<KEXVector3<double>> samplePoints(const KEXTriangleMeshBuffer& b, int extra, unsigned seed)
{
  using D = KEXVector3<double>;
  std::vector<D> points;
  std::vector<double> area;
  double total = 0.0;
  std::vector<char> used(size_t(b.getVertexCount()), 0);
  for (const KEXTriangle<int>& t : b.triangleList) {
    const D p0(b.vertexList[t[0]]), p1(b.vertexList[t[1]]), p2(b.vertexList[t[2]]);
    total += 0.5 * (p1 - p0).cross(p2 - p0).length();
    area.push_back(total);
    for (int k = 0; k < 3; ++k)
      used[size_t(t[k])] = 1;
  }
  for (int v = 0; v < b.getVertexCount(); ++v)
    if (used[size_t(v)])
      points.emplace_back(b.vertexList[v]);
  if (area.empty() || !(total > 0.0))
    return points;
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int i = 0; i < extra; ++i) {
    const size_t t = size_t(std::lower_bound(area.begin(), area.end(), u(rng) * total) - area.begin());
    const KEXTriangle<int>& tri = b.triangleList[int(t < area.size() ? t : area.size() - 1)];
    double r1 = u(rng), r2 = u(rng);
    if (r1 + r2 > 1.0) {
      r1 = 1.0 - r1;
      r2 = 1.0 - r2;
    }
    const D p0(b.vertexList[tri[0]]), p1(b.vertexList[tri[1]]), p2(b.vertexList[tri[2]]);
    points.push_back(p0 + (p1 - p0) * r1 + (p2 - p0) * r2);
  }
  return points;
}

/// Distance from p to the surface behind grid, growing the search radius from start.
inline double distanceTo(const kexmeshtest::SurfaceDistance& grid, const KEXVector3<double>& p, double start,
                         double limit, bool& capped)
{
  for (double r = start;; r *= 2.0) {
    if (r > limit)
      r = limit; // the last try searches exactly to the limit
    const double d = grid.within(p, r);
    if (d <= r)
      return d;
    if (r == limit)
      break;
  }
  capped = true;
  return limit;
}

/// The error of `simplified` against `original`; radii relative to the original's diagonal.
inline SurfaceError surfaceError(const KEXTriangleMeshBuffer& original, const KEXTriangleMeshBuffer& simplified,
                                 double diagonal, int samplesPerSide = 200000)
{
  SurfaceError e;
  double sum = 0.0;
  size_t count = 0;
  const double start = 1e-7 * diagonal, limit = 0.05 * diagonal;
  const KEXTriangleMeshBuffer* sides[2][2] = {{&original, &simplified}, {&simplified, &original}};
  for (auto& side : sides) {
    const kexmeshtest::SurfaceDistance grid(*side[1]);
    for (const KEXVector3<double>& p : samplePoints(*side[0], samplesPerSide, 1234u)) {
      const double d = distanceTo(grid, p, start, limit, e.capped);
      e.hausdorff = std::max(e.hausdorff, d);
      sum += d * d;
      ++count;
    }
  }
  e.rms = count ? std::sqrt(sum / double(count)) : 0.0;
  return e;
}

} // namespace kexmeshbench
