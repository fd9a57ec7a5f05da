#pragma once
// What a calculation over a grid uses to share the work and read the samples safely:
// - BoundingBoxList: boxes of cell indices (KEXInterval of KEXVector3<int>, inclusive bounds).
// - WorkDispatcher: the region of interest (the union of the boxes added, intersected with the
//   grid's cells) cut into work ranges, slabs of whole cell layers along z; ranges are handed
//   out once each, in order, through an atomic counter, so any number of threads can take them.
// - ReadAccessHandle: an open read access to a grid; while any is open the grid's layout and
//   storage stay as they are.
// - LockScope: holds a grid's lock for a scope (layout changes take it too).
// A cell (i, j, k) has the samples (i..i+1, j..j+1, k..k+1) at its corners. Cell indices run from
// -1 to size - 1 on each axis: the cells at -1 and size - 1 have corners one sample outside the
// grid, which readers deliver as padding (see KEXGridReadCache), so a surface is closed at the
// grid's border.
#include "kexgeometry/Grid.h"
#include "kex/ValueList.h"

#include <atomic>

class KEXGridFilterAction {
public:
  using CellBox = KEXInterval<KEXVector3<int>>;
  using BoundingBoxList = KEXValueList<CellBox>;

  /// One work range: cells [x0, x1) x [y0, y1) x [z0, z1) and its position in the order of ranges.
  struct WorkRange {
    int index = -1;
    int x0 = 0, x1 = 0, y0 = 0, y1 = 0, z0 = 0, z1 = 0;
  };

  class WorkDispatcher {
  public:
    enum Request { Granted, Finished, Failed };

    WorkDispatcher() = default;
    WorkDispatcher(const WorkDispatcher&) = delete;
    WorkDispatcher& operator=(const WorkDispatcher&) = delete;

    /// The grid whose cells are shared out (cells -1 .. size - 1 per axis). Clears the region.
    void setGrid(const KEXGrid& grid);
    /// Cell layers (along z) per work range; at least 1. Default 8.
    void setRangeLayers(int layers);
    int getRangeLayers() const { return m_layers; }
    /// Unites boxes into the region of interest, clipped to the grid's cells. False when memory is
    /// short. An empty list adds nothing.
    bool addRegionOfInterest(const BoundingBoxList& boxes);
    /// Intersects the region of interest with boxes (their union).
    bool intersectRegionOfInterest(const BoundingBoxList& boxes);
    /// The bounding box of the region (empty when nothing was added).
    CellBox getRegionOfInterest() const;
    /// Number of cells in the region's bounding box.
    double getRegionOfInterestArea() const;
    /// Number of ranges the region is cut into.
    int getRangeCount() const;
    /// Back to the first range.
    void reset();
    /// The next range not yet handed out (thread-safe). Finished when all are out; Failed when the
    /// dispatcher has no grid.
    Request requestWorkRange(WorkRange& range);
    /// The cells of range that lie in the region of interest (its box clipped to the region's
    /// bounding box). False when the range is not one of this dispatcher's.
    bool getRegion(const WorkRange& range, CellBox& region) const;

  private:
    const KEXGrid* m_grid = nullptr;
    int m_layers = 8;
    BoundingBoxList m_region;
    std::atomic<int> m_next{0};
  };

  class ReadAccessHandle {
  public:
    ReadAccessHandle() = default;
    ReadAccessHandle(const ReadAccessHandle&) = delete;
    ReadAccessHandle& operator=(const ReadAccessHandle&) = delete;
    ~ReadAccessHandle() { endAccess(); }
    /// Opens read access; false for an empty grid.
    bool beginAccess(const KEXGrid& grid);
    void endAccess();
    const KEXGrid* getGrid() const { return m_grid; }

  private:
    const KEXGrid* m_grid = nullptr;
  };

  class LockScope {
  public:
    explicit LockScope(const KEXGrid& grid);
    LockScope(const LockScope&) = delete;
    LockScope& operator=(const LockScope&) = delete;
    ~LockScope();

  private:
    const KEXGrid& m_grid;
  };
};
