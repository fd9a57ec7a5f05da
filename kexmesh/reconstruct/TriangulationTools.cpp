// Triangulation tools: fans, minimum-weight loop triangulations and two tessellated solids, all
// appended to a caller's buffer.
//
// Loop triangulation is the classic dynamic programme for the minimum-weight triangulation of a
// polygon (Gilbert 1979, Klincsek 1980; used for hole filling by Barequet and Sharir 1995): the
// weight W(i, j) of the best triangulation of the sub-loop i ... j is the minimum over the splits k
// of W(i, k) + W(k, j) + the perimeter of triangle (i, k, j). It takes O(n^3) time and O(n^2)
// memory. The inner minimum runs over k with one fixed row and one fixed column of the table, so
// the table is kept twice, once by rows and once by columns, and V(i, j) = W(i, j) + |v_i v_j| is
// stored instead of W: a candidate then costs two contiguous loads and an add, V(i, k) + V(k, j),
// and the minimum is found by a branch-free pass followed by a search for the first (smallest) k
// that reaches it, so ties go to the smallest split.
//
// Candidates that meet the mesh are found beforehand from the corners at the loop's vertices (their
// vertex adjacency lists): a triangle that exists already, and, for edge loops, a diagonal that is
// an edge of the mesh already. An edge loop fills a hole of the mesh itself, where either would
// make an edge non-manifold or a triangle duplicate, so both are forbidden there: a forbidden
// diagonal gets an infinite weight (every candidate through it then loses in the same vector pass),
// and the few sub-loops with an existing triangle among their candidates take a slow path that
// skips it. A loop left without a finite triangulation is reported as unfillable and nothing is
// appended. Vertex loops keep the older, softer rule: an existing triangle costs a penalty that
// loses against every real triangle (their callers build new surfaces, not fills of a mesh).
//
// The triangles are emitted in the order of the recursive definition (left part, right part, then
// the triangle itself) by an explicit stack, so a loop of any length cannot exhaust the call stack.
//
// Everything appended is all-or-nothing: the triangle list grows once, and when a later step fails
// (the vertex adjacency lists cannot grow) the appended corners are taken out of the adjacency lists
// and the lists are cut back to their old length.
#include "kexmesh/reconstruct/TriangulationTools.h"
#include "kexmesh/core/internal/Corners.h"

#include "kex/Memory.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/internal/ScratchAllocator.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#include <numbers>
#endif

namespace {

using Buffer = KEXTriangleMeshBuffer;
using kexcorner::adjacency;
using Tri = KEXTriangle<int>;
using Vec3 = KEXVector3<float>;
using Vec3d = KEXVector3<double>;

constexpr double EXISTING_TRIANGLE_PENALTY = 1.4044477616111841e306;
constexpr double START_WEIGHT = 1.7976931348623157e308;
constexpr double MIN_LENGTH = 1.1920929e-7;
constexpr double MIN_STEP = 2.220446049250313e-16;
constexpr double EDGE_FACTOR = 0.875;


Vec3d toDouble(const Vec3& v) { return Vec3d(double(v.x), double(v.y), double(v.z)); }

double distance(const Buffer& b, int u, int v)
{
  const Vec3& p = b.vertexList[u];
  const Vec3& q = b.vertexList[v];
  const double dx = double(p.x) - double(q.x), dy = double(p.y) - double(q.y), dz = double(p.z) - double(q.z);
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

bool validBuffer(const Buffer* b) { return b && b->isConsistent(); }

// --- appending triangles -------------------------------------------------------------------------

// Cuts the triangle lists back to t0 entries without touching any adjacency: only valid while no
// adjacency entry points into the cut triangles and no vertex list holds their corners.
void cutTriangles(Buffer& b, int t0)
{
  if (b.triangleAdjacencyList.getCount() > t0)
    b.triangleAdjacencyList.setCount(t0);
  if (b.triangleNormalList.getCount() > t0)
    b.triangleNormalList.setCount(t0);
  if (b.triangleColorList.getCount() > t0)
    b.triangleColorList.setCount(t0);
  if (b.triangleAngleList.getCount() > t0)
    b.triangleAngleList.setCount(t0);
  if (b.triangleList.getCount() > t0)
    b.triangleList.setCount(t0);
}

// Cuts the vertex lists back to v0 entries (the cut vertices are used by no triangle any more).
void cutVertices(Buffer& b, int v0)
{
  if (b.vertexAdjacencyList.getCount() > v0)
    b.vertexAdjacencyList.setCount(v0);
  if (b.vertexNormalList.getCount() > v0)
    b.vertexNormalList.setCount(v0);
  if (b.vertexColorList.getCount() > v0)
    b.vertexColorList.setCount(v0);
  if (b.vertexEdgeFlagList.getCount() > v0)
    b.vertexEdgeFlagList.setCount(v0);
  if (b.vertexScalarList.getCount() > v0)
    b.vertexScalarList.setCount(v0);
  if (b.textureCoordinateList.getCount() > v0)
    b.textureCoordinateList.setCount(v0);
  if (b.vertexList.getCount() > v0)
    b.vertexList.setCount(v0);
}

// Normal, angles and colour of the appended triangles t0 ... T-1 (for the lists that are present).
void fillTriangleAttributes(Buffer& b, int t0, const KEXRGBA<float>& color)
{
  const int T = b.getTriangleCount();
  const bool normals = b.hasTriangleNormalList(), angles = b.hasTriangleAngleList(),
             colors = b.hasTriangleColorList();
  for (int t = t0; t < T; ++t) {
    const Tri& tri = b.triangleList[t];
    const Vec3& p0 = b.vertexList[tri[0]];
    const Vec3& p1 = b.vertexList[tri[1]];
    const Vec3& p2 = b.vertexList[tri[2]];
    if (normals)
      KEXTriangleCalculus3<float>::normalVector(b.triangleNormalList[t], p0, p1, p2);
    if (angles) {
      Vec3d a;
      KEXTriangleCalculus<Vec3>::angles(a, p0, p1, p2);
      b.triangleAngleList[t] = Vec3(float(a.x), float(a.y), float(a.z));
    }
    if (colors)
      b.triangleColorList[t] = color;
  }
}

// Adds the corners of the appended triangles t0 ... T-1 to their vertices' lists. They are larger
// than every corner there, so each one is appended. On a shortage the corners added so far are
// taken out again and false is returned.
bool addCornersToVertexLists(Buffer& b, int t0)
{
  if (!b.hasVertexAdjacencyList())
    return true;
  const int end = 3 * b.getTriangleCount();
  for (int c = 3 * t0; c < end; ++c) {
    if (b.vertexAdjacencyList[b.cornerVertex(c)].append(c))
      continue;
    for (int d = c - 1; d >= 3 * t0; --d) { // the latest corners sit at the lists' ends
      KEXCompactIndexArray& list = b.vertexAdjacencyList[b.cornerVertex(d)];
      list.setCount(list.getCount() - 1);
    }
    return false;
  }
  return true;
}

// Sets the adjacency of every corner on the edge of corner c as a fresh build would: an edge joined
// by exactly two corners links them, any other count gives -1 to each. Needs both adjacency lists.
void relinkEdge(Buffer& b, int c)
{
  const int V = b.getVertexCount();
  const int a = b.cornerVertex(c);
  const int s = b.cornerVertex(Buffer::previousCorner(c));
  if (a < 0 || a >= V || s < 0 || s >= V || a == s) {
    adjacency(b, c) = -1;
    return;
  }
  const KEXCompactIndexArray& list = b.vertexAdjacencyList[a];
  const Tri* tris = b.triangleList.getData();
  int found[2] = {-1, -1};
  int count = 0;
  auto visit = [&](auto&& onCorner) {
    for (int x : list) {
      const int t = x / 3, k = x - 3 * t;
      if (tris[t][k == 2 ? 0 : k + 1] == s) // runs a -> s: the next corner carries the edge
        onCorner(3 * t + (k == 2 ? 0 : k + 1));
      if (tris[t][k == 0 ? 2 : k - 1] == s) // runs s -> a: x carries it
        onCorner(x);
    }
  };
  visit([&](int e) {
    if (count < 2)
      found[count] = e;
    ++count;
  });
  if (count == 2) {
    adjacency(b, found[0]) = found[1];
    adjacency(b, found[1]) = found[0];
  } else {
    visit([&](int e) { adjacency(b, e) = -1; });
  }
}

void relinkAppended(Buffer& b, int t0)
{
  const int end = 3 * b.getTriangleCount();
  for (int c = 3 * t0; c < end; ++c)
    relinkEdge(b, c);
}

// Links x and y both ways. Should either be linked already (a corner named twice), the edge is
// shared by more than two triangles and every corner involved gets -1 instead.
void linkPair(Buffer& b, int x, int y)
{
  int& ex = adjacency(b, x);
  int& ey = adjacency(b, y);
  if (ex < 0 && ey < 0) {
    ex = y;
    ey = x;
    return;
  }
  for (int z : {x, y}) {
    int& e = adjacency(b, z);
    if (e >= 0 && adjacency(b, e) == z)
      adjacency(b, e) = -1;
    e = -1;
  }
}

// Links the appended triangles t0 ... T-1 among themselves (used without a vertex adjacency list,
// where existing triangles cannot be found): edges are matched by sorting their vertex pairs.
bool linkAmongAppended(Buffer& b, int t0)
{
  struct EdgeKey {
    uint64_t key;
    int corner;
  };
  const int first = 3 * t0, end = 3 * b.getTriangleCount();
  const size_t n = size_t(end - first);
  KEXScratchAllocator scratch;
  EdgeKey* keys = scratch.allocate<EdgeKey>(n);
  if (!keys)
    return false;
  size_t count = 0;
  for (int c = first; c < end; ++c) {
    const int a = b.cornerVertex(c), s = b.cornerVertex(Buffer::previousCorner(c));
    if (a == s)
      continue;
    const uint32_t lo = uint32_t(std::min(a, s)), hi = uint32_t(std::max(a, s));
    keys[count++] = EdgeKey{(uint64_t(lo) << 32) | hi, c};
  }
  std::sort(keys, keys + count, [](const EdgeKey& x, const EdgeKey& y) {
    return x.key < y.key || (x.key == y.key && x.corner < y.corner);
  });
  for (size_t i = 0; i < count;) {
    size_t j = i + 1;
    while (j < count && keys[j].key == keys[i].key)
      ++j;
    if (j - i == 2) {
      adjacency(b, keys[i].corner) = keys[i + 1].corner;
      adjacency(b, keys[i + 1].corner) = keys[i].corner;
    }
    i = j;
  }
  return true;
}

// The last step of every append: vertex adjacency, then triangle adjacency. All-or-nothing: on
// failure the appended triangles are gone again.
bool finishAppend(Buffer& b, int t0, bool linkInternally)
{
  if (!addCornersToVertexLists(b, t0)) {
    cutTriangles(b, t0);
    return false;
  }
  if (!b.hasTriangleAdjacencyList())
    return true;
  if (b.hasVertexAdjacencyList()) {
    relinkAppended(b, t0);
    return true;
  }
  if (linkInternally && !linkAmongAppended(b, t0)) {
    cutTriangles(b, t0); // nothing points into them yet: no vertex lists, no links made
    return false;
  }
  return true;
}

// --- cones and strips ----------------------------------------------------------------------------

// Ring access: either a list of vertex indices or a block of consecutive indices.
struct Ring {
  const int* list = nullptr;
  int first = 0;
  int count = 0;
  int operator[](int i) const { return list ? list[i] : first + i; }
};

Tri* writeCone(Tri* out, const Ring& ring, int apex, bool clockwise)
{
  const int n = ring.count;
  for (int i = 0; i < n; ++i) {
    const int a = ring[i], b = ring[(i + 1) % n];
    *out++ = clockwise ? Tri(b, a, apex) : Tri(a, b, apex);
  }
  return out;
}

// Joins ring B (nearer the first pole) to ring A (one step further): per sector i, with i' = i+1,
// the triangles (A[i], A[i'], B[i']) and (A[i], B[i'], B[i]).
Tri* writeStrip(Tri* out, const Ring& A, const Ring& B)
{
  const int n = A.count;
  for (int i = 0; i < n; ++i) {
    const int j = (i + 1) % n;
    *out++ = Tri(A[i], A[j], B[j]);
    *out++ = Tri(A[i], B[j], B[i]);
  }
  return out;
}

bool cone(Buffer* buffer, const KEXValueList<int>& ring, int apex, bool clockwise)
{
  if (!validBuffer(buffer))
    return false;
  Buffer& b = *buffer;
  const int n = ring.getCount();
  if (n < 3 || !b.isValidVertex(apex) || b.getTriangleCount() > INT_MAX / 3 - n)
    return false;
  for (int v : ring)
    if (!b.isValidVertex(v))
      return false;
  const int t0 = b.getTriangleCount();
  if (!b.setTriangleCount(t0 + n))
    return false;
  writeCone(b.triangleList.getData() + t0, Ring{ring.getData(), 0, n}, apex, clockwise);
  fillTriangleAttributes(b, t0, KEXRGBA<float>(1.0f, 1.0f, 1.0f));
  return finishAppend(b, t0, true);
}

// --- minimum-weight loop triangulation -----------------------------------------------------------

// The weight table of a loop of n vertices: for every pair i < j, V(i, j) = W(i, j) + |v_i v_j| by
// columns (position (j-1)j/2 + i) and by rows, and the split k. Before a pair is solved its split
// slot holds the head of its list of penalised splits (-1: none).
class LoopTable {
public:
  static size_t pairs(int n) { return size_t(n) * size_t(n - 1) / 2; }
  static constexpr size_t BYTES_PER_PAIR = 2 * sizeof(double) + sizeof(int);
  static size_t bytes(int n)
  {
    if (n < 3)
      return 0;
    const size_t p = pairs(n);
    return p > SIZE_MAX / BYTES_PER_PAIR ? SIZE_MAX : p * BYTES_PER_PAIR;
  }

  bool allocate(int n)
  {
    const size_t size = bytes(n);
    if (size == SIZE_MAX)
      return false;
    m_n = n;
    m_memory = m_scratch.allocate<unsigned char>(size);
    if (!m_memory)
      return false;
    const size_t p = pairs(n);
    m_byColumn = static_cast<double*>(m_memory);
    m_byRow = m_byColumn + p;
    m_split = reinterpret_cast<int*>(m_byRow + p);
    return true;
  }

  size_t column(int i, int j) const { return size_t(j - 1) * size_t(j) / 2 + size_t(i); }
  // Start of row i: the pairs (i, i+1) ... (i, n-1) lie one after the other.
  size_t row(int i, int j) const
  {
    const size_t ui = size_t(i);
    return ui * size_t(m_n - 1) - ui * (ui - 1) / 2 + size_t(j - i - 1);
  }
  void set(int i, int j, double v, int k)
  {
    m_byColumn[column(i, j)] = v;
    m_byRow[row(i, j)] = v;
    m_split[column(i, j)] = k;
  }
  int& split(int i, int j) { return m_split[column(i, j)]; }
  double value(int i, int j) const { return m_byColumn[column(i, j)]; }
  // Row i and column j as arrays indexed by k.
  const double* rowOf(int i) const { return m_byRow + row(i, i + 1) - size_t(i + 1); }
  const double* columnOf(int j) const { return m_byColumn + column(0, j); }
  int* splits() { return m_split; }

private:
  KEXScratchAllocator m_scratch; // owns m_memory
  void* m_memory = nullptr;
  double* m_byColumn = nullptr;
  double* m_byRow = nullptr;
  int* m_split = nullptr;
  int m_n = 0;
};

struct Penalty {
  int k;
  int next;
};

// Split-slot mark of a pair (i, j) that is no loop edge yet joined by an edge of the mesh already:
// a triangulation using it as a diagonal would give that edge a third and fourth triangle.
constexpr int FORBIDDEN_EDGE = -2;

// What is known about the candidates of one loop before it is solved.
struct Conflicts {
  bool found = false;    // some candidate meets the mesh (the split slots hold marks and heads)
  bool repeated = false; // a vertex appears at two loop positions
};

// Finds the candidates of the loop v[0 ... n-1] that meet the mesh and threads them into the
// table's split slots: a triangle (i, k, j), i < k < j, that exists already goes into the list of
// pair (i, j) (head in the slot, -1: none); with edges set, a pair (i, j) that is no loop edge but
// is joined by a mesh edge is marked FORBIDDEN_EDGE (its triangle list no longer matters). Every
// corner at a loop vertex is looked at once per loop position of that vertex: through the vertex
// adjacency list when the buffer has one (cost linear in the loop vertices' valences), else by one
// pass over the triangles. Returns false on a shortage.
bool collectConflicts(const Buffer& b, const int* v, int n, bool edges, LoopTable& table,
                      KEXValueList<Penalty>& penalties, Conflicts& conflicts)
{
  struct Position {
    int vertex, index;
  };
  KEXValueList<Position> positions(1024, true);
  if (!positions.setCount(n))
    return false;
  for (int i = 0; i < n; ++i)
    positions[i] = Position{v[i], i};
  std::sort(positions.begin(), positions.end(), [](const Position& x, const Position& y) {
    return x.vertex < y.vertex || (x.vertex == y.vertex && x.index < y.index);
  });
  for (int i = 1; i < n; ++i)
    conflicts.repeated = conflicts.repeated || positions[i].vertex == positions[i - 1].vertex;
  auto range = [&](int vertex) {
    return std::equal_range(positions.begin(), positions.end(), Position{vertex, INT_MIN},
                            [](const Position& x, const Position& y) { return x.vertex < y.vertex; });
  };
  auto begin = [&]() {
    if (!conflicts.found) // first hit: the split slots become marks and list heads
      std::fill(table.splits(), table.splits() + LoopTable::pairs(n), -1);
    conflicts.found = true;
  };
  auto loopEdge = [n](int i, int j) { return j - i == 1 || (i == 0 && j == n - 1); };
  // Corner c of the mesh sits at loop position i.
  auto visit = [&](int c, int i) {
    const int n1 = b.cornerVertex(Buffer::nextCorner(c));
    const int n2 = b.cornerVertex(Buffer::previousCorner(c));
    auto r1 = range(n1), r2 = range(n2);
    if (edges)
      for (auto r : {r1, r2})
        for (auto p = r.first; p != r.second; ++p) {
          const int lo = std::min(i, p->index), hi = std::max(i, p->index);
          if (lo == hi || loopEdge(lo, hi))
            continue;
          begin();
          table.split(lo, hi) = FORBIDDEN_EDGE;
        }
    for (auto p = r1.first; p != r1.second; ++p)
      for (auto q = r2.first; q != r2.second; ++q) {
        const int k = std::min(p->index, q->index), j = std::max(p->index, q->index);
        if (k <= i || k == j)
          continue;
        begin();
        int& head = table.split(i, j);
        if (head == FORBIDDEN_EDGE)
          continue;
        if (!penalties.append(Penalty{k, head}))
          return false;
        head = penalties.getCount() - 1;
      }
    return true;
  };
  if (b.hasVertexAdjacencyList()) {
    for (int i = 0; i < n; ++i)
      for (int c : b.vertexAdjacencyList[v[i]])
        if (!visit(c, i))
          return false;
    return true;
  }
  const int corners = 3 * b.getTriangleCount();
  for (int c = 0; c < corners; ++c) {
    auto r = range(b.cornerVertex(c));
    for (auto p = r.first; p != r.second; ++p)
      if (!visit(c, p->index))
        return false;
  }
  return true;
}

// The first k in [first, end) with the smallest A[k] + B[k] below START_WEIGHT (sums that are not
// smaller, or NaN, never win), or -1. Two passes: the minimum in independent lanes, then the first
// k whose sum equals it; the sums are recomputed with the same single addition, so they match.
int firstMinimumScalar(const double* A, const double* B, int first, int end, double& minimum)
{
  double m0 = START_WEIGHT, m1 = START_WEIGHT, m2 = START_WEIGHT, m3 = START_WEIGHT;
  int k = first;
  for (; k + 3 < end; k += 4) {
    const double c0 = A[k] + B[k], c1 = A[k + 1] + B[k + 1], c2 = A[k + 2] + B[k + 2], c3 = A[k + 3] + B[k + 3];
    m0 = c0 < m0 ? c0 : m0;
    m1 = c1 < m1 ? c1 : m1;
    m2 = c2 < m2 ? c2 : m2;
    m3 = c3 < m3 ? c3 : m3;
  }
  for (; k < end; ++k) {
    const double c = A[k] + B[k];
    m0 = c < m0 ? c : m0;
  }
  const double m = std::min(std::min(m0, m1), std::min(m2, m3));
  if (!(m < START_WEIGHT))
    return -1;
  minimum = m;
  for (k = first; k < end; ++k)
    if (A[k] + B[k] == m)
      return k;
  return -1;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KEXMESH_LOOP_AVX2 1
// The same with four sums per instruction, for processors that have AVX2 (chosen at run time).
__attribute__((target("avx2"))) int firstMinimumAvx2(const double* A, const double* B, int first, int end,
                                                      double& minimum)
{
  __m256d m0 = _mm256_set1_pd(START_WEIGHT), m1 = m0;
  int k = first;
  for (; k + 8 <= end; k += 8) {
    const __m256d c0 = _mm256_add_pd(_mm256_loadu_pd(A + k), _mm256_loadu_pd(B + k));
    const __m256d c1 = _mm256_add_pd(_mm256_loadu_pd(A + k + 4), _mm256_loadu_pd(B + k + 4));
    m0 = _mm256_min_pd(c0, m0); // a NaN sum yields the second operand: it never wins
    m1 = _mm256_min_pd(c1, m1);
  }
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, _mm256_min_pd(m0, m1));
  double m = std::min(std::min(lanes[0], lanes[1]), std::min(lanes[2], lanes[3]));
  for (; k < end; ++k) {
    const double c = A[k] + B[k];
    m = c < m ? c : m;
  }
  if (!(m < START_WEIGHT))
    return -1;
  minimum = m;
  const __m256d target = _mm256_set1_pd(m);
  for (k = first; k + 4 <= end; k += 4) {
    const __m256d c = _mm256_add_pd(_mm256_loadu_pd(A + k), _mm256_loadu_pd(B + k));
    const int mask = _mm256_movemask_pd(_mm256_cmp_pd(c, target, _CMP_EQ_OQ));
    if (mask)
      return k + __builtin_ctz(unsigned(mask));
  }
  for (; k < end; ++k)
    if (A[k] + B[k] == m)
      return k;
  return -1;
}
#endif

int firstMinimum(const double* A, const double* B, int first, int end, double& minimum)
{
#ifdef KEXMESH_LOOP_AVX2
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2 && end - first >= 8)
    return firstMinimumAvx2(A, B, first, end, minimum);
#endif
  return firstMinimumScalar(A, B, first, end, minimum);
}

enum class Solved { Yes, Unfillable, OutOfMemory };

// Solves the table for the loop vertices v[0 ... n-1]. Two rules for the candidates that meet the
// mesh. Vertex loops (the long-standing rule for callers that build their own surfaces): with n >= 4
// and a vertex adjacency list, a triangle that exists already costs a penalty that loses against
// every real triangle, so it is taken only when nothing else triangulates that part. Edge loops
// (strict: they fill holes of the mesh itself): such a triangle, for any n, and a diagonal that is
// an edge of the mesh already are forbidden: their weight is infinite, and a loop whose every
// triangulation needs one is unfillable.
Solved solveLoop(const Buffer& b, const int* v, int n, bool strict, LoopTable& table)
{
  if (!table.allocate(n))
    return Solved::OutOfMemory;
  KEXValueList<Penalty> penalties(256, true);
  Conflicts conflicts;
  if ((strict || (n >= 4 && b.hasVertexAdjacencyList())) &&
      !collectConflicts(b, v, n, strict, table, penalties, conflicts))
    return Solved::OutOfMemory;
  if (strict && conflicts.repeated)
    return Solved::Unfillable; // a vertex twice: two diagonals could join the same two vertices
  for (int i = 0; i + 1 < n; ++i)
    table.set(i, i + 1, distance(b, v[i], v[i + 1]), -1);
  const Penalty* penalty = penalties.getData();
  for (int d = 2; d < n; ++d) {
    for (int i = 0, j = d; j < n; ++i, ++j) {
      const int slot = conflicts.found ? table.split(i, j) : -1;
      if (slot == FORBIDDEN_EDGE) {
        table.set(i, j, INFINITY, i + 1);
        continue;
      }
      const double* A = table.rowOf(i);    // A[k] = V(i, k)
      const double* B = table.columnOf(j); // B[k] = V(k, j)
      const double lij = distance(b, v[i], v[j]);
      double best = START_WEIGHT;
      int bestK = -1;
      if (slot < 0) {
        // Minimum of V(i,k) + V(k,j) (+ lij, the same for every k), first k on ties.
        double m = START_WEIGHT;
        const int k = firstMinimum(A, B, i + 1, j, m);
        if (k >= 0) {
          best = m + lij;
          bestK = k;
        }
      } else {
        for (int k = i + 1; k < j; ++k) {
          bool exists = false;
          for (int p = slot; p >= 0 && !exists; p = penalty[p].next)
            exists = penalty[p].k == k;
          if (exists && strict)
            continue;
          const double cost = exists ? EXISTING_TRIANGLE_PENALTY : (A[k] + B[k]) + lij;
          if (cost < best) {
            best = cost;
            bestK = k;
          }
        }
      }
      if (bestK < 0) {
        // No finite candidate: forbidden for edge loops; for vertex loops the smallest split stands.
        table.set(i, j, strict ? INFINITY : best + lij, i + 1);
        continue;
      }
      table.set(i, j, best + lij, bestK);
    }
  }
  if (strict && !(table.value(0, n - 1) < START_WEIGHT))
    return Solved::Unfillable;
  return Solved::Yes;
}

// One pending sub-range of the emission: its split, the left part's half-edge once known, and how
// far it got (0: nothing emitted, 1: left part out, 2: both parts out).
struct Frame {
  int i, j, k, left, state;
};

// Emits the triangles of the solved table into the triangle list from t0 on, in the order of the
// recursion "left part, right part, triangle (v[i], v[j], v[k])". leaf(i) is the half-edge of the
// sub-range (i, i+1): -1 for vertex loops, the loop's corner i+1 for edge loops. When link is set
// each triangle's corner 0 is linked with the left part's half-edge and corner 2 with the right
// part's. Returns the half-edge of the whole loop (corner 1 of the last triangle).
template <class Leaf>
int emitLoop(Buffer& b, const int* v, int n, LoopTable& table, int t0, bool link, Leaf leaf, Frame* stack)
{
  int top = 0;
  stack[0] = Frame{0, n - 1, 0, -1, 0};
  int result = -1; // half-edge of the part finished last
  int t = t0;
  while (top >= 0) {
    Frame& f = stack[top];
    if (f.state == 0) {
      f.k = table.split(f.i, f.j);
      f.state = 1;
      if (f.k > f.i + 1) {
        stack[++top] = Frame{f.i, f.k, 0, -1, 0};
        continue;
      }
      result = leaf(f.i);
    }
    if (f.state == 1) {
      f.left = result;
      f.state = 2;
      if (f.j > f.k + 1) {
        stack[++top] = Frame{f.k, f.j, 0, -1, 0};
        continue;
      }
      result = leaf(f.k);
    }
    // state 2: both parts are out; result is the right part's half-edge.
    b.triangleList[t] = Tri(v[f.i], v[f.j], v[f.k]);
    if (link) {
      if (f.left >= 0)
        linkPair(b, 3 * t, f.left);
      if (result >= 0)
        linkPair(b, 3 * t + 2, result);
    }
    result = 3 * t + 1;
    ++t;
    --top;
  }
  return result;
}

using Outcome = KEXTriangulationTools::EdgeLoopOutcome;

// The shared body of the vertex and edge loop triangulations. corners is null for vertex loops;
// edge loops are solved under the strict rule (see solveLoop).
Outcome triangulateLoop(Buffer& b, const int* v, const int* corners, int n, const KEXRGBA<float>& color)
{
  const int t0 = b.getTriangleCount();
  if (t0 > INT_MAX / 3 - n)
    return Outcome::Invalid;
  LoopTable table;
  const Solved solved = solveLoop(b, v, n, corners != nullptr, table);
  if (solved != Solved::Yes)
    return solved == Solved::Unfillable ? Outcome::Unfillable : Outcome::OutOfMemory;
  KEXScratchAllocator scratch;
  Frame* stack = scratch.allocate<Frame>(size_t(n));
  if (!stack || !b.setTriangleCount(t0 + n - 2))
    return Outcome::OutOfMemory;
  // Without a vertex adjacency list the links are made during the emission (nothing can fail
  // after it); with one, a fresh-build linking follows once the corners are in the vertex lists.
  const bool linkNow = b.hasTriangleAdjacencyList() && !b.hasVertexAdjacencyList();
  int whole;
  if (corners)
    whole = emitLoop(b, v, n, table, t0, linkNow, [corners](int i) { return corners[i + 1]; }, stack);
  else
    whole = emitLoop(b, v, n, table, t0, linkNow, [](int) { return -1; }, stack);
  if (linkNow && corners)
    linkPair(b, whole, corners[0]);
  fillTriangleAttributes(b, t0, color);
  return finishAppend(b, t0, false) ? Outcome::Filled : Outcome::OutOfMemory;
}

bool vertexLoop(Buffer* buffer, const KEXValueList<int>& loop, bool reverse)
{
  if (!validBuffer(buffer))
    return false;
  Buffer& b = *buffer;
  const int n = loop.getCount();
  if (n < 3)
    return false;
  for (int v : loop)
    if (!b.isValidVertex(v))
      return false;
  KEXValueList<int> reversed(1024, true);
  const int* v = loop.getData();
  if (reverse) {
    if (!reversed.setCount(n))
      return false;
    for (int i = 0; i < n; ++i)
      reversed[i] = loop[n - 1 - i];
    v = reversed.getData();
  }
  return triangulateLoop(b, v, nullptr, n, KEXRGBA<float>(1.0f, 1.0f, 1.0f)) == Outcome::Filled;
}

// --- solids --------------------------------------------------------------------------------------

// The ellipsoid's angular step: pi/4, or, when L is below the largest radius, the angle under which
// the cap of height L of the largest radius appears, scaled by the smallest one. 0 when no usable
// step exists.
double angularStep(double L, double rmin, double rmax)
{
  double step = std::numbers::pi / 4.0;
  if (L < rmax) {
    const double u = rmax - L;
    const double q = u / rmax;
    const double phi = 2.0 * std::atan2(std::sqrt(1.0 - q * q) * rmin, u);
    step = std::min(step, phi);
  }
  return step > MIN_STEP ? step : 0.0;
}

// Appends vertexCount vertices (positions and normals written by the caller) with neutral values in
// the other present vertex lists. The vertex adjacency entries are empty lists.
bool appendVertices(Buffer& b, int vertexCount)
{
  const int v0 = b.getVertexCount();
  if (!b.setVertexCount(v0 + vertexCount))
    return false;
  for (int v = v0; v < v0 + vertexCount; ++v) {
    if (b.hasVertexColorList())
      b.vertexColorList[v] = KEXRGBA<float>(1.0f, 1.0f, 1.0f);
    if (b.hasVertexEdgeFlagList())
      b.vertexEdgeFlagList[v] = 0;
    if (b.hasVertexScalarList())
      b.vertexScalarList[v] = 0.0f;
    if (b.hasTextureCoordinateList())
      b.textureCoordinateList[v] = KEXVector2<float>(0.0f, 0.0f);
  }
  return true;
}

// A surface of revolution as the ellipsoid lays it out: pole, rings of `sectors` vertices, pole.
// The caller has placed the vertices (base = index of the first pole); this appends the triangles:
// the counter-clockwise cone from ring 1 to the first pole, strips between neighbouring rings, the
// clockwise cone from the last ring to the second pole. All-or-nothing including the vertices.
bool closeRingSurface(Buffer& b, int v0, int base, int rings, int sectors)
{
  const int t0 = b.getTriangleCount();
  const int count = 2 * sectors * rings;
  if (!b.setTriangleCount(t0 + count)) {
    cutVertices(b, v0);
    return false;
  }
  auto ring = [&](int r) { return Ring{nullptr, base + 1 + (r - 1) * sectors, sectors}; };
  Tri* out = b.triangleList.getData() + t0;
  out = writeCone(out, ring(1), base, false);
  for (int r = 1; r + 1 <= rings; ++r)
    out = writeStrip(out, ring(r + 1), ring(r));
  writeCone(out, ring(rings), base + rings * sectors + 1, true);
  fillTriangleAttributes(b, t0, KEXRGBA<float>(1.0f, 1.0f, 1.0f));
  if (!finishAppend(b, t0, true)) {
    cutVertices(b, v0);
    return false;
  }
  return true;
}

// Whether rings and sectors give vertex and corner counts that fit the buffer's int indices.
bool countsFit(const Buffer& b, double rings, double sectors)
{
  const double vertices = rings * sectors + 2.0;
  const double corners = 6.0 * sectors * rings;
  return vertices < double(INT_MAX - b.getVertexCount()) && corners < double(INT_MAX) - 3.0 * b.getTriangleCount();
}

} // namespace

size_t KEXTriangulationTools::loopTableBytes(int n) { return LoopTable::bytes(n); }

bool KEXTriangulationTools::clockwiseCone(KEXTriangleMeshBuffer* buffer, const KEXValueList<int>& ring, int apex)
{
  return cone(buffer, ring, apex, true);
}

bool KEXTriangulationTools::counterClockwiseCone(KEXTriangleMeshBuffer* buffer, const KEXValueList<int>& ring,
                                                 int apex)
{
  return cone(buffer, ring, apex, false);
}

bool KEXTriangulationTools::clockwiseVertexLoop(KEXTriangleMeshBuffer* buffer, const KEXValueList<int>& loop)
{
  return vertexLoop(buffer, loop, false);
}

bool KEXTriangulationTools::counterClockwiseVertexLoop(KEXTriangleMeshBuffer* buffer, const KEXValueList<int>& loop)
{
  return vertexLoop(buffer, loop, true);
}

bool KEXTriangulationTools::clockwiseEdgeLoop(KEXTriangleMeshBuffer* buffer, const KEXValueList<int>& loop)
{
  return clockwiseEdgeLoop(buffer, loop.getData(), loop.getCount());
}

bool KEXTriangulationTools::clockwiseEdgeLoop(KEXTriangleMeshBuffer* buffer, const int* loop, int n)
{
  EdgeLoopOutcome outcome;
  return clockwiseEdgeLoop(buffer, loop, n, outcome);
}

bool KEXTriangulationTools::clockwiseEdgeLoop(KEXTriangleMeshBuffer* buffer, const int* loop, int n,
                                              EdgeLoopOutcome& outcome)
{
  outcome = EdgeLoopOutcome::Invalid;
  if (!validBuffer(buffer) || !loop || n < 3)
    return false;
  Buffer& b = *buffer;
  const int corners = 3 * b.getTriangleCount();
  const bool adjacencyPresent = b.hasTriangleAdjacencyList();
  // The loop must be a chain of half-edges between valid vertices, of border corners when the
  // adjacency is known: anything else would be linked into a corrupt adjacency.
  for (int m = 0; m < n; ++m) {
    const int c = loop[m];
    if (c < 0 || c >= corners || !b.isValidVertex(b.cornerVertex(c)) || (adjacencyPresent && adjacency(b, c) >= 0))
      return false;
  }
  for (int m = 0; m < n; ++m)
    if (b.cornerVertex(Buffer::previousCorner(loop[m])) != b.cornerVertex(loop[(m + n - 1) % n]))
      return false;
  KEXValueList<int> vertices(1024, true);
  if (!vertices.setCount(n)) {
    outcome = EdgeLoopOutcome::OutOfMemory;
    return false;
  }
  for (int m = 0; m < n; ++m)
    vertices[m] = b.cornerVertex(loop[m]);
  const KEXRGBA<float> color =
      b.hasTriangleColorList() ? b.triangleColorList[loop[0] / 3] : KEXRGBA<float>(1.0f, 1.0f, 1.0f);
  outcome = triangulateLoop(b, vertices.getData(), loop, n, color);
  return outcome == EdgeLoopOutcome::Filled;
}

bool KEXTriangulationTools::ellipsoid(KEXTriangleMeshBuffer* buffer, const KEXVector3<float>& center,
                                      const KEXVector3<float>& radii, float edgeLength)
{
  if (!validBuffer(buffer))
    return false;
  Buffer& b = *buffer;
  const double L = EDGE_FACTOR * double(edgeLength);
  const double rx = radii.x, ry = radii.y, rz = radii.z;
  if (!(L > MIN_LENGTH) || !(rx > MIN_LENGTH) || !(ry > MIN_LENGTH) || !(rz > MIN_LENGTH))
    return false;
  if (!std::isfinite(L) || !std::isfinite(rx) || !std::isfinite(ry) || !std::isfinite(rz))
    return false;
  double r[3] = {rx, ry, rz};
  std::sort(r, r + 3);
  const double step = angularStep(L, r[0], r[2]);
  if (step == 0.0)
    return false;
  const double sectorsD = std::max(2.0, std::ceil(2.0 * std::numbers::pi / step));
  const double ringsD = std::max(2.0, std::ceil(std::numbers::pi / step));
  if (!countsFit(b, ringsD - 1.0, sectorsD))
    return false;
  const int s = int(sectorsD), m = int(ringsD);

  const int v0 = b.getVertexCount();
  const int vertexCount = (m - 1) * s + 2;
  if (!appendVertices(b, vertexCount))
    return false;
  const bool normals = b.hasVertexNormalList(), texture = b.hasTextureCoordinateList();
  const Vec3d c = toDouble(center);
  auto place = [&](int index, double sinT, double cosT, double phi, float u, float w) {
    const Vec3d offset(rx * sinT * std::cos(phi), ry * sinT * std::sin(phi), rz * cosT);
    const Vec3d p = c + offset;
    b.vertexList[index] = Vec3(float(p.x), float(p.y), float(p.z));
    if (normals) {
      Vec3d n(offset.x / (rx * rx), offset.y / (ry * ry), offset.z / (rz * rz));
      n = n * (1.0 / std::sqrt(n.squaredLength()));
      b.vertexNormalList[index] = Vec3(float(n.x), float(n.y), float(n.z));
    }
    if (texture)
      b.textureCoordinateList[index] = KEXVector2<float>(u, w);
  };
  place(v0, 0.0, 1.0, 0.0, 0.0f, 0.0f);
  for (int ring = 1; ring < m; ++ring) {
    const double theta = std::numbers::pi * ring / m;
    const double sinT = std::sin(theta), cosT = std::cos(theta);
    for (int i = 0; i < s; ++i)
      place(v0 + 1 + (ring - 1) * s + i, sinT, cosT, 2.0 * std::numbers::pi * i / s, float(i) / float(s), float(ring) / float(m));
  }
  place(v0 + (m - 1) * s + 1, 0.0, -1.0, 0.0, 0.0f, 1.0f);
  return closeRingSurface(b, v0, v0, m - 1, s);
}

bool KEXTriangulationTools::frustrum(KEXTriangleMeshBuffer* buffer, const KEXVector3<float>& bottom,
                                     const KEXVector3<float>& top, float bottomRadius, float topRadius,
                                     float edgeLength)
{
  if (!validBuffer(buffer))
    return false;
  Buffer& b = *buffer;
  const double L = EDGE_FACTOR * double(edgeLength);
  const double r0 = bottomRadius, r1 = topRadius;
  const Vec3d p0 = toDouble(bottom), p1 = toDouble(top);
  const Vec3d axis = p1 - p0;
  const double h = std::sqrt(axis.squaredLength());
  if (!(L > MIN_LENGTH) || !(r0 > MIN_LENGTH) || !(r1 > MIN_LENGTH) || !(h > MIN_LENGTH))
    return false;
  if (!std::isfinite(L) || !std::isfinite(r0) || !std::isfinite(r1) || !std::isfinite(h) ||
      !std::isfinite(p0.squaredLength()))
    return false;
  // Sectors: the chord of the larger circle stays within L (the step never exceeds the
  // ellipsoid's pi/4).
  const double rmax = std::max(r0, r1);
  const double step = std::min(std::numbers::pi / 4.0, 2.0 * std::asin(std::min(1.0, L / (2.0 * rmax))));
  if (!(step > MIN_STEP))
    return false;
  const double sectorsD = std::max(3.0, std::ceil(2.0 * std::numbers::pi / step));
  const double slant = std::sqrt(h * h + (r1 - r0) * (r1 - r0));
  const double sideD = std::max(1.0, std::ceil(slant / L)); // side segments
  const double cap0D = std::max(0.0, std::ceil(r0 / L) - 1.0), cap1D = std::max(0.0, std::ceil(r1 / L) - 1.0);
  const double ringsD = cap0D + sideD + 1.0 + cap1D;
  if (!countsFit(b, ringsD, sectorsD))
    return false;
  const int s = int(sectorsD), side = int(sideD), cap0 = int(cap0D), cap1 = int(cap1D), rings = int(ringsD);

  // Frame: w points out of the bottom cap (the ellipsoid's first pole direction), u and v span the
  // caps with u x v = w, so that the sectors turn counter-clockwise seen from the first pole.
  const Vec3d a = axis * (1.0 / h);
  const Vec3d w = -a;
  Vec3d helper = std::fabs(w.x) < 0.9 ? Vec3d(1, 0, 0) : Vec3d(0, 1, 0);
  Vec3d u = helper - w * helper.dot(w);
  u = u * (1.0 / std::sqrt(u.squaredLength()));
  const Vec3d v = w.cross(u);

  const int v0 = b.getVertexCount();
  if (!appendVertices(b, rings * s + 2))
    return false;
  const bool normals = b.hasVertexNormalList(), texture = b.hasTextureCoordinateList();
  auto store = [&](int index, const Vec3d& p, const Vec3d& n, float tu, float tv) {
    b.vertexList[index] = Vec3(float(p.x), float(p.y), float(p.z));
    if (normals)
      b.vertexNormalList[index] = Vec3(float(n.x), float(n.y), float(n.z));
    if (texture)
      b.textureCoordinateList[index] = KEXVector2<float>(tu, tv);
  };
  auto unit = [](const Vec3d& x) { return x * (1.0 / std::sqrt(x.squaredLength())); };
  const float ringScale = 1.0f / float(rings + 1);
  store(v0, p0, w, 0.0f, 0.0f);
  int ring = 0;
  // One ring: centre on the axis, radius, and the normal as a function of the radial direction.
  auto addRing = [&](const Vec3d& centre, double radius, auto normalOf) {
    ++ring;
    for (int i = 0; i < s; ++i) {
      const double phi = 2.0 * std::numbers::pi * i / s;
      const Vec3d radial = u * std::cos(phi) + v * std::sin(phi);
      store(v0 + 1 + (ring - 1) * s + i, centre + radial * radius, normalOf(radial), float(i) / float(s),
            float(ring) * ringScale);
    }
  };
  auto sideNormal = [&](const Vec3d& radial) { return unit(radial * h - a * (r1 - r0)); };
  for (int t = 1; t <= cap0; ++t)
    addRing(p0, r0 * t / (cap0 + 1), [&](const Vec3d&) { return w; });
  for (int t = 0; t <= side; ++t) {
    const double f = double(t) / side;
    const Vec3d centre = p0 + axis * f;
    const double radius = r0 + (r1 - r0) * f;
    if (t == 0)
      addRing(centre, radius, [&](const Vec3d& radial) { return unit(sideNormal(radial) + w); });
    else if (t == side)
      addRing(centre, radius, [&](const Vec3d& radial) { return unit(sideNormal(radial) + a); });
    else
      addRing(centre, radius, sideNormal);
  }
  for (int t = cap1; t >= 1; --t)
    addRing(p1, r1 * t / (cap1 + 1), [&](const Vec3d&) { return a; });
  store(v0 + rings * s + 1, p1, a, 0.0f, 1.0f);
  return closeRingSurface(b, v0, v0, rings, s);
}
