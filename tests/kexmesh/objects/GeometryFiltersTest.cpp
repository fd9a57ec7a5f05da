// The transform filter against its three algorithms run straight on random affine matrices, bad
// matrices refused; the normals filter's vector length; failing steps of both writing nothing.
#include "kexmesh/objects/ModifyTriangleMesh.h"
#include "kexmesh/objects/TransformTriangleMesh.h"
#include "kex/Testing.h"
#include "kexmesh/core/TransformTriangleNormalListAlgorithm.h"
#include "kexmesh/core/TransformVertexListAlgorithm.h"
#include "kexmesh/core/TransformVertexNormalListAlgorithm.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "support/AlgorithmSweeps.h"
#include "support/FilterChecks.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

using namespace kexmeshtest;
using Matrix = KEXMatrix4<float>;

namespace {

Matrix randomAffine(std::mt19937& rng)
{
  std::uniform_real_distribution<float> u(-2.0f, 2.0f);
  Matrix m(1.0f);
  do
    for (int i = 0; i < 12; ++i)
      m(i / 4, i % 4) = u(rng);
  while (std::fabs(KEXMatrix4<double>(m).determinant()) <= 0.1);
  return m;
}

// The three transform algorithms run on b straight (their own tests hold them against a reference):
// what the filter has to give when it hands each the matrix set.
KEXTriangleMeshBuffer transformed(KEXTriangleMeshBuffer b, const Matrix& m)
{
  KEXTransformVertexListAlgorithm points;
  KEXTransformVertexNormalListAlgorithm vertexNormals;
  KEXTransformTriangleNormalListAlgorithm triangleNormals;
  EXPECT_TRUE(points.setTransformMatrix(m) && vertexNormals.setTransformMatrix(m) && triangleNormals.setTransformMatrix(m));
  EXPECT_TRUE(runAlgorithm(b, points) && runAlgorithm(b, vertexNormals) && runAlgorithm(b, triangleNormals));
  return b;
}

/// A mesh object holding b, linked as the filter's Geometry for the object's lifetime.
struct Linked {
  KEXTriangleMeshData mesh;
  KEXObject& filter;
  Linked(KEXObject& f, const KEXTriangleMeshBuffer& b) : filter(f)
  {
    EXPECT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &b) && f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  }
  ~Linked() { filter.setValue(KEX::Geometry, KEXObjectLink()); }
};

} // namespace

TEST(TransformTriangleMesh, FilterAppliesTheSetMatrixToPointsAndNormals)
{
  std::mt19937 rng(21);
  for (int trial = 0; trial < 12; ++trial) {
    SCOPED_TRACE(trial);
    KEXTriangleMeshBuffer b = trial % 2 ? makeTorus(9, 6) : makeIcosphere(2);
    ASSERT_TRUE(b.calculateVertexNormals()); // and the triangle normals
    b.vertexAdjacencyList.clear(), b.triangleAngleList.clear();
    KEXTransformTriangleMesh f;
    Linked linked(f, b);
    KEXAction* filter = f.getAction(KEX::Filter);
    ASSERT_TRUE(filter && filter->checkExecute(nullptr) == KEX::NoError);
    if (trial == 0) { // the default changes nothing
      const KEXTriangleMeshBuffer before = bufferOf(linked.mesh);
      ASSERT_TRUE(filter->execute(nullptr));
      EXPECT_TRUE(sameBuffer(bufferOf(linked.mesh), before));
    }
    const Matrix m = randomAffine(rng);
    ASSERT_TRUE(f.setTransformMatrix(m) && filter->execute(nullptr));
    const KEXTriangleMeshBuffer out = bufferOf(linked.mesh), want = transformed(b, m);
    EXPECT_TRUE(sameBits(out.vertexList, want.vertexList) && sameBits(out.vertexNormalList, want.vertexNormalList) &&
                sameBits(out.triangleNormalList, want.triangleNormalList) && triangles(out) == triangles(b));
    EXPECT_FALSE(sameBits(out.vertexNormalList, b.vertexNormalList) || sameBits(out.triangleNormalList, b.triangleNormalList));
  }
}

TEST(TransformTriangleMesh, BadMatricesAreRefusedAndWithoutMeshOrWithBadListsNothingIsWritten)
{
  KEXTransformTriangleMesh f;
  const Matrix scale = Matrix::createScaleMatrix(2, 3, 4);
  ASSERT_TRUE(f.setTransformMatrix(scale));
  Matrix nan = scale, inf = scale;
  nan(1, 3) = std::numeric_limits<float>::quiet_NaN();
  inf(3, 3) = std::numeric_limits<float>::infinity();
  for (const Matrix& bad : {Matrix::createScaleMatrix(1, 0, 1), Matrix::createScaleMatrix(1e-6f, 1e-6f, 1e-6f), nan, inf}) {
    EXPECT_FALSE(f.setValue(KEX::TransformMatrix, bad));
    EXPECT_EQ(f.getTransformMatrix(), scale);
  }
  KEXAction* filter = f.getAction(KEX::Filter);
  ASSERT_NE(filter, nullptr);
  EXPECT_TRUE(filter->checkExecute(nullptr) != KEX::NoError && !filter->execute(nullptr)) << "no mesh";
  KEXTriangleMeshBuffer b = makeCube();
  ASSERT_TRUE(b.triangleNormalList.setCount(5, Vec3(0, 0, 1))); // not one per triangle
  {
    Linked linked(f, b);
    const KEXTriangleMeshBuffer before = bufferOf(linked.mesh);
    ASSERT_TRUE(f.setTransformMatrix(Matrix::createTranslationMatrix(1, 2, 3)));
    EXPECT_FALSE(filter->execute(nullptr));
    EXPECT_TRUE(sameBuffer(bufferOf(linked.mesh), before));
  }
  EXPECT_GT(sweepConstructionFaults<KEXTransformTriangleMesh>(), 2);
}

TEST(ModifyTriangleMesh, TheVectorLengthReachesBothHarmonizeActions)
{
  const KEXTriangleMeshBuffer sphere = makeIcosphere(2, Vec3(0, 0, 0), 3.0f);
  for (bool vertexNormals : {true, false})
    for (float target : {1.0f, 0.25f, 3.5f}) {
      SCOPED_TRACE(::testing::Message() << (vertexNormals ? "vertex" : "triangle") << " normals, length " << target);
      KEXModifyTriangleMesh f;
      Linked linked(f, sphere);
      ASSERT_TRUE(f.setVectorLength(target) && (vertexNormals ? f.calculateVertexNormals() : f.calculateTriangleNormals()));
      ASSERT_TRUE(vertexNormals ? f.harmonizeVertexNormals() : f.harmonizeTriangleNormals());
      const KEXTriangleMeshBuffer out = bufferOf(linked.mesh);
      const KEXValueList<Vec3>& normals = vertexNormals ? out.vertexNormalList : out.triangleNormalList;
      ASSERT_EQ(normals.getCount(), vertexNormals ? out.getVertexCount() : out.getTriangleCount());
      for (const Vec3& n : normals)
        EXPECT_NEAR(std::sqrt(double(n.x) * n.x + double(n.y) * n.y + double(n.z) * n.z), target, 1e-5 * target);
      EXPECT_EQ(vertices(out), vertices(sphere));
    }
}

TEST(ModifyTriangleMesh, FailuresLeaveTheMeshUnchanged)
{
  KEXModifyTriangleMesh f;
  KEXTriangleMeshBuffer bad = makeCube(); // inconsistent lists: a vertex normal list of the wrong length
  ASSERT_TRUE(bad.vertexNormalList.setCount(2, Vec3(0, 0, 1)));
  {
    Linked linked(f, bad);
    const KEXTriangleMeshBuffer inconsistent = bufferOf(linked.mesh);
    EXPECT_FALSE(f.calculateTriangleNormals() || f.harmonizeVertexNormals());
    EXPECT_TRUE(sameBuffer(bufferOf(linked.mesh), inconsistent));
  }
  EXPECT_FALSE(f.calculateVertexNormals()); // no mesh linked
  EXPECT_GT(sweepConstructionFaults<KEXModifyTriangleMesh>(), 2);
}
