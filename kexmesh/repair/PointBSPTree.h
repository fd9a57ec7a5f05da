#pragma once
// KEXBSPTreeRootNode<KEXAlignedBBoxSplit<const KEXVector3<float>*>>: a binary space partition over a
// point array with axis-aligned splits, answering box queries. Used by vertex clustering and point
// cloud reduction.
//
// Layout: the points are copied into one flat array of {x, y, z, index} entries that the build
// reorders, so that every node owns a contiguous range and every leaf's points lie side by side in
// memory. A node of n points is split at its median (n / 2 points go left) along the longest axis of
// its box; the node structure is therefore implicit (children of node k are 2k + 1 and 2k + 2, their
// ranges follow from the counts) and only a split value and an axis are stored per inner node. The
// build allocates everything up front; workers allocate nothing.
#include "kex/Task.h"
#include "kex/Thread.h"
#include "kex/ValueList.h"
#include "kex/Values.h"

#include <atomic>
#include <cstdint>

namespace kexmeshdetail {
/// Free physical memory in bytes (negative readings as 0), read under one process-wide lock shared
/// by every memory-dependent sizing decision of the library.
int64_t queryFreePhysicalMemory();
} // namespace kexmeshdetail

template <class PointArray>
class KEXAlignedBBoxSplit;

/// Split rule over an array of float positions: a node's box is cut across its longest axis, at the
/// median of the node's points.
template <>
class KEXAlignedBBoxSplit<const KEXVector3<float>*> {
public:
  using PointArray = const KEXVector3<float>*;
  /// One point of the tree: its position and its index in the caller's array.
  struct Entry {
    float p[3];
    int index;
  };
  /// The axis (0, 1, 2) of the longest side of the box [lo, hi]; 0 when no side is a number.
  static int splitAxis(const float lo[3], const float hi[3])
  {
    // In double: the extent of a box near the float limits does not fit a float.
    double best = double(hi[0]) - lo[0];
    int axis = 0;
    for (int a = 1; a < 3; ++a) {
      double e = double(hi[a]) - lo[a];
      if (e > best || (best != best && e == e)) {
        best = e;
        axis = a;
      }
    }
    return axis;
  }
};

template <class Split>
class KEXBSPTreeRootNode : private KEXMultiThread {
public:
  using PointArray = typename Split::PointArray;
  using Entry = typename Split::Entry;
  /// Leaves hold at most this many points (unless the depth budget ran out).
  static constexpr int LEAF_SIZE = 8;
  /// Children with more points than this go to the shared work queue; smaller ones are built by
  /// the worker that split their parent.
  static constexpr int QUEUE_THRESHOLD = 1024;

  KEXBSPTreeRootNode() = default;
  ~KEXBSPTreeRootNode() override = default;
  KEXBSPTreeRootNode(const KEXBSPTreeRootNode&) = delete;
  KEXBSPTreeRootNode& operator=(const KEXBSPTreeRootNode&) = delete;

  /// The depth parameter for count points: -1 (no limit) below 524288 points; otherwise 20 when the
  /// machine has more than 320 MiB of free physical memory, else 18.
  static int getDepthParameter(int count);

  /// The whole construction under the task "Creating BSP tree": the overall bounding box, then
  /// build() with getDepthParameter(count).
  /// \return false on allocation failure (OutOfMemory) or a stop request; the tree is then empty.
  bool create(PointArray points, int count);

  /// Builds the tree over points[0 ... count - 1] inside box under its own task "Creating BSP tree"
  /// on getNumberOfThreads() workers. Points with a NaN coordinate are left out (no box holds them).
  /// depth: split budget (the depth parameter; a node at level k may split while k < depth - 1; any
  /// depth below 1 means no limit).
  /// \pre box holds every point that has no NaN coordinate.
  /// \return false on allocation failure ("Out of memory", OutOfMemory) or a stop request (the task
  /// ends aborted or with GenericError); the tree is then empty.
  bool build(PointArray points, int count, const KEXInterval<KEXVector3<float>>& box, int depth);

  /// Frees everything; the tree is empty afterwards.
  void release();

  bool isBuilt() const { return m_built; }
  const KEXInterval<KEXVector3<float>>& getBoundingBox() const { return m_box; }
  /// Number of points held (the count given to build minus the NaN points).
  int getPointCount() const { return m_entries.getCount(); }
  /// The points in tree order; leaves are contiguous ranges of it.
  const Entry* getEntries() const { return m_entries.getData(); }
  /// Number of split levels of the implicit layout (the depth of the deepest leaf).
  int getLevelCount() const { return m_levels; }

  /// Appends the indices of all points inside box (bounds included) to list.
  /// \return the list's new length, -1 when it cannot grow (it then holds what it had).
  int getPoints(const KEXValuePair<KEXVector3<float>>& box, KEXValueList<int>& list) const;

  /// Calls visit(first, count) for every leaf whose region meets the box [lo, hi] (a superset of the
  /// leaves holding points inside it). first indexes getEntries().
  template <class Visit>
  void forEachLeaf(const float lo[3], const float hi[3], Visit&& visit) const
  {
    if (m_built && m_entries.getCount() > 0)
      leavesInBox(0, 0, m_entries.getCount(), 0, lo, hi, visit);
  }

  /// Calls visit(first, count) for every leaf whose first entry lies in [begin, end), in order.
  template <class Visit>
  void forEachLeafStartingIn(int begin, int end, Visit&& visit) const
  {
    if (m_built && m_entries.getCount() > 0)
      leavesStartingIn(0, 0, m_entries.getCount(), 0, begin, end, visit);
  }

private:
  struct Node {
    float split;
    int axis;
  };
  struct Work {
    int node, first, count, level;
    float lo[3], hi[3];
  };

  bool isInner(int count, int level) const { return count > LEAF_SIZE && level < m_levels; }

  template <class Visit>
  void leavesInBox(int node, int first, int count, int level, const float lo[3], const float hi[3],
                   Visit& visit) const
  {
    while (isInner(count, level)) {
      const Node& n = m_nodes[node];
      int half = count / 2;
      bool left = lo[n.axis] <= n.split;
      bool right = hi[n.axis] >= n.split;
      if (left && right)
        leavesInBox(2 * node + 1, first, half, level + 1, lo, hi, visit);
      if (right) {
        node = 2 * node + 2;
        first += half;
        count -= half;
      } else if (left) {
        node = 2 * node + 1;
        count = half;
      } else {
        return;
      }
      ++level;
    }
    visit(first, count);
  }

  template <class Visit>
  void leavesStartingIn(int node, int first, int count, int level, int begin, int end, Visit& visit) const
  {
    if (first >= end || first + count <= begin)
      return;
    if (!isInner(count, level)) {
      if (first >= begin)
        visit(first, count);
      return;
    }
    int half = count / 2;
    leavesStartingIn(2 * node + 1, first, half, level + 1, begin, end, visit);
    leavesStartingIn(2 * node + 2, first + half, count - half, level + 1, begin, end, visit);
  }

  bool run() override;
  void process(const Work& w, double& done);
  void splitRecursively(int node, int first, int count, int level, float lo[3], float hi[3]);
  void splitNode(int node, int first, int count, float lo[3], float hi[3], Work children[2]);
  void push(const Work& w);

  KEXValueList<Entry> m_entries{1024, true};
  KEXValueList<Node> m_nodes{1024, true};
  KEXInterval<KEXVector3<float>> m_box;
  int m_levels = 0;
  bool m_built = false;

  // Build state, shared by the workers (queue and pending count under the KEXMultiThread lock).
  KEXValueList<Work> m_queue{16, true};
  int m_queueTop = 0;
  int m_pending = 0;
  int m_workers = 1;
  KEXSyncSemaphore m_semaphore;
  std::atomic<bool> m_stop{false};
  KEXTask* m_task = nullptr;
};

/// The point tree of vertex clustering and point cloud reduction.
using KEXPointBSPTree = KEXBSPTreeRootNode<KEXAlignedBBoxSplit<const KEXVector3<float>*>>;
extern template class KEXBSPTreeRootNode<KEXAlignedBBoxSplit<const KEXVector3<float>*>>;
