// KEXValueList: block-rounded capacity, the release flag, behaviour under allocation faults, cheap
// swaps, nested lists and element lifetimes.
#include "kex/Testing.h"
#include "kex/ValueList.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using kexTest::AllocationFault;

// Counts live instances so that every construction is matched by one destruction.
struct Counted {
  static inline int live = 0;
  int value = 0;
  Counted() { ++live; }
  explicit Counted(int v) : value(v) { ++live; }
  Counted(const Counted& o) : value(o.value) { ++live; }
  Counted& operator=(const Counted&) = default;
  ~Counted() { --live; }
};

KEXValueList<int> iota(int n, int block = 16)
{
  KEXValueList<int> l(block);
  for (int i = 0; i < n; ++i)
    l.append(i);
  return l;
}

bool holdsIota(const KEXValueList<int>& l, int n)
{
  if (l.getCount() != n)
    return false;
  for (int i = 0; i < n; ++i)
    if (l[i] != i)
      return false;
  return true;
}

TEST(ValueListTest, CapacityIsRoundedToBlocksAndReallocatesOnlyWhenItChanges)
{
  KEXValueList<int> l(100); // rounded up to a power of two
  EXPECT_EQ(l.getBlockSize(), 128);
  EXPECT_EQ(KEXValueList<int>(0).getBlockSize(), 1);
  EXPECT_EQ(KEXValueList<int>(-5).getBlockSize(), 1);
  EXPECT_EQ(KEXValueList<int>().getBlockSize(), 16);
  EXPECT_EQ(l.getCapacity(), 0);

  long calls = kexTest::allocationCalls();
  for (int i = 0; i < 128; ++i) {
    ASSERT_TRUE(l.append(i));
  }
  EXPECT_EQ(kexTest::allocationCalls() - calls, 1); // one block for 128 appends
  EXPECT_EQ(l.getCapacity(), 128);
  ASSERT_TRUE(l.append(128));
  EXPECT_EQ(l.getCapacity(), 256);
  EXPECT_EQ(kexTest::allocationCalls() - calls, 2);
  EXPECT_EQ(l.getLastIndex(), 128);

  // Shrinking within the same rounded capacity does not reallocate; below it, it does.
  calls = kexTest::allocationCalls();
  ASSERT_TRUE(l.setLastIndex(200));
  ASSERT_TRUE(l.setLastIndex(129));
  EXPECT_EQ(kexTest::allocationCalls(), calls);
  ASSERT_TRUE(l.setCount(100));
  EXPECT_EQ(l.getCapacity(), 128);
  EXPECT_EQ(kexTest::allocationCalls() - calls, 1);
}

TEST(ValueListTest, ReleaseFlagDecidesWhetherAnEmptiedListKeepsOneBlock)
{
  long base = kexTest::liveAllocations();
  {
    KEXValueList<int> keep(16, false);
    ASSERT_TRUE(keep.setCount(100));
    keep.clear();
    EXPECT_EQ(keep.getCount(), 0);
    EXPECT_EQ(keep.getCapacity(), 16);
    EXPECT_NE(keep.getData(), nullptr);
    EXPECT_EQ(kexTest::liveAllocations(), base + 1);

    KEXValueList<int> release(16, true);
    ASSERT_TRUE(release.setCount(100));
    release.clear();
    EXPECT_EQ(release.getCapacity(), 0);
    EXPECT_EQ(release.getData(), nullptr);
    EXPECT_EQ(kexTest::liveAllocations(), base + 1);

    // The flag can be changed at any time and applies at the next resize.
    keep.setReleaseFlag(true);
    EXPECT_TRUE(keep.getReleaseFlag());
    keep.setCount(0);
    EXPECT_EQ(keep.getCapacity(), 0);
    // A list that never had memory allocates nothing when cleared.
    KEXValueList<int> fresh;
    fresh.clear();
    EXPECT_EQ(fresh.getCapacity(), 0);
  }
  EXPECT_EQ(kexTest::liveAllocations(), base);
}

TEST(ValueListTest, GrowthFailureLeavesTheListUnchanged)
{
  KEXValueList<int> l = iota(16);
  const int* data = l.getData();
  {
    AllocationFault fault(1);
    EXPECT_FALSE(l.append(16));
    EXPECT_TRUE(fault.fired());
  }
  EXPECT_TRUE(holdsIota(l, 16));
  EXPECT_EQ(l.getData(), data);
  EXPECT_EQ(l.getCapacity(), 16);
  {
    AllocationFault fault(1, true);
    EXPECT_FALSE(l.setLastIndex(1000, -1));
    EXPECT_FALSE(l.insert(3, 99));
    EXPECT_FALSE(l.setCount(17));
  }
  EXPECT_TRUE(holdsIota(l, 16));
  // Invalid requests fail without touching anything.
  EXPECT_FALSE(l.setCount(-1));
  EXPECT_FALSE(l.insert(17, 5));
  EXPECT_FALSE(l.insert(-1, 5));
  EXPECT_FALSE(l.remove(16));
  EXPECT_FALSE(l.remove(-1));
  EXPECT_TRUE(holdsIota(l, 16));
}

TEST(ValueListTest, FailedShrinkingReallocStillShrinks)
{
  KEXValueList<int> l = iota(1000);
  const int* data = l.getData();
  {
    AllocationFault fault(1, true);
    EXPECT_TRUE(l.setCount(10));
    EXPECT_TRUE(fault.fired());
    EXPECT_TRUE(l.remove(9)); // also a shrink
  }
  EXPECT_TRUE(holdsIota(l, 9));
  EXPECT_EQ(l.getData(), data); // the old memory is kept
  EXPECT_GE(l.getCapacity(), 1000);
  // The list keeps working: it can grow again into the kept memory and beyond.
  for (int i = 9; i < 2000; ++i) {
    ASSERT_TRUE(l.append(i));
  }
  EXPECT_TRUE(holdsIota(l, 2000));
  {
    AllocationFault fault(1, true);
    l.clear(); // keeps one block: the shrinking realloc fails, the list is empty anyway
  }
  EXPECT_EQ(l.getCount(), 0);
  ASSERT_TRUE(l.append(7));
  EXPECT_EQ(l[0], 7);
}

TEST(ValueListTest, CopyUnderFaultIsShorterAndCopiesBlockAndFlag)
{
  KEXValueList<int> src(64, true);
  for (int i = 0; i < 100; ++i)
    src.append(i);
  KEXValueList<int> copy(src);
  EXPECT_TRUE(holdsIota(copy, 100));
  EXPECT_EQ(copy.getBlockSize(), 64);
  EXPECT_TRUE(copy.getReleaseFlag());
  EXPECT_NE(copy.getData(), src.getData());
  {
    AllocationFault fault(1);
    KEXValueList<int> shortCopy(src);
    EXPECT_TRUE(fault.fired());
    EXPECT_LT(shortCopy.getCount(), src.getCount());
  }
  {
    KEXValueList<int> target = iota(5);
    AllocationFault fault(1);
    target = src;
    EXPECT_LT(target.getCount(), src.getCount());
  }
  // A nested list: the outer copy is complete, an inner one comes out short.
  KEXValueList<KEXValueList<int>> nested;
  for (int i = 0; i < 3; ++i)
    nested.append(iota(50));
  {
    AllocationFault fault(2); // outer storage first, then the inner lists in order
    KEXValueList<KEXValueList<int>> copy2(nested);
    ASSERT_EQ(copy2.getCount(), 3);
    EXPECT_EQ(copy2[0].getCount(), 0);
    EXPECT_EQ(copy2[1].getCount(), 50);
    EXPECT_EQ(copy2[2].getCount(), 50);
  }
}

TEST(ValueListTest, SwapAndMoveAllocateNothing)
{
  KEXValueList<int> a(32, true), b(8, false);
  for (int i = 0; i < 40; ++i)
    a.append(i);
  b.append(-1);
  const int* da = a.getData();
  const int* db = b.getData();
  long calls = kexTest::allocationCalls();
  long live = kexTest::liveAllocations();
  a.swap(b);
  EXPECT_EQ(a.getData(), db);
  EXPECT_EQ(b.getData(), da);
  EXPECT_EQ(a.getCount(), 1);
  EXPECT_EQ(b.getCount(), 40);
  EXPECT_EQ(a.getBlockSize(), 8);
  EXPECT_EQ(b.getBlockSize(), 32);
  EXPECT_FALSE(a.getReleaseFlag());
  EXPECT_TRUE(b.getReleaseFlag());
  EXPECT_EQ(b.getCapacity(), 64);

  KEXValueList<int> moved(std::move(b));
  EXPECT_TRUE(holdsIota(moved, 40));
  EXPECT_EQ(b.getCount(), 0);
  a = std::move(moved);
  EXPECT_TRUE(holdsIota(a, 40));
  EXPECT_EQ(a.getBlockSize(), 32);
  EXPECT_EQ(kexTest::allocationCalls(), calls);
  EXPECT_EQ(kexTest::liveAllocations(), live - 1); // b's old one-element block was freed
}

TEST(ValueListTest, NestedListsFreeInnerStorage)
{
  long base = kexTest::liveAllocations();
  {
    KEXValueList<KEXValueList<int>> outer(4, true);
    std::mt19937 rng(7);
    for (int i = 0; i < 50; ++i) {
      KEXValueList<int> inner;
      int n = int(rng() % 100) + 1;
      for (int k = 0; k < n; ++k)
        inner.append(k);
      ASSERT_TRUE(outer.append(inner));
    }
    EXPECT_EQ(kexTest::liveAllocations(), base + 51);
    KEXValueList<KEXValueList<int>> copy(outer);
    ASSERT_EQ(copy.getCount(), 50);
    for (int i = 0; i < 50; ++i) {
      ASSERT_EQ(copy[i].getCount(), outer[i].getCount());
    }
    ASSERT_TRUE(outer.setCount(10)); // destroys 40 inner lists
    EXPECT_EQ(kexTest::liveAllocations(), base + 51 + 11);
    ASSERT_TRUE(outer.remove(0));
    ASSERT_TRUE(outer.setCount(20)); // new inner lists are empty and own nothing
    EXPECT_EQ(outer[19].getCount(), 0);
    EXPECT_EQ(kexTest::liveAllocations(), base + 51 + 10);
    copy.clear();
  }
  EXPECT_EQ(kexTest::liveAllocations(), base);
}

TEST(ValueListTest, ElementLifetimesAreBalanced)
{
  Counted::live = 0;
  {
    KEXValueList<Counted> l(4);
    for (int i = 0; i < 10; ++i)
      l.append(Counted(i));
    EXPECT_EQ(Counted::live, 10);
    l.setCount(20); // default-constructed
    EXPECT_EQ(Counted::live, 20);
    l.setLastIndex(24, Counted(5)); // filled
    EXPECT_EQ(Counted::live, 25);
    EXPECT_EQ(l[24].value, 5);
    l.remove(3);
    l.insert(0, Counted(42));
    EXPECT_EQ(Counted::live, 25);
    EXPECT_EQ(l[0].value, 42);
    EXPECT_EQ(l[3].value, 2);
    EXPECT_EQ(l[4].value, 4);
    KEXValueList<Counted> copy(l);
    EXPECT_EQ(Counted::live, 50);
    l.setCount(3);
    EXPECT_EQ(Counted::live, 28);
  }
  EXPECT_EQ(Counted::live, 0);
}

TEST(ValueListTest, InsertAndRemoveMatchAReference)
{
  std::mt19937 rng(11);
  KEXValueList<int> l(4);
  std::vector<int> ref;
  for (int step = 0; step < 2000; ++step) {
    int op = int(rng() % 3);
    if (op < 2 || ref.empty()) {
      int pos = int(rng() % (ref.size() + 1));
      int v = int(rng() % 1000);
      ASSERT_TRUE(l.insert(pos, v));
      ref.insert(ref.begin() + pos, v);
    } else {
      int pos = int(rng() % ref.size());
      ASSERT_TRUE(l.remove(pos));
      ref.erase(ref.begin() + pos);
    }
  }
  ASSERT_EQ(l.getCount(), int(ref.size()));
  for (int i = 0; i < l.getCount(); ++i) {
    ASSERT_EQ(l[i], ref[size_t(i)]);
  }
}

TEST(ValueListTest, AddingAnElementOfTheListItselfSurvivesReallocation)
{
  // The value passed in may live inside the list's own storage, which growing moves.
  KEXValueList<int> l = iota(16);
  ASSERT_EQ(l.getCapacity(), 16);
  ASSERT_TRUE(l.append(l[3]));
  EXPECT_EQ(l[16], 3);
  KEXValueList<int> f = iota(16);
  ASSERT_TRUE(f.setLastIndex(40, f[5]));
  for (int i = 16; i <= 40; ++i) {
    ASSERT_EQ(f[i], 5);
  }
  KEXValueList<int> g = iota(32);
  ASSERT_TRUE(g.insert(0, g[31]));
  EXPECT_EQ(g[0], 31);
  EXPECT_EQ(g[32], 31);
  // Nested: appending a copy of an own inner list.
  KEXValueList<KEXValueList<int>> n(1);
  n.append(iota(10));
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(n.append(n[0]));
  }
  for (int i = 0; i < 6; ++i) {
    EXPECT_TRUE(holdsIota(n[i], 10));
  }
}

} // namespace
