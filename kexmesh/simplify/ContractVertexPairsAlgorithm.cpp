// Vertex pair contraction under error quadrics, by random sampling.
//
// Every vertex carries an error quadric (the sum of the planes of its incident triangles, each
// weighted by the triangle's inner angle at the vertex, plus a plane through the vertex along its
// normal when the mesh has normals), expressed in coordinates centred at the vertex so that float
// storage keeps its precision far from the origin. Border corners add planes perpendicular to the
// face along their border edges and weigh sqrt(2047) times as much: a border moves only when
// moving it costs (almost) nothing. Contracting an edge adds the quadrics of its two vertices and
// places the survivor where their sum is least, subject to a flip test: no triangle around the
// pair may be pushed more than three quarters of its height towards its opposite edge.
//
// Instead of a global priority queue each contraction draws a handful of random edges and takes
// the cheapest (the idea of multiple-choice decimation): no heap to build or update, and the
// cost of a contraction does not grow with the mesh. When valid candidates become rare (most
// random edges fail the topological or error test) the number of candidates grows, and after 500
// fruitless draws the mesh counts as reduced as far as the error limit allows.
//
// The topological test forbids every pair with a common neighbour besides the two vertices
// opposite their edge (the contraction would fold the surface or make an edge non-manifold), and
// pairs whose triangles would collapse into two copies of one triangle. Together with the bound on
// the corners of a pair this keeps every contraction local: at most 13 corners are touched.
//
// The flip test keeps each triangle from turning over in one contraction, but a small closed mesh
// reduced to a handful of triangles could still turn over as a whole, step by step, and come out
// enclosing negative volume (facing inwards). So every closed component keeps its signed volume,
// updated with each contraction from the few triangles it touches, and a contraction that would
// change its sign is not admissible.
#include "kexmesh/simplify/ContractVertexPairsAlgorithm.h"
#include "kexmesh/core/internal/ClosedParts.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Task.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/RemoveCapTrianglesAlgorithm.h"
#include "kexmesh/repair/RepairBadTrianglesAlgorithm.h"
#include "kexmesh/simplify/SmoothTriangulationAlgorithm.h"

#include <cfloat>
#include <cmath>
#include <cstdio>

KEXMESH_DEFINE_CLASS(KEXContractVertexPairsAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using Buffer = KEXTriangleMeshBuffer;
using D = KEXVector3<double>;
using Quadric = KEXQuadric4<double>;

constexpr double SQRT2 = 1.4142135623730951;
constexpr uint64_t RANDOM_MASK = (uint64_t(1) << 48) - 1;

// The process-wide generator: one 48-bit linear congruential state, never reseeded.
uint64_t g_randomState = 0xDEADBEEF;

double nextRandom()
{
  g_randomState = (g_randomState * 0x5DEECE66DULL + 11) & RANDOM_MASK;
  return double(g_randomState >> 18) * (1.0 / 1073741824.0);
}

int randomCorner(int triangleCount) { return int(nextRandom() * 3.0 * double(triangleCount)); }

D toD(const KEXVector3<float>& v) { return D(v.x, v.y, v.z); }
KEXVector3<float> toF(const D& v) { return KEXVector3<float>(float(v.x), float(v.y), float(v.z)); }

double smallestComponent(const KEXVector3<float>& v) { return std::fmin(std::fmin(v.x, v.y), v.z); }

// Counts of the vertices around a pair: a few entries, found by linear search.
class NeighbourCount {
public:
  /// False once a vertex is seen a third time.
  bool add(int v)
  {
    for (int i = 0; i < m_count; ++i)
      if (m_vertex[i] == v)
        return ++m_seen[i] < 3;
    m_vertex[m_count] = v;
    m_seen[m_count++] = 1;
    return true;
  }

private:
  int m_vertex[2 * KEXContractVertexPairsAlgorithm::MAXIMUM_CORNERS] = {};
  int m_seen[2 * KEXContractVertexPairsAlgorithm::MAXIMUM_CORNERS] = {};
  int m_count = 0;
};

bool holds(const KEXTriangle<int>& t, int v) { return t[0] == v || t[1] == v || t[2] == v; }

} // namespace

struct KEXContractVertexPairsAlgorithm::Private {
  /// The contraction's progress task: its message shows the current triangle count.
  class Task : public KEXTask {
  public:
    Task(const char* message, double weight, unsigned int flags) : KEXTask(message, weight, flags) {}
    void setCount(int count) { formatCount(m_text, int(sizeof(m_text)), count); }
    const char* getArgument(int i) const override { return i == 1 ? m_text : nullptr; }

  private:
    char m_text[64] = "0";
  };
};

// --- parameters ----------------------------------------------------------------------------------
KEXContractVertexPairsAlgorithm::KEXContractVertexPairsAlgorithm() : m_quality(KEX::Nicest) {}

KEXContractVertexPairsAlgorithm::KEXContractVertexPairsAlgorithm(const KEXContractVertexPairsAlgorithm& other)
    : KEXTriangleMeshAlgorithmIF(other), KEXMultiThread(other), vertexQuadricList(other.vertexQuadricList),
      meanSamplingDistanceValue(other.meanSamplingDistanceValue), borderWeight(other.borderWeight),
      m_meanSamplingDistance(other.m_meanSamplingDistance), m_maximumError(other.m_maximumError),
      m_vertexLimit(other.m_vertexLimit), m_triangleLimit(other.m_triangleLimit), m_quality(other.m_quality)
{
}

KEXContractVertexPairsAlgorithm& KEXContractVertexPairsAlgorithm::operator=(const KEXContractVertexPairsAlgorithm& other)
{
  if (this != &other) {
    KEXTriangleMeshAlgorithmIF::operator=(other);
    KEXMultiThread::operator=(other);
    vertexQuadricList = other.vertexQuadricList;
    meanSamplingDistanceValue = other.meanSamplingDistanceValue;
    borderWeight = other.borderWeight;
    m_meanSamplingDistance = other.m_meanSamplingDistance;
    m_maximumError = other.m_maximumError;
    m_vertexLimit = other.m_vertexLimit;
    m_triangleLimit = other.m_triangleLimit;
    m_quality = other.m_quality;
  }
  return *this;
}

bool KEXContractVertexPairsAlgorithm::setMeanSamplingDistance(const KEXVector3<float>& d)
{
  m_meanSamplingDistance = d;
  return true;
}

bool KEXContractVertexPairsAlgorithm::setMaximumError(float e)
{
  m_maximumError = e;
  return true;
}

bool KEXContractVertexPairsAlgorithm::setVertexLimit(int n)
{
  m_vertexLimit = n;
  m_triangleLimit = 2 * n;
  return true;
}

bool KEXContractVertexPairsAlgorithm::setTriangleLimit(int n)
{
  m_triangleLimit = n;
  m_vertexLimit = n / 2;
  return true;
}

bool KEXContractVertexPairsAlgorithm::setQuality(KEXenum quality)
{
  if (quality != KEX::Fastest && quality != KEX::Normal && quality != KEX::Advanced && quality != KEX::Nicest)
    return false;
  m_quality = quality;
  return true;
}

uint64_t KEXContractVertexPairsAlgorithm::getRandomState() { return g_randomState; }
void KEXContractVertexPairsAlgorithm::setRandomState(uint64_t state) { g_randomState = state & RANDOM_MASK; }

void KEXContractVertexPairsAlgorithm::formatCount(char* text, int size, int count)
{
  if (count >= 1000000)
    std::snprintf(text, size_t(size), "%d.%03d.%03d", count / 1000000, (count / 1000) % 1000, count % 1000);
  else if (count >= 1000)
    std::snprintf(text, size_t(size), "%d.%03d", count / 1000, count % 1000);
  else
    std::snprintf(text, size_t(size), "%d", count);
}

// --- the run -------------------------------------------------------------------------------------
bool KEXContractVertexPairsAlgorithm::init(void* parameters)
{
  if (!KEXTriangleMeshAlgorithmIF::init(parameters))
    return false;
  const Buffer& b = m_buffer;
  int invalidIndices = 0, nonFinite = 0;
  for (const KEXTriangle<int>& t : b.triangleList)
    for (int k = 0; k < 3; ++k)
      invalidIndices += !b.isValidVertex(t[k]);
  for (const KEXVector3<float>& v : b.vertexList)
    nonFinite += !(std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z));
  if (invalidIndices > 0)
    kexTaskDiagnostics(KEX::Error, "Found %i invalid vertex indices", invalidIndices);
  if (nonFinite > 0)
    kexTaskDiagnostics(KEX::Error, "Found %i invalid vertices", nonFinite);
  return invalidIndices == 0 && nonFinite == 0;
}

bool KEXContractVertexPairsAlgorithm::run(void*)
{
  KEXTask task("Simplifying mesh", 32.0, 0x1010000);
  {
    KEXSubTask sub("Initialization", 4.0);
    if (!initialization()) {
      cleaning();
      return task.statusOf(sub, KEX::OutOfMemory);
    }
  }
  {
    KEXSubTask sub("Contracting vertex pairs", 24.0);
    if (!contractVertexPairs()) {
      cleaning();
      return task.statusOf(sub, KEX::OutOfMemory);
    }
  }
  {
    KEXSubTask sub("Post-processing", 4.0);
    if (!postProcessing()) {
      cleaning();
      return task.statusOf(sub, KEX::OutOfMemory);
    }
  }
  cleaning();
  return task.ok();
}

void KEXContractVertexPairsAlgorithm::cleaning()
{
  m_buffer.removeVertexAdjacencyList();
  vertexQuadricList.clear();
  m_component.clear();
  m_volume.clear();
}

bool KEXContractVertexPairsAlgorithm::initialization()
{
  Buffer& b = m_buffer;
  KEXTask task("Initializing", 17.0, 0x1010000);
  borderWeight = BORDER_WEIGHT;
  // Derived per-triangle lists go stale with the first contraction (and corner pages of the old
  // triangle count would make the buffer inconsistent): they are dropped, as the normals are.
  b.removeTriangleNormalList();
  b.removeTriangleAngleList();
  b.cornerVertexPages.clear();
  b.cornerNormalPages.clear();
  {
    KEXSubTask sub("Creating vertex adjacency list", 8.0);
    if (!b.createVertexAdjacencyList())
      return task.statusOf(sub, KEX::GenericError);
  }
  {
    KEXSubTask sub("Calculating mean sampling distance", 1.0);
    if (smallestComponent(m_meanSamplingDistance) > double(FLT_MIN)) {
      meanSamplingDistanceValue = float(smallestComponent(m_meanSamplingDistance));
    } else {
      KEXVector3<float> d;
      if (!b.calculateMeanSamplingDistance(d)) {
        kexTaskDiagnostics(KEX::Error, "The mesh has no vertices");
        return task.statusOf(sub, KEX::GenericError);
      }
      meanSamplingDistanceValue = float(smallestComponent(d));
      // No axis with a measurable spread (all vertices coincident) leaves every component at its
      // float maximum: no distance to scale the thresholds with either.
      if (!(meanSamplingDistanceValue > FLT_MIN) || meanSamplingDistanceValue >= FLT_MAX) {
        kexTaskDiagnostics(KEX::Error, "The mesh has no positive sampling distance");
        return task.error(KEX::InvalidOperation);
      }
    }
  }
  {
    KEXSubTask sub("Calculating error quadrics", 8.0);
    if (!calculateVertexQuadrics())
      return task.statusOf(sub, KEX::GenericError);
  }
  if (!labelClosedComponents())
    return kexEndOutOfMemory(task, KEX::GenericError);
  // From here on partners are found through the vertex corner lists, which the contractions keep
  // exact; a triangle adjacency list would have to be re-derived around every contraction.
  b.removeTriangleAdjacencyList();
  return task.ok();
}

bool KEXContractVertexPairsAlgorithm::calculateVertexQuadrics()
{
  const int V = m_buffer.getVertexCount();
  KEXTask task("Calculating error quadrics", double(V) + 1.0, 0x30000);
  if (!vertexQuadricList.setCount(V))
    return kexEndOutOfMemory(task, KEX::GenericError);
  if (!task.incProgress(1.0, true))
    return kexEndRefused(task);
  m_task = &task;
  const bool done = runAll(0);
  m_task = nullptr;
  if (!done) {
    if (task.wasAborted() || task.wasStopped())
      return kexEndRefused(task);
    return kexEndOutOfMemory(task);
  }
  return task.ok();
}

bool KEXContractVertexPairsAlgorithm::run()
{
  const Buffer& b = m_buffer;
  const int V = b.getVertexCount();
  const double eps = 0.01 * double(meanSamplingDistanceValue);
  const bool normals = b.hasVertexNormalList();
  for (;;) {
    const long long first = (long long)QUADRIC_CHUNK * getAtomic();
    if (first >= V)
      return true;
    const int begin = int(first);
    const int end = V - begin > QUADRIC_CHUNK ? begin + QUADRIC_CHUNK : V;
    for (int v = begin; v < end; ++v) {
      Quadric q;
      double total = 0.0;
      for (int c : b.vertexAdjacencyList[v]) {
        Quadric qc;
        double angle = 0.0;
        calculateEdgeQuadric(qc, angle, c, eps);
        q += qc * angle;
        total += angle;
      }
      if (normals) {
        const Quadric qn(toD(b.vertexNormalList[v]), 0.0);
        const double w = total > 0.0 ? total : 1.0;
        q += qn * w;
        total += w;
      }
      vertexQuadricList[v] = total > 0.0 ? q * (SQRT2 / total) : q * 0.0;
    }
    if (!m_task->incProgress(double(end - begin), true))
      return false;
  }
}

void KEXContractVertexPairsAlgorithm::calculateEdgeQuadric(Quadric& q, double& angle, int corner, double eps) const
{
  const Buffer& b = m_buffer;
  const int t = corner / 3, i = corner % 3, j = (i + 1) % 3;
  const KEXTriangle<int>& tri = b.triangleList[t];
  const D p[3] = {toD(b.vertexList[tri[0]]), toD(b.vertexList[tri[1]]), toD(b.vertexList[tri[2]])};
  D e[3] = {p[0] - p[2], p[1] - p[0], p[2] - p[1]}; // e[k] ends at vertex k
  double length[3];
  for (int k = 0; k < 3; ++k)
    length[k] = e[k].length();
  if (length[0] <= eps || length[1] <= eps || length[2] <= eps) {
    q = Quadric();
    angle = 0.0;
    return;
  }
  for (int k = 0; k < 3; ++k)
    e[k] = e[k] / length[k];
  const D n = e[i].cross(e[j]); // the face normal, of length sin(angle)
  q = Quadric(n, 0.0);
  bool border = false;
  if (b.partnerCorner(corner) < 0) {
    q += Quadric(n.cross(e[i]), 0.0);
    border = true;
  }
  if (b.partnerCorner(3 * t + j) < 0) {
    q += Quadric(n.cross(e[j]), 0.0);
    border = true;
  }
  if (border)
    q *= borderWeight;
  // Rounding can push the cosine of two unit vectors just past 1.
  const double cosine = -e[i].dot(e[j]);
  angle = std::acos(cosine < -1.0 ? -1.0 : (cosine > 1.0 ? 1.0 : cosine));
}

bool KEXContractVertexPairsAlgorithm::contractVertexPairs()
{
  Buffer& b = m_buffer;
  int V = b.getVertexCount(), T = b.getTriangleCount();
  int vertexLimit = m_vertexLimit < 1 ? V : m_vertexLimit;
  int triangleLimit = m_triangleLimit < 1 ? T : m_triangleLimit;
  if (vertexLimit > V)
    vertexLimit = V;
  if (triangleLimit > T)
    triangleLimit = T;
  const double work = double(V - vertexLimit) + double(T - triangleLimit);
  Private::Task task("Reduced surface to %1 triangles", work, 0x1030000);
  task.setCount(T);
  int sampleCount = 8;
  const double bound = double(m_maximumError) * double(m_maximumError);
  if (work < 1.0)
    return task.ok();

  for (;;) {
    if (V <= vertexLimit && T <= triangleLimit)
      return task.ok();
    const int excessV = V > vertexLimit ? V : vertexLimit;
    const int excessT = T > triangleLimit ? T : triangleLimit;
    for (int n = 0; n < BATCH && (V > vertexLimit || T > triangleLimit); ++n) {
      if (T < 1) // only loose vertices are left: no edge to contract
        return task.stopped();
      double bestCost = bound;
      int bestCorner = -1;
      KEXVector3<float> bestPosition(0.0f, 0.0f, 0.0f);
      for (int draw = 0; draw < sampleCount; ++draw) {
        const int c = randomCorner(T);
        KEXVector3<float> position;
        const double cost = edgeCosts(position, c);
        if (cost <= bestCost) {
          bestCost = cost;
          bestCorner = c;
          bestPosition = position;
        }
      }
      if (bestCorner < 0) {
        for (int draw = sampleCount + 2; draw <= MAXIMUM_DRAWS; ++draw) {
          const int c = randomCorner(T);
          KEXVector3<float> position;
          if (edgeCosts(position, c) <= bestCost) {
            bestCorner = c;
            bestPosition = position;
            if (draw >= 3 * sampleCount)
              ++sampleCount;
            break;
          }
        }
      }
      if (bestCorner < 0)
        return task.stopped(); // nothing left within the error limit
      if (!edgeCollapse(bestPosition, bestCorner))
        return task.error(KEX::GenericError);
      V = b.getVertexCount();
      T = b.getTriangleCount();
    }
    const double progress = double(excessV - (V > vertexLimit ? V : vertexLimit)) +
                            double(excessT - (T > triangleLimit ? T : triangleLimit));
    task.setCount(T);
    if (!task.incProgress(progress, true))
      return kexEndRefused(task);
  }
}

double KEXContractVertexPairsAlgorithm::edgeCosts(KEXVector3<float>& position, int corner) const
{
  const Buffer& b = m_buffer;
  const int t = corner / 3, k = corner % 3;
  const int v1 = b.triangleList[t][(k + 2) % 3], v2 = b.triangleList[t][k];
  const int a = v1 < v2 ? v1 : v2, bb = v1 < v2 ? v2 : v1;
  if (!isReasonableMerger(a, bb))
    return DBL_MAX;
  const D pa = toD(b.vertexList[a]), pb = toD(b.vertexList[bb]);
  const D m = (pa + pb) * 0.5;
  Quadric qa(vertexQuadricList[a]), qb(vertexQuadricList[bb]);
  qa.translate(m - pa);
  qb.translate(m - pb);
  const Quadric q = qa + qb;

  double best = DBL_MAX;
  KEXVector3<float> bestPosition(0.0f, 0.0f, 0.0f);
  if (m_quality == KEX::Nicest) {
    D y;
    if (q.findGlobalMinimum(y) && isValidVector(a, bb, toF(m + y))) {
      position = toF(m + y);
      return q.evaluate(y);
    }
  }
  if (m_quality == KEX::Advanced || m_quality == KEX::Nicest) {
    D y;
    if (q.findLinearMinimum(pa - m, pb - m, y) && isValidVector(a, bb, toF(m + y))) {
      position = toF(m + y);
      return q.evaluate(y);
    }
    if (isValidVector(a, bb, toF(m))) {
      best = q.evaluate(D(0.0, 0.0, 0.0));
      bestPosition = toF(m);
    }
  }
  const KEXVector3<float> ends[2] = {b.vertexList[a], b.vertexList[bb]};
  for (const KEXVector3<float>& e : ends) {
    if (!isValidVector(a, bb, e))
      continue;
    const double cost = q.evaluate(toD(e) - m);
    if (cost < best) {
      best = cost;
      bestPosition = e;
    }
  }
  position = bestPosition;
  return best;
}

bool KEXContractVertexPairsAlgorithm::labelClosedComponents()
{
  const Buffer& b = m_buffer;
  const int V = b.getVertexCount(), T = b.getTriangleCount();
  m_volume.clear();
  KEXValueList<char> closed(64, true);
  const int count = kexmeshcore::labelParts(b, m_component, closed);
  if (count < 0 || !m_volume.setCount(count, 0.0))
    return false;
  m_volumeOrigin = kexmeshcore::boxCentre(b.vertexList.getData(), V);
  for (int t = 0; t < T; ++t) {
    const KEXTriangle<int>& tri = b.triangleList[t];
    if (kexmeshcore::indexesVertices(tri, V))
      m_volume[m_component[tri[0]]] += kexmeshcore::triangleVolume(b.vertexList.getData(), tri, m_volumeOrigin);
  }
  // Open parts and flat ones have no sign to keep.
  for (int v = 0; v < V; ++v)
    if (!closed[m_component[v]] || !(m_volume[m_component[v]] != 0.0))
      m_component[v] = -1;
  return true;
}

double KEXContractVertexPairsAlgorithm::volumeChange(int a, int bb, const D& position) const
{
  const Buffer& b = m_buffer;
  const D p = position - m_volumeOrigin;
  double change = 0.0;
  for (int pass = 0; pass < 2; ++pass) {
    const int moved = pass == 0 ? a : bb, other = pass == 0 ? bb : a;
    for (int c : b.vertexAdjacencyList[moved]) {
      const KEXTriangle<int>& tri = b.triangleList[c / 3];
      D q[3];
      for (int k = 0; k < 3; ++k)
        q[k] = toD(b.vertexList[tri[k]]) - m_volumeOrigin;
      const double before = kexmeshcore::tetraVolume(q[0], q[1], q[2]);
      if (holds(tri, other)) {
        if (pass == 0)
          change -= before; // a triangle of the pair: the contraction removes it
        continue;
      }
      q[c % 3] = p;
      change += kexmeshcore::tetraVolume(q[0], q[1], q[2]) - before;
    }
  }
  return change;
}

bool KEXContractVertexPairsAlgorithm::isReasonableMerger(int a, int b) const
{
  if (a == b)
    return false;
  const Buffer& buf = m_buffer;
  const KEXCompactIndexArray& la = buf.vertexAdjacencyList[a];
  const KEXCompactIndexArray& lb = buf.vertexAdjacencyList[b];
  if (la.getCount() + lb.getCount() >= MAXIMUM_CORNERS)
    return false;
  NeighbourCount seen;
  int pairs[MAXIMUM_CORNERS][2];
  int pairCount = 0;
  for (int c : la) {
    const KEXTriangle<int>& t = buf.triangleList[c / 3];
    if (holds(t, b))
      continue;
    const int x = buf.cornerVertex(Buffer::nextCorner(c)), y = buf.cornerVertex(Buffer::previousCorner(c));
    if (!seen.add(x) || !seen.add(y))
      return false;
    pairs[pairCount][0] = x < y ? x : y;
    pairs[pairCount++][1] = x < y ? y : x;
  }
  for (int c : lb) {
    const KEXTriangle<int>& t = buf.triangleList[c / 3];
    if (holds(t, a))
      continue;
    const int x = buf.cornerVertex(Buffer::nextCorner(c)), y = buf.cornerVertex(Buffer::previousCorner(c));
    if (!seen.add(x) || !seen.add(y))
      return false;
    // (a, x, y) and (b, x, y) would both become (s, x, y): two copies of one triangle.
    const int lo = x < y ? x : y, hi = x < y ? y : x;
    for (int i = 0; i < pairCount; ++i)
      if (pairs[i][0] == lo && pairs[i][1] == hi)
        return false;
  }
  return true;
}

bool KEXContractVertexPairsAlgorithm::isValidVector(int a, int b, const KEXVector3<float>& position) const
{
  if (m_quality == KEX::Fastest)
    return true;
  const Buffer& buf = m_buffer;
  const KEXCompactIndexArray& la = buf.vertexAdjacencyList[a];
  const KEXCompactIndexArray& lb = buf.vertexAdjacencyList[b];
  const D p = toD(position);
  int i = la.getCount() - 1, j = lb.getCount() - 1;
  while (i >= 0 && j >= 0) {
    const int ca = la[i], cb = lb[j];
    if (ca / 3 == cb / 3) {
      // A triangle of the pair: the contraction removes it.
      const int t = ca / 3;
      if (!isValidCorner(ca, p, 1.0078125, 1.0) || !isValidCorner(cb, p, 1.0078125, 1.0) ||
          !isValidCorner(3 * t + 3 - ca % 3 - cb % 3, p, 0.25, -1.0))
        return false;
      --i;
      --j;
    } else if (ca > cb) {
      if (!isValidCorner(ca, p, 0.75, 1.0))
        return false;
      --i;
    } else {
      if (!isValidCorner(cb, p, 0.75, 1.0))
        return false;
      --j;
    }
  }
  for (; i >= 0; --i)
    if (!isValidCorner(la[i], p, 0.75, 1.0))
      return false;
  for (; j >= 0; --j)
    if (!isValidCorner(lb[j], p, 0.75, 1.0))
      return false;
  const int component = m_component.getCount() > a ? m_component[a] : -1;
  if (component >= 0) {
    const double volume = m_volume[component];
    if (!((volume + volumeChange(a, b, p)) * volume > 0.0))
      return false;
  }
  return true;
}

bool KEXContractVertexPairsAlgorithm::isValidCorner(int corner, const D& position, double fraction, double sign) const
{
  const Buffer& b = m_buffer;
  const D p0 = toD(b.vertexList[b.cornerVertex(corner)]);
  const D p1 = toD(b.vertexList[b.cornerVertex(Buffer::nextCorner(corner))]);
  const D p2 = toD(b.vertexList[b.cornerVertex(Buffer::previousCorner(corner))]);
  const D u = p1 - p0, w = p2 - p1;
  const D n = u * w.dot(w) - w * w.dot(u); // towards the opposite edge, scaled by |w|^2
  const D q = p0 + u * fraction;
  return !(sign * n.dot(q) < sign * n.dot(position)); // a NaN comparison passes
}

bool KEXContractVertexPairsAlgorithm::edgeCollapse(const KEXVector3<float>& position, int corner)
{
  Buffer& b = m_buffer;
  const int t = corner / 3, k = corner % 3;
  const int r = b.triangleList[t][k];           // removed
  const int s = b.triangleList[t][(k + 2) % 3]; // survives
  const D p = toD(position), ps = toD(b.vertexList[s]), pr = toD(b.vertexList[r]);
  const int component = m_component.getCount() > s ? m_component[s] : -1;
  if (component >= 0)
    m_volume[component] += volumeChange(s, r, p);

  Quadric qs(vertexQuadricList[s]), qr(vertexQuadricList[r]);
  qs.translate(p - ps);
  qr.translate(p - pr);
  vertexQuadricList[s] = qs + qr;

  const bool normals = b.hasVertexNormalList(), colors = b.hasVertexColorList();
  if (normals || colors) {
    const double ds = (p - ps).length(), dr = (p - pr).length();
    // Each end weighs by the distance of the other: the nearer end's attributes dominate.
    double ws = dr, wr = ds;
    if (ds + dr < 0.01 * double(meanSamplingDistanceValue))
      ws = wr = 0.5;
    if (normals) {
      D n = toD(b.vertexNormalList[s]) * ws + toD(b.vertexNormalList[r]) * wr;
      const double length = n.length();
      if (length > 0.0) // opposite normals cancel: keep the survivor's
        b.vertexNormalList[s] = toF(n / length);
    }
    if (colors) {
      const float fs = float(ws / (ws + wr)), fr = float(wr / (ws + wr));
      KEXRGBA<float> c = b.vertexColorList[s] * fs + b.vertexColorList[r] * fr;
      b.vertexColorList[s] = c.clamp();
    }
  }
  b.vertexList[s] = position;

  if (!b.redirectVertex(r, s) || !updateTriangles(s))
    return false;
  const int last = b.getVertexCount() - 1;
  if (r != last) {
    if (!b.swapVertices(r, last))
      return false;
    vertexQuadricList[r] = vertexQuadricList[last];
    if (m_component.getCount() > last)
      m_component[r] = m_component[last];
  }
  b.setVertexCount(last);
  vertexQuadricList.setCount(last);
  if (m_component.getCount() > last)
    m_component.setCount(last);
  return true;
}

bool KEXContractVertexPairsAlgorithm::updateTriangles(int vertex)
{
  Buffer& b = m_buffer;
  const KEXCompactIndexArray& list = b.vertexAdjacencyList[vertex];
  constexpr int CAPACITY = MAXIMUM_CORNERS;
  int removed[CAPACITY];
  int count = 0;
  for (int i = 1; i < list.getCount(); ++i) {
    const int t = list[i] / 3;
    if (t != list[i - 1] / 3 || (count > 0 && removed[count - 1] == t))
      continue;
    if (count == CAPACITY) // more than a reasonable merger can produce
      return false;
    removed[count++] = t;
  }
  // Highest index first, each exchanged with the current last triangle, then one cut.
  int last = b.getTriangleCount() - 1;
  for (int i = count - 1; i >= 0; --i, --last)
    if (!b.swapTriangles(removed[i], last))
      return false;
  return b.setTriangleCount(last + 1);
}

bool KEXContractVertexPairsAlgorithm::postProcessing()
{
  KEXTask task("Post-processing", 6.0, 0x1010000);
  KEXRepairBadTrianglesAlgorithm repair;
  KEXRemoveCapTrianglesAlgorithm caps;
  KEXSmoothTriangulationAlgorithm smooth;
  KEXTriangleMeshAlgorithmIF* const steps[3] = {&repair, &caps, &smooth};
  for (KEXTriangleMeshAlgorithmIF* step : steps) {
    KEXSubTask sub(nullptr, 2.0);
    if (!step->setBuffer(&m_buffer))
      return kexEndOutOfMemory(task);
    const bool done = step->execute(nullptr);
    step->setBuffer(nullptr);
    if (!done)
      return sub.hasOutcome() ? task.statusOf(sub, KEX::OutOfMemory) : kexEndOutOfMemory(task);
    // A step may end early and successfully on a stop; the run must not then report a result.
    if (task.wasStopped() || task.wasAborted())
      return kexEndRefused(task);
  }
  return task.ok();
}
