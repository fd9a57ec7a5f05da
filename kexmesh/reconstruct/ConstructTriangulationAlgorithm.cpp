// Surface reconstruction from an oriented point cloud: the preparation (duplicates, distance,
// normals, edge flags), the rounds and the final repair.
//
// A round connects each vertex that still needs triangles to the vertices whose mid-planes bound
// its clipped cell: the box of 2c x 2c x 2d around the vertex (c the connection distance, d the
// normal tolerance, the box flat along the normal) cut by the plane between it and every nearby
// vertex inside the normal slab whose normal is close enough. Mutually connected triples give the
// candidate triangles; each connected pair keeps the best-aligned, shortest third vertex on either
// side. Around every vertex the candidates of least tension (how far the edges leave the tangent
// planes) win against overlapping ones; the overlap test compares the angular sectors of two
// triangles at their common vertex, except for triangles folded by more than 135 degrees, which are
// thin folds of the surface and stay.
//
// New triangles are "marked" during the collision step: each index x is stored as -2 - x, so a
// marked triangle is recognised by its first index and decodes without a side table.
//
// Stops. A stop between steps keeps what the finished steps made. A stop inside a round rolls that
// round back to its starting triangles, so the result is always the one of the finished rounds; the
// transient triangles of inner holes are still taken out (they are scaffolding, never a result).
#include "kexmesh/reconstruct/ConstructTriangulationAlgorithm.h"

#include "kex/Memory.h"
#include "kexmesh/core/internal/SymmetricEigen3.h"
#include "kexmesh/core/internal/TaskEnd.h"
#include "kexmesh/reconstruct/Polyhedron.h"
#include "kexmesh/repair/CloseGapsAlgorithm.h"
#include "kexmesh/repair/ClusterVerticesAlgorithm.h"
#include "kexmesh/core/internal/ParallelBlocks.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

KEXMESH_DEFINE_CLASS(KEXConstructTriangulationAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using Vec3 = KEXVector3<float>;
using Vec3d = KEXVector3<double>;

constexpr float DUPLICATE_DISTANCE = 1.1920929e-07f;
constexpr double COS_160 = -0.9396926207859083;
constexpr int BLOCK = 8192;
constexpr int TREE_BLOCK = 32768;
constexpr int CONNECT_BLOCK = 256;
constexpr int SWAP_BLOCK = 16384;

Vec3d toDouble(const Vec3& v) { return Vec3d(v.x, v.y, v.z); }

// v scaled to length 1 in double; the zero vector stays zero (its direction is unknown).
Vec3d unit(const Vec3d& v)
{
  const double l = std::sqrt(v.dot(v));
  return l > 0.0 ? v / l : Vec3d();
}

bool isFinite(const Vec3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

inline bool isMarked(const KEXTriangle<int>& t) { return t[0] < -1; }
inline int code(int x) { return -2 - x; } // its own inverse

void toggleMark(KEXTriangle<int>& t)
{
  for (int k = 0; k < 3; ++k)
    t[k] = code(t[k]);
}

// A progress report for n elements; false (the step ends through kexEndRefused) on a refusal.
bool advance(KEXTask& task, double n) { return task.incProgress(n, true); }

bool contains(const KEXCompactIndexArray& list, int value)
{
  for (int x : list)
    if (x == value)
      return true;
  return false;
}

// The rounds append triangles one by one and use the unsaturated list as a stack; lists grow and
// shrink their storage in steps of their block size, so with small blocks every few appends or
// pops would move the whole list. Large steps while the run lasts; the caller's sizes come back
// (with storage fitted to them) at the end.
template <class T>
class BlockSizeScope {
public:
  BlockSizeScope(KEXValueList<T>& list, int blockSize) : m_list(list), m_old(list.getBlockSize())
  {
    list.setBlockSize(blockSize);
  }
  ~BlockSizeScope()
  {
    m_list.setBlockSize(m_old);
    m_list.setCount(m_list.getCount()); // a shrink to the count refits the storage
  }
  BlockSizeScope(const BlockSizeScope&) = delete;
  BlockSizeScope& operator=(const BlockSizeScope&) = delete;

private:
  KEXValueList<T>& m_list;
  int m_old;
};

constexpr int GROWTH_BLOCK = 1 << 16;

// Runs a repair algorithm on the working buffer as one step of task, under sub: a nested
// algorithm that cannot take the buffer is an internal error, its failure is the step's.
bool runNested(KEXTask& task, const KEXSubTask& sub, KEXTriangleMeshAlgorithmIF& nested, KEXTriangleMeshBuffer& buffer)
{
  if (!nested.isUsable() || !nested.setBuffer(&buffer)) {
    task.addDiagnostics(KEX::Error, "%s", "Internal error");
    return task.statusOf(sub, KEX::GenericError);
  }
  const bool ok = nested.execute(nullptr);
  nested.setBuffer(nullptr);
  if (!ok)
    return task.statusOf(sub, KEX::GenericError);
  return task.wasStopped() ? task.stopped() : task.ok();
}

} // namespace

// --- the progress task of the connection search --------------------------------------------------

KEXConnectingVerticesTask::KEXConnectingVerticesTask(const char* message, double weight, unsigned int flags,
                                                     unsigned int flags2)
    : KEXTask(message, weight, flags, flags2)
{
}

const char* KEXConnectingVerticesTask::getMessage() const { return "Connecting vertices (%1 of %2)"; }

const char* KEXConnectingVerticesTask::getArgument(int index) const
{
  if (index != 1 && index != 2)
    return nullptr;
  const double value = index == 1 ? getProgress() : getMaximum();
  std::snprintf(m_text[index - 1], sizeof m_text[0], "%u", static_cast<unsigned>(std::max(0.0, value)));
  return m_text[index - 1];
}

// --- parameters and lifecycle ---------------------------------------------------------------------

KEXConstructTriangulationAlgorithm::KEXConstructTriangulationAlgorithm() = default;

KEXConstructTriangulationAlgorithm::KEXConstructTriangulationAlgorithm(const KEXConstructTriangulationAlgorithm& other)
    : KEXTriangleMeshAlgorithmIF(other), maximumDistance(other.maximumDistance),
      minimumDotProduct(other.minimumDotProduct), transientFlag(other.transientFlag),
      transientVertexList(other.transientVertexList), transientTriangleList(other.transientTriangleList),
      unsaturatedVertexList(other.unsaturatedVertexList), vertexConnectionList(other.vertexConnectionList),
      triangleTensionList(other.triangleTensionList)
{
}

KEXConstructTriangulationAlgorithm&
KEXConstructTriangulationAlgorithm::operator=(const KEXConstructTriangulationAlgorithm& other)
{
  if (this != &other) {
    KEXTriangleMeshAlgorithmIF::operator=(other);
    maximumDistance = other.maximumDistance;
    minimumDotProduct = other.minimumDotProduct;
    transientFlag = other.transientFlag;
    transientVertexList = other.transientVertexList;
    transientTriangleList = other.transientTriangleList;
    unsaturatedVertexList = other.unsaturatedVertexList;
    vertexConnectionList = other.vertexConnectionList;
    triangleTensionList = other.triangleTensionList;
  }
  return *this;
}

KEXConstructTriangulationAlgorithm::~KEXConstructTriangulationAlgorithm()
{
}

bool KEXConstructTriangulationAlgorithm::setMaximumDistance(float distance)
{
  maximumDistance = distance;
  return true;
}
float KEXConstructTriangulationAlgorithm::getMaximumDistance() const { return maximumDistance; }
bool KEXConstructTriangulationAlgorithm::setMinimumDotProduct(float minimum)
{
  minimumDotProduct = minimum;
  return true;
}
float KEXConstructTriangulationAlgorithm::getMinimumDotProduct() const { return minimumDotProduct; }
bool KEXConstructTriangulationAlgorithm::setTransientFlag(bool on)
{
  transientFlag = on;
  return true;
}
bool KEXConstructTriangulationAlgorithm::getTransientFlag() const { return transientFlag; }

double KEXConstructTriangulationAlgorithm::roundLimit(double minimum, int round)
{
  const double t = (std::min(round, 5) - 1) * 0.25;
  return (1.0 - t) * minimum + t * COS_160;
}

double KEXConstructTriangulationAlgorithm::estimateDistance(double diameter, int count)
{
  const double s = std::max(1.0, std::sqrt(double(count)) * 0.5);
  const double a = diameter / s;
  if (count <= 500)
    return 2.0 * diameter;
  if (count >= 5000)
    return a;
  return (a - 2.0 * diameter) * double(count - 500) * 0.00022222222222222223 + 2.0 * diameter;
}

bool KEXConstructTriangulationAlgorithm::init(void*) { return true; }

void KEXConstructTriangulationAlgorithm::cleanup(bool success)
{
  KEXTriangleMeshBuffer& b = m_buffer;
  if (!success)
    b.triangleList.clear();
  // A shorter triangle list leaves the other per-triangle lists longer than it: cut them too, so
  // that the buffer stays consistent.
  if (b.triangleColorList.getCount() != b.getTriangleCount())
    b.triangleColorList.clear();
  b.vertexAdjacencyList.clear();
  b.triangleAdjacencyList.clear();
  b.triangleNormalList.clear();
  b.triangleAngleList.clear();
  transientVertexList.clear();
  transientTriangleList.clear();
  unsaturatedVertexList.clear();
  vertexConnectionList.setCount(0);
  triangleTensionList.clear();
  unsaturatedFlags.clear();
  transientTriangleFlags.clear();
  pointTree.release();
}

// --- run --------------------------------------------------------------------------------------------

bool KEXConstructTriangulationAlgorithm::run(void*)
{
  KEXTask task("Constructing triangulation", 1.0, 0x1030000);
  KEXTriangleMeshBuffer& b = m_buffer;
  roundCount = 0;
  // A normal list of the wrong length makes the buffer inconsistent, which the nested clustering
  // would refuse with a less telling error: it is refused here, as the normal step would.
  if (b.vertexNormalList.getCount() != b.getVertexCount()) {
    KEXTask::Diagnostics d(KEX::Error, "Triangle mesh reconstruction requires a vertex normal list");
    return task.error(KEX::InvalidValue, &d);
  }
  BlockSizeScope<KEXTriangle<int>> triangles(b.triangleList, GROWTH_BLOCK);
  BlockSizeScope<KEXTriangle<int>> partners(b.triangleAdjacencyList, GROWTH_BLOCK);
  BlockSizeScope<KEXRGBA<float>> colours(b.triangleColorList, GROWTH_BLOCK);
  BlockSizeScope<int> stack(unsaturatedVertexList, GROWTH_BLOCK);
  BlockSizeScope<char> transient(transientTriangleFlags, GROWTH_BLOCK);
  bool result = true;
  // One stage under its sub-task; false when run ends here (with result set).
  auto stage = [&](const char* message, double share, bool (KEXConstructTriangulationAlgorithm::*step)()) {
    KEXSubTask sub(message, share * (task.getMaximum() - task.getProgress()));
    if (!(this->*step)()) {
      if (task.wasAborted()) {
        // Whatever the step made of it: an abort ends the run aborted.
        result = task.aborted();
      } else if (task.wasStopped()) {
        // A stop inside the step: the step left the buffer consistent; keep what was made before.
        result = task.stopped();
      } else {
        result = task.statusOf(sub, KEX::GenericError);
      }
      return false;
    }
    if (task.wasStopped()) {
      result = task.stopped();
      return false;
    }
    return true;
  };

  if (!stage("Removing duplicate vertices", 0.02, &KEXConstructTriangulationAlgorithm::removeDuplicateVertices))
    return result;
  // Work in space-filling-curve order and give the caller's order back at the end, whichever way
  // the run ends: neighbours are then near each other in memory, which makes a large cloud in
  // random order several times faster. The outcome is that of the reordered cloud, renumbered.
  SpatialOrderScope order(*this);
  if (!order.apply())
    return kexEndOutOfMemory(task);
  if (!stage("Calculating maximum distance", 0.01, &KEXConstructTriangulationAlgorithm::guessMaximumDistance) ||
      !stage("Calculating vertex normal list", 0.05, &KEXConstructTriangulationAlgorithm::calculateVertexNormalList) ||
      !stage("Calculating vertex edge flag list", 0.04,
             &KEXConstructTriangulationAlgorithm::calculateVertexEdgeFlagList))
    return result;
  if (transientFlag &&
      !stage("Adding transient triangles", 0.2, &KEXConstructTriangulationAlgorithm::addTransientTriangles))
    return result;

  const int V = b.getVertexCount();
  if (!vertexConnectionList.setCount(V) || !unsaturatedFlags.setCount(V, char(0))) {
    vertexConnectionList.setCount(0);
    return kexEndOutOfMemory(task);
  }
  KEXDerivedListScope adjacency = KEXDerivedListScope::vertexAdjacency(b, true);
  if (!stage("Creating vertex adjacency list", 0.02, &KEXConstructTriangulationAlgorithm::createAdjacency))
    return result;

  finalRoundFlag = false;
  for (int r = 1;; ++r) {
    roundMinimumDotProduct = roundLimit(minimumDotProduct, r);
    roundCount = r;
    const int T0 = b.getTriangleCount();
    if (!stage("Generating triangles", 0.5, &KEXConstructTriangulationAlgorithm::generateTriangulation))
      return result;
    if (b.getTriangleCount() > T0)
      continue;
    if (finalRoundFlag)
      break;
    finalRoundFlag = true;
  }
  if (!stage("Removing transient triangles", 0.2, &KEXConstructTriangulationAlgorithm::removeTransientTriangles))
    return result;
  // The gap closing builds its own adjacency: release ours first (the scope restores the starting
  // state, and the lists would be stale after the repair anyway).
  adjacency.restore();
  b.triangleAdjacencyList.clear();
  if (!stage("Finalize triangulation", 1.0, &KEXConstructTriangulationAlgorithm::repairTriangulation))
    return result;
  return task.ok();
}

bool KEXConstructTriangulationAlgorithm::createAdjacency()
{
  KEXTriangleMeshBuffer& b = m_buffer;
  if (!b.hasVertexAdjacencyList() && b.getVertexCount() > 0 && !b.createVertexAdjacencyList())
    return false;
  // The first round reads the triangle adjacency of existing triangles.
  if (b.getTriangleCount() > 0 && !b.hasTriangleAdjacencyList() && !b.createTriangleAdjacencyList())
    return false;
  if (transientFlag && !transientTriangleFlags.setCount(b.getTriangleCount(), char(0)))
    return false;
  for (int t : transientTriangleList)
    transientTriangleFlags[t] = 1;
  return true;
}

// --- spatial order ----------------------------------------------------------------------------------

namespace {

// Spreads the low 21 bits of x to every third bit.
uint64_t spreadBits(uint64_t x)
{
  x &= 0x1FFFFF;
  x = (x | x << 32) & 0x1F00000000FFFFull;
  x = (x | x << 16) & 0x1F0000FF0000FFull;
  x = (x | x << 8) & 0x100F00F00F00F00Full;
  x = (x | x << 4) & 0x10C30C30C30C30C3ull;
  x = (x | x << 2) & 0x1249249249249249ull;
  return x;
}

// Rearranges list so that entry j holds the old entry map[j] (map a permutation), by swaps along
// its cycles: nothing is copied and nothing allocated.
template <class T, class Swap>
void permute(KEXValueList<T>& list, const int* map, char* visited, int n, Swap&& swapEntries)
{
  if (n <= 0 || list.getCount() != n)
    return;
  std::memset(visited, 0, size_t(n));
  for (int i = 0; i < n; ++i) {
    if (visited[i])
      continue;
    for (int j = i;;) {
      visited[j] = 1;
      const int k = map[j];
      if (k == i)
        break;
      swapEntries(list[j], list[k]);
      j = k;
    }
  }
}

} // namespace

KEXConstructTriangulationAlgorithm::SpatialOrderScope::~SpatialOrderScope()
{
  KEXConstructTriangulationAlgorithm& a = m_algorithm;
  // However the run ends, the covers of inner holes go: they are scaffolding, never a result, and
  // their centre vertices have no place in the caller's order.
  a.dropTransients();
  if (!m_applied)
    return;
  if (a.m_buffer.getVertexCount() == a.spatialOrder.getCount())
    a.permuteVertices(a.spatialRank.getData(), a.spatialOrder.getData());
  a.spatialOrder.clear();
  a.spatialRank.clear();
  a.permuteScratch.clear();
}

bool KEXConstructTriangulationAlgorithm::SpatialOrderScope::apply()
{
  KEXConstructTriangulationAlgorithm& a = m_algorithm;
  KEXTriangleMeshBuffer& b = a.m_buffer;
  const int V = b.getVertexCount();
  if (V < 2)
    return true;
  struct Key {
    uint64_t key;
    int index;
  };
  KEXValueList<Key> keys(16, true);
  // Everything the way back needs is allocated here, so that it cannot fail.
  if (!keys.setCount(V) || !a.spatialOrder.setCount(V) || !a.spatialRank.setCount(V) || !a.permuteScratch.setCount(V)) {
    a.spatialOrder.clear();
    a.spatialRank.clear();
    a.permuteScratch.clear();
    return false;
  }
  KEXInterval<Vec3> box;
  for (const Vec3& p : b.vertexList)
    if (isFinite(p))
      box.unite(p);
  const Vec3 lo = box.getMin();
  const Vec3 size = box.getSize();
  const double extent = std::max({double(size.x), double(size.y), double(size.z)});
  const double scale = extent > 0.0 ? 2097151.0 / extent : 0.0;
  for (int i = 0; i < V; ++i) {
    const Vec3& p = b.vertexList[i];
    uint64_t key = ~uint64_t(0); // points without a position go last
    if (isFinite(p)) {
      const auto cell = [&](float v, float l) { return uint64_t(std::clamp((double(v) - l) * scale, 0.0, 2097151.0)); };
      key = spreadBits(cell(p.x, lo.x)) << 2 | spreadBits(cell(p.y, lo.y)) << 1 | spreadBits(cell(p.z, lo.z));
    }
    keys[i] = Key{key, i};
  }
  std::sort(keys.begin(), keys.end(),
            [](const Key& l, const Key& r) { return l.key < r.key || (l.key == r.key && l.index < r.index); });
  for (int i = 0; i < V; ++i) {
    a.spatialOrder[i] = keys[i].index;
    a.spatialRank[keys[i].index] = i;
  }
  a.permuteVertices(a.spatialOrder.getData(), a.spatialRank.getData());
  m_applied = true;
  return true;
}

void KEXConstructTriangulationAlgorithm::permuteVertices(const int* map, const int* inverse)
{
  KEXTriangleMeshBuffer& b = m_buffer;
  const int V = b.getVertexCount();
  char* visited = permuteScratch.getData();
  auto plain = [](auto& x, auto& y) { std::swap(x, y); };
  permute(b.vertexList, map, visited, V, plain);
  permute(b.vertexNormalList, map, visited, V, plain);
  permute(b.vertexColorList, map, visited, V, plain);
  permute(b.vertexEdgeFlagList, map, visited, V, plain);
  permute(b.vertexScalarList, map, visited, V, plain);
  permute(b.textureCoordinateList, map, visited, V, plain);
  permute(b.vertexAdjacencyList, map, visited, V, [](KEXCompactIndexArray& x, KEXCompactIndexArray& y) { x.swap(y); });
  for (KEXTriangle<int>& t : b.triangleList)
    for (int k = 0; k < 3; ++k)
      if (t[k] >= 0 && t[k] < V)
        t[k] = inverse[t[k]];
  pointTree.release(); // built over the other order
}

// --- preparation ----------------------------------------------------------------------------------

bool KEXConstructTriangulationAlgorithm::removeDuplicateVertices()
{
  KEXTask task("Removing duplicate vertices", 1.0, 0x1030000);
  KEXSubTask sub("Clustering vertices", 1.0);
  KEXClusterVerticesAlgorithm cluster;
  cluster.setMaximumDistance(DUPLICATE_DISTANCE);
  return runNested(task, sub, cluster, m_buffer);
}

bool KEXConstructTriangulationAlgorithm::guessMaximumDistance()
{
  KEXInterval<KEXVector3<float>> box;
  if (!m_buffer.calculateBoundingBox(box))
    return false;
  const double D = box.getDiameter();
  const int V = m_buffer.getVertexCount();
  spacing = D / std::max(1.0, std::sqrt(double(V)) * 0.5);
  if (maximumDistance >= 0.0f) {
    connectionDistance = maximumDistance;
    normalTolerance = double(maximumDistance) * GIVEN_DISTANCE_TOLERANCE;
    return true;
  }
  connectionDistance = estimateDistance(D, V);
  normalTolerance = spacing * 0.25;
  return true;
}

bool KEXConstructTriangulationAlgorithm::calculateVertexNormalList()
{
  KEXTriangleMeshBuffer& b = m_buffer;
  const int V = b.getVertexCount();
  KEXTask task("Calculating vertex normal list", 5.0 * V + 1.0, 0x1010000);
  if (b.vertexNormalList.getCount() != V || V == 0) {
    if (V == 0 && b.vertexNormalList.getCount() == 0)
      return task.ok(); // an empty cloud: nothing to reconstruct, nothing wrong
    KEXTask::Diagnostics d(KEX::Error, "Triangle mesh reconstruction requires a vertex normal list");
    return task.error(KEX::InvalidValue, &d);
  }
  if (!advance(task, 4.0 * V + 1.0))
    return kexEndRefused(task);
  KEXSubTask sub("Harmonizing vertex normal list", double(V));
  if (!b.harmonizeVertexNormals(1.0f))
    return task.statusOf(sub, KEX::GenericError);
  return task.ok();
}

bool KEXConstructTriangulationAlgorithm::ensurePointTree()
{
  return pointTree.isBuilt() || pointTree.create(m_buffer.vertexList.getData(), m_buffer.getVertexCount());
}

bool KEXConstructTriangulationAlgorithm::calculateVertexEdgeFlagList()
{
  KEXTriangleMeshBuffer& b = m_buffer;
  const int V = b.getVertexCount();
  if (b.vertexEdgeFlagList.getCount() == V)
    return true;
  // A point is on the border of the cloud when one of the corners of the cube of half size d
  // around it, projected into the tangent plane of its nearest point, has no point within the
  // connection distance c. The corners lie within sqrt(3) d of the point and their projections
  // within twice that, and the point itself is a candidate: with d at most a quarter of c (the
  // estimate gives exactly a quarter, a given distance the same) every projection has a point
  // within 0.87 c. So every point with a position is interior, and the flags need no search; a
  // point without a position is a border point, never connected.
  KEXTask task("Calculating vertex edge flag list", 2.0 * V + 1.0, 0x10000);
  if (!b.vertexEdgeFlagList.setCount(V))
    return kexEndOutOfMemory(task);
  const Vec3* p = b.vertexList.getData();
  char* flags = b.vertexEdgeFlagList.getData();
  for (int first = 0; first < V; first += BLOCK) {
    const int end = std::min(V, first + BLOCK);
    for (int i = first; i < end; ++i)
      flags[i] = isFinite(p[i]) ? char(0) : char(255);
    if (!advance(task, 2.0 * (end - first))) {
      // Half-computed flags would pass for the caller's own on the next run.
      b.vertexEdgeFlagList.clear();
      return kexEndRefused(task);
    }
  }
  return task.ok();
}

bool KEXConstructTriangulationAlgorithm::repairTriangulation()
{
  KEXTask task("Repairing triangulation", 1.0, 0x1030000);
  KEXSubTask sub("Closing holes", task.getMaximum() - task.getProgress());
  KEXCloseGapsAlgorithm gaps;
  return runNested(task, sub, gaps, m_buffer);
}

// --- one round --------------------------------------------------------------------------------------

bool KEXConstructTriangulationAlgorithm::generateTriangulation()
{
  KEXTask task("Generating triangulation", 1.0, 0x1030000);
  const int T0 = m_buffer.getTriangleCount();
  struct Step {
    const char* message;
    double share;
    bool (KEXConstructTriangulationAlgorithm::*run)();
  };
  static constexpr Step steps[] = {
      {"Updating unsaturated vertex list", 0.25, &KEXConstructTriangulationAlgorithm::updateUnsaturatedVertexList},
      {"Updating unsaturated vertex tree", 0.1, &KEXConstructTriangulationAlgorithm::updateUnsaturatedVertexTree},
      {"Connecting vertices", 0.4, &KEXConstructTriangulationAlgorithm::addUnsaturatedVertexConnections},
      {"Adding triangles", 0.25, &KEXConstructTriangulationAlgorithm::updateTriangleList},
  };
  for (const Step& s : steps) {
    KEXSubTask sub(s.message, s.share);
    if (!(this->*s.run)()) {
      rollBackRound(T0);
      return task.statusOf(sub, KEX::GenericError);
    }
  }
  return task.ok();
}

void KEXConstructTriangulationAlgorithm::rollBackRound(int T0)
{
  KEXTriangleMeshBuffer& b = m_buffer;
  for (KEXCompactIndexArray& c : vertexConnectionList)
    c.setCount(0);
  KEXTriangle<int>* tris = b.triangleList.getData();
  for (int t = 0; t < b.getTriangleCount(); ++t)
    if (isMarked(tris[t]))
      toggleMark(tris[t]);
  if (b.getTriangleCount() > T0) {
    b.setTriangleCount(T0);
    if (transientTriangleFlags.getCount() > T0)
      transientTriangleFlags.setCount(T0);
  }
}

bool KEXConstructTriangulationAlgorithm::updateUnsaturatedVertexList()
{
  KEXTriangleMeshBuffer& b = m_buffer;
  const int V = b.getVertexCount(), T = b.getTriangleCount();
  const int adjacencyEntries = b.triangleAdjacencyList.getCount() * 3;
  KEXTask task("Initializing unsaturated vertex list", double(adjacencyEntries) + b.vertexAdjacencyList.getCount() + 1.0,
               0x1010000);
  unsaturatedVertexList.clear();
  if (unsaturatedFlags.getCount() != V && !unsaturatedFlags.setCount(V))
    return kexEndOutOfMemory(task);
  std::fill(unsaturatedFlags.begin(), unsaturatedFlags.end(), char(0));
  if (!advance(task, 1.0))
    return kexEndRefused(task);
  const Vec3* p = b.vertexList.getData();
  auto add = [&](int v) {
    if (unsaturatedFlags[v] || !isFinite(p[v]))
      return true;
    unsaturatedFlags[v] = 1;
    return unsaturatedVertexList.append(v);
  };
  if (b.hasTriangleAdjacencyList()) {
    const int* adjacency = &b.triangleAdjacencyList[0][0];
    const int* corners = &b.triangleList[0][0];
    for (int first = 0; first < 3 * T; first += BLOCK) {
      const int end = std::min(3 * T, first + BLOCK);
      for (int k = first; k < end; ++k)
        if (adjacency[k] < 0 && !add(corners[k]))
          return kexEndOutOfMemory(task);
      if (!advance(task, end - first))
        return kexEndRefused(task);
    }
  }
  const KEXCompactIndexArray* lists = b.vertexAdjacencyList.getData();
  for (int first = 0; first < V; first += BLOCK) {
    const int end = std::min(V, first + BLOCK);
    for (int v = first; v < end; ++v)
      if (lists[v].isEmpty() && !add(v))
        return kexEndOutOfMemory(task);
    if (!advance(task, end - first))
      return kexEndRefused(task);
  }
  return task.ok();
}

bool KEXConstructTriangulationAlgorithm::updateUnsaturatedVertexTree()
{
  // The cells are cut by every point nearby, not by the unsaturated ones only, so the search uses
  // the tree over all points (built once). Cut by the unsaturated points alone, the cells of the
  // few points left in late rounds would reach over finished surface to unsaturated points far
  // away, and the triangles between them would overlap finished triangles without sharing a
  // vertex with them, which no collision test at a common vertex can see. Only faces towards
  // unsaturated points become connections.
  const int U = unsaturatedVertexList.getCount();
  KEXTask task("Updating unsaturated vertex tree", 2.0 * U + 1.0, 0x1010000);
  if (!advance(task, 1.0))
    return kexEndRefused(task);
  if (U < 1 || pointTree.isBuilt())
    return task.ok();
  KEXSubTask sub("Calculating vertex tree", 2.0 * U);
  if (!ensurePointTree())
    return task.statusOf(sub, KEX::GenericError);
  return task.ok();
}

bool KEXConstructTriangulationAlgorithm::connect(int a, int b)
{
  KEXCompactIndexArray& ca = vertexConnectionList[a];
  if (!ca.append(b))
    return false;
  if (!vertexConnectionList[b].append(a)) {
    ca.setCount(ca.getCount() - 1);
    return false;
  }
  return true;
}

int KEXConstructTriangulationAlgorithm::cellFaces(int v, KEXPolyhedron& cell, KEXValueList<Plane>& planes,
                                                  KEXValueList<int>& ids) const
{
  const KEXTriangleMeshBuffer& b = m_buffer;
  const Vec3* p = b.vertexList.getData();
  const Vec3* normals = b.vertexNormalList.getData();
  const double c = connectionDistance, d = normalTolerance;
  const float r = float(std::sqrt(2.0 * c * c + d * d));
  const float epsilon = r * 1.52587890625e-05f;
  const Vec3 pv = p[v], n = normals[v];
  // The tangent frame from the axis of the least normal component.
  Vec3 axis;
  const float ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
  if (ax < ay)
    axis = ax < az ? Vec3(1, 0, 0) : Vec3(0, 0, 1);
  else
    axis = ay < az ? Vec3(0, 1, 0) : Vec3(0, 0, 1);
  Vec3 t1 = n.cross(axis);
  t1.normalize();
  const Vec3 t2 = n.cross(t1);
  const float cf = float(c), df = float(d);
  if (!cell.createCube(pv - t1 * cf - t2 * cf - n * df, t1 * (2.0f * cf), t2 * (2.0f * cf), n * (2.0f * df)))
    return -1;
  // Neighbours are taken in shells of growing radius, nearest first within a shell. A plane lies at
  // least 0.48 of its neighbour's distance from v, so once that exceeds the cell's reach (its
  // farthest corner from v) no farther neighbour can cut the cell: the search ends there, usually
  // after the first shell. The cell does not depend on the order of its planes (up to the
  // epsilon rule); its faces come out nearest first.
  const Vec3d pd = toDouble(pv), nd = toDouble(n);
  double reach = r;
  const double limit = double(r) / 0.48 * (1.0 + 1e-6);
  double half = std::min(limit, std::max(spacing, c * 1e-3));
  double inner2 = -1.0;
  const KEXPointBSPTree::Entry* entries = pointTree.getEntries();
  bool full = false;
  for (bool done = false; !done;) {
    const double half2 = half * half;
    const float h = float(half);
    const float lo[3] = {pv.x - h, pv.y - h, pv.z - h}, hi[3] = {pv.x + h, pv.y + h, pv.z + h};
    planes.clear();
    pointTree.forEachLeaf(lo, hi, [&](int first, int count) {
      for (int k = first; k < first + count; ++k) {
        const int j = entries[k].index;
        const Vec3d offset(pd.x - entries[k].p[0], pd.y - entries[k].p[1], pd.z - entries[k].p[2]);
        const double l2 = offset.dot(offset);
        if (!(l2 > inner2 && l2 <= half2) || j == v)
          continue;
        if (!(std::fabs(offset.dot(nd)) <= d) || !(double(normals[j].dot(n)) >= roundMinimumDotProduct))
          continue;
        if (!planes.append(Plane{l2, j}))
          full = true;
      }
    });
    if (full)
      return -1;
    std::sort(planes.begin(), planes.end(), [](const Plane& l, const Plane& r) {
      return l.distance2 < r.distance2 || (l.distance2 == r.distance2 && l.vertex < r.vertex);
    });
    for (const Plane& plane : planes) {
      if (0.48 * std::sqrt(plane.distance2) > reach + epsilon) {
        done = true;
        break;
      }
      const int j = plane.vertex;
      const float w = j < v ? 0.52f : 0.5f;
      const Vec3 q = p[j] + (pv - p[j]) * w;
      Vec3 m = pv - p[j];
      m.normalize();
      if (!cell.applyClippingPlane(q, m, j, epsilon))
        return -1;
      double reach2 = 0.0;
      for (int i = 0; i < cell.getVertexCount(); ++i) {
        const Vec3d e = cell.getVertex(i) - pd;
        reach2 = std::max(reach2, e.dot(e));
      }
      reach = std::sqrt(reach2);
    }
    if (half >= limit || 0.48 * half > reach + epsilon)
      done = true;
    inner2 = half2;
    half = std::min(limit, half * 2.0);
  }
  const int faces = cell.getFaceCount();
  if (ids.getCount() < faces && !ids.setCount(faces))
    return -1;
  return cell.getFaceList(ids.getData(), faces, 0);
}

bool KEXConstructTriangulationAlgorithm::addUnsaturatedVertexConnections()
{
  const int U = unsaturatedVertexList.getCount();
  if (U < 1)
    return true;
  KEXConnectingVerticesTask task("Searching for posssible vertex connections", double(U), 0x1010000);
  const KEXTriangleMeshBuffer& b = m_buffer;
  if (!(connectionDistance > 0.0 && normalTolerance > 0.0) || !pointTree.isBuilt())
    return task.ok(); // a cell of no extent touches no other cell
  // The cells are found on the worker threads, chunk by chunk, each block of vertices into its own
  // list; the connections are then made in list order on this thread, so the lists come out the
  // same for any thread count.
  constexpr int CHUNK = 64 * CONNECT_BLOCK;
  KEXValueList<KEXValueList<int>> found;
  KEXValueList<int> counts;
  if (!found.setCount(CHUNK / CONNECT_BLOCK) || !counts.setCount(CHUNK))
    return kexEndOutOfMemory(task);
  for (int chunk = 0; chunk < U; chunk += CHUNK) {
    const int n = std::min(U, chunk + CHUNK) - chunk;
    bool stopped = false;
    const bool ok = kexmeshcore::parallelBlocks(task, n, CONNECT_BLOCK, 1.0, stopped, [&](int first, int end) {
      KEXPolyhedron cell;
      KEXValueList<Plane> planes(256, true);
      KEXValueList<int> ids(64, true);
      KEXValueList<int>& out = found[first / CONNECT_BLOCK];
      out.clear();
      for (int i = first; i < end; ++i) {
        const int faces = cellFaces(unsaturatedVertexList[chunk + i], cell, planes, ids);
        if (faces < 0)
          return false;
        counts[i] = faces;
        const int at = out.getCount();
        if (!out.setCount(at + faces))
          return false;
        std::copy(ids.begin(), ids.begin() + faces, out.begin() + at);
      }
      return true;
    });
    if (!ok)
      return stopped ? kexEndRefused(task) : kexEndOutOfMemory(task);
    for (int block = 0; block * CONNECT_BLOCK < n; ++block) {
      const int* ids = found[block].getData();
      for (int i = block * CONNECT_BLOCK; i < std::min(n, (block + 1) * CONNECT_BLOCK); ++i) {
        const int v = unsaturatedVertexList[chunk + i];
        KEXCompactIndexArray& cv = vertexConnectionList[v];
        for (int f = 0; f < counts[i]; ++f) {
          const int j = *ids++;
          if (unsaturatedFlags[j] && !contains(cv, j) && !connect(v, j))
            return kexEndOutOfMemory(task);
        }
        // Keep the border of the existing surface connected.
        for (int kc : b.vertexAdjacencyList[v]) {
          if (b.triangleAdjacencyList[kc / 3][kc % 3] != -1)
            continue;
          const int u = b.cornerVertex(KEXTriangleMeshBuffer::previousCorner(kc));
          if (u >= 0 && u < unsaturatedFlags.getCount() && unsaturatedFlags[u] && !contains(cv, u) &&
              !connect(v, u))
            return kexEndOutOfMemory(task);
        }
      }
    }
  }
  return task.ok();
}

void KEXConstructTriangulationAlgorithm::directedEdges(int a, int b, bool& ab, bool& ba) const
{
  // Both directions in one walk over a's corners: a -> b where b follows a, b -> a where it precedes.
  const KEXTriangleMeshBuffer& buffer = m_buffer;
  ab = ba = false;
  for (int k : buffer.vertexAdjacencyList[a]) {
    const KEXTriangle<int>& t = buffer.triangleList[k / 3];
    const int corner = k % 3;
    ab = ab || t[corner == 2 ? 0 : corner + 1] == b;
    ba = ba || t[corner == 0 ? 2 : corner - 1] == b;
  }
}

bool KEXConstructTriangulationAlgorithm::hasTriangle(int a, int b, int c) const
{
  const KEXTriangleMeshBuffer& buffer = m_buffer;
  for (int k : buffer.vertexAdjacencyList[a]) {
    const KEXTriangle<int>& t = buffer.triangleList[k / 3];
    const bool hasB = t[0] == b || t[1] == b || t[2] == b;
    const bool hasC = t[0] == c || t[1] == c || t[2] == c;
    if (hasB && hasC)
      return true;
  }
  return false;
}

bool KEXConstructTriangulationAlgorithm::addTriangle(int a, int b, int c)
{
  KEXTriangleMeshBuffer& buffer = m_buffer;
  const int t = buffer.getTriangleCount();
  auto fail = [&] {
    KEXTask* task = KEXTask::current();
    if (task)
      task->addDiagnostics(KEX::Error, "%s", "Out of memory");
    return false;
  };
  if (!buffer.hasTriangleAdjacencyList() && t > 0) // existing triangles always come with their list
    return fail();
  if (!buffer.setTriangleCount(t + 1))
    return fail();
  if (!buffer.hasTriangleAdjacencyList() &&
      !buffer.triangleAdjacencyList.setCount(t + 1, KEXTriangle<int>(-1, -1, -1))) {
    buffer.setTriangleCount(t);
    return fail();
  }
  if (transientFlag && !transientTriangleFlags.setCount(t + 1, char(0))) {
    buffer.setTriangleCount(t);
    return fail();
  }
  buffer.triangleAdjacencyList[t] = KEXTriangle<int>(-1, -1, -1);
  buffer.triangleList[t] = KEXTriangle<int>(a, b, c);
  const int v[3] = {a, b, c};
  for (int k = 0; k < 3; ++k)
    if (!buffer.vertexAdjacencyList[v[k]].append(3 * t + k)) {
      for (int u = 0; u < k; ++u)
        buffer.vertexAdjacencyList[v[u]].setCount(buffer.vertexAdjacencyList[v[u]].getCount() - 1);
      // Its corners are in no list now: the cut finds nothing to take out of them.
      cutTriangles(t);
      return fail();
    }
  return true;
}

bool KEXConstructTriangulationAlgorithm::updateTriangleList()
{
  const int U = unsaturatedVertexList.getCount();
  if (U < 1)
    return true;
  KEXTask task("Adding triangles", double(U), 0x1010000);
  KEXTriangleMeshBuffer& b = m_buffer;
  const int T0 = b.getTriangleCount();
  const Vec3* p = b.vertexList.getData();
  const Vec3* normals = b.vertexNormalList.getData();
  const char* flags = b.vertexEdgeFlagList.getData();
  for (int first = 0; first < U; first += BLOCK) {
    const int end = std::min(U, first + BLOCK);
    for (int i = first; i < end; ++i) {
      const int a = unsaturatedVertexList[i];
      KEXCompactIndexArray& ca = vertexConnectionList[a];
      if (ca.getCount() >= 2) {
        const Vec3d pa = toDouble(p[a]), na = toDouble(normals[a]);
        for (int ib = 0; ib < ca.getCount(); ++ib) {
          const int bv = ca[ib];
          bool ab = false, ba = false;
          directedEdges(a, bv, ab, ba);
          if (ba && ab)
            continue;
          int best1 = -1, best2 = -1;
          double low = -0.125, high = 0.125, bestLength = 1.7976931348623157e308;
          const Vec3d pb = toDouble(p[bv]), nb = toDouble(normals[bv]);
          const KEXCompactIndexArray& cb = vertexConnectionList[bv];
          for (int ic = 0; ic < ca.getCount(); ++ic) {
            if (ic == ib)
              continue;
            const int cv = ca[ic];
            if (!contains(cb, cv) || !contains(vertexConnectionList[cv], bv))
              continue;
            if (flags[a] != 0 && flags[a] == flags[bv] && flags[a] == flags[cv] &&
                !(finalRoundFlag && (ab || ba) && b.vertexAdjacencyList[cv].isEmpty()))
              continue;
            const Vec3d pc = toDouble(p[cv]);
            const Vec3d m = unit(na + nb + toDouble(normals[cv]));
            const Vec3d f = unit((pb - pa).cross(pc - pa));
            const double dot = m.dot(f);
            const Vec3d ec = pc - pa, eb = pb - pa;
            const double L = std::sqrt(ec.dot(ec)) + std::sqrt(eb.dot(eb));
            int side = 0;
            if (dot < low)
              side = 0.875 * L < bestLength ? 1 : 0;
            else if (dot > high)
              side = 0.875 * L < bestLength ? 2 : 0;
            else if (dot > 0.125)
              side = L < 0.875 * bestLength ? 2 : 0;
            else if (dot < -0.125)
              side = L < 0.875 * bestLength ? 1 : 0;
            if (side == 0 || hasTriangle(a, bv, cv))
              continue;
            bestLength = L;
            if (side == 1) {
              best1 = cv;
              low = dot;
            } else {
              best2 = cv;
              high = dot;
            }
          }
          if (best1 != -1 && !addTriangle(a, best1, bv))
            return task.error(KEX::GenericError);
          if (best2 != -1 && !addTriangle(a, bv, best2))
            return task.error(KEX::GenericError);
        }
      }
      ca.setCount(0);
    }
    if (!advance(task, end - first))
      return kexEndRefused(task);
  }
  for (KEXCompactIndexArray& c : vertexConnectionList)
    c.setCount(0);
  if (!updateTriangleTensionList())
    return task.error(KEX::GenericError);
  const int T = b.getTriangleCount();
  KEXTriangle<int>* tris = b.triangleList.getData();
  for (int first = T0; first < T; first += BLOCK) {
    const int end = std::min(T, first + BLOCK);
    for (int t = first; t < end; ++t)
      toggleMark(tris[t]);
    if (!task.incProgress(0.0, true))
      return task.aborted();
  }
  KEXSubTask sub("Updating triangle tension list", 0.5);
  if (!removeCollidingTriangles())
    return task.statusOf(sub, KEX::GenericError);
  return task.ok();
}

bool KEXConstructTriangulationAlgorithm::updateTriangleTensionList()
{
  const KEXTriangleMeshBuffer& b = m_buffer;
  const int T = b.getTriangleCount();
  KEXTask task("Updating triangle tension list", T + 1.0, 0x1010000);
  if (!triangleTensionList.setCount(T))
    return kexEndOutOfMemory(task);
  if (!advance(task, 1.0))
    return kexEndRefused(task);
  const Vec3* p = b.vertexList.getData();
  const Vec3* normals = b.vertexNormalList.getData();
  const bool adjacency = b.hasTriangleAdjacencyList();
  for (int first = 0; first < T; first += BLOCK) {
    const int end = std::min(T, first + BLOCK);
    for (int t = first; t < end; ++t) {
      const KEXTriangle<int>& tri = b.triangleList[t];
      if (adjacency) {
        const KEXTriangle<int>& partners = b.triangleAdjacencyList[t];
        if (partners[0] >= 0 && partners[1] >= 0 && partners[2] >= 0) {
          triangleTensionList[t] = 0.0f;
          continue;
        }
      }
      double tension = 0.0;
      for (int k = 0; k < 3; ++k) {
        const int i = tri[k], j = tri[(k + 1) % 3];
        const Vec3d e = toDouble(p[j]) - toDouble(p[i]);
        const double ei = e.dot(toDouble(normals[i])), ej = e.dot(toDouble(normals[j]));
        tension += std::sqrt(e.dot(e)) * (ei * ei + ej * ej);
      }
      triangleTensionList[t] = float(tension);
    }
    if (!advance(task, end - first))
      return kexEndRefused(task);
  }
  return task.ok();
}

bool KEXConstructTriangulationAlgorithm::collide(int w, int x, int y, int u) const
{
  const KEXTriangleMeshBuffer& b = m_buffer;
  const KEXTriangle<int>& U = b.triangleList[u];
  // Same directed edge: the two would lie on the same side of it, overlapping.
  for (int k = 0; k < 3; ++k) {
    const int s = U[k], e = U[(k + 1) % 3];
    if ((s == w && e == x) || (s == x && e == y) || (s == y && e == w))
      return true;
  }
  int kw = 0;
  while (kw < 3 && U[kw] != w)
    ++kw;
  if (kw == 3)
    return false;
  const Vec3d pw = toDouble(b.vertexList[w]);
  Vec3d ea = toDouble(b.vertexList[x]) - pw, eb = toDouble(b.vertexList[y]) - pw;
  Vec3d fa = toDouble(b.vertexList[U[(kw + 1) % 3]]) - pw, fb = toDouble(b.vertexList[U[(kw + 2) % 3]]) - pw;
  const Vec3d nT = unit(ea.cross(eb)), nU = unit(fa.cross(fb));
  if (nT.dot(nU) < -0.7071067811865476)
    return false; // a fold of more than 135 degrees: both sides of a thin sheet
  const Vec3d m = unit(nT + nU);
  auto flatten = [&](Vec3d v) { return unit(v - m * v.dot(m)); };
  ea = flatten(ea);
  eb = flatten(eb);
  fa = flatten(fa);
  fb = flatten(fb);
  auto theta = [&](const Vec3d& v) {
    const double a = 1.0 - v.dot(ea);
    return m.dot(ea.cross(v)) < 0.0 ? 4.0 - a : a;
  };
  const double t0 = 1.0 - ea.dot(ea);
  const double t1 = std::max(theta(eb), t0);
  const double u1 = theta(fb);
  double u0 = theta(fa);
  if (u1 < u0)
    u0 -= 4.0;
  return (u0 <= t0 && t0 < u1) || (u0 < t1 && t1 <= u1) || (t0 <= u0 && u0 < t1) || (t0 < u1 && u1 <= t1);
}

bool KEXConstructTriangulationAlgorithm::removeCollidingTriangles()
{
  KEXTriangleMeshBuffer& b = m_buffer;
  KEXTask task("Removing colliding triangles", b.getTriangleCount() + 1.0, 0x1010000);
  KEXTriangle<int>* tris = b.triangleList.getData();
  struct Gathered {
    float tension;
    int triangle;
  };
  KEXValueList<Gathered> gathered(64, true);
  KEXValueList<int> colliding(64, true), accepted(64, true), displaced(64, true);
  while (!unsaturatedVertexList.isEmpty()) {
    const int v = unsaturatedVertexList[unsaturatedVertexList.getLastIndex()];
    unsaturatedVertexList.setCount(unsaturatedVertexList.getCount() - 1);
    gathered.clear();
    for (int k : b.vertexAdjacencyList[v]) {
      const int t = k / 3;
      if (isMarked(tris[t]) && !gathered.append(Gathered{triangleTensionList[t], t}))
        return kexEndOutOfMemory(task, KEX::GenericError);
    }
    std::stable_sort(gathered.begin(), gathered.end(),
                     [](const Gathered& l, const Gathered& r) { return l.tension < r.tension; });
    accepted.clear();
    displaced.clear();
    for (const Gathered& g : gathered) {
      const int t = g.triangle;
      if (!isMarked(tris[t]))
        continue;
      const int a = code(tris[t][0]), bb = code(tris[t][1]), c = code(tris[t][2]);
      colliding.clear();
      bool rejected = false;
      const int corners[3][3] = {{a, bb, c}, {bb, c, a}, {c, a, bb}};
      for (int k = 0; k < 3 && !rejected; ++k) {
        const int w = corners[k][0], x = corners[k][1], y = corners[k][2];
        for (int kc : b.vertexAdjacencyList[w]) {
          const int u = kc / 3;
          if (u == t || isMarked(tris[u]) || !collide(w, x, y, u))
            continue;
          if (g.tension >= triangleTensionList[u]) {
            rejected = true;
            break;
          }
          bool listed = false;
          for (int z : colliding)
            listed = listed || z == u;
          if (!listed && !colliding.append(u))
            return kexEndOutOfMemory(task, KEX::GenericError);
        }
      }
      if (rejected)
        continue;
      toggleMark(tris[t]);
      if (!accepted.append(t))
        return kexEndOutOfMemory(task, KEX::GenericError);
      for (int u : colliding) {
        toggleMark(tris[u]);
        if (!displaced.append(u))
          return kexEndOutOfMemory(task, KEX::GenericError);
      }
    }
    for (int t : accepted)
      if (!isMarked(tris[t]))
        for (int k = 0; k < 3; ++k)
          if (tris[t][k] != v && !unsaturatedVertexList.append(tris[t][k]))
            return kexEndOutOfMemory(task, KEX::GenericError);
    for (int t : displaced)
      if (isMarked(tris[t]))
        for (int k = 0; k < 3; ++k)
          if (code(tris[t][k]) != v && !unsaturatedVertexList.append(code(tris[t][k])))
            return kexEndOutOfMemory(task, KEX::GenericError);
  }
  // From here on the round is committed: a stop is reported but does not interrupt the cut (undoing
  // it half-way could not restore the displaced triangles), and the run ends after the round.
  // Cut the rejected and displaced triangles. Their neighbours are found again below, so the old
  // triangle adjacency goes first: exchanging triangles then has one list less to keep up.
  b.triangleAdjacencyList.clear();
  int kept = b.getTriangleCount();
  for (int first = kept - 1; first >= 0; first -= SWAP_BLOCK) {
    const int last = std::max(0, first - SWAP_BLOCK + 1);
    for (int t = first; t >= last; --t) {
      if (!isMarked(tris[t]))
        continue;
      toggleMark(tris[t]);
      if (!swapTriangles(t, kept - 1))
        return task.error(KEX::GenericError);
      --kept;
    }
    task.incProgress(first - last + 1, true);
  }
  if (!cutTriangles(kept))
    return task.error(KEX::GenericError);
  if (!b.createTriangleAdjacencyList()) {
    // After a stop the adjacency task refuses to run; the triangles are consistent without it, and
    // the run ends here, so the neighbourless triangles are simply left in.
    if (task.wasAborted())
      return task.aborted();
    if (task.wasStopped())
      return task.stopped();
    return task.error(KEX::GenericError);
  }
  // A triangle without any neighbour does not belong to a surface.
  kept = b.getTriangleCount();
  for (int first = kept - 1; first >= 0; first -= BLOCK) {
    const int last = std::max(0, first - BLOCK + 1);
    for (int t = first; t >= last; --t) {
      const KEXTriangle<int>& partners = b.triangleAdjacencyList[t];
      if (partners[0] >= 0 || partners[1] >= 0 || partners[2] >= 0)
        continue;
      if (!swapTriangles(t, kept - 1))
        return task.error(KEX::GenericError);
      --kept;
    }
    task.incProgress(0.0, true);
  }
  if (!cutTriangles(kept))
    return task.error(KEX::GenericError);
  return task.wasStopped() && !task.wasAborted() ? task.stopped() : task.ok();
}

bool KEXConstructTriangulationAlgorithm::swapTriangles(int i, int j)
{
  if (!m_buffer.swapTriangles(i, j))
    return false;
  if (i != j && transientTriangleFlags.getCount() > std::max(i, j))
    std::swap(transientTriangleFlags[i], transientTriangleFlags[j]);
  return true;
}

bool KEXConstructTriangulationAlgorithm::cutTriangles(int count)
{
  if (!m_buffer.setTriangleCount(count))
    return false;
  if (transientTriangleFlags.getCount() > count)
    transientTriangleFlags.setCount(count);
  return true;
}

// --- transient triangles of labelled inner holes ---------------------------------------------------

bool KEXConstructTriangulationAlgorithm::addTransientTriangles()
{
  KEXTask task("Adding transient triangles", 257.0, 0x10000);
  KEXTriangleMeshBuffer& b = m_buffer;
  const int V = b.getVertexCount();
  KEXValueList<KEXValueList<int>> holes;
  if (!holes.setCount(256))
    return kexEndOutOfMemory(task);
  const char* flags = b.vertexEdgeFlagList.getData();
  for (int first = 0; first < V; first += TREE_BLOCK) {
    const int end = std::min(V, first + TREE_BLOCK);
    for (int i = first; i < end; ++i) {
      const int f = static_cast<unsigned char>(flags[i]);
      if (f > 0 && f < 255 && !holes[f].append(i))
        return kexEndOutOfMemory(task);
    }
    if (!advance(task, double(end - first) / V))
      return kexEndRefused(task);
  }
  for (int k = 0; k < 256; ++k) {
    KEXValueList<int>& list = holes[k];
    const int m = list.getCount();
    if (m < 1) {
      if (!advance(task, 1.0))
        return kexEndRefused(task);
      continue;
    }
    KEXTriangleMeshBuffer hole;
    if (!hole.vertexList.setCount(m + 1) || !hole.vertexNormalList.setCount(m + 1) ||
        !hole.vertexEdgeFlagList.setCount(m + 1))
      return kexEndOutOfMemory(task);
    Vec3d centre, normalSum;
    for (int i = 0; i < m; ++i) {
      hole.vertexList[i] = b.vertexList[list[i]];
      hole.vertexNormalList[i] = b.vertexNormalList[list[i]];
      hole.vertexEdgeFlagList[i] = char(255);
      centre += toDouble(b.vertexList[list[i]]);
      normalSum += toDouble(b.vertexNormalList[list[i]]);
    }
    centre = centre / double(m);
    const Vec3d N = holeNormal(list, centre, normalSum);
    hole.vertexList[m] = Vec3(float(centre.x), float(centre.y), float(centre.z));
    hole.vertexNormalList[m] = Vec3(float(N.x), float(N.y), float(N.z));
    hole.vertexEdgeFlagList[m] = 0;
    {
      KEXSubTask sub("Triangulation of inner hole", 1.0);
      KEXConstructTriangulationAlgorithm nested;
      if (!nested.isUsable() || !nested.setBuffer(&hole)) {
        task.addDiagnostics(KEX::Error, "%s", "Internal error");
        return task.statusOf(sub, KEX::GenericError);
      }
      const bool ok = nested.execute(nullptr);
      nested.setBuffer(nullptr);
      if (!ok) {
        task.addDiagnostics(KEX::Error, "%s", "Could not triangulate inner hole");
        return task.statusOf(sub, KEX::GenericError);
      }
    }
    if (hole.getTriangleCount() == 0) {
      KEXTask::Diagnostics d(KEX::Error, "Could not triangulate inner hole");
      return task.error(KEX::GenericError, &d);
    }
    // The nested run may have merged or reordered nothing but its own duplicates: the centre is
    // still its last vertex and the rim vertices keep their order (clustering keeps the first of
    // a group in place), so local index i is hole vertex list[i].
    const int global = b.getVertexCount();
    if (hole.getVertexCount() != m + 1 || !b.setVertexCount(global + 1) || !transientVertexList.append(global) ||
        !list.append(global))
      return kexEndOutOfMemory(task);
    b.vertexList[global] = hole.vertexList[m];
    b.vertexNormalList[global] = hole.vertexNormalList[m];
    b.vertexEdgeFlagList[global] = hole.vertexEdgeFlagList[m];
    for (const KEXTriangle<int>& t : hole.triangleList) {
      const int index = b.getTriangleCount();
      if (!b.setTriangleCount(index + 1) || !transientTriangleList.append(index))
        return kexEndOutOfMemory(task);
      b.triangleList[index] = KEXTriangle<int>(list[t[0]], list[t[1]], list[t[2]]);
    }
  }
  if (b.getVertexCount() != V) // centre vertices were added: the tree over all points is stale
    pointTree.release();
  KEXSubTask sub("Creating triangle adjacency list", 1.0);
  b.vertexAdjacencyList.clear();
  if (!b.createTriangleAdjacencyList()) {
    task.addDiagnostics(KEX::Error, "%s", "Internal error");
    return task.statusOf(sub, KEX::GenericError);
  }
  return task.ok();
}

KEXVector3<double> KEXConstructTriangulationAlgorithm::holeNormal(const KEXValueList<int>& list, const Vec3d& centre,
                                                                  const Vec3d& normalSum) const
{
  // The rim of a hole lies roughly in a plane: its normal is the axis of least spread, the
  // eigenvector of the scatter matrix's smallest eigenvalue, turned to the side of the rim's
  // normals. A rim that spreads along one line only has no plane: the normals decide.
  double s[3][3] = {};
  for (int i = 0; i < list.getCount(); ++i) {
    const Vec3d d = toDouble(m_buffer.vertexList[list[i]]) - centre;
    const double v[3] = {d.x, d.y, d.z};
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c)
        s[r][c] += v[r] * v[c];
  }
  double values[3], vectors[3][3];
  Vec3d N = normalSum;
  if (kexSymmetricEigen3(s, values, vectors) && values[1] > 1e-5 * std::max(values[2], 1e-300))
    N = Vec3d(vectors[0][0], vectors[0][1], vectors[0][2]);
  const double l = std::sqrt(N.dot(N));
  if (l > 0.0)
    N = N / l;
  if (!(N.dot(N) >= 0.75))
    return normalSum;
  if (N.dot(normalSum) < -2.220446049250313e-16)
    N = -N;
  return N;
}

bool KEXConstructTriangulationAlgorithm::removeTransientTriangles()
{
  const int count = transientVertexList.getCount() + transientTriangleList.getCount();
  KEXTask task("Removing transient triangles", count * 5.0 + 1.0, 0x10000);
  if (!advance(task, 1.0))
    return kexEndRefused(task);
  if (!dropTransients())
    return kexEndOutOfMemory(task);
  if (!advance(task, count * 4.0))
    return kexEndRefused(task);
  return task.ok();
}

bool KEXConstructTriangulationAlgorithm::dropTransients()
{
  KEXTriangleMeshBuffer& b = m_buffer;
  if (transientVertexList.isEmpty() && transientTriangleList.isEmpty())
    return true;
  // The rounds move triangles, so the transient ones are found by their flags; a triangle the
  // rounds attached to a centre vertex spans the hole and goes too.
  const int V0 = b.getVertexCount() - transientVertexList.getCount();
  const int T = b.getTriangleCount();
  int kept = T;
  for (int t = T - 1; t >= 0; --t) {
    const KEXTriangle<int>& tri = b.triangleList[t];
    const bool transient = (t < transientTriangleFlags.getCount() && transientTriangleFlags[t]) ||
                           tri[0] >= V0 || tri[1] >= V0 || tri[2] >= V0;
    if (!transient)
      continue;
    if (!swapTriangles(t, kept - 1))
      return false;
    --kept;
  }
  if (!cutTriangles(kept))
    return false;
  transientTriangleList.clear();
  std::sort(transientVertexList.begin(), transientVertexList.end());
  int keptVertices = b.getVertexCount();
  for (int i = transientVertexList.getCount() - 1; i >= 0; --i) {
    if (!b.swapVertices(transientVertexList[i], keptVertices - 1))
      return false;
    --keptVertices;
  }
  if (!b.setVertexCount(keptVertices))
    return false;
  transientVertexList.clear();
  if (vertexConnectionList.getCount() > keptVertices)
    vertexConnectionList.setCount(keptVertices);
  if (unsaturatedFlags.getCount() > keptVertices)
    unsaturatedFlags.setCount(keptVertices);
  return true;
}
