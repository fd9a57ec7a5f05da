#pragma once
// Whole-mesh checks for tests of algorithms that rewire triangles (orientation, flips, repairs):
// half-edge bookkeeping, triangle multisets up to rotation or orientation, and per-component signed
// volumes. All are brute force over the vertex and triangle lists only.
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace kexmeshtest {

/// Directed half-edges (from, to) of all triangles, with multiplicity.
inline std::map<std::pair<int, int>, int> halfEdges(const KEXTriangleMeshBuffer& b)
{
  std::map<std::pair<int, int>, int> h;
  for (int t = 0; t < b.getTriangleCount(); ++t)
    for (int k = 0; k < 3; ++k)
      ++h[{b.triangleList[t][k], b.triangleList[t][(k + 1) % 3]}];
  return h;
}

/// Every undirected edge used by exactly two triangles is run once in each direction.
inline bool manifoldEdgesConsistent(const KEXTriangleMeshBuffer& b)
{
  auto h = halfEdges(b);
  for (const auto& [e, n] : h) {
    auto r = h.find({e.second, e.first});
    int rn = r == h.end() ? 0 : r->second;
    if (n + rn == 2 && n != 1)
      return false;
  }
  return true;
}

/// A closed, consistently oriented 2-manifold: every half-edge once, and its reverse once.
inline bool closedAndConsistent(const KEXTriangleMeshBuffer& b)
{
  auto h = halfEdges(b);
  for (const auto& [e, n] : h) {
    auto r = h.find({e.second, e.first});
    if (n != 1 || r == h.end() || r->second != 1)
      return false;
  }
  return true;
}

/// All three coordinates finite.
inline bool finitePoint(const KEXVector3<float>& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

/// Every index of every triangle names a vertex of the buffer.
inline bool allIndicesValid(const KEXTriangleMeshBuffer& b)
{
  return std::all_of(b.triangleList.begin(), b.triangleList.end(), [&](const KEXTriangle<int>& t) {
    return b.isValidVertex(t[0]) && b.isValidVertex(t[1]) && b.isValidVertex(t[2]);
  });
}

/// Euler characteristic of the used part: used vertices - edges + triangles.
inline int eulerCharacteristic(const KEXTriangleMeshBuffer& b)
{
  std::set<int> used;
  std::set<std::pair<int, int>> edges;
  for (const KEXTriangle<int>& t : b.triangleList)
    for (int k = 0; k < 3; ++k) {
      used.insert(t[k]);
      const int u = t[k], v = t[(k + 1) % 3];
      edges.insert(u < v ? std::make_pair(u, v) : std::make_pair(v, u));
    }
  return int(used.size()) - int(edges.size()) + b.getTriangleCount();
}

/// A triangle rotated so that its smallest index comes first (orientation kept).
inline std::array<int, 3> rotated(const KEXTriangle<int>& t)
{
  int m = 0;
  if (t[1] < t[m])
    m = 1;
  if (t[2] < t[m])
    m = 2;
  return {t[m], t[(m + 1) % 3], t[(m + 2) % 3]};
}

/// The triangles as a sorted multiset, up to rotation (orientation matters).
inline std::vector<std::array<int, 3>> orientedSet(const KEXTriangleMeshBuffer& b)
{
  std::vector<std::array<int, 3>> r;
  for (int t = 0; t < b.getTriangleCount(); ++t)
    r.push_back(rotated(b.triangleList[t]));
  std::sort(r.begin(), r.end());
  return r;
}

/// The triangles as a sorted multiset of vertex sets (orientation ignored).
inline std::vector<std::array<int, 3>> unorientedSet(const KEXTriangleMeshBuffer& b)
{
  std::vector<std::array<int, 3>> r;
  for (int t = 0; t < b.getTriangleCount(); ++t) {
    std::array<int, 3> a = {b.triangleList[t][0], b.triangleList[t][1], b.triangleList[t][2]};
    std::sort(a.begin(), a.end());
    r.push_back(a);
  }
  std::sort(r.begin(), r.end());
  return r;
}

/// Signed volume of the triangles whose first vertex lies in [firstVertex, endVertex).
inline double signedVolumeOf(const KEXTriangleMeshBuffer& b, int firstVertex, int endVertex)
{
  double v = 0.0;
  for (int t = 0; t < b.getTriangleCount(); ++t) {
    const KEXTriangle<int>& tri = b.triangleList[t];
    if (tri[0] < firstVertex || tri[0] >= endVertex)
      continue;
    KEXVector3<double> a(b.vertexList[tri[0]]), c1(b.vertexList[tri[1]]), c2(b.vertexList[tri[2]]);
    v += a.dot(c1.cross(c2)) / 6.0;
  }
  return v;
}

/// Deep equality of the vertex and triangle lists.
inline bool sameGeometry(const KEXTriangleMeshBuffer& a, const KEXTriangleMeshBuffer& b)
{
  if (a.getVertexCount() != b.getVertexCount() || a.getTriangleCount() != b.getTriangleCount())
    return false;
  for (int v = 0; v < a.getVertexCount(); ++v)
    if (!(a.vertexList[v] == b.vertexList[v]))
      return false;
  for (int t = 0; t < a.getTriangleCount(); ++t)
    if (a.triangleList[t] != b.triangleList[t])
      return false;
  return true;
}

/// Bitwise equality of two lists (NaN equals itself, -0 differs from +0).
template <class T>
bool sameBits(const KEXValueList<T>& a, const KEXValueList<T>& b)
{
  return a.getCount() == b.getCount() &&
         (a.getCount() == 0 || std::memcmp(a.getData(), b.getData(), sizeof(T) * size_t(a.getCount())) == 0);
}

/// Bitwise equality of every stored list of two buffers, inner arrays of the vertex adjacency
/// included; names the first list that differs.
inline ::testing::AssertionResult sameBuffer(const KEXTriangleMeshBuffer& a, const KEXTriangleMeshBuffer& b)
{
  const char* differs = nullptr;
  auto compare = [&differs](const char* name, bool same) {
    if (!differs && !same)
      differs = name;
  };
  compare("vertexList", sameBits(a.vertexList, b.vertexList));
  compare("vertexNormalList", sameBits(a.vertexNormalList, b.vertexNormalList));
  compare("vertexColorList", sameBits(a.vertexColorList, b.vertexColorList));
  compare("vertexScalarList", sameBits(a.vertexScalarList, b.vertexScalarList));
  compare("textureCoordinateList", sameBits(a.textureCoordinateList, b.textureCoordinateList));
  compare("vertexEdgeFlagList", sameBits(a.vertexEdgeFlagList, b.vertexEdgeFlagList));
  compare("triangleList", sameBits(a.triangleList, b.triangleList));
  compare("triangleNormalList", sameBits(a.triangleNormalList, b.triangleNormalList));
  compare("triangleColorList", sameBits(a.triangleColorList, b.triangleColorList));
  compare("triangleAdjacencyList", sameBits(a.triangleAdjacencyList, b.triangleAdjacencyList));
  compare("vertexAdjacencyList", a.vertexAdjacencyList.getCount() == b.vertexAdjacencyList.getCount());
  for (int v = 0; v < a.vertexAdjacencyList.getCount() && !differs; ++v) {
    const auto& x = a.vertexAdjacencyList[v];
    const auto& y = b.vertexAdjacencyList[v];
    compare("vertexAdjacencyList", x.getCount() == y.getCount() && std::equal(x.begin(), x.end(), y.begin()));
  }
  if (differs)
    return ::testing::AssertionFailure() << differs << " differs";
  return ::testing::AssertionSuccess();
}

} // namespace kexmeshtest
