#include "kex/Memory.h"
#include "kex/Testing.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
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
} // namespace

void* kexMalloc(size_t size)
{
  if (size == 0 || injectFailure())
    return nullptr;
  void* p = std::malloc(size);
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
  return std::realloc(ptr, size);
}

void kexFree(void* ptr)
{
  if (!ptr)
    return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
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
      return value * 1024;
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
