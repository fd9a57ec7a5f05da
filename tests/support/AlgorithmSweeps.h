#pragma once
// Failure sweeps for buffer operations and algorithms: run an operation once per possible
// allocation failure, or once per possible stop point, each time on a fresh copy of the input,
// and let the caller check the buffer after each run. The sweeps also check that no allocation
// leaks and that every task the operation opened was ended exactly once.
#include "kex/Error.h"
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <gtest/gtest.h>

namespace kexmeshtest {

/// Runs algorithm A on buffer b through the frame (attach, execute, detach).
template <class A>
bool runAlgorithm(KEXTriangleMeshBuffer& b, A& algorithm)
{
  algorithm.setBuffer(&b);
  bool result = algorithm.execute(nullptr);
  algorithm.setBuffer(nullptr);
  return result;
}
template <class A>
bool runAlgorithm(KEXTriangleMeshBuffer& b)
{
  A algorithm;
  return runAlgorithm(b, algorithm);
}

/// For n = 1, 2, ...: the n-th allocation of op fails; check(buffer, result, monitor) runs after
/// each failed run. Ends with the first run in which no fault fired; returns that n.
template <class Op, class Check>
int sweepAllocationFaults(const KEXTriangleMeshBuffer& input, Op op, Check check, int limit = 20000)
{
  for (int n = 1; n < limit; ++n) {
    const long baseline = kexTest::liveAllocations();
    bool fired = false;
    {
      KEXTriangleMeshBuffer b(input);
      kexTest::ErrorCapture errors;
      kexTest::RecordingScope monitor;
      bool result;
      {
        kexTest::AllocationFault fault(n);
        result = op(b);
        fired = fault.fired();
      }
      EXPECT_TRUE(monitor.misuses().empty()) << "task misuse at n = " << n;
      if (fired) {
        EXPECT_TRUE(b.isConsistent()) << "inconsistent after fault " << n;
        check(b, result, monitor);
      } else {
        EXPECT_TRUE(result) << "no fault fired, yet the operation failed";
      }
    }
    EXPECT_EQ(kexTest::liveAllocations(), baseline) << "leak after fault " << n;
    if (!fired)
      return n;
    if (::testing::Test::HasFailure())
      return n;
  }
  ADD_FAILURE() << "allocation sweep did not finish";
  return limit;
}

/// For n = 1, 2, ...: the n-th progress report (and every later one) answers kind. check(buffer,
/// result, monitor) runs after each run the request reached. Returns the number of reports of an
/// undisturbed run.
template <class Op, class Check>
long sweepStops(const KEXTriangleMeshBuffer& input, Op op, Check check,
                KEXTaskMonitor::Reply kind = KEXTaskMonitor::Stop, long limit = 5000)
{
  for (long n = 1; n < limit; ++n) {
    KEXTriangleMeshBuffer b(input);
    kexTest::RecordingScope monitor;
    monitor.stopAfterReports(n, kind);
    bool result = op(b);
    EXPECT_TRUE(monitor.misuses().empty()) << "task misuse at stop " << n;
    EXPECT_TRUE(b.isConsistent()) << "inconsistent after stop " << n;
    if (monitor.reportCount() < n)
      return n - 1;
    check(b, result, monitor);
    if (::testing::Test::HasFailure())
      return n;
  }
  ADD_FAILURE() << "stop sweep did not finish";
  return limit;
}

/// The usual expectation after a stop: false, and the root ended aborted (Abort) or with
/// GenericError (Stop).
inline void expectStopped(bool result, const kexTest::RecordingMonitor& monitor, KEXTaskMonitor::Reply kind)
{
  EXPECT_FALSE(result);
  if (kind == KEXTaskMonitor::Abort) {
    EXPECT_EQ(monitor.rootStatus(), KEXTaskInfo::Aborted);
  } else {
    EXPECT_EQ(monitor.rootStatus(), KEXTaskInfo::Failed);
    EXPECT_EQ(monitor.rootCode(), KEX::GenericError);
  }
}

} // namespace kexmeshtest
