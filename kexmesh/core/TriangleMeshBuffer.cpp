// The triangle mesh buffer: fourteen parallel lists and the operations that keep them parallel.
//
// Element operations never shift a list: a removal exchanges the element with the last one and cuts
// the list. Exchanging two elements renumbers them, so the derived lists are patched locally: the
// vertex adjacency list (per vertex its corners, ascending) has the renumbered corners moved to
// their new sorted place without any allocation, and the triangle adjacency list (per corner the
// partner corner across its edge) has the entries of the two elements and their partners' back
// links renamed. Operations that change which edges exist (cutting triangles or vertices,
// redirecting a vertex) re-evaluate the few corners on the changed edges, so both adjacency lists
// always equal a fresh build.
//
// The adjacency lists need no search structure. The vertex corner lists are built in two passes:
// the first counts the corners of every vertex, so each list takes its storage from the small-array
// pool once, in the size class that growing it entry by entry would have reached (later edits grow
// it exactly as before); the second visits the corners in ascending order and appends each to its
// vertex's list, so the lists come out ascending without a search or a move. On a large mesh whose
// triangles jump about the vertex numbering the corners go to buckets of consecutive vertices
// first, in ascending order, so that the appends of a bucket stay within a core's cache; those
// passes run on the worker threads. The partners of the
// corners at a vertex a are found among the edge ends at a: every corner there whose next corner
// lies on the edge's start vertex closes the edge the other way (consistent neighbour), every
// corner whose previous corner does closes it the same way (inconsistent neighbour). Exactly one
// such corner is the partner; none or several (a border or a non-manifold edge) give -1, as does an
// edge with an invalid or a repeated vertex. The full build matches all corners of one vertex at
// once (sorting long lists), so a shuffled triangle order costs one triangle read per corner; the
// local repairs walk a single corner's list.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/core/internal/Corners.h"
#include "kexmesh/core/internal/ParallelBlocks.h"
#include "kexmesh/core/internal/TriangleAngles.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Error.h"
#include "kex/Task.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

constexpr int VERTEX_BLOCK = 1024;
constexpr int TRIANGLE_BLOCK = 2048;
constexpr int VERTEX_ADJACENCY_CORNERS = 16384; // corners per progress report
// Vertices whose corner lists are appended together in a large vertex adjacency build (their lists
// and storage, about 50 bytes a vertex, stay within a core's cache), and triangles per block of its
// distribution passes.
constexpr int ADJACENCY_BUCKET_VERTICES = 4096;
constexpr int ADJACENCY_SCATTER_TRIANGLES = 1 << 14;
// At most this many buckets touched by the first ADJACENCY_SAMPLE_TRIANGLES of a block on average
// (and at most a quarter of them): the plain corner-order append is used.
constexpr int COHERENT_BUCKETS = 16;
constexpr int ADJACENCY_SAMPLE_TRIANGLES = 1024;
constexpr int TRIANGLE_ADJACENCY_CORNERS = 3072;
constexpr int ANGLE_TRIANGLES = 8192;

using Buffer = KEXTriangleMeshBuffer;

// Moves value oldValue of an ascending array to newValue (not present) keeping the order; no
// allocation. False when oldValue is absent.
bool replaceSorted(KEXCompactIndexArray& list, int oldValue, int newValue)
{
  int at = list.findSorted(oldValue);
  if (at < 0)
    return false;
  int* d = list.getData();
  int n = list.getCount();
  if (newValue > oldValue) {
    while (at + 1 < n && d[at + 1] < newValue) {
      d[at] = d[at + 1];
      ++at;
    }
  } else {
    while (at > 0 && d[at - 1] > newValue) {
      d[at] = d[at - 1];
      --at;
    }
  }
  d[at] = newValue;
  return true;
}

// The partner of corner c: the one other corner whose edge joins the same two vertices, or -1 when
// there is none or more than one (or the edge has an invalid or a repeated vertex). Needs a vertex
// adjacency list matching the triangles.
int findPartner(const Buffer& b, int c)
{
  const KEXTriangle<int>* tris = b.triangleList.getData();
  const int vertexCount = b.vertexList.getCount();
  const int a = tris[c / 3][c % 3];
  const int s = tris[Buffer::previousCorner(c) / 3][Buffer::previousCorner(c) % 3];
  if (a < 0 || a >= vertexCount || s < 0 || s >= vertexCount || a == s)
    return -1;
  const KEXCompactIndexArray& list = b.vertexAdjacencyList[a];
  const int* d = list.getData();
  int found = -1;
  for (int i = list.getCount() - 1; i >= 0; --i) {
    const int c2 = d[i];
    const int t2 = c2 / 3, k2 = c2 - 3 * t2;
    const KEXTriangle<int>& tri = tris[t2];
    const int kn = (k2 == 2) ? 0 : k2 + 1;
    const int kp = (k2 == 0) ? 2 : k2 - 1;
    if (tri[kn] == s) { // runs a -> s: its next corner's edge is the shared one
      if (found >= 0)
        return -1;
      found = 3 * t2 + kn;
    }
    if (tri[kp] == s && c2 != c) { // runs s -> a like c
      if (found >= 0)
        return -1;
      found = c2;
    }
  }
  return found;
}

// Re-evaluates every corner on the edge (s -> a) whose entry is -1: after a corner of that edge went
// away, an edge that had three corners may have two now.
void refreshEdge(Buffer& b, int a, int s)
{
  const int vertexCount = b.vertexList.getCount();
  if (a < 0 || a >= vertexCount || s < 0 || s >= vertexCount || a == s)
    return;
  const KEXCompactIndexArray& list = b.vertexAdjacencyList[a];
  for (int i = 0; i < list.getCount(); ++i) {
    const int c2 = list[i];
    const int t2 = c2 / 3, k2 = c2 - 3 * t2;
    const int kn = (k2 == 2) ? 0 : k2 + 1;
    const int kp = (k2 == 0) ? 2 : k2 - 1;
    int candidates[2] = {-1, -1};
    if (b.triangleList[t2][kn] == s)
      candidates[0] = 3 * t2 + kn;
    if (b.triangleList[t2][kp] == s)
      candidates[1] = c2;
    for (int x : candidates)
      if (x >= 0 && b.triangleAdjacencyList[x / 3][x % 3] == -1)
        b.triangleAdjacencyList[x / 3][x % 3] = findPartner(b, x);
  }
}

// One end of an edge at a vertex a: key is the edge's other vertex, corner the corner whose edge it
// is (the edge of corner c runs from the previous corner's vertex to c's vertex).
struct EdgeEnd {
  int key, corner;
};

// Fills the triangle adjacency entries of the corners at vertex a. Every corner c2 at a carries two
// edges: the edge of its next corner (a -> next vertex) and its own (previous vertex -> a). The
// partner of corner c (edge s -> a) is the one other edge end with key s; several mean a
// non-manifold edge (-1). Quadratic only for short lists; long ones are sorted by key.
void matchEdgesAtVertex(int a, const KEXCompactIndexArray& list, const KEXTriangle<int>* tris, int vertexCount,
                        EdgeEnd* ends, KEXTriangle<int>* adjacency)
{
  const int n = list.getCount();
  const int* d = list.getData();
  for (int i = 0; i < n; ++i) {
    const int c = d[i];
    const int t = c / 3, k = c - 3 * t;
    const int kn = (k == 2) ? 0 : k + 1;
    const int kp = (k == 0) ? 2 : k - 1;
    ends[2 * i] = EdgeEnd{tris[t][kp], c};           // own edge, s -> a
    ends[2 * i + 1] = EdgeEnd{tris[t][kn], 3 * t + kn}; // next corner's edge, a -> next
  }
  const bool sorted = n > 16;
  if (sorted)
    std::sort(ends, ends + 2 * n, [](const EdgeEnd& x, const EdgeEnd& y) {
      return x.key < y.key || (x.key == y.key && x.corner < y.corner);
    });
  for (int i = 0; i < n; ++i) {
    const int c = d[i];
    const int s = tris[c / 3][Buffer::previousCorner(c) % 3];
    int partner = -1;
    if (s >= 0 && s < vertexCount && s != a) {
      int matches = 0, other = -1;
      if (sorted) {
        const EdgeEnd* lo = std::lower_bound(ends, ends + 2 * n, s, [](const EdgeEnd& e, int key) { return e.key < key; });
        for (const EdgeEnd* e = lo; e != ends + 2 * n && e->key == s && matches <= 2; ++e) {
          ++matches;
          if (e->corner != c)
            other = e->corner;
        }
      } else {
        for (int j = 0; j < 2 * n; ++j)
          if (ends[j].key == s) {
            ++matches;
            if (ends[j].corner != c)
              other = ends[j].corner;
          }
      }
      if (matches == 2) // c's own end and exactly one other
        partner = other;
    }
    adjacency[c / 3][c % 3] = partner;
  }
}


// Renames corners in the triangle adjacency list: rename maps the corners of the triangles in ts
// (count n) to their new numbers (identity elsewhere). Partners outside those triangles that link
// back get the new name; the triangles' own entries move to their new slots with renamed values.
template <class Rename>
void renameCorners(Buffer& b, const int* ts, int n, Rename rename)
{
  auto inside = [&](int c) {
    for (int i = 0; i < n; ++i)
      if (c / 3 == ts[i])
        return true;
    return false;
  };
  int entries[6];
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < 3; ++k) {
      const int c = 3 * ts[i] + k;
      const int p = kexcorner::adjacency(b, c);
      entries[3 * i + k] = p;
      if (p >= 0 && !inside(p) && kexcorner::adjacency(b, p) == c)
        kexcorner::adjacency(b, p) = rename(c);
    }
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < 3; ++k) {
      const int c = 3 * ts[i] + k;
      const int p = entries[3 * i + k];
      kexcorner::adjacency(b, rename(c)) = p >= 0 ? rename(p) : -1;
    }
}

template <class T>
void swapEntries(KEXValueList<T>& list, int i, int j)
{
  T tmp = list[i];
  list[i] = list[j];
  list[j] = tmp;
}

enum class CornerAppend { Done, OutOfMemory, Stopped };

// Gives every vertex list with corners its storage for count[v] entries, from the small-array pool
// (which serves only the calling thread). False when memory is short.
bool reserveCornerLists(const int* count, int V, KEXCompactIndexArray* lists)
{
  for (int v = 0; v < V; ++v)
    if (count[v] != 0 && !lists[v].reserveGrown(count[v]))
      return false;
  return true;
}

// Counts the corners of every vertex, reserves each list's storage, then appends the corners in
// ascending order: each list comes out ascending and free of duplicates, and no append overruns
// its storage. Each corner appended advances the task by weight. (A function of its own with its
// values in locals: in a closure, every store through a list would make the compiler reload them.)
CornerAppend appendCornersInOrder(KEXTask& task, const KEXTriangle<int>* tris, int T, int V, int* count,
                                  KEXCompactIndexArray* lists, double weight)
{
  const unsigned vertexCount = unsigned(V); // one compare rejects both v < 0 and v >= V
  for (int t = 0; t < T; ++t)
    for (int k = 0; k < 3; ++k)
      if (unsigned(tris[t][k]) < vertexCount)
        ++count[tris[t][k]];
  if (!reserveCornerLists(count, V, lists))
    return CornerAppend::OutOfMemory;
  const int corners = 3 * T;
  for (int first = 0; first < corners; first += VERTEX_ADJACENCY_CORNERS) {
    const int end = std::min(corners, first + VERTEX_ADJACENCY_CORNERS);
    int t = first / 3, k = first % 3;
    for (int c = first; c < end; ++c) {
      const int v = tris[t][k];
      if (unsigned(v) < vertexCount)
        lists[v].appendReserved(c);
      if (++k == 3) {
        k = 0;
        ++t;
      }
    }
    if (!task.incProgress(weight * double(end - first), true))
      return CornerAppend::Stopped;
  }
  return CornerAppend::Done;
}

} // namespace

// --- lifetime ---------------------------------------------------------------------------------------

KEXTriangleMeshBuffer::KEXTriangleMeshBuffer()
    : vertexList(VERTEX_BLOCK, true), vertexAdjacencyList(VERTEX_BLOCK, true), vertexNormalList(VERTEX_BLOCK, true),
      vertexColorList(VERTEX_BLOCK, true), vertexEdgeFlagList(VERTEX_BLOCK, true), vertexScalarList(VERTEX_BLOCK, true),
      textureCoordinateList(VERTEX_BLOCK, true), triangleList(TRIANGLE_BLOCK, true),
      triangleAdjacencyList(TRIANGLE_BLOCK, true), triangleNormalList(TRIANGLE_BLOCK, true),
      triangleColorList(TRIANGLE_BLOCK, true), triangleAngleList(TRIANGLE_BLOCK, true), cornerVertexPages(16, true),
      cornerNormalPages(16, true)
{
}

KEXTriangleMeshBuffer::KEXTriangleMeshBuffer(const KEXTriangleMeshBuffer& o)
    : vertexList(o.vertexList), vertexAdjacencyList(o.vertexAdjacencyList), vertexNormalList(o.vertexNormalList),
      vertexColorList(o.vertexColorList), vertexEdgeFlagList(o.vertexEdgeFlagList),
      vertexScalarList(o.vertexScalarList), textureCoordinateList(o.textureCoordinateList),
      triangleList(o.triangleList), triangleAdjacencyList(o.triangleAdjacencyList),
      triangleNormalList(o.triangleNormalList), triangleColorList(o.triangleColorList),
      triangleAngleList(o.triangleAngleList), cornerVertexPages(o.cornerVertexPages),
      cornerNormalPages(o.cornerNormalPages)
{
}

namespace {
// Whether copy holds everything of source: every list, every page and every corner list complete.
bool isCompleteCopy(const Buffer& copy, const Buffer& source)
{
  if (copy.vertexList.getCount() != source.vertexList.getCount() ||
      copy.vertexAdjacencyList.getCount() != source.vertexAdjacencyList.getCount() ||
      copy.vertexNormalList.getCount() != source.vertexNormalList.getCount() ||
      copy.vertexColorList.getCount() != source.vertexColorList.getCount() ||
      copy.vertexEdgeFlagList.getCount() != source.vertexEdgeFlagList.getCount() ||
      copy.vertexScalarList.getCount() != source.vertexScalarList.getCount() ||
      copy.textureCoordinateList.getCount() != source.textureCoordinateList.getCount() ||
      copy.triangleList.getCount() != source.triangleList.getCount() ||
      copy.triangleAdjacencyList.getCount() != source.triangleAdjacencyList.getCount() ||
      copy.triangleNormalList.getCount() != source.triangleNormalList.getCount() ||
      copy.triangleColorList.getCount() != source.triangleColorList.getCount() ||
      copy.triangleAngleList.getCount() != source.triangleAngleList.getCount() ||
      copy.cornerVertexPages.getCount() != source.cornerVertexPages.getCount() ||
      copy.cornerNormalPages.getCount() != source.cornerNormalPages.getCount())
    return false;
  for (int i = 0; i < source.cornerVertexPages.getCount(); ++i)
    if (copy.cornerVertexPages[i].getCount() != source.cornerVertexPages[i].getCount())
      return false;
  for (int i = 0; i < source.cornerNormalPages.getCount(); ++i)
    if (copy.cornerNormalPages[i].getCount() != source.cornerNormalPages[i].getCount())
      return false;
  for (int i = 0; i < source.vertexAdjacencyList.getCount(); ++i)
    if (copy.vertexAdjacencyList[i].getCount() != source.vertexAdjacencyList[i].getCount())
      return false;
  return true;
}
} // namespace

KEXTriangleMeshBuffer& KEXTriangleMeshBuffer::operator=(const KEXTriangleMeshBuffer& other)
{
  if (this == &other)
    return *this;
  KEXTriangleMeshBuffer copy(other);
  if (isCompleteCopy(copy, other))
    swap(copy);
  else
    KEXError::emitError(KEXError::Message(KEX::OutOfMemory)); // the target stays as it was
  return *this;
}

void KEXTriangleMeshBuffer::swap(KEXTriangleMeshBuffer& o) noexcept
{
  vertexList.swap(o.vertexList);
  vertexAdjacencyList.swap(o.vertexAdjacencyList);
  vertexNormalList.swap(o.vertexNormalList);
  vertexColorList.swap(o.vertexColorList);
  vertexEdgeFlagList.swap(o.vertexEdgeFlagList);
  vertexScalarList.swap(o.vertexScalarList);
  textureCoordinateList.swap(o.textureCoordinateList);
  triangleList.swap(o.triangleList);
  triangleAdjacencyList.swap(o.triangleAdjacencyList);
  triangleNormalList.swap(o.triangleNormalList);
  triangleColorList.swap(o.triangleColorList);
  triangleAngleList.swap(o.triangleAngleList);
  cornerVertexPages.swap(o.cornerVertexPages);
  cornerNormalPages.swap(o.cornerNormalPages);
  std::swap(m_adjacencyKept, o.m_adjacencyKept);
}

bool KEXTriangleMeshBuffer::clear()
{
  KEXTriangleMeshBuffer empty;
  swap(empty);
  m_adjacencyKept = empty.m_adjacencyKept;
  return true; // the old content goes with empty
}

bool KEXTriangleMeshBuffer::isConsistent() const
{
  const int V = getVertexCount(), T = getTriangleCount();
  auto fits = [](int count, int n) { return count == 0 || count == n; };
  if (!fits(vertexAdjacencyList.getCount(), V) || !fits(vertexNormalList.getCount(), V) ||
      !fits(vertexColorList.getCount(), V) || !fits(vertexScalarList.getCount(), V) ||
      !fits(textureCoordinateList.getCount(), V))
    return false;
  if (!fits(triangleAdjacencyList.getCount(), T) || !fits(triangleNormalList.getCount(), T) ||
      !fits(triangleColorList.getCount(), T) || !fits(triangleAngleList.getCount(), T))
    return false;
  long long vertexTotal = 0, normalTotal = 0;
  for (const Page& p : cornerVertexPages)
    vertexTotal += p.getCount();
  for (const Page& p : cornerNormalPages)
    normalTotal += p.getCount();
  if (vertexTotal != normalTotal)
    return false;
  return T == 0 || vertexTotal == 0 || vertexTotal == 3LL * T;
}

// --- vertices ---------------------------------------------------------------------------------------

bool KEXTriangleMeshBuffer::setVertexCount(int n)
{
  const int V = getVertexCount();
  if (n < 0)
    return false;
  const bool adjacency = hasVertexAdjacencyList(), normals = hasVertexNormalList(), colors = hasVertexColorList(),
             flags = hasVertexEdgeFlagList(), scalars = hasVertexScalarList(), texture = hasTextureCoordinateList();
  if (n > V) {
    if (!isConsistent())
      return false;
    // Grow every present list; on a shortage cut the grown ones back so that the lists stay parallel.
    bool ok = (!adjacency || vertexAdjacencyList.setCount(n)) && (!normals || vertexNormalList.setCount(n)) &&
              (!colors || vertexColorList.setCount(n)) && (!flags || vertexEdgeFlagList.setCount(n)) &&
              (!scalars || vertexScalarList.setCount(n)) && (!texture || textureCoordinateList.setCount(n)) &&
              vertexList.setCount(n);
    if (!ok) {
      if (adjacency)
        vertexAdjacencyList.setCount(V);
      if (normals)
        vertexNormalList.setCount(V);
      if (colors)
        vertexColorList.setCount(V);
      if (flags)
        vertexEdgeFlagList.setCount(V);
      if (scalars)
        vertexScalarList.setCount(V);
      if (texture)
        textureCoordinateList.setCount(V);
      vertexList.setCount(V);
    }
    return ok;
  }
  if (n == V)
    return true;
  // Edges at a cut vertex end at an invalid index now: they have no partner any more.
  if (adjacency && hasTriangleAdjacencyList())
    for (int v = n; v < V; ++v)
      for (int c : vertexAdjacencyList[v]) {
        kexcorner::adjacency(*this, c) = -1;
        kexcorner::adjacency(*this, Buffer::nextCorner(c)) = -1;
      }
  if (adjacency)
    vertexAdjacencyList.setCount(n);
  if (normals)
    vertexNormalList.setCount(n);
  if (colors)
    vertexColorList.setCount(n);
  if (flags)
    vertexEdgeFlagList.setCount(n);
  if (scalars)
    vertexScalarList.setCount(n);
  if (texture)
    textureCoordinateList.setCount(n);
  vertexList.setCount(n);
  return true;
}

bool KEXTriangleMeshBuffer::setVertexIndexRange(int first, int last)
{
  if (first != 0 || !isConsistent())
    return false;
  return setVertexCount(last + 1);
}

bool KEXTriangleMeshBuffer::swapVertices(int i, int j)
{
  if (i == j)
    return true;
  const int V = getVertexCount();
  if (i < 0 || j < 0 || i >= V || j >= V)
    return false;
  const bool adjacency = hasVertexAdjacencyList();
  if (getTriangleCount() > 0 && !adjacency)
    return false;
  swapEntries(vertexList, i, j);
  if (adjacency) {
    for (int c : vertexAdjacencyList[i])
      triangleList[c / 3][c % 3] = j;
    for (int c : vertexAdjacencyList[j])
      triangleList[c / 3][c % 3] = i;
    vertexAdjacencyList[i].swap(vertexAdjacencyList[j]);
  }
  if (hasVertexNormalList())
    swapEntries(vertexNormalList, i, j);
  if (hasVertexColorList())
    swapEntries(vertexColorList, i, j);
  if (hasVertexEdgeFlagList())
    swapEntries(vertexEdgeFlagList, i, j);
  if (hasVertexScalarList())
    swapEntries(vertexScalarList, i, j);
  if (hasTextureCoordinateList())
    swapEntries(textureCoordinateList, i, j);
  return true;
}

bool KEXTriangleMeshBuffer::removeVertex(int i)
{
  const int V = getVertexCount();
  if (i < 0 || i >= V)
    return false;
  if (!swapVertices(i, V - 1))
    return false;
  return setVertexCount(V - 1);
}

bool KEXTriangleMeshBuffer::redirectVertex(int i, int j)
{
  if (i == j)
    return true;
  const int V = getVertexCount();
  if (i < 0 || j < 0 || i >= V || j >= V)
    return false;
  if (getTriangleCount() == 0)
    return true;
  if (!hasVertexAdjacencyList())
    return false;
  KEXCompactIndexArray& from = vertexAdjacencyList[i];
  KEXCompactIndexArray& to = vertexAdjacencyList[j];
  if (from.isEmpty())
    return true;
  // Merge into new storage first, so that a shortage changes nothing.
  KEXCompactIndexArray merged;
  if (!merged.setCount(from.getCount() + to.getCount()))
    return false;
  {
    const int *a = from.begin(), *ae = from.end(), *b = to.begin(), *be = to.end();
    int* out = merged.getData();
    while (a != ae && b != be)
      *out++ = (*a < *b) ? *a++ : *b++;
    while (a != ae)
      *out++ = *a++;
    while (b != be)
      *out++ = *b++;
  }
  for (int c : from)
    triangleList[c / 3][c % 3] = j;
  to.swap(merged);
  from.clear();
  // The edges at j changed: re-evaluate every corner whose edge touches j.
  if (hasTriangleAdjacencyList())
    for (int c : vertexAdjacencyList[j]) {
      kexcorner::adjacency(*this, c) = findPartner(*this, c);
      kexcorner::adjacency(*this, Buffer::nextCorner(c)) = findPartner(*this, Buffer::nextCorner(c));
    }
  return true;
}

bool KEXTriangleMeshBuffer::containsTriangle(const KEXTriangle<int>& t) const
{
  if (!hasVertexAdjacencyList() || !isValidVertex(t[0]))
    return false;
  for (int c : vertexAdjacencyList[t[0]]) {
    const int n1 = cornerVertex(Buffer::nextCorner(c));
    const int n2 = cornerVertex(Buffer::nextCorner(Buffer::nextCorner(c)));
    if ((n1 == t[1] && n2 == t[2]) || (n1 == t[2] && n2 == t[1]))
      return true;
  }
  return false;
}

// --- triangles --------------------------------------------------------------------------------------

bool KEXTriangleMeshBuffer::setTriangleCount(int n)
{
  const int T = getTriangleCount();
  if (n < 0)
    return false;
  const bool adjacency = hasTriangleAdjacencyList(), normals = hasTriangleNormalList(),
             colors = hasTriangleColorList(), angles = hasTriangleAngleList();
  if (n > T) {
    if (!isConsistent())
      return false;
    bool ok = (!adjacency || triangleAdjacencyList.setCount(n, KEXTriangle<int>(-1, -1, -1))) &&
              (!normals || triangleNormalList.setCount(n)) && (!colors || triangleColorList.setCount(n)) &&
              (!angles || triangleAngleList.setCount(n)) && triangleList.setCount(n);
    if (!ok) {
      if (adjacency)
        triangleAdjacencyList.setCount(T);
      if (normals)
        triangleNormalList.setCount(T);
      if (colors)
        triangleColorList.setCount(T);
      if (angles)
        triangleAngleList.setCount(T);
      triangleList.setCount(T);
    }
    return ok;
  }
  if (n == T)
    return true;
  if (angles)
    triangleAngleList.setCount(n);
  if (colors)
    triangleColorList.setCount(n);
  if (normals)
    triangleNormalList.setCount(n);
  const int cut = 3 * n;
  if (adjacency)
    for (int c = cut; c < 3 * T; ++c) {
      const int p = kexcorner::adjacency(*this, c);
      if (p >= 0 && p < cut && kexcorner::adjacency(*this, p) >= cut)
        kexcorner::adjacency(*this, p) = -1;
    }
  const bool vertexAdjacency = hasVertexAdjacencyList();
  if (vertexAdjacency) {
    for (int c = 3 * T - 1; c >= cut; --c) { // the largest corners first: they sit at the lists' ends
      const int v = cornerVertex(c);
      if (isValidVertex(v))
        vertexAdjacencyList[v].removeSorted(c);
    }
    // An edge that lost a corner may join exactly two triangles now.
    if (adjacency)
      for (int c = cut; c < 3 * T; ++c)
        refreshEdge(*this, cornerVertex(c), cornerVertex(Buffer::previousCorner(c)));
  }
  if (adjacency)
    triangleAdjacencyList.setCount(n);
  triangleList.setCount(n);
  return true;
}

bool KEXTriangleMeshBuffer::setTriangleIndexRange(int first, int last)
{
  if (first != 0 || !isConsistent())
    return false;
  return setTriangleCount(last + 1);
}

bool KEXTriangleMeshBuffer::swapTriangles(int i, int j)
{
  if (i == j)
    return true;
  const int T = getTriangleCount();
  if (i < 0 || j < 0 || i >= T || j >= T)
    return false;
  if (hasVertexAdjacencyList()) {
    // Look every corner up before changing anything, so that a failed lookup changes nothing.
    for (int k = 0; k < 3; ++k) {
      const int vi = triangleList[i][k], vj = triangleList[j][k];
      if (vi == vj)
        continue;
      if (isValidVertex(vi) && vertexAdjacencyList[vi].findSorted(3 * i + k) < 0)
        return false;
      if (isValidVertex(vj) && vertexAdjacencyList[vj].findSorted(3 * j + k) < 0)
        return false;
    }
    for (int k = 0; k < 3; ++k) {
      const int vi = triangleList[i][k], vj = triangleList[j][k];
      if (vi == vj)
        continue;
      if (isValidVertex(vi))
        replaceSorted(vertexAdjacencyList[vi], 3 * i + k, 3 * j + k);
      if (isValidVertex(vj))
        replaceSorted(vertexAdjacencyList[vj], 3 * j + k, 3 * i + k);
    }
  }
  if (hasTriangleAdjacencyList()) {
    const int ts[2] = {i, j};
    renameCorners(*this, ts, 2, [i, j](int c) {
      const int t = c / 3;
      return t == i ? 3 * j + c % 3 : t == j ? 3 * i + c % 3 : c;
    });
  }
  if (hasTriangleNormalList())
    swapEntries(triangleNormalList, i, j);
  if (hasTriangleColorList())
    swapEntries(triangleColorList, i, j);
  if (hasTriangleAngleList())
    swapEntries(triangleAngleList, i, j);
  swapEntries(triangleList, i, j);
  return true;
}

bool KEXTriangleMeshBuffer::removeTriangle(int i)
{
  const int T = getTriangleCount();
  if (i < 0 || i >= T)
    return false;
  if (!swapTriangles(i, T - 1))
    return false;
  return setTriangleCount(T - 1);
}

bool KEXTriangleMeshBuffer::flipTriangle(int t, int k)
{
  if (t < 0 || t >= getTriangleCount() || k < 0 || k > 2)
    return false;
  const int k1 = (k + 1) % 3, k2 = (k + 2) % 3;
  KEXTriangle<int>& tri = triangleList[t];
  const int v1 = tri[k1], v2 = tri[k2];
  if (hasVertexAdjacencyList() && v1 != v2) {
    if (isValidVertex(v1))
      replaceSorted(vertexAdjacencyList[v1], 3 * t + k1, 3 * t + k2);
    if (isValidVertex(v2))
      replaceSorted(vertexAdjacencyList[v2], 3 * t + k2, 3 * t + k1);
  }
  if (hasTriangleAdjacencyList()) {
    // The edge of corner k becomes the edge of corner k1 and vice versa; k2 keeps its edge.
    const int ts[1] = {t};
    const int ck = 3 * t + k, ck1 = 3 * t + k1;
    renameCorners(*this, ts, 1, [ck, ck1](int c) { return c == ck ? ck1 : c == ck1 ? ck : c; });
  }
  if (hasTriangleAngleList()) {
    KEXVector3<float>& a = triangleAngleList[t];
    std::swap(a[k1], a[k2]);
  }
  if (hasTriangleNormalList())
    triangleNormalList[t] = -triangleNormalList[t];
  tri[k1] = v2;
  tri[k2] = v1;
  return true;
}

// --- derived lists ----------------------------------------------------------------------------------

bool KEXTriangleMeshBuffer::createVertexAdjacencyList()
{
  const int V = getVertexCount(), T = getTriangleCount();
  KEXTask task("Calculating vertex adjacency list", 3.0 * T + 1.0, 0x10000, 0);
  vertexAdjacencyList.clear();
  if (!vertexAdjacencyList.setCount(V)) {
    vertexAdjacencyList.clear();
    return kexEndOutOfMemory(task);
  }
  if (!task.incProgress(1.0, true)) {
    vertexAdjacencyList.clear();
    return kexEndRefused(task);
  }
  if (T == 0)
    return task.ok();
  KEXCompactIndexArray* lists = vertexAdjacencyList.getData();
  const KEXTriangle<int>* tris = triangleList.getData();
  const unsigned vertexCount = unsigned(V); // one compare rejects both v < 0 and v >= V
  const int corners = 3 * T;
  auto fail = [&](bool stopped) {
    vertexAdjacencyList.clear(); // frees the storage of lists reserved so far
    return stopped ? kexEndRefused(task) : kexEndOutOfMemory(task);
  };
  KEXValueList<int> counts(VERTEX_BLOCK, true);
  if (!counts.setCount(V, 0))
    return fail(false);
  int* count = counts.getData();

  auto appendInCornerOrder = [&](double weight) {
    const CornerAppend end = appendCornersInOrder(task, tris, T, V, count, lists, weight);
    return end == CornerAppend::Done ? task.ok() : fail(end == CornerAppend::Stopped);
  };
  if (V <= ADJACENCY_BUCKET_VERTICES) // every list fits the cache
    return appendInCornerOrder(1.0);

  const int buckets = (V + ADJACENCY_BUCKET_VERTICES - 1) / ADJACENCY_BUCKET_VERTICES;
  const int blockTriangles = std::max(ADJACENCY_SCATTER_TRIANGLES, (T + 255) / 256);
  const int blocks = (T + blockTriangles - 1) / blockTriangles;
  KEXValueList<int> bucketStarts(VERTEX_BLOCK, true); // per bucket: first slot, then the end
  if (!bucketStarts.setCount(buckets + 1, -1))
    return fail(false);
  // Triangles in an order that follows the vertex numbering (most meshes: a weld numbers the
  // vertices as the triangles first use them) keep the plain append within the cache: the
  // corners of a block then fall into a few buckets only. The first triangles of every block tell.
  {
    int* seen = bucketStarts.getData(); // per bucket the last block that touched it
    long long touched = 0;
    for (int b = 0; b < blocks; ++b) {
      const int first = b * blockTriangles, end = std::min(T, first + ADJACENCY_SAMPLE_TRIANGLES);
      for (int t = first; t < end; ++t)
        for (int k = 0; k < 3; ++k)
          if (unsigned(tris[t][k]) < vertexCount && seen[tris[t][k] / ADJACENCY_BUCKET_VERTICES] != b) {
            seen[tris[t][k] / ADJACENCY_BUCKET_VERTICES] = b;
            ++touched;
          }
    }
    if (touched <= (long long)blocks * std::min(COHERENT_BUCKETS, buckets / 4))
      return appendInCornerOrder(1.0);
  }

  // Triangles that jump about the vertex numbering: appending in corner order would touch two
  // random cache lines per corner (the list and its storage). The corners are first distributed,
  // in ascending order, to buckets of ADJACENCY_BUCKET_VERTICES consecutive vertices, whose lists
  // then fit a core's cache while a bucket is appended. Blocks of triangles count and place their
  // corners independently (each block owns its run of every bucket) and buckets own disjoint
  // lists, so every pass runs on the worker threads, and the lists are the same as the plain
  // corner-order append for any thread count. The small-array pool serves only the calling thread,
  // so the storage is reserved between passes.
  struct Entry {
    int vertex, corner;
  };
  KEXValueList<int> runs(VERTEX_BLOCK, true); // per block and bucket: first slot of the run
  KEXValueList<Entry> entries(VERTEX_BLOCK, true);
  if (!runs.setCount(blocks * buckets, 0) || !entries.setCount(corners))
    return fail(false);
  // The pass bodies copy what they use into locals: through the closure's references every store
  // would make the compiler load them again.
  int* const run = runs.getData();
  const Entry* const entry = entries.getData();
  const int* const bucketStart = bucketStarts.getData();
  // The task's 3 per triangle: 0.75 per triangle counted, 1.5 per triangle placed, the rest spread
  // over the vertices appended.
  const double countWeight = 0.75, placeWeight = 1.5, appendWeight = 0.75 * T / V;
  bool stopped = false;
  // 1. Corners per block and bucket (corners of invalid vertices are left out).
  if (!kexmeshcore::parallelBlocks(task, T, blockTriangles, countWeight, stopped, [&](int first, int end) {
        const unsigned vertexCount = unsigned(V);
        const KEXTriangle<int>* const triangle = tris;
        int* const own = run + size_t(first / blockTriangles) * buckets;
        for (int t = first; t < end; ++t)
          for (int k = 0; k < 3; ++k)
            if (unsigned(triangle[t][k]) < vertexCount)
              ++own[triangle[t][k] / ADJACENCY_BUCKET_VERTICES];
        return true;
      }))
    return fail(stopped);
  // The runs of a bucket follow one another in block order.
  int slot = 0;
  for (int k = 0; k < buckets; ++k) {
    bucketStarts[k] = slot;
    for (int b = 0; b < blocks; ++b) {
      const int n = run[size_t(b) * buckets + k];
      run[size_t(b) * buckets + k] = slot;
      slot += n;
    }
  }
  bucketStarts[buckets] = slot;
  // 2. Every block places its corners, ascending, at its runs.
  if (!kexmeshcore::parallelBlocks(task, T, blockTriangles, placeWeight, stopped, [&](int first, int end) {
        const unsigned vertexCount = unsigned(V);
        const KEXTriangle<int>* const triangle = tris;
        Entry* const placed = entries.getData();
        int* const next = run + size_t(first / blockTriangles) * buckets;
        for (int t = first; t < end; ++t)
          for (int k = 0; k < 3; ++k) {
            const int v = triangle[t][k];
            if (unsigned(v) < vertexCount)
              placed[next[v / ADJACENCY_BUCKET_VERTICES]++] = Entry{v, 3 * t + k};
          }
        return true;
      }))
    return fail(stopped);
  // 3. Corners per vertex, bucket by bucket; the storage is reserved on this thread.
  if (!kexmeshcore::parallelBlocks(task, V, ADJACENCY_BUCKET_VERTICES, 0.0, stopped, [&](int first, int) {
        const int k = first / ADJACENCY_BUCKET_VERTICES;
        const Entry* const e = entry;
        int* const perVertex = count;
        for (int i = bucketStart[k], end = bucketStart[k + 1]; i < end; ++i)
          ++perVertex[e[i].vertex];
        return true;
      }))
    return fail(stopped);
  if (!reserveCornerLists(count, V, lists))
    return fail(false);
  // 4. Each bucket appends its corners, which arrive in ascending order.
  if (!kexmeshcore::parallelBlocks(task, V, ADJACENCY_BUCKET_VERTICES, appendWeight, stopped, [&](int first, int) {
        const int k = first / ADJACENCY_BUCKET_VERTICES;
        const Entry* const e = entry;
        KEXCompactIndexArray* const list = lists;
        for (int i = bucketStart[k], end = bucketStart[k + 1]; i < end; ++i)
          list[e[i].vertex].appendReserved(e[i].corner);
        return true;
      }))
    return fail(stopped);
  return task.ok();
}

bool KEXTriangleMeshBuffer::createTriangleAdjacencyList()
{
  const int T = getTriangleCount();
  KEXTask task("Calculating triangle adjacency information", 3.0 * T + 1.0, 0x1010000, 0);
  triangleAdjacencyList.clear();
  {
    KEXSubTask sub("Creating vertex adjacency list", double(T));
    if (!hasVertexAdjacencyList() && !createVertexAdjacencyList())
      return task.statusOf(sub, KEX::GenericError);
  }
  if (!triangleAdjacencyList.setCount(T)) {
    triangleAdjacencyList.clear();
    return kexEndOutOfMemory(task);
  }
  {
    KEXSubTask sub("Preparing operation", double(T));
    for (KEXTriangle<int>& e : triangleAdjacencyList)
      e = KEXTriangle<int>(-1, -1, -1);
  }
  // One vertex at a time: its corners' edges are matched among themselves, reading each triangle
  // once per corner instead of once per corner of every neighbour (this keeps a shuffled triangle
  // order cheap). Progress goes out once per 3072 corners handled.
  KEXTriangle<int>* adjacency = triangleAdjacencyList.getData();
  const KEXTriangle<int>* tris = triangleList.getData();
  const KEXCompactIndexArray* lists = vertexAdjacencyList.getData();
  const int V = getVertexCount(), corners = 3 * T;
  KEXValueList<EdgeEnd> ends(256, true);
  long long handled = 0, reported = 0;
  for (int a = 0; a < V; ++a) {
    const KEXCompactIndexArray& list = lists[a];
    const int n = list.getCount();
    if (n == 0)
      continue;
    if (ends.getCount() < 2 * n && !ends.setCount(2 * n)) {
      triangleAdjacencyList.clear();
      return kexEndOutOfMemory(task);
    }
    matchEdgesAtVertex(a, list, tris, V, ends.getData(), adjacency);
    handled += n;
    if (handled / TRIANGLE_ADJACENCY_CORNERS != reported / TRIANGLE_ADJACENCY_CORNERS) {
      if (!task.incProgress(double(handled - reported) / 3.0, true)) {
        triangleAdjacencyList.clear();
        return kexEndRefused(task);
      }
      reported = handled;
    }
  }
  if (reported < corners && !task.incProgress(double(corners - reported) / 3.0, true)) {
    triangleAdjacencyList.clear();
    return kexEndRefused(task);
  }
  return task.ok();
}

bool KEXTriangleMeshBuffer::createTriangleAngleList()
{
  const int V = getVertexCount(), T = getTriangleCount();
  KEXTask task("Calculating inner triangle angles", double(T) + 1.0, 0x10000, 0);
  triangleAngleList.clear();
  if (!triangleAngleList.setCount(T)) {
    triangleAngleList.clear();
    return kexEndOutOfMemory(task, KEX::GenericError);
  }
  if (!task.incProgress(1.0, true)) {
    triangleAngleList.clear();
    return kexEndRefused(task);
  }
  // Each triangle's angles are its own: the pass runs on the worker threads (the arc cosines are
  // most of the time of a vertex normal computation).
  const KEXVector3<float>* p = vertexList.getData();
  const KEXTriangle<int>* triangles = triangleList.getData();
  KEXVector3<float>* out = triangleAngleList.getData();
  bool stopped = false;
  const bool done = kexmeshcore::parallelBlocks(task, T, ANGLE_TRIANGLES, 1.0, stopped, [&](int first, int end) {
    for (int t = first; t < end; ++t) {
      const KEXTriangle<int>& tri = triangles[t];
      if (tri[0] < 0 || tri[0] >= V || tri[1] < 0 || tri[1] >= V || tri[2] < 0 || tri[2] >= V)
        return false; // angles of a triangle without its points do not exist: refuse, never read astray
    }
    kexmeshcore::triangleAngles(p, triangles + first, end - first, out + first);
    return true;
  });
  if (!done) {
    triangleAngleList.clear();
    if (stopped)
      return kexEndRefused(task);
    kexTaskDiagnostics(KEX::Error, "Found an invalid triangle");
    return task.error(KEX::InvalidIndex);
  }
  return task.ok();
}

bool KEXTriangleMeshBuffer::removeVertexAdjacencyList()
{
  vertexAdjacencyList.clear();
  return true;
}

bool KEXTriangleMeshBuffer::removeTriangleAdjacencyList()
{
  triangleAdjacencyList.clear();
  return true;
}

bool KEXTriangleMeshBuffer::removeTriangleAngleList()
{
  triangleAngleList.clear();
  return true;
}

bool KEXTriangleMeshBuffer::removeTriangleNormalList()
{
  triangleNormalList.clear();
  return true;
}

// --- derived-list scope -----------------------------------------------------------------------------

KEXDerivedListScope::KEXDerivedListScope(KEXTriangleMeshBuffer& buffer, Test present, Operation create,
                                         Operation remove, bool restoreAtEnd)
    : m_buffer(&buffer), m_create(create), m_remove(remove), m_present(present), m_restoreAtEnd(restoreAtEnd),
      m_wasPresent((buffer.*present)())
{
}

KEXDerivedListScope::KEXDerivedListScope(KEXDerivedListScope&& o) noexcept
    : m_buffer(o.m_buffer), m_create(o.m_create), m_remove(o.m_remove), m_present(o.m_present),
      m_restoreAtEnd(o.m_restoreAtEnd), m_wasPresent(o.m_wasPresent)
{
  o.m_buffer = nullptr; // the moved-from scope restores nothing
  o.m_restoreAtEnd = false;
}

KEXDerivedListScope::~KEXDerivedListScope()
{
  if (m_buffer && m_restoreAtEnd)
    restore();
}

bool KEXDerivedListScope::ensure()
{
  if (!m_buffer)
    return false;
  if ((m_buffer->*m_present)())
    return true;
  return (m_buffer->*m_create)();
}

bool KEXDerivedListScope::restore()
{
  if (!m_buffer)
    return false;
  const bool present = (m_buffer->*m_present)();
  if (present && !m_wasPresent) {
    const bool adjacency = m_remove == &KEXTriangleMeshBuffer::removeVertexAdjacencyList ||
                           m_remove == &KEXTriangleMeshBuffer::removeTriangleAdjacencyList;
    if (adjacency && m_buffer->isAdjacencyKept())
      return true; // left for the next step of the sequence
    return (m_buffer->*m_remove)();
  }
  if (!present && m_wasPresent)
    return (m_buffer->*m_create)();
  return true;
}

KEXDerivedListScope KEXDerivedListScope::vertexAdjacency(KEXTriangleMeshBuffer& b, bool restoreAtEnd)
{
  return KEXDerivedListScope(b, &KEXTriangleMeshBuffer::hasVertexAdjacencyList,
                             &KEXTriangleMeshBuffer::createVertexAdjacencyList,
                             &KEXTriangleMeshBuffer::removeVertexAdjacencyList, restoreAtEnd);
}

KEXDerivedListScope KEXDerivedListScope::triangleAdjacency(KEXTriangleMeshBuffer& b, bool restoreAtEnd)
{
  return KEXDerivedListScope(b, &KEXTriangleMeshBuffer::hasTriangleAdjacencyList,
                             &KEXTriangleMeshBuffer::createTriangleAdjacencyList,
                             &KEXTriangleMeshBuffer::removeTriangleAdjacencyList, restoreAtEnd);
}

KEXDerivedListScope KEXDerivedListScope::triangleAngles(KEXTriangleMeshBuffer& b, bool restoreAtEnd)
{
  return KEXDerivedListScope(b, &KEXTriangleMeshBuffer::hasTriangleAngleList,
                             &KEXTriangleMeshBuffer::createTriangleAngleList,
                             &KEXTriangleMeshBuffer::removeTriangleAngleList, restoreAtEnd);
}

KEXDerivedListScope KEXDerivedListScope::triangleNormals(KEXTriangleMeshBuffer& b, bool restoreAtEnd)
{
  return KEXDerivedListScope(b, &KEXTriangleMeshBuffer::hasTriangleNormalList,
                             &KEXTriangleMeshBuffer::calculateTriangleNormals,
                             &KEXTriangleMeshBuffer::removeTriangleNormalList, restoreAtEnd);
}
