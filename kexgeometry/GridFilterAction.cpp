// Work sharing and safe reading over a grid: the dispatcher cuts the region of interest into
// z slabs handed out through one atomic counter; the read-access handle and the lock scope pin
// the grid's layout while workers read it.
#include "kexgeometry/GridFilterAction.h"

#include "kexgeometry/internal/GridPrivate.h"

#include <algorithm>

namespace {

using CellBox = KEXGridFilterAction::CellBox;

// The cells of a grid: -1 .. size - 1 on each axis (the outer layers reach into the padding).
CellBox cellDomain(const KEXGrid& grid)
{
  KEXVector3<int> s = grid.getSize();
  if (grid.isEmpty())
    return CellBox();
  return CellBox(KEXVector3<int>(-1, -1, -1), KEXVector3<int>(s.x - 1, s.y - 1, s.z - 1));
}

CellBox intersect(const CellBox& a, const CellBox& b)
{
  if (a.isEmpty() || b.isEmpty())
    return CellBox();
  KEXVector3<int> lo, hi;
  for (int i = 0; i < 3; ++i) {
    lo[i] = std::max(a.getMin()[i], b.getMin()[i]);
    hi[i] = std::min(a.getMax()[i], b.getMax()[i]);
  }
  CellBox r(lo, hi);
  return r.isEmpty() ? CellBox() : r;
}

CellBox boundingBox(const KEXGridFilterAction::BoundingBoxList& list)
{
  CellBox box;
  for (const CellBox& b : list)
    box.unite(b);
  return box;
}

} // namespace

void KEXGridFilterAction::WorkDispatcher::setGrid(const KEXGrid& grid)
{
  m_grid = &grid;
  m_region.clear();
  m_next.store(0);
}

void KEXGridFilterAction::WorkDispatcher::setRangeLayers(int layers) { m_layers = std::max(1, layers); }

bool KEXGridFilterAction::WorkDispatcher::addRegionOfInterest(const BoundingBoxList& boxes)
{
  if (!m_grid)
    return false;
  CellBox domain = cellDomain(*m_grid);
  BoundingBoxList grown(m_region);
  if (grown.getCount() != m_region.getCount())
    return false;
  for (const CellBox& b : boxes) {
    CellBox c = intersect(b, domain);
    if (!c.isEmpty() && !grown.append(c))
      return false;
  }
  m_region = std::move(grown);
  return true;
}

bool KEXGridFilterAction::WorkDispatcher::intersectRegionOfInterest(const BoundingBoxList& boxes)
{
  BoundingBoxList cut;
  for (const CellBox& r : m_region)
    for (const CellBox& b : boxes) {
      CellBox c = intersect(r, b);
      if (!c.isEmpty() && !cut.append(c))
        return false;
    }
  m_region = std::move(cut);
  return true;
}

KEXGridFilterAction::CellBox KEXGridFilterAction::WorkDispatcher::getRegionOfInterest() const
{
  return boundingBox(m_region);
}

double KEXGridFilterAction::WorkDispatcher::getRegionOfInterestArea() const
{
  CellBox b = getRegionOfInterest();
  if (b.isEmpty())
    return 0.0;
  double n = 1.0;
  for (int i = 0; i < 3; ++i)
    n *= double(b.getMax()[i] - b.getMin()[i] + 1);
  return n;
}

int KEXGridFilterAction::WorkDispatcher::getRangeCount() const
{
  CellBox b = getRegionOfInterest();
  if (b.isEmpty())
    return 0;
  int layers = b.getMax().z - b.getMin().z + 1;
  return (layers + m_layers - 1) / m_layers;
}

void KEXGridFilterAction::WorkDispatcher::reset() { m_next.store(0); }

KEXGridFilterAction::WorkDispatcher::Request KEXGridFilterAction::WorkDispatcher::requestWorkRange(WorkRange& range)
{
  if (!m_grid)
    return Failed;
  CellBox b = getRegionOfInterest();
  int count = getRangeCount();
  int index = m_next.fetch_add(1);
  if (index >= count) {
    // Keep the counter from creeping towards overflow when idle workers keep asking.
    m_next.store(count);
    return Finished;
  }
  range.index = index;
  range.x0 = b.getMin().x;
  range.x1 = b.getMax().x + 1;
  range.y0 = b.getMin().y;
  range.y1 = b.getMax().y + 1;
  range.z0 = b.getMin().z + index * m_layers;
  range.z1 = std::min(range.z0 + m_layers, b.getMax().z + 1);
  return Granted;
}

bool KEXGridFilterAction::WorkDispatcher::getRegion(const WorkRange& range, CellBox& region) const
{
  if (!m_grid || range.index < 0 || range.index >= getRangeCount())
    return false;
  CellBox b = getRegionOfInterest();
  int z0 = b.getMin().z + range.index * m_layers;
  if (range.z0 != z0 || range.z1 != std::min(z0 + m_layers, b.getMax().z + 1))
    return false;
  CellBox box(KEXVector3<int>(range.x0, range.y0, range.z0), KEXVector3<int>(range.x1 - 1, range.y1 - 1, range.z1 - 1));
  region = intersect(box, b);
  return true;
}

bool KEXGridFilterAction::ReadAccessHandle::beginAccess(const KEXGrid& grid)
{
  endAccess();
  std::lock_guard<std::mutex> lock(grid.m_private->mutex);
  if (grid.m_private->count == 0)
    return false;
  ++grid.m_private->readCount;
  m_grid = &grid;
  return true;
}

void KEXGridFilterAction::ReadAccessHandle::endAccess()
{
  if (!m_grid)
    return;
  --m_grid->m_private->readCount;
  m_grid = nullptr;
}

KEXGridFilterAction::LockScope::LockScope(const KEXGrid& grid) : m_grid(grid) { m_grid.m_private->mutex.lock(); }

KEXGridFilterAction::LockScope::~LockScope() { m_grid.m_private->mutex.unlock(); }
