// The triangle quality filter: its limits (ranges, resets, forwarding to the cap removal), its two
// actions on a mesh object, failures, and allocation failures while constructing.
#include "kexmesh/repair/EnhanceTriangleMesh.h"
#include "kex/Error.h"
#include "kex/Testing.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
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

bool hasEdge(const KEXTriangleMeshBuffer& b, int u, int v)
{
  auto h = halfEdges(b);
  return h.count({u, v}) || h.count({v, u});
}

KEXTriangleMeshBuffer fromObject(const KEXTriangleMeshData& mesh)
{
  KEXTriangleMeshBuffer b;
  EXPECT_TRUE(KEXTriangleMeshAction::bufferFromObject(&b, &mesh));
  return b;
}

} // namespace

TEST(EnhanceTriangleMesh, PropertiesActionsAndIdentity)
{
  KEXEnhanceTriangleMesh f;
  std::vector<std::string> props, actions;
  for (int i = 0; i < f.getPropertyCount(); ++i)
    props.emplace_back(f.getPropertyName(i).getString());
  ASSERT_GE(props.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(props.end() - 3, props.end()),
            (std::vector<std::string>{"AngleLimits", "CapAngleLimits", "NeedleAngleLimits"}));
  for (int i = 0; i < f.getActionCount(); ++i)
    actions.emplace_back(f.getActionName(i).getString());
  EXPECT_EQ(actions, (std::vector<std::string>{"RemoveCapTriangles", "RemoveDegenerateTriangles"}));
  EXPECT_STREQ(f.getObjectID(0).getString(), "KEXEnhanceTriangleMesh");
  EXPECT_STREQ(f.getObjectID(1).getString(), "KEXTriangleMeshFilter");

  Pair p;
  EXPECT_FALSE(f.setValue(KEX::CapAngleLimits, Pair(80, 180)));
  EXPECT_TRUE(f.setValue(KEX::CapAngleLimits, Pair(90, 170)));
  EXPECT_FALSE(f.setValue(KEX::NeedleAngleLimits, Pair(0, 30)));
  EXPECT_FALSE(f.setValue(KEX::AngleLimits, Pair(2, 1)));
  ASSERT_TRUE(f.getValue(KEX::CapAngleLimits, p));
  EXPECT_EQ(p, Pair(90, 170));
  KEXEnhanceTriangleMesh copy(f);
  ASSERT_TRUE(copy.getValue(KEX::CapAngleLimits, p));
  EXPECT_EQ(p, Pair(90, 170));
  ASSERT_TRUE(f.getProperty(KEX::CapAngleLimits)->reset());
  ASSERT_TRUE(f.getValue(KEX::CapAngleLimits, p));
  EXPECT_EQ(p, Pair(135, 180));
  copy = f;
  ASSERT_TRUE(copy.getValue(KEX::CapAngleLimits, p));
  EXPECT_EQ(p, Pair(135, 180));
}

TEST(EnhanceTriangleMesh, CapRemovalFollowsTheFilterLimits)
{
  for (bool narrow : {false, true}) {
    SCOPED_TRACE(narrow ? "cap limits (172, 180)" : "default cap limits");
    KEXTriangleMeshData mesh;
    const KEXTriangleMeshBuffer quad = capQuad();
    ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &quad));
    KEXEnhanceTriangleMesh f;
    ASSERT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
    if (narrow) {
      ASSERT_TRUE(f.setValue(KEX::CapAngleLimits, Pair(172, 180)));
    }
    ASSERT_TRUE(f.removeCapTriangles());
    KEXTriangleMeshBuffer out = fromObject(mesh);
    EXPECT_EQ(hasEdge(out, 2, 3), !narrow);
    EXPECT_EQ(hasEdge(out, 0, 1), narrow);
    EXPECT_TRUE(manifoldEdgesConsistent(out));
    f.setValue(KEX::Geometry, KEXObjectLink());
  }
}

TEST(EnhanceTriangleMesh, DegenerateRepairCollapsesANeedle)
{
  // A zero-area triangle with all corners at one point, glued to a healthy tetrahedron.
  KEXTriangleMeshBuffer b = makeTetrahedron();
  int v = b.getVertexCount();
  for (int i = 0; i < 3; ++i)
    b.vertexList.append(KEXVector3<float>(5, 5, 5));
  b.triangleList.append(KEXTriangle<int>(v, v + 1, v + 2));
  KEXTriangleMeshData mesh;
  ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &b));
  KEXEnhanceTriangleMesh f;
  ASSERT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  ASSERT_TRUE(f.removeDegenerateTriangles());
  KEXTriangleMeshBuffer out = fromObject(mesh);
  EXPECT_EQ(out.getTriangleCount(), 4);
  EXPECT_EQ(out.getVertexCount(), 4);
  EXPECT_TRUE(closedAndConsistent(out));
  f.setValue(KEX::Geometry, KEXObjectLink());
}

TEST(EnhanceTriangleMesh, WithoutMeshNothingRuns)
{
  KEXEnhanceTriangleMesh f;
  EXPECT_FALSE(f.removeCapTriangles());
  EXPECT_FALSE(f.removeDegenerateTriangles());
}

TEST(EnhanceTriangleMesh, EveryFailedAllocationWhileConstructingIsReported)
{
  int faults = 0;
  for (long n = 1; n < 200; ++n) {
    kexTest::ErrorCapture errors;
    kexTest::AllocationFault fault(n);
    KEXEnhanceTriangleMesh f;
    if (!fault.fired())
      break;
    ++faults;
    EXPECT_TRUE(errors.has(KEX::OutOfMemory)) << "allocation " << n;
    EXPECT_FALSE(f.removeCapTriangles()) << "a half-built filter without mesh fails cleanly";
  }
  EXPECT_GT(faults, 2);
}
