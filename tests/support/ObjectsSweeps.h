#pragma once
// The allocation-fault sweep shared by the tests of mesh objects and their actions, mesh files,
// the extractor and the tool's renderer: whatever a case runs, once per allocation it makes.
#include "kex/Testing.h"

#include <gtest/gtest.h>

namespace kexmeshtest {

/// Calls run(n) for n = 1, 2, ... (run makes its n-th allocation fail and returns whether that
/// fault fired) until a run without a fault; no run may leak. Returns the number of faults.
template <class Run>
int sweepFaults(Run run, int limit = 300)
{
  const long baseline = kexTest::liveAllocations();
  int n = 1;
  for (; n < limit && run(long(n)); ++n)
    EXPECT_EQ(kexTest::liveAllocations(), baseline) << "leak after fault " << n;
  EXPECT_LT(n, limit) << "the sweep did not finish";
  EXPECT_EQ(kexTest::liveAllocations(), baseline);
  return n - 1;
}

} // namespace kexmeshtest
