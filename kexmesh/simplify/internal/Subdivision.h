#pragma once
// Internal (not installed): what the two subdivision steps (Loop and modified butterfly) share.
// Both put one new vertex on every edge, numbered in the order of a scan over the corners, and
// replace every triangle by four; both find a vertex's neighbours by walking its fan through the
// triangle adjacency. Both must leave the caller's buffer as it was when they fail or are stopped,
// so they write every new element behind the old ones first and overwrite the old triangles (and,
// for Loop, the old positions) only in a last pass that can neither fail nor be stopped.
#include "kex/Task.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

namespace kexsubdivision {

using Buffer = KEXTriangleMeshBuffer;
using Vec3 = KEXVector3<float>;

/// Corners (or vertices, or triangles) per progress report.
constexpr int BLOCK = 8192;

/// A weight times a position, formed in double and rounded to float: the step rounds every
/// product before summing, so the sums are float sums of these.
inline Vec3 term(double w, const Vec3& p) { return Vec3(float(w * p.x), float(w * p.y), float(w * p.z)); }

/// The neighbours of the vertex v of a corner s, in fan order. q0 is the vertex of the corner
/// before s; forward (A) holds the vertices of the following corners (q0 excepted) until the walk
/// returns to s or meets an edge without partner; only then (border) backward (B) holds, in
/// order, the vertex before v in each triangle reached backwards from s. Only the fan of s is
/// visited, so a vertex where several fans meet is seen through one of them.
struct Ring {
  int q0 = -1;
  bool border = false;
  KEXValueList<int> forward, backward;
  Ring() : forward(32), backward(32) {} // emptying keeps one block: walks rarely allocate
  int count() const { return forward.getCount() + backward.getCount() + 1; }
};

/// Walks the fan of corner s (see Ring). \pre the adjacency passed checkInput. False when a list
/// cannot grow.
bool walkRing(const Buffer& b, int s, Ring& ring);

/// The neighbour count of corner s's vertex and whether it lies on a border, without lists.
void countRing(const Buffer& b, int s, int& count, bool& border);

/// Whether a step on b could represent its output: 4T triangles with 12T corners, V + 3T vertices.
bool fitsFourfold(const Buffer& b);

/// Refuses what would make the walks and the edge numbering go astray: a triangle index outside
/// the vertex list ("Found an invalid triangle", InvalidIndex) and a partner corner that does not
/// run its edge the other way or does not name the corner back, i.e. inconsistently oriented
/// neighbours ("Found inconsistently oriented triangles", InvalidOperation). Ends task then and
/// returns false; true when the buffer is fit.
bool checkInput(KEXTask& task, const Buffer& b);

/// Whether corner c creates its edge's vertex: a border edge, or an interior one from the side of
/// the end vertex with the smaller index (an edge with equal end indices from its smaller corner).
inline bool createsEdge(const Buffer& b, int c)
{
  const int p = b.triangleAdjacencyList[c / 3][c % 3];
  if (p < 0)
    return true;
  const int a = b.cornerVertex(Buffer::previousCorner(c)), e = b.cornerVertex(c);
  return e < a || (e == a && c < p);
}

/// Numbers the edge vertices V, V + 1, ... in corner order and stores each number for both
/// corners of its edge. Returns the edge count.
int numberEdges(const Buffer& b, int* edgeOf);

/// Whether some interior edge joins a vertex to itself.
bool hasInteriorLoopEdge(const Buffer& b);

/// Writes triangles T + 3t, T + 3t + 1, T + 3t + 2 of the old triangles t in [first, end) and their
/// adjacency entries. \pre the triangle and adjacency lists hold 4T entries; [0, T) are still
/// the old triangles with their old adjacency.
void writeOuterTriangles(Buffer& b, int T, const int* edgeOf, int first, int end);

/// The last pass: old triangle t becomes (a0, e1, e0) with the matching adjacency.
void commitTriangles(Buffer& b, int T, const int* edgeOf);

/// Cuts every vertex-sized list that grew beyond V and every triangle-sized list beyond T back,
/// unless commit() was called: what a failed or stopped step leaves is the buffer it was given.
class Rollback {
public:
  explicit Rollback(Buffer& b) : m_buffer(b), m_vertices(b.getVertexCount()), m_triangles(b.getTriangleCount()) {}
  ~Rollback();
  Rollback(const Rollback&) = delete;
  Rollback& operator=(const Rollback&) = delete;
  void commit() { m_committed = true; }

private:
  Buffer& m_buffer;
  int m_vertices, m_triangles;
  bool m_committed = false;
};

/// The vertex adjacency list describes the old triangles only. Built by the step, it is removed at
/// every exit; given by the caller, it stays after a failure (the buffer is unchanged) and is
/// emptied after success, since it no longer matches.
class VertexAdjacencyEnd {
public:
  VertexAdjacencyEnd(Buffer& b, bool wasPresent) : m_buffer(b), m_wasPresent(wasPresent) {}
  ~VertexAdjacencyEnd()
  {
    if (!m_wasPresent || m_succeeded)
      m_buffer.removeVertexAdjacencyList();
  }
  VertexAdjacencyEnd(const VertexAdjacencyEnd&) = delete;
  VertexAdjacencyEnd& operator=(const VertexAdjacencyEnd&) = delete;
  void succeeded() { m_succeeded = true; }

private:
  Buffer& m_buffer;
  bool m_wasPresent;
  bool m_succeeded = false;
};

} // namespace kexsubdivision
