// Progress tasks: mapping of nested progress, stop and abort requests, outcome propagation through
// statusOf, reports from worker threads and misuse detection.
#include "kex/Task.h"
#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using kexTest::RecordingScope;
using Status = KEXTaskInfo::Status;

constexpr double EPS = 1e-12;

// A sub-task inside a sub-task (no task between) treats the outer one as a task of weight = its
// fraction. (Shares between tasks are checked against the range arithmetic on random chains below.)
TEST(TaskTest, NestedSubTasksShareTheOuterOnesFraction)
{
  const double T = 10.0, W = 2 * T + 1;
  RecordingScope rec;
  {
    KEXTask root("Root", W, 0x1010000);
    EXPECT_TRUE(root.incProgress(1.0, true));
    {
      KEXSubTask outer(nullptr, 2 * T);
      KEXSubTask nested("Nested", T); // first half of the outer share
      KEXTask deep("Deep", 4.0);
      EXPECT_TRUE(deep.incProgress(4.0, true) && deep.ok());
    }
    EXPECT_NEAR(root.getProgress(), W, EPS);
    EXPECT_TRUE(root.ok());
    EXPECT_NEAR(root.getTreeProgress(), 1.0, EPS);
  }
  std::vector<double> p = rec.progressValues();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_NEAR(p[0], 1.0 / W, EPS);
  EXPECT_NEAR(p[1], (1.0 + T) / W, EPS); // nested share ends half way through the outer one
  EXPECT_EQ(rec.rootStatus(), KEXTaskInfo::Succeeded);
  EXPECT_TRUE(rec.misuses().empty());
}

TEST(TaskTest, StopAfterReportsIsStickyAndNotAnAbort)
{
  RecordingScope rec;
  rec.stopAfterReports(3, KEXTaskMonitor::Stop);
  KEXTask root("Root", 100.0);
  EXPECT_TRUE(root.incProgress(1.0, true));
  EXPECT_TRUE(root.incProgress(1.0, true));
  EXPECT_FALSE(root.wasStopped());
  EXPECT_FALSE(root.incProgress(1.0, true)); // the report during which the stop is requested
  EXPECT_TRUE(root.wasStopped() && !root.wasAborted());
  EXPECT_FALSE(root.incProgress(1.0, false)); // sticky, also without a report
  {
    // Every task of the tree sees the request.
    KEXSubTask sub("Sub", 10.0);
    KEXTask inner("Inner", 5.0);
    EXPECT_TRUE(inner.wasStopped() && !inner.incProgress(1.0, true));
    EXPECT_FALSE(inner.sendMessage(KEXTaskInfo::Message(KEXTaskInfo::Running)));
    EXPECT_TRUE(inner.stopped());
  }
  EXPECT_EQ(rec.reportCount(), 4);
  EXPECT_TRUE(root.stopped() && rec.rootStatus() == KEXTaskInfo::Stopped);
}

TEST(TaskTest, AbortDoesNotImplyStopAndOwnStoppedSetsNoFlag)
{
  {
    RecordingScope rec;
    rec.stopAfterReports(1, KEXTaskMonitor::Abort);
    KEXTask root("Root", 10.0);
    EXPECT_FALSE(root.incProgress(1.0, true));
    EXPECT_TRUE(root.wasAborted() && !root.wasStopped());
    EXPECT_FALSE(root.aborted());
    EXPECT_EQ(root.getStatus(), KEXTaskInfo::Aborted);
  }
  {
    // An algorithm ending its own task with stopped() is a success and requests nothing.
    RecordingScope rec;
    KEXTask root("Root", 10.0);
    {
      KEXSubTask sub("Step", 5.0);
      KEXTask inner("Inner", 1.0);
      EXPECT_TRUE(inner.stopped());
    }
    EXPECT_TRUE(!root.wasStopped() && !root.wasAborted() && root.incProgress(1.0, true));
    root.ok();
  }
  {
    // The host may request a stop or an abort on any task of a tree.
    RecordingScope rec;
    KEXTask root("Root", 10.0);
    KEXSubTask sub("Step", 5.0);
    KEXTask inner("Inner", 1.0);
    root.requestAbort();
    EXPECT_TRUE(inner.wasAborted() && !inner.wasStopped() && !inner.incProgress(1.0, false));
    inner.aborted();
    root.aborted();
  }
  {
    // A monitor may request a stop when a task ends (a stop request after a step).
    RecordingScope rec;
    rec.stopWhenEnded("Step one");
    KEXTask root("Root", 10.0);
    {
      KEXSubTask sub(nullptr, 5.0);
      KEXTask step("Step one", 1.0);
      step.ok();
    }
    EXPECT_TRUE(root.wasStopped() && !root.incProgress(1.0, true));
    root.stopped();
  }
}

// Runs "outer -> sub-task -> middle -> sub-task -> inner" where inner ends by end(inner), and
// middle and outer pass the outcome on with statusOf(sub, GenericError).
void runTwoLevels(void (*endInner)(KEXTask&), bool& outerResult, Status& outerStatus, KEXenum& outerCode)
{
  KEXTask outer("Outer", 2.0);
  {
    KEXSubTask s1("Step", 1.0);
    {
      KEXTask middle("Middle", 2.0);
      KEXSubTask s2("Inner step", 1.0);
      {
        KEXTask inner("Inner", 1.0);
        endInner(inner);
      }
      (void)middle.statusOf(s2, KEX::GenericError);
    }
    outerResult = outer.statusOf(s1, KEX::GenericError);
  }
  outerStatus = outer.getStatus();
  outerCode = outer.getCode();
}

TEST(TaskTest, StatusOfPassesInnerOutcomeThroughTwoLevels)
{
  // The last row: a step that succeeded inside but failed outside any task gets the given code.
  const struct {
    void (*end)(KEXTask&);
    bool result;
    Status status;
    KEXenum code; // unset: not checked
  } cases[] = {{[](KEXTask& t) { t.error(KEX::InvalidValue); }, false, KEXTaskInfo::Failed, KEX::InvalidValue},
               {[](KEXTask& t) { t.aborted(); }, false, KEXTaskInfo::Aborted, KEXenum()},
               {[](KEXTask& t) { t.stopped(); }, true, KEXTaskInfo::Stopped, KEXenum()},
               {[](KEXTask& t) { t.ok(); }, false, KEXTaskInfo::Failed, KEX::GenericError}};
  RecordingScope rec;
  for (const auto& c : cases) {
    bool result;
    Status status;
    KEXenum code;
    runTwoLevels(c.end, result, status, code);
    EXPECT_TRUE(result == c.result && status == c.status);
    EXPECT_TRUE(c.code == KEXenum() || code == c.code);
  }
  EXPECT_TRUE(rec.misuses().empty());
}

// Without an outcome the given code counts; the failure of a grandchild is not the step's
// outcome, the child's success is; the last task that ended inside the step counts.
TEST(TaskTest, StatusOfWithoutOutcomeUsesGivenCodeAndLooksOnlyAtDirectChildren)
{
  const struct {
    void (*inside)();
    bool hasOutcome;
    KEXenum given, expected;
  } cases[] = {
      {[] {}, false, KEX::OutOfMemory, KEX::OutOfMemory},
      {[] { KEXTask child("Child", 1.0); { KEXTask g("Grandchild", 1.0); g.error(KEX::InvalidIndex); } child.ok(); },
       true, KEX::InvalidOperation, KEX::InvalidOperation},
      {[] { { KEXTask first("First", 1.0); first.ok(); } KEXTask second("Second", 1.0); second.error(KEX::InvalidIndex); },
       true, KEX::GenericError, KEX::InvalidIndex}};
  RecordingScope rec;
  for (const auto& c : cases) {
    KEXTask t("Outer", 1.0);
    KEXSubTask s("Step", 1.0);
    c.inside();
    EXPECT_EQ(s.hasOutcome(), c.hasOutcome);
    EXPECT_FALSE(t.statusOf(s, c.given));
    EXPECT_EQ(t.getCode(), c.expected);
  }
}

TEST(TaskTest, BegunIsReportedBeforeEverythingElseOfTheTask)
{
  RecordingScope rec;
  rec.stopWhenBegun("Creating BSP tree");
  KEXTask root("Clustering vertices", 3.0);
  {
    KEXSubTask sub("Initialization", 1.0);
    KEXTask bsp("Creating BSP tree", 1.0);
    EXPECT_FALSE(bsp.incProgress(1.0, true)); // stop requested when it began
    bsp.stopped();
  }
  EXPECT_TRUE(root.wasStopped());
  root.stopped();
}

TEST(TaskTest, WorkerThreadReportsAreCountedExactly)
{
  const int threads = 4, perThread = 2000;
  RecordingScope rec;
  rec.stopAfterReports(500);
  std::atomic<int> refused{0};
  KEXTask root("Root", double(threads * perThread));
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i)
    workers.emplace_back([&] {
      for (int k = 0; k < perThread; ++k)
        if (!root.incProgress(1.0, true))
          refused.fetch_add(1);
    });
  for (std::thread& w : workers)
    w.join();
  // Every report counted; exactly the reports from the 500th on were refused.
  EXPECT_TRUE(rec.reportCount() == threads * perThread && refused.load() == threads * perThread - 499);
  EXPECT_NEAR(root.getProgress(), double(threads * perThread), EPS);
  EXPECT_TRUE(rec.progressMonotone());
  root.stopped();
}

TEST(TaskTest, DoubleEndingAndUnendedTasksAreMisuse)
{
  RecordingScope rec;
  {
    KEXTask t("Twice", 1.0);
    EXPECT_FALSE(t.error(KEX::InvalidValue));
    t.ok(); // ignored: the first ending fixes the status
    EXPECT_TRUE(t.getStatus() == KEXTaskInfo::Failed && t.getCode() == KEX::InvalidValue);
  }
  {
    KEXTask u("Never ended", 1.0);
    u.incProgress(1.0, true);
  }
  EXPECT_EQ(rec.misuses(), (std::vector<std::string>{"Twice: ended twice", "Never ended: unended"}));
  // Only one ending is reported for the task that ended twice; none for the unended one.
  EXPECT_EQ(rec.endings().size(), 1u);
}

TEST(TaskTest, TasksUnderAnEndedTaskGetZeroWidth)
{
  RecordingScope rec;
  {
    KEXTask root("Root", 10.0);
    {
      KEXSubTask sub("Step", 4.0);
      KEXTask m("Build", 2.0);
      m.incProgress(1.0, true);
      EXPECT_TRUE(m.ok());
      {
        // e.g. a derived list restored after the operation ended
        KEXTask late("Late", 8.0);
        late.incProgress(8.0, true);
        {
          KEXSubTask lateSub("Late step", 3.0);
          KEXTask later("Later", 1.0);
          later.incProgress(1.0, true);
          later.error(KEX::InvalidValue);
        }
        late.ok();
      }
      // Nothing else changes: the ended task keeps its status, the step its outcome.
      EXPECT_TRUE(m.getStatus() == KEXTaskInfo::Succeeded && m.getCode() == KEX::NoError);
      EXPECT_EQ(sub.getOutcomeStatus(), KEXTaskInfo::Succeeded);
    }
    EXPECT_NEAR(root.getProgress(), 4.0, EPS);
    root.incProgress(1.0, true);
    root.ok();
  }
  const std::vector<double> p = rec.progressValues(), want = {0.2, 0.4, 0.4, 0.5}; // zero width at the ended task's end
  ASSERT_EQ(p.size(), want.size());
  for (size_t i = 0; i < p.size(); ++i)
    EXPECT_NEAR(p[i], want[i], EPS) << i;
  EXPECT_TRUE(rec.progressMonotone());
  EXPECT_EQ(rec.rootStatus(), KEXTaskInfo::Succeeded);
}

// Opens a random chain root -> sub-task -> task -> sub-task -> task ... and compares every report
// with the range arithmetic done by hand: a sub-task opened at local p with fraction f covers
// [p, min(p + f, W)] of its task, and the task opened inside it spans exactly that share.
void runRandomChain(std::mt19937& rng, int depth, double a, double b, std::vector<double>& expected)
{
  std::uniform_real_distribution<double> u(0.0, 1.0);
  double W = 1.0 + 100.0 * u(rng);
  KEXTask task("Level", W);
  double p = W * u(rng) * 0.8;
  task.incProgress(p, true);
  expected.push_back(a + (b - a) * p / W);
  if (depth > 0) {
    double f = W * u(rng) * 0.6;
    double end = std::min(p + f, W);
    {
      KEXSubTask sub("Share", f);
      runRandomChain(rng, depth - 1, a + (b - a) * p / W, a + (b - a) * end / W, expected);
    }
    EXPECT_NEAR(task.getProgress(), end, 1e-9);
    p = end;
  }
  double q = std::min(W, p + (W - p) * u(rng));
  task.incProgress(q - p, true);
  expected.push_back(a + (b - a) * q / W);
  task.ok();
}

TEST(TaskTest, RandomNestedChainsMapLikeTheRangeArithmetic)
{
  std::mt19937 rng(17);
  for (int trial = 0; trial < 200; ++trial) {
    RecordingScope rec;
    std::vector<double> expected;
    runRandomChain(rng, int(rng() % 5), 0.0, 1.0, expected);
    std::vector<double> got = rec.progressValues();
    ASSERT_EQ(got.size(), expected.size());
    // The tree reports the maximum so far.
    double high = 0.0;
    for (size_t i = 0; i < got.size(); ++i) {
      high = std::max(high, expected[i]);
      ASSERT_NEAR(got[i], high, 1e-9) << "trial " << trial << " report " << i;
    }
    EXPECT_TRUE(rec.progressMonotone());
    EXPECT_TRUE(rec.misuses().empty());
  }
}

} // namespace
