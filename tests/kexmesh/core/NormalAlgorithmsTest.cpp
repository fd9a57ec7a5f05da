// The normal algorithms of the frame: their parameter, and that each runs its buffer operation
// (their failures are swept with every other algorithm's).
#include "kexmesh/core/CalculateTriangleNormalsAlgorithm.h"
#include "kexmesh/core/CalculateVertexNormalsAlgorithm.h"
#include "kexmesh/core/HarmonizeTriangleNormalsAlgorithm.h"
#include "kexmesh/core/HarmonizeVertexNormalsAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace kexmeshtest;

namespace {
template <class A>
void expectLengthParameter()
{
  A a;
  EXPECT_EQ(a.getVectorLength(), 1.0f);
  EXPECT_FALSE(a.setVectorLength(-1.0f));
  EXPECT_FALSE(a.setVectorLength(std::nanf("")));
  EXPECT_EQ(a.getVectorLength(), 1.0f);
  EXPECT_TRUE(a.setVectorLength(0.0f));
  EXPECT_TRUE(a.setVectorLength(3.0f));
  A copy(a);
  EXPECT_EQ(copy.getVectorLength(), 3.0f);
  A assigned;
  assigned = a;
  EXPECT_EQ(assigned.getVectorLength(), 3.0f);
  KEXClass* clone = A::metaClass().clone(&a);
  ASSERT_NE(clone, nullptr);
  EXPECT_EQ(static_cast<A*>(clone)->getVectorLength(), 3.0f);
  A::metaClass().destruct(clone, true);
}
} // namespace

TEST(NormalAlgorithms, VectorLengthParameter)
{
  expectLengthParameter<KEXHarmonizeTriangleNormalsAlgorithm>();
  expectLengthParameter<KEXHarmonizeVertexNormalsAlgorithm>();
}

TEST(NormalAlgorithms, RunTheBufferOperations)
{
  const KEXTriangleMeshBuffer mesh = makeTorus(10, 6);
  KEXTriangleMeshBuffer direct = mesh, viaFrame = mesh;
  ASSERT_TRUE(direct.calculateVertexNormals());
  ASSERT_TRUE(runAlgorithm<KEXCalculateVertexNormalsAlgorithm>(viaFrame));
  ASSERT_TRUE(vertices(viaFrame) == vertices(direct));
  for (int v = 0; v < direct.getVertexCount(); ++v) {
    EXPECT_EQ(viaFrame.vertexNormalList[v], direct.vertexNormalList[v]);
  }

  KEXTriangleMeshBuffer tri = mesh;
  ASSERT_TRUE(runAlgorithm<KEXCalculateTriangleNormalsAlgorithm>(tri));
  for (int t = 0; t < tri.getTriangleCount(); ++t) {
    EXPECT_EQ(tri.triangleNormalList[t], direct.triangleNormalList[t]);
  }

  KEXHarmonizeTriangleNormalsAlgorithm ht;
  ht.setVectorLength(2.0f);
  ASSERT_TRUE(runAlgorithm(tri, ht));
  for (const Vec3& n : tri.triangleNormalList) {
    EXPECT_NEAR(n.length(), 2.0f, 1e-5f);
  }

  KEXHarmonizeVertexNormalsAlgorithm hv;
  ASSERT_TRUE(runAlgorithm(viaFrame, hv));
  for (const Vec3& n : viaFrame.vertexNormalList) {
    EXPECT_NEAR(n.length(), 1.0f, 1e-6f);
  }
}

