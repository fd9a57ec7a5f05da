#include "kexmesh/core/CompactIndexArray.h"

#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(CompactIndexArray, AppendingInOrderMovesOnlyAtSizeClassSteps)
{
  KEXCompactIndexArray a;
  std::vector<int*> places;
  for (int i = 0; i < 600; ++i) {
    ASSERT_TRUE(a.insertSorted(3 * i));
    if (places.empty() || places.back() != a.getData())
      places.push_back(a.getData());
  }
  // 5-slot, 11-slot, 36-slot, then heap blocks of 256, 512 and 768 ints (the heap may stay in place).
  EXPECT_GE(places.size(), 4u);
  EXPECT_LE(places.size(), 6u);
  EXPECT_EQ(KEXSmallArrayPool::capacity(a.getData()), 768);
  for (int i = 0; i < 600; ++i) {
    ASSERT_EQ(a[i], 3 * i);
  }
}

TEST(CompactIndexArray, ReservedStorageEqualsTheStorageOfGrowth)
{
  const long live = kexTest::liveAllocations();
  for (int n = 1; n <= 800; n += (n < 40 ? 1 : 37)) {
    KEXCompactIndexArray grown, reserved;
    ASSERT_TRUE(reserved.reserveGrown(n));
    EXPECT_TRUE(reserved.isEmpty());
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(grown.append(2 * i));
      reserved.appendReserved(2 * i);
    }
    ASSERT_EQ(contents(reserved), contents(grown)) << n;
    EXPECT_EQ(KEXSmallArrayPool::capacity(reserved.getData()), KEXSmallArrayPool::capacity(grown.getData())) << n;
    EXPECT_EQ(KEXSmallArrayPool::isPooled(reserved.getData()), KEXSmallArrayPool::isPooled(grown.getData())) << n;
    // Later growth takes the same steps.
    for (int i = 0; i < 300; ++i) {
      ASSERT_TRUE(grown.append(-i));
      ASSERT_TRUE(reserved.append(-i));
      ASSERT_EQ(KEXSmallArrayPool::capacity(reserved.getData()), KEXSmallArrayPool::capacity(grown.getData()))
          << n << " + " << i;
    }
    EXPECT_EQ(contents(reserved), contents(grown));
  }
  {
    KEXCompactIndexArray a;
    ASSERT_TRUE(a.append(1));
    EXPECT_FALSE(a.reserveGrown(4)); // only an empty array takes reserved storage
    EXPECT_EQ(contents(a), std::vector<int>{1});
    KEXCompactIndexArray b;
    EXPECT_FALSE(b.reserveGrown(0));
    EXPECT_EQ(b.getData(), nullptr);
    {
      kexTest::AllocationFault fault(1, true);
      EXPECT_FALSE(b.reserveGrown(100)); // a heap block
    }
    EXPECT_TRUE(b.isEmpty());
    EXPECT_EQ(b.getData(), nullptr);
  }
  EXPECT_EQ(kexTest::liveAllocations(), live);
}

TEST(CompactIndexArray, CountsCopiesAndPositions)
{
  const long live = kexTest::liveAllocations();
  {
    KEXCompactIndexArray a;
    EXPECT_TRUE(a.isEmpty());
    EXPECT_EQ(a.getData(), nullptr);
    ASSERT_TRUE(a.setCount(4));
    for (int i = 0; i < 4; ++i)
      a[i] = 10 * i;
    ASSERT_TRUE(a.insert(0, -5));
    ASSERT_TRUE(a.append(99));
    EXPECT_FALSE(a.insert(8, 1));
    EXPECT_EQ(contents(a), (std::vector<int>{-5, 0, 10, 20, 30, 99}));
    a.remove(2);
    a.remove(17); // ignored
    EXPECT_EQ(contents(a), (std::vector<int>{-5, 0, 20, 30, 99}));
    int* data = a.getData();
    ASSERT_TRUE(a.setCount(2)); // shrinking keeps the storage
    EXPECT_EQ(a.getData(), data);
    KEXCompactIndexArray b(a);
    EXPECT_EQ(contents(b), contents(a));
    EXPECT_NE(b.getData(), a.getData());
    KEXCompactIndexArray c;
    c = b;
    c = c;
    EXPECT_EQ(contents(c), (std::vector<int>{-5, 0}));
    c.swap(a);
    EXPECT_EQ(c.getData(), data);
    c.clear();
    EXPECT_EQ(c.getData(), nullptr);
    EXPECT_FALSE(c.removeSorted(1));
    EXPECT_FALSE(c.setCount(-1));
    b.remove(0);
    b.remove(0); // down to zero frees the storage
    EXPECT_EQ(b.getData(), nullptr);
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
