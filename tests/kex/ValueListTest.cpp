// KEXValueList: behaviour under allocation faults, insertion and removal against a reference, and
// values taken from the list itself.
#include "kex/Memory.h"
#include "kex/Testing.h"
#include "kex/ValueList.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using kexTest::AllocationFault;

KEXValueList<int> iota(int n, int block = 16)
{
  KEXValueList<int> l(block);
  for (int i = 0; i < n; ++i)
    l.append(i);
  return l;
}

bool holdsIota(const KEXValueList<int>& l, int n)
{
  for (int i = 0; i < n && l.getCount() == n; ++i)
    if (l[i] != i)
      return false;
  return l.getCount() == n;
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
  EXPECT_TRUE(holdsIota(l, 16) && l.getData() == data && l.getCapacity() == 16);
  {
    AllocationFault fault(1, true);
    EXPECT_FALSE(l.setLastIndex(1000, -1) || l.insert(3, 99) || l.setCount(17));
  }
  EXPECT_TRUE(holdsIota(l, 16));
  // Invalid requests fail without touching anything.
  EXPECT_FALSE(l.setCount(-1) || l.insert(17, 5) || l.insert(-1, 5) || l.remove(16) || l.remove(-1));
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
  EXPECT_TRUE(holdsIota(l, 9) && l.getData() == data); // the old memory is kept
  EXPECT_GE(l.getCapacity(), 1000);
  // The list keeps working: it can grow again into the kept memory and beyond.
  for (int i = 9; i < 2000; ++i)
    ASSERT_TRUE(l.append(i));
  EXPECT_TRUE(holdsIota(l, 2000));
  {
    AllocationFault fault(1, true);
    l.clear(); // keeps one block: the shrinking realloc fails, the list is empty anyway
  }
  EXPECT_EQ(l.getCount(), 0);
  ASSERT_TRUE(l.append(7));
  EXPECT_EQ(l[0], 7);
}

TEST(ValueListTest, InsertAndRemoveMatchAReference)
{
  std::mt19937 rng(11);
  KEXValueList<int> l(4);
  std::vector<int> ref;
  for (int step = 0; step < 2000; ++step) {
    if (rng() % 3 < 2 || ref.empty()) {
      const int pos = int(rng() % (ref.size() + 1)), v = int(rng() % 1000);
      ASSERT_TRUE(l.insert(pos, v));
      ref.insert(ref.begin() + pos, v);
    } else {
      const int pos = int(rng() % ref.size());
      ASSERT_TRUE(l.remove(pos));
      ref.erase(ref.begin() + pos);
    }
  }
  ASSERT_EQ(l.getCount(), int(ref.size()));
  for (int i = 0; i < l.getCount(); ++i)
    ASSERT_EQ(l[i], ref[size_t(i)]);
}

TEST(ValueListTest, AddingAnElementOfTheListItselfSurvivesReallocation)
{
  // The value passed in may live inside the list's own storage, which growing moves.
  KEXValueList<int> l = iota(16), f = iota(16), g = iota(32);
  ASSERT_EQ(l.getCapacity(), 16);
  ASSERT_TRUE(l.append(l[3]));
  EXPECT_EQ(l[16], 3);
  ASSERT_TRUE(f.setLastIndex(40, f[5]));
  for (int i = 16; i <= 40; ++i)
    ASSERT_EQ(f[i], 5);
  ASSERT_TRUE(g.insert(0, g[31]));
  EXPECT_TRUE(g[0] == 31 && g[32] == 31);
  // Nested: appending a copy of an own inner list.
  KEXValueList<KEXValueList<int>> n(1);
  n.append(iota(10));
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(n.append(n[0]));
  for (int i = 0; i < 6; ++i)
    EXPECT_TRUE(holdsIota(n[i], 10));
}

// The allocator the lists grow through; its injected failures drive every out-of-memory test.
TEST(ValueListTest, AllocatorSizeZeroAlignmentAndStickyFaults)
{
  const long calls = kexTest::allocationCalls();
  EXPECT_EQ(kexMalloc(0), nullptr);
  EXPECT_EQ(kexTest::allocationCalls(), calls); // size 0 is not an allocation
  {
    AllocationFault fault(2, true); // the second and every later call fail
    void* a = kexMalloc(24);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % 16, 0u);
    EXPECT_TRUE(kexMalloc(8) == nullptr && kexRealloc(a, 48) == nullptr && fault.fired());
    kexFree(a);
  }
  void* after = kexMalloc(8); // the fault ends with its scope
  EXPECT_NE(after, nullptr);
  kexFree(after);
}

} // namespace
