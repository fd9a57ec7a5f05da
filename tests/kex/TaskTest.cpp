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

// Opens a random chain root -> sub-task -> task -> sub-task -> task ... and compares every report
// with the range arithmetic done by hand: a sub-task opened at local p with fraction f covers
// [p, min(p + f, W)] of its task, and the task opened inside it spans exactly that share. Some
// shares go through a sub-task inside the sub-task, which treats the outer one as a task of weight
// f (a fraction beyond f is clamped). A task opened directly inside a task, running (a helper) or
// ended (e.g. a derived list restored after the operation), has zero width at the task's position
// and changes nothing else.
void runRandomChain(std::mt19937& rng, int depth, double a, double b, std::vector<double>& expected)
{
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const double W = 1.0 + 100.0 * u(rng);
  KEXTask task("Level", W);
  auto zeroWidthTask = [&](double at) {
    KEXTask inside("Inside", 8.0);
    inside.incProgress(8.0 * u(rng), true);
    expected.push_back(at);
    inside.error(KEX::InvalidValue);
  };
  double p = W * u(rng) * 0.8;
  task.incProgress(p, true);
  expected.push_back(a + (b - a) * p / W);
  if (rng() % 3 == 0)
    zeroWidthTask(expected.back());
  if (depth > 0) {
    const double f = W * (0.01 + 0.6 * u(rng)), end = std::min(p + f, W);
    const double A = a + (b - a) * p / W, B = a + (b - a) * end / W;
    {
      KEXSubTask sub("Share", f);
      if (rng() % 3 == 0) {
        const double g = 1.5 * f * u(rng);
        KEXSubTask nested("Nested", g);
        runRandomChain(rng, depth - 1, A, A + (B - A) * std::min(g, f) / f, expected);
        EXPECT_EQ(nested.getOutcomeStatus(), KEXTaskInfo::Succeeded);
      } else {
        runRandomChain(rng, depth - 1, A, B, expected);
        EXPECT_EQ(sub.getOutcomeStatus(), KEXTaskInfo::Succeeded);
      }
    }
    EXPECT_NEAR(task.getProgress(), end, 1e-9);
    p = end;
  }
  const double q = std::min(W, p + (W - p) * u(rng));
  task.incProgress(q - p, true);
  expected.push_back(a + (b - a) * q / W);
  EXPECT_TRUE(task.ok());
  if (rng() % 3 == 0) {
    zeroWidthTask(b);
    EXPECT_TRUE(task.getStatus() == KEXTaskInfo::Succeeded && task.getCode() == KEX::NoError);
  }
}

TEST(TaskTest, RandomNestedChainsMapLikeTheRangeArithmetic)
{
  std::mt19937 rng(17);
  for (int trial = 0; trial < 300; ++trial) {
    RecordingScope rec;
    std::vector<double> expected;
    runRandomChain(rng, int(rng() % 5), 0.0, 1.0, expected);
    const std::vector<double> got = rec.progressValues();
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) // the tree reports the maximum so far
      ASSERT_NEAR(got[i], *std::max_element(expected.begin(), expected.begin() + long(i) + 1), 1e-9) << trial << " " << i;
    EXPECT_TRUE(rec.progressMonotone() && rec.misuses().empty() && rec.rootStatus() == KEXTaskInfo::Succeeded);
  }
}

// However a request arrives (a refused report, a task's beginning or end, the host), every task of
// the tree sees it from then on, without a report as well; an abort never reads as a stop nor the
// other way round. A task ending itself with stopped() is a success and requests nothing.
TEST(TaskTest, StopAndAbortRequestsReachTheWholeTreeAndStick)
{
  enum Trigger { Report, Begun, Ended, Host };
  for (Trigger how : {Report, Begun, Ended, Host})
    for (KEXTaskMonitor::Reply kind : {KEXTaskMonitor::Stop, KEXTaskMonitor::Abort}) {
      SCOPED_TRACE(::testing::Message() << "trigger " << how << " reply " << kind);
      const bool abort = kind == KEXTaskMonitor::Abort;
      RecordingScope rec;
      rec.stopAfterReports(how == Report ? 2 : 0, kind); // 0 and "": never
      rec.stopWhenBegun(how == Begun ? "Inner" : "", kind);
      rec.stopWhenEnded(how == Ended ? "Step" : "", kind);
      KEXTask root("Root", 10.0);
      EXPECT_TRUE(root.incProgress(1.0, true));
      {
        KEXSubTask sub("Sub", 5.0);
        {
          KEXTask step("Step", 1.0);
          EXPECT_TRUE(step.stopped());
        }
        EXPECT_EQ(root.wasStopped() || root.wasAborted(), how == Ended);
        KEXTask inner("Inner", 2.0);
        if (how == Host)
          abort ? root.requestAbort() : inner.requestStop();
        EXPECT_FALSE(inner.incProgress(1.0, true)); // the report during which it is requested (or later)
        for (KEXTask* t : {&root, &inner}) {
          EXPECT_TRUE(t->wasAborted() == abort && t->wasStopped() == !abort);
          EXPECT_FALSE(t->incProgress(1.0, false));
          EXPECT_FALSE(t->sendMessage(KEXTaskInfo::Message(KEXTaskInfo::Running)));
        }
        EXPECT_EQ(abort ? inner.aborted() : inner.stopped(), !abort);
      }
      EXPECT_EQ(abort ? root.aborted() : root.stopped(), !abort);
      EXPECT_TRUE(rec.reportCount() == 2 && rec.misuses().empty());
      EXPECT_EQ(rec.rootStatus(), abort ? KEXTaskInfo::Aborted : KEXTaskInfo::Stopped);
    }
}

// "outer -> step -> middle -> inner step -> (inside)": middle passes the inner step's outcome on
// with statusOf(innerStep, given), outer with statusOf(step, GenericError). Rows: an outcome travels
// up two levels; a step that succeeded inside but failed outside any task, or has no outcome, gets
// the given code; a grandchild's failure is not the step's outcome, the child's success is; the
// last task that ended inside the step counts.
TEST(TaskTest, StatusOfPassesTheLastDirectOutcomeOn)
{
  using enum KEXTaskInfo::Status;
  const struct {
    void (*inside)();
    KEXenum given;
    bool hasOutcome, result;
    Status status;
    KEXenum code;
  } cases[] = {
      {[] { KEXTask t("In", 1.0); t.error(KEX::InvalidValue); }, KEX::NoError, true, false, Failed, KEX::InvalidValue},
      {[] { KEXTask t("In", 1.0); t.aborted(); }, KEX::GenericError, true, false, Aborted, KEX::GenericError},
      {[] { KEXTask t("In", 1.0); t.stopped(); }, KEX::GenericError, true, true, Stopped, KEX::NoError},
      {[] { KEXTask t("In", 1.0); t.ok(); }, KEX::InvalidIndex, true, false, Failed, KEX::InvalidIndex},
      {[] {}, KEX::OutOfMemory, false, false, Failed, KEX::OutOfMemory},
      {[] { KEXTask child("Child", 1.0); { KEXTask g("Grandchild", 1.0); g.error(KEX::InvalidIndex); } child.ok(); },
       KEX::InvalidOperation, true, false, Failed, KEX::InvalidOperation},
      {[] { { KEXTask a("First", 1.0); a.ok(); } KEXTask b("Last", 1.0); b.error(KEX::InvalidIndex); },
       KEX::GenericError, true, false, Failed, KEX::InvalidIndex}};
  RecordingScope rec;
  for (const auto& c : cases) {
    SCOPED_TRACE(int(&c - cases));
    KEXTask outer("Outer", 2.0);
    KEXSubTask step("Step", 1.0);
    {
      KEXTask middle("Middle", 2.0);
      KEXSubTask innerStep("Inner step", 1.0);
      c.inside();
      EXPECT_EQ(innerStep.hasOutcome(), c.hasOutcome);
      (void)middle.statusOf(innerStep, c.given);
    }
    EXPECT_EQ(outer.statusOf(step, KEX::GenericError), c.result);
    EXPECT_TRUE(outer.getStatus() == c.status && outer.getCode() == c.code) << outer.getStatus();
  }
  EXPECT_TRUE(rec.misuses().empty());
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
        refused += !root.incProgress(1.0, true);
    });
  for (std::thread& w : workers)
    w.join();
  // Every report counted; exactly the reports from the 500th on were refused.
  EXPECT_TRUE(rec.reportCount() == threads * perThread && refused.load() == threads * perThread - 499);
  EXPECT_NEAR(root.getProgress(), double(threads * perThread), 1e-12);
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
  KEXTask("Never ended", 1.0).incProgress(1.0, true);
  EXPECT_EQ(rec.misuses(), (std::vector<std::string>{"Twice: ended twice", "Never ended: unended"}));
  EXPECT_EQ(rec.endings().size(), 1u) << "one ending for the task that ended twice, none for the unended one";
}

} // namespace
