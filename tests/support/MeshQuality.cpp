#include "support/MeshQuality.h"

#include "support/Meshes.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <unordered_map>

namespace kexmeshtest {

namespace {

using D3 = KEXVector3<double>;

D3 toD(const KEXVector3<float>& v) { return D3(v.x, v.y, v.z); }

bool validTriangle(const KEXTriangle<int>& t, int V)
{
  for (int k = 0; k < 3; ++k)
    if (t[k] < 0 || t[k] >= V)
      return false;
  return t[0] != t[1] && t[1] != t[2] && t[0] != t[2];
}

int findRoot(std::vector<int>& parent, int x)
{
  while (parent[x] != x)
    x = parent[x] = parent[parent[x]];
  return x;
}

} // namespace

std::string MeshQuality::summary() const
{
  char text[400];
  std::snprintf(text, sizeof text,
                "V %d (used %d) T %d border %d non-manifold %d inconsistent %d duplicates %d components %d "
                "(closed %d, inward %d) area %.6g",
                vertices, usedVertices, triangles, borderEdges, nonManifoldEdges, inconsistentEdges,
                duplicateTriangles, components, closedComponents, inwardComponents, area);
  return text;
}

MeshQuality measure(const KEXTriangleMeshBuffer& b)
{
  MeshQuality q;
  const int V = b.getVertexCount(), T = b.getTriangleCount();
  q.vertices = V;
  q.triangles = T;
  std::vector<char> used(size_t(V), 0);
  std::vector<int> good;
  for (int t = 0; t < T; ++t)
    if (validTriangle(b.triangleList[t], V)) {
      good.push_back(t);
      for (int k = 0; k < 3; ++k)
        used[size_t(b.triangleList[t][k])] = 1;
    }
  q.usedVertices = int(std::count(used.begin(), used.end(), 1));

  // Duplicates: the sorted vertex triple seen before.
  std::vector<std::array<int, 3>> sets;
  for (int t : good) {
    std::array<int, 3> s{b.triangleList[t][0], b.triangleList[t][1], b.triangleList[t][2]};
    std::sort(s.begin(), s.end());
    sets.push_back(s);
  }
  std::sort(sets.begin(), sets.end());
  for (size_t i = 1; i < sets.size(); ++i)
    q.duplicateTriangles += sets[i] == sets[i - 1];

  // Edges: (low, high, direction, triangle).
  struct HalfEdge {
    int lo, hi, forward, t;
  };
  std::vector<HalfEdge> edges;
  edges.reserve(3 * good.size());
  for (int t : good)
    for (int k = 0; k < 3; ++k) {
      const int a = b.triangleList[t][k], c = b.triangleList[t][(k + 1) % 3];
      edges.push_back(HalfEdge{std::min(a, c), std::max(a, c), a < c ? 1 : 0, t});
    }
  std::sort(edges.begin(), edges.end(), [](const HalfEdge& x, const HalfEdge& y) {
    return x.lo != y.lo ? x.lo < y.lo : (x.hi != y.hi ? x.hi < y.hi : x.t < y.t);
  });
  std::vector<int> parent(static_cast<size_t>(T));
  std::iota(parent.begin(), parent.end(), 0);
  std::vector<char> open(size_t(T), 0); // the triangle has an edge that is not closed and consistent
  for (size_t i = 0; i < edges.size();) {
    size_t j = i + 1;
    while (j < edges.size() && edges[j].lo == edges[i].lo && edges[j].hi == edges[i].hi)
      ++j;
    const size_t n = j - i;
    bool closed = false;
    if (n == 1)
      ++q.borderEdges;
    else if (n > 2)
      ++q.nonManifoldEdges;
    else if (edges[i].forward == edges[i + 1].forward)
      ++q.inconsistentEdges;
    else
      closed = true;
    for (size_t e = i + 1; e < j; ++e)
      parent[size_t(findRoot(parent, edges[e].t))] = findRoot(parent, edges[i].t);
    if (!closed)
      for (size_t e = i; e < j; ++e)
        open[size_t(edges[e].t)] = 1;
    i = j;
  }

  // Components: closed when no triangle of them touches an open edge; volume from a point of the
  // component, for precision far from the origin.
  std::vector<char> componentOpen(size_t(T), 0);
  std::vector<double> volume(size_t(T), 0.0);
  std::vector<int> anchor(size_t(T), -1);
  for (int t : good) {
    const int r = findRoot(parent, t);
    componentOpen[size_t(r)] |= open[size_t(t)];
    if (anchor[size_t(r)] < 0)
      anchor[size_t(r)] = b.triangleList[t][0];
  }
  for (int t : good) {
    const int r = findRoot(parent, t);
    const D3 o = toD(b.vertexList[anchor[size_t(r)]]);
    const D3 p0 = toD(b.vertexList[b.triangleList[t][0]]) - o, p1 = toD(b.vertexList[b.triangleList[t][1]]) - o,
             p2 = toD(b.vertexList[b.triangleList[t][2]]) - o;
    volume[size_t(r)] += p0.dot(p1.cross(p2)) / 6.0;
    q.area += 0.5 * (p1 - p0).cross(p2 - p0).length();
  }
  for (int t : good) {
    if (findRoot(parent, t) != t)
      continue;
    ++q.components;
    if (componentOpen[size_t(t)])
      continue;
    ++q.closedComponents;
    q.inwardComponents += volume[size_t(t)] < 0.0;
  }
  return q;
}

int64_t SurfaceDistance::key(int64_t x, int64_t y, int64_t z) const
{
  return (x & 0x1fffff) | ((y & 0x1fffff) << 21) | ((z & 0x1fffff) << 42);
}

SurfaceDistance::SurfaceDistance(const KEXTriangleMeshBuffer& s)
{
  const int V = s.getVertexCount();
  double edgeSum = 0.0;
  D3 lo(1e300, 1e300, 1e300);
  for (const KEXTriangle<int>& t : s.triangleList) {
    if (!validTriangle(t, V))
      continue;
    for (int k = 0; k < 3; ++k) {
      const D3 p = toD(s.vertexList[t[k]]);
      m_corners.push_back(p);
      lo = D3(std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z));
      edgeSum += (toD(s.vertexList[t[(k + 1) % 3]]) - p).length();
    }
  }
  const size_t n = m_corners.size() / 3;
  m_origin = lo;
  m_cell = n > 0 && edgeSum > 0 ? 2.0 * edgeSum / double(3 * n) : 1.0;
  // Each triangle goes into every cell its box touches.
  std::vector<std::pair<int64_t, int>> entries;
  for (size_t t = 0; t < n; ++t) {
    D3 a = m_corners[3 * t], b = a;
    for (int k = 1; k < 3; ++k) {
      const D3& p = m_corners[3 * t + size_t(k)];
      a = D3(std::min(a.x, p.x), std::min(a.y, p.y), std::min(a.z, p.z));
      b = D3(std::max(b.x, p.x), std::max(b.y, p.y), std::max(b.z, p.z));
    }
    const int64_t x0 = int64_t((a.x - lo.x) / m_cell), y0 = int64_t((a.y - lo.y) / m_cell),
                  z0 = int64_t((a.z - lo.z) / m_cell);
    const int64_t x1 = int64_t((b.x - lo.x) / m_cell), y1 = int64_t((b.y - lo.y) / m_cell),
                  z1 = int64_t((b.z - lo.z) / m_cell);
    for (int64_t x = x0; x <= x1; ++x)
      for (int64_t y = y0; y <= y1; ++y)
        for (int64_t z = z0; z <= z1; ++z)
          entries.emplace_back(key(x, y, z), int(t));
  }
  std::sort(entries.begin(), entries.end());
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i == 0 || entries[i].first != entries[i - 1].first) {
      m_cellKeys.push_back(entries[i].first);
      m_cellStart.push_back(int(m_items.size()));
    }
    m_items.push_back(entries[i].second);
  }
  m_cellStart.push_back(int(m_items.size()));
}

double SurfaceDistance::within(const D3& p, double r) const
{
  double best = 2.0 * r + 1.0;
  if (!(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)))
    return best;
  auto cell = [this](double v, double o) { return int64_t(std::floor((v - o) / m_cell)); };
  const int64_t x0 = cell(p.x - r, m_origin.x), x1 = cell(p.x + r, m_origin.x), y0 = cell(p.y - r, m_origin.y),
                y1 = cell(p.y + r, m_origin.y), z0 = cell(p.z - r, m_origin.z), z1 = cell(p.z + r, m_origin.z);
  if ((x1 - x0 + 1) * (y1 - y0 + 1) * (z1 - z0 + 1) > 4096)
    return best; // a radius far above the cell size is not what this grid is for
  for (int64_t x = x0; x <= x1; ++x)
    for (int64_t y = y0; y <= y1; ++y)
      for (int64_t z = z0; z <= z1; ++z) {
        if (x < 0 || y < 0 || z < 0)
          continue;
        auto it = std::lower_bound(m_cellKeys.begin(), m_cellKeys.end(), key(x, y, z));
        if (it == m_cellKeys.end() || *it != key(x, y, z))
          continue;
        const size_t c = size_t(it - m_cellKeys.begin());
        for (int i = m_cellStart[c]; i < m_cellStart[c + 1]; ++i) {
          const size_t t = size_t(m_items[size_t(i)]);
          best = std::min(best, pointTriangleDistance(p, m_corners[3 * t], m_corners[3 * t + 1], m_corners[3 * t + 2]));
        }
      }
  return best;
}

int SurfaceDistance::countFarther(const KEXTriangleMeshBuffer& points, double r, double& worst, bool usedOnly) const
{
  const int V = points.getVertexCount();
  std::vector<char> used(size_t(V), usedOnly ? 0 : 1);
  if (usedOnly)
    for (const KEXTriangle<int>& t : points.triangleList)
      if (validTriangle(t, V))
        for (int k = 0; k < 3; ++k)
          used[size_t(t[k])] = 1;
  int farther = 0;
  worst = 0.0;
  for (int v = 0; v < V; ++v) {
    if (!used[size_t(v)])
      continue;
    const double d = within(toD(points.vertexList[v]), r);
    worst = std::max(worst, std::min(d, 2.0 * r));
    farther += d > r;
  }
  return farther;
}

double largestGap(const KEXVector3<float>* from, int fromCount, const KEXVector3<float>* to, int toCount, double cell,
                  double limit)
{
  auto finite = [](const KEXVector3<float>& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); };
  auto cellOf = [cell](float v) { return int64_t(std::floor(double(v) / cell)); };
  auto key = [](int64_t x, int64_t y, int64_t z) { return (x * 73856093) ^ (y * 19349663) ^ (z * 83492791); };
  std::unordered_map<int64_t, std::vector<int>> grid;
  for (int j = 0; j < toCount; ++j)
    if (finite(to[j]))
      grid[key(cellOf(to[j].x), cellOf(to[j].y), cellOf(to[j].z))].push_back(j);
  const double above = std::nextafter(limit, HUGE_VAL);
  const int maxShell = int(std::ceil(limit / cell)) + 1;
  double worst = 0.0;
  for (int i = 0; i < fromCount; ++i) {
    const KEXVector3<float>& p = from[i];
    if (!finite(p))
      continue;
    const int64_t cx = cellOf(p.x), cy = cellOf(p.y), cz = cellOf(p.z);
    double best = HUGE_VAL;
    for (int s = 0; s <= maxShell; ++s) {
      for (int64_t x = cx - s; x <= cx + s; ++x)
        for (int64_t y = cy - s; y <= cy + s; ++y)
          for (int64_t z = cz - s; z <= cz + s; ++z) {
            if (std::max({std::llabs(x - cx), std::llabs(y - cy), std::llabs(z - cz)}) != s)
              continue;
            const auto it = grid.find(key(x, y, z));
            if (it != grid.end())
              for (int j : it->second)
                best = std::min(best, (KEXVector3<double>(to[j]) - KEXVector3<double>(p)).length());
          }
      // Every point within s cells has been seen: one nearer than s * cell is the nearest.
      if (best <= double(s) * cell)
        break;
    }
    worst = std::max(worst, best <= limit ? best : above);
  }
  return worst;
}

} // namespace kexmeshtest
