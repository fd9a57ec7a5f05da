#include "kexmesh/core/SmallArrayPool.h"

#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace {
KEXSmallArrayPool& pool() { return KEXSmallArrayPool::instance(); }

// Slots of one class per 32 KiB block (a block head, then slots of 4 header bytes + the ints).
int slotsPerBlock(int ints) { return (KEXSmallArrayPool::BLOCK_BYTES - 32) / (4 + 4 * ints); }
} // namespace

TEST(SmallArrayPool, SizeClassesOfAllocation)
{
  struct Case {
    int n, capacity;
    bool pooled;
  };
  for (Case c : {Case{1, 5, true}, Case{3, 5, true}, Case{4, 11, true}, Case{7, 11, true}, Case{8, 36, true},
                 Case{24, 36, true}, Case{25, 256, false}, Case{256, 256, false}, Case{257, 512, false}}) {
    int* p = pool().allocate(c.n);
    ASSERT_NE(p, nullptr) << c.n;
    EXPECT_EQ(KEXSmallArrayPool::capacity(p), c.capacity) << c.n;
    EXPECT_EQ(KEXSmallArrayPool::isPooled(p), c.pooled) << c.n;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(int), 0u);
    for (int i = 0; i < c.capacity; ++i) // the whole capacity is usable (ASan checks the bounds)
      p[i] = i;
    pool().free(p);
  }
  EXPECT_EQ(pool().allocate(0), nullptr);
  EXPECT_EQ(KEXSmallArrayPool::capacity(nullptr), 0);
  pool().free(nullptr);
}

TEST(SmallArrayPool, GrowthFollowsTheSizeClasses)
{
  // n < 6 keeps any storage; pooled storage with room stays; else 11, 36, heap.
  int* p = pool().allocate(2);
  for (int i = 0; i < 2; ++i)
    p[i] = 40 + i;
  EXPECT_EQ(pool().grow(p, 2, 5), p);
  int* q = pool().grow(p, 2, 6);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(KEXSmallArrayPool::capacity(q), 11);
  EXPECT_EQ(q[0], 40);
  EXPECT_EQ(q[1], 41);
  EXPECT_EQ(pool().grow(q, 2, 11), q);
  int* r = pool().grow(q, 2, 12);
  EXPECT_EQ(KEXSmallArrayPool::capacity(r), 36);
  EXPECT_EQ(r[1], 41);
  int* h = pool().grow(r, 2, 37);
  EXPECT_FALSE(KEXSmallArrayPool::isPooled(h));
  EXPECT_EQ(KEXSmallArrayPool::capacity(h), 256);
  EXPECT_EQ(h[0], 40);
  EXPECT_EQ(pool().grow(h, 37, 256), h); // same rounded size: no reallocation
  const long calls = kexTest::allocationCalls();
  int* h2 = pool().grow(h, 37, 300);
  EXPECT_EQ(kexTest::allocationCalls(), calls + 1);
  EXPECT_EQ(KEXSmallArrayPool::capacity(h2), 512);
  EXPECT_EQ(h2[1], 41);
  pool().free(h2);
  // From nothing: a plain allocation.
  int* f = pool().grow(nullptr, 0, 9);
  EXPECT_EQ(KEXSmallArrayPool::capacity(f), 36);
  pool().free(f);
}

TEST(SmallArrayPool, BlocksAreSharedAndReturnedWithTheirLastSlot)
{
  const int blocks = pool().getBlockCount();
  const long live = kexTest::liveAllocations();
  for (int cls = 0; cls < 3; ++cls) {
    const int ints = KEXSmallArrayPool::SLOT_INTS[cls];
    const int n = ints == 5 ? 3 : ints == 11 ? 7 : 24;
    const int perBlock = slotsPerBlock(ints);
    std::vector<int*> slots;
    for (int i = 0; i < perBlock; ++i)
      slots.push_back(pool().allocate(n));
    EXPECT_EQ(pool().getBlockCount(), blocks + 1) << ints; // one block serves them all
    slots.push_back(pool().allocate(n));
    EXPECT_EQ(pool().getBlockCount(), blocks + 2) << ints;
    // Slots do not overlap.
    for (size_t i = 0; i < slots.size(); ++i)
      std::fill(slots[i], slots[i] + ints, int(i));
    for (size_t i = 0; i < slots.size(); ++i) {
      ASSERT_EQ(slots[i][ints - 1], int(i));
    }
    // Free in random order; a freed slot is reused before a new block is taken.
    std::mt19937 rng{unsigned(cls)};
    std::shuffle(slots.begin(), slots.end(), rng);
    int* last = slots.back();
    slots.pop_back();
    pool().free(last);
    int* again = pool().allocate(n);
    EXPECT_EQ(pool().getBlockCount(), blocks + 2);
    slots.push_back(again);
    for (int* s : slots)
      pool().free(s);
    EXPECT_EQ(pool().getBlockCount(), blocks) << ints;
  }
  EXPECT_EQ(kexTest::liveAllocations(), live);
}

TEST(SmallArrayPool, ShortageGivesNullAndKeepsData)
{
  const long live = kexTest::liveAllocations();
  const int blocks = pool().getBlockCount();
  {
    kexTest::AllocationFault fault(1, true);
    EXPECT_EQ(pool().allocate(300), nullptr);
  }
  // A block that cannot be had: null, and no block is counted. At the latest after one block's
  // worth of slots a new block is needed.
  std::vector<int*> got;
  int refused = 0;
  {
    kexTest::AllocationFault fault(1, true);
    for (int i = 0; i <= slotsPerBlock(36); ++i) {
      int* q = pool().allocate(20);
      if (q)
        got.push_back(q);
      else
        ++refused;
    }
  }
  EXPECT_GT(refused, 0);
  EXPECT_EQ(pool().getBlockCount(), blocks);
  for (int* q : got)
    pool().free(q);
  int* p = pool().allocate(3);
  p[0] = 7;
  int* moved;
  {
    kexTest::AllocationFault fault(1, true);
    moved = pool().grow(p, 1, 30);
  }
  EXPECT_EQ(moved, nullptr);
  EXPECT_EQ(p[0], 7); // still valid
  pool().free(p);
  EXPECT_EQ(pool().getBlockCount(), blocks);
  EXPECT_EQ(kexTest::liveAllocations(), live);
}
