// KEXPolyhedron: clipping a convex polyhedron held as vertex loops. A cut measures every vertex's
// signed distance to the plane, keeps the vertices on the positive side and rebuilds each face loop
// into the second storage set: kept corners are copied, and where the loop leaves the kept side and
// comes back one new vertex per crossed edge is put in. Both faces of a crossed edge share that
// vertex (a short list of the cut's crossings finds it; a cut crosses few edges). Each rebuilt face
// contributes one edge of the new face, in the opposite direction, so following those links gives
// the new face's loop, already counter-clockwise seen from outside. The two storage sets are then
// exchanged, so a cut copies O(vertices + corners) and allocates nothing once the storage is large
// enough.
#include "kexmesh/reconstruct/Polyhedron.h"

#include "kex/File.h"
#include "kex/Memory.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace {

template <class T>
bool growBlock(T*& block, int count)
{
  void* p = kexRealloc(block, size_t(count) * sizeof(T));
  if (!p)
    return false;
  block = static_cast<T*>(p);
  return true;
}

int grownCapacity(int capacity, int needed)
{
  int c = capacity < 16 ? 16 : capacity;
  while (c < needed)
    c *= 2;
  return c;
}

bool finite3(const KEXVector3<float>& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

} // namespace

KEXPolyhedron::~KEXPolyhedron()
{
  kexFree(m_vertices);
  kexFree(m_loops);
  kexFree(m_faces);
  kexFree(m_nextVertices);
  kexFree(m_nextLoops);
  kexFree(m_nextFaces);
  kexFree(m_distances);
  kexFree(m_remap);
  kexFree(m_capNext);
  kexFree(m_crossings);
}

// Makes every array hold at least the given counts. A failed growth leaves the recorded capacities
// (and the contents) as they were; blocks grown before the failure are merely larger than recorded.
bool KEXPolyhedron::reserve(int vertices, int loops, int faces)
{
  if (vertices > m_vertexCapacity) {
    const int c = grownCapacity(m_vertexCapacity, vertices);
    if (!growBlock(m_vertices, 3 * c) || !growBlock(m_nextVertices, 3 * c) || !growBlock(m_distances, c) ||
        !growBlock(m_remap, c) || !growBlock(m_capNext, c) || !growBlock(m_crossings, c))
      return false;
    m_vertexCapacity = c;
  }
  if (loops > m_loopCapacity) {
    const int c = grownCapacity(m_loopCapacity, loops);
    if (!growBlock(m_loops, c) || !growBlock(m_nextLoops, c))
      return false;
    m_loopCapacity = c;
  }
  if (faces > m_faceCapacity) {
    const int c = grownCapacity(m_faceCapacity, faces);
    if (!growBlock(m_faces, c) || !growBlock(m_nextFaces, c))
      return false;
    m_faceCapacity = c;
  }
  return true;
}

void KEXPolyhedron::updateBounds()
{
  double lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
  for (int i = 0; i < m_vertexCount; ++i)
    for (int a = 0; a < 3; ++a) {
      const double x = m_vertices[3 * i + a];
      if (i == 0 || x < lo[a])
        lo[a] = x;
      if (i == 0 || x > hi[a])
        hi[a] = x;
    }
  for (int a = 0; a < 3; ++a) {
    m_centre[a] = 0.5 * (lo[a] + hi[a]);
    m_halfExtent[a] = 0.5 * (hi[a] - lo[a]);
  }
}

bool KEXPolyhedron::createCube(const KEXVector3<float>& corner, const KEXVector3<float>& edgeA,
                               const KEXVector3<float>& edgeB, const KEXVector3<float>& edgeC)
{
  if (!finite3(corner) || !finite3(edgeA) || !finite3(edgeB) || !finite3(edgeC))
    return false;
  const KEXVector3<double> a(edgeA), c0(corner);
  KEXVector3<double> b(edgeB), c(edgeC);
  const double volume = a.dot(b.cross(c));
  if (!(volume != 0.0) || !std::isfinite(volume))
    return false;
  if (!reserve(8, 24, 6))
    return false;
  // The loops below are outward for a right-handed (a, b, c); a left-handed triple is made
  // right-handed by exchanging b and c, and the ids follow their edge vectors.
  int idB0 = -3, idB1 = -4, idC0 = -5, idC1 = -6;
  if (volume < 0) {
    std::swap(b, c);
    std::swap(idB0, idC0);
    std::swap(idB1, idC1);
  }
  for (int i = 0; i < 8; ++i) {
    KEXVector3<double> p = c0;
    if (i & 1)
      p += a;
    if (i & 2)
      p += b;
    if (i & 4)
      p += c;
    m_vertices[3 * i] = p.x;
    m_vertices[3 * i + 1] = p.y;
    m_vertices[3 * i + 2] = p.z;
  }
  // Vertex i sits at corner + (i & 1)·a + (i & 2)/2·b + (i & 4)/4·c.
  static constexpr int LOOPS[6][4] = {{0, 4, 6, 2}, {1, 3, 7, 5}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 2, 3, 1}, {4, 5, 7, 6}};
  const int ids[6] = {-1, -2, idB0, idB1, idC0, idC1};
  for (int f = 0; f < 6; ++f) {
    m_faces[-1 - ids[f]] = {4 * f, 4, ids[f]}; // faces in id order -1 ... -6 for either handedness
    for (int k = 0; k < 4; ++k)
      m_loops[4 * f + k] = LOOPS[f][k];
  }
  m_vertexCount = 8;
  m_loopCount = 24;
  m_faceCount = 6;
  updateBounds();
  return true;
}

bool KEXPolyhedron::applyClippingPlane(const KEXVector3<float>& point, const KEXVector3<float>& normal, int id,
                                       float epsilon)
{
  KEXVector3<double> n(normal);
  if (!(n.squaredLength() >= 0.5) || !finite3(normal) || !finite3(point))
    return false;
  n.normalize(); // distances then are lengths, comparable with epsilon
  if (m_vertexCount == 0)
    return true;
  const double eps = epsilon > 0 ? double(epsilon) : 0.0; // also maps NaN to 0
  double offset = KEXVector3<double>(point).dot(n);       // kept: x·n - offset >= 0

  // Early out: the nearest point of the bounding box already lies beyond epsilon on the kept side,
  // so every vertex is kept and no shift can be triggered. Most neighbour planes of a cell end here.
  const double nearest = m_centre[0] * n.x + m_centre[1] * n.y + m_centre[2] * n.z - offset -
                         (m_halfExtent[0] * std::fabs(n.x) + m_halfExtent[1] * std::fabs(n.y) +
                          m_halfExtent[2] * std::fabs(n.z));
  if (nearest > eps)
    return true;

  // Worst case of the result: every edge (half the corners) crossed, every face rebuilt with two
  // more corners, and a new face with one corner per crossing.
  const int maxCrossings = m_loopCount / 2;
  if (!reserve(m_vertexCount + maxCrossings, m_loopCount + 2 * m_faceCount + maxCrossings, m_faceCount + 1))
    return false;

  double* d = m_distances;
  for (int i = 0; i < m_vertexCount; ++i) {
    const double* v = m_vertices + 3 * i;
    d[i] = v[0] * n.x + v[1] * n.y + v[2] * n.z - offset;
  }
  // A vertex on the plane would give a new vertex on top of an old one (a zero-length edge), so the
  // plane is pushed into the kept side until the vertices are clear of it. The number of shifts is
  // bounded: after the last one a vertex with distance exactly 0 counts as cut away, which still
  // gives a consistent (if degenerate) polyhedron.
  for (int shift = 0; eps > 0 && shift < MAXIMUM_PLANE_SHIFTS; ++shift) {
    bool close = false;
    for (int i = 0; i < m_vertexCount && !close; ++i)
      close = std::fabs(d[i]) <= eps;
    if (!close)
      break;
    for (int i = 0; i < m_vertexCount; ++i)
      d[i] -= eps;
  }

  // Kept: strictly positive. A plane that only touches the solid (no vertex below it) or misses it
  // (none above) changes nothing.
  int keptCount = 0, belowCount = 0;
  for (int i = 0; i < m_vertexCount; ++i) {
    m_remap[i] = d[i] > 0 ? keptCount++ : -1;
    belowCount += d[i] < 0;
  }
  if (keptCount == 0 || belowCount == 0)
    return true;

  // Kept vertices first, in their old order; new vertices are appended as the faces meet them.
  double* nv = m_nextVertices;
  for (int i = 0; i < m_vertexCount; ++i)
    if (m_remap[i] >= 0) {
      const int j = m_remap[i];
      nv[3 * j] = m_vertices[3 * i];
      nv[3 * j + 1] = m_vertices[3 * i + 1];
      nv[3 * j + 2] = m_vertices[3 * i + 2];
      m_capNext[j] = -1;
    }
  int vertexCount = keptCount;
  int crossingCount = 0;
  // The new vertex on the edge between kept vertex k and removed vertex r, made once per edge and
  // always from the kept end, so both faces of the edge see the same point.
  auto crossing = [&](int k, int r) {
    for (int c = 0; c < crossingCount; ++c)
      if (m_crossings[c].kept == k && m_crossings[c].removed == r)
        return m_crossings[c].vertex;
    const double t = d[k] / (d[k] - d[r]);
    const double* pk = m_vertices + 3 * k;
    const double* pr = m_vertices + 3 * r;
    const int v = vertexCount++;
    for (int a = 0; a < 3; ++a)
      nv[3 * v + a] = pk[a] + t * (pr[a] - pk[a]);
    m_capNext[v] = -1;
    m_crossings[crossingCount++] = {k, r, v};
    return v;
  };

  int loopCount = 0, faceCount = 0;
  for (int f = 0; f < m_faceCount; ++f) {
    const Face& face = m_faces[f];
    const int* loop = m_loops + face.first;
    const int first = loopCount;
    int leavePoint = -1, returnPoint = -1, runs = 0;
    for (int k = 0; k < face.count; ++k) {
      const int u = loop[k];
      const int w = loop[k + 1 < face.count ? k + 1 : 0];
      if (m_remap[u] >= 0)
        m_nextLoops[loopCount++] = m_remap[u];
      if ((m_remap[u] >= 0) == (m_remap[w] >= 0))
        continue;
      if (m_remap[u] >= 0) {
        leavePoint = crossing(u, w);
        m_nextLoops[loopCount++] = leavePoint;
        ++runs;
      } else {
        returnPoint = crossing(w, u);
        m_nextLoops[loopCount++] = returnPoint;
      }
    }
    if (runs > 1)
      return true; // a convex face leaves the kept side once; more means a degenerate cut
    if (runs == 1) {
      // The face runs leavePoint -> returnPoint; the new face holds that edge the other way round.
      if (m_capNext[returnPoint] != -1)
        return true;
      m_capNext[returnPoint] = leavePoint;
    }
    if (loopCount > first)
      m_nextFaces[faceCount++] = {first, loopCount - first, face.id};
  }

  // The cap: one loop through every crossing. Out-degrees are one each (checked above), so walking
  // crossingCount links back to the start proves a single cycle over all of them.
  if (crossingCount < 3)
    return true;
  const int start = m_crossings[0].vertex;
  const int capFirst = loopCount;
  int v = start;
  for (int step = 0; step < crossingCount; ++step) {
    if (v < 0 || (step > 0 && v == start))
      return true;
    m_nextLoops[loopCount++] = v;
    v = m_capNext[v];
  }
  if (v != start)
    return true;
  m_nextFaces[faceCount++] = {capFirst, crossingCount, id};

  std::swap(m_vertices, m_nextVertices);
  std::swap(m_loops, m_nextLoops);
  std::swap(m_faces, m_nextFaces);
  m_vertexCount = vertexCount;
  m_loopCount = loopCount;
  m_faceCount = faceCount;
  updateBounds();
  return true;
}

int KEXPolyhedron::getFaceList(int* ids, int capacity, int minimumId) const
{
  if (!ids || capacity < 1)
    return 0;
  int count = 0;
  for (int f = 0; f < m_faceCount && count < capacity; ++f) {
    const int id = m_faces[f].id;
    if (id < minimumId)
      continue;
    bool seen = false;
    for (int i = 0; i < count && !seen; ++i)
      seen = ids[i] == id;
    if (!seen)
      ids[count++] = id;
  }
  return count;
}

int KEXPolyhedron::getTriangleCount() const
{
  int count = 0;
  for (int f = 0; f < m_faceCount; ++f)
    count += m_faces[f].count - 2;
  return count;
}

bool KEXPolyhedron::writeOFF(const char* prefix, int number) const
{
  if (!prefix)
    return false;
  char name[4096];
  const int length = std::snprintf(name, sizeof name, "%s%04d.off", prefix, number);
  if (length < 0 || length >= int(sizeof name))
    return false;
  FILE* file = std::fopen(name, "w");
  if (!file)
    return false;
  bool ok = std::fprintf(file, "OFF\n%d %d %d\n", m_vertexCount, m_faceCount, 0) > 0;
  for (int i = 0; i < m_vertexCount && ok; ++i)
    ok = std::fprintf(file, "%f %f %f\n", m_vertices[3 * i], m_vertices[3 * i + 1], m_vertices[3 * i + 2]) > 0;
  for (int f = 0; f < m_faceCount && ok; ++f) {
    ok = std::fprintf(file, "%d", m_faces[f].count) > 0;
    for (int k = 0; k < m_faces[f].count && ok; ++k)
      ok = std::fprintf(file, " %d", m_loops[m_faces[f].first + k]) > 0;
    ok = ok && std::fprintf(file, "\n") > 0;
  }
  ok = std::fflush(file) == 0 && ok;
  return std::fclose(file) == 0 && ok;
}

bool KEXPolyhedron::writeASCII(const char* fileName) const
{
  if (!fileName)
    return false;
  KEXCFile file;
  if (!file.open(fileName, "w"))
    return false;
  FILE* s = file.getStream();
  bool ok = std::fprintf(s, "%d\n%d\n0\n0\n0\n0\n0\n", m_vertexCount, getTriangleCount()) > 0;
  for (int i = 0; i < m_vertexCount && ok; ++i)
    ok = std::fprintf(s, "%f %f %f\n", m_vertices[3 * i], m_vertices[3 * i + 1], m_vertices[3 * i + 2]) > 0;
  // Fan from each face's first corner: the faces are convex, so every fan triangle is proper.
  for (int f = 0; f < m_faceCount && ok; ++f) {
    const int* loop = m_loops + m_faces[f].first;
    for (int k = 1; k + 1 < m_faces[f].count && ok; ++k)
      ok = std::fprintf(s, "%d %d %d\n", loop[0], loop[k], loop[k + 1]) > 0;
  }
  ok = std::fflush(s) == 0 && ok;
  return file.close() && ok;
}
