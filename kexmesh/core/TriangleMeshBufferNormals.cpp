// Normal computations of the triangle mesh buffer.
//
// Triangle normals are cross products of two edges (length twice the area), taken at the corner
// whose angle is closest to a right angle, which is the numerically best-conditioned pair. A
// triangle whose doubled area is tiny compared with the mesh's mean edge length has a meaningless
// cross product; it borrows the mean direction of its non-degenerate vertex neighbours instead.
// Vertex normals are angle-weighted means of the triangle normals (the weighting makes the result
// independent of how a surface patch is triangulated). Corner normals smooth across edges whose
// dihedral angle stays below a crease angle and keep creases sharp; they feed drawing and the
// analyzer through fixed-size pages so that no single allocation reaches 1 MiB.
//
// The hot loops work on the raw arrays of the lists and report progress once per block.
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/internal/ParallelBlocks.h"
#include "kexmesh/core/internal/ScratchAllocator.h"
#include "kexmesh/core/internal/TaskEnd.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

#include "kex/Task.h"

#include <cmath>

namespace {

constexpr double EPS = 2.220446049250313e-16;
constexpr double FLOAT_EPS = 1.1920929e-07;

/// First triangle (at or after first) with a vertex index outside 0 ... V-1, or -1.
int findInvalidTriangle(const KEXTriangle<int>* tri, int first, int end, int V)
{
  const unsigned uv = unsigned(V);
  for (int t = first; t < end; ++t)
    if (unsigned(tri[t][0]) >= uv || unsigned(tri[t][1]) >= uv || unsigned(tri[t][2]) >= uv)
      return t;
  return -1;
}

inline double squaredLength(const KEXVector3<float>& v)
{
  return double(v.x) * v.x + double(v.y) * v.y + double(v.z) * v.z;
}

inline double dot(const KEXVector3<float>& a, const KEXVector3<float>& b)
{
  return double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z;
}

inline bool isFinite(const KEXVector3<float>& v)
{
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

/// The corner of triangle t at vertex v, or -1.
inline int cornerAt(const int* vert, int t, int v)
{
  for (int k = 0; k < 3; ++k)
    if (vert[3 * t + k] == v)
      return 3 * t + k;
  return -1;
}

/// The angle-weighted normal sum of one corner's smooth fan: the corner's own triangle and the
/// neighbours around its vertex reached without crossing a crease (a dot product of neighbouring
/// triangle normals below cosLimit) or a border.
class CornerFan {
public:
  CornerFan(const int* vert, const int* adj, const KEXVector3<float>* tn, const float* ang, double cosLimit)
      : m_vert(vert), m_adj(adj), m_tn(tn), m_ang(ang), m_cosLimit(cosLimit)
  {
  }

  /// The unit normal of corner c at vertex v (at most maxSteps neighbours each way); zero when the
  /// fan has no usable direction.
  KEXVector3<float> normal(int c, int maxSteps)
  {
    const KEXVector3<float>& own = m_tn[c / 3];
    m_sum = KEXVector3<double>(own.x, own.y, own.z);
    m_weight = m_ang[c];
    // First across the edge ending at c, then, unless the fan closed, across the edge starting at c.
    if (!walk(c, m_adj[c], maxSteps))
      walk(c, m_adj[KEXTriangleMeshBuffer::nextCorner(c)], maxSteps);
    const double s2 = m_sum.x * m_sum.x + m_sum.y * m_sum.y + m_sum.z * m_sum.z;
    if (!(m_weight >= FLOAT_EPS && s2 > 0.0 && std::isfinite(s2)))
      return KEXVector3<float>(0.0f, 0.0f, 0.0f);
    const double f = 1.0 / std::sqrt(s2);
    return KEXVector3<float>(float(m_sum.x * f), float(m_sum.y * f), float(m_sum.z * f));
  }

private:
  /// Each step enters the neighbour at its corner on v and leaves it across the other edge at that
  /// corner. True when the walk came back to c (the fan is closed and complete).
  bool walk(int c, int partner, int maxSteps)
  {
    const int v = m_vert[c];
    const KEXVector3<float>* prev = &m_tn[c / 3];
    for (int step = 0; partner >= 0 && step < maxSteps; ++step) {
      const int t2 = partner / 3;
      const int cv = cornerAt(m_vert, t2, v);
      if (cv < 0)
        return false;
      if (cv == c)
        return true;
      const KEXVector3<float>& n2 = m_tn[t2];
      if (!isFinite(n2) || dot(*prev, n2) < m_cosLimit)
        return false;
      const double a2 = m_ang[cv];
      m_sum += KEXVector3<double>(n2.x * a2, n2.y * a2, n2.z * a2);
      m_weight += a2;
      prev = &n2;
      if (partner == cv)
        partner = m_adj[KEXTriangleMeshBuffer::nextCorner(cv)];
      else if (partner == KEXTriangleMeshBuffer::nextCorner(cv))
        partner = m_adj[cv];
      else
        return false;
    }
    return false;
  }

  const int* m_vert;
  const int* m_adj;
  const KEXVector3<float>* m_tn;
  const float* m_ang;
  double m_cosLimit;
  KEXVector3<double> m_sum;
  double m_weight = 0.0;
};

/// A degenerate triangle's replacement normal, remembered until the pass over all triangles is
/// done so that a repaired triangle never serves as a neighbour of another degenerate one.
struct NormalFix {
  int triangle;
  KEXVector3<float> normal;
};

/// Corner pages: pages of PAGE_SIZE entries, the last one shorter. Allocates page by page.
class PageWriter {
public:
  PageWriter(KEXValueList<KEXTriangleMeshBuffer::Page>& pages) : m_pages(pages) {}
  /// Sizes the outer list for total entries; false when memory is short.
  bool init(int total)
  {
    m_total = total;
    int count = int((long long)(total) + KEXTriangleMeshBuffer::PAGE_SIZE - 1) / KEXTriangleMeshBuffer::PAGE_SIZE;
    return m_pages.setCount(count);
  }
  /// Pointer to the entry for index i (entries are written in order); null when memory is short.
  KEXVector3<float>* prepare(int i)
  {
    const int P = KEXTriangleMeshBuffer::PAGE_SIZE;
    if (i % P == 0) {
      KEXTriangleMeshBuffer::Page& page = m_pages[i / P];
      page.setBlockSize(1024);
      if (!page.setCount(std::min(P, m_total - i)))
        return nullptr;
      m_current = page.getData();
    }
    return m_current + (i % P);
  }

private:
  KEXValueList<KEXTriangleMeshBuffer::Page>& m_pages;
  KEXVector3<float>* m_current = nullptr;
  int m_total = 0;
};

} // namespace

bool KEXTriangleMeshBuffer::calculateTriangleNormals()
{
  const int T = getTriangleCount();
  const int V = getVertexCount();
  KEXTask task("Calculating triangle normal vectors", 6.0 * T + 1.0, 0x1010000, 0);
  task.incProgress(1.0, true);
  if (T == 0) {
    triangleNormalList.clear();
    return task.ok();
  }
  const int BLOCK = 8192;

  // Validate every index first: an invalid one leaves the normal list untouched.
  const KEXTriangle<int>* tri = triangleList.getData();
  for (int first = 0; first < T; first += BLOCK) {
    const int end = std::min(T, first + BLOCK);
    if (findInvalidTriangle(tri, first, end, V) >= 0)
      return task.error(KEX::GenericError);
    if (!task.incProgress(end - first, true))
      return kexEndRefused(task);
  }

  {
    KEXSubTask sub("Creating vertex adjacency list", 3.0 * T);
    if (!hasVertexAdjacencyList() && !createVertexAdjacencyList())
      return task.statusOf(sub, KEX::GenericError);
  }

  // Cross products and each triangle's edge length sum on the worker threads; the sums are then
  // added in triangle order on this thread, so the degeneracy threshold is the same for any
  // thread count (and the same as one running sum over the triangles).
  triangleNormalList.clear();
  KEXScratchAllocator scratch;
  double* edges = scratch.allocate<double>(size_t(T));
  if (!edges || !triangleNormalList.setCount(T)) {
    triangleNormalList.clear();
    return task.error(KEX::GenericError);
  }
  tri = triangleList.getData();
  const KEXVector3<float>* pos = vertexList.getData();
  KEXVector3<float>* nrm = triangleNormalList.getData();
  bool stopped = false;
  const bool crossed = kexmeshcore::parallelBlocks(task, T, BLOCK, 1.0, stopped, [&](int first, int end) {
    for (int t = first; t < end; ++t) {
      const KEXVector3<float>& a = pos[tri[t][0]];
      const KEXVector3<float>& b = pos[tri[t][1]];
      const KEXVector3<float>& c = pos[tri[t][2]];
      KEXTriangleCalculus3<float>::normalVector(nrm[t], a, b, c);
      double abx = double(b.x) - a.x, aby = double(b.y) - a.y, abz = double(b.z) - a.z;
      double bcx = double(c.x) - b.x, bcy = double(c.y) - b.y, bcz = double(c.z) - b.z;
      double cax = double(a.x) - c.x, cay = double(a.y) - c.y, caz = double(a.z) - c.z;
      edges[t] = std::sqrt(abx * abx + aby * aby + abz * abz) + std::sqrt(bcx * bcx + bcy * bcy + bcz * bcz) +
                 std::sqrt(cax * cax + cay * cay + caz * caz);
    }
    return true;
  });
  if (!crossed) { // only a stop ends the pass early
    triangleNormalList.clear();
    return kexEndRefused(task);
  }
  double edgeSum = 0.0;
  for (int t = 0; t < T; ++t)
    edgeSum += edges[t];
  const double L = edgeSum / (3.0 * T);

  // Repair degenerate triangles: doubled area below 0.001 L^2, i.e. squared length below tau.
  const double tau = L * L * L * L * 1e-6;
  KEXValueList<NormalFix> fixes(256, true);
  KEXValueList<int> neighbours(64, true);
  for (int first = 0; first < T; first += BLOCK) {
    const int end = std::min(T, first + BLOCK);
    for (int t = first; t < end; ++t) {
      if (!(squaredLength(nrm[t]) < tau))
        continue;
      neighbours.clear();
      double sx = 0.0, sy = 0.0, sz = 0.0;
      for (int k = 0; k < 3; ++k) {
        const KEXCompactIndexArray& corners = vertexAdjacencyList[tri[t][k]];
        for (int c : corners) {
          const int u = c / 3;
          if (u == t)
            continue;
          const double len2 = squaredLength(nrm[u]);
          if (!(len2 >= tau))
            continue;
          bool seen = false;
          for (int n : neighbours)
            if (n == u) {
              seen = true;
              break;
            }
          if (seen)
            continue;
          if (!neighbours.append(u)) {
            triangleNormalList.clear();
            return task.error(KEX::GenericError);
          }
          const double f = 1.0 / std::sqrt(len2);
          sx += nrm[u].x * f;
          sy += nrm[u].y * f;
          sz += nrm[u].z * f;
        }
      }
      KEXVector3<float> n(0.0f, 0.0f, 0.0f);
      const double s2 = sx * sx + sy * sy + sz * sz;
      if (!neighbours.isEmpty() && s2 > 0.0) {
        const double f = 1.0 / std::sqrt(s2);
        n = KEXVector3<float>(float(sx * f), float(sy * f), float(sz * f));
      }
      if (!fixes.append({t, n})) {
        triangleNormalList.clear();
        return task.error(KEX::GenericError);
      }
    }
    if (!task.incProgress(end - first, true)) {
      triangleNormalList.clear();
      return kexEndRefused(task);
    }
  }
  for (const NormalFix& f : fixes)
    nrm[f.triangle] = f.normal;
  return task.ok();
}

bool KEXTriangleMeshBuffer::calculateVertexNormals()
{
  const int T = getTriangleCount();
  const int V = getVertexCount();
  KEXTask task("Creating vertex normal list", double(V) + 6.0 * T + 1.0, 0x1010000, 0);
  task.incProgress(1.0, true);

  {
    KEXSubTask sub("Creating vertex adjacency list", 2.0 * T);
    if (!hasVertexAdjacencyList() && !createVertexAdjacencyList())
      return task.statusOf(sub, KEX::GenericError);
  }
  const bool normalsGiven = hasTriangleNormalList();
  {
    KEXSubTask sub("Creating triangle normal list", 2.0 * T);
    if (!normalsGiven && !calculateTriangleNormals())
      return task.statusOf(sub, KEX::GenericError);
  }
  {
    KEXSubTask sub("Creating triangle angle list", 2.0 * T);
    KEXDerivedListScope angles = KEXDerivedListScope::triangleAngles(*this, false);
    // The angle computation reads positions unchecked; a given normal list proves nothing about
    // the indices, so check them before the angles are computed.
    if (!hasTriangleAngleList() && normalsGiven && findInvalidTriangle(triangleList.getData(), 0, T, V) >= 0)
      return task.error(KEX::GenericError);
    if (!angles.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }

  if (!vertexNormalList.setCount(V)) {
    vertexNormalList.clear();
    return kexEndOutOfMemory(task);
  }
  if (V == 0)
    return task.ok();

  const KEXCompactIndexArray* adjacency = vertexAdjacencyList.getData();
  const float* angle = T > 0 ? &triangleAngleList.getData()->x : nullptr;
  const KEXVector3<float>* tn = triangleNormalList.getData();
  KEXVector3<float>* out = vertexNormalList.getData();
  // Each vertex sums its own corners in their stored order: the result does not depend on how
  // the vertex blocks are shared out among the threads.
  bool stopped = false;
  const bool done = kexmeshcore::parallelBlocks(task, V, 4096, 1.0, stopped, [&](int first, int end) {
    for (int v = first; v < end; ++v) {
      const int* c = adjacency[v].getData();
      const int count = adjacency[v].getCount();
      double nx = 0.0, ny = 0.0, nz = 0.0, w = 0.0;
      for (int i = 0; i < count; ++i) {
        const int corner = c[i];
        const double a = angle[corner];
        const KEXVector3<float>& n = tn[corner / 3];
        nx += a * n.x;
        ny += a * n.y;
        nz += a * n.z;
        w += a;
      }
      if (w >= EPS) {
        const double f = 1.0 / w;
        out[v] = KEXVector3<float>(float(nx * f), float(ny * f), float(nz * f));
      } else {
        out[v] = KEXVector3<float>(0.0f, 0.0f, 0.0f);
      }
    }
    return true;
  });
  if (!done) { // only a stop ends the pass early
    vertexNormalList.clear();
    return kexEndRefused(task);
  }
  return task.ok();
}

bool KEXTriangleMeshBuffer::harmonizeTriangleNormals(float length)
{
  const int N = triangleNormalList.getCount();
  KEXTask task("Harmonizing triangle normal vectors", double(N) + 1.0, 0x10000, 0);
  task.incProgress(1.0, true);
  KEXVector3<float>* n = triangleNormalList.getData();
  const int BLOCK = 16384;
  for (int first = 0; first < N; first += BLOCK) {
    const int end = std::min(N, first + BLOCK);
    for (int i = first; i < end; ++i)
      n[i].normalize(length);
    if (!task.incProgress(end - first, true))
      return kexEndRefused(task);
  }
  return task.ok();
}

bool KEXTriangleMeshBuffer::harmonizeVertexNormals(float length)
{
  const int N = vertexNormalList.getCount();
  if (N == 0)
    return true;
  KEXTask task("Harmonizing vertex normal list", double(N), 0x10000, 0);
  const double l2 = double(length) * double(length);
  KEXVector3<float>* n = vertexNormalList.getData();
  const int BLOCK = 8192;
  for (int first = 0; first < N; first += BLOCK) {
    const int end = std::min(N, first + BLOCK);
    for (int i = first; i < end; ++i) {
      n[i].normalize(length);
      const double r = squaredLength(n[i]) / l2;
      if (!(r >= 0.95 && r <= 1.05)) {
        KEXTask::Diagnostics d(KEX::Error, "Invalid vertex normal found");
        return task.error(KEX::InvalidValue, &d);
      }
    }
    if (!task.incProgress(end - first, true))
      return kexEndRefused(task);
  }
  return task.ok();
}

bool KEXTriangleMeshBuffer::updateCornerNormals(float creaseAngleDegrees)
{
  if (!isConsistent())
    return false;
  cornerVertexPages.clear();
  cornerNormalPages.clear();
  const int V = getVertexCount();
  const int T = getTriangleCount();
  if (V == 0)
    return true;
  const double cosLimit = std::cos(double(creaseAngleDegrees) * 0.017453292519943295);

  KEXTask task("Updating Vertex normals", 4.0 * T + 1.0, 0x1010000, 0x20000);
  task.incProgress(1.0, true);
  PageWriter positions(cornerVertexPages), normals(cornerNormalPages);
  auto failMemory = [&]() {
    cornerVertexPages.clear();
    cornerNormalPages.clear();
    return kexEndOutOfMemory(task);
  };

  if (T == 0) {
    // A point cloud: one entry per vertex with its normal, as far as both lists reach.
    const int n = std::min(V, vertexNormalList.getCount());
    if (!positions.init(n) || !normals.init(n))
      return failMemory();
    for (int i = 0; i < n; ++i) {
      KEXVector3<float>* p = positions.prepare(i);
      KEXVector3<float>* q = normals.prepare(i);
      if (!p || !q)
        return failMemory();
      *p = vertexList[i];
      *q = vertexNormalList[i];
    }
    return task.ok();
  }

  {
    KEXSubTask sub("Creating vertex adjacency list", 0.2 * T);
    KEXDerivedListScope scope = KEXDerivedListScope::vertexAdjacency(*this, false);
    if (!scope.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }
  {
    KEXSubTask sub("Creating triangle adjacency list", 0.4 * T);
    KEXDerivedListScope scope = KEXDerivedListScope::triangleAdjacency(*this, false);
    if (!scope.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }
  {
    KEXSubTask sub("Creating triangle normal list", 0.4 * T);
    KEXDerivedListScope scope = KEXDerivedListScope::triangleNormals(*this, false);
    if (!scope.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }
  {
    KEXSubTask sub("Harmonizing triangle normal list", 0.4 * T);
    if (!harmonizeTriangleNormals(1.0f))
      return task.statusOf(sub, KEX::GenericError);
  }
  // A normal list that was present proves nothing about the indices; positions are read below.
  if (findInvalidTriangle(triangleList.getData(), 0, T, V) >= 0)
    return task.error(KEX::GenericError);

  // Inner angles once per triangle; each corner's walk needs the angle at every triangle it visits.
  KEXValueList<KEXVector3<float>> angles(1024, true);
  if (!angles.setCount(T))
    return failMemory();
  const KEXTriangle<int>* tri = triangleList.getData();
  const KEXVector3<float>* pos = vertexList.getData();
  for (int t = 0; t < T; ++t) {
    KEXVector3<double> a;
    KEXTriangleCalculus3<float>::angles(a, pos[tri[t][0]], pos[tri[t][1]], pos[tri[t][2]]);
    angles[t] = KEXVector3<float>(float(a.x), float(a.y), float(a.z));
  }

  const int C = 3 * T;
  if (!positions.init(C) || !normals.init(C))
    return failMemory();
  const int* adj = triangleAdjacencyList.getData()->getComponentPtr();
  const int* vert = triangleList.getData()->getComponentPtr();
  const KEXVector3<float>* tn = triangleNormalList.getData();
  const float* ang = &angles.getData()->x;
  const double reportStep = T * 2.6 / 85.0;
  double nextReport = reportStep;

  CornerFan fan(vert, adj, tn, ang, cosLimit);
  for (int c = 0; c < C; ++c) {
    const int v = vert[c];
    KEXVector3<float>* p = positions.prepare(c);
    KEXVector3<float>* q = normals.prepare(c);
    if (!p || !q)
      return failMemory();
    *p = pos[v];
    *q = fan.normal(c, vertexAdjacencyList[v].getCount());
    if (c + 1 >= nextReport) {
      nextReport += reportStep;
      if (!task.incProgress(reportStep, true)) {
        cornerVertexPages.clear();
        cornerNormalPages.clear();
        return kexEndRefused(task);
      }
    }
  }
  return task.ok();
}
