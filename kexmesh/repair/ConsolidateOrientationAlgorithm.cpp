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
#include "kexmesh/repair/ConsolidateOrientationAlgorithm.h"

#include "kex/Error.h"
#include "kex/Memory.h"
#include "kex/Task.h"

#include <cstdint>
#include <cstring>
#include <new>

KEXMESH_DEFINE_CLASS(KEXConsolidateOrientationAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using Buffer = KEXTriangleMeshBuffer;
using D = KEXVector3<double>;
constexpr double DBL_EPS = 2.220446049250313e-16;
constexpr int STACK_RESERVE = 32768;

/// A kexMalloc block freed at scope exit.
template <class T>
class ScratchArray {
public:
  explicit ScratchArray(size_t n) : m_data(static_cast<T*>(n ? kexMalloc(n * sizeof(T)) : nullptr)), m_n(n) {}
  ~ScratchArray() { kexFree(m_data); }
  ScratchArray(const ScratchArray&) = delete;
  ScratchArray& operator=(const ScratchArray&) = delete;
  bool ok() const { return m_n == 0 || m_data != nullptr; }
  T* get() { return m_data; }
  T& operator[](size_t i) { return m_data[i]; }

private:
  T* m_data;
  size_t m_n;
};

/// Phase 1: depth-first propagation of the winding over manifold edges.
bool propagate(Buffer& b)
{
  const int T = b.getTriangleCount();
  const int C = 3 * T;
  ScratchArray<unsigned char> visited{size_t(T)};
  if (!visited.ok())
    return false;
  std::memset(visited.get(), 0, size_t(T));
  KEXValueList<int> stack(16);
  if (!stack.setCount(STACK_RESERVE))
    return false;
  int top = 0;
  int* st = stack.getData();

  auto push = [&](int c) -> bool {
    if (c < 0 || c >= C)
      return true;
    if (top == stack.getCount()) {
      if (!stack.setCount(stack.getCount() * 2))
        return false;
      st = stack.getData();
    }
    st[top++] = c;
    return true;
  };

  const KEXTriangle<int>* tris = b.triangleList.getData();
  const KEXTriangle<int>* adj = b.triangleAdjacencyList.getData(); // kept current by flipTriangle

  for (int seed = 0; seed < T; ++seed) {
    if (visited[size_t(seed)])
      continue;
    visited[size_t(seed)] = 1;
    if (!push(adj[seed][2]) || !push(adj[seed][0]) || !push(adj[seed][1]))
      return false;
    while (top > 0) {
      const int c = st[--top];
      const int t = c / 3, k = c % 3;
      if (visited[size_t(t)])
        continue;
      visited[size_t(t)] = 1;
      const int back = adj[t][k]; // the corner of the neighbour that reached t
      if (back >= 0 && back < C && tris[back / 3][back % 3] == tris[t][k]) {
        // Both half-edges run the same way: reverse t, keeping the shared edge on corner k.
        if (!b.flipTriangle(t, (k + 1) % 3))
          return false;
      }
      const int k1 = (k + 1) % 3, k2 = (k + 2) % 3;
      if (!push(adj[t][k1]) || !push(adj[t][k2]))
        return false;
    }
  }
  return true;
}

int findRoot(int* parent, int v)
{
  int r = v;
  while (parent[r] != r)
    r = parent[r];
  while (parent[v] != r) { // path compression
    int next = parent[v];
    parent[v] = r;
    v = next;
  }
  return r;
}

/// Phase 2: flips every vertex-connected component that faces inward. Returns false when memory is
/// short or a flip fails.
bool orientComponents(Buffer& b)
{
  const int V = b.getVertexCount();
  const int T = b.getTriangleCount();
  if (V <= 0)
    return true; // no vertex: every triangle has invalid indices, nothing to measure
  ScratchArray<int> label{size_t(V)};
  if (!label.ok())
    return false;
  int* parent = label.get();
  for (int v = 0; v < V; ++v)
    parent[v] = v;
  int components = V;
  const KEXTriangle<int>* tris = b.triangleList.getData();
  auto valid = [V](int v) { return v >= 0 && v < V; };
  for (int t = 0; t < T; ++t) {
    const int a = tris[t][0], bb = tris[t][1], c = tris[t][2];
    if (!valid(a))
      continue;
    const int ra = findRoot(parent, a);
    int rb = -1;
    if (valid(bb)) {
      rb = findRoot(parent, bb);
      if (rb != ra) {
        parent[rb] = ra;
        --components;
      }
    }
    if (valid(c)) {
      int rc = findRoot(parent, c);
      if (rc != ra) {
        parent[rc] = ra;
        --components;
      }
    }
  }

  // Dense component numbers, the highest given first, walking from the last vertex.
  ScratchArray<int> number{size_t(V)};
  if (!number.ok())
    return false;
  for (int v = 0; v < V; ++v)
    number[size_t(v)] = -1;
  int next = components;
  for (int v = V - 1; v >= 0; --v) {
    const int r = findRoot(parent, v);
    if (number[size_t(r)] < 0)
      number[size_t(r)] = --next;
  }
  for (int v = 0; v < V; ++v) // every vertex points at its root directly ...
    parent[v] = findRoot(parent, v);
  for (int v = 0; v < V; ++v) // ... so the labels can replace the links in place
    parent[v] = number[size_t(parent[v])];
  const int* comp = parent;

  ScratchArray<KEXInterval<KEXVector3<float>>> boxes{size_t(components)};
  ScratchArray<D> centre{size_t(components)};
  ScratchArray<double> sum{size_t(components)};
  if (!boxes.ok() || !centre.ok() || !sum.ok())
    return false;
  for (int i = 0; i < components; ++i) {
    new (&boxes[size_t(i)]) KEXInterval<KEXVector3<float>>();
    sum[size_t(i)] = 0.0;
  }
  const KEXVector3<float>* p = b.vertexList.getData();
  for (int v = 0; v < V; ++v)
    boxes[size_t(comp[v])].unite(p[v]);
  for (int i = 0; i < components; ++i)
    centre[size_t(i)] = D(boxes[size_t(i)].getCenter());

  const bool withNormals = b.hasVertexNormalList();
  const KEXVector3<float>* vn = withNormals ? b.vertexNormalList.getData() : nullptr;
  for (int t = 0; t < T; ++t) {
    const int ia = tris[t][0], ib = tris[t][1], ic = tris[t][2];
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
    sum[size_t(comp[ia])] += contribution;
  }

  for (int t = 0; t < T; ++t) {
    const int ia = tris[t][0];
    if (!valid(ia))
      continue;
    if (sum[size_t(comp[ia])] < DBL_EPS && !b.flipTriangle(t, 0))
      return false;
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
  {
    KEXSubTask sub("Creating vertex adjacency list", double(V));
    if (!vertexAdjacency.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }
  {
    KEXSubTask sub("Creating triangle adjacency list", double(T));
    if (!triangleAdjacency.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }

  if (!propagate(b))
    return task.error(KEX::GenericError);
  if (!b.isConsistent()) {
    KEXError::emitError(KEXError::Message(KEX::InvalidValue));
    return task.error(KEX::GenericError);
  }
  if (!orientComponents(b))
    return task.error(KEX::GenericError);
  return task.ok();
}
