// The algorithm frame: moving the buffer's content in and out around init/run/cleanup,
// checkExecute, the factories, and the attachment cell's allocation failure.
#include "kex/Memory.h"
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

// Test algorithms, registered like every algorithm of the library.
class KEXFrameTestAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXFrameTestAlgorithm)

public:
  bool runResult = true;
  bool defaultInit = true; // else init answers initResult
  bool initResult = true;
  std::function<void(KEXFrameTestAlgorithm&)> duringRun;
  int inits = 0, runs = 0;
  std::vector<bool> cleanups;
  void* seenParameters = nullptr;

  const KEXTriangleMeshBuffer& working() const { return m_buffer; }
  bool isWorkingEmpty() const
  {
    return m_buffer.getVertexCount() == 0 && m_buffer.getTriangleCount() == 0 && m_buffer.vertexNormalList.getCount() == 0;
  }

protected:
  bool init(void* parameters) override
  {
    ++inits;
    seenParameters = parameters;
    return defaultInit ? KEXTriangleMeshAlgorithmIF::init(parameters) : initResult;
  }
  bool run(void* parameters) override
  {
    ++runs;
    seenParameters = parameters;
    m_buffer.vertexList.append(KEXVector3<float>(9, 9, 9)); // visible work on the caller's data
    if (duringRun)
      duringRun(*this);
    return runResult;
  }
  void cleanup(bool success) override { cleanups.push_back(success); }
};
KEXMESH_DEFINE_CLASS(KEXFrameTestAlgorithm, KEXTriangleMeshAlgorithmIF)

class KEXOtherFrameTestAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXOtherFrameTestAlgorithm)
};
KEXMESH_DEFINE_CLASS(KEXOtherFrameTestAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using kexmeshtest::makeCube;
using Algorithm = KEXFrameTestAlgorithm;

TEST(TriangleMeshAlgorithmIFTest, ExecuteMovesTheContentInAndBackWithoutCopying)
{
  KEXTriangleMeshBuffer b = makeCube();
  const void* vertices = b.vertexList.getData();
  const void* triangles = b.triangleList.getData();
  Algorithm a;
  ASSERT_TRUE(a.setBuffer(&b));
  int callerCountDuringRun = -1;
  bool workingHoldsCallerLists = false;
  a.duringRun = [&](Algorithm& self) {
    callerCountDuringRun = b.getVertexCount() + b.getTriangleCount();
    workingHoldsCallerLists = self.working().triangleList.getData() == triangles;
  };
  int token = 0;
  long calls = kexTest::allocationCalls();
  long live = kexTest::liveAllocations();
  EXPECT_TRUE(a.execute(&token));
  EXPECT_EQ(kexTest::allocationCalls(), calls); // nothing copied (the appended vertex fits its block)
  EXPECT_EQ(kexTest::liveAllocations(), live);
  EXPECT_EQ(callerCountDuringRun, 0); // the caller's buffer held the empty working buffer
  EXPECT_TRUE(workingHoldsCallerLists);
  EXPECT_EQ(a.seenParameters, &token);
  EXPECT_EQ(a.inits, 1);
  EXPECT_EQ(a.runs, 1);
  EXPECT_EQ(a.cleanups, std::vector<bool>{true});
  EXPECT_TRUE(a.isWorkingEmpty());
  EXPECT_EQ(b.getVertexCount(), 9);
  EXPECT_EQ(b.getTriangleCount(), 12);
  EXPECT_EQ(b.vertexList.getData(), vertices);
  EXPECT_EQ(b.triangleList.getData(), triangles);
  EXPECT_TRUE(b.isConsistent());
}

TEST(TriangleMeshAlgorithmIFTest, FailedRunStillHandsBackItsPartialResult)
{
  KEXTriangleMeshBuffer b = makeCube();
  Algorithm a;
  a.runResult = false;
  a.setBuffer(&b);
  EXPECT_FALSE(a.execute(nullptr));
  EXPECT_EQ(a.cleanups, std::vector<bool>{false});
  EXPECT_EQ(b.getVertexCount(), 9); // what run changed stays
  EXPECT_TRUE(a.isWorkingEmpty());
}

TEST(TriangleMeshAlgorithmIFTest, RefusedInitSkipsRunAndCleansUpWithFalse)
{
  KEXTriangleMeshBuffer b = makeCube();
  ASSERT_TRUE(b.vertexNormalList.setCount(3)); // neither 0 nor V entries: inconsistent
  ASSERT_FALSE(b.isConsistent());
  const void* vertices = b.vertexList.getData();
  Algorithm a;
  a.setBuffer(&b);
  EXPECT_FALSE(a.execute(nullptr));
  EXPECT_EQ(a.inits, 1);
  EXPECT_EQ(a.runs, 0);
  EXPECT_EQ(a.cleanups, std::vector<bool>{false});
  EXPECT_EQ(b.getVertexCount(), 8); // handed back unchanged
  EXPECT_EQ(b.vertexNormalList.getCount(), 3);
  EXPECT_EQ(b.vertexList.getData(), vertices);
  EXPECT_TRUE(a.isWorkingEmpty());

  // A derived init that refuses for its own reasons behaves the same.
  KEXTriangleMeshBuffer c = makeCube();
  Algorithm d;
  d.defaultInit = false;
  d.initResult = false;
  d.setBuffer(&c);
  EXPECT_FALSE(d.execute(nullptr));
  EXPECT_EQ(d.runs, 0);
  EXPECT_EQ(d.cleanups, std::vector<bool>{false});
  EXPECT_EQ(c.getVertexCount(), 8);
}

TEST(TriangleMeshAlgorithmIFTest, CheckExecuteNeverRunsNorChangesTheContent)
{
  KEXTriangleMeshBuffer b = makeCube();
  const void* vertices = b.vertexList.getData();
  Algorithm a;
  a.setBuffer(&b);
  int token = 0;
  KEXenum error;
  EXPECT_TRUE(a.checkExecute(&token, &error));
  EXPECT_EQ(error, KEX::NoError);
  EXPECT_EQ(a.seenParameters, &token);
  EXPECT_EQ(a.inits, 1);
  EXPECT_EQ(a.runs, 0);
  EXPECT_EQ(a.cleanups, std::vector<bool>{true});
  EXPECT_EQ(b.getVertexCount(), 8);
  EXPECT_EQ(b.vertexList.getData(), vertices);
  EXPECT_TRUE(a.isWorkingEmpty());
  EXPECT_EQ(a.getBuffer(), &b);
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
  EXPECT_TRUE(meta.assign(&target, &a));
  EXPECT_EQ(target.getBuffer(), &b);
  EXPECT_EQ(errors.count(), 0u);
  // An object of another class is refused with an error, in every direction.
  KEXOtherFrameTestAlgorithm other;
  EXPECT_EQ(meta.clone(&other), nullptr);
  EXPECT_FALSE(meta.assign(&a, &other));
  EXPECT_FALSE(meta.assign(&other, &a));
  EXPECT_FALSE(meta.destruct(&other, false));
  EXPECT_EQ(errors.count(), 4u);
  EXPECT_TRUE(errors.has(KEX::InvalidOperation));
}

TEST(TriangleMeshAlgorithmIFTest, MissingAttachmentCellReportsOutOfMemoryAndRunsNothing)
{
  long live = kexTest::liveAllocations();
  KEXTriangleMeshBuffer b = makeCube();
  long withBuffer = kexTest::liveAllocations();
  {
    kexTest::ErrorCapture errors;
    std::unique_ptr<Algorithm> a;
    {
      kexTest::AllocationFault fault(1);
      a = std::make_unique<Algorithm>();
      EXPECT_TRUE(fault.fired());
    }
    EXPECT_TRUE(errors.has(KEX::OutOfMemory));
    EXPECT_FALSE(a->setBuffer(&b));
    EXPECT_EQ(a->getBuffer(), nullptr);
    EXPECT_FALSE(a->execute(nullptr));
    KEXenum error;
    EXPECT_FALSE(a->checkExecute(nullptr, &error));
    EXPECT_EQ(error, KEX::InvalidOperation);
    EXPECT_EQ(a->inits, 0);
    EXPECT_EQ(b.getVertexCount(), 8);

    // Assignment with a missing cell on either side changes no attachment.
    Algorithm attached;
    attached.setBuffer(&b);
    *a = attached;
    EXPECT_EQ(a->getBuffer(), nullptr);
    attached = *a;
    EXPECT_EQ(attached.getBuffer(), &b);
  }
  EXPECT_EQ(kexTest::liveAllocations(), withBuffer);
  b.clear();
  EXPECT_EQ(kexTest::liveAllocations(), live);
}

} // namespace
