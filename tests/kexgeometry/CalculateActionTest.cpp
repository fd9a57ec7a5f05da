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

TEST(CalculateAction, StatusTaskEndingAndCleanUpOfEachOutcome)
{
  struct Case {
    Step step;
    bool result;
    KEXenum status;
    bool taskEnded;
    KEXTaskInfo::Status ending;
  } cases[] = {
      {Step::Calculate, true, KEX::NoError, false, KEXTaskInfo::Succeeded},
      {Step::FailInit, false, KEX::InvalidValue, false, KEXTaskInfo::Failed},
      {Step::BeginAndSucceed, true, KEX::NoError, true, KEXTaskInfo::Succeeded},
      {Step::BeginAndReturnFalse, false, KEX::GenericError, true, KEXTaskInfo::Failed},
      {Step::BeginAndError, false, KEX::InvalidIndex, true, KEXTaskInfo::Failed}, // the first code wins
      {Step::BeginTwice, false, KEX::OutOfMemory, true, KEXTaskInfo::Failed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.step));
    Probe probe;
    probe.step = c.step;
    kexTest::RecordingScope monitor;
    EXPECT_EQ(probe.execute(nullptr), c.result);
    EXPECT_EQ(probe.getStatus(), c.status);
    ASSERT_EQ(probe.cleanups.size(), 1u);
    EXPECT_EQ(probe.cleanups[0], c.status);
    EXPECT_EQ(probe.getCalculationCount(), c.step == Step::FailInit ? 0 : 1);
    EXPECT_EQ(monitor.hasRootEnding(), c.taskEnded);
    if (c.taskEnded) {
      EXPECT_EQ(monitor.rootStatus(), c.ending);
      if (!c.result) {
        EXPECT_EQ(monitor.rootCode(), c.status);
      }
    }
    EXPECT_TRUE(monitor.misuses().empty());
    EXPECT_EQ(probe.openTask(), nullptr);
  }
}

TEST(CalculateAction, UnchangedSkipsTheCalculationUnlessForced)
{
  Probe probe;
  probe.stale = false;
  EXPECT_TRUE(probe.execute(nullptr));
  EXPECT_EQ(probe.getStatus(), KEX::Unchanged);
  EXPECT_EQ(probe.getCalculationCount(), 0);
  probe.forceRecalculation();
  EXPECT_TRUE(probe.execute(nullptr));
  EXPECT_EQ(probe.getCalculationCount(), 1);
  EXPECT_TRUE(probe.execute(nullptr)); // forcing holds for one execution
  EXPECT_EQ(probe.getCalculationCount(), 1);
  EXPECT_EQ(probe.cleanups, (std::vector<KEXenum>{KEX::Unchanged, KEX::NoError, KEX::Unchanged}));
}

TEST(CalculateAction, ATaskThatCannotBeHadAndAnAbortFail)
{
  Probe probe;
  probe.step = Step::BeginAndSucceed;
  {
    kexTest::RecordingScope monitor;
    kexTest::AllocationFault fault(1);
    EXPECT_FALSE(probe.execute(nullptr));
    EXPECT_TRUE(fault.fired());
    EXPECT_EQ(probe.getStatus(), KEX::OutOfMemory);
    EXPECT_TRUE(monitor.hasDiagnostic("Out of memory"));
  }
  kexTest::RecordingScope monitor;
  monitor.stopAfterReports(1, KEXTaskMonitor::Abort);
  EXPECT_FALSE(probe.execute(nullptr));
  EXPECT_EQ(monitor.rootStatus(), KEXTaskInfo::Aborted);
  EXPECT_EQ(probe.getStatus(), KEX::GenericError);
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
