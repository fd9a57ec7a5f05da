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
    for (int v; (v = getAtomic()) < int(seen->size());) {
      (*seen)[size_t(v)].fetch_add(1);
      lock();
      unlockedSum += 1; // plain int: only correct under the object's lock
      unlock();
    }
    // With failFirst, exactly one worker (the first to get here) reports failure.
    return !(failFirst && !firstFailed.exchange(true));
  }
  bool runMainThread() override { return mainRuns.fetch_add(1), mainResult; }
  bool everyItemSeen(int times) const
  {
    for (const std::atomic<int>& s : *seen)
      if (s.load() != times)
        return false;
    return unlockedSum == times * int(seen->size());
  }
  std::shared_ptr<std::vector<std::atomic<int>>> seen;
  std::atomic<int> runs{0}, mainRuns{0};
  std::atomic<bool> firstFailed{false};
  bool failFirst = false, mainResult = true;
  int unlockedSum = 0;
};

TEST(ThreadTest, GetAtomicHandsOutEachValueOnceAndRunAllIsTheAndOfAllResults)
{
  Claimer c(20000);
  EXPECT_TRUE(c.runAll(4));
  EXPECT_TRUE(c.runs.load() == 4 && c.mainRuns.load() == 1 && kexTest::lastRunAllThreads() == 4);
  EXPECT_TRUE(c.everyItemSeen(1));
  EXPECT_TRUE(c.runAll(3)); // a second run starts again at 0 without an explicit reset
  EXPECT_TRUE(c.everyItemSeen(2));
  c.resetAtomic();
  EXPECT_EQ(c.getAtomic(), 0);
  EXPECT_EQ(c.getAtomic(), 1);
  // runAll is the AND of all results: one failing worker (all still run), or the main thread.
  Claimer worker(100), main(100);
  worker.failFirst = true;
  main.mainResult = false;
  EXPECT_FALSE(worker.runAll(4) || main.runAll(2));
  EXPECT_TRUE(worker.runs.load() == 4 && main.mainRuns.load() == 1);
}

TEST(ThreadTest, ThreadCountOverride)
{
  kexTest::setThreadCount(3);
  EXPECT_EQ(KEXMultiThread::getDefaultNumberOfThreads(), 3);
  Claimer c(10);
  EXPECT_EQ(c.getNumberOfThreads(), 3);
  EXPECT_TRUE(c.runAll(0));
  EXPECT_TRUE(c.runs.load() == 3 && kexTest::lastRunAllThreads() == 3);
  EXPECT_TRUE(c.runAll(2)); // an explicit count wins
  EXPECT_EQ(kexTest::lastRunAllThreads(), 2);
  kexTest::setThreadCount(0);
}

} // namespace
