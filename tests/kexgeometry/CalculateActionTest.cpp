// The calculation protocol of cached results: when it calculates, how the calculation's task
// ends, which status the clean-up sees, and the result object behind the owner's link.
#include "kex/Properties.h"
#include "kex/Testing.h"
#include "kexgeometry/CalculateAction.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

enum class Step { Calculate, FailInit, BeginAndSucceed, BeginAndReturnFalse, BeginAndError, BeginTwice };

class Probe : public KEXCachedResultAction {
public:
  Probe() : KEXCachedResultAction(KEX::Result) {}
  Step step = Step::Calculate;
  bool stale = true;
  std::vector<KEXenum> cleanups;
  KEXTask* openTask() const { return getTask(); }

protected:
  bool isRecalculationNeeded() override { return stale; }
  bool init(void*) override { return step != Step::FailInit || taskError(KEX::InvalidValue); }
  bool calculate(void*) override
  {
    switch (step) {
    case Step::Calculate:
    case Step::FailInit: return true;
    case Step::BeginAndSucceed: return taskBegin("Probing", 1.0, 0x10000, 0) && taskIncProgress(1.0);
    case Step::BeginAndReturnFalse: return taskBegin("Probing", 1.0, 0x10000, 0) && false;
    case Step::BeginAndError:
      return taskBegin("Probing", 1.0, 0x10000, 0) && !taskError(KEX::InvalidIndex) && !taskOutOfMemory();
    case Step::BeginTwice: return taskBegin("Probing", 1.0, 0x10000, 0) && taskBegin("Again", 1.0, 0x10000, 0);
    }
    return false;
  }
  void cleanup(KEXenum status) override { cleanups.push_back(status); }
};

} // namespace

// Each outcome of a calculation (none needed, a refused set-up, with or without a task of its
// own, failing in each way) against its result, status, task ending and clean-up.
TEST(CalculateAction, StatusTaskEndingAndCleanUpOfEachOutcome)
{
  const struct {
    Step step;
    bool stale, result;
    KEXenum status;
    bool taskEnded;
    KEXTaskInfo::Status ending;
  } cases[] = {
      {Step::Calculate, false, true, KEX::Unchanged, false, KEXTaskInfo::Succeeded},
      {Step::Calculate, true, true, KEX::NoError, false, KEXTaskInfo::Succeeded},
      {Step::FailInit, true, false, KEX::InvalidValue, false, KEXTaskInfo::Failed},
      {Step::BeginAndSucceed, true, true, KEX::NoError, true, KEXTaskInfo::Succeeded},
      {Step::BeginAndReturnFalse, true, false, KEX::GenericError, true, KEXTaskInfo::Failed},
      {Step::BeginAndError, true, false, KEX::InvalidIndex, true, KEXTaskInfo::Failed}, // the first code wins
      {Step::BeginTwice, true, false, KEX::OutOfMemory, true, KEXTaskInfo::Failed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int(&c - cases));
    Probe probe;
    probe.step = c.step;
    probe.stale = c.stale;
    kexTest::RecordingScope monitor;
    EXPECT_EQ(probe.execute(nullptr), c.result);
    EXPECT_EQ(probe.getStatus(), c.status);
    EXPECT_EQ(probe.cleanups, std::vector<KEXenum>{c.status});
    EXPECT_EQ(probe.getCalculationCount(), c.step == Step::FailInit || !c.stale ? 0 : 1);
    EXPECT_EQ(monitor.hasRootEnding(), c.taskEnded);
    EXPECT_TRUE(!c.taskEnded || monitor.rootStatus() == c.ending);
    EXPECT_TRUE(!c.taskEnded || c.result || monitor.rootCode() == c.status);
    EXPECT_TRUE(monitor.misuses().empty() && probe.openTask() == nullptr);
  }
  // Forcing a recalculation holds for one execution.
  Probe probe;
  probe.stale = false;
  probe.forceRecalculation();
  EXPECT_TRUE(probe.execute(nullptr) && probe.execute(nullptr));
  EXPECT_EQ(probe.getCalculationCount(), 1);
  EXPECT_EQ(probe.cleanups, (std::vector<KEXenum>{KEX::NoError, KEX::Unchanged}));
}

TEST(CalculateAction, ATaskThatCannotBeHadAndAnAbortFail)
{
  Probe probe;
  probe.step = Step::BeginAndSucceed;
  {
    kexTest::RecordingScope monitor;
    kexTest::AllocationFault fault(1);
    EXPECT_FALSE(probe.execute(nullptr));
    EXPECT_TRUE(fault.fired() && probe.getStatus() == KEX::OutOfMemory && monitor.hasDiagnostic("Out of memory"));
  }
  kexTest::RecordingScope monitor;
  monitor.stopAfterReports(1, KEXTaskMonitor::Abort);
  EXPECT_FALSE(probe.execute(nullptr));
  EXPECT_TRUE(monitor.rootStatus() == KEXTaskInfo::Aborted && probe.getStatus() == KEX::GenericError);
  EXPECT_TRUE(monitor.misuses().empty());
}

TEST(CalculateAction, TheResultIsTheTargetOfTheOwnersLink)
{
  auto* owner = new KEXObject;
  auto* target = new KEXObject;
  KEXObjectHardLinkOP link{KEXObjectLink()};
  auto* probe = new Probe;
  EXPECT_EQ(probe->getResult(), nullptr); // no owner yet
  ASSERT_EQ(owner->addProperty(KEX::Result, &link), KEX::NoError);
  ASSERT_EQ(owner->addAction(KEX::Calculate, probe, true), KEX::NoError);
  EXPECT_EQ(probe->getResult(), nullptr); // an empty link
  ASSERT_TRUE(link.setValue(KEXObjectLink(target)));
  EXPECT_EQ(probe->getResult(), target);
  target->release();
  owner->release();
}
