// The transform filter: the matrix property's checks, the action order, that a set matrix is
// applied by the Filter sequence (points by the matrix, normals by its inverse transpose, against a
// straightforward computation on random affine matrices), that the default changes nothing, that a
// failing step writes nothing, and failed allocations while constructing.
#include "kexmesh/objects/TransformTriangleMesh.h"
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
#include <random>
#include <string>
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
  double out[3];
  for (int r = 0; r < 3; ++r)
    out[r] = double(m(r, 0)) * p.x + double(m(r, 1)) * p.y + double(m(r, 2)) * p.z + m(r, 3);
  return Vec3(float(out[0]), float(out[1]), float(out[2]));
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
  double out[3];
  for (int r = 0; r < 3; ++r)
    out[r] = (cof[r][0] * n.x + cof[r][1] * n.y + cof[r][2] * n.z) / det;
  return Vec3(float(out[0]), float(out[1]), float(out[2]));
}

void expectNear(const KEXValueList<Vec3>& got, const std::vector<Vec3>& want)
{
  ASSERT_EQ(size_t(got.getCount()), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const Vec3 g = got[int(i)], w = want[i];
    const double scale = 1e-5 * (1.0 + std::fabs(w.x) + std::fabs(w.y) + std::fabs(w.z));
    EXPECT_NEAR(g.x, w.x, scale) << i;
    EXPECT_NEAR(g.y, w.y, scale) << i;
    EXPECT_NEAR(g.z, w.z, scale) << i;
  }
}

} // namespace

TEST(TransformTriangleMesh, MatrixPropertyIdentityAndActions)
{
  KEXTransformTriangleMesh f;
  EXPECT_STREQ(f.getObjectID(0).getString(), "KEXTransformTriangleMesh");
  std::vector<std::string> actions;
  for (int i = 0; i < f.getActionCount(); ++i)
    actions.emplace_back(f.getActionName(i).getString());
  EXPECT_EQ(actions, (std::vector<std::string>{"Filter", "TransformTriangleNormalList", "TransformVertexList",
                                               "TransformVertexNormalList"}));
  EXPECT_EQ(f.getTransformMatrix(), Matrix(1.0f));

  const Matrix scale = Matrix::createScaleMatrix(2, 3, 4);
  ASSERT_TRUE(f.setTransformMatrix(scale));
  Matrix singular = Matrix::createScaleMatrix(1, 0, 1);
  Matrix tiny = Matrix::createScaleMatrix(1e-6f, 1e-6f, 1e-6f); // |det| 1e-18
  Matrix nan = scale;
  nan(1, 3) = std::numeric_limits<float>::quiet_NaN();
  Matrix inf = scale;
  inf(3, 3) = std::numeric_limits<float>::infinity();
  for (const Matrix& bad : {singular, tiny, nan, inf}) {
    EXPECT_FALSE(f.setTransformMatrix(bad));
    EXPECT_FALSE(f.setValue(KEX::TransformMatrix, bad));
    EXPECT_EQ(f.getTransformMatrix(), scale);
  }
  EXPECT_FALSE(f.setVectorLength(-0.5f));
  EXPECT_EQ(f.getVectorLength(), 1.0f);
  KEXTransformTriangleMesh copy(f);
  EXPECT_EQ(copy.getTransformMatrix(), scale);
  ASSERT_TRUE(f.getProperty(KEX::TransformMatrix)->reset());
  EXPECT_EQ(f.getTransformMatrix(), Matrix(1.0f));
  copy = f;
  EXPECT_EQ(copy.getTransformMatrix(), Matrix(1.0f));
}

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

TEST(TransformTriangleMesh, WithoutMeshOrWithBadListsNothingIsWritten)
{
  KEXTransformTriangleMesh f;
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
}

TEST(TransformTriangleMesh, EveryFailedAllocationWhileConstructingIsReported)
{
  EXPECT_GT(sweepConstructionFaults<KEXTransformTriangleMesh>(), 2);
}
