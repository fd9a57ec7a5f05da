// Point BSP tree: median splits along the longest box axis, built in parallel.
//
// The points are copied once into a flat entry array; splitting a node partitions its range of that
// array around the median (std::nth_element), so after the build every leaf is a contiguous run of
// at most eight entries. Because a node of n points always sends n / 2 points left, the shape of the
// tree follows from the point count alone: node k has the children 2k + 1 and 2k + 2 and only the
// split plane (value and axis) is stored. The build allocates the entries, the node array and a work
// queue up front; workers only write their own disjoint ranges.
//
// Parallel build: a node whose child holds more than 1024 points puts that child on a shared stack
// of work items (under the KEXMultiThread lock) and posts the semaphore; idle workers wait on the
// semaphore. Smaller children are finished recursively by the worker that split the parent, which
// keeps the queue traffic to a few thousand items for millions of points. When the last pending
// item is done the semaphore is posted once per worker so that every worker wakes, finds the queue
// empty and leaves.
#include "kexmesh/repair/PointBSPTree.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Memory.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <mutex>

namespace kexmeshdetail {
int64_t queryFreePhysicalMemory()
{
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  int64_t bytes = kexGetFreePhysicalMemory();
  return bytes > 0 ? bytes : 0;
}
} // namespace kexmeshdetail

namespace {
constexpr int BIG_TREE_POINTS = 524288;
constexpr int64_t DEEP_TREE_MEMORY = 335544320; // 320 MiB
constexpr double PROGRESS_BATCH = 65536.0;

bool hasNaN(const KEXVector3<float>& p) { return std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z); }
} // namespace

template <class Split>
int KEXBSPTreeRootNode<Split>::getDepthParameter(int count)
{
  if (count < BIG_TREE_POINTS)
    return -1;
  return kexmeshdetail::queryFreePhysicalMemory() > DEEP_TREE_MEMORY ? 20 : 18;
}

template <class Split>
void KEXBSPTreeRootNode<Split>::release()
{
  m_entries.clear();
  m_nodes.clear();
  m_queue.clear();
  m_box.makeEmpty();
  m_levels = 0;
  m_built = false;
}

template <class Split>
bool KEXBSPTreeRootNode<Split>::create(PointArray points, int count)
{
  KEXTask task("Creating BSP tree", 1.0, 0x1010000);
  KEXInterval<KEXVector3<float>> box;
  bool go;
  {
    KEXSubTask sub("Calculating overall bounding box", 0.03125);
    for (int i = 0; i < count; ++i)
      box.unite(points[i]);
    go = task.incProgress(0.03125, true);
  }
  if (!go) {
    release();
    return kexEndRefused(task);
  }
  KEXSubTask sub("Creation in progress", 0.96875);
  if (!build(points, count, box, getDepthParameter(count)))
    return task.statusOf(sub, KEX::GenericError);
  return task.ok();
}

template <class Split>
bool KEXBSPTreeRootNode<Split>::build(PointArray points, int count, const KEXInterval<KEXVector3<float>>& box,
                                      int depth)
{
  release();
  KEXTask task("Creating BSP tree", count > 0 ? double(count) : 1.0, 0x10000);
  auto outOfMemory = [this, &task] {
    release();
    return kexEndOutOfMemory(task);
  };

  int n = std::max(count, 0);
  if (n > 0 && !m_entries.setCount(n))
    return outOfMemory();
  int kept = 0;
  for (int i = 0; i < n; ++i) {
    const KEXVector3<float>& p = points[i];
    if (hasNaN(p))
      continue;
    m_entries[kept++] = Entry{{p.x, p.y, p.z}, i};
  }
  m_entries.setCount(kept); // a shrink never fails

  const int limit = depth >= 1 ? depth - 1 : INT_MAX;
  long long largest = kept;
  while (largest > LEAF_SIZE && m_levels < limit) {
    largest = (largest + 1) / 2;
    ++m_levels;
  }
  const int nodeCount = m_levels > 0 ? int((1LL << m_levels) - 1) : 0;
  if (nodeCount > 0 && !m_nodes.setCount(nodeCount))
    return outOfMemory();
  // Every queued item is a distinct node of more than QUEUE_THRESHOLD points.
  if (!m_queue.setCount(2 * (kept / QUEUE_THRESHOLD) + 2))
    return outOfMemory();
  m_box = box;

  if (kept > 0) {
    Work root{0, 0, kept, 0, {box.getMin().x, box.getMin().y, box.getMin().z},
              {box.getMax().x, box.getMax().y, box.getMax().z}};
    m_queue[0] = root;
    m_queueTop = 1;
    m_pending = 1;
    m_stop.store(false);
    m_task = &task;
    m_workers = std::max(1, getNumberOfThreads());
    m_semaphore.post(1);
    runAll(m_workers);
    m_task = nullptr;
  }
  m_queue.clear();
  if (m_stop.load()) {
    release();
    return kexEndRefused(task);
  }
  m_built = true;
  return task.ok();
}

template <class Split>
bool KEXBSPTreeRootNode<Split>::run()
{
  double done = 0.0;
  for (;;) {
    m_semaphore.wait();
    lock();
    if (m_queueTop == 0) {
      unlock();
      break;
    }
    Work w = m_queue[--m_queueTop];
    unlock();
    if (!m_stop.load(std::memory_order_relaxed))
      process(w, done);
    if (done >= PROGRESS_BATCH) {
      if (!m_task->incProgress(done, true))
        m_stop.store(true);
      done = 0.0;
    }
    lock();
    bool finished = --m_pending == 0;
    unlock();
    if (finished)
      m_semaphore.post(m_workers);
  }
  if (done > 0.0 && !m_task->incProgress(done, true))
    m_stop.store(true);
  return true;
}

template <class Split>
void KEXBSPTreeRootNode<Split>::push(const Work& w)
{
  lock();
  m_queue[m_queueTop++] = w;
  ++m_pending;
  unlock();
  m_semaphore.post(1);
}

template <class Split>
void KEXBSPTreeRootNode<Split>::process(const Work& w, double& done)
{
  if (!isInner(w.count, w.level)) {
    done += w.count;
    return;
  }
  float lo[3] = {w.lo[0], w.lo[1], w.lo[2]};
  float hi[3] = {w.hi[0], w.hi[1], w.hi[2]};
  Work children[2];
  splitNode(w.node, w.first, w.count, lo, hi, children);
  for (Work& c : children) {
    c.level = w.level + 1;
    if (c.count > QUEUE_THRESHOLD) {
      push(c);
    } else {
      splitRecursively(c.node, c.first, c.count, c.level, c.lo, c.hi);
      done += c.count;
    }
  }
}

template <class Split>
void KEXBSPTreeRootNode<Split>::splitRecursively(int node, int first, int count, int level, float lo[3], float hi[3])
{
  if (!isInner(count, level))
    return;
  Work children[2];
  splitNode(node, first, count, lo, hi, children);
  for (Work& c : children)
    splitRecursively(c.node, c.first, c.count, level + 1, c.lo, c.hi);
}

template <class Split>
void KEXBSPTreeRootNode<Split>::splitNode(int node, int first, int count, float lo[3], float hi[3], Work children[2])
{
  const int axis = Split::splitAxis(lo, hi);
  const int half = count / 2;
  Entry* begin = m_entries.getData() + first;
  std::nth_element(begin, begin + half, begin + count,
                   [axis](const Entry& a, const Entry& b) { return a.p[axis] < b.p[axis]; });
  const float split = begin[half].p[axis];
  m_nodes[node] = Node{split, axis};
  for (int side = 0; side < 2; ++side) {
    Work& c = children[side];
    c.node = 2 * node + 1 + side;
    c.first = side == 0 ? first : first + half;
    c.count = side == 0 ? half : count - half;
    c.level = 0;
    for (int a = 0; a < 3; ++a) {
      c.lo[a] = lo[a];
      c.hi[a] = hi[a];
    }
    if (side == 0)
      c.hi[axis] = split;
    else
      c.lo[axis] = split;
  }
}

template <class Split>
int KEXBSPTreeRootNode<Split>::getPoints(const KEXValuePair<KEXVector3<float>>& box, KEXValueList<int>& list) const
{
  const float lo[3] = {box.first.x, box.first.y, box.first.z};
  const float hi[3] = {box.second.x, box.second.y, box.second.z};
  auto inside = [&lo, &hi](const Entry& e) {
    return e.p[0] >= lo[0] && e.p[0] <= hi[0] && e.p[1] >= lo[1] && e.p[1] <= hi[1] && e.p[2] >= lo[2] &&
           e.p[2] <= hi[2];
  };
  const Entry* entries = m_entries.getData();
  int total = 0;
  forEachLeaf(lo, hi, [&](int first, int count) {
    for (int i = first; i < first + count; ++i)
      total += inside(entries[i]) ? 1 : 0;
  });
  int at = list.getCount();
  if (total > 0 && !list.setCount(at + total))
    return -1;
  forEachLeaf(lo, hi, [&](int first, int count) {
    for (int i = first; i < first + count; ++i)
      if (inside(entries[i]))
        list[at++] = entries[i].index;
  });
  return list.getCount();
}

template class KEXBSPTreeRootNode<KEXAlignedBBoxSplit<const KEXVector3<float>*>>;
