// The normals filter: its VectorLength (range, reset, copies) and that the length reaches both
// harmonize actions, the four actions on a mesh object, failures leaving the object unchanged, the
// operations it does not offer, and failed allocations while constructing.
#include "kexmesh/objects/ModifyTriangleMesh.h"
#include "kex/Testing.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "support/FilterChecks.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace kexmeshtest;

namespace {

std::vector<std::string> actionNames(const KEXObject& o)
{
  std::vector<std::string> names;
  for (int i = 0; i < o.getActionCount(); ++i)
    names.emplace_back(o.getActionName(i).getString());
  return names;
}

double length(const Vec3& v) { return std::sqrt(double(v.x) * v.x + double(v.y) * v.y + double(v.z) * v.z); }

} // namespace

TEST(ModifyTriangleMesh, VectorLengthIdentityAndActions)
{
  KEXModifyTriangleMesh f;
  EXPECT_STREQ(f.getObjectID(0).getString(), "KEXModifyTriangleMesh");
  EXPECT_STREQ(f.getObjectID(1).getString(), "KEXTriangleMeshFilter");
  EXPECT_EQ(actionNames(f), (std::vector<std::string>{"CalculateVertexNormals", "HarmonizeVertexNormals",
                                                      "CalculateTriangleNormals", "HarmonizeTriangleNormals"}));
  EXPECT_EQ(f.getVectorLength(), 1.0f);
  for (float bad : {-0.5f, -1e-30f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    EXPECT_FALSE(f.setVectorLength(bad)) << bad;
    EXPECT_EQ(f.getVectorLength(), 1.0f);
  }
  EXPECT_TRUE(f.setVectorLength(0.0f));
  EXPECT_TRUE(f.setValue(KEX::VectorLength, 2.5f));
  EXPECT_EQ(f.getVectorLength(), 2.5f);
  KEXModifyTriangleMesh copy(f);
  EXPECT_EQ(copy.getVectorLength(), 2.5f);
  ASSERT_TRUE(f.getProperty(KEX::VectorLength)->reset());
  EXPECT_EQ(f.getVectorLength(), 1.0f);
  copy = f;
  EXPECT_EQ(copy.getVectorLength(), 1.0f);
}

TEST(ModifyTriangleMesh, TheVectorLengthReachesBothHarmonizeActions)
{
  for (bool vertexNormals : {true, false}) {
    for (float target : {1.0f, 0.25f, 3.5f}) {
      SCOPED_TRACE(::testing::Message() << (vertexNormals ? "vertex" : "triangle") << " normals, length " << target);
      KEXTriangleMeshData mesh;
      const KEXTriangleMeshBuffer sphere = makeIcosphere(2, Vec3(0, 0, 0), 3.0f);
      ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &sphere));
      KEXModifyTriangleMesh f;
      ASSERT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
      ASSERT_TRUE(f.setVectorLength(target));
      ASSERT_TRUE(vertexNormals ? f.calculateVertexNormals() : f.calculateTriangleNormals());
      ASSERT_TRUE(vertexNormals ? f.harmonizeVertexNormals() : f.harmonizeTriangleNormals());
      const KEXTriangleMeshBuffer out = bufferOf(mesh);
      const KEXValueList<Vec3>& normals = vertexNormals ? out.vertexNormalList : out.triangleNormalList;
      ASSERT_EQ(normals.getCount(), vertexNormals ? out.getVertexCount() : out.getTriangleCount());
      for (const Vec3& n : normals)
        EXPECT_NEAR(length(n), target, 1e-5 * target);
      EXPECT_EQ(vertices(out), vertices(sphere));
      f.setValue(KEX::Geometry, KEXObjectLink());
    }
  }
}

TEST(ModifyTriangleMesh, FailuresAndUnofferedOperationsLeaveTheMeshUnchanged)
{
  KEXTriangleMeshData mesh;
  const KEXTriangleMeshBuffer four = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0, 0, 1}},
                                                {{0, 1, 2}, {1, 3, 2}, {0, 4, 1}, {0, 2, 4}});
  ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &four));
  KEXModifyTriangleMesh f;
  ASSERT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  ASSERT_TRUE(f.calculateTriangleNormals());
  EXPECT_EQ(bufferOf(mesh).triangleNormalList.getCount(), 4);

  const KEXTriangleMeshBuffer before = bufferOf(mesh);
  for (auto op : {&KEXModifyTriangleMesh::discardVertexNormals, &KEXModifyTriangleMesh::discardTriangleNormals,
                  &KEXModifyTriangleMesh::calculateVertexColors, &KEXModifyTriangleMesh::discardVertexColors,
                  &KEXModifyTriangleMesh::calculateTriangleColors, &KEXModifyTriangleMesh::discardTriangleColors})
    EXPECT_FALSE((f.*op)());
  EXPECT_TRUE(sameBuffer(bufferOf(mesh), before));

  // Inconsistent lists: a vertex normal list of the wrong length.
  KEXTriangleMeshBuffer bad(four);
  ASSERT_TRUE(bad.vertexNormalList.setCount(2, Vec3(0, 0, 1)));
  ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &bad));
  const KEXTriangleMeshBuffer inconsistent = bufferOf(mesh);
  EXPECT_FALSE(f.calculateTriangleNormals());
  EXPECT_FALSE(f.harmonizeVertexNormals());
  EXPECT_TRUE(sameBuffer(bufferOf(mesh), inconsistent));
  f.setValue(KEX::Geometry, KEXObjectLink());
  EXPECT_FALSE(f.calculateVertexNormals()); // no mesh linked
}

TEST(ModifyTriangleMesh, EveryFailedAllocationWhileConstructingIsReported)
{
  EXPECT_GT(sweepConstructionFaults<KEXModifyTriangleMesh>(), 2);
}
