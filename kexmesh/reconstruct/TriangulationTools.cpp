// Triangulation tools: fans and strips over rings of vertices and two tessellated solids (an
// ellipsoid and a frustum), all appended to a caller's buffer. The minimum-weight loop
// triangulation lives in LoopTriangulation.cpp; both share the all-or-nothing append below.
//
//
// Everything appended is all-or-nothing: the triangle list grows once, and when a later step fails
// (the vertex adjacency lists cannot grow) the appended corners are taken out of the adjacency lists
// and the lists are cut back to their old length.
#include "kexmesh/reconstruct/TriangulationTools.h"
#include "kexmesh/reconstruct/internal/TriangleAppend.h"
#include "kexmesh/core/internal/Corners.h"

#include "kex/Memory.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/internal/ScratchAllocator.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace {

using namespace kextriangulation;

constexpr double MIN_LENGTH = 1.1920929e-7;
constexpr double MIN_STEP = 2.220446049250313e-16;
constexpr double EDGE_FACTOR = 0.875;

Vec3d toDouble(const Vec3& v) { return Vec3d(double(v.x), double(v.y), double(v.z)); }

} // namespace

namespace kextriangulation {

using kexcorner::adjacency;

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

} // namespace kextriangulation

namespace {

using namespace kextriangulation;

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


bool KEXTriangulationTools::clockwiseCone(KEXTriangleMeshBuffer* buffer, const KEXValueList<int>& ring, int apex)
{
  return cone(buffer, ring, apex, true);
}

bool KEXTriangulationTools::counterClockwiseCone(KEXTriangleMeshBuffer* buffer, const KEXValueList<int>& ring,
                                                 int apex)
{
  return cone(buffer, ring, apex, false);
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
