// Orientation consolidation in two phases.
//
// Phase 1 propagates the winding over manifold edges: an iterative depth-first traversal (explicit
// stack, so any mesh size is safe) visits every triangle once and flips it when it runs the shared
// edge in the same direction as the neighbour that reached it first. Borders and non-manifold edges
// (-1 in the triangle adjacency list) stop the propagation, so every edge-connected piece ends with
// the winding of its lowest-index triangle.
//
// Phase 2 decides per vertex-connected component (union-find over the triangles' vertices) whether
// the piece faces inward: without vertex normals the sum of n . (pa - centre) over its triangles is
// six times the signed volume about the centre of its bounding box; with vertex normals each
// triangle normal is compared with the mean of its vertices' unit normals. A component whose sum is
// below DBL_EPSILON (a flat patch sums to exactly 0) is flipped as a whole. A sum that is not a
// number leaves the component alone.
//
// The flips are deferred. Every triangle is flipped at most once by the traversal, at its visit,
// so the traversal only records the corner each flip keeps and reads the triangle and adjacency
// lists through that record (a flip keeping corner j exchanges the vertices of corners j+1 and j+2
// and the edges of corners j and j+1). Phase 2 measures the recorded state the same way. The flips
// are then applied with flipTriangle, which keeps every present list consistent; an adjacency list
// built only for the traversal is removed before, so the flips do not spend time maintaining a
// list that is thrown away. The result is the same as flipping during the traversal: the final
// triangle list is, and every derived list is a function of it.
#include "kexmesh/repair/ConsolidateOrientationAlgorithm.h"
#include "kexmesh/core/internal/AdjacencyPreamble.h"

#include "kex/Error.h"
#include "kex/Memory.h"
#include "kex/Task.h"
#include "kexmesh/core/internal/ScratchAllocator.h"
#include "kexmesh/core/internal/UnionFind.h"

#include <cstdint>
#include <cstring>
#include <new>

KEXMESH_DEFINE_CLASS(KEXConsolidateOrientationAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using Buffer = KEXTriangleMeshBuffer;
using D = KEXVector3<double>;
constexpr double DBL_EPS = 2.220446049250313e-16;
constexpr int STACK_RESERVE = 32768;

// Corner arithmetic without divisions in the inner loops.
constexpr int NEXT[3] = {1, 2, 0};
constexpr int PREV[3] = {2, 0, 1};
/// SWAP_V[j][x]: the corner whose original vertex sits at corner x after a flip keeping j.
constexpr int SWAP_V[3][3] = {{0, 2, 1}, {2, 1, 0}, {1, 0, 2}};
/// SWAP_E[j][x]: the corner whose original edge ends at corner x after a flip keeping j.
constexpr int SWAP_E[3][3] = {{1, 0, 2}, {0, 2, 1}, {2, 1, 0}};

/// The winding state of phase 1: per triangle 0 = not visited, 1 = visited and kept, 2 + j =
/// visited and flipped keeping corner j. Reads the original lists as if the flips had been made.
class Winding {
public:
  Winding(const Buffer& b, unsigned char* state)
      : m_tris(b.triangleList.getData()), m_adj(b.triangleAdjacencyList.getData()), m_state(state),
        m_C(3 * b.getTriangleCount())
  {
  }
  bool visited(int t) const { return m_state[t] != 0; }
  int keep(int t) const { return m_state[t] >= 2 ? m_state[t] - 2 : -1; }
  void visit(int t) { m_state[t] = 1; }
  void flip(int t, int keepCorner) { m_state[t] = static_cast<unsigned char>(2 + keepCorner); }

  /// The vertex at corner x of t in its current state.
  int vertex(int t, int x) const
  {
    const int j = keep(t);
    return m_tris[t][j >= 0 ? SWAP_V[j][x] : x];
  }
  /// The adjacency entry of corner x of t in the current state, or -1.
  int entry(int t, int x) const
  {
    const int j = keep(t);
    const int c = m_adj[t][j >= 0 ? SWAP_E[j][x] : x];
    if (c < 0 || c >= m_C)
      return -1;
    const int n = c / 3, e = c - 3 * n;
    const int jn = keep(n);
    return jn >= 0 ? 3 * n + SWAP_E[jn][e] : c;
  }
  /// The original vertex at corner x (for triangles not visited yet, the current one too).
  int original(int t, int x) const { return m_tris[t][x]; }

private:
  const KEXTriangle<int>* m_tris;
  const KEXTriangle<int>* m_adj;
  unsigned char* m_state;
  int m_C;
};

/// Phase 1: depth-first propagation of the winding over manifold edges, recorded in w.
bool propagate(const Buffer& b, Winding& w)
{
  const int T = b.getTriangleCount();
  KEXValueList<int> stack(16);
  if (!stack.setCount(STACK_RESERVE))
    return false;
  int top = 0;
  int* st = stack.getData();
  auto push = [&](int c) -> bool {
    if (c < 0)
      return true;
    if (top == stack.getCount()) {
      if (!stack.setCount(stack.getCount() * 2))
        return false;
      st = stack.getData();
    }
    st[top++] = c;
    return true;
  };

  for (int seed = 0; seed < T; ++seed) {
    if (w.visited(seed))
      continue;
    w.visit(seed);
    if (!push(w.entry(seed, 2)) || !push(w.entry(seed, 0)) || !push(w.entry(seed, 1)))
      return false;
    while (top > 0) {
      const int c = st[--top];
      const int t = c / 3, k = c - 3 * t;
      if (w.visited(t))
        continue;
      w.visit(t);
      const int back = w.entry(t, k); // the corner of the neighbour that reached t
      if (back >= 0) {
        const int n = back / 3;
        // Both half-edges run the same way: reverse t, keeping the shared edge on corner k.
        if (w.vertex(n, back - 3 * n) == w.original(t, k))
          w.flip(t, NEXT[k]);
      }
      if (!push(w.entry(t, NEXT[k])) || !push(w.entry(t, PREV[k])))
        return false;
    }
  }
  return true;
}

/// Phase 2 decision: per vertex the dense component number (in label) and per component whether
/// it faces inward (in flipComponent). False when memory is short.
class Components {
public:
  explicit Components(size_t V) : m_label(m_scratch.allocate<int>(V)), m_number(m_scratch.allocate<int>(V)) {}

  bool build(const Buffer& b, const Winding& w);
  /// Component of triangle t (by its first vertex), or -1 when that vertex is invalid.
  int of(const Buffer& b, int t) const
  {
    const int v = b.triangleList[t][0];
    return b.isValidVertex(v) ? m_label[v] : -1;
  }
  bool flips(int component) const { return m_sum[component] < DBL_EPS; }

private:
  KEXScratchAllocator m_scratch; // first: the arrays below are its blocks
  int* m_label;
  int* m_number;
  KEXInterval<KEXVector3<float>>* m_boxes = nullptr;
  double* m_sum = nullptr;
};

bool Components::build(const Buffer& b, const Winding& w)
{
  const int V = b.getVertexCount();
  const int T = b.getTriangleCount();
  if (V == 0)
    return true; // every index is invalid: nothing to measure, nothing to flip
  if (!m_label || !m_number)
    return false;
  int* parent = m_label;
  kexunion::reset(parent, V);
  int components = V;
  auto valid = [V](int v) { return v >= 0 && v < V; };
  for (int t = 0; t < T; ++t) {
    const int a = w.vertex(t, 0), bb = w.vertex(t, 1), c = w.vertex(t, 2);
    if (!valid(a))
      continue;
    if (valid(bb) && kexunion::unite(parent, a, bb))
      --components;
    if (valid(c) && kexunion::unite(parent, a, c))
      --components;
  }

  // Dense component numbers, the highest given first, walking from the last vertex.
  int* number = m_number;
  for (int v = 0; v < V; ++v)
    number[v] = -1;
  int next = components;
  for (int v = V - 1; v >= 0; --v) {
    const int r = kexunion::findRoot(parent, v);
    if (number[r] < 0)
      number[r] = --next;
  }
  for (int v = 0; v < V; ++v) // every vertex points at its root directly ...
    parent[v] = kexunion::findRoot(parent, v);
  for (int v = 0; v < V; ++v) // ... so the labels can replace the links in place
    parent[v] = number[parent[v]];
  const int* comp = parent;

  // At least one component: V > 0 and every vertex belongs to one.
  m_boxes = m_scratch.allocate<KEXInterval<KEXVector3<float>>>(size_t(components));
  m_sum = m_scratch.allocate<double>(size_t(components));
  D* centre = m_scratch.allocate<D>(size_t(components));
  if (!m_boxes || !m_sum || !centre)
    return false;
  for (int i = 0; i < components; ++i) {
    new (&m_boxes[i]) KEXInterval<KEXVector3<float>>();
    m_sum[i] = 0.0;
  }
  const KEXVector3<float>* p = b.vertexList.getData();
  for (int v = 0; v < V; ++v)
    m_boxes[comp[v]].unite(p[v]);
  for (int i = 0; i < components; ++i)
    centre[size_t(i)] = D(m_boxes[i].getCenter());

  const bool withNormals = b.hasVertexNormalList();
  const KEXVector3<float>* vn = withNormals ? b.vertexNormalList.getData() : nullptr;
  for (int t = 0; t < T; ++t) {
    const int ia = w.vertex(t, 0), ib = w.vertex(t, 1), ic = w.vertex(t, 2);
    if (!valid(ia) || !valid(ib) || !valid(ic))
      continue;
    const D pa(p[ia]), pb(p[ib]), pc(p[ic]);
    const D n = (pb - pa).cross(pc - pa);
    double contribution;
    if (withNormals) {
      D r = D(vn[ia]).normalize() + D(vn[ib]).normalize() + D(vn[ic]).normalize();
      r.normalize();
      contribution = n.dot(r);
    } else {
      contribution = n.dot(pa - centre[size_t(comp[ia])]);
    }
    m_sum[comp[ia]] += contribution;
  }
  return true;
}

} // namespace

bool KEXConsolidateOrientationAlgorithm::run(void*)
{
  Buffer& b = m_buffer;
  const int V = b.getVertexCount();
  const int T = b.getTriangleCount();
  KEXTask task("Consolidating triangle orientation", double(V) + 4.0 * double(T) + 1.0, 0x1030000, 0);
  task.incProgress(1.0, true);
  if (T <= 0)
    return task.ok();

  KEXDerivedListScope vertexAdjacency = KEXDerivedListScope::vertexAdjacency(b, true);
  KEXDerivedListScope triangleAdjacency = KEXDerivedListScope::triangleAdjacency(b, true);
  if (const std::optional<bool> ended = kexEnsureAdjacency(task, vertexAdjacency, triangleAdjacency, V, T))
    return *ended;

  KEXScratchAllocator scratch;
  unsigned char* state = scratch.allocate<unsigned char>(size_t(T)); // T > 0
  if (!state)
    return task.error(KEX::GenericError);
  std::memset(state, 0, size_t(T));
  Winding winding(b, state);
  if (!propagate(b, winding))
    return task.error(KEX::GenericError);
  // The adjacency lists have served; one built here would only slow the flips down.
  triangleAdjacency.restore();
  vertexAdjacency.restore();

  if (!b.isConsistent()) {
    KEXError::emitError(KEXError::Message(KEX::InvalidValue));
    return task.error(KEX::GenericError);
  }
  Components components{size_t(V)};
  if (!components.build(b, winding))
    return task.error(KEX::GenericError);

  // Apply the flips: the traversal's first, then the component's (after which the first vertex,
  // and so the component, is looked up again, as in a run that flipped during the traversal).
  for (int t = 0; t < T; ++t) {
    const int j = winding.keep(t);
    if (j >= 0 && !b.flipTriangle(t, j))
      return task.error(KEX::GenericError);
    const int c = components.of(b, t);
    if (c >= 0 && components.flips(c) && !b.flipTriangle(t, 0))
      return task.error(KEX::GenericError);
  }
  return task.ok();
}
