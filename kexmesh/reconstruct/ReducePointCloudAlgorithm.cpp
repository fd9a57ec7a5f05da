// Point cloud reduction by local redundancy.
//
// Each point p with normal n looks at the points of a box of extent w around it that lie within the
// radius r = 0.5 * cbrt(w_x w_y w_z) and are still kept. A candidate j is a valid neighbour when its
// normal is close to n (dot product at least the minimum) and each of p, p_j lies within the
// tolerance t of the other's tangent plane. The nearest candidate that is not valid bounds the
// neighbourhood: only valid neighbours nearer than it count, each weighted by r^2 - d^2. The point
// is dropped when at least two count and their weighted centre of offsets lies within 0.3 b of p
// (b the cube root of the sampling distances' product): it is surrounded evenly, so it adds nothing
// to the surface they describe. A point at the border of a patch or on a crease has its neighbours
// on one side, or an incompatible point close by, and stays.
//
// Three passes widen w (half, 1/sqrt 2 and all of the base extent 2m + 3t, kept within [2.5m, 5m]);
// a pass that drops more than 1 % of the points is repeated. Each pass rebuilds the point tree of
// vertex clustering over the current positions and compacts the kept points to the front, keeping
// their order, so a stop between passes leaves a consistent, partly reduced cloud.
//
// Order of decisions. A point reads the keep flags of its neighbours, so the outcome depends on
// which of two mutually redundant points is decided first. The deterministic order (the default)
// cuts the tree's entries into blocks of 4096 (spatially compact) and decides the points of a block
// in index order: scanners write their points row by row, and a regular sweep thins a row-ordered
// cloud noticeably further than the tree's zig-zag would (about 30 % fewer points kept on a jittered
// grid). Blocks
// are coloured greedily so that two blocks whose neighbourhoods meet get different colours; the
// colours run one after the other, the blocks of one colour in parallel. A block then only ever
// reads flags that are final (an earlier colour, or its own earlier points) or untouched (a later
// colour), so the result is that of one fixed sequential order, whatever the thread count. The
// other order is blocks of 4096 indices handed to all threads at once: the flags of concurrently
// decided neighbours are read as they stand, which is what a single pass over the points by
// several threads naturally gives. Both apply the same rule; the flags are read and written as
// relaxed atomics so that concurrent reading is well defined.
#include "kexmesh/reconstruct/ReducePointCloudAlgorithm.h"

#include "kex/Task.h"
#include "kex/Thread.h"
#include "kex/ValueList.h"
#include "kexmesh/core/DescriptionTask.h"
#include "kexmesh/core/internal/TaskEnd.h"
#include "kexmesh/repair/PointBSPTree.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>

KEXMESH_DEFINE_CLASS(KEXReducePointCloudAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

constexpr int BLOCK_SIZE = 4096;
constexpr int PASS_COUNT = 3;
const char* const COUNT_MESSAGE = "Reduced point cloud to %1 points";

using Entry = KEXPointBSPTree::Entry;

// Relaxed atomic access to one keep flag: other workers may read it while it is decided.
inline char loadFlag(char& flag) { return std::atomic_ref<char>(flag).load(std::memory_order_relaxed); }
inline void storeFlag(char& flag, char value) { std::atomic_ref<char>(flag).store(value, std::memory_order_relaxed); }

} // namespace

class KEXReducePointCloudAlgorithmPrivate : public KEXMultiThread {
public:
  bool reduce();
  void releaseWork()
  {
    pointTree.release();
    keepFlags.clear();
    releaseEntryLists();
    releaseSchedule();
  }

  KEXTriangleMeshBuffer buffer;
  KEXPointBSPTree pointTree;
  KEXValueList<char> keepFlags{4096, true};
  // The flags and normals again in the tree's entry order, so that a query reads those of its
  // candidates from a few contiguous runs rather than from anywhere in the cloud; and, for the
  // order by index only, per point its entry (-1: not in the tree, a non-finite point). keepFlags
  // takes the decisions after a pass.
  KEXValueList<char> entryKeep{4096, true};
  KEXValueList<KEXVector3<float>> entryNormals{4096, true};
  KEXValueList<int> entryOf{4096, true};
  KEXVector3<float> meanSamplingDistance{1.0f, 1.0f, 1.0f};
  KEXVector3<float> passExtent{0.0f, 0.0f, 0.0f};
  float tolerance = 0.0f;
  float minNormalScalarProduct = 1.0f;
  int removedCount = 0;
  std::atomic<int> remainingCount{0};
  KEXTask* task = nullptr;
  bool deterministic = true;

private:
  bool run() override;
  bool updateTree(int V);
  bool reducePoints(int V);
  bool makeSchedule(KEXTask& task);
  void releaseSchedule()
  {
    blockOrder.clear();
    colourStart.clear();
    pointOrder.clear();
  }
  void compact();
  bool isRedundant(int i, int self);
  void releaseEntryLists()
  {
    entryKeep.clear();
    entryNormals.clear();
    entryOf.clear();
  }

  // The pass's constants, shared read-only by the workers.
  float half[3] = {0.0f, 0.0f, 0.0f}; // w / 2
  double radius2 = 0.0, centreLimit = 0.0;
  // The deterministic schedule: blocks (of tree entries) grouped by colour; the workers run the
  // blocks blockOrder[runFirst ... runEnd - 1].
  KEXValueList<int> blockOrder{16, true};
  KEXValueList<int> colourStart{16, true};
  KEXValueList<int> pointOrder{16, true}; ///< the tree's entries; each block sorted by point by its worker
  int runFirst = 0, runEnd = 0;
};

// --- the passes --------------------------------------------------------------------------------

bool KEXReducePointCloudAlgorithmPrivate::reduce()
{
  KEXTask task("Reducing isosurface point cloud", 1.0, 0x1010000);
  removedCount = 0;
  if (!(tolerance > 0.0f)) {
    releaseWork();
    return task.ok();
  }
  if (buffer.getTriangleCount() > 0) {
    KEXTask::Diagnostics d(KEX::Error, "The point cloud has triangles");
    return task.error(KEX::InvalidOperation, &d);
  }
  if (buffer.getVertexCount() == 0) {
    releaseWork();
    return task.ok();
  }
  if (!buffer.hasVertexNormalList()) {
    KEXTask::Diagnostics d(KEX::Error, "The point cloud has no normals");
    return task.error(KEX::InvalidOperation, &d);
  }

  double base[3];
  for (int k = 0; k < 3; ++k) {
    const double m = meanSamplingDistance[k];
    double c = 2.0 * m + 3.0 * double(tolerance);
    if (c < 2.5 * m)
      c = 2.5 * m;
    if (c > 5.0 * m)
      c = 5.0 * m;
    base[k] = c;
  }
  const double passScale[PASS_COUNT] = {0.5, 0.5 * 1.4142135623730951, 1.0};

  double shareLeft = 1.0;
  int p = 0;
  while (p < PASS_COUNT) {
    if (task.wasAborted())
      return task.aborted();
    const double s = 0.6 * shareLeft;
    shareLeft -= s;
    const int V = buffer.getVertexCount();
    remainingCount.store(V);
    {
      KEXSubTask sub("Updating vertex tree", 0.15 * s);
      if (!updateTree(V))
        return task.statusOf(sub, KEX::GenericError);
    }
    {
      KEXSubTask sub("Reducing points", 0.8 * s);
      passExtent = KEXVector3<float>(float(base[0] * passScale[p]), float(base[1] * passScale[p]),
                                     float(base[2] * passScale[p]));
      if (!reducePoints(V))
        return task.statusOf(sub, KEX::GenericError);
    }
    {
      KEXSubTask sub("Compacting vertices", 0.05 * s);
      compact();
    }
    if (removedCount <= buffer.getVertexCount() / 100)
      ++p;
  }
  releaseWork();
  return task.ok();
}

bool KEXReducePointCloudAlgorithmPrivate::updateTree(int V)
{
  KEXDescriptionTask task(COUNT_MESSAGE, 16.0, 0x1010000, remainingCount);
  {
    KEXSubTask sub("", 15.0);
    pointTree.release();
    if (!pointTree.create(buffer.vertexList.getData(), V))
      return task.statusOf(sub, KEX::GenericError);
  }
  {
    KEXSubTask sub("", 1.0);
    const int E = pointTree.getPointCount();
    if (!keepFlags.setCount(V, char(1)) || !entryKeep.setCount(E) || !entryNormals.setCount(E) ||
        (!deterministic && !entryOf.setCount(V))) {
      pointTree.release();
      releaseEntryLists();
      return kexEndOutOfMemory(task);
    }
    std::fill(keepFlags.begin(), keepFlags.end(), char(1));
    std::fill(entryKeep.begin(), entryKeep.end(), char(1));
    const Entry* entries = pointTree.getEntries();
    const KEXVector3<float>* normals = buffer.vertexNormalList.getData();
    for (int k = 0; k < E; ++k)
      entryNormals[k] = normals[entries[k].index];
    if (!deterministic) {
      std::fill(entryOf.begin(), entryOf.end(), -1);
      for (int k = 0; k < E; ++k)
        entryOf[entries[k].index] = k;
    }
  }
  return task.ok();
}

bool KEXReducePointCloudAlgorithmPrivate::reducePoints(int V)
{
  for (int k = 0; k < 3; ++k)
    half[k] = passExtent[k] * 0.5f;
  const double r = 0.5 * std::cbrt(double(passExtent.x) * double(passExtent.y) * double(passExtent.z));
  const double b = std::cbrt(double(meanSamplingDistance.x) * double(meanSamplingDistance.y) *
                             double(meanSamplingDistance.z));
  radius2 = r * r;
  centreLimit = 0.09 * b * b;

  KEXDescriptionTask pass(COUNT_MESSAGE, double(V), 0x1010000, remainingCount);
  task = &pass;
  bool ran = true;
  if (deterministic) {
    if (!makeSchedule(pass)) {
      task = nullptr;
      return false;
    }
    const int colours = colourStart.getCount() - 1;
    for (int c = 0; c < colours && ran; ++c) {
      runFirst = colourStart[c];
      runEnd = colourStart[c + 1];
      ran = runAll(0);
    }
    releaseSchedule();
  } else {
    ran = runAll(0);
  }
  task = nullptr;
  if (!ran)
    return kexEndRefused(pass); // workers end only on a refused progress report
  const Entry* entries = pointTree.getEntries();
  for (int k = 0; k < pointTree.getPointCount(); ++k)
    keepFlags[entries[k].index] = entryKeep[k];
  return pass.ok();
}

// Greedy colouring of the blocks of tree entries: a block takes the smallest colour that no
// earlier block meeting its enlarged box has. Blocks are then listed colour by colour, in
// ascending order within a colour.
bool KEXReducePointCloudAlgorithmPrivate::makeSchedule(KEXTask& pass)
{
  const int E = pointTree.getPointCount();
  const int B = (E + BLOCK_SIZE - 1) / BLOCK_SIZE;
  const Entry* entries = pointTree.getEntries();
  KEXValueList<float> boxes(16, true);
  KEXValueList<int> colour(16, true), stamp(16, true);
  if (!boxes.setCount(6 * B) || !colour.setCount(B) || !stamp.setCount(B + 1, -1) ||
      !blockOrder.setCount(B) || !colourStart.setCount(B + 2, 0) || !pointOrder.setCount(E)) {
    releaseSchedule();
    return kexEndOutOfMemory(pass);
  }
  for (int k = 0; k < E; ++k)
    pointOrder[k] = k;
  for (int bl = 0; bl < B; ++bl) {
    float* box = &boxes[6 * bl];
    const int first = bl * BLOCK_SIZE, end = std::min(E, first + BLOCK_SIZE);
    for (int a = 0; a < 3; ++a)
      box[a] = box[3 + a] = entries[first].p[a];
    for (int k = first + 1; k < end; ++k)
      for (int a = 0; a < 3; ++a) {
        box[a] = std::min(box[a], entries[k].p[a]);
        box[3 + a] = std::max(box[3 + a], entries[k].p[a]);
      }
  }
  int colours = 0;
  for (int bl = 0; bl < B; ++bl) {
    // The same float arithmetic as the point queries, so that a query box never reaches a block
    // this test calls apart.
    const float* box = &boxes[6 * bl];
    float lo[3], hi[3];
    for (int a = 0; a < 3; ++a) {
      lo[a] = box[a] - half[a];
      hi[a] = box[3 + a] + half[a];
    }
    for (int o = 0; o < bl; ++o) {
      const float* other = &boxes[6 * o];
      bool meets = true;
      for (int a = 0; a < 3 && meets; ++a)
        meets = lo[a] <= other[3 + a] && other[a] <= hi[a];
      if (meets)
        stamp[colour[o]] = bl;
    }
    int c = 0;
    while (stamp[c] == bl)
      ++c;
    colour[bl] = c;
    colours = std::max(colours, c + 1);
  }
  // Counting sort by colour (stable: ascending block order within a colour).
  for (int bl = 0; bl < B; ++bl)
    ++colourStart[colour[bl] + 1];
  for (int c = 0; c < colours; ++c)
    colourStart[c + 1] += colourStart[c];
  for (int bl = 0; bl < B; ++bl)
    blockOrder[colourStart[colour[bl]]++] = bl;
  for (int c = colours; c > 0; --c)
    colourStart[c] = colourStart[c - 1];
  colourStart[0] = 0;
  colourStart.setCount(colours + 1); // a shrink keeps its memory when it cannot reallocate
  return true;
}

bool KEXReducePointCloudAlgorithmPrivate::run()
{
  for (;;) {
    const int n = getAtomic();
    int first, end, removed = 0;
    if (deterministic) {
      if (n >= runEnd - runFirst)
        break;
      first = blockOrder[runFirst + n] * BLOCK_SIZE;
      end = std::min(pointTree.getPointCount(), first + BLOCK_SIZE);
      int* order = pointOrder.getData();
      const Entry* entries = pointTree.getEntries();
      std::sort(order + first, order + end, [entries](int a, int b) { return entries[a].index < entries[b].index; });
      for (int k = first; k < end; ++k)
        removed += isRedundant(entries[order[k]].index, order[k]) ? 1 : 0;
    } else {
      const int V = keepFlags.getCount();
      if (n >= (V + BLOCK_SIZE - 1) / BLOCK_SIZE)
        break;
      first = n * BLOCK_SIZE;
      end = std::min(V, first + BLOCK_SIZE);
      for (int i = first; i < end; ++i)
        if (entryOf[i] >= 0) // a point outside the tree has no neighbours: kept
          removed += isRedundant(i, entryOf[i]) ? 1 : 0;
    }
    remainingCount.fetch_sub(removed, std::memory_order_relaxed);
    if (!task->incProgress(double(end - first), true))
      return false;
  }
  return true;
}

// Decides point i, the tree's entry self: its keep flag is 0 while it is decided and stays 0 when
// it is redundant.
bool KEXReducePointCloudAlgorithmPrivate::isRedundant(int i, int self)
{
  const KEXVector3<float>& pf = buffer.vertexList[i];
  const KEXVector3<float>* normals = entryNormals.getData();
  char* keep = entryKeep.getData();
  const Entry* entries = pointTree.getEntries();
  storeFlag(keep[self], 0);

  const double px = pf.x, py = pf.y, pz = pf.z;
  const double nx = normals[self].x, ny = normals[self].y, nz = normals[self].z;
  const float lo[3] = {pf.x - half[0], pf.y - half[1], pf.z - half[2]};
  const float hi[3] = {pf.x + half[0], pf.y + half[1], pf.z + half[2]};
  const double r2 = radius2, t = tolerance, minDot = minNormalScalarProduct;

  // Calls f(j, dx, dy, dz, d2, valid) for every kept candidate j != i inside the box and radius.
  auto forCandidates = [&](auto&& f) {
    pointTree.forEachLeaf(lo, hi, [&](int first, int count) {
      for (int k = first; k < first + count; ++k) {
        const Entry& e = entries[k];
        if (k == self || !(e.p[0] >= lo[0] && e.p[0] <= hi[0] && e.p[1] >= lo[1] && e.p[1] <= hi[1] &&
                              e.p[2] >= lo[2] && e.p[2] <= hi[2]))
          continue;
        if (loadFlag(keep[k]) != 1)
          continue;
        const double dx = double(e.p[0]) - px, dy = double(e.p[1]) - py, dz = double(e.p[2]) - pz;
        const double d2 = dx * dx + dy * dy + dz * dz;
        if (!(d2 <= r2))
          continue;
        const KEXVector3<float>& m = normals[k];
        const double dot = nx * m.x + ny * m.y + nz * m.z;
        const bool valid = dot >= minDot && std::fabs(dx * nx + dy * ny + dz * nz) <= t &&
                           std::fabs(dx * m.x + dy * m.y + dz * m.z) <= t;
        f(dx, dy, dz, d2, valid);
      }
    });
  };

  // The first scan keeps its candidates (as long as they fit) so that the second reads them back
  // in the same order instead of walking the tree again; no flag but i's own changes in between.
  struct Candidate {
    double dx, dy, dz, d2;
    bool valid;
  };
  constexpr int CACHED = 256;
  Candidate cache[CACHED];
  int cached = 0;
  bool overflow = false;
  double limit = r2;
  forCandidates([&](double dx, double dy, double dz, double d2, bool valid) {
    if (!valid && d2 < limit)
      limit = d2;
    if (cached < CACHED)
      cache[cached++] = Candidate{dx, dy, dz, d2, valid};
    else
      overflow = true;
  });
  double sx = 0.0, sy = 0.0, sz = 0.0, g = 0.0;
  int count = 0;
  auto add = [&](double dx, double dy, double dz, double d2, bool valid) {
    if (!valid || !(d2 <= limit))
      return;
    const double w = r2 - d2;
    sx += dx * w;
    sy += dy * w;
    sz += dz * w;
    g += w;
    ++count;
  };
  if (overflow)
    forCandidates(add);
  else
    for (int c = 0; c < cached; ++c)
      add(cache[c].dx, cache[c].dy, cache[c].dz, cache[c].d2, cache[c].valid);
  if (count >= 2 && g * g * centreLimit > sx * sx + sy * sy + sz * sz)
    return true;
  storeFlag(keep[self], 1);
  return false;
}

// Moves the kept points to the front of every per-vertex list, keeping their order, and cuts the
// lists. Shrinking keeps the memory when a reallocation fails, so this cannot fail.
void KEXReducePointCloudAlgorithmPrivate::compact()
{
  KEXTriangleMeshBuffer& b = buffer;
  const int V = b.getVertexCount();
  const char* keep = keepFlags.getData();
  KEXVector3<float>* nrm = b.hasVertexNormalList() ? b.vertexNormalList.getData() : nullptr;
  float* sca = b.hasVertexScalarList() ? b.vertexScalarList.getData() : nullptr;
  KEXRGBA<float>* col = b.hasVertexColorList() ? b.vertexColorList.getData() : nullptr;
  char* flg = b.hasVertexEdgeFlagList() ? b.vertexEdgeFlagList.getData() : nullptr;
  KEXVector2<float>* tex = b.hasTextureCoordinateList() ? b.textureCoordinateList.getData() : nullptr;
  KEXVector3<float>* pos = b.vertexList.getData();
  int kept = 0;
  for (int v = 0; v < V; ++v) {
    if (!keep[v])
      continue;
    if (kept != v) {
      pos[kept] = pos[v];
      if (nrm)
        nrm[kept] = nrm[v];
      if (sca)
        sca[kept] = sca[v];
      if (col)
        col[kept] = col[v];
      if (flg)
        flg[kept] = flg[v];
      if (tex)
        tex[kept] = tex[v];
    }
    ++kept;
  }
  removedCount = V - kept;
  if (kept == V)
    return;
  b.vertexAdjacencyList.clear(); // a point cloud has no corners; any list left is void now
  b.vertexList.setCount(kept);
  if (nrm)
    b.vertexNormalList.setCount(kept);
  if (sca)
    b.vertexScalarList.setCount(kept);
  if (col)
    b.vertexColorList.setCount(kept);
  if (flg)
    b.vertexEdgeFlagList.setCount(kept);
  if (tex)
    b.textureCoordinateList.setCount(kept);
}

// --- the algorithm object ----------------------------------------------------------------------

KEXReducePointCloudAlgorithm::KEXReducePointCloudAlgorithm() : d(new (std::nothrow) KEXReducePointCloudAlgorithmPrivate) {}

KEXReducePointCloudAlgorithm::KEXReducePointCloudAlgorithm(const KEXReducePointCloudAlgorithm& other)
    : KEXTriangleMeshAlgorithmIF(other), d(new (std::nothrow) KEXReducePointCloudAlgorithmPrivate)
{
  *this = other;
}

KEXReducePointCloudAlgorithm& KEXReducePointCloudAlgorithm::operator=(const KEXReducePointCloudAlgorithm& other)
{
  if (this == &other)
    return *this;
  KEXTriangleMeshAlgorithmIF::operator=(other);
  if (d && other.d) {
    d->meanSamplingDistance = other.d->meanSamplingDistance;
    d->tolerance = other.d->tolerance;
    d->minNormalScalarProduct = other.d->minNormalScalarProduct;
    d->deterministic = other.d->deterministic;
  }
  return *this;
}

KEXReducePointCloudAlgorithm::~KEXReducePointCloudAlgorithm() { delete d; }

bool KEXReducePointCloudAlgorithm::setMeanSamplingDistance(const KEXVector3<float>& distance)
{
  if (!d)
    return false;
  d->meanSamplingDistance = distance;
  return true;
}

KEXVector3<float> KEXReducePointCloudAlgorithm::getMeanSamplingDistance() const
{
  return d ? d->meanSamplingDistance : KEXVector3<float>(1.0f, 1.0f, 1.0f);
}

bool KEXReducePointCloudAlgorithm::setTolerance(float tolerance)
{
  if (!d)
    return false;
  d->tolerance = tolerance;
  return true;
}

float KEXReducePointCloudAlgorithm::getTolerance() const { return d ? d->tolerance : 0.0f; }

bool KEXReducePointCloudAlgorithm::setMinNormalScalarProduct(float minimum)
{
  if (!d)
    return false;
  d->minNormalScalarProduct = minimum;
  return true;
}

float KEXReducePointCloudAlgorithm::getMinNormalScalarProduct() const { return d ? d->minNormalScalarProduct : 1.0f; }

bool KEXReducePointCloudAlgorithm::setDeterministic(bool deterministic)
{
  if (!d)
    return false;
  d->deterministic = deterministic;
  return true;
}

bool KEXReducePointCloudAlgorithm::getDeterministic() const { return d ? d->deterministic : true; }

int KEXReducePointCloudAlgorithm::getRemovedCount() const { return d ? d->removedCount : 0; }

bool KEXReducePointCloudAlgorithm::run(void*)
{
  if (!d)
    return false;
  m_buffer.swap(d->buffer);
  const bool result = d->reduce();
  m_buffer.swap(d->buffer);
  return result;
}

void KEXReducePointCloudAlgorithm::cleanup(bool success)
{
  if (d)
    d->releaseWork();
  KEXTriangleMeshAlgorithmIF::cleanup(success);
}
