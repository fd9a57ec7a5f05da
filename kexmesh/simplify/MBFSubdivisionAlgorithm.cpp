// Modified butterfly subdivision (Dyn, Levin and Gregory 1990; modified for extraordinary
// vertices by Zorin, Schroeder and Sweldens 1996; border stencils after Zorin's thesis, 1998).
// The scheme interpolates: old vertices stay, each new edge vertex is a weighted sum over the
// rings of the edge's two end vertices, chosen by their classes:
//   0 border vertex without four neighbours, 1 border vertex with four,
//   2 interior vertex without six neighbours, 3 interior vertex with six.
// A border edge takes the four-point rule along the border.
//
// As in the Loop step, the new vertices and the three outer triangles of each old triangle are
// written behind the old elements and only a last pass that cannot fail overwrites the old
// triangles: a failure or a stop leaves the buffer as it was given.
#include "kexmesh/simplify/MBFSubdivisionAlgorithm.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/internal/AdjacencyPreamble.h"
#include "kexmesh/core/internal/ScratchAllocator.h"
#include "kexmesh/core/internal/TaskEnd.h"
#include "kexmesh/simplify/internal/Subdivision.h"

#include <cmath>
#include <numbers>

KEXMESH_DEFINE_CLASS(KEXMBFSubdivisionAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using namespace kexsubdivision;
using Vec3d = KEXVector3<double>;
constexpr double PI = std::numbers::pi;

int vertexClass(const Ring& r)
{
  const int n = r.count();
  if (r.border)
    return n == 4 ? 1 : 0;
  return n == 6 ? 3 : 2;
}

inline int lastOf(const KEXValueList<int>& l) { return l[l.getLastIndex()]; }

// Interior vertex v with k neighbours: the other end vertex (the ring's q0) and its forward list.
Vec3 stencilS2(const Vec3* P, int v, const Ring& r)
{
  const int k = r.forward.getCount() + 1;
  auto weight = [k](int j) {
    if (k == 3)
      return j == 0 ? 5.0 / 12.0 : -1.0 / 12.0;
    if (k == 4)
      return j == 0 ? 0.375 : j == 2 ? -0.125 : 0.0;
    return (0.25 + std::cos(2.0 * PI * j / k) + 0.5 * std::cos(4.0 * PI * j / k)) / k;
  };
  Vec3 sum = term(0.75, P[v]) + term(weight(0), P[r.q0]);
  for (int j = 1; j < k; ++j)
    sum += term(weight(j), P[r.forward[j - 1]]);
  return sum;
}

// Border vertex v: its neighbours along the fan are reversed(B), q0 (the other end vertex) and A.
Vec3 stencilS0(const Vec3* P, int v, const Ring& r)
{
  const int N = r.count(), K = N - 1, i = r.backward.getCount(), na = r.forward.getCount();
  if (K < 2) // one triangle at v: no interior edge can reach this, keep the midpoint
    return term(0.5, P[v]) + term(0.5, P[r.q0]);
  auto neighbour = [&](int j) { return j < i ? r.backward[i - 1 - j] : j == i ? r.q0 : r.forward[j - i - 1]; };
  const double theta = PI / K, si = std::sin(i * theta), s2i = std::sin(2 * i * theta);
  Vec3 sum = term(1.0 - std::sin(theta) * si / (K * (1.0 - std::cos(theta))), P[v]);
  const double t = std::fabs(0.25 * std::cos(i * theta) - std::sin(2 * theta) * s2i /
                                                              (4.0 * (K - 1) * (std::cos(theta) - std::cos(2 * theta))));
  const double endWeight = i > na ? t : i < na ? -t : 0.0; // neighbour K; neighbour 0 gets its negative
  if (endWeight != 0.0)
    sum += term(-endWeight, P[neighbour(0)]);
  for (int j = 1; j < K; ++j)
    sum += term((std::sin(j * theta) * si + 0.5 * std::sin(2 * j * theta) * s2i) / K, P[neighbour(j)]);
  if (endWeight != 0.0)
    sum += term(endWeight, P[neighbour(K)]);
  return sum;
}

// Both ends regular and interior: the classic eight-point butterfly.
Vec3 stencilR33(const Vec3* P, int b, const Ring& rb, int a, const Ring& ra)
{
  return term(0.5, P[b]) + term(0.5, P[a]) + term(0.125, P[rb.forward[0]]) + term(0.125, P[rb.forward[4]]) +
         term(-0.0625, P[rb.forward[1]]) + term(-0.0625, P[rb.forward[3]]) + term(-0.0625, P[ra.forward[1]]) +
         term(-0.0625, P[ra.forward[3]]);
}

// x a regular border vertex, y a regular interior vertex.
Vec3 stencilR13(const Vec3* P, int x, const Ring& rx, int y, const Ring& ry)
{
  const KEXValueList<int>&ax = rx.forward, &bx = rx.backward, &ay = ry.forward;
  Vec3 s = term(0.375, P[x]) + term(0.625, P[y]);
  if (ax.getCount() != 1)
    s += term(0.0625, P[bx[0]]) + term(0.1875, P[ax[0]]) + term(-0.0625, P[ax[1]]) + term(-0.0625, P[ay[1]]) +
         term(-0.125, P[ay[3]]);
  else
    s += term(0.0625, P[ax[0]]) + term(0.1875, P[bx[0]]) + term(-0.0625, P[bx[1]]) + term(-0.0625, P[ay[3]]) +
         term(-0.125, P[ay[1]]);
  const Vec3 mid = term(0.5, P[x]) + term(0.5, P[y]);
  return term(0.5, mid) + term(0.5, s);
}

// Both ends regular border vertices.
Vec3 stencilR11(const Vec3* P, int b, const Ring& rb, int a, const Ring& ra)
{
  const Vec3 mid = term(0.5, P[b]) + term(0.5, P[a]);
  if (rb.backward.getCount() == 1 && ra.forward.getCount() == 1)
    return mid + term(0.25, P[rb.forward[0]]) + term(-0.125, P[rb.forward[1]]) + term(-0.125, P[ra.backward[1]]);
  if (rb.forward.getCount() != 1 || ra.backward.getCount() != 1)
    return mid;
  return mid + term(0.25, P[rb.backward[0]]) + term(-0.125, P[rb.backward[1]]) + term(-0.125, P[ra.forward[1]]);
}

Vec3 half(const Vec3& x, const Vec3& y) { return term(0.5, x) + term(0.5, y); }

// The stencil table by the classes of b (row) and a (column).
Vec3 interiorEdgeVertex(const Vec3* P, int b, const Ring& rb, int a, const Ring& ra)
{
  const int cb = vertexClass(rb), ca = vertexClass(ra);
  auto single = [&](int v, const Ring& r, int cls) { return cls == 0 ? stencilS0(P, v, r) : stencilS2(P, v, r); };
  const bool extraordinaryB = cb == 0 || cb == 2, extraordinaryA = ca == 0 || ca == 2;
  if (extraordinaryB && extraordinaryA)
    return half(single(b, rb, cb), single(a, ra, ca));
  if (extraordinaryB)
    return single(b, rb, cb);
  if (extraordinaryA)
    return single(a, ra, ca);
  if (cb == 3 && ca == 3)
    return stencilR33(P, b, rb, a, ra);
  if (cb == 1 && ca == 1)
    return stencilR11(P, b, rb, a, ra);
  return cb == 1 ? stencilR13(P, b, rb, a, ra) : stencilR13(P, a, ra, b, rb);
}

// The nearer end vertex weighs more: b with da, a with db.
void interpolateAttributes(Buffer& b, int e, int va, int vb)
{
  const Vec3d E(b.vertexList[e]);
  const double da = (E - Vec3d(b.vertexList[va])).length(), db = (E - Vec3d(b.vertexList[vb])).length();
  const double sum = da + db;
  const double wb = sum > 0.0 ? da / sum : 0.5, wa = sum > 0.0 ? db / sum : 0.5;
  if (b.hasVertexNormalList()) {
    Vec3d n = Vec3d(b.vertexNormalList[vb]) * da + Vec3d(b.vertexNormalList[va]) * db;
    const double l = n.length();
    b.vertexNormalList[e] = l > 0.0 ? Vec3(n * (1.0 / l)) : Vec3(0, 0, 0);
  }
  if (b.hasVertexColorList()) {
    const KEXRGBA<float>&cb = b.vertexColorList[vb], &ca = b.vertexColorList[va];
    KEXRGBA<float> c(float(cb.r * wb + ca.r * wa), float(cb.g * wb + ca.g * wa), float(cb.b * wb + ca.b * wa),
                     float(cb.a * wb + ca.a * wa));
    b.vertexColorList[e] = c.clamp();
  }
  if (b.hasVertexEdgeFlagList()) {
    const char fa = b.vertexEdgeFlagList[va], fb = b.vertexEdgeFlagList[vb];
    b.vertexEdgeFlagList[e] = fa == fb ? fa : 0;
  }
  if (b.hasTextureCoordinateList()) {
    const KEXVector2<float>&tb = b.textureCoordinateList[vb], &ta = b.textureCoordinateList[va];
    b.textureCoordinateList[e] = KEXVector2<float>(float(tb.x * wb + ta.x * wa), float(tb.y * wb + ta.y * wa));
  }
}

bool growVertexLists(Buffer& b, int n)
{
  const bool normals = b.hasVertexNormalList(), colors = b.hasVertexColorList(), flags = b.hasVertexEdgeFlagList(),
             texture = b.hasTextureCoordinateList();
  // The vertex list last: the presence tests above compare with its count.
  return (!normals || b.vertexNormalList.setCount(n)) && (!colors || b.vertexColorList.setCount(n)) &&
         (!flags || b.vertexEdgeFlagList.setCount(n)) && (!texture || b.textureCoordinateList.setCount(n)) &&
         b.vertexList.setCount(n);
}

bool splitEdges(Buffer& b, KEXScratchAllocator& scratch, int*& edgeOf)
{
  const int V = b.getVertexCount(), T = b.getTriangleCount(), corners = 3 * T;
  KEXTask task("Splitting edges", double(corners) + 1.0, 0x10000);
  if (!checkInput(task, b))
    return false;
  if (hasInteriorLoopEdge(b)) {
    KEXTask::Diagnostics d(KEX::Error, "Found an invalid triangle");
    return task.error(KEX::InvalidIndex, &d);
  }
  edgeOf = scratch.allocate<int>(size_t(corners) + 1);
  if (!edgeOf)
    return kexEndOutOfMemory(task);
  const int E = numberEdges(b, edgeOf);
  if (!growVertexLists(b, V + E))
    return kexEndOutOfMemory(task); // the rollback cuts the grown lists back
  Ring rb, ra;
  for (int first = 0; first < corners; first += BLOCK) {
    const int end = corners - first > BLOCK ? first + BLOCK : corners;
    for (int c = first; c < end; ++c) {
      if (!createsEdge(b, c))
        continue;
      const Vec3* P = b.vertexList.getData();
      const int a = b.cornerVertex(Buffer::previousCorner(c)), v = b.cornerVertex(c);
      const int p = b.triangleAdjacencyList[c / 3][c % 3];
      Vec3 e;
      if (p < 0) {
        // The four-point rule along the border: b's other border neighbour ends b's forward walk,
        // a's ends the backward walk around a from its corner here.
        if (!walkRing(b, c, rb) || !walkRing(b, Buffer::previousCorner(c), ra))
          return kexEndOutOfMemory(task);
        const int vOther = lastOf(rb.forward), aOther = ra.backward.isEmpty() ? ra.q0 : lastOf(ra.backward);
        e = term(0.5625, P[a]) + term(0.5625, P[v]) + term(-0.0625, P[vOther]) + term(-0.0625, P[aOther]);
      } else {
        if (!walkRing(b, c, rb) || !walkRing(b, p, ra))
          return kexEndOutOfMemory(task);
        e = interiorEdgeVertex(P, v, rb, a, ra);
      }
      b.vertexList[edgeOf[c]] = e;
      interpolateAttributes(b, edgeOf[c], a, v);
    }
    if (!task.incProgress(double(end - first)))
      return kexEndRefused(task);
  }
  return task.ok();
}

Vec3 unitNormal(const Buffer& b, const KEXTriangle<int>& t)
{
  Vec3 n;
  KEXTriangleCalculus3<float>::normalVector(n, b.vertexList[t[0]], b.vertexList[t[1]], b.vertexList[t[2]]);
  // A triangle without area has no direction; its normal stays zero rather than NaN.
  if (n.squaredLength() > 0.0f)
    n.normalize(1.0f);
  return n;
}

bool subdivideTriangles(Buffer& b, const int* edgeOf, int T)
{
  KEXTask task("Subdividing triangles", double(T) + 1.0, 0x10000);
  const bool normals = b.hasTriangleNormalList(), colors = b.hasTriangleColorList();
  if ((normals && !b.triangleNormalList.setCount(4 * T)) || (colors && !b.triangleColorList.setCount(4 * T)) ||
      !b.triangleAdjacencyList.setCount(4 * T) || !b.triangleList.setCount(4 * T))
    return kexEndOutOfMemory(task); // the rollback cuts the grown lists back
  for (int first = 0; first < T; first += BLOCK) {
    const int end = T - first > BLOCK ? first + BLOCK : T;
    writeOuterTriangles(b, T, edgeOf, first, end);
    for (int t = first; t < end; ++t)
      for (int j = T + 3 * t; j < T + 3 * t + 3; ++j) {
        if (colors)
          b.triangleColorList[j] = b.triangleColorList[t];
        if (normals)
          b.triangleNormalList[j] = unitNormal(b, b.triangleList[j]);
      }
    if (!task.incProgress(double(end - first)))
      return kexEndRefused(task);
  }
  return task.ok();
}

} // namespace

bool KEXMBFSubdivisionAlgorithm::run(void*)
{
  KEXTask task("Subdividing triangle mesh", 1.0, 0x1010000);
  Buffer& b = m_buffer;
  if (!fitsFourfold(b))
    return kexEndOutOfMemory(task);
  KEXDerivedListScope vertexAdjacency = KEXDerivedListScope::vertexAdjacency(b, false);
  KEXDerivedListScope triangleAdjacency = KEXDerivedListScope::triangleAdjacency(b, true);
  VertexAdjacencyEnd vertexAdjacencyEnd(b, vertexAdjacency.wasPresent());
  // Each sub-task takes its share of the progress still open when it starts.
  if (auto result = kexEnsureAdjacency(task, vertexAdjacency, triangleAdjacency, 0.04, 0.05 * 0.96))
    return *result;
  KEXScratchAllocator scratch;
  Rollback rollback(b);
  const int T = b.getTriangleCount();
  int* edgeOf = nullptr;
  {
    KEXSubTask sub("Splitting edges", 0.96 * (1.0 - task.getProgress()));
    if (!splitEdges(b, scratch, edgeOf))
      return task.statusOf(sub, KEX::GenericError);
  }
  {
    KEXSubTask sub("Subdividing triangle list", 1.0 - task.getProgress());
    if (!subdivideTriangles(b, edgeOf, T))
      return task.statusOf(sub, KEX::GenericError);
  }
  commitTriangles(b, T, edgeOf);
  if (b.hasTriangleNormalList())
    for (int t = 0; t < T; ++t)
      b.triangleNormalList[t] = unitNormal(b, b.triangleList[t]);
  rollback.commit();
  // Lists the step does not fill for the new elements.
  b.vertexScalarList.clear();
  b.triangleAngleList.clear();
  b.cornerVertexPages.clear();
  b.cornerNormalPages.clear();
  vertexAdjacencyEnd.succeeded();
  return task.ok();
}
