// The algorithm frame: moving the buffer's content in and out around init/run/cleanup,
// checkExecute, the factories, and the attachment cell's allocation failure.
#include "kex/Memory.h"
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "support/CoreSetup.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// Test algorithms, registered like every algorithm of the library.
class KEXFrameTestAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXFrameTestAlgorithm)

public:
  bool runResult = true;
  int initAnswer = -1; // -1: the base init decides
  std::string calls; // i(nit), r(un), c(leanup)+ or c- in order
  void* seenParameters = nullptr;
  KEXTriangleMeshBuffer* caller = nullptr; // watched during run
  int callerSizeDuringRun = -1;
  const void* workingTrianglesDuringRun = nullptr;

  bool isWorkingEmpty() const { return m_buffer.getVertexCount() + m_buffer.getTriangleCount() + m_buffer.vertexNormalList.getCount() == 0; }

protected:
  bool init(void* parameters) override
  {
    calls += "i";
    seenParameters = parameters;
    return initAnswer < 0 ? KEXTriangleMeshAlgorithmIF::init(parameters) : initAnswer == 1;
  }
  bool run(void* parameters) override
  {
    calls += "r";
    seenParameters = parameters;
    m_buffer.vertexList.append(KEXVector3<float>(9, 9, 9)); // visible work on the caller's data
    callerSizeDuringRun = caller->getVertexCount() + caller->getTriangleCount();
    workingTrianglesDuringRun = m_buffer.triangleList.getData();
    return runResult;
  }
  void cleanup(bool success) override { calls += success ? "c+" : "c-"; }
};
KEXMESH_DEFINE_CLASS(KEXFrameTestAlgorithm, KEXTriangleMeshAlgorithmIF)

class KEXOtherFrameTestAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXOtherFrameTestAlgorithm)
};
KEXMESH_DEFINE_CLASS(KEXOtherFrameTestAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using kexmeshtest::makeCube;
using Algorithm = KEXFrameTestAlgorithm;

// Every path through execute and checkExecute: the content is moved (never copied) into the
// working buffer, init, run and cleanup see what they should, and the content always comes back.
TEST(TriangleMeshAlgorithmIFTest, ExecuteAndCheckExecuteKeepTheFrameContract)
{
  struct Case {
    const char* name;
    bool check, runResult;
    int initAnswer;
    bool inconsistent, result;
    std::string calls;
  };
  const Case cases[] = {
      {"successful run", false, true, -1, false, true, "irc+"},
      {"failed run hands back its partial result", false, false, -1, false, false, "irc-"},
      {"inconsistent buffer refused by the base init", false, true, -1, true, false, "ic-"},
      {"derived init refuses", false, true, 0, false, false, "ic-"},
      {"check", true, true, -1, false, true, "ic+"},
      {"check of an inconsistent buffer", true, true, -1, true, false, "ic-"},
      {"check with a derived refusal", true, true, 0, false, false, "ic-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KEXTriangleMeshBuffer b = makeCube();
    ASSERT_TRUE(!c.inconsistent || b.vertexNormalList.setCount(3)); // neither 0 nor V normals
    const void* triangles = b.triangleList.getData();
    Algorithm a;
    a.runResult = c.runResult;
    a.initAnswer = c.initAnswer;
    a.caller = &b;
    ASSERT_TRUE(a.setBuffer(&b));
    int token = 0;
    KEXenum error = KEX::NoError;
    const long calls = kexTest::allocationCalls(), live = kexTest::liveAllocations();
    EXPECT_EQ(c.check ? a.checkExecute(&token, &error) : a.execute(&token), c.result);
    // Nothing copied (the appended vertex fits its block).
    EXPECT_TRUE(kexTest::allocationCalls() == calls && kexTest::liveAllocations() == live);
    EXPECT_EQ(error, c.check && !c.result ? KEX::InvalidOperation : KEX::NoError);
    EXPECT_EQ(a.seenParameters, &token);
    EXPECT_EQ(a.calls, c.calls);
    const bool ran = c.calls.find('r') != std::string::npos;
    // While running, the caller's buffer held the empty working buffer.
    EXPECT_TRUE(!ran || (a.callerSizeDuringRun == 0 && a.workingTrianglesDuringRun == triangles));
    EXPECT_TRUE(a.isWorkingEmpty() && a.getBuffer() == &b);
    EXPECT_EQ(b.getVertexCount(), ran ? 9 : 8); // what run changed stays, even after a failure
    EXPECT_TRUE(b.getTriangleCount() == 12 && b.triangleList.getData() == triangles);
    EXPECT_EQ(b.vertexNormalList.getCount(), c.inconsistent ? 3 : 0);
    EXPECT_EQ(b.isConsistent(), !c.inconsistent);
  }
}

TEST(TriangleMeshAlgorithmIFTest, FactoriesCloneAssignAndRefuseOtherClasses)
{
  const KEXMetaClass& meta = Algorithm::metaClass();
  KEXTriangleMeshBuffer b = makeCube();
  Algorithm a;
  a.setBuffer(&b);
  a.runResult = false;
  kexTest::ErrorCapture errors;
  KEXClass* clone = meta.clone(&a);
  ASSERT_NE(clone, nullptr);
  EXPECT_EQ(static_cast<Algorithm*>(clone)->getBuffer(), &b);
  EXPECT_FALSE(static_cast<Algorithm*>(clone)->runResult); // derived members are copied
  EXPECT_TRUE(meta.destruct(clone, true));
  Algorithm target;
  EXPECT_TRUE(meta.assign(&target, &a) && target.getBuffer() == &b);
  EXPECT_EQ(errors.count(), 0u);
  // An object of another class is refused with an error, in every direction.
  KEXOtherFrameTestAlgorithm other;
  EXPECT_EQ(meta.clone(&other), nullptr);
  EXPECT_FALSE(meta.assign(&a, &other));
  EXPECT_FALSE(meta.assign(&other, &a));
  EXPECT_FALSE(meta.destruct(&other, false));
  EXPECT_TRUE(errors.count() == 4u && errors.has(KEX::InvalidOperation));
}

TEST(TriangleMeshAlgorithmIFTest, MissingAttachmentCellReportsOutOfMemoryAndRunsNothing)
{
  kexmeshtest::NoLeakScope noLeak;
  KEXTriangleMeshBuffer b = makeCube();
  kexTest::ErrorCapture errors;
  std::unique_ptr<Algorithm> a;
  {
    kexTest::AllocationFault fault(1);
    a = std::make_unique<Algorithm>();
    EXPECT_TRUE(fault.fired());
  }
  EXPECT_TRUE(errors.has(KEX::OutOfMemory));
  EXPECT_FALSE(a->setBuffer(&b) || a->getBuffer() || a->execute(nullptr));
  KEXenum error;
  EXPECT_FALSE(a->checkExecute(nullptr, &error));
  EXPECT_EQ(error, KEX::InvalidOperation);
  EXPECT_TRUE(a->calls.empty() && b.getVertexCount() == 8);
  // Assignment with a missing cell on either side changes no attachment.
  Algorithm attached;
  attached.setBuffer(&b);
  *a = attached;
  EXPECT_EQ(a->getBuffer(), nullptr);
  attached = *a;
  EXPECT_EQ(attached.getBuffer(), &b);
}

} // namespace
