// The compact index arrays the vertex adjacency lists are made of, and the pool of small slots
// they live in.
#include "kexmesh/core/CompactIndexArray.h"
#include "kexmesh/core/SmallArrayPool.h"

#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

namespace {
std::vector<int> contents(const KEXCompactIndexArray& a) { return {a.begin(), a.end()}; }
} // namespace

TEST(CompactIndexArray, SortedOperationsMatchAnOrderedSet)
{
  const long live = kexTest::liveAllocations();
  std::mt19937 rng(1);
  for (int run = 0; run < 200; ++run) {
    KEXCompactIndexArray a;
    std::set<int> ref;
    const int range = 1 + int(rng() % 700);
    for (int step = 0; step < 600; ++step) {
      int v = int(rng() % unsigned(range));
      if (rng() % 3) {
        ASSERT_EQ(a.insertSorted(v), ref.insert(v).second);
      } else {
        ASSERT_EQ(a.removeSorted(v), ref.erase(v) == 1);
      }
      ASSERT_GE(KEXSmallArrayPool::capacity(a.getData()), a.getCount());
    }
    ASSERT_EQ(contents(a), std::vector<int>(ref.begin(), ref.end()));
    for (int v = -1; v <= range; ++v) {
      int at = a.findSorted(v);
      auto it = ref.lower_bound(v);
      int expected = int(std::distance(ref.begin(), it));
      if (it != ref.end() && *it == v)
        EXPECT_EQ(at, expected);
      else {
        EXPECT_EQ(at, -expected - 1);
      }
    }
  }
  EXPECT_EQ(kexTest::liveAllocations(), live);
}

TEST(CompactIndexArray, ShortageLeavesTheArrayUnchanged)
{
  const long live = kexTest::liveAllocations();
  {
    KEXCompactIndexArray a;
    for (int i = 0; i < 36; ++i) {
      ASSERT_TRUE(a.append(i));
    }
    std::vector<int> before = contents(a);
    KEXCompactIndexArray target;
    ASSERT_TRUE(target.append(5));
    {
      kexTest::AllocationFault fault(1, true);
      EXPECT_FALSE(a.insertSorted(100)); // needs a heap block
      EXPECT_FALSE(a.setCount(40));
      KEXCompactIndexArray copy(a);
      EXPECT_TRUE(copy.isEmpty()); // a failed copy is empty
      target = a;
      EXPECT_EQ(contents(target), std::vector<int>{5}); // a failed assignment changes nothing
    }
    EXPECT_EQ(contents(a), before);
    EXPECT_TRUE(a.insertSorted(100));
    EXPECT_EQ(a.getCount(), 37);
  }
  EXPECT_EQ(kexTest::liveAllocations(), live);
}

namespace {
KEXSmallArrayPool& pool() { return KEXSmallArrayPool::instance(); }

// Slots of one class per 32 KiB block (a block head, then slots of 4 header bytes + the ints).
int slotsPerBlock(int ints) { return (KEXSmallArrayPool::BLOCK_BYTES - 32) / (4 + 4 * ints); }
} // namespace

TEST(SmallArrayPool, ShortageGivesNullAndKeepsData)
{
  const long live = kexTest::liveAllocations();
  const int blocks = pool().getBlockCount();
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
