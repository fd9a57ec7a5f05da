#pragma once
// Internal (not installed): the parts of a mesh, whether each is closed, and the signed volumes
// they enclose, for the passes that must never turn a closed part inside out (pair contraction,
// smoothing). A per-triangle rule cannot see that: a coarse closed part can turn over as a whole
// while no single triangle does, and only the sign of its volume tells.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/core/internal/UnionFind.h"

#include <algorithm>
#include <cmath>

namespace kexmeshcore {

/// Whether every index of t names one of the V vertices.
inline bool indexesVertices(const KEXTriangle<int>& t, int V)
{
  return unsigned(t[0]) < unsigned(V) && unsigned(t[1]) < unsigned(V) && unsigned(t[2]) < unsigned(V);
}

/// Six times the signed volume of the tetrahedron of the origin and a, b, c.
inline double tetraVolume(const KEXVector3<double>& a, const KEXVector3<double>& b, const KEXVector3<double>& c)
{
  return a.dot(b.cross(c));
}

/// Six times the signed volume triangle t of positions p adds to its part, taken about centre.
inline double triangleVolume(const KEXVector3<float>* p, const KEXTriangle<int>& t, const KEXVector3<double>& centre)
{
  using D = KEXVector3<double>;
  return tetraVolume(D(p[t[0]]) - centre, D(p[t[1]]) - centre, D(p[t[2]]) - centre);
}

/// The centre of the box of the n positions: the volumes are taken about it, so that the terms of
/// a mesh far from the origin do not cancel. The origin for no positions.
inline KEXVector3<double> boxCentre(const KEXVector3<float>* p, int n)
{
  using D = KEXVector3<double>;
  if (n <= 0)
    return D(0.0, 0.0, 0.0);
  D lo(p[0]), hi(p[0]);
  for (int v = 1; v < n; ++v)
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], double(p[v][a]));
      hi[a] = std::max(hi[a], double(p[v][a]));
    }
  return (lo + hi) * 0.5;
}

/// The parts of b: part[v] is vertex v's part (vertices joined through the triangles whose indices
/// are all valid, numbered from 0 in vertex order; a vertex of no triangle is a part of its own),
/// closed[c] whether every corner of part c's triangles has a partner corner (from either
/// adjacency list, see partnerCorner). The number of parts, or -1 when memory is short.
inline int labelParts(const KEXTriangleMeshBuffer& b, KEXValueList<int>& part, KEXValueList<char>& closed)
{
  const int V = b.getVertexCount(), T = b.getTriangleCount();
  KEXValueList<int> roots(1024, true);
  if (!roots.setCount(V) || !part.setCount(V))
    return -1;
  int* root = roots.getData();
  kexunion::reset(root, V);
  for (int t = 0; t < T; ++t) {
    const KEXTriangle<int>& tri = b.triangleList[t];
    if (indexesVertices(tri, V)) {
      kexunion::unite(root, tri[0], tri[1]);
      kexunion::unite(root, tri[0], tri[2]);
    }
  }
  int count = 0;
  for (int v = 0; v < V; ++v)
    part[v] = -1;
  for (int v = 0; v < V; ++v) {
    int& id = part[kexunion::findRoot(root, v)];
    if (id < 0)
      id = count++;
    part[v] = id;
  }
  if (!closed.setCount(count, 1))
    return -1;
  for (int t = 0; t < T; ++t)
    if (indexesVertices(b.triangleList[t], V))
      for (int k = 0; k < 3; ++k)
        if (b.partnerCorner(3 * t + k) < 0)
          closed[part[b.triangleList[t][0]]] = 0;
  return count;
}

} // namespace kexmeshcore
