// The framework's allocator: the C library's heap, with three additions.
// - Test hooks: any single call (or every call from one on) can be made to fail, and the blocks
//   alive are counted, so that tests reach every out-of-memory path and see leaks.
// - Large blocks (4 MiB and more) ask for transparent huge pages: a fresh list of 100 MB then takes
//   50 page faults instead of 25,000, which was a fifth to a third of the time of a normal
//   computation or a file read on a million triangles.
// - Freed large blocks are kept (at most 8, 1 GiB together) and handed out again for a request of
//   the same size or a little less. An operation that builds and drops the same lists several times
//   (a repair sequence builds the adjacency lists about ten times) then gets its pages from the OS
//   once per process instead of once per list. What is kept counts as free memory for
//   kexGetFreePhysicalMemory, since it is handed out before the heap is asked.
#include "kex/Memory.h"
#include "kex/Testing.h"

#include <malloc.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>

namespace {
std::atomic<long> g_calls{0};      // counted calls (size > 0)
std::atomic<long> g_failAt{0};     // call number that fails, 0 = none
std::atomic<bool> g_sticky{false}; // every call from failAt on fails
std::atomic<bool> g_fired{false};
std::atomic<long> g_live{0};
std::atomic<bool> g_freeOverridden{false};
std::atomic<int64_t> g_freeOverride{0};

// Counts one allocation call and tells whether the test hook makes it fail.
bool injectFailure()
{
  long n = g_calls.fetch_add(1, std::memory_order_relaxed) + 1;
  long at = g_failAt.load(std::memory_order_relaxed);
  if (at > 0 && (n == at || (g_sticky.load(std::memory_order_relaxed) && n > at))) {
    g_fired.store(true, std::memory_order_relaxed);
    return true;
  }
  return false;
}

constexpr size_t LARGE_BLOCK = size_t(4) << 20;
constexpr size_t HUGE_PAGE = size_t(2) << 20;

void adviseHugePages(void* p, size_t size)
{
  const uintptr_t begin = (uintptr_t(p) + HUGE_PAGE - 1) & ~uintptr_t(HUGE_PAGE - 1);
  const uintptr_t end = (uintptr_t(p) + size) & ~uintptr_t(HUGE_PAGE - 1);
  if (end > begin)
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE); // advice only: failure is harmless
}

// Freed large blocks waiting for reuse. Trivially destructible, so that frees during the
// destruction of other statics still find it intact; what it holds at exit stays reachable.
class LargeBlockCache {
public:
  static constexpr int SLOTS = 8;
  static constexpr size_t CAPACITY = size_t(1) << 30;

  /// The smallest kept block of at least size bytes and at most 1.5 times that, or null.
  void* take(size_t size)
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    int best = -1;
    for (int i = 0; i < m_count; ++i)
      if (m_bytes[i] >= size && m_bytes[i] - size <= size / 2 && (best < 0 || m_bytes[i] < m_bytes[best]))
        best = i;
    if (best < 0)
      return nullptr;
    void* p = m_block[best];
    m_total -= m_bytes[best];
    removeAt(best);
    return p;
  }

  /// Keeps p (usable size bytes) for reuse, giving back the oldest blocks to make room; false
  /// when p is not worth keeping (the caller frees it).
  bool keep(void* p, size_t bytes)
  {
    if (bytes < LARGE_BLOCK || bytes > CAPACITY)
      return false;
    void* evicted[SLOTS];
    int evictedCount = 0;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      while (m_count > 0 && (m_count == SLOTS || m_total + bytes > CAPACITY)) {
        evicted[evictedCount++] = m_block[0];
        m_total -= m_bytes[0];
        removeAt(0);
      }
      m_block[m_count] = p;
      m_bytes[m_count++] = bytes;
      m_total += bytes;
    }
    for (int i = 0; i < evictedCount; ++i)
      std::free(evicted[i]); // outside the lock: returning pages to the OS takes a while
    return true;
  }

  size_t total()
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_total;
  }

private:
  void removeAt(int i)
  {
    for (int j = i + 1; j < m_count; ++j) {
      m_block[j - 1] = m_block[j];
      m_bytes[j - 1] = m_bytes[j];
    }
    --m_count;
  }

  std::mutex m_mutex;
  void* m_block[SLOTS] = {};
  size_t m_bytes[SLOTS] = {};
  int m_count = 0;
  size_t m_total = 0;
};

constinit LargeBlockCache g_cache;

// The C library gives freed memory at the top of its heap back to the OS as soon as 128 KiB are
// free there, and serves requests from 128 KiB up by mappings of their own. A mesh of a million
// vertices keeps its corner lists in about a thousand 32 KiB pool blocks and many lists between
// 128 KiB and 4 MiB: each rebuild of them paid its page faults again (on some virtual machines a
// fresh page costs more than the work done on it). The heap now keeps up to 256 MiB of free memory
// at its top and serves requests up to 32 MiB, the most the C library's own adaptive threshold
// would reach (setting one threshold turns the adaptation off).
const bool g_heapTuned = [] {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  return true;
}();
} // namespace

void* kexMalloc(size_t size)
{
  if (size == 0 || injectFailure())
    return nullptr;
  void* p = size >= LARGE_BLOCK ? g_cache.take(size) : nullptr;
  if (!p) {
    p = std::malloc(size);
    if (p && size >= LARGE_BLOCK)
      adviseHugePages(p, size);
  }
  if (p)
    g_live.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void* kexRealloc(void* ptr, size_t size)
{
  if (!ptr)
    return kexMalloc(size);
  if (size == 0) {
    kexFree(ptr);
    return nullptr;
  }
  if (injectFailure())
    return nullptr;
  void* p = std::realloc(ptr, size);
  if (p && size >= LARGE_BLOCK)
    adviseHugePages(p, size);
  return p;
}

void kexFree(void* ptr)
{
  if (!ptr)
    return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
  if (!g_cache.keep(ptr, malloc_usable_size(ptr)))
    std::free(ptr);
}

int64_t kexGetFreePhysicalMemory()
{
  if (g_freeOverridden.load())
    return g_freeOverride.load();
  // MemAvailable is what the kernel can hand out without swapping.
  std::ifstream in("/proc/meminfo");
  std::string key;
  int64_t value = 0;
  std::string unit;
  while (in >> key >> value) {
    std::getline(in, unit);
    if (key == "MemAvailable:")
      return value * 1024 + int64_t(g_cache.total());
  }
  return 0;
}

namespace kexTest {
void failAllocation(long n, bool sticky)
{
  g_sticky.store(sticky);
  g_fired.store(false);
  g_failAt.store(n > 0 ? g_calls.load() + n : 0);
}
void clearAllocationFaults()
{
  g_failAt.store(0);
  g_sticky.store(false);
}
bool allocationFaultFired() { return g_fired.load(); }
long allocationCalls() { return g_calls.load(); }
long liveAllocations() { return g_live.load(); }
void setFreePhysicalMemory(int64_t bytes)
{
  g_freeOverride.store(bytes);
  g_freeOverridden.store(true);
}
void clearFreePhysicalMemory() { g_freeOverridden.store(false); }
} // namespace kexTest
