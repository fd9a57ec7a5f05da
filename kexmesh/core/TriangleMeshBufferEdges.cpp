// Edge operations of the triangle mesh buffer: finding the partner of a corner's edge and flipping
// the diagonal of the quadrilateral formed by two triangles that share an edge.
//
// partnerCorner works from the triangle adjacency list when it is there, and otherwise from the
// per-vertex corner lists, where it only accepts a manifold, consistently oriented edge (exactly
// one half-edge each way). flipEdge keeps every present derived list valid: vertex corner lists,
// triangle adjacency (including the outer neighbours' back references), normals, colours and
// angles. A flip that would damage the mesh (inconsistently oriented pair, repeated vertices, a
// diagonal that already exists elsewhere) is refused and changes nothing.
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/internal/Corners.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

namespace {

using Buffer = KEXTriangleMeshBuffer;

/// Replaces the back reference of an outer partner: the entry of `outer` that pointed at `from`
/// now points at `to`.
void redirectPartner(Buffer& b, int outer, int from, int to)
{
  if (outer < 0 || outer >= 3 * b.getTriangleCount())
    return;
  int& entry = b.triangleAdjacencyList[outer / 3][outer % 3];
  if (entry == from)
    entry = to;
}

/// Stores a triangle's normal, unit length (a degenerate triangle keeps the zero vector).
void storeUnitNormal(Buffer& b, int t)
{
  const KEXTriangle<int>& tri = b.triangleList[t];
  KEXVector3<float> n;
  KEXTriangleCalculus3<float>::normalVector(n, b.vertexList[tri[0]], b.vertexList[tri[1]], b.vertexList[tri[2]]);
  if (n.squaredLength() > 0.0f)
    n.normalize(1.0f);
  b.triangleNormalList[t] = n;
}

void storeAngles(Buffer& b, int t)
{
  const KEXTriangle<int>& tri = b.triangleList[t];
  KEXVector3<double> a;
  KEXTriangleCalculus3<float>::angles(a, b.vertexList[tri[0]], b.vertexList[tri[1]], b.vertexList[tri[2]]);
  b.triangleAngleList[t] = KEXVector3<float>(a);
}

/// Blend of two colours by weights; equal shares when both weights vanish (or are not numbers).
KEXRGBA<float> blend(const KEXRGBA<float>& c1, double w1, const KEXRGBA<float>& c2, double w2)
{
  double sum = w1 + w2;
  KEXRGBA<float> r;
  if (sum > 0.0)
    r = c1 * float(w1 / sum) + c2 * float(w2 / sum);
  else
    r = c1 * 0.5f + c2 * 0.5f;
  return r.clamp();
}

double area(const KEXVector3<double>& a, const KEXVector3<double>& b, const KEXVector3<double>& c)
{
  double r = 0.0;
  KEXTriangleCalculus3<double>::area(r, a, b, c);
  return r;
}

} // namespace

int KEXTriangleMeshBuffer::partnerCorner(int c) const
{
  const int T = getTriangleCount();
  if (c < 0 || c >= 3 * T)
    return -1;
  const int t = c / 3, k = c % 3;
  if (hasTriangleAdjacencyList()) {
    int p = triangleAdjacencyList[t][k];
    return (p >= 0 && p < 3 * T) ? p : -1;
  }
  if (!hasVertexAdjacencyList())
    return -1;
  const int s = triangleList[t][(k + 2) % 3];
  const int e = triangleList[t][k];
  if (!isValidVertex(s) || !isValidVertex(e) || s == e)
    return -1;

  // Half-edges e -> s end at a corner of s whose previous corner holds e.
  int found = -1;
  for (int x : vertexAdjacencyList[s]) {
    if (x / 3 == t || cornerVertex(previousCorner(x)) != e)
      continue;
    if (found >= 0)
      return -1; // more than one: non-manifold
    found = x;
  }
  if (found < 0)
    return -1;
  // c must be the only half-edge s -> e: a corner of e whose previous corner holds s.
  for (int y : vertexAdjacencyList[e])
    if (y != c && cornerVertex(previousCorner(y)) == s)
      return -1;
  return found;
}

bool KEXTriangleMeshBuffer::flipEdge(int c)
{
  const int cp = partnerCorner(c);
  if (cp < 0)
    return false;
  const int t = c / 3, k = c % 3;
  const int tp = cp / 3, kp = cp % 3;
  if (tp == t)
    return false;
  const int s = triangleList[t][(k + 2) % 3];
  const int e = triangleList[t][k];
  const int a = triangleList[t][(k + 1) % 3];
  const int ap = triangleList[tp][(kp + 1) % 3];
  // The partner must run the edge the other way (e -> s, ending at s): with an inconsistently
  // oriented neighbour the new diagonal would produce two copies of one triangle.
  if (triangleList[tp][kp] != s || triangleList[tp][(kp + 2) % 3] != e)
    return false;
  if (!isValidVertex(s) || !isValidVertex(e) || !isValidVertex(a) || !isValidVertex(ap))
    return false;
  if (a == ap || a == s || a == e || ap == s || ap == e || s == e)
    return false;

  const bool hasVA = hasVertexAdjacencyList();
  const int cNew = 3 * t + k;    // t's corner k moves from e to ap
  const int cpNew = 3 * tp + kp; // tp's corner kp moves from s to a
  if (hasVA) {
    // An existing edge a - ap would become shared by more than two triangles.
    if (kexcorner::shareTriangle(vertexAdjacencyList[a], vertexAdjacencyList[ap]))
      return false;
    // Insertions first: they are the only updates that can fail, and they are undone cleanly.
    if (!vertexAdjacencyList[ap].insertSorted(cNew))
      return false;
    if (!vertexAdjacencyList[a].insertSorted(cpNew)) {
      vertexAdjacencyList[ap].removeSorted(cNew);
      return false;
    }
    vertexAdjacencyList[e].removeSorted(cNew);
    vertexAdjacencyList[s].removeSorted(cpNew);
  }

  // Old colours and geometry for the blend, before the triangles change.
  const bool hasColors = hasTriangleColorList();
  KEXRGBA<float> colT, colTp;
  if (hasColors) {
    colT = triangleColorList[t];
    colTp = triangleColorList[tp];
  }

  if (hasTriangleAdjacencyList()) {
    KEXTriangle<int>& adjT = triangleAdjacencyList[t];
    KEXTriangle<int>& adjTp = triangleAdjacencyList[tp];
    const int outerT = adjT[(k + 1) % 3];    // edge e -> a, moves to tp's corner kp
    const int outerTp = adjTp[(kp + 1) % 3]; // edge s -> ap, moves to t's corner k
    redirectPartner(*this, outerT, 3 * t + (k + 1) % 3, cpNew);
    redirectPartner(*this, outerTp, 3 * tp + (kp + 1) % 3, cNew);
    adjT[k] = outerTp;
    adjTp[kp] = outerT;
    adjT[(k + 1) % 3] = 3 * tp + (kp + 1) % 3; // the new diagonal ap -> a
    adjTp[(kp + 1) % 3] = 3 * t + (k + 1) % 3; // and a -> ap
  }

  triangleList[t][k] = ap;
  triangleList[tp][kp] = a;

  if (hasTriangleNormalList()) {
    storeUnitNormal(*this, t);
    storeUnitNormal(*this, tp);
  }
  if (hasColors) {
    using D = KEXVector3<double>;
    D ps(vertexList[s]), pe(vertexList[e]), pa(vertexList[a]), pap(vertexList[ap]);
    D m = (ps + pe + pa + pap) * 0.25;
    // New t = (s, ap, a): its part on the old t side is (a, s, m), on the old tp side (s, ap, m).
    triangleColorList[t] = blend(colT, area(pa, ps, m), colTp, area(ps, pap, m));
    // New tp = (e, a, ap): (a, e, m) lies in old t, (e, ap, m) in old tp.
    triangleColorList[tp] = blend(colT, area(pa, pe, m), colTp, area(pe, pap, m));
  }
  if (hasTriangleAngleList()) {
    storeAngles(*this, t);
    storeAngles(*this, tp);
  }
  return true;
}
