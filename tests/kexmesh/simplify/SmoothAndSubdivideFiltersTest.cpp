// The smoothing and subdivision filters from one table: created by class name as a host does,
// Filter on a mesh object gives exactly the algorithm's result on a buffer, a failing step writes
// nothing, no linked mesh runs nothing, and every failed allocation while constructing is reported.
#include "kex/Testing.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/simplify/CASmoothing.h"
#include "kexmesh/simplify/CASmoothingAlgorithm.h"
#include "kexmesh/simplify/ILPSmoothing.h"
#include "kexmesh/simplify/ILPSmoothingAlgorithm.h"
#include "kexmesh/simplify/LoopSubdivision.h"
#include "kexmesh/simplify/LoopSubdivisionAlgorithm.h"
#include "kexmesh/simplify/MBFSubdivision.h"
#include "kexmesh/simplify/MBFSubdivisionAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/FilterChecks.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

using namespace kexmeshtest;

namespace {

KEXTriangleMeshBuffer jitteredTorus()
{
  std::mt19937 rng(8);
  return jittered(makeTorus(14, 9), rng, 0.05f);
}

// A normal without direction stops either smoothing pass; one flipped triangle either subdivision.
KEXTriangleMeshBuffer withNullNormal(KEXTriangleMeshBuffer b)
{
  EXPECT_TRUE(b.calculateVertexNormals());
  b.vertexNormalList[3] = Vec3(0, 0, 0);
  return b;
}

KEXTriangleMeshBuffer withFlippedTriangle(KEXTriangleMeshBuffer b)
{
  std::swap(b.triangleList[0][1], b.triangleList[0][2]);
  return b;
}

struct Row {
  const char* id;
  std::function<bool(KEXTriangleMeshBuffer&)> algorithm;
  std::function<KEXTriangleMeshBuffer()> input;
  std::function<KEXTriangleMeshBuffer(KEXTriangleMeshBuffer)> spoil;
  std::function<int()> constructionFaults;
};
const Row rows[] = {
    {"KEXCASmoothing", [](KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXCASmoothingAlgorithm>(b); },
     jitteredTorus, withNullNormal, sweepConstructionFaults<KEXCASmoothing>},
    {"KEXILPSmoothing", [](KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXILPSmoothingAlgorithm>(b); },
     jitteredTorus, withNullNormal, sweepConstructionFaults<KEXILPSmoothing>},
    {"KEXLoopSubdivision", [](KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXLoopSubdivisionAlgorithm>(b); },
     [] { return makeHemisphere(3, 8); }, withFlippedTriangle, sweepConstructionFaults<KEXLoopSubdivision>},
    {"KEXMBFSubdivision", [](KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXMBFSubdivisionAlgorithm>(b); },
     [] { return makeHemisphere(3, 8); }, withFlippedTriangle, sweepConstructionFaults<KEXMBFSubdivision>},
};

} // namespace

TEST(SmoothAndSubdivideFilters, FilterTheMeshObjectLikeTheAlgorithmTheBufferAndWriteNothingOnFailure)
{
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    const KEXMetaClass* meta = KEXMetaClass::find(row.id);
    ASSERT_NE(meta, nullptr);
    ASSERT_TRUE(meta->isOfType(KEXTriangleMeshFilter::metaClass()));
    auto* f = static_cast<KEXTriangleMeshFilter*>(meta->create());
    KEXAction* filter = f->getAction(KEX::Filter);
    ASSERT_NE(filter, nullptr);
    {
      kexTest::ErrorCapture errors;
      EXPECT_FALSE(filter->execute(nullptr)); // no mesh linked
    }
    const KEXTriangleMeshBuffer in = row.input();
    KEXTriangleMeshBuffer expected(in);
    ASSERT_TRUE(row.algorithm(expected));
    KEXTriangleMeshData mesh;
    ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &in));
    ASSERT_TRUE(f->setValue(KEX::Geometry, KEXObjectLink(&mesh)));
    EXPECT_EQ(filter->checkExecute(nullptr), KEX::NoError);
    ASSERT_TRUE(filter->execute(nullptr));
    EXPECT_TRUE(sameGeometry(bufferOf(mesh), expected) && !sameGeometry(bufferOf(mesh), in));
    const KEXTriangleMeshBuffer bad = row.spoil(in);
    ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &bad));
    {
      kexTest::RecordingScope monitor;
      EXPECT_FALSE(filter->execute(nullptr));
    }
    EXPECT_TRUE(sameGeometry(bufferOf(mesh), bad));
    f->setValue(KEX::Geometry, KEXObjectLink());
    f->release();
    EXPECT_GT(row.constructionFaults(), 0);
  }
}
