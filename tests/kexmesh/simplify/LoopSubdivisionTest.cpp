// The two subdivision filters (KEXLoopSubdivision and KEXMBFSubdivision), one table: identity and
// the single Filter action, a run on a mesh object that matches the algorithm run on a buffer, the
// destination left alone when the step fails, and failed allocations while constructing.
#include "kexmesh/simplify/LoopSubdivision.h"
#include "kex/Error.h"
#include "kex/Testing.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/simplify/LoopSubdivisionAlgorithm.h"
#include "kexmesh/simplify/MBFSubdivision.h"
#include "kexmesh/simplify/MBFSubdivisionAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace kexmeshtest;

namespace {

struct Row {
  const char* filterName;
  const char* algorithmName;
  std::function<bool(KEXTriangleMeshBuffer&)> algorithm;
};

const Row rows[] = {
    {"KEXLoopSubdivision", "KEXLoopSubdivisionAlgorithm", [](KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXLoopSubdivisionAlgorithm>(b); }},
    {"KEXMBFSubdivision", "KEXMBFSubdivisionAlgorithm", [](KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXMBFSubdivisionAlgorithm>(b); }},
};

class SubdivisionFilter : public ::testing::TestWithParam<int> {
protected:
  const Row& row() const { return rows[GetParam()]; }
  KEXTriangleMeshFilter* create()
  {
    const KEXMetaClass* meta = KEXMetaClass::find(row().filterName);
    EXPECT_NE(meta, nullptr);
    if (!meta)
      return nullptr;
    EXPECT_TRUE(meta->isOfType(KEXTriangleMeshFilter::metaClass()));
    return static_cast<KEXTriangleMeshFilter*>(meta->create());
  }
};

KEXTriangleMeshBuffer fromObject(const KEXTriangleMeshData& mesh)
{
  KEXTriangleMeshBuffer b;
  EXPECT_TRUE(KEXTriangleMeshAction::bufferFromObject(&b, &mesh));
  return b;
}

TEST_P(SubdivisionFilter, IdentityAndItsOneAction)
{
  KEXTriangleMeshFilter* f = create();
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(f->getObjectID(0).getString(), row().filterName);
  EXPECT_STREQ(f->getObjectID(1).getString(), "KEXTriangleMeshFilter");
  ASSERT_EQ(f->getActionCount(), 1);
  EXPECT_EQ(f->getActionName(0), KEX::Filter);
  auto* action = dynamic_cast<KEXTriangleMeshAction*>(f->getAction(KEX::Filter));
  ASSERT_NE(action, nullptr);
  EXPECT_STREQ(action->getAlgorithmClass()->getClassName(), row().algorithmName);
  f->release();
}

TEST_P(SubdivisionFilter, FiltersAMeshObjectLikeTheAlgorithmABuffer)
{
  const KEXTriangleMeshBuffer in = makeHemisphere(3, 8);
  KEXTriangleMeshBuffer expected(in);
  ASSERT_TRUE(row().algorithm(expected));
  KEXTriangleMeshData mesh;
  ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &in));
  KEXTriangleMeshFilter* f = create();
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(f->setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  ASSERT_TRUE(f->getAction(KEX::Filter)->execute(nullptr));
  EXPECT_TRUE(sameGeometry(fromObject(mesh), expected));

  // A step that fails writes nothing.
  KEXTriangleMeshBuffer flipped(in);
  std::swap(flipped.triangleList[0][1], flipped.triangleList[0][2]);
  ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &flipped));
  {
    kexTest::RecordingScope monitor;
    EXPECT_FALSE(f->getAction(KEX::Filter)->execute(nullptr));
  }
  EXPECT_TRUE(sameGeometry(fromObject(mesh), flipped));
  f->setValue(KEX::Geometry, KEXObjectLink());
  f->release();
}

TEST_P(SubdivisionFilter, WithoutMeshNothingRuns)
{
  KEXTriangleMeshFilter* f = create();
  ASSERT_NE(f, nullptr);
  kexTest::ErrorCapture errors;
  EXPECT_FALSE(f->getAction(KEX::Filter)->execute(nullptr));
  f->release();
}

TEST_P(SubdivisionFilter, EveryFailedAllocationWhileConstructingIsReported)
{
  const KEXMetaClass* meta = KEXMetaClass::find(row().filterName);
  ASSERT_NE(meta, nullptr);
  int faults = 0;
  for (long n = 1; n < 200; ++n) {
    kexTest::ErrorCapture errors;
    KEXClass* object;
    bool fired;
    {
      kexTest::AllocationFault fault(n);
      object = meta->create();
      fired = fault.fired();
    }
    if (!fired) {
      if (object)
        static_cast<KEXTriangleMeshFilter*>(object)->release();
      break;
    }
    ++faults;
    if (!object)
      continue; // the object itself could not be had
    EXPECT_TRUE(errors.has(KEX::OutOfMemory)) << "allocation " << n;
    static_cast<KEXTriangleMeshFilter*>(object)->release();
  }
  EXPECT_GE(faults, 2);
}

INSTANTIATE_TEST_SUITE_P(Both, SubdivisionFilter, ::testing::Range(0, int(std::size(rows))),
                         [](const ::testing::TestParamInfo<int>& info) { return std::string(rows[info.param].filterName + 3); });

} // namespace
