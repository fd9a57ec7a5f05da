// Compact index arrays hold exactly their count of ints in storage from the small-array pool. They
// have no capacity field: the pool knows each storage's capacity from its header, so a growth asks
// the pool only when the size class must change, and appending to a list whose slot still has room
// costs one store (the common case while corner lists are built in ascending corner order).
#include "kexmesh/core/CompactIndexArray.h"

#include <cstring>

KEXCompactIndexArray::KEXCompactIndexArray(const KEXCompactIndexArray& other)
{
  if (other.m_count == 0)
    return;
  int* data = KEXSmallArrayPool::instance().allocate(other.m_count);
  if (!data)
    return; // short of memory: the copy stays empty
  std::memcpy(data, other.m_data, sizeof(int) * size_t(other.m_count));
  m_data = data;
  m_count = other.m_count;
}

KEXCompactIndexArray& KEXCompactIndexArray::operator=(const KEXCompactIndexArray& other)
{
  if (this == &other)
    return *this;
  KEXCompactIndexArray copy(other);
  if (copy.m_count == other.m_count) // a failed copy leaves this array as it was
    swap(copy);
  return *this;
}

bool KEXCompactIndexArray::setCount(int count)
{
  if (count < 0)
    return false;
  if (count == 0) {
    KEXSmallArrayPool::instance().free(m_data);
    m_data = nullptr;
    m_count = 0;
    return true;
  }
  if (count <= m_count) {
    m_count = count;
    return true;
  }
  int* data = KEXSmallArrayPool::instance().grow(m_data, m_count, count);
  if (!data)
    return false;
  m_data = data;
  m_count = count;
  return true;
}

bool KEXCompactIndexArray::reserveGrown(int n)
{
  if (m_count != 0 || n <= 0 || n > (1 << 29))
    return false;
  KEXSmallArrayPool& pool = KEXSmallArrayPool::instance();
  int* data = pool.allocateGrown(n);
  if (!data)
    return false;
  pool.free(m_data); // an empty array holds no storage; this only guards against a stray one
  m_data = data;
  return true;
}

bool KEXCompactIndexArray::insert(int pos, int value)
{
  if (pos < 0 || pos > m_count || m_count == (1 << 29))
    return false;
  if (m_count >= KEXSmallArrayPool::capacity(m_data)) {
    int* data = KEXSmallArrayPool::instance().grow(m_data, m_count, m_count + 1);
    if (!data)
      return false;
    m_data = data;
  }
  if (pos < m_count)
    std::memmove(m_data + pos + 1, m_data + pos, sizeof(int) * size_t(m_count - pos));
  m_data[pos] = value;
  ++m_count;
  return true;
}

void KEXCompactIndexArray::remove(int pos)
{
  if (pos < 0 || pos >= m_count)
    return;
  if (m_count == 1) {
    setCount(0);
    return;
  }
  std::memmove(m_data + pos, m_data + pos + 1, sizeof(int) * size_t(m_count - pos - 1));
  --m_count;
}

int KEXCompactIndexArray::findSorted(int value) const
{
  int lo = 0, hi = m_count; // search [lo, hi)
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    int v = m_data[mid];
    if (v < value)
      lo = mid + 1;
    else if (v > value)
      hi = mid;
    else
      return mid;
  }
  return -lo - 1;
}

bool KEXCompactIndexArray::insertSorted(int value)
{
  // Ascending visits append at the end: no search.
  if (m_count == 0 || m_data[m_count - 1] < value)
    return insert(m_count, value);
  int at = findSorted(value);
  if (at >= 0)
    return false;
  return insert(-at - 1, value);
}

bool KEXCompactIndexArray::removeSorted(int value)
{
  int at = findSorted(value);
  if (at < 0)
    return false;
  remove(at);
  return true;
}
