// Worker threads: the atomic work counter, the AND of the results, the lock and the process-wide
// worker count.
#include "kex/Testing.h"
#include "kex/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Claims work items 0 ... items-1 from the atomic counter and counts how often each was handed out.
class Claimer : public KEXMultiThread {
public:
  explicit Claimer(int items) : seen(std::make_shared<std::vector<std::atomic<int>>>(size_t(items))) {}
  bool run() override
  {
    runs.fetch_add(1);
    for (;;) {
      int v = getAtomic();
      if (v >= int(seen->size()))
        break;
      (*seen)[size_t(v)].fetch_add(1);
      lock();
      unlockedSum += 1; // plain int: only correct under the object's lock
      unlock();
    }
    // With failFirst, exactly one worker (the first to get here) reports failure.
    return !(failFirst && !firstFailed.exchange(true));
  }
  bool runMainThread() override
  {
    mainRuns.fetch_add(1);
    return mainResult;
  }
  std::shared_ptr<std::vector<std::atomic<int>>> seen;
  std::atomic<int> runs{0}, mainRuns{0};
  std::atomic<bool> firstFailed{false};
  bool failFirst = false, mainResult = true;
  int unlockedSum = 0;
};

TEST(ThreadTest, GetAtomicHandsOutEachValueOnceAndRestartsPerRunAll)
{
  const int items = 20000;
  Claimer c(items);
  EXPECT_TRUE(c.runAll(4));
  EXPECT_EQ(c.runs.load(), 4);
  EXPECT_EQ(c.mainRuns.load(), 1);
  EXPECT_EQ(kexTest::lastRunAllThreads(), 4);
  for (int i = 0; i < items; ++i) {
    ASSERT_EQ((*c.seen)[size_t(i)].load(), 1) << i;
  }
  EXPECT_EQ(c.unlockedSum, items);
  // A second run starts again at 0 without an explicit reset.
  EXPECT_TRUE(c.runAll(3));
  for (int i = 0; i < items; ++i) {
    ASSERT_EQ((*c.seen)[size_t(i)].load(), 2) << i;
  }
  EXPECT_EQ(c.unlockedSum, 2 * items);
  c.resetAtomic();
  EXPECT_EQ(c.getAtomic(), 0);
  EXPECT_EQ(c.getAtomic(), 1);
}

TEST(ThreadTest, RunAllIsTheAndOfAllResults)
{
  {
    Claimer c(100);
    c.failFirst = true; // exactly one worker reports failure
    EXPECT_FALSE(c.runAll(4));
    EXPECT_EQ(c.runs.load(), 4); // all workers still ran
  }
  {
    Claimer c(100);
    c.mainResult = false;
    EXPECT_FALSE(c.runAll(2));
    EXPECT_EQ(c.mainRuns.load(), 1);
  }
}

TEST(ThreadTest, ThreadCountOverride)
{
  kexTest::setThreadCount(3);
  EXPECT_EQ(KEXMultiThread::getDefaultNumberOfThreads(), 3);
  Claimer c(10);
  EXPECT_EQ(c.getNumberOfThreads(), 3);
  EXPECT_TRUE(c.runAll(0));
  EXPECT_EQ(c.runs.load(), 3);
  EXPECT_EQ(kexTest::lastRunAllThreads(), 3);
  EXPECT_TRUE(c.runAll(2)); // an explicit count wins
  EXPECT_EQ(kexTest::lastRunAllThreads(), 2);
  kexTest::setThreadCount(0);
}

} // namespace
