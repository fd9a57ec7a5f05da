// The allocator's large-block reuse must be invisible to its callers: whatever size is asked for is
// usable, reused blocks keep realloc's contract, injected faults fire for reused blocks too and the
// live count stays exact.
#include "kex/Memory.h"
#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {
constexpr size_t MiB = size_t(1) << 20;

TEST(Memory, LargeBlocksAreReusedWithinTheirContract)
{
  const long live = kexTest::liveAllocations();
  // Sizes around the reuse window: a freed block may serve the same size or a little less, never
  // more than it holds; each block is written end to end (ASan sees any overrun).
  std::vector<void*> kept;
  for (size_t size : {5 * MiB, 5 * MiB, 4 * MiB, 7 * MiB, 3 * MiB, 9 * MiB, 6 * MiB + 17, 5 * MiB}) {
    auto* p = static_cast<unsigned char*>(kexMalloc(size));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0xA5, size);
    if (kept.size() < 3)
      kept.push_back(p);
    else
      kexFree(p);
  }
  for (void* p : kept)
    kexFree(p);
  EXPECT_EQ(kexTest::liveAllocations(), live);
  // realloc of a block that came from the kept ones: contents preserved over growth and shrink.
  auto* p = static_cast<unsigned char*>(kexMalloc(5 * MiB));
  ASSERT_NE(p, nullptr);
  for (size_t i = 0; i < 5 * MiB; ++i)
    p[i] = static_cast<unsigned char>(i * 7);
  auto* q = static_cast<unsigned char*>(kexRealloc(p, 12 * MiB));
  ASSERT_NE(q, nullptr);
  q = static_cast<unsigned char*>(kexRealloc(q, 2 * MiB));
  ASSERT_NE(q, nullptr);
  for (size_t i = 0; i < 2 * MiB; i += 4093)
    ASSERT_EQ(q[i], static_cast<unsigned char>(i * 7)) << i;
  kexFree(q);
  EXPECT_EQ(kexTest::liveAllocations(), live);
}

TEST(Memory, InjectedFaultsFireForReusedLargeBlocks)
{
  void* p = kexMalloc(8 * MiB);
  ASSERT_NE(p, nullptr);
  kexFree(p); // now kept for reuse
  const long live = kexTest::liveAllocations();
  {
    kexTest::AllocationFault fault(1);
    EXPECT_EQ(kexMalloc(8 * MiB), nullptr);
    EXPECT_TRUE(fault.fired());
  }
  EXPECT_EQ(kexTest::liveAllocations(), live);
  void* again = kexMalloc(8 * MiB); // the kept block is still there after the refused request
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(kexTest::liveAllocations(), live + 1);
  kexFree(again);
}

} // namespace
