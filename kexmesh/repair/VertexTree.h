#pragma once
// KEXVertexTree: a spatial index of vertex indices over a fixed 64 x 64 x 64 grid of cells spanning
// an axis-aligned box, plus one list for the vertices outside it. It stores no positions: every call
// that adds, finds or removes an index is given the vertex's position, and box queries return the
// candidates of whole cells (a superset of the vertices inside the box).
#include "kex/ValueList.h"
#include "kex/Values.h"
#include "kexmesh/core/CompactIndexArray.h"

#include <cstddef>

class KEXVertexTree {
public:
  static constexpr int RESOLUTION_BITS_X = 6;
  static constexpr int RESOLUTION_BITS_Y = 6;
  static constexpr int RESOLUTION_BITS_Z = 6;
  static constexpr int RESOLUTION_X = 64;
  static constexpr int RESOLUTION_Y = 64;
  static constexpr int RESOLUTION_Z = 64;
  static constexpr int MANTISSE_MASK_X = 0x7F0000;
  static constexpr int MANTISSE_MASK_Y = 0x7F0000;
  static constexpr int MANTISSE_MASK_Z = 0x7F0000;
  static constexpr int MANTISSE_SHIFT_X = 17;
  static constexpr int MANTISSE_SHIFT_Y = 17;
  static constexpr int MANTISSE_SHIFT_Z = 17;
  static constexpr int EXPONENT_SIGN_MASK = -8388608; // 0xFF800000
  static constexpr int VALID_EXPONENT = 0x3F800000;   // the bits of 1.0f
  static constexpr int CELL_COUNT = RESOLUTION_X * RESOLUTION_Y * RESOLUTION_Z;

  using Box = KEXValuePair<KEXVector3<float>>;

  /// A tree over box (first = bottom, second = top) with every cell empty. A box that is not
  /// strictly positive on all three axes (or holds NaN) gets a zero scale: every finite point then
  /// falls into cell 0. When the cell array cannot be allocated the tree is not valid (isValid()
  /// false): inserts into cells fail and queries find nothing until clear() succeeds.
  explicit KEXVertexTree(const Box& box);
  /// Releases buckets, the outside list and the cell array.
  ~KEXVertexTree();
  KEXVertexTree(const KEXVertexTree&) = delete;
  KEXVertexTree& operator=(const KEXVertexTree&) = delete;

  /// Trees live on the framework heap: `new` gives null when memory is short.
  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* p) noexcept;

  /// Builds a tree over the bounding box of the finite vertices and inserts every vertex (index =
  /// position in the list; non-finite ones go to the outside list), under the task "Calculating
  /// vertex tree". Returns null for an empty list and on failure (out of memory, stop request); the
  /// reason goes to the task.
  static KEXVertexTree* create(const KEXValueList<KEXVector3<float>>& vertices);
  /// The same over a plain array of count positions.
  static KEXVertexTree* create(const KEXVector3<float>* vertices, int count);

  /// Whether the cell array exists.
  bool isValid() const { return m_cells != nullptr; }

  /// The box given at construction. Always true.
  bool getBoundingBox(Box& box) const;
  const KEXVector3<float>& getBottom() const { return m_bottom; }
  const KEXVector3<float>& getTop() const { return m_top; }
  const KEXVector3<float>& getScale() const { return m_scale; }

  /// Appends index to the bucket of p's cell (creating the bucket) or to the outside list.
  /// \return false only when memory runs out (or the cell array is missing); the index is not added.
  bool insert(int index, const KEXVector3<float>& p);
  /// Inserts first ... first + count - 1 with positions[first + i] (positions is indexed by absolute
  /// vertex index). Stops at the first failure.
  /// \return the number inserted; -1 when count >= 1 and positions is null; 0 when count < 1.
  int insert(int first, int count, const KEXVector3<float>* positions);
  /// The first entry equal to index in p's bucket (or in the outside list); null when absent or when
  /// p's cell has no bucket.
  int* find(int index, const KEXVector3<float>& p);
  /// Overwrites the entry find(index, p) returns with newIndex.
  /// \pre the entry is present; an absent one changes nothing and gives false.
  bool replace(int index, const KEXVector3<float>& p, int newIndex);
  /// Removes one copy of index from p's bucket (or the outside list): the bucket's last entry takes
  /// its place and the bucket shrinks by one (freed when empty).
  /// \return false when p's cell has no bucket, or when the index is absent (nothing changes).
  bool remove(int index, const KEXVector3<float>& p);
  /// Empties every cell (allocating the cell array if it is missing) and releases all buckets. The
  /// outside list is kept. False only when the cell array cannot be allocated.
  bool clear();

  /// Number of indices in the cells whose range overlaps box (the outside list is not counted).
  int getVertexCount(const Box& box) const;
  /// Appends the indices of the cells overlapping box (order z, y, x ascending) to list.
  /// \return the list's new length; -1 when the list cannot grow (it keeps what it had).
  int getVertexList(const Box& box, KEXValueList<int>& list) const;
  /// As above over the cells of outer, leaving out the cells strictly inside inner's cell range on
  /// all three axes (the shell between the two ranges, with the inner range's boundary cells).
  int getVertexList(const Box& outer, const Box& inner, KEXValueList<int>& list) const;
  int getOutsideVertexCount() const { return m_outside.getCount(); }
  /// Appends the outside list to list. \return the list's new length; -1 when it cannot grow.
  int getOutsideVertexList(KEXValueList<int>& list) const;

private:
  friend struct KEXVertexTreeTestAccess;
  /// The cell slot of p (x | y << 6 | z << 12), or -1 when p lies outside the grid.
  int getCellSlot(const KEXVector3<float>& p) const;
  struct Range {
    int lo[3], hi[3];
  };
  Range cellRange(const Box& box) const;
  int clampedIndex(float value, int axis) const;
  KEXCompactIndexArray* bucketOf(const KEXVector3<float>& p);
  template <class Visit>
  void visitCells(const Range& r, const Range* inner, Visit&& visit) const;

  KEXVector3<float> m_bottom, m_top;
  KEXVector3<float> m_scale;
  KEXVector3<float> m_origin; // bottom, or 0 for a degenerate box (a NaN bottom would hide every point)
  int* m_cells = nullptr;
  KEXValueList<KEXCompactIndexArray> m_buckets{4096, true};
  KEXCompactIndexArray m_outside;
};
