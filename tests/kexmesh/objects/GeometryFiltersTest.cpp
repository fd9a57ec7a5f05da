// The transform filter against a straightforward computation on random affine matrices, bad
// matrices refused; the normals filter's vector length; failing steps of both writing nothing.
#include "kexmesh/objects/ModifyTriangleMesh.h"
#include "kexmesh/objects/TransformTriangleMesh.h"
#include "kex/Testing.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "support/FilterChecks.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

using namespace kexmeshtest;
using Matrix = KEXMatrix4<float>;

namespace {

Matrix randomAffine(std::mt19937& rng)
{
  std::uniform_real_distribution<float> u(-2.0f, 2.0f);
  for (;;) {
    Matrix m(1.0f);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c)
        m(r, c) = u(rng);
    if (std::fabs(KEXMatrix4<double>(m).determinant()) > 0.1)
      return m;
  }
}

// p' = M (p, 1), straightforwardly in double; for a normal the cofactor form of the inverse
// transpose of M's 3x3 part (the same direction and, divided by det, the same length).
Vec3 applyPoint(const Matrix& m, const Vec3& p)
{
  auto row = [&](int r) { return float(double(m(r, 0)) * p.x + double(m(r, 1)) * p.y + double(m(r, 2)) * p.z + m(r, 3)); };
  return Vec3(row(0), row(1), row(2));
}

Vec3 applyNormal(const Matrix& m, const Vec3& n)
{
  auto a = [&](int r, int c) { return double(m(r, c)); };
  double cof[3][3];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      const int r1 = (r + 1) % 3, r2 = (r + 2) % 3, c1 = (c + 1) % 3, c2 = (c + 2) % 3;
      cof[r][c] = a(r1, c1) * a(r2, c2) - a(r1, c2) * a(r2, c1);
    }
  const double det = a(0, 0) * cof[0][0] + a(0, 1) * cof[0][1] + a(0, 2) * cof[0][2];
  auto row = [&](int r) { return float((cof[r][0] * n.x + cof[r][1] * n.y + cof[r][2] * n.z) / det); };
  return Vec3(row(0), row(1), row(2));
}

void expectNear(const KEXValueList<Vec3>& got, const std::vector<Vec3>& want)
{
  ASSERT_EQ(size_t(got.getCount()), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const Vec3 g = got[int(i)], w = want[i];
    const double scale = 1e-5 * (1.0 + std::fabs(w.x) + std::fabs(w.y) + std::fabs(w.z));
    EXPECT_LE(std::max({std::fabs(g.x - w.x), std::fabs(g.y - w.y), std::fabs(g.z - w.z)}), scale) << i;
  }
}

} // namespace

TEST(TransformTriangleMesh, FilterAppliesTheSetMatrixToPointsAndNormals)
{
  std::mt19937 rng(21);
  for (int trial = 0; trial < 12; ++trial) {
    SCOPED_TRACE(trial);
    KEXTriangleMeshBuffer b = trial % 2 ? makeTorus(9, 6) : makeIcosphere(2);
    ASSERT_TRUE(b.calculateVertexNormals()); // and the triangle normals
    b.vertexAdjacencyList.clear();
    b.triangleAngleList.clear();
    KEXTriangleMeshData mesh;
    ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &b));
    KEXTransformTriangleMesh f;
    ASSERT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
    KEXAction* filter = f.getAction(KEX::Filter);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->checkExecute(nullptr), KEX::NoError);
    if (trial == 0) { // the default changes nothing
      const KEXTriangleMeshBuffer before = bufferOf(mesh);
      ASSERT_TRUE(filter->execute(nullptr));
      EXPECT_TRUE(sameBuffer(bufferOf(mesh), before));
    }
    const Matrix m = randomAffine(rng);
    ASSERT_TRUE(f.setTransformMatrix(m));
    ASSERT_TRUE(filter->execute(nullptr));
    const KEXTriangleMeshBuffer out = bufferOf(mesh);
    std::vector<Vec3> points, vertexNormals, triangleNormals;
    for (const Vec3& p : b.vertexList)
      points.push_back(applyPoint(m, p));
    for (const Vec3& n : b.vertexNormalList)
      vertexNormals.push_back(applyNormal(m, n));
    for (const Vec3& n : b.triangleNormalList)
      triangleNormals.push_back(applyNormal(m, n));
    expectNear(out.vertexList, points);
    expectNear(out.vertexNormalList, vertexNormals);
    expectNear(out.triangleNormalList, triangleNormals);
    EXPECT_EQ(triangles(out), triangles(b));
    f.setValue(KEX::Geometry, KEXObjectLink());
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
  EXPECT_NE(filter->checkExecute(nullptr), KEX::NoError);
  EXPECT_FALSE(filter->execute(nullptr));

  KEXTriangleMeshBuffer b = makeCube();
  ASSERT_TRUE(b.triangleNormalList.setCount(5, Vec3(0, 0, 1))); // not one per triangle
  KEXTriangleMeshData mesh;
  ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &b));
  const KEXTriangleMeshBuffer before = bufferOf(mesh);
  ASSERT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  ASSERT_TRUE(f.setTransformMatrix(Matrix::createTranslationMatrix(1, 2, 3)));
  EXPECT_FALSE(filter->execute(nullptr));
  EXPECT_TRUE(sameBuffer(bufferOf(mesh), before));
  f.setValue(KEX::Geometry, KEXObjectLink());
  EXPECT_GT(sweepConstructionFaults<KEXTransformTriangleMesh>(), 2);
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
        EXPECT_NEAR(std::sqrt(double(n.x) * n.x + double(n.y) * n.y + double(n.z) * n.z), target, 1e-5 * target);
      EXPECT_EQ(vertices(out), vertices(sphere));
      f.setValue(KEX::Geometry, KEXObjectLink());
    }
  }
}

TEST(ModifyTriangleMesh, FailuresLeaveTheMeshUnchanged)
{
  KEXTriangleMeshData mesh;
  KEXModifyTriangleMesh f;
  ASSERT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  // Inconsistent lists: a vertex normal list of the wrong length.
  KEXTriangleMeshBuffer bad = makeCube();
  ASSERT_TRUE(bad.vertexNormalList.setCount(2, Vec3(0, 0, 1)));
  ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &bad));
  const KEXTriangleMeshBuffer inconsistent = bufferOf(mesh);
  EXPECT_FALSE(f.calculateTriangleNormals());
  EXPECT_FALSE(f.harmonizeVertexNormals());
  EXPECT_TRUE(sameBuffer(bufferOf(mesh), inconsistent));
  f.setValue(KEX::Geometry, KEXObjectLink());
  EXPECT_FALSE(f.calculateVertexNormals()); // no mesh linked
  EXPECT_GT(sweepConstructionFaults<KEXModifyTriangleMesh>(), 2);
}
