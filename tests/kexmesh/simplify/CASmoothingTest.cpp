// The two smoothing filters, from one table: identity and action, Filter on a mesh object giving
// exactly the algorithm's result, nothing written after a failure, and every failed allocation
// while constructing reported.
#include "kexmesh/simplify/CASmoothing.h"
#include "kex/Testing.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/simplify/CASmoothingAlgorithm.h"
#include "kexmesh/simplify/ILPSmoothing.h"
#include "kexmesh/simplify/ILPSmoothingAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/FilterChecks.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>

using namespace kexmeshtest;

namespace {

struct FilterRow {
  const char* id;
  std::function<bool(KEXTriangleMeshBuffer&)> algorithm;
  // Created by class name, as a host does.
  KEXTriangleMeshFilter* create() const
  {
    const KEXMetaClass* meta = KEXMetaClass::find(id);
    EXPECT_NE(meta, nullptr);
    if (!meta)
      return nullptr;
    EXPECT_TRUE(meta->isOfType(KEXTriangleMeshFilter::metaClass()));
    return static_cast<KEXTriangleMeshFilter*>(meta->create());
  }
};
const FilterRow filters[] = {
    {"KEXCASmoothing", [](KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXCASmoothingAlgorithm>(b); }},
    {"KEXILPSmoothing", [](KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXILPSmoothingAlgorithm>(b); }},
};

struct Release {
  void operator()(KEXObject* o) const
  {
    if (o)
      o->release();
  }
};

} // namespace

TEST(CASmoothing, BothFiltersRunTheirAlgorithmOnTheMeshObject)
{
  std::mt19937 rng(8);
  std::uniform_real_distribution<float> jitter(-0.05f, 0.05f);
  for (const FilterRow& row : filters) {
    SCOPED_TRACE(row.id);
    std::unique_ptr<KEXTriangleMeshFilter, Release> f(row.create());
    ASSERT_NE(f, nullptr);
    EXPECT_STREQ(f->getObjectID(0).getString(), row.id);
    EXPECT_STREQ(f->getObjectID(1).getString(), "KEXTriangleMeshFilter");
    EXPECT_STREQ(f->getMetaClass().getClassName(), row.id);
    ASSERT_EQ(f->getActionCount(), 1);
    EXPECT_EQ(f->getActionName(0), KEX::Filter);
    KEXAction* filter = f->getAction(KEX::Filter);
    ASSERT_NE(filter, nullptr);
    EXPECT_FALSE(filter->execute(nullptr)); // no mesh linked

    KEXTriangleMeshBuffer b = makeTorus(14, 9);
    for (int v = 0; v < b.getVertexCount(); ++v)
      b.vertexList[v] += Vec3(jitter(rng), jitter(rng), jitter(rng));
    KEXTriangleMeshBuffer expected(b);
    ASSERT_TRUE(row.algorithm(expected));
    KEXTriangleMeshData mesh;
    ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &b));
    ASSERT_TRUE(f->setValue(KEX::Geometry, KEXObjectLink(&mesh)));
    EXPECT_EQ(filter->checkExecute(nullptr), KEX::NoError);
    ASSERT_TRUE(filter->execute(nullptr));
    const KEXTriangleMeshBuffer out = bufferOf(mesh);
    EXPECT_EQ(vertices(out), vertices(expected));
    EXPECT_NE(vertices(out), vertices(b));

    // A normal without direction: the step fails and the object keeps its positions.
    KEXTriangleMeshBuffer bad(b);
    ASSERT_TRUE(bad.calculateVertexNormals());
    bad.vertexNormalList[3] = Vec3(0, 0, 0);
    ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &bad));
    EXPECT_FALSE(filter->execute(nullptr));
    EXPECT_EQ(vertices(bufferOf(mesh)), vertices(bad));
    f->setValue(KEX::Geometry, KEXObjectLink());
  }
}

TEST(CASmoothing, EveryFailedAllocationWhileConstructingIsReported)
{
  EXPECT_GT(sweepConstructionFaults<KEXCASmoothing>(), 0);
  EXPECT_GT(sweepConstructionFaults<KEXILPSmoothing>(), 0);
}
