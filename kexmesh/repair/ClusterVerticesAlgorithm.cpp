// Vertex clustering (welding) by single linkage.
//
// Every pair of vertices at most d apart (Euclidean, in double; with vertex normals also no more
// than 90.01 degrees apart) is united in a union-find table, so any chain of such pairs becomes one
// cluster. Candidates come from a BSP tree over the positions (median splits, leaves of eight
// points). The pair search runs on several threads: each keeps a private parent table (4 bytes per
// vertex) and unites without locks; the tables are merged under the thread object's lock at the
// end. Unions always hang the larger root under the smaller one, so every root is the smallest index
// of its cluster and the result does not depend on the thread count, the claim order or the shape
// of the tree. The table is then renumbered in one ascending pass (clusters numbered by their
// smallest index), each cluster becomes one vertex at its centroid (mean colour and scalar, the
// normal sum renormalised), triangles are renumbered and those that collapsed are dropped.
//
// The search walks the tree's leaves in tree order: claims of 8192 points are runs of the tree's
// entry array, and each leaf is matched once against the leaves its enlarged box reaches, testing
// every unordered pair once. Tree order keeps neighbouring queries on neighbouring memory.
//
// At a vanishing distance (the weld of exact copies, as the extractor and the soup readers need it)
// no tree is built: the clusters are found by hashing the coordinates (internal/ExactWeld.h), with
// the same pair rule and the same smallest-index roots, so the result is the same. Vertex normals,
// which can keep coincident vertices apart, and meshes with many coordinates next to zero, where
// float values lie closer than the distance, keep the tree search. The hash partitions are
// independent and run on the worker threads.
//
// Nothing in the buffer changes before the merge table is complete and the one allocation of the
// update (the cluster sizes) succeeded, so a stop or an allocation failure leaves the buffer as it
// was, apart from the lists cleared up front.
#include "kexmesh/repair/ClusterVerticesAlgorithm.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Memory.h"
#include "kexmesh/core/internal/UnionFind.h"
#include "kexmesh/repair/internal/ExactWeld.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

KEXMESH_DEFINE_CLASS(KEXClusterVerticesAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

/// Whether summing the positions of a cluster can exceed the float range: the largest coordinate
/// magnitude times the largest cluster size (table maps each vertex to its cluster 0 ... K-1;
/// count, K zeros, is used for counting and left zero).
bool sumMayOverflow(const KEXVector3<float>* pos, const int* table, int V, int* count, int K)
{
  double largest = 0.0;
  for (int v = 0; v < V; ++v)
    largest = std::max({largest, double(std::fabs(pos[v].x)), double(std::fabs(pos[v].y)), double(std::fabs(pos[v].z))});
  if (largest * double(V) <= double(FLT_MAX))
    return false; // not even all vertices in one cluster could overflow
  int most = 0;
  for (int v = 0; v < V; ++v)
    most = std::max(most, ++count[table[v]]);
  std::fill(count, count + K, 0);
  return largest * double(most) > double(FLT_MAX);
}

constexpr int CLAIM_SIZE = 8192;
constexpr float GUESS_FACTOR = 6.1035156e-5f; // 2^-14
constexpr double REPAIR_DIAGONAL_SHARE = 1e-5;  // repairs weld at most this share of the diagonal
// Two vertex normals are compatible when at most 90.01 degrees apart.
const double NORMAL_LIMIT = std::cos(1.5709708597200962);

using Entry = KEXPointBSPTree::Entry;

using kexunion::uniteToSmaller; // the smaller-root rule keeps the result thread-independent

} // namespace

KEXClusterVerticesAlgorithm::KEXClusterVerticesAlgorithm(float distance) : maximumDistance(distance) {}

KEXClusterVerticesAlgorithm::KEXClusterVerticesAlgorithm(const KEXClusterVerticesAlgorithm& other)
    : KEXTriangleMeshAlgorithmIF(other), KEXMultiThread(other), maximumDistance(other.maximumDistance),
      repairMode(other.repairMode)
{
}

KEXClusterVerticesAlgorithm& KEXClusterVerticesAlgorithm::operator=(const KEXClusterVerticesAlgorithm& other)
{
  if (this != &other) {
    KEXTriangleMeshAlgorithmIF::operator=(other);
    maximumDistance = other.maximumDistance;
    repairMode = other.repairMode;
  }
  return *this;
}

KEXClusterVerticesAlgorithm::~KEXClusterVerticesAlgorithm() = default;

bool KEXClusterVerticesAlgorithm::setMaximumDistance(float distance)
{
  maximumDistance = distance;
  return true;
}

float KEXClusterVerticesAlgorithm::guessMaximumDistance() const
{
  KEXVector3<float> msd;
  if (!m_buffer.calculateMeanSamplingDistance(msd))
    return FLT_MAX;
  return std::min(msd.x, std::min(msd.y, msd.z)) * GUESS_FACTOR;
}

float KEXClusterVerticesAlgorithm::estimateRepairDistance(const KEXTriangleMeshBuffer& b)
{
  const int V = b.getVertexCount();
  if (V == 0)
    return FLT_MAX;
  KEXVector3<float> msd;
  const float guess =
      b.calculateMeanSamplingDistance(msd) ? std::min(msd.x, std::min(msd.y, msd.z)) * GUESS_FACTOR : 0.0f;
  // After a refused report the caller ends the run without using the estimate: no second pass.
  if (const KEXTask* task = KEXTask::current(); task && (task->wasStopped() || task->wasAborted()))
    return guess;
  KEXInterval<KEXVector3<float>> box;
  if (!b.calculateBoundingBox(box) || box.isEmpty())
    return guess;
  const KEXVector3<float>& lo = box.getMin();
  const KEXVector3<float>& hi = box.getMax();
  const double dx = double(hi.x) - lo.x, dy = double(hi.y) - lo.y, dz = double(hi.z) - lo.z;
  double distance = REPAIR_DIAGONAL_SHARE * std::sqrt(dx * dx + dy * dy + dz * dz);
  if (!std::isfinite(distance))
    return guess;
  double shortest = INFINITY; // squared
  const KEXVector3<float>* p = b.vertexList.getData();
  for (const KEXTriangle<int>& t : b.triangleList) {
    if (unsigned(t[0]) >= unsigned(V) || unsigned(t[1]) >= unsigned(V) || unsigned(t[2]) >= unsigned(V))
      continue;
    for (int k = 0; k < 3; ++k) {
      const KEXVector3<float>& u = p[t[k]];
      const KEXVector3<float>& w = p[t[k == 2 ? 0 : k + 1]];
      const double ex = double(w.x) - u.x, ey = double(w.y) - u.y, ez = double(w.z) - u.z;
      const double l = ex * ex + ey * ey + ez * ez;
      if (l > 0.0 && l < shortest)
        shortest = l;
    }
  }
  if (std::isfinite(shortest))
    distance = std::min(distance, 0.5 * std::sqrt(shortest));
  return std::max(float(distance), guess);
}

bool KEXClusterVerticesAlgorithm::markClosedVertices()
{
  // Corners grouped by vertex (a counting sort), then each fan is tested: closed when the edges
  // leaving the vertex and the edges arriving at it name the same neighbours, each exactly once.
  const KEXTriangleMeshBuffer& b = m_buffer;
  const int V = b.getVertexCount(), T = b.getTriangleCount();
  if (!closedVertex.setCount(V, 0))
    return false;
  KEXValueList<int> start(16, true), corners(16, true), scratch(16, true);
  if (!start.setCount(V + 1, 0))
    return false;
  auto valid = [V](const KEXTriangle<int>& t) {
    return unsigned(t[0]) < unsigned(V) && unsigned(t[1]) < unsigned(V) && unsigned(t[2]) < unsigned(V);
  };
  bool shared = false;
  for (const KEXTriangle<int>& t : b.triangleList)
    if (valid(t))
      for (int k = 0; k < 3; ++k)
        shared = ++start[t[k] + 1] > 2 || shared;
  if (!shared)
    return true; // a soup or nearly one: no vertex has a fan of three triangles
  for (int v = 0; v < V; ++v)
    start[v + 1] += start[v];
  if (!corners.setCount(start[V]))
    return false;
  for (int t = 0; t < T; ++t)
    if (valid(b.triangleList[t]))
      for (int k = 0; k < 3; ++k)
        corners[start[b.triangleList[t][k]]++] = 3 * t + k;
  for (int v = V; v > 0; --v)
    start[v] = start[v - 1];
  start[0] = 0;
  for (int v = 0; v < V; ++v) {
    const int n = start[v + 1] - start[v];
    if (n < 3)
      continue;
    if (scratch.getCount() < 2 * n && !scratch.setCount(2 * n))
      return false;
    int* out = scratch.getData();
    int* in = out + n;
    for (int i = 0; i < n; ++i) {
      const int c = corners[start[v] + i];
      const KEXTriangle<int>& t = b.triangleList[c / 3];
      const int k = c % 3;
      out[i] = t[k == 2 ? 0 : k + 1];
      in[i] = t[k == 0 ? 2 : k - 1];
    }
    std::sort(out, out + n);
    std::sort(in, in + n);
    bool closed = true;
    for (int i = 0; i < n && closed; ++i)
      closed = out[i] == in[i] && out[i] != v && (i == 0 || out[i] != out[i - 1]);
    closedVertex[v] = closed ? 1 : 0;
  }
  return true;
}

bool KEXClusterVerticesAlgorithm::run(void*)
{
  KEXTask task("Clustering vertices", 1.0, 0x1010000);
  float distance;
  {
    KEXSubTask sub("Preparing operation", 0.0625);
    distance = maximumDistance;
    if (distance < 0.0f)
      distance = repairMode ? estimateRepairDistance(m_buffer) : guessMaximumDistance();
  }
  usedDistance = distance;
  if (task.wasAborted())
    return task.aborted();
  if (task.wasStopped())
    return task.stopped();
  if (distance < 0.0f) {
    KEXTask::Diagnostics d(KEX::Error, "Found no suitable maximum distance");
    return task.error(KEX::InvalidOperation, &d);
  }
  {
    KEXSubTask sub("Clustering in process", 0.9375);
    if (!clusterSimilarVertices(distance))
      return task.statusOf(sub, KEX::GenericError);
  }
  return task.wasStopped() ? task.stopped() : task.ok();
}

void KEXClusterVerticesAlgorithm::cleanup(bool success)
{
  pointTree.release();
  closedVertex.clear();
  mergeTable.clear();
  KEXTriangleMeshAlgorithmIF::cleanup(success);
}

bool KEXClusterVerticesAlgorithm::clusterSimilarVertices(float distance)
{
  KEXTriangleMeshBuffer& b = m_buffer;
  const int V = b.getVertexCount();
  // Per-vertex lists of the wrong length cannot be carried; adjacency is void after renumbering.
  if (b.vertexNormalList.getCount() != V)
    b.vertexNormalList.clear();
  if (b.vertexColorList.getCount() != V)
    b.vertexColorList.clear();
  if (b.vertexScalarList.getCount() != V)
    b.vertexScalarList.clear();
  b.vertexAdjacencyList.clear();
  b.triangleAdjacencyList.clear();
  if (V <= 1)
    return true;
  carryNormals = b.hasVertexNormalList();
  closedVertex.clear();

  KEXTask task("Clustering vertices", 1.0, 0x1010000);
  if (repairMode && !markClosedVertices()) {
    closedVertex.clear();
    return kexEndOutOfMemory(task);
  }
  {
    KEXSubTask sub("Initialization", 0.39);
    const char* closed = closedVertex.getCount() == V ? closedVertex.getData() : nullptr;
    exactTau = carryNormals ? -1.0 : kexweld::tinyBound(distance);
    if (exactTau >= 0.0 && kexweld::countFuzzy(b.vertexList.getData(), V, closed, exactTau) > kexweld::fuzzyLimit(V))
      exactTau = -1.0;
    if (exactTau < 0.0 && !pointTree.create(b.vertexList.getData(), V))
      return task.statusOf(sub, KEX::GenericError);
    distanceVector = KEXVector3<float>(distance, distance, distance);
    squaredDistance = double(distance) * double(distance);
  }
  {
    KEXSubTask sub("Clustering in progress", 0.59);
    bool made = createMergeTable();
    pointTree.release();
    if (!made) {
      mergeTable.clear();
      return task.statusOf(sub, KEX::GenericError);
    }
  }
  {
    KEXSubTask sub("Update in progress", 0.02);
    bool updated = updateBuffer(task);
    mergeTable.clear();
    if (!updated)
      return false;
  }
  return task.ok();
}

bool KEXClusterVerticesAlgorithm::createMergeTable()
{
  const int V = m_buffer.getVertexCount();
  // Every worker holds a private table of 4 bytes per vertex: together at most half the free memory.
  const double freeBytes = double(kexmeshdetail::queryFreePhysicalMemory());
  double fit = std::floor(0.5 * freeBytes / (4.0 * double(V)) + 0.5);
  if (!(fit >= 1.0))
    fit = 1.0;
  const int threads = fit < double(getNumberOfThreads()) ? int(fit) : 0;

  KEXTask task("Creating merge table", double(V), 0x10000);
  mergeTable.clear();
  if (exactTau >= 0.0 && !mergeTable.setCount(V)) // the hash writes the shared table directly
    return kexEndOutOfMemory(task);
  exactParts = threads > 0 ? threads : std::max(1, getNumberOfThreads());
  mergeTask = &task;
  resetAtomic();
  bool ran = runAll(threads);
  mergeTask = nullptr;
  if (ran && mergeTable.getCount() == V)
    return task.ok();
  mergeTable.clear();
  if (task.wasAborted())
    return task.aborted();
  if (task.wasStopped())
    return task.error(KEX::GenericError); // a user's stop is not a shortage of memory
  return kexEndOutOfMemory(task);
}

bool KEXClusterVerticesAlgorithm::runExact()
{
  const int V = m_buffer.getVertexCount();
  const char* closed = closedVertex.getCount() == V ? closedVertex.getData() : nullptr;
  const double share = 1.0 / double(exactParts);
  struct Progress {
    KEXClusterVerticesAlgorithm* self;
    double share;
  } progress{this, share};
  auto report = [](void* context, int scanned) {
    auto* p = static_cast<Progress*>(context);
    p->self->lock();
    bool go = p->self->mergeTask->incProgress(double(scanned) * p->share, true);
    p->self->unlock();
    return p->self->mergeTask->sendMessage(KEXTaskInfo::Message(KEXTaskInfo::Running)) && go;
  };
  for (;;) {
    const int part = getAtomic();
    if (part >= exactParts)
      return true;
    const kexweld::Outcome outcome =
        kexweld::weldPartition(m_buffer.vertexList.getData(), V, closed, float(distanceVector.x), exactTau, part,
                               exactParts, mergeTable.getData(), report, &progress);
    if (outcome != kexweld::Outcome::Done)
      return false;
  }
}

bool KEXClusterVerticesAlgorithm::run()
{
  if (exactTau >= 0.0)
    return runExact();
  const int V = m_buffer.getVertexCount();
  KEXValueList<int> parent(16, true);
  if (!parent.setCount(V))
    return false;
  int* table = parent.getData();
  kexunion::reset(table, V);

  const Entry* entries = pointTree.getEntries();
  const int E = pointTree.getPointCount();
  const KEXVector3<float>* normals = carryNormals ? m_buffer.vertexNormalList.getData() : nullptr;
  const char* closed = closedVertex.getCount() == V ? closedVertex.getData() : nullptr;
  const double limit = squaredDistance;
  const float d = distanceVector.x;

  auto accept = [entries, normals, closed, limit](int a, int b) {
    const Entry& p = entries[a];
    const Entry& q = entries[b];
    if (closed && (closed[p.index] || closed[q.index]))
      return false;
    double dx = double(q.p[0]) - double(p.p[0]);
    double dy = double(q.p[1]) - double(p.p[1]);
    double dz = double(q.p[2]) - double(p.p[2]);
    if (!(dx * dx + dy * dy + dz * dz <= limit))
      return false;
    if (normals) {
      const KEXVector3<float>& m = normals[p.index];
      const KEXVector3<float>& n = normals[q.index];
      double dot = double(m.x) * n.x + double(m.y) * n.y + double(m.z) * n.z;
      if (!(dot >= NORMAL_LIMIT))
        return false;
    }
    return true;
  };

  // Matches leaf [first, first + count) against every leaf at or after it that its box enlarged by
  // d reaches; each unordered pair is tested once.
  auto searchLeaf = [&](int first, int count) {
    float lo[3], hi[3];
    for (int a = 0; a < 3; ++a)
      lo[a] = hi[a] = entries[first].p[a];
    for (int i = first + 1; i < first + count; ++i)
      for (int a = 0; a < 3; ++a) {
        lo[a] = std::min(lo[a], entries[i].p[a]);
        hi[a] = std::max(hi[a], entries[i].p[a]);
      }
    for (int a = 0; a < 3; ++a) {
      lo[a] -= d;
      hi[a] += d;
    }
    pointTree.forEachLeaf(lo, hi, [&](int other, int otherCount) {
      if (other < first)
        return;
      for (int i = first; i < first + count; ++i) {
        int j = other == first ? i + 1 : other;
        for (; j < other + otherCount; ++j)
          if (accept(i, j))
            uniteToSmaller(table, entries[i].index, entries[j].index);
      }
    });
  };

  for (;;) {
    long long begin = (long long)getAtomic() * CLAIM_SIZE;
    if (begin >= E)
      break;
    int end = int(std::min<long long>(E, begin + CLAIM_SIZE));
    pointTree.forEachLeafStartingIn(int(begin), end, searchLeaf);
    lock();
    bool go = mergeTask->incProgress(double(end - begin), true);
    unlock();
    go = mergeTask->sendMessage(KEXTaskInfo::Message(KEXTaskInfo::Running)) && go;
    if (!go)
      return false;
  }

  lock();
  if (mergeTable.getCount() == 0) {
    mergeTable.swap(parent);
  } else {
    int* shared = mergeTable.getData();
    for (int i = V - 1; i >= 0; --i)
      if (table[i] != i)
        uniteToSmaller(shared, i, table[i]);
  }
  unlock();
  return true;
}

bool KEXClusterVerticesAlgorithm::updateBuffer(KEXTask& task)
{
  KEXTriangleMeshBuffer& b = m_buffer;
  const int V = b.getVertexCount();
  int* table = mergeTable.getData();

  // Representatives are their clusters' smallest indices, so every parent was renumbered before.
  int K = 0;
  for (int v = 0; v < V; ++v)
    table[v] = table[v] == v ? K++ : table[table[v]];

  KEXValueList<int> counts(16, true);
  if (!counts.setCount(K, 0)) {
    return kexEndOutOfMemory(task);
  }

  // From here on nothing can fail: accumulate in place (each target t <= v is already cleared).
  KEXVector3<float>* pos = b.vertexList.getData();
  // A float sum of a cluster's positions overflows near the float limits, and a cluster of finite
  // vertices would come out infinite. Only then the positions are averaged as a running mean in
  // double (which cannot overflow: the members lie within the weld distance of each other); every
  // other mesh keeps the plain sum and its rounding.
  int* cnt = counts.getData();
  const bool runningMean = sumMayOverflow(pos, table, V, cnt, K);
  KEXVector3<float>* nrm = b.hasVertexNormalList() ? b.vertexNormalList.getData() : nullptr;
  KEXRGBA<float>* col = b.hasVertexColorList() ? b.vertexColorList.getData() : nullptr;
  float* sca = b.hasVertexScalarList() ? b.vertexScalarList.getData() : nullptr;
  // Texture coordinates and edge flags cannot be averaged; each cluster keeps its representative's.
  KEXVector2<float>* tex = b.hasTextureCoordinateList() ? b.textureCoordinateList.getData() : nullptr;
  char* flg = b.hasVertexEdgeFlagList() ? b.vertexEdgeFlagList.getData() : nullptr;
  for (int v = 0; v < V; ++v) {
    const int t = table[v];
    KEXVector3<float> p = pos[v];
    pos[v] = KEXVector3<float>::ZERO;
    if (runningMean) {
      const double n = double(cnt[t] + 1);
      KEXVector3<float>& m = pos[t];
      m = KEXVector3<float>(float(m.x + (double(p.x) - m.x) / n), float(m.y + (double(p.y) - m.y) / n),
                            float(m.z + (double(p.z) - m.z) / n));
    } else {
      pos[t] += p;
    }
    if (nrm) {
      KEXVector3<float> n = nrm[v];
      nrm[v] = KEXVector3<float>::ZERO;
      nrm[t] += n;
    }
    if (col) {
      KEXRGBA<float> c = col[v];
      col[v] = KEXRGBA<float>::BLACK;
      col[t] += c;
    }
    if (sca) {
      float s = sca[v];
      sca[v] = 0.0f;
      sca[t] += s;
    }
    if (cnt[t]++ == 0) {
      if (tex)
        tex[t] = tex[v];
      if (flg)
        flg[t] = flg[v];
    }
  }
  for (int t = 0; t < K; ++t) {
    if (cnt[t] > 1) {
      const double f = 1.0 / cnt[t];
      if (!runningMean)
        pos[t] = KEXVector3<float>(float(pos[t].x * f), float(pos[t].y * f), float(pos[t].z * f));
      if (col)
        col[t] = col[t] * float(f);
      if (sca)
        sca[t] = float(sca[t] * f);
    }
    if (nrm && nrm[t] != KEXVector3<float>::ZERO)
      nrm[t].normalize(1.0f); // a zero sum stays zero instead of becoming NaN
  }

  const int T = b.getTriangleCount();
  int kept = T;
  for (int t = T - 1; t >= 0; --t) {
    KEXTriangle<int>& tri = b.triangleList[t];
    for (int k = 0; k < 3; ++k)
      if (tri[k] >= 0 && tri[k] < V)
        tri[k] = table[tri[k]];
    if (tri[0] == tri[1] || tri[1] == tri[2] || tri[0] == tri[2]) {
      --kept;
      if (t != kept && !b.swapTriangles(t, kept))
        return task.error(KEX::GenericError);
    }
  }
  if (kept < T && !b.setTriangleCount(kept))
    return task.error(KEX::GenericError);

  // Shrinks keep their memory when the reallocation fails, so these cannot fail.
  bool cut = b.vertexList.setCount(K);
  if (nrm)
    cut = b.vertexNormalList.setCount(K) && cut;
  if (col)
    cut = b.vertexColorList.setCount(K) && cut;
  if (sca)
    cut = b.vertexScalarList.setCount(K) && cut;
  if (tex)
    cut = b.textureCoordinateList.setCount(K) && cut;
  if (flg)
    cut = b.vertexEdgeFlagList.setCount(K) && cut;
  if (!cut) {
    return kexEndOutOfMemory(task);
  }
  return true;
}
