// Loop subdivision (C. Loop, "Smooth subdivision surfaces based on triangles", 1987), with the
// boundary rules of Hoppe et al. (1994): border edges get their midpoints, border vertices move
// along the cubic B-spline of the border, and interior edges at a border vertex use the
// valence-dependent weight gamma of Biermann, Levin and Zorin (2000).
//
// Every old vertex is walked once (its first corner's fan) to know its neighbour count and
// whether it lies on a border; the edge pass then needs no walks. Edge vertices are written
// behind the old vertices, the moved old positions into a scratch array, the three outer
// triangles of each old triangle behind the old triangles; only the last pass, which neither
// allocates nor reports progress, overwrites the old positions and triangles. So a failure or a
// stop anywhere leaves the buffer as it was given.
//
// Index order must not change the geometry: an interior edge takes the border rule from whichever
// end vertex lies on a border, and the mean of both one-sided rules when both do.
#include "kexmesh/simplify/LoopSubdivisionAlgorithm.h"
#include "kexmesh/core/internal/AdjacencyPreamble.h"
#include "kexmesh/core/internal/ScratchAllocator.h"
#include "kexmesh/core/internal/TaskEnd.h"
#include "kexmesh/simplify/internal/Subdivision.h"

#include <cmath>
#include <numbers>

KEXMESH_DEFINE_CLASS(KEXLoopSubdivisionAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using namespace kexsubdivision;

constexpr int UNUSED = -1; // vertex class of a vertex without corners

// Per old vertex: 2 * neighbour count + 1 on a border, UNUSED without corners.
inline bool onBorder(int code) { return code >= 0 && (code & 1); }
inline int neighbours(int code) { return code >> 1; }

// Weight of the far end vertex of an interior edge at a border vertex with n neighbours; the
// near end gets 0.75 - gamma. A regular border vertex (four neighbours) gives 0.375, the interior
// weight.
inline double gamma(int n)
{
  if (n < 2)
    return 0.375;
  return 0.5 - 0.25 * std::cos(std::numbers::pi / double(n - 1));
}

struct Work {
  int V = 0, T = 0, E = 0;
  int* edgeOf = nullptr; // per old corner its edge vertex
  int* vertexClass = nullptr;
  Vec3* moved = nullptr; // new positions of the old vertices
};

Vec3 edgeVertex(const Buffer& b, const Work& w, int c)
{
  const Vec3* P = b.vertexList.getData();
  const int a = b.cornerVertex(Buffer::previousCorner(c)), e = b.cornerVertex(c);
  const int p = b.triangleAdjacencyList[c / 3][c % 3];
  if (p < 0)
    return term(0.5, P[a]) + term(0.5, P[e]);
  const int oppositeC = b.cornerVertex(Buffer::nextCorner(c)), oppositeP = b.cornerVertex(Buffer::nextCorner(p));
  const int ce = w.vertexClass[e], ca = w.vertexClass[a];
  double we = 0.375, wa = 0.375;
  if (onBorder(ce) && onBorder(ca)) {
    const double ge = gamma(neighbours(ce)), ga = gamma(neighbours(ca));
    we = 0.375 + 0.5 * (ga - ge);
    wa = 0.375 + 0.5 * (ge - ga);
  } else if (onBorder(ce)) {
    wa = gamma(neighbours(ce));
    we = 0.75 - wa;
  } else if (onBorder(ca)) {
    we = gamma(neighbours(ca));
    wa = 0.75 - we;
  }
  return term(we, P[e]) + term(wa, P[a]) + term(0.125, P[oppositeC]) + term(0.125, P[oppositeP]);
}

bool splitEdges(Buffer& b, KEXScratchAllocator& scratch, Work& w)
{
  KEXTask task("Splitting edges", double(w.V) + 3.0 * w.T + 1.0, 0x10000);
  if (!checkInput(task, b))
    return false;
  w.edgeOf = scratch.allocate<int>(size_t(3) * w.T + 1);
  w.vertexClass = scratch.allocate<int>(size_t(w.V) + 1);
  if (!w.edgeOf || !w.vertexClass)
    return kexEndOutOfMemory(task);
  w.E = numberEdges(b, w.edgeOf);
  if (!b.vertexList.setCount(w.V + w.E))
    return kexEndOutOfMemory(task);
  for (int first = 0; first < w.V; first += BLOCK) {
    const int end = w.V - first > BLOCK ? first + BLOCK : w.V;
    for (int v = first; v < end; ++v) {
      const KEXCompactIndexArray& corners = b.vertexAdjacencyList[v];
      if (corners.getCount() == 0) {
        w.vertexClass[v] = UNUSED;
        continue;
      }
      int n;
      bool border;
      countRing(b, corners[0], n, border);
      w.vertexClass[v] = 2 * n + (border ? 1 : 0);
    }
    if (!task.incProgress(double(end - first)))
      return kexEndRefused(task);
  }
  const int corners = 3 * w.T;
  for (int first = 0; first < corners; first += BLOCK) {
    const int end = corners - first > BLOCK ? first + BLOCK : corners;
    for (int c = first; c < end; ++c)
      if (createsEdge(b, c))
        b.vertexList[w.edgeOf[c]] = edgeVertex(b, w, c);
    if (!task.incProgress(double(end - first)))
      return kexEndRefused(task);
  }
  return task.ok();
}

// The Loop vertex rule for old vertex v, from the old positions.
Vec3 movedVertex(const Buffer& b, const Ring& ring, int v)
{
  const Vec3* P = b.vertexList.getData();
  if (ring.border) {
    const int l = ring.forward.isEmpty() ? ring.q0 : ring.forward[ring.forward.getLastIndex()];
    const int r = ring.backward.isEmpty() ? ring.q0 : ring.backward[ring.backward.getLastIndex()];
    return term(0.75, P[v]) + term(0.125, P[l]) + term(0.125, P[r]);
  }
  const int n = ring.forward.getCount() + 1;
  double self, beta;
  if (n == 3) {
    self = 0.4375;
    beta = 0.1875;
  } else if (n == 6) {
    self = 0.625;
    beta = 0.0625;
  } else {
    beta = 3.0 / (8.0 * n);
    self = 1.0 - n * beta;
  }
  Vec3 sum = term(self, P[v]) + term(beta, P[ring.q0]);
  for (int q : ring.forward)
    sum += term(beta, P[q]);
  return sum;
}

bool adjustVertices(Buffer& b, KEXScratchAllocator& scratch, Work& w)
{
  KEXTask task("Adjusting vertex list", double(w.V) + 1.0, 0x10000);
  w.moved = scratch.allocate<Vec3>(size_t(w.V) + 1);
  if (!w.moved)
    return kexEndOutOfMemory(task);
  Ring ring;
  for (int first = 0; first < w.V; first += BLOCK) {
    const int end = w.V - first > BLOCK ? first + BLOCK : w.V;
    for (int v = first; v < end; ++v) {
      const KEXCompactIndexArray& corners = b.vertexAdjacencyList[v];
      if (corners.getCount() == 0) {
        w.moved[v] = b.vertexList[v];
        continue;
      }
      if (!walkRing(b, corners[0], ring))
        return kexEndOutOfMemory(task);
      w.moved[v] = movedVertex(b, ring, v);
    }
    if (!task.incProgress(double(end - first)))
      return kexEndRefused(task);
  }
  return task.ok();
}

bool subdivideTriangles(Buffer& b, const Work& w)
{
  KEXTask task("Subdividing triangles", double(w.T) + 1.0, 0x10000);
  if (!b.triangleList.setCount(4 * w.T) || !b.triangleAdjacencyList.setCount(4 * w.T))
    return kexEndOutOfMemory(task); // the rollback cuts the lists back
  for (int first = 0; first < w.T; first += BLOCK) {
    const int end = w.T - first > BLOCK ? first + BLOCK : w.T;
    writeOuterTriangles(b, w.T, w.edgeOf, first, end);
    if (!task.incProgress(double(end - first)))
      return kexEndRefused(task);
  }
  return task.ok();
}

} // namespace

bool KEXLoopSubdivisionAlgorithm::run(void*)
{
  KEXTask task("Subdividing triangle mesh", 1.0, 0x1010000);
  Buffer& b = m_buffer;
  if (!fitsFourfold(b))
    return kexEndOutOfMemory(task);
  KEXDerivedListScope vertexAdjacency = KEXDerivedListScope::vertexAdjacency(b, false);
  KEXDerivedListScope triangleAdjacency = KEXDerivedListScope::triangleAdjacency(b, true);
  VertexAdjacencyEnd vertexAdjacencyEnd(b, vertexAdjacency.wasPresent());
  if (auto result = kexEnsureAdjacency(task, vertexAdjacency, triangleAdjacency, 0.1, 0.1))
    return *result;
  KEXScratchAllocator scratch;
  Rollback rollback(b);
  Work w;
  w.V = b.getVertexCount();
  w.T = b.getTriangleCount();
  {
    KEXSubTask sub("Splitting edges", 0.2);
    if (!splitEdges(b, scratch, w))
      return task.statusOf(sub, KEX::GenericError);
  }
  {
    KEXSubTask sub("Adjusting vertex list", 0.2);
    if (!adjustVertices(b, scratch, w))
      return task.statusOf(sub, KEX::GenericError);
  }
  {
    KEXSubTask sub("Subdividing triangles", 0.4);
    if (!subdivideTriangles(b, w))
      return task.statusOf(sub, KEX::GenericError);
  }
  for (int v = 0; v < w.V; ++v)
    b.vertexList[v] = w.moved[v];
  commitTriangles(b, w.T, w.edgeOf);
  rollback.commit();
  // Lists this rule cannot carry to the new vertices and triangles.
  b.vertexNormalList.clear();
  b.vertexColorList.clear();
  b.vertexEdgeFlagList.clear();
  b.vertexScalarList.clear();
  b.textureCoordinateList.clear();
  b.triangleNormalList.clear();
  b.triangleColorList.clear();
  b.triangleAngleList.clear();
  b.cornerVertexPages.clear();
  b.cornerNormalPages.clear();
  vertexAdjacencyEnd.succeeded();
  return task.ok();
}
