#pragma once
// KEXValueList<T>: the framework's growable array. All memory goes through kexMalloc/kexRealloc,
// so any growth can fail under test; a failed growth leaves the list unchanged.
//
// Capacity is the count rounded up to the block size (a power of two); the list reallocates only
// when that rounded capacity changes. An emptied list keeps one block unless its release flag is
// set. Elements are relocated bytewise by realloc, so T must be trivially relocatable (plain values,
// nested KEXValueLists and compact index arrays are).
#include "kex/Memory.h"

#include <climits>
#include <cstring>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

template <class T>
class KEXValueList {
public:
  explicit KEXValueList(int blockSize = 16, bool releaseWhenEmpty = false)
      : m_blockSize(validBlock(blockSize)), m_release(releaseWhenEmpty)
  {
  }

  /// Copies block size, flag and elements. When memory runs short the copy is shorter (possibly
  /// empty): callers that need all-or-nothing compare counts.
  KEXValueList(const KEXValueList& other) : m_blockSize(other.m_blockSize), m_release(other.m_release)
  {
    copyFrom(other);
  }

  KEXValueList(KEXValueList&& other) noexcept : m_blockSize(other.m_blockSize), m_release(other.m_release)
  {
    swap(other);
  }

  /// Replaces the content by a copy of other's elements (block size and flag included). On memory
  /// shortage the result is shorter than other.
  KEXValueList& operator=(const KEXValueList& other)
  {
    if (this != &other) {
      KEXValueList copy(other);
      swap(copy);
    }
    return *this;
  }

  KEXValueList& operator=(KEXValueList&& other) noexcept
  {
    if (this != &other) {
      KEXValueList empty(other.m_blockSize, other.m_release);
      swap(empty);
      swap(other);
    }
    return *this;
  }

  ~KEXValueList()
  {
    destroyRange(0, m_count);
    kexFree(m_data);
  }

  int getCount() const { return m_count; }
  int getLastIndex() const { return m_count - 1; }
  bool isEmpty() const { return m_count == 0; }
  int getCapacity() const { return m_capacity; }

  T& operator[](int i) { return m_data[i]; }
  const T& operator[](int i) const { return m_data[i]; }
  T* getData() { return m_data; }
  const T* getData() const { return m_data; }
  T* begin() { return m_data; }
  T* end() { return m_data + m_count; }
  const T* begin() const { return m_data; }
  const T* end() const { return m_data + m_count; }

  int getBlockSize() const { return m_blockSize; }
  /// Sets the allocation block (rounded up to a power of two); takes effect at the next resize.
  void setBlockSize(int blockSize) { m_blockSize = validBlock(blockSize); }
  bool getReleaseFlag() const { return m_release; }
  void setReleaseFlag(bool release) { m_release = release; }

  /// Resizes to last + 1 entries. New entries of trivial types are left undefined, others are
  /// default-constructed. Returns false (list unchanged) when growing fails; a shrink always
  /// succeeds, keeping the old memory if the reallocation fails.
  bool setLastIndex(int last) { return resize(last + 1, nullptr); }
  /// As setLastIndex(last), new entries set to fill.
  bool setLastIndex(int last, const T& fill) { return resize(last + 1, &fill); }
  bool setCount(int count) { return resize(count, nullptr); }
  bool setCount(int count, const T& fill) { return resize(count, &fill); }

  bool append(const T& value)
  {
    if (holds(&value)) { // growing may move the storage value lives in
      T copy(value);
      return append(copy);
    }
    if (m_count == INT_MAX || !reallocFor(m_count + 1))
      return false;
    new (m_data + m_count) T(value);
    ++m_count;
    return true;
  }

  /// Inserts at position pos (0 ... count), shifting the following entries.
  bool insert(int pos, const T& value)
  {
    if (pos < 0 || pos > m_count)
      return false;
    T copy(value); // value may live inside this list
    if (m_count == INT_MAX || !reallocFor(m_count + 1))
      return false;
    std::memmove(static_cast<void*>(m_data + pos + 1), static_cast<const void*>(m_data + pos),
                 sizeof(T) * size_t(m_count - pos));
    new (m_data + pos) T(std::move(copy));
    ++m_count;
    return true;
  }

  /// Removes the entry at pos, shifting the following entries.
  bool remove(int pos)
  {
    if (pos < 0 || pos >= m_count)
      return false;
    m_data[pos].~T();
    std::memmove(static_cast<void*>(m_data + pos), static_cast<const void*>(m_data + pos + 1),
                 sizeof(T) * size_t(m_count - pos - 1));
    --m_count;
    shrinkStorage();
    return true;
  }

  /// Empties the list: frees the memory when the release flag is set, else keeps one block.
  void clear() { resize(0, nullptr); }

  /// Exchanges the complete state (data, count, capacity, block size, flag); never allocates.
  void swap(KEXValueList& other) noexcept
  {
    std::swap(m_data, other.m_data);
    std::swap(m_count, other.m_count);
    std::swap(m_capacity, other.m_capacity);
    std::swap(m_blockSize, other.m_blockSize);
    std::swap(m_release, other.m_release);
  }

private:
  static int validBlock(int b)
  {
    int p = 1;
    while (p < b && p < (1 << 24))
      p <<= 1;
    return p;
  }

  int roundedCapacity(int count) const
  {
    if (count == 0) // an emptied list keeps (at most) one block unless it releases
      return (m_release || m_capacity == 0) ? 0 : m_blockSize;
    long long rounded = ((long long)count + m_blockSize - 1) / m_blockSize * m_blockSize;
    return rounded > INT_MAX ? INT_MAX : int(rounded);
  }

  // Makes room for count entries; false (nothing changed) when memory is short.
  bool reallocFor(int count)
  {
    if (count <= m_capacity && roundedCapacity(count) == m_capacity)
      return true;
    int capacity = roundedCapacity(count);
    if (capacity < count)
      return false;
    if (capacity == 0) {
      kexFree(m_data);
      m_data = nullptr;
      m_capacity = 0;
      return true;
    }
    void* p = kexRealloc(m_data, sizeof(T) * size_t(capacity));
    if (!p)
      return count <= m_capacity; // a shrink that fails keeps the old block
    m_data = static_cast<T*>(p);
    m_capacity = capacity;
    return true;
  }

  void shrinkStorage() { reallocFor(m_count); }

  // Whether p points at one of the list's own elements.
  bool holds(const T* p) const
  {
    return m_count > 0 && !std::less<const T*>()(p, m_data) && std::less<const T*>()(p, m_data + m_count);
  }

  bool resize(int count, const T* fill)
  {
    if (count < 0)
      return false;
    if (fill && count > m_count && holds(fill)) { // growing may move the storage fill lives in
      T copy(*fill);
      return resize(count, &copy);
    }
    if (count <= m_count) {
      destroyRange(count, m_count);
      m_count = count;
      shrinkStorage();
      return true;
    }
    if (!reallocFor(count))
      return false;
    if (fill) {
      for (int i = m_count; i < count; ++i)
        new (m_data + i) T(*fill);
    } else if constexpr (!std::is_trivially_default_constructible_v<T>) {
      for (int i = m_count; i < count; ++i)
        new (m_data + i) T();
    }
    m_count = count;
    return true;
  }

  void destroyRange(int first, int end)
  {
    if constexpr (!std::is_trivially_destructible_v<T>) {
      for (int i = first; i < end; ++i)
        m_data[i].~T();
    }
  }

  void copyFrom(const KEXValueList& other)
  {
    if (other.m_count == 0 || !reallocFor(other.m_count))
      return;
    if constexpr (std::is_trivially_copyable_v<T>) {
      std::memcpy(static_cast<void*>(m_data), static_cast<const void*>(other.m_data), sizeof(T) * size_t(other.m_count));
    } else {
      for (int i = 0; i < other.m_count; ++i)
        new (m_data + i) T(other.m_data[i]);
    }
    m_count = other.m_count;
  }

  T* m_data = nullptr;
  int m_count = 0;
  int m_capacity = 0;
  int m_blockSize = 16;
  bool m_release = false;
};
