// The simplification filter: the Filter action on a mesh object with the filter's limits and
// quality forwarded to the contraction, nothing written after a failure or a stop, and allocation
// failures while constructing.
#include "kexmesh/simplify/SimplifyTriangleMesh.h"
#include "kex/Error.h"
#include "kex/Testing.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/simplify/ContractVertexPairsAlgorithm.h"
#include "support/FilterChecks.h"
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

// Runs the filter on a mesh object holding input, from the given random state.
KEXTriangleMeshBuffer simplified(KEXSimplifyTriangleMesh& f, const KEXTriangleMeshBuffer& input, bool& result,
                                 uint64_t state = 0xABCDEF)
{
  KEXTriangleMeshData mesh;
  EXPECT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &input));
  EXPECT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  KEXContractVertexPairsAlgorithm::setRandomState(state);
  result = f.simplify();
  KEXTriangleMeshBuffer out = bufferOf(mesh);
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

TEST(SimplifyTriangleMesh, TheFilterDefaultsRunTheContractionDefaults)
{
  const KEXTriangleMeshBuffer input = bumpySphere();
  KEXSimplifyTriangleMesh f;
  bool result = false;
  const KEXTriangleMeshBuffer out = simplified(f, input, result);
  ASSERT_TRUE(result);
  KEXTriangleMeshBuffer direct(input);
  ASSERT_TRUE(contract(direct, nullptr, 0xABCDEF));
  EXPECT_TRUE(sameGeometry(out, direct));
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
    EXPECT_TRUE(out.getTriangleCount() <= c.maxTriangles && out.getTriangleCount() > c.maxTriangles - 20 &&
                out.getVertexCount() <= c.maxVertices) << out.getTriangleCount() << " triangles, " << out.getVertexCount() << " vertices";
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
  KEXTriangleMeshBuffer bad(input);
  bad.triangleList[5][2] = -3;
  for (bool stop : {true, false}) { // a stop on the way, or an invalid index
    KEXSimplifyTriangleMesh f;
    ASSERT_TRUE(f.setErrorLimit(1000.0f));
    kexTest::RecordingScope monitor;
    if (stop)
      monitor.stopWhenBegun("Reduced surface to 18.432 triangles");
    bool result = true;
    const KEXTriangleMeshBuffer out = simplified(f, stop ? input : bad, result);
    EXPECT_FALSE(result);
    EXPECT_TRUE(sameGeometry(out, stop ? input : bad));
  }
  KEXSimplifyTriangleMesh f;
  EXPECT_FALSE(f.simplify()); // no mesh linked
  EXPECT_GT(sweepConstructionFaults<KEXSimplifyTriangleMesh>(), 2);
}
