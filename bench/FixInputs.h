#pragma once
// Inputs of the repair benchmarks: a closed mesh turned into what a scanner or an STL export
// delivers: a shuffled triangle soup with 1% flipped triangles, a few NaN vertices and small holes
// cut out (single triangles, apart from each other, so every hole is a simple loop); or a
// float-noise soup (every copy of a vertex moved a little, as after a lossy export); and the Loop
// subdivision that makes the 1M-triangle bunny from bunny00.off.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/Meshes.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace kexmeshbench {

inline KEXTriangleMeshBuffer damagedSoup(const KEXTriangleMeshBuffer& mesh, int holes, int nanVertices, unsigned seed)
{
  std::mt19937 rng(seed);
  KEXTriangleMeshBuffer cut;
  cut.vertexList = mesh.vertexList;
  cut.triangleList = mesh.triangleList;
  std::vector<char> used(size_t(mesh.getVertexCount()), 0);
  std::uniform_int_distribution<int> pick(0, mesh.getTriangleCount() - 1);
  for (int removed = 0, tries = 0; removed < holes && tries < 100 * holes; ++tries) {
    const int t = pick(rng);
    if (t >= cut.getTriangleCount())
      continue;
    const KEXTriangle<int> tri = cut.triangleList[t];
    if (unsigned(tri[0]) >= used.size() || unsigned(tri[1]) >= used.size() || unsigned(tri[2]) >= used.size() ||
        used[size_t(tri[0])] || used[size_t(tri[1])] || used[size_t(tri[2])])
      continue;
    for (int k = 0; k < 3; ++k)
      used[size_t(tri[k])] = 1;
    cut.triangleList[t] = cut.triangleList[cut.getTriangleCount() - 1];
    cut.triangleList.setCount(cut.getTriangleCount() - 1);
    ++removed;
  }
  KEXTriangleMeshBuffer soup = kexmeshtest::toSoup(cut);
  kexmeshtest::shuffleTriangles(soup, rng);
  kexmeshtest::flipRandomTriangles(soup, 0.01, rng);
  std::uniform_int_distribution<int> vpick(0, soup.getVertexCount() - 1);
  for (int i = 0; i < nanVertices; ++i)
    soup.vertexList[vpick(rng)].x = std::nanf("");
  return soup;
}

/// The generated 2M-triangle input: a torus of 1000 x 1000 quads with 1000 holes.
inline const KEXTriangleMeshBuffer& generatedSoup()
{
  static const KEXTriangleMeshBuffer soup = damagedSoup(kexmeshtest::makeTorus(1000, 1000), 1000, 5, 17);
  return soup;
}

/// Bounding-box diagonal of the finite vertices.
inline double diagonal(const KEXTriangleMeshBuffer& mesh)
{
  KEXVector3<double> lo(1e300, 1e300, 1e300), hi(-1e300, -1e300, -1e300);
  for (const auto& p : mesh.vertexList) {
    if (!(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)))
      continue;
    lo = KEXVector3<double>(std::min(lo.x, double(p.x)), std::min(lo.y, double(p.y)), std::min(lo.z, double(p.z)));
    hi = KEXVector3<double>(std::max(hi.x, double(p.x)), std::max(hi.y, double(p.y)), std::max(hi.z, double(p.z)));
  }
  return hi.x >= lo.x ? (hi - lo).length() : 0.0;
}

/// One step of Loop subdivision (Loop's weights): every edge gets a vertex at 3/8 of its ends and
/// 1/8 of the two opposite corners, every old vertex moves to (1 - n beta) v + beta * (sum of its n
/// neighbours), beta = (5/8 - (3/8 + cos(2 pi / n) / 4)^2) / n, and each triangle becomes four.
/// Edges with one triangle (or more than two) are creases: their vertex is the midpoint, and a
/// vertex on exactly two crease edges moves to 3/4 v + 1/8 of their other ends (a corner of more
/// stays put), so that a border stays a cubic B-spline.
inline KEXTriangleMeshBuffer loopSubdivide(const KEXTriangleMeshBuffer& mesh)
{
  using D3 = KEXVector3<double>;
  const int V = mesh.getVertexCount(), T = mesh.getTriangleCount();
  auto at = [&mesh](int v) { return D3(mesh.vertexList[v].x, mesh.vertexList[v].y, mesh.vertexList[v].z); };
  struct Corner {
    int lo, hi, opposite, corner; // edge (lo, hi) of triangle corner / 3, which starts at corner
  };
  std::vector<Corner> corners;
  corners.reserve(3 * size_t(T));
  for (int t = 0; t < T; ++t)
    for (int k = 0; k < 3; ++k) {
      const int a = mesh.triangleList[t][k], b = mesh.triangleList[t][(k + 1) % 3];
      corners.push_back(Corner{std::min(a, b), std::max(a, b), mesh.triangleList[t][(k + 2) % 3], 3 * t + k});
    }
  std::sort(corners.begin(), corners.end(),
            [](const Corner& x, const Corner& y) { return x.lo != y.lo ? x.lo < y.lo : x.hi < y.hi; });

  std::vector<D3> points;
  std::vector<int> edgeVertex(3 * size_t(T));
  std::vector<D3> ringSum(size_t(V), D3(0, 0, 0)), creaseSum(size_t(V), D3(0, 0, 0));
  std::vector<int> valence(size_t(V), 0), creases(size_t(V), 0);
  points.reserve(size_t(V) + 3 * size_t(T) / 2);
  points.resize(size_t(V));
  for (size_t i = 0; i < corners.size();) {
    size_t j = i + 1;
    while (j < corners.size() && corners[j].lo == corners[i].lo && corners[j].hi == corners[i].hi)
      ++j;
    const int a = corners[i].lo, b = corners[i].hi;
    const bool crease = j - i != 2;
    points.push_back(crease ? (at(a) + at(b)) * 0.5
                            : (at(a) + at(b)) * 0.375 + (at(corners[i].opposite) + at(corners[i + 1].opposite)) * 0.125);
    for (size_t c = i; c < j; ++c)
      edgeVertex[size_t(corners[c].corner)] = int(points.size() - 1);
    ringSum[size_t(a)] = ringSum[size_t(a)] + at(b);
    ringSum[size_t(b)] = ringSum[size_t(b)] + at(a);
    ++valence[size_t(a)];
    ++valence[size_t(b)];
    if (crease) {
      creaseSum[size_t(a)] = creaseSum[size_t(a)] + at(b);
      creaseSum[size_t(b)] = creaseSum[size_t(b)] + at(a);
      ++creases[size_t(a)];
      ++creases[size_t(b)];
    }
    i = j;
  }
  for (int v = 0; v < V; ++v) {
    const double n = valence[size_t(v)];
    if (creases[size_t(v)] == 2)
      points[size_t(v)] = at(v) * 0.75 + creaseSum[size_t(v)] * 0.125;
    else if (creases[size_t(v)] > 0 || n == 0)
      points[size_t(v)] = at(v);
    else {
      const double c = 0.375 + 0.25 * std::cos(2.0 * std::numbers::pi / n);
      const double beta = (0.625 - c * c) / n;
      points[size_t(v)] = at(v) * (1.0 - n * beta) + ringSum[size_t(v)] * beta;
    }
  }

  KEXTriangleMeshBuffer out;
  out.vertexList.setCount(int(points.size()));
  for (size_t i = 0; i < points.size(); ++i)
    out.vertexList[int(i)] = KEXVector3<float>(float(points[i].x), float(points[i].y), float(points[i].z));
  out.triangleList.setCount(4 * T);
  for (int t = 0; t < T; ++t) {
    const KEXTriangle<int>& tri = mesh.triangleList[t];
    const int ab = edgeVertex[3 * size_t(t)], bc = edgeVertex[3 * size_t(t) + 1], ca = edgeVertex[3 * size_t(t) + 2];
    out.triangleList[4 * t] = KEXTriangle<int>(tri[0], ab, ca);
    out.triangleList[4 * t + 1] = KEXTriangle<int>(tri[1], bc, ab);
    out.triangleList[4 * t + 2] = KEXTriangle<int>(tri[2], ca, bc);
    out.triangleList[4 * t + 3] = KEXTriangle<int>(ab, bc, ca);
  }
  return out;
}

/// A float-noise soup: every triangle with its own vertex copies, the triangle order shuffled, the
/// given share of triangles flipped, and each copy moved by a random offset of length at most
/// jitter times the bounding-box diagonal.
inline KEXTriangleMeshBuffer floatNoiseSoup(const KEXTriangleMeshBuffer& mesh, double flipShare, double jitter,
                                            unsigned seed)
{
  std::mt19937 rng(seed);
  KEXTriangleMeshBuffer soup = kexmeshtest::toSoup(mesh);
  kexmeshtest::shuffleTriangles(soup, rng);
  kexmeshtest::flipRandomTriangles(soup, flipShare, rng);
  // Per-axis offsets in [-d/sqrt(3), d/sqrt(3)] keep the offset's length within d.
  const double d = jitter * diagonal(mesh) / std::sqrt(3.0);
  std::uniform_real_distribution<double> offset(-d, d);
  for (auto& p : soup.vertexList)
    p = KEXVector3<float>(float(p.x + offset(rng)), float(p.y + offset(rng)), float(p.z + offset(rng)));
  return soup;
}

} // namespace kexmeshbench
