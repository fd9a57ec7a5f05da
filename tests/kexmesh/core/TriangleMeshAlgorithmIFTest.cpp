// The algorithm frame: attaching a buffer, moving its content in and out around init/run/cleanup,
// checkExecute, copies and assignment, the class registration and factories, and the attachment
// cell's allocation failure.
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

// A registered class allocated through the framework's memory.
class KEXFrameTestMember : public KEXClass, public KEXClassMember {
  KEXMESH_DECLARE_CLASS(KEXFrameTestMember)

public:
  int value = 7;
};
KEXMESH_DEFINE_CLASS(KEXFrameTestMember, KEXClass)

namespace {

using kexmeshtest::makeCube;
using Algorithm = KEXFrameTestAlgorithm;

TEST(TriangleMeshAlgorithmIFTest, ExecuteWithoutBufferDoesNothing)
{
  Algorithm a;
  EXPECT_EQ(a.getBuffer(), nullptr);
  int token = 0;
  EXPECT_FALSE(a.execute(&token));
  KEXenum error = KEX::NoError;
  EXPECT_FALSE(a.checkExecute(&token, &error));
  EXPECT_EQ(error, KEX::InvalidOperation);
  EXPECT_FALSE(a.checkExecute(&token, nullptr));
  KEXTriangleMeshBuffer b = makeCube();
  ASSERT_TRUE(a.setBuffer(&b));
  ASSERT_TRUE(a.setBuffer(nullptr)); // detached again
  EXPECT_FALSE(a.execute(nullptr));
  EXPECT_EQ(a.inits, 0);
  EXPECT_EQ(a.runs, 0);
  EXPECT_TRUE(a.cleanups.empty());
  EXPECT_EQ(b.getVertexCount(), 8);
}

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

  // The object runs again, and on another buffer after re-attaching.
  EXPECT_TRUE(a.execute(nullptr));
  EXPECT_EQ(b.getVertexCount(), 10);
  KEXTriangleMeshBuffer c = makeCube();
  a.setBuffer(&c);
  EXPECT_TRUE(a.execute(nullptr));
  EXPECT_EQ(c.getVertexCount(), 9);
  EXPECT_EQ(b.getVertexCount(), 10);
  EXPECT_TRUE(a.isWorkingEmpty());
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

  ASSERT_TRUE(b.triangleNormalList.setCount(5));
  EXPECT_FALSE(a.checkExecute(nullptr, &error));
  EXPECT_EQ(error, KEX::InvalidOperation);
  EXPECT_EQ(a.cleanups, (std::vector<bool>{true, false}));
  EXPECT_EQ(a.runs, 0);
  EXPECT_EQ(b.triangleNormalList.getCount(), 5);
  EXPECT_EQ(b.vertexList.getData(), vertices);
}

TEST(TriangleMeshAlgorithmIFTest, CopiesShareTheAttachmentButNotTheWorkingBuffer)
{
  KEXTriangleMeshBuffer b = makeCube();
  Algorithm a;
  a.setBuffer(&b);
  Algorithm copy(a);
  EXPECT_EQ(copy.getBuffer(), &b);
  copy.setBuffer(nullptr); // its own cell
  EXPECT_EQ(a.getBuffer(), &b);

  // A copy made during a run starts with an empty working buffer.
  KEXTriangleMeshBuffer* copyAttachment = nullptr;
  int copyWorking = -1, selfWorking = -1;
  a.duringRun = [&](Algorithm& self) {
    Algorithm c(self);
    copyAttachment = c.getBuffer();
    copyWorking = c.working().getVertexCount();
    selfWorking = self.working().getVertexCount();
  };
  EXPECT_TRUE(a.execute(nullptr));
  EXPECT_EQ(copyAttachment, &b);
  EXPECT_EQ(copyWorking, 0);
  EXPECT_EQ(selfWorking, 9);
  EXPECT_EQ(b.getVertexCount(), 9);
}

TEST(TriangleMeshAlgorithmIFTest, AssignmentCopiesTheAttachmentAndKeepsTheWorkingBuffer)
{
  KEXTriangleMeshBuffer b = makeCube();
  Algorithm a, target;
  a.setBuffer(&b);
  a.setFlags(0x40, 0);
  target = a;
  EXPECT_EQ(target.getBuffer(), &b);
  EXPECT_EQ(target.getFlags(), 0x40u);
  target.setBuffer(nullptr);
  EXPECT_EQ(a.getBuffer(), &b); // the cells stay separate

  // Assigning to a running algorithm leaves its working buffer (the caller's data) alone.
  Algorithm detached;
  int workingAfterAssignment = -1;
  KEXTriangleMeshBuffer* attachmentAfterAssignment = &b;
  a.duringRun = [&](Algorithm& self) {
    // Only the frame's part: the test's own members hold this very callback.
    static_cast<KEXTriangleMeshAlgorithmIF&>(self) = detached;
    workingAfterAssignment = self.working().getVertexCount();
    attachmentAfterAssignment = self.getBuffer();
  };
  EXPECT_TRUE(a.execute(nullptr));
  EXPECT_EQ(workingAfterAssignment, 9);
  EXPECT_EQ(attachmentAfterAssignment, nullptr);
  // Detached during the run: the content goes back to the buffer it came from, not lost.
  EXPECT_EQ(b.getVertexCount(), 9);
  EXPECT_EQ(b.getTriangleCount(), 12);
  EXPECT_TRUE(a.isWorkingEmpty());
  EXPECT_EQ(a.getBuffer(), nullptr);
}

TEST(TriangleMeshAlgorithmIFTest, ResultGoesToTheBufferAttachedAtTheEnd)
{
  KEXTriangleMeshBuffer b = makeCube(), c;
  Algorithm a;
  a.setBuffer(&b);
  a.duringRun = [&](Algorithm& self) { self.setBuffer(&c); };
  EXPECT_TRUE(a.execute(nullptr));
  EXPECT_EQ(c.getVertexCount(), 9);
  EXPECT_EQ(c.getTriangleCount(), 12);
  EXPECT_EQ(b.getVertexCount(), 0);
  EXPECT_TRUE(a.isWorkingEmpty());
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
  auto* c = static_cast<Algorithm*>(clone);
  EXPECT_EQ(c->getBuffer(), &b);
  EXPECT_FALSE(c->runResult); // derived members are copied
  EXPECT_TRUE(meta.destruct(clone, true));

  KEXOtherFrameTestAlgorithm other;
  EXPECT_EQ(meta.clone(&other), nullptr);
  EXPECT_TRUE(errors.has(KEX::InvalidOperation));
  errors.clear();
  EXPECT_FALSE(meta.assign(&a, &other));
  EXPECT_TRUE(errors.has(KEX::InvalidOperation));
  errors.clear();
  EXPECT_FALSE(meta.assign(&other, &a));
  EXPECT_TRUE(errors.has(KEX::InvalidOperation));
  errors.clear();
  EXPECT_FALSE(meta.destruct(&other, false)); // in place needs the right class
  EXPECT_TRUE(errors.has(KEX::InvalidOperation));
  errors.clear();
  EXPECT_EQ(meta.clone(nullptr), nullptr); // null is no error
  EXPECT_FALSE(meta.destruct(nullptr, true));
  EXPECT_EQ(errors.count(), 0u);

  Algorithm target;
  EXPECT_TRUE(meta.assign(&target, &a));
  EXPECT_EQ(target.getBuffer(), &b);
  EXPECT_FALSE(target.runResult);

  KEXClass* created = meta.create();
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(&created->getMetaClass(), &meta);
  EXPECT_EQ(static_cast<Algorithm*>(created)->getBuffer(), nullptr);
  EXPECT_TRUE(meta.destruct(created, true));

  alignas(Algorithm) unsigned char place[sizeof(Algorithm)];
  KEXClass* inPlace = meta.create(place);
  EXPECT_EQ(static_cast<void*>(inPlace), static_cast<void*>(place));
  EXPECT_TRUE(meta.destruct(inPlace, false));
  KEXClass* clonedInPlace = meta.clone(&a, place);
  EXPECT_EQ(static_cast<Algorithm*>(clonedInPlace)->getBuffer(), &b);
  EXPECT_TRUE(meta.destruct(clonedInPlace, false));
}

TEST(TriangleMeshAlgorithmIFTest, AbstractFrameFactoryCreatesNothing)
{
  const KEXMetaClass& frame = KEXTriangleMeshAlgorithmIF::metaClass();
  Algorithm a;
  alignas(Algorithm) unsigned char place[sizeof(Algorithm)];
  EXPECT_EQ(frame.create(), nullptr);
  EXPECT_EQ(frame.create(place), nullptr);
  EXPECT_EQ(frame.clone(&a), nullptr);
  EXPECT_FALSE(frame.assign(&a, &a));
  // It can still destroy an object of a derived class.
  KEXClass* heap = Algorithm::metaClass().create();
  ASSERT_NE(heap, nullptr);
  EXPECT_TRUE(frame.destruct(heap, true));
}

// Names, parents and modules of the library's classes are one table in the objects tests; what is
// left here is what the registration macro itself must get right.
TEST(TriangleMeshAlgorithmIFTest, RegistrationMacroRecordsSizeParentAndMarkers)
{
  const KEXMetaClass* test = KEXMetaClass::find("KEXFrameTestAlgorithm");
  ASSERT_EQ(test, &Algorithm::metaClass());
  EXPECT_EQ(test->getParent(), &KEXTriangleMeshAlgorithmIF::metaClass());
  EXPECT_STREQ(test->getModule(), "kexmesh");
  EXPECT_EQ(test->getInstanceSize(), sizeof(Algorithm));
  EXPECT_EQ(KEXTriangleMeshAlgorithmIF::metaClass().getInstanceSize(), sizeof(KEXTriangleMeshAlgorithmIF));
  Algorithm a;
  const KEXClass& asBase = a;
  EXPECT_EQ(&asBase.getMetaClass(), test);
  EXPECT_EQ(KEXFrameTestAlgorithm__ClassFactory_record.metaMarker(), kexmeshdetail::MARKER_CONSTRUCTED);
  EXPECT_EQ(KEXFrameTestAlgorithm__ClassFactory_record.factoryMarker(), kexmeshdetail::MARKER_CONSTRUCTED);
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

    // The copy constructor reports the same way.
    errors.clear();
    {
      kexTest::AllocationFault fault(1);
      Algorithm copy(attached);
      EXPECT_TRUE(errors.has(KEX::OutOfMemory));
      EXPECT_EQ(copy.getBuffer(), nullptr);
      EXPECT_FALSE(copy.execute(nullptr));
    }
    EXPECT_EQ(b.getVertexCount(), 8);
  }
  EXPECT_EQ(kexTest::liveAllocations(), withBuffer);
  b.clear();
  EXPECT_EQ(kexTest::liveAllocations(), live);
}

TEST(TriangleMeshAlgorithmIFTest, RegisteredClassMembersAllocateThroughFrameworkMemory)
{
  const KEXMetaClass& meta = KEXFrameTestMember::metaClass();
  EXPECT_EQ(meta.getParent(), &KEXClass::metaClass());
  long live = kexTest::liveAllocations();
  KEXClass* m = meta.create();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(kexTest::liveAllocations(), live + 1);
  static_cast<KEXFrameTestMember*>(m)->value = 11;
  KEXClass* c = meta.clone(m);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(static_cast<KEXFrameTestMember*>(c)->value, 11);
  EXPECT_TRUE(meta.destruct(m, true));
  EXPECT_TRUE(meta.destruct(c, true));
  EXPECT_EQ(kexTest::liveAllocations(), live);
  {
    kexTest::AllocationFault fault(1);
    EXPECT_EQ(meta.create(), nullptr); // memory short: null, no exception
    EXPECT_TRUE(fault.fired());
  }
}

TEST(TriangleMeshAlgorithmIFTest, ClassRecordConstructsOnceAndUnregistersAtUnload)
{
  using Record = kexmeshdetail::ClassRecord<KEXOtherFrameTestAlgorithm__ClassFactory>;
  KEXMetaClass singletonBase("KEXFrameTestSingletonBase", sizeof(KEXTriangleMeshAlgorithmIF),
                             &KEXTriangleMeshAlgorithmIF::metaClass(), nullptr, "kexmesh", 0, 0, 0, nullptr, nullptr,
                             true);
  {
    auto record = std::make_unique<Record>(); // as a library's static record before first use
    EXPECT_EQ(record->metaMarker(), 0);
    EXPECT_EQ(record->factoryMarker(), 0);
    const KEXMetaClass& m =
        record->get("KEXFrameTestUnloaded", sizeof(KEXOtherFrameTestAlgorithm), KEXTriangleMeshAlgorithmIF::metaClass());
    EXPECT_EQ(&record->get("KEXFrameTestUnloaded", sizeof(KEXOtherFrameTestAlgorithm),
                           KEXTriangleMeshAlgorithmIF::metaClass()),
              &m); // constructed once
    EXPECT_EQ(record->metaMarker(), kexmeshdetail::MARKER_CONSTRUCTED);
    EXPECT_EQ(record->factoryMarker(), kexmeshdetail::MARKER_CONSTRUCTED);
    EXPECT_EQ(KEXMetaClass::find("KEXFrameTestUnloaded"), &m);
    EXPECT_STREQ(m.getModule(), "kexmesh");
    EXPECT_FALSE(m.isSingleton());
    KEXClass* object = m.create();
    ASSERT_NE(object, nullptr);
    EXPECT_TRUE(m.destruct(object, true));

    // The singleton property comes from the parent.
    auto single = std::make_unique<Record>();
    EXPECT_TRUE(single->get("KEXFrameTestSingleton", sizeof(KEXOtherFrameTestAlgorithm), singletonBase).isSingleton());
  }
  // Destroying the records (the library's unload) takes the names out of the registry.
  EXPECT_EQ(KEXMetaClass::find("KEXFrameTestUnloaded"), nullptr);
  EXPECT_EQ(KEXMetaClass::find("KEXFrameTestSingleton"), nullptr);
  EXPECT_EQ(KEXMetaClass::find("KEXOtherFrameTestAlgorithm"), &KEXOtherFrameTestAlgorithm::metaClass());
}

} // namespace
