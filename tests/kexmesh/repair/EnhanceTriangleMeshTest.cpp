// The triangle quality filter: its limits reach the cap removal, and allocation failures while
// constructing are reported.
#include "kexmesh/repair/EnhanceTriangleMesh.h"
#include "kex/Error.h"
#include "kex/Testing.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "support/FilterChecks.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kexmeshtest;
using Pair = KEXValuePair<float>;

namespace {

// A flat quadrilateral split into a cap triangle (about 170 degrees at vertex 2) and a fat one.
KEXTriangleMeshBuffer capQuad()
{
  return makeBuffer({{0, 0, 0}, {2, 0, 0}, {1, 0.09f, 0}, {1, -1, 0}}, {{0, 1, 2}, {0, 3, 1}});
}

} // namespace

TEST(EnhanceTriangleMesh, CapRemovalFollowsTheFilterLimits)
{
  for (bool narrow : {false, true}) {
    SCOPED_TRACE(narrow ? "cap limits (172, 180)" : "default cap limits");
    KEXTriangleMeshData mesh;
    const KEXTriangleMeshBuffer quad = capQuad();
    ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &quad));
    KEXEnhanceTriangleMesh f;
    ASSERT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
    ASSERT_TRUE((!narrow || f.setValue(KEX::CapAngleLimits, Pair(172, 180))) && f.removeCapTriangles());
    KEXTriangleMeshBuffer out = bufferOf(mesh);
    const auto h = halfEdges(out);
    EXPECT_EQ(h.count({2, 3}) + h.count({3, 2}) > 0, !narrow) << "the flipped diagonal";
    EXPECT_EQ(h.count({0, 1}) + h.count({1, 0}) > 0, narrow);
    EXPECT_TRUE(manifoldEdgesConsistent(out));
    f.setValue(KEX::Geometry, KEXObjectLink());
  }
}

TEST(EnhanceTriangleMesh, EveryFailedAllocationWhileConstructingIsReported)
{
  EXPECT_GT(sweepConstructionFaults<KEXEnhanceTriangleMesh>(), 2);
  KEXEnhanceTriangleMesh f;
  EXPECT_FALSE(f.removeCapTriangles()) << "without a mesh nothing runs";
}
