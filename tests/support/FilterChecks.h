#pragma once
// Checks shared by the filter tests: reading a mesh object back into a buffer, and the sweep over
// the allocations of a filter's constructor.
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"

#include <gtest/gtest.h>

namespace kexmeshtest {

/// The mesh object's lists as a buffer (expects the copy to succeed).
inline KEXTriangleMeshBuffer bufferOf(const KEXTriangleMeshData& mesh)
{
  KEXTriangleMeshBuffer b;
  EXPECT_TRUE(KEXTriangleMeshAction::bufferFromObject(&b, &mesh));
  return b;
}

/// Constructs Filter once per allocation it makes, that allocation failing, and calls
/// check(filter, errors) after each failed one. Returns the number of allocations swept.
template <class Filter, class Check>
int sweepConstructionFaults(Check check)
{
  int faults = 0;
  for (long n = 1; n < 200; ++n) {
    kexTest::ErrorCapture errors;
    kexTest::AllocationFault fault(n);
    Filter f;
    if (!fault.fired())
      break;
    ++faults;
    SCOPED_TRACE(::testing::Message() << "allocation " << n);
    check(f, errors);
  }
  return faults;
}

/// The same where each failure must be reported as OutOfMemory on the error channel.
template <class Filter>
int sweepConstructionFaults()
{
  return sweepConstructionFaults<Filter>(
      [](Filter&, const kexTest::ErrorCapture& errors) { EXPECT_TRUE(errors.has(KEX::OutOfMemory)); });
}

} // namespace kexmeshtest
