// Triangulation tools: fans, minimum-weight loop triangulations and two tessellated solids, all
// appended to a caller's buffer.
//
// Loop triangulation is the classic dynamic programme for the minimum-weight triangulation of a
// polygon (Gilbert 1979, Klincsek 1980; used for hole filling by Barequet and Sharir 1995): the
// weight W(i, j) of the best triangulation of the sub-loop i ... j is the minimum over the splits k
// of W(i, k) + W(k, j) + the perimeter of triangle (i, k, j). It takes O(n^3) time and O(n^2)
// memory; long loops are solved on the worker threads, one gap j - i after the other. The inner
// minimum runs over k with one fixed row and one fixed column of the table, so the table is kept
// twice, once by rows and once by columns, and V(i, j) = W(i, j) + |v_i v_j| is
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
// The shared append (all-or-nothing, see TriangulationTools.cpp) ends every loop triangulation.
#include "kexmesh/reconstruct/TriangulationTools.h"
#include "kexmesh/reconstruct/internal/TriangleAppend.h"
#include "kexmesh/core/internal/Corners.h"

#include "kex/Memory.h"
#include "kex/Thread.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/internal/ScratchAllocator.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <thread>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

using namespace kextriangulation;
using kexcorner::adjacency;

constexpr double EXISTING_TRIANGLE_PENALTY = 1.4044477616111841e306;
constexpr double START_WEIGHT = 1.7976931348623157e308;

double distance(const Buffer& b, int u, int v)
{
  const Vec3& p = b.vertexList[u];
  const Vec3& q = b.vertexList[v];
  const double dx = double(p.x) - double(q.x), dy = double(p.y) - double(q.y), dz = double(p.z) - double(q.z);
  return std::sqrt(dx * dx + dy * dy + dz * dz);
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

// Loops from this length on are solved on the worker threads. A gap of a shorter loop is too little
// work to share: handing each gap over between the threads cost more than it saved (closing 500
// holes of up to 200 edges took twice as long with threads from 192 edges on).
constexpr int PARALLEL_LOOP = 512;

// The pairs of one gap j - i depend only on pairs of smaller gaps, so each gap is shared out among
// the threads and the next one starts when it is done. The work items are runs of consecutive pairs
// of one gap (about 4096 candidates each), numbered gap by gap; a thread that draws an item of gap
// d waits until every item of the smaller gaps is finished. Each pair is computed exactly as on one
// thread, so the table is the same for any thread count.
template <class SolvePair>
class GapSweep : public KEXMultiThread {
public:
  GapSweep(int n, SolvePair& solvePair) : m_n(n), m_solvePair(solvePair)
  {
    for (int d = 2; d < n; ++d)
      m_items += items(d);
  }
  /// Whether the items can be numbered by the object's int counter.
  bool fitsCounter() const { return m_items < INT_MAX; }
  bool run() override
  {
    sweep();
    return true;
  }
  bool runMainThread() override
  {
    sweep();
    return true;
  }

private:
  static int pairsPerItem(int d) { return (4096 + d - 1) / d; }
  int items(int d) const { return (m_n - d + pairsPerItem(d) - 1) / pairsPerItem(d); }

  void sweep()
  {
    int d = 2;
    long long first = 0; // number of the first item of gap d
    for (;;) {
      const long long w = getAtomic();
      if (w >= m_items)
        return;
      while (w >= first + items(d))
        first += items(d++);
      while (m_done.load(std::memory_order_acquire) < first)
        std::this_thread::yield();
      const int per = pairsPerItem(d);
      const int begin = int(w - first) * per, end = std::min(m_n - d, begin + per);
      for (int i = begin; i < end; ++i)
        m_solvePair(i, i + d);
      m_done.fetch_add(1, std::memory_order_release);
    }
  }

  const int m_n;
  SolvePair& m_solvePair;
  long long m_items = 0;
  std::atomic<long long> m_done{0};
};

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
  // The pair (i, j) from the pairs of smaller gaps.
  auto solvePair = [&](int i, int j) {
    const int slot = conflicts.found ? table.split(i, j) : -1;
    if (slot == FORBIDDEN_EDGE) {
      table.set(i, j, INFINITY, i + 1);
      return;
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
      return;
    }
    table.set(i, j, best + lij, bestK);
  };
  const int threads = KEXMultiThread::getDefaultNumberOfThreads();
  GapSweep<decltype(solvePair)> sweep(n, solvePair);
  if (n >= PARALLEL_LOOP && threads > 1 && sweep.fitsCounter()) {
    sweep.runAll(threads - 1);
  } else {
    for (int d = 2; d < n; ++d)
      for (int i = 0, j = d; j < n; ++i, ++j)
        solvePair(i, j);
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

} // namespace

size_t KEXTriangulationTools::loopTableBytes(int n) { return LoopTable::bytes(n); }

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
