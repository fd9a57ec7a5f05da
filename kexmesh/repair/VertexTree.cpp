// Vertex tree: a fixed 64^3 grid of buckets of vertex indices over a box.
//
// The cell of a point is found without division or floor: per axis the point is mapped into [1, 2)
// with one multiply-add (scale = 0.9984375 / extent, so the box's top face lands on 1.9984375 and
// the grid reaches about 0.16 % beyond it). Every float in [1, 2) has the sign and exponent bits of
// 1.0f, and its six leading mantissa bits are floor((f - 1) * 64), the cell index. A value below 1,
// at least 2, negative, infinite or NaN fails the exponent test and is outside. Box queries clamp
// instead of rejecting, so a query box that sticks out of the grid still reaches the border cells.
//
// Buckets are compact index arrays from the library's small-array pool: they hold exactly their
// count and grow one index at a time without a heap block of their own.
#include "kexmesh/repair/VertexTree.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Memory.h"
#include "kex/Task.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr int BUILD_BLOCK = 16384;

// Behind the cell array: one 64-bit word per row of cells along x, a bit per cell that has a
// bucket. A query then skips empty cells 64 at a time, which matters when its box covers most of
// the grid (a search radius as large as the cloud visits all 262144 cells otherwise).
constexpr int ROW_COUNT = KEXVertexTree::CELL_COUNT / KEXVertexTree::RESOLUTION_X;
constexpr size_t CELL_BYTES = sizeof(int) * size_t(KEXVertexTree::CELL_COUNT) + sizeof(uint64_t) * ROW_COUNT;
static_assert(KEXVertexTree::RESOLUTION_X == 64, "one occupancy word per row");
inline uint64_t* rowsOf(int* cells) { return reinterpret_cast<uint64_t*>(cells + KEXVertexTree::CELL_COUNT); }
inline const uint64_t* rowsOf(const int* cells)
{
  return reinterpret_cast<const uint64_t*>(cells + KEXVertexTree::CELL_COUNT);
}
// Bits lo ... hi (inclusive) set; empty when hi < lo.
inline uint64_t bitRange(int lo, int hi)
{
  if (hi < lo)
    return 0;
  const uint64_t upper = hi >= 63 ? ~uint64_t(0) : (uint64_t(1) << (hi + 1)) - 1;
  return upper & ~((uint64_t(1) << lo) - 1);
}
void resetCells(int* cells)
{
  std::memset(cells, 0xFF, sizeof(int) * size_t(KEXVertexTree::CELL_COUNT));
  std::memset(rowsOf(cells), 0, sizeof(uint64_t) * ROW_COUNT);
}

inline int32_t floatBits(float f) { return std::bit_cast<int32_t>(f); }

// Maps one coordinate into [1, 2) for in-range values: f = (value - bottom) * scale + 1, each step
// rounded to float.
inline float unitCoordinate(float value, float bottom, float scale)
{
  float d = value - bottom;
  float m = d * scale;
  return m + 1.0f;
}

} // namespace

void* KEXVertexTree::operator new(std::size_t size) noexcept { return kexMalloc(size); }

void KEXVertexTree::operator delete(void* p) noexcept { kexFree(p); }

KEXVertexTree::KEXVertexTree(const Box& box) : m_bottom(box.first), m_top(box.second)
{
  const bool proper = m_top.x > m_bottom.x && m_top.y > m_bottom.y && m_top.z > m_bottom.z;
  if (proper) {
    m_origin = m_bottom;
    for (int a = 0; a < 3; ++a) {
      double s = 0.9984375 / (double(m_top[a]) - double(m_bottom[a]));
      // A box thinner than float can resolve would overflow: the largest float keeps the bottom
      // face in cell 0 instead of turning 0 * inf into NaN.
      m_scale[a] = s < double(FLT_MAX) ? float(s) : FLT_MAX;
    }
  }
  m_cells = static_cast<int*>(kexMalloc(CELL_BYTES));
  if (m_cells)
    resetCells(m_cells);
}

KEXVertexTree::~KEXVertexTree() { kexFree(m_cells); }

bool KEXVertexTree::getBoundingBox(Box& box) const
{
  box.first = m_bottom;
  box.second = m_top;
  return true;
}

int KEXVertexTree::getCellSlot(const KEXVector3<float>& p) const
{
  static const int masks[3] = {MANTISSE_MASK_X, MANTISSE_MASK_Y, MANTISSE_MASK_Z};
  static const int shifts[3] = {MANTISSE_SHIFT_X, MANTISSE_SHIFT_Y, MANTISSE_SHIFT_Z};
  static const int offsets[3] = {0, RESOLUTION_BITS_X, RESOLUTION_BITS_X + RESOLUTION_BITS_Y};
  int slot = 0;
  for (int a = 0; a < 3; ++a) {
    int32_t bits = floatBits(unitCoordinate(p[a], m_origin[a], m_scale[a]));
    if ((bits & EXPONENT_SIGN_MASK) != VALID_EXPONENT)
      return -1;
    slot |= ((bits & masks[a]) >> shifts[a]) << offsets[a];
  }
  return slot;
}

int KEXVertexTree::clampedIndex(float value, int axis) const
{
  static const int masks[3] = {MANTISSE_MASK_X, MANTISSE_MASK_Y, MANTISSE_MASK_Z};
  static const int shifts[3] = {MANTISSE_SHIFT_X, MANTISSE_SHIFT_Y, MANTISSE_SHIFT_Z};
  static const int top[3] = {RESOLUTION_X - 1, RESOLUTION_Y - 1, RESOLUTION_Z - 1};
  int32_t bits = floatBits(unitCoordinate(value, m_origin[axis], m_scale[axis]));
  int32_t exponent = bits & EXPONENT_SIGN_MASK;
  if (exponent == VALID_EXPONENT)
    return (bits & masks[axis]) >> shifts[axis];
  return exponent < VALID_EXPONENT ? 0 : top[axis];
}

KEXVertexTree::Range KEXVertexTree::cellRange(const Box& box) const
{
  Range r;
  for (int a = 0; a < 3; ++a) {
    r.lo[a] = clampedIndex(box.first[a], a);
    r.hi[a] = clampedIndex(box.second[a], a);
  }
  return r;
}

template <class Visit>
void KEXVertexTree::visitCells(const Range& r, const Range* inner, Visit&& visit) const
{
  if (!m_cells)
    return;
  auto strictlyInside = [inner](int axis, int i) { return i > inner->lo[axis] && i < inner->hi[axis]; };
  const uint64_t* rows = rowsOf(m_cells);
  const uint64_t range = bitRange(r.lo[0], r.hi[0]);
  const uint64_t hole = inner ? bitRange(inner->lo[0] + 1, inner->hi[0] - 1) : 0;
  for (int z = r.lo[2]; z <= r.hi[2]; ++z) {
    bool zIn = inner && strictlyInside(2, z);
    for (int y = r.lo[1]; y <= r.hi[1]; ++y) {
      bool yzIn = zIn && strictlyInside(1, y);
      const int row = y | (z << RESOLUTION_BITS_Y);
      uint64_t bits = rows[row] & range;
      if (yzIn)
        bits &= ~hole;
      while (bits) {
        const int x = std::countr_zero(bits);
        bits &= bits - 1;
        visit(m_buckets[m_cells[x | (row << RESOLUTION_BITS_X)]]);
      }
    }
  }
}

KEXCompactIndexArray* KEXVertexTree::bucketOf(const KEXVector3<float>& p)
{
  int slot = getCellSlot(p);
  if (slot < 0)
    return &m_outside;
  if (!m_cells || m_cells[slot] < 0)
    return nullptr;
  return &m_buckets[m_cells[slot]];
}

bool KEXVertexTree::insert(int index, const KEXVector3<float>& p)
{
  int slot = getCellSlot(p);
  if (slot < 0)
    return m_outside.append(index);
  if (!m_cells)
    return false;
  int b = m_cells[slot];
  if (b < 0) {
    b = m_buckets.getCount();
    if (!m_buckets.setCount(b + 1))
      return false;
    m_cells[slot] = b;
    rowsOf(m_cells)[slot >> RESOLUTION_BITS_X] |= uint64_t(1) << (slot & (RESOLUTION_X - 1));
  }
  return m_buckets[b].append(index);
}

int KEXVertexTree::insert(int first, int count, const KEXVector3<float>* positions)
{
  if (count < 1)
    return 0;
  if (!positions)
    return -1;
  for (int i = 0; i < count; ++i)
    if (!insert(first + i, positions[first + i]))
      return i;
  return count;
}

int* KEXVertexTree::find(int index, const KEXVector3<float>& p)
{
  KEXCompactIndexArray* bucket = bucketOf(p);
  if (!bucket)
    return nullptr;
  int* data = bucket->getData();
  for (int k = 0, n = bucket->getCount(); k < n; ++k)
    if (data[k] == index)
      return data + k;
  return nullptr;
}

bool KEXVertexTree::replace(int index, const KEXVector3<float>& p, int newIndex)
{
  int* entry = find(index, p);
  if (!entry)
    return false;
  *entry = newIndex;
  return true;
}

bool KEXVertexTree::remove(int index, const KEXVector3<float>& p)
{
  KEXCompactIndexArray* bucket = bucketOf(p);
  if (!bucket)
    return false;
  int n = bucket->getCount();
  int* data = bucket->getData();
  for (int k = 0; k < n; ++k) {
    if (data[k] == index) {
      data[k] = data[n - 1];
      bucket->setCount(n - 1); // a shrink keeps the storage; 0 frees it
      return true;
    }
  }
  return false;
}

bool KEXVertexTree::clear()
{
  if (!m_cells) {
    m_cells = static_cast<int*>(kexMalloc(CELL_BYTES));
    if (!m_cells)
      return false;
  }
  resetCells(m_cells);
  m_buckets.clear();
  return true;
}

int KEXVertexTree::getVertexCount(const Box& box) const
{
  int total = 0;
  visitCells(cellRange(box), nullptr, [&total](const KEXCompactIndexArray& b) { total += b.getCount(); });
  return total;
}

namespace {
// Appends the buckets visited by walk to list, growing it once. -1 when it cannot grow.
template <class Walk>
int appendBuckets(KEXValueList<int>& list, Walk&& walk)
{
  int total = 0;
  walk([&total](const KEXCompactIndexArray& b) { total += b.getCount(); });
  int at = list.getCount();
  if (total > 0 && !list.setCount(at + total))
    return -1;
  int* out = list.getData();
  walk([&out, &at](const KEXCompactIndexArray& b) {
    if (b.getCount() > 0)
      std::memcpy(out + at, b.getData(), sizeof(int) * size_t(b.getCount()));
    at += b.getCount();
  });
  return list.getCount();
}
} // namespace

int KEXVertexTree::getVertexList(const Box& box, KEXValueList<int>& list) const
{
  Range r = cellRange(box);
  return appendBuckets(list, [this, &r](auto&& visit) { visitCells(r, nullptr, visit); });
}

int KEXVertexTree::getVertexList(const Box& outer, const Box& inner, KEXValueList<int>& list) const
{
  Range r = cellRange(outer);
  Range i = cellRange(inner);
  return appendBuckets(list, [this, &r, &i](auto&& visit) { visitCells(r, &i, visit); });
}

int KEXVertexTree::getOutsideVertexList(KEXValueList<int>& list) const
{
  int at = list.getCount();
  int n = m_outside.getCount();
  if (n > 0) {
    if (!list.setCount(at + n))
      return -1;
    std::memcpy(list.getData() + at, m_outside.getData(), sizeof(int) * size_t(n));
  }
  return list.getCount();
}

KEXVertexTree* KEXVertexTree::create(const KEXValueList<KEXVector3<float>>& vertices)
{
  return create(vertices.getData(), vertices.getCount());
}

KEXVertexTree* KEXVertexTree::create(const KEXVector3<float>* vertices, int count)
{
  if (count < 1 || !vertices)
    return nullptr;
  KEXTask task("Calculating vertex tree", 2.0 * count, 0x1010000);
  KEXInterval<KEXVector3<float>> box;
  bool stopped = false;
  {
    KEXSubTask sub("Calculating bounding box of vertex list", double(count));
    for (int first = 0; first < count && !stopped; first += BUILD_BLOCK) {
      int end = std::min(count, first + BUILD_BLOCK);
      // Infinite vertices stay out of the box (they go to the outside list): one of them would
      // otherwise stretch the grid until every finite vertex fell outside it too.
      for (int i = first; i < end; ++i)
        if (std::isfinite(vertices[i].x) && std::isfinite(vertices[i].y) && std::isfinite(vertices[i].z))
          box.unite(vertices[i]);
      stopped = !task.incProgress(end - first, true);
    }
  }
  if (stopped)
    return kexEndRefused(task), nullptr;

  KEXVertexTree* tree = new KEXVertexTree(box.toPair());
  if (!tree || !tree->isValid()) {
    delete tree;
    kexEndOutOfMemory(task);
    return nullptr;
  }
  for (int first = 0; first < count; first += BUILD_BLOCK) {
    int n = std::min(BUILD_BLOCK, count - first);
    if (tree->insert(first, n, vertices) != n) {
      delete tree;
      task.error(KEX::GenericError);
      return nullptr;
    }
    if (!task.incProgress(n, true)) {
      delete tree;
      kexEndRefused(task);
      return nullptr;
    }
  }
  task.ok();
  return tree;
}
