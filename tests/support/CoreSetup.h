#pragma once
// Set-up shared by the tests of the core containers and the algorithm frame: a guard that every
// allocation made in a scope is returned, a worker count for a scope, and vector comparisons
// tolerant to float storage.
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace kexmeshtest {

/// Expects, on leaving its scope, as many live allocations as on entering it.
class NoLeakScope {
public:
  NoLeakScope() = default;
  NoLeakScope(const NoLeakScope&) = delete;
  NoLeakScope& operator=(const NoLeakScope&) = delete;
  ~NoLeakScope() { EXPECT_EQ(kexTest::liveAllocations(), m_live) << "allocations leaked"; }

private:
  long m_live = kexTest::liveAllocations();
};

/// Sets the process-wide worker count for its lifetime (0, the default, again at its end).
struct ThreadCount {
  explicit ThreadCount(int n) { kexTest::setThreadCount(n); }
  ~ThreadCount() { kexTest::setThreadCount(0); }
  ThreadCount(const ThreadCount&) = delete;
  ThreadCount& operator=(const ThreadCount&) = delete;
};

/// |got - want| within tol, relative to |want| when that exceeds 1.
inline bool near3(const KEXVector3<float>& got, const KEXVector3<double>& want, double tol)
{
  const double error = std::sqrt((KEXVector3<double>(got) - want).squaredLength());
  return error <= tol * std::max(1.0, std::sqrt(want.squaredLength()));
}

} // namespace kexmeshtest
