#pragma once
// Internal (not installed): the one way to hold temporary arrays. A KEXScratchAllocator owns every
// block it handed out and frees them all (kexFree) when it goes out of scope, so no exit path of an
// operation has to pair its allocations by hand. Blocks come from kexMalloc one by one, so an
// injected allocation failure reaches each of them.
#include "kex/Memory.h"

#include <cassert>
#include <cstddef>
#include <cstdint>

class KEXScratchAllocator {
public:
  /// Blocks one allocator can hold; an operation needing more wants a second allocator.
  static constexpr int CAPACITY = 16;

  KEXScratchAllocator() = default;
  ~KEXScratchAllocator()
  {
    for (int i = m_count; i-- > 0;)
      kexFree(m_blocks[i]);
  }
  KEXScratchAllocator(const KEXScratchAllocator&) = delete;
  KEXScratchAllocator& operator=(const KEXScratchAllocator&) = delete;

  /// n uninitialised elements of T (trivially destructible), or null on failure or for n == 0,
  /// exactly as kexMalloc (a caller that accepts an empty array tests n first).
  template <class T>
  T* allocate(size_t n)
  {
    assert(m_count < CAPACITY);
    if (n > SIZE_MAX / sizeof(T))
      return nullptr;
    void* p = kexMalloc(n * sizeof(T));
    if (p)
      m_blocks[m_count++] = p;
    return static_cast<T*>(p);
  }

private:
  void* m_blocks[CAPACITY] = {};
  int m_count = 0;
};
