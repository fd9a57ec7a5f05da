// The shared parts of the subdivision steps: fan walks, the input check, edge numbering and the
// one-into-four split with its adjacency.
//
// Split of old triangle t = (a0, a1, a2) with edge vertices e0 (edge a2-a0 of corner 0), e1 (a0-a1)
// and e2 (a1-a2): t becomes (a0, e1, e0), T + 3t is (e1, a1, e2), T + 3t + 1 is (e0, e2, a2) and
// T + 3t + 2 is the middle (e2, e0, e1). Each old edge x -> y of corner k leaves two halves: the
// one at its start x ("start half") and the one at its end y ("end half"). Across an old edge
// from corner c to its partner p (which runs y -> x), c's start half meets p's end half and c's
// end half meets p's start half, so the new adjacency follows from the old one by arithmetic.
#include "kexmesh/simplify/internal/Subdivision.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include <climits>

namespace kexsubdivision {

namespace {

inline int partnerOf(const Buffer& b, int c) { return b.triangleAdjacencyList[c / 3][c % 3]; }

// New corner of the half of old corner q = 3t + k at the edge's start vertex.
inline int startHalf(int T, int q)
{
  const int t = q / 3, k = q % 3;
  return k == 0 ? 3 * (T + 3 * t + 1) : k == 1 ? 3 * t + 1 : 3 * (T + 3 * t) + 2;
}

// New corner of the half of old corner q at the edge's end vertex.
inline int endHalf(int T, int q)
{
  const int t = q / 3, k = q % 3;
  return k == 0 ? 3 * t : k == 1 ? 3 * (T + 3 * t) + 1 : 3 * (T + 3 * t + 1) + 2;
}

inline int startPartner(int T, int p) { return p < 0 ? -1 : startHalf(T, p); }
inline int endPartner(int T, int p) { return p < 0 ? -1 : endHalf(T, p); }

// Longest walk around a vertex: each step reaches another of its corners.
inline int stepLimit(const Buffer& b, int v) { return b.vertexAdjacencyList[v].getCount(); }

} // namespace

bool walkRing(const Buffer& b, int s, Ring& ring)
{
  const int v = b.cornerVertex(s), limit = stepLimit(b, v);
  ring.q0 = b.cornerVertex(Buffer::previousCorner(s));
  ring.border = false;
  ring.forward.setCount(0);
  ring.backward.setCount(0);
  int c = s;
  for (int steps = 0; steps <= limit; ++steps) {
    const int m = Buffer::nextCorner(c), w = b.cornerVertex(m);
    if (w != ring.q0 && !ring.forward.append(w))
      return false;
    const int p = partnerOf(b, m);
    if (p < 0) {
      ring.border = true;
      break;
    }
    c = p;
    if (c == s)
      return true;
  }
  c = s;
  for (int steps = 0; steps <= limit; ++steps) {
    const int p = partnerOf(b, c);
    if (p < 0)
      break;
    c = Buffer::previousCorner(p);
    if (!ring.backward.append(b.cornerVertex(Buffer::previousCorner(c))))
      return false;
  }
  ring.border = true;
  return true;
}

void countRing(const Buffer& b, int s, int& count, bool& border)
{
  const int v = b.cornerVertex(s), limit = stepLimit(b, v);
  const int q0 = b.cornerVertex(Buffer::previousCorner(s));
  count = 1;
  border = false;
  int c = s;
  for (int steps = 0; steps <= limit; ++steps) {
    const int m = Buffer::nextCorner(c);
    count += b.cornerVertex(m) != q0;
    const int p = partnerOf(b, m);
    if (p < 0) {
      border = true;
      break;
    }
    c = p;
    if (c == s)
      return;
  }
  border = true;
  c = s;
  for (int steps = 0; steps <= limit; ++steps) {
    const int p = partnerOf(b, c);
    if (p < 0)
      return;
    c = Buffer::previousCorner(p);
    ++count;
  }
}

bool fitsFourfold(const Buffer& b)
{
  const long long T = b.getTriangleCount(), V = b.getVertexCount();
  return 12 * T <= INT_MAX && V + 3 * T <= INT_MAX;
}

bool checkInput(KEXTask& task, const Buffer& b)
{
  const int T = b.getTriangleCount(), corners = 3 * T;
  for (int t = 0; t < T; ++t)
    for (int k = 0; k < 3; ++k)
      if (!b.isValidVertex(b.triangleList[t][k])) {
        KEXTask::Diagnostics d(KEX::Error, "Found an invalid triangle");
        return task.error(KEX::InvalidIndex, &d);
      }
  for (int c = 0; c < corners; ++c) {
    const int p = partnerOf(b, c);
    if (p < 0)
      continue;
    if (p >= corners || partnerOf(b, p) != c || b.cornerVertex(p) != b.cornerVertex(Buffer::previousCorner(c)) ||
        b.cornerVertex(Buffer::previousCorner(p)) != b.cornerVertex(c)) {
      KEXTask::Diagnostics d(KEX::Error, "Found inconsistently oriented triangles");
      return task.error(KEX::InvalidOperation, &d);
    }
  }
  return true;
}

int numberEdges(const Buffer& b, int* edgeOf)
{
  const int corners = 3 * b.getTriangleCount();
  int next = b.getVertexCount();
  for (int c = 0; c < corners; ++c) {
    if (!createsEdge(b, c))
      continue;
    edgeOf[c] = next;
    const int p = partnerOf(b, c);
    if (p >= 0)
      edgeOf[p] = next;
    ++next;
  }
  return next - b.getVertexCount();
}

bool hasInteriorLoopEdge(const Buffer& b)
{
  const int corners = 3 * b.getTriangleCount();
  for (int c = 0; c < corners; ++c)
    if (partnerOf(b, c) >= 0 && b.cornerVertex(c) == b.cornerVertex(Buffer::previousCorner(c)))
      return true;
  return false;
}

void writeOuterTriangles(Buffer& b, int T, const int* edgeOf, int first, int end)
{
  KEXTriangle<int>* tris = b.triangleList.getData();
  KEXTriangle<int>* adj = b.triangleAdjacencyList.getData();
  for (int t = first; t < end; ++t) {
    const KEXTriangle<int> old = tris[t], p = adj[t];
    const int e0 = edgeOf[3 * t], e1 = edgeOf[3 * t + 1], e2 = edgeOf[3 * t + 2];
    const int t1 = T + 3 * t, t2 = t1 + 1, middle = t1 + 2;
    tris[t1] = KEXTriangle<int>(e1, old[1], e2);
    tris[t2] = KEXTriangle<int>(e0, e2, old[2]);
    tris[middle] = KEXTriangle<int>(e2, e0, e1);
    adj[t1] = KEXTriangle<int>(3 * middle, startPartner(T, p[1]), endPartner(T, p[2]));
    adj[t2] = KEXTriangle<int>(endPartner(T, p[0]), 3 * middle + 1, startPartner(T, p[2]));
    adj[middle] = KEXTriangle<int>(3 * t1, 3 * t2 + 1, 3 * t + 2);
  }
}

void commitTriangles(Buffer& b, int T, const int* edgeOf)
{
  KEXTriangle<int>* tris = b.triangleList.getData();
  KEXTriangle<int>* adj = b.triangleAdjacencyList.getData();
  for (int t = 0; t < T; ++t) {
    const KEXTriangle<int> p = adj[t];
    tris[t] = KEXTriangle<int>(tris[t][0], edgeOf[3 * t + 1], edgeOf[3 * t]);
    adj[t] = KEXTriangle<int>(startPartner(T, p[0]), endPartner(T, p[1]), 3 * (T + 3 * t + 2) + 2);
  }
}

Rollback::~Rollback()
{
  if (m_committed)
    return;
  Buffer& b = m_buffer;
  const int V = m_vertices, T = m_triangles;
  auto cut = [](auto& list, int n) {
    if (list.getCount() > n)
      list.setCount(n);
  };
  cut(b.vertexList, V);
  cut(b.vertexNormalList, V);
  cut(b.vertexColorList, V);
  cut(b.vertexEdgeFlagList, V);
  cut(b.vertexScalarList, V);
  cut(b.textureCoordinateList, V);
  cut(b.vertexAdjacencyList, V);
  cut(b.triangleList, T);
  cut(b.triangleAdjacencyList, T);
  cut(b.triangleNormalList, T);
  cut(b.triangleColorList, T);
  cut(b.triangleAngleList, T);
}

} // namespace kexsubdivision
