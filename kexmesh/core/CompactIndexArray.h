#pragma once
// KEXCompactIndexArray: a list of ints without spare capacity field, {pointer, count}, whose storage
// comes from the small-array pool. Used for the per-vertex corner lists of the buffer and the
// buckets of the vertex tree. Relocatable bytewise, so it can be an element of a KEXValueList.
#include "kexmesh/core/SmallArrayPool.h"

class KEXCompactIndexArray {
public:
  KEXCompactIndexArray() = default;
  /// Copies the entries; when memory is short the copy is empty (callers compare counts).
  KEXCompactIndexArray(const KEXCompactIndexArray& other);
  KEXCompactIndexArray& operator=(const KEXCompactIndexArray& other);
  ~KEXCompactIndexArray() { KEXSmallArrayPool::instance().free(m_data); }

  int getCount() const { return m_count; }
  bool isEmpty() const { return m_count == 0; }
  int& operator[](int i) { return m_data[i]; }
  int operator[](int i) const { return m_data[i]; }
  int* getData() { return m_data; }
  const int* getData() const { return m_data; }
  const int* begin() const { return m_data; }
  const int* end() const { return m_data + m_count; }

  /// Resizes to count entries (new ones undefined). Shrinking keeps the storage, 0 frees it.
  bool setCount(int count);
  bool append(int value) { return insert(m_count, value); }
  /// Gives an empty array storage for n >= 1 entries, of the size class that appending n entries
  /// one at a time would end in (so later growth behaves the same); the count stays 0 and
  /// appendReserved() fills it. \pre isEmpty(). False when memory is short (the array stays empty).
  bool reserveGrown(int n);
  /// Appends without growth or check. \pre reserveGrown(n) was called and fewer than n appended.
  void appendReserved(int value) { m_data[m_count++] = value; }
  /// Inserts at pos (0 ... count), shifting the following entries.
  bool insert(int pos, int value);
  /// Removes the entry at pos, shifting the following entries.
  void remove(int pos);
  /// Index of value in an ascending array, or -(insertion point) - 1.
  int findSorted(int value) const;
  /// Inserts value at its ascending position; false when present already or memory is short.
  bool insertSorted(int value);
  /// Removes value from an ascending array; false when absent.
  bool removeSorted(int value);
  void clear() { setCount(0); }
  void swap(KEXCompactIndexArray& other)
  {
    int* d = m_data;
    m_data = other.m_data;
    other.m_data = d;
    int c = m_count;
    m_count = other.m_count;
    other.m_count = c;
  }

private:
  int* m_data = nullptr;
  int m_count = 0;
};
