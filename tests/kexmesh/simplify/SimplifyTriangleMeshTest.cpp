// The simplification filter: its eight properties (defaults, accepted values, resets, copies), the
// Filter action on a mesh object with the filter's limits and quality forwarded to the
// contraction, nothing written after a failure or a stop, and allocation failures while
// constructing.
#include "kexmesh/simplify/SimplifyTriangleMesh.h"
#include "kex/Error.h"
#include "kex/Testing.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/simplify/ContractVertexPairsAlgorithm.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"
#include "support/SimplifyChecks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

using namespace kexmeshtest;

namespace {

KEXTriangleMeshBuffer fromObject(const KEXTriangleMeshData& mesh)
{
  KEXTriangleMeshBuffer b;
  EXPECT_TRUE(KEXTriangleMeshAction::bufferFromObject(&b, &mesh));
  return b;
}

// Runs the filter on a mesh object holding input, from the given random state.
KEXTriangleMeshBuffer simplified(KEXSimplifyTriangleMesh& f, const KEXTriangleMeshBuffer& input, bool& result,
                                 uint64_t state = 0xABCDEF)
{
  KEXTriangleMeshData mesh;
  EXPECT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &input));
  EXPECT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  KEXContractVertexPairsAlgorithm::setRandomState(state);
  result = f.simplify();
  KEXTriangleMeshBuffer out = fromObject(mesh);
  f.setValue(KEX::Geometry, KEXObjectLink());
  return out;
}

KEXTriangleMeshBuffer bumpySphere()
{
  KEXTriangleMeshBuffer b = makeIcosphere(5); // 20480 triangles
  for (Vec3& p : b.vertexList)
    p = p * (1.0f + 0.05f * std::sin(7.0f * p.x) * std::cos(5.0f * p.y));
  return b;
}

} // namespace

TEST(SimplifyTriangleMesh, DefaultsRangesResetsAndCopies)
{
  KEXSimplifyTriangleMesh f;
  EXPECT_EQ(f.getVertexLimit(), 1000);
  EXPECT_EQ(f.getTriangleLimit(), 0);
  EXPECT_EQ(f.getErrorLimit(), 1.0f);
  EXPECT_EQ(f.getShapeWeighting(), 0.5f);
  EXPECT_EQ(f.getBorderWeighting(), 1.0f);
  EXPECT_EQ(f.getMaximumDistance(), 0.0f);
  EXPECT_EQ(f.getVectorLength(), 0.0f);
  EXPECT_EQ(f.getMethodQuality(), KEX::Nicest);
  EXPECT_STREQ(f.getObjectID(0).getString(), "KEXSimplifyTriangleMesh");
  EXPECT_STREQ(f.getObjectID(1).getString(), "KEXTriangleMeshFilter");
  ASSERT_NE(f.getAction(KEX::Filter), nullptr);

  const float inf = INFINITY, nan = NAN;
  struct FloatCase {
    bool (KEXSimplifyTriangleMesh::*set)(float);
    float (KEXSimplifyTriangleMesh::*get)() const;
    float value;
    bool accepted;
  } floats[] = {
      {&KEXSimplifyTriangleMesh::setBorderWeighting, &KEXSimplifyTriangleMesh::getBorderWeighting, 1.5f, false},
      {&KEXSimplifyTriangleMesh::setBorderWeighting, &KEXSimplifyTriangleMesh::getBorderWeighting, 0.0f, true},
      {&KEXSimplifyTriangleMesh::setBorderWeighting, &KEXSimplifyTriangleMesh::getBorderWeighting, 1.0f, true},
      {&KEXSimplifyTriangleMesh::setShapeWeighting, &KEXSimplifyTriangleMesh::getShapeWeighting, -0.1f, false},
      {&KEXSimplifyTriangleMesh::setShapeWeighting, &KEXSimplifyTriangleMesh::getShapeWeighting, 0.25f, true},
      {&KEXSimplifyTriangleMesh::setErrorLimit, &KEXSimplifyTriangleMesh::getErrorLimit, inf, false},
      {&KEXSimplifyTriangleMesh::setErrorLimit, &KEXSimplifyTriangleMesh::getErrorLimit, nan, false},
      {&KEXSimplifyTriangleMesh::setErrorLimit, &KEXSimplifyTriangleMesh::getErrorLimit, -1.0f, false},
      {&KEXSimplifyTriangleMesh::setErrorLimit, &KEXSimplifyTriangleMesh::getErrorLimit, 30.0f, true},
      {&KEXSimplifyTriangleMesh::setMaximumDistance, &KEXSimplifyTriangleMesh::getMaximumDistance, -0.5f, false},
      {&KEXSimplifyTriangleMesh::setMaximumDistance, &KEXSimplifyTriangleMesh::getMaximumDistance, 2.0f, true},
      {&KEXSimplifyTriangleMesh::setVectorLength, &KEXSimplifyTriangleMesh::getVectorLength, inf, false},
      {&KEXSimplifyTriangleMesh::setVectorLength, &KEXSimplifyTriangleMesh::getVectorLength, 3.0f, true},
  };
  for (const FloatCase& c : floats) {
    const float before = (f.*c.get)();
    EXPECT_EQ((f.*c.set)(c.value), c.accepted) << c.value;
    if (c.accepted)
      EXPECT_EQ((f.*c.get)(), c.value);
    else
      EXPECT_EQ((f.*c.get)(), before);
  }
  EXPECT_FALSE(f.setVertexLimit(-1));
  EXPECT_EQ(f.getVertexLimit(), 1000);
  EXPECT_TRUE(f.setVertexLimit(0));
  EXPECT_TRUE(f.setTriangleLimit(700));
  EXPECT_FALSE(f.setTriangleLimit(-5));
  EXPECT_FALSE(f.setMethodQuality(KEX::Degree));
  EXPECT_EQ(f.getMethodQuality(), KEX::Nicest);
  EXPECT_TRUE(f.setMethodQuality(KEX::Advanced));
  KEXenum q;
  ASSERT_TRUE(f.getValue(KEX::Quality, q)); // the generic property interface sees the same value
  EXPECT_EQ(q, KEX::Advanced);
  EXPECT_FALSE(f.setValue(KEX::Quality, KEX::Degree));
  EXPECT_EQ(f.getMethodQuality(), KEX::Advanced);
}

TEST(SimplifyTriangleMesh, CopiesAndResetsKeepTheValues)
{
  KEXSimplifyTriangleMesh f;
  ASSERT_TRUE(f.setMethodQuality(KEX::Fastest));
  ASSERT_TRUE(f.setTriangleLimit(321));
  ASSERT_TRUE(f.setShapeWeighting(0.75f));
  KEXSimplifyTriangleMesh copy(f);
  EXPECT_EQ(copy.getMethodQuality(), KEX::Fastest);
  EXPECT_EQ(copy.getTriangleLimit(), 321);
  EXPECT_EQ(copy.getShapeWeighting(), 0.75f);
  for (KEXenum name : {KEX::Quality, KEX::TriangleLimit, KEX::ShapeWeighting})
    ASSERT_TRUE(f.getProperty(name)->reset());
  EXPECT_EQ(f.getMethodQuality(), KEX::Nicest);
  EXPECT_EQ(f.getTriangleLimit(), 0);
  EXPECT_EQ(f.getShapeWeighting(), 0.5f);
  copy = f;
  EXPECT_EQ(copy.getMethodQuality(), KEX::Nicest);
  EXPECT_EQ(copy.getTriangleLimit(), 0);
  const KEXEnumSet& set = KEXSimplifyTriangleMesh::getQualityEnums();
  ASSERT_EQ(set.getCount(), 4);
  EXPECT_EQ(set.getItem(0), KEX::Fastest);
  EXPECT_EQ(set.getItem(1), KEX::Normal);
  EXPECT_EQ(set.getItem(2), KEX::Advanced);
  EXPECT_EQ(set.getItem(3), KEX::Nicest);
}

TEST(SimplifyTriangleMesh, TheFilterDefaultsRunTheContractionDefaults)
{
  const KEXTriangleMeshBuffer input = bumpySphere();
  KEXSimplifyTriangleMesh f;
  bool result = false;
  const KEXTriangleMeshBuffer out = simplified(f, input, result);
  ASSERT_TRUE(result);
  KEXTriangleMeshBuffer direct(input);
  ASSERT_TRUE(contract(direct, nullptr, 0xABCDEF));
  EXPECT_EQ(vertices(out), vertices(direct));
  EXPECT_EQ(triangles(out), triangles(direct));
  EXPECT_LT(out.getTriangleCount(), input.getTriangleCount());
}

TEST(SimplifyTriangleMesh, SetLimitsQualityAndErrorLimitTakeEffect)
{
  const KEXTriangleMeshBuffer input = bumpySphere();
  struct Case {
    const char* what;
    std::function<void(KEXSimplifyTriangleMesh&)> set;
    int maxTriangles, maxVertices;
    bool onInputPositions;
  } cases[] = {
      {"triangle limit", [](KEXSimplifyTriangleMesh& f) { EXPECT_TRUE(f.setTriangleLimit(600)); }, 600, 300, false},
      {"vertex limit", [](KEXSimplifyTriangleMesh& f) { EXPECT_TRUE(f.setVertexLimit(250)); }, 500, 250, false},
      {"triangle limit over vertex limit",
       [](KEXSimplifyTriangleMesh& f) {
         EXPECT_TRUE(f.setVertexLimit(5000));
         EXPECT_TRUE(f.setTriangleLimit(800));
       },
       800, 400, false},
      {"quality", [](KEXSimplifyTriangleMesh& f) { EXPECT_TRUE(f.setMethodQuality(KEX::Normal)); }, 2000, 1000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KEXSimplifyTriangleMesh f;
    ASSERT_TRUE(f.setErrorLimit(1000.0f)); // the limits, not the error, end these runs
    c.set(f);
    bool result = false;
    const KEXTriangleMeshBuffer out = simplified(f, input, result);
    ASSERT_TRUE(result);
    EXPECT_LE(out.getTriangleCount(), c.maxTriangles);
    EXPECT_GT(out.getTriangleCount(), c.maxTriangles - 20);
    EXPECT_LE(out.getVertexCount(), c.maxVertices);
    EXPECT_EQ(verticesOffInput(out, input) == 0, c.onInputPositions);
    EXPECT_TRUE(closedAndConsistent(out));
  }
  // A tiny ErrorLimit allows only contractions of (almost) no cost: the curved surface keeps most
  // of its triangles.
  KEXSimplifyTriangleMesh strict;
  ASSERT_TRUE(strict.setErrorLimit(0.001f));
  bool result = false;
  const KEXTriangleMeshBuffer kept = simplified(strict, input, result);
  ASSERT_TRUE(result); // ended within the error limit: a result
  EXPECT_GT(kept.getTriangleCount(), input.getTriangleCount() / 2);
}

TEST(SimplifyTriangleMesh, FailureOrStopWritesNothing)
{
  const KEXTriangleMeshBuffer input = bumpySphere();
  {
    KEXSimplifyTriangleMesh f;
    ASSERT_TRUE(f.setErrorLimit(1000.0f));
    kexTest::RecordingScope monitor;
    monitor.stopWhenBegun("Reduced surface to 18.432 triangles");
    bool result = true;
    const KEXTriangleMeshBuffer out = simplified(f, input, result);
    EXPECT_FALSE(result);
    EXPECT_TRUE(sameGeometry(out, input));
  }
  {
    KEXSimplifyTriangleMesh f;
    KEXTriangleMeshBuffer bad(input);
    bad.triangleList[5][2] = -3;
    bool result = true;
    const KEXTriangleMeshBuffer out = simplified(f, bad, result);
    EXPECT_FALSE(result);
    EXPECT_TRUE(sameGeometry(out, bad));
  }
  KEXSimplifyTriangleMesh f;
  EXPECT_FALSE(f.simplify()); // no mesh linked
}

TEST(SimplifyTriangleMesh, EveryFailedAllocationWhileConstructingIsReported)
{
  int faults = 0;
  for (long n = 1; n < 400; ++n) {
    kexTest::ErrorCapture errors;
    kexTest::AllocationFault fault(n);
    KEXSimplifyTriangleMesh f;
    if (!fault.fired())
      break;
    ++faults;
    EXPECT_TRUE(errors.has(KEX::OutOfMemory)) << "allocation " << n;
    EXPECT_FALSE(f.simplify());
  }
  EXPECT_GT(faults, 2);
}
