#pragma once
// Brute-force checks for operations that add triangles to close holes: edges of more than two
// triangles, repeated triangles, and the components of a mesh with their closedness and volume.
// They use the vertex and triangle lists only.
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <algorithm>
#include <array>
#include <map>
#include <utility>
#include <vector>

namespace kexmeshtest {

/// Undirected edges with the number of triangles that use them.
inline std::map<std::pair<int, int>, int> edgeUse(const KEXTriangleMeshBuffer& b)
{
  std::map<std::pair<int, int>, int> use;
  for (const auto& t : b.triangleList)
    for (int k = 0; k < 3; ++k)
      if (t[k] != t[(k + 1) % 3])
        ++use[std::minmax(t[k], t[(k + 1) % 3])];
  return use;
}

/// Edges used by more than two triangles.
inline int nonManifoldEdgeCount(const KEXTriangleMeshBuffer& b)
{
  int n = 0;
  for (const auto& [e, count] : edgeUse(b))
    n += count > 2;
  return n;
}

/// Triangles whose vertex set appeared in an earlier triangle already (either orientation).
inline int duplicateTriangleCount(const KEXTriangleMeshBuffer& b)
{
  std::map<std::array<int, 3>, int> seen;
  int n = 0;
  for (const auto& t : b.triangleList) {
    std::array<int, 3> key = {t[0], t[1], t[2]};
    std::sort(key.begin(), key.end());
    n += seen[key]++ > 0;
  }
  return n;
}

/// A set of triangles joined across edges of exactly two triangles.
struct MeshComponent {
  std::vector<int> triangles;
  bool closed = true; ///< every edge of its triangles is used by exactly two triangles
  double volume = 0.0;
};

/// The components, each found by a flood across the edges of exactly two triangles.
inline std::vector<MeshComponent> meshComponents(const KEXTriangleMeshBuffer& b)
{
  const int T = b.getTriangleCount();
  auto edge = [&](int t, int k) { return std::minmax(b.triangleList[t][k], b.triangleList[t][(k + 1) % 3]); };
  std::map<std::pair<int, int>, std::vector<int>> users;
  for (int t = 0; t < T; ++t)
    for (int k = 0; k < 3; ++k)
      users[edge(t, k)].push_back(t);
  std::vector<bool> seen(size_t(T), false);
  std::vector<MeshComponent> result;
  for (int start = 0; start < T; ++start) {
    if (seen[size_t(start)])
      continue;
    MeshComponent c;
    std::vector<int> stack = {start};
    seen[size_t(start)] = true;
    while (!stack.empty()) {
      const int t = stack.back();
      stack.pop_back();
      c.triangles.push_back(t);
      const auto& tri = b.triangleList[t];
      KEXVector3<double> p(b.vertexList[tri[0]]), q(b.vertexList[tri[1]]), r(b.vertexList[tri[2]]);
      c.volume += p.dot(q.cross(r)) / 6.0;
      for (int k = 0; k < 3; ++k) {
        const std::vector<int>& ts = users[edge(t, k)];
        c.closed = c.closed && ts.size() == 2 && tri[k] != tri[(k + 1) % 3];
        for (int u : ts)
          if (ts.size() == 2 && !seen[size_t(u)]) {
            seen[size_t(u)] = true;
            stack.push_back(u);
          }
      }
    }
    result.push_back(std::move(c));
  }
  return result;
}

} // namespace kexmeshtest
