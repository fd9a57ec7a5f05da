// Progress tasks: mapping of nested progress, stop and abort requests, outcome propagation through
// statusOf, diagnostics, message templates, reports from worker threads and misuse detection.
#include "kex/Task.h"
#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using kexTest::RecordingScope;
using Status = KEXTaskInfo::Status;

constexpr double EPS = 1e-12;

// A task whose message is a template with two arguments, as the contraction's and the
// triangulation's own tasks are.
class CountingTask : public KEXTask {
public:
  CountingTask(const char* first, const char* second)
      : KEXTask("plain constructor message", 10.0), m_first(first), m_second(second)
  {
  }
  const char* getMessage() const override { return "Connecting vertices (%1 of %2)"; }
  const char* getArgument(int i) const override
  {
    if (i == 1)
      return m_first.c_str();
    if (i == 2)
      return m_second.c_str();
    return nullptr;
  }
  void setFirst(const char* s) { m_first = s; }

private:
  std::string m_first, m_second;
};

// A template with an argument the task does not provide: the placeholder stays as it is.
class PartialTask : public KEXTask {
public:
  PartialTask() : KEXTask("unused", 1.0) {}
  const char* getMessage() const override { return "Reduced surface to %1 triangles (%2, %3%)"; }
  const char* getArgument(int i) const override { return i == 1 ? "1.234.567" : nullptr; }
};

TEST(TaskTest, NestedProgressMapsSubTaskShareOntoInnerTask)
{
  const double T = 10.0;
  const double W = 3 * T + 1;
  RecordingScope rec;
  {
    KEXTask root("Root", W, 0x1010000);
    EXPECT_TRUE(root.incProgress(1.0, true));
    {
      KEXSubTask sub("Creating vertex adjacency list", T);
      KEXTask inner("Inner", W);
      EXPECT_TRUE(inner.incProgress(0.0, true));
      EXPECT_TRUE(inner.incProgress(W / 2, true));
      EXPECT_TRUE(inner.incProgress(W / 2, true));
      EXPECT_TRUE(inner.ok());
    }
    // Closing the sub-task moves the parent to p + f.
    EXPECT_NEAR(root.getProgress(), 1.0 + T, EPS);
    {
      // A sub-task inside a sub-task treats the outer one as a task of weight = its fraction.
      KEXSubTask outer(nullptr, 2 * T);
      KEXSubTask nested("Nested", T); // first half of the outer share
      KEXTask deep("Deep", 4.0);
      EXPECT_TRUE(deep.incProgress(4.0, true));
      EXPECT_TRUE(deep.ok());
    }
    EXPECT_NEAR(root.getProgress(), W, EPS);
    EXPECT_TRUE(root.ok());
    EXPECT_NEAR(root.getTreeProgress(), 1.0, EPS);
  }
  std::vector<double> p = rec.progressValues();
  ASSERT_EQ(p.size(), 5u);
  EXPECT_NEAR(p[0], 1.0 / W, EPS);
  EXPECT_NEAR(p[1], 1.0 / W, EPS);             // inner task at 0: start of the share
  EXPECT_NEAR(p[2], (1.0 + T / 2) / W, EPS);   // half way through the inner task
  EXPECT_NEAR(p[3], (T + 1.0) / W, EPS);       // end of the share
  EXPECT_NEAR(p[4], (1.0 + T + T) / W, EPS);   // nested share ends half way through the outer one
  EXPECT_TRUE(rec.progressMonotone());
  EXPECT_EQ(rec.rootStatus(), KEXTaskInfo::Succeeded);
  EXPECT_TRUE(rec.misuses().empty());
  std::vector<std::string> subs = rec.subTaskMessages();
  ASSERT_EQ(subs.size(), 3u);
  EXPECT_EQ(subs[0], "");
  EXPECT_EQ(subs[1], "Creating vertex adjacency list");
  EXPECT_EQ(subs[2], "Nested");
}

TEST(TaskTest, ProgressIsClampedAndMonotone)
{
  RecordingScope rec;
  {
    KEXTask root("Root", 4.0);
    root.incProgress(3.0, true);
    root.incProgress(100.0, true); // clamped to the weight
    EXPECT_NEAR(root.getProgress(), 4.0, EPS);
    {
      // Directly inside a task: zero width at the parent's position; its reports never move the
      // tree backwards or forwards.
      KEXTask child("Child", 5.0);
      child.incProgress(5.0, true);
      child.ok();
    }
    root.ok();
  }
  {
    // A task with weight 0 stays where it began.
    KEXTask empty("Empty", 0.0);
    empty.incProgress(1.0, true);
    EXPECT_EQ(empty.getProgress(), 0.0);
    empty.ok();
  }
  std::vector<double> p = rec.progressValues();
  ASSERT_EQ(p.size(), 4u);
  EXPECT_NEAR(p[0], 0.75, EPS);
  EXPECT_NEAR(p[1], 1.0, EPS);
  EXPECT_NEAR(p[2], 1.0, EPS);
  EXPECT_NEAR(p[3], 0.0, EPS);
  for (double v : p) {
    EXPECT_GE(v, 0.0);
    EXPECT_LE(v, 1.0);
  }
}

TEST(TaskTest, NonFiniteProgressDeltaIsIgnored)
{
  RecordingScope rec;
  KEXTask root("Root", 10.0);
  root.incProgress(2.0, true);
  root.incProgress(std::nan(""), true);
  EXPECT_NEAR(root.getProgress(), 2.0, EPS);
  {
    // A sub-task opened after the bad report still maps onto a finite range.
    KEXSubTask sub("Sub", 4.0);
    KEXTask inner("Inner", 1.0);
    inner.incProgress(1.0, true);
    inner.ok();
  }
  root.ok();
  std::vector<double> p = rec.progressValues();
  ASSERT_EQ(p.size(), 3u);
  EXPECT_NEAR(p[2], 0.6, EPS);
  EXPECT_TRUE(rec.progressMonotone());
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
  EXPECT_TRUE(root.wasStopped());
  EXPECT_FALSE(root.wasAborted());
  EXPECT_FALSE(root.incProgress(1.0, false)); // sticky, also without a report
  {
    // Every task of the tree sees the request.
    KEXSubTask sub("Sub", 10.0);
    KEXTask inner("Inner", 5.0);
    EXPECT_TRUE(inner.wasStopped());
    EXPECT_FALSE(inner.incProgress(1.0, true));
    EXPECT_FALSE(inner.sendMessage(KEXTaskInfo::Message(KEXTaskInfo::Running)));
    EXPECT_TRUE(inner.stopped());
  }
  EXPECT_EQ(rec.reportCount(), 4);
  EXPECT_TRUE(root.stopped());
  EXPECT_EQ(rec.rootStatus(), KEXTaskInfo::Stopped);
}

TEST(TaskTest, AbortDoesNotImplyStopAndOwnStoppedSetsNoFlag)
{
  {
    RecordingScope rec;
    rec.stopAfterReports(1, KEXTaskMonitor::Abort);
    KEXTask root("Root", 10.0);
    EXPECT_FALSE(root.incProgress(1.0, true));
    EXPECT_TRUE(root.wasAborted());
    EXPECT_FALSE(root.wasStopped());
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
    EXPECT_FALSE(root.wasStopped());
    EXPECT_FALSE(root.wasAborted());
    EXPECT_TRUE(root.incProgress(1.0, true));
    root.ok();
  }
  {
    // The host may request a stop or an abort on any task of a tree.
    RecordingScope rec;
    KEXTask root("Root", 10.0);
    KEXSubTask sub("Step", 5.0);
    KEXTask inner("Inner", 1.0);
    root.requestAbort();
    EXPECT_TRUE(inner.wasAborted());
    EXPECT_FALSE(inner.wasStopped());
    EXPECT_FALSE(inner.incProgress(1.0, false));
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
    EXPECT_TRUE(root.wasStopped());
    EXPECT_FALSE(root.incProgress(1.0, true));
    root.stopped();
  }
}

// Runs "outer -> sub-task -> middle -> sub-task -> inner" where inner ends by end(inner), and
// middle and outer pass the outcome on with statusOf(sub, GenericError).
template <class EndInner>
void runTwoLevels(EndInner endInner, bool& outerResult, Status& outerStatus, KEXenum& outerCode)
{
  KEXTask outer("Outer", 2.0);
  bool r;
  {
    KEXSubTask s1("Step", 1.0);
    {
      KEXTask middle("Middle", 2.0);
      {
        KEXSubTask s2("Inner step", 1.0);
        {
          KEXTask inner("Inner", 1.0);
          endInner(inner);
        }
        r = middle.statusOf(s2, KEX::GenericError);
      }
      (void)r;
    }
    outerResult = outer.statusOf(s1, KEX::GenericError);
  }
  outerStatus = outer.getStatus();
  outerCode = outer.getCode();
}

TEST(TaskTest, StatusOfPassesInnerOutcomeThroughTwoLevels)
{
  RecordingScope rec;
  bool result;
  Status status;
  KEXenum code;

  runTwoLevels([](KEXTask& t) { t.error(KEX::InvalidValue); }, result, status, code);
  EXPECT_FALSE(result);
  EXPECT_EQ(status, KEXTaskInfo::Failed);
  EXPECT_EQ(code, KEX::InvalidValue);

  runTwoLevels([](KEXTask& t) { t.aborted(); }, result, status, code);
  EXPECT_FALSE(result);
  EXPECT_EQ(status, KEXTaskInfo::Aborted);

  runTwoLevels([](KEXTask& t) { t.stopped(); }, result, status, code);
  EXPECT_TRUE(result);
  EXPECT_EQ(status, KEXTaskInfo::Stopped);

  // A step that succeeded inside but failed outside any task: the given code.
  runTwoLevels([](KEXTask& t) { t.ok(); }, result, status, code);
  EXPECT_FALSE(result);
  EXPECT_EQ(status, KEXTaskInfo::Failed);
  EXPECT_EQ(code, KEX::GenericError);
  EXPECT_TRUE(rec.misuses().empty());
}

TEST(TaskTest, StatusOfWithoutOutcomeUsesGivenCodeAndLooksOnlyAtDirectChildren)
{
  RecordingScope rec;
  {
    KEXTask t("Outer", 1.0);
    KEXSubTask s("Step", 1.0);
    EXPECT_FALSE(s.hasOutcome());
    EXPECT_FALSE(t.statusOf(s, KEX::OutOfMemory));
    EXPECT_EQ(t.getCode(), KEX::OutOfMemory);
  }
  {
    // The failure of a grandchild is not the step's outcome; the child's success is.
    KEXTask t("Outer", 1.0);
    KEXSubTask s("Step", 1.0);
    {
      KEXTask child("Child", 1.0);
      {
        KEXTask grandchild("Grandchild", 1.0);
        grandchild.error(KEX::InvalidIndex);
      }
      child.ok();
    }
    EXPECT_FALSE(t.statusOf(s, KEX::InvalidOperation));
    EXPECT_EQ(t.getCode(), KEX::InvalidOperation);
  }
  {
    // The last task that ended inside the step counts.
    KEXTask t("Outer", 1.0);
    KEXSubTask s("Step", 1.0);
    {
      KEXTask first("First", 1.0);
      first.ok();
    }
    {
      KEXTask second("Second", 1.0);
      second.error(KEX::InvalidIndex);
    }
    EXPECT_FALSE(t.statusOf(s, KEX::GenericError));
    EXPECT_EQ(t.getCode(), KEX::InvalidIndex);
  }
}

TEST(TaskTest, DiagnosticsReachTheMonitorInOrder)
{
  RecordingScope rec;
  {
    KEXTask root("Root", 2.0);
    kexTaskDiagnostics(KEX::Warning, "Found %i empty triangles", 3);
    {
      KEXSubTask sub("Step", 1.0);
      kexTaskDiagnostics(KEX::Error, "Found %i invalid vertices", 7);
      KEXTask inner("Inner", 1.0);
      KEXTask::Diagnostics d(KEX::Error, "Out of memory");
      EXPECT_FALSE(inner.error(KEX::OutOfMemory, &d));
      EXPECT_EQ(root.statusOf(sub, KEX::GenericError), false);
    }
    // A worker thread attaches to an explicit task.
    std::thread worker([&root] { root.addDiagnostics(KEX::Warning, "worker %i", "worker 1"); });
    worker.join();
  }
  // No task open: the diagnostic still reaches the monitor of this thread.
  kexTaskDiagnostics(KEX::Warning, "Found an empty triangle");

  std::vector<kexTest::RecordingMonitor::Diagnostic> d = rec.diagnostics();
  ASSERT_EQ(d.size(), 5u);
  EXPECT_EQ(d[0].text, "Found 3 empty triangles");
  EXPECT_EQ(d[0].format, "Found %i empty triangles");
  EXPECT_EQ(d[0].severity, KEX::Warning);
  EXPECT_EQ(d[1].text, "Found 7 invalid vertices");
  EXPECT_EQ(d[1].severity, KEX::Error);
  EXPECT_EQ(d[2].text, "Out of memory");
  EXPECT_EQ(d[3].text, "worker 1");
  EXPECT_EQ(d[4].text, "Found an empty triangle");
  EXPECT_TRUE(rec.hasDiagnostic("Out of memory"));
  EXPECT_TRUE(rec.hasDiagnostic("Found %i invalid vertices"));
  EXPECT_FALSE(rec.hasDiagnostic("Found 8 invalid vertices"));
  EXPECT_EQ(rec.rootCode(), KEX::OutOfMemory);
}

TEST(TaskTest, MessageTemplatesAreSubstitutedByTheDerivedTask)
{
  RecordingScope rec;
  {
    KEXTask root("Simplifying mesh", 2.0);
    {
      KEXSubTask sub("Contracting vertex pairs", 1.0);
      CountingTask t("3", "17");
      EXPECT_EQ(t.getMessageText(), "Connecting vertices (3 of 17)");
      t.incProgress(1.0, true);
      t.setFirst("4");
      t.ok();
    }
    {
      PartialTask p;
      EXPECT_EQ(p.getMessageText(), "Reduced surface to 1.234.567 triangles (%2, %3%)");
      p.ok();
    }
    root.ok();
  }
  // The monitor sees the derived task's message, not the constructor's, already when it begins.
  std::vector<std::string> begun = rec.begunMessages();
  ASSERT_EQ(begun.size(), 3u);
  EXPECT_EQ(begun[0], "Simplifying mesh");
  EXPECT_EQ(begun[1], "Connecting vertices (3 of 17)");
  EXPECT_EQ(begun[2], "Reduced surface to 1.234.567 triangles (%2, %3%)");
  std::vector<kexTest::RecordingMonitor::Ending> e = rec.endings();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].message, "Connecting vertices (4 of 17)");
  EXPECT_EQ(e[0].depth, 2);
  EXPECT_EQ(e[2].message, "Simplifying mesh");
  EXPECT_EQ(e[2].depth, 0);
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
  std::vector<std::string> begun = rec.begunMessages();
  ASSERT_EQ(begun.size(), 2u);
  EXPECT_EQ(begun[0], "Clustering vertices");
  EXPECT_EQ(begun[1], "Creating BSP tree");
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
  EXPECT_EQ(rec.reportCount(), threads * perThread);
  // Exactly the reports from the 500th on were refused.
  EXPECT_EQ(refused.load(), threads * perThread - 499);
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
    EXPECT_EQ(t.getStatus(), KEXTaskInfo::Failed);
    EXPECT_EQ(t.getCode(), KEX::InvalidValue);
  }
  {
    KEXTask u("Never ended", 1.0);
    u.incProgress(1.0, true);
  }
  std::vector<std::string> m = rec.misuses();
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0], "Twice: ended twice");
  EXPECT_EQ(m[1], "Never ended: unended");
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
      EXPECT_EQ(m.getStatus(), KEXTaskInfo::Succeeded);
      EXPECT_EQ(m.getCode(), KEX::NoError);
      EXPECT_EQ(sub.getOutcomeStatus(), KEXTaskInfo::Succeeded);
    }
    EXPECT_NEAR(root.getProgress(), 4.0, EPS);
    root.incProgress(1.0, true);
    root.ok();
  }
  std::vector<double> p = rec.progressValues();
  ASSERT_EQ(p.size(), 4u);
  EXPECT_NEAR(p[0], 0.2, EPS);
  EXPECT_NEAR(p[1], 0.4, EPS); // zero width at the end of the ended task
  EXPECT_NEAR(p[2], 0.4, EPS);
  EXPECT_NEAR(p[3], 0.5, EPS);
  EXPECT_TRUE(rec.progressMonotone());
  EXPECT_EQ(rec.rootStatus(), KEXTaskInfo::Succeeded);
}

TEST(TaskTest, MonitorIsPerThreadAndCurrentTracksTheStack)
{
  RecordingScope rec;
  EXPECT_EQ(KEXTask::current(), nullptr);
  KEXTask root("Root", 1.0);
  EXPECT_EQ(KEXTask::current(), &root);
  {
    KEXSubTask sub("Step", 1.0);
    EXPECT_EQ(KEXTask::current(), &root);
    KEXTask inner("Inner", 1.0);
    EXPECT_EQ(KEXTask::current(), &inner);
    EXPECT_EQ(inner.getDepth(), 2);
    inner.ok();
  }
  EXPECT_EQ(KEXTask::current(), &root);
  // A task opened on another thread is a root of its own, without this thread's monitor.
  std::thread other([] {
    EXPECT_EQ(KEXTask::current(), nullptr);
    KEXTask t("Elsewhere", 1.0);
    EXPECT_EQ(t.getDepth(), 0);
    t.incProgress(1.0, true);
    t.ok();
  });
  other.join();
  root.ok();
  EXPECT_EQ(rec.begunMessages().size(), 2u);
  EXPECT_EQ(rec.reportCount(), 0);
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
