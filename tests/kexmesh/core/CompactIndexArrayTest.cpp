// The compact index arrays the vertex adjacency lists are made of, and the pool of small slots
// they live in.
#include "kexmesh/core/CompactIndexArray.h"
#include "kexmesh/core/SmallArrayPool.h"
#include "kex/Testing.h"
#include "support/CoreSetup.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

using kexmeshtest::NoLeakScope;

namespace {
std::vector<int> contents(const KEXCompactIndexArray& a) { return {a.begin(), a.end()}; }
KEXSmallArrayPool& pool() { return KEXSmallArrayPool::instance(); }
// Slots of one class per 32 KiB block (a block head, then slots of 4 header bytes + the ints).
int slotsPerBlock(int ints) { return (KEXSmallArrayPool::BLOCK_BYTES - 32) / (4 + 4 * ints); }
} // namespace

TEST(CompactIndexArray, SortedOperationsMatchAnOrderedSet)
{
  NoLeakScope noLeak;
  std::mt19937 rng(1);
  for (int run = 0; run < 200; ++run) {
    KEXCompactIndexArray a;
    std::set<int> ref;
    const int range = 1 + int(rng() % 700);
    for (int step = 0; step < 600; ++step) {
      const int v = int(rng() % unsigned(range));
      const bool insert = rng() % 3 != 0;
      ASSERT_EQ(insert ? a.insertSorted(v) : a.removeSorted(v), insert ? ref.insert(v).second : ref.erase(v) == 1);
      ASSERT_GE(KEXSmallArrayPool::capacity(a.getData()), a.getCount());
    }
    ASSERT_EQ(contents(a), std::vector<int>(ref.begin(), ref.end()));
    for (int v = -1; v <= range; ++v) {
      const int below = int(std::distance(ref.begin(), ref.lower_bound(v)));
      EXPECT_EQ(a.findSorted(v), ref.count(v) ? below : -below - 1) << v;
    }
  }
}

TEST(CompactIndexArray, ShortageLeavesTheArrayUnchanged)
{
  NoLeakScope noLeak;
  KEXCompactIndexArray a, target;
  for (int i = 0; i < 36; ++i)
    ASSERT_TRUE(a.append(i));
  const std::vector<int> before = contents(a);
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
  EXPECT_TRUE(a.insertSorted(100) && a.getCount() == 37);
}

TEST(SmallArrayPool, ShortageGivesNullAndKeepsData)
{
  NoLeakScope noLeak;
  const int blocks = pool().getBlockCount();
  // A block that cannot be had: null, and no block is counted. At the latest after one block's
  // worth of slots a new block is needed.
  std::vector<int*> got;
  {
    kexTest::AllocationFault fault(1, true);
    for (int i = 0; i <= slotsPerBlock(36); ++i)
      if (int* q = pool().allocate(20))
        got.push_back(q);
  }
  EXPECT_LE(got.size(), size_t(slotsPerBlock(36)));
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
  EXPECT_TRUE(moved == nullptr && p[0] == 7); // still valid
  pool().free(p);
  EXPECT_EQ(pool().getBlockCount(), blocks);
}
