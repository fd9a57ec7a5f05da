// The triangle mesh object: validity, accessors, derived values, notifications, class identity and
// behaviour when memory runs short.
#include "kex/Testing.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/TriangleMeshReference.h"
#include "kexmesh/objects/Vector3ListOP.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

using Vec3 = KEXVector3<float>;
using Tri = KEXTriangle<int>;
using Box = KEXValuePair<Vec3>;

struct Recorder : KEXObject::Observer {
  std::vector<std::string> names;
  void propertyChanged(KEXObject&, KEXenum p) override { names.push_back(p.getString()); }
  int count(const char* n) const { return int(std::count(names.begin(), names.end(), std::string(n))); }
};

std::vector<Vec3> randomPoints(std::mt19937& rng, int n)
{
  std::uniform_real_distribution<float> u(-10.0f, 10.0f);
  std::vector<Vec3> p(n);
  for (Vec3& v : p)
    v = Vec3(u(rng), u(rng), u(rng));
  return p;
}

Box bruteForceBox(const std::vector<Vec3>& p)
{
  Box b(p[0], p[0]);
  for (const Vec3& v : p)
    for (int k = 0; k < 3; ++k) {
      b.first[k] = std::min(b.first[k], v[k]);
      b.second[k] = std::max(b.second[k], v[k]);
    }
  return b;
}

TEST(TriangleMesh, ValidityFollowsListLengths)
{
  KEXTriangleMeshData mesh;
  std::vector<Vec3> v = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}};
  std::vector<Tri> t = {{0, 1, 2}, {1, 3, 2}};
  ASSERT_TRUE(mesh.initVertices(4, v.data(), nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(mesh.initTriangles(2, t.data(), nullptr, nullptr));
  EXPECT_TRUE(mesh.isValid());
  EXPECT_EQ(mesh.getNumberOfTriangles(), 2);
  EXPECT_EQ(mesh.getVertexCount(), 4);

  std::vector<int> flags = {1, 0, 1, 0, 1, 1, 1};
  ASSERT_TRUE(mesh.initVertices(4, v.data(), nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(mesh.initArray<int>(KEX::VertexEdgeFlagList, 7, flags.data()));
  EXPECT_TRUE(mesh.isValid()) << "the edge flag list is not checked";

  std::vector<Vec3> normals(3, Vec3(0, 0, 1));
  ASSERT_TRUE(mesh.initVertexNormals(3, normals.data()));
  kexTest::ErrorCapture errors;
  EXPECT_FALSE(mesh.isValid());
  EXPECT_TRUE(errors.has(KEX::InvalidTriangleMesh, &mesh));
  EXPECT_FALSE(mesh.hasVertexNormals());
  EXPECT_EQ(mesh.getNumberOfTriangles(), -1);

  ASSERT_TRUE(mesh.initVertexNormals(4, std::vector<Vec3>(4, Vec3(0, 0, 1)).data()));
  EXPECT_TRUE(mesh.hasVertexNormals());
  EXPECT_FALSE(mesh.hasTriangleNormals());
  ASSERT_TRUE(mesh.initTriangleColors(1, std::vector<KEXRGBA<float>>(1).data()));
  EXPECT_FALSE(mesh.hasVertexNormals()) << "any inconsistent list makes the mesh invalid";
  ASSERT_TRUE(mesh.initTriangleColors(2, std::vector<KEXRGBA<float>>(2).data()));
  EXPECT_TRUE(mesh.hasTriangleColors());
}

TEST(TriangleMesh, DerivedValuesFollowAMovedVertex)
{
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    KEXTriangleMeshData mesh;
    int n = 3 + int(rng() % 60);
    std::vector<Vec3> v = randomPoints(rng, n);
    std::vector<Tri> t;
    for (int i = 0; i + 2 < n; ++i)
      t.push_back(Tri(i, i + 1, i + 2));
    ASSERT_TRUE(mesh.initVertices(n, v.data(), nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(mesh.initTriangles(int(t.size()), t.data(), nullptr, nullptr));

    Box box;
    ASSERT_TRUE(mesh.getBoundingBox(box));
    EXPECT_EQ(box, bruteForceBox(v));

    int moved = int(rng() % n);
    v[moved] = Vec3(100.0f + round, -50.0f, 3.0f);
    ASSERT_TRUE(mesh.setVertexList(moved, moved, &v[moved]));
    ASSERT_TRUE(mesh.getBoundingBox(box));
    EXPECT_EQ(box, bruteForceBox(v));

    KEXMatrix4<float> obb;
    ASSERT_TRUE(mesh.getValue(KEX::OrientedBoundingBox, obb));
    Vec3 lo = obb.transformPoint(Vec3(0, 0, 0)), hi = obb.transformPoint(Vec3(1, 1, 1));
    for (int k = 0; k < 3; ++k) {
      EXPECT_FLOAT_EQ(lo[k], box.first[k]);
      EXPECT_NEAR(hi[k], box.second[k], 1e-4f);
    }

    Vec3 msd, expected;
    ASSERT_TRUE(mesh.getValue(KEX::MeanSamplingDistance, msd));
    ASSERT_TRUE(KEXTriangleMeshBuffer::calculateMeanSamplingDistance(v.data(), n, t.data(), int(t.size()), expected));
    EXPECT_EQ(msd, expected);
  }
  KEXTriangleMeshData empty;
  Vec3 msd;
  EXPECT_FALSE(empty.getValue(KEX::MeanSamplingDistance, msd)) << "no vertices, no estimate";
}

TEST(TriangleMesh, DerivedValuesAreReadOnlyAndAnnouncedOnceUnderTheLock)
{
  KEXTriangleMeshData mesh;
  Box box;
  EXPECT_FALSE(mesh.setValue(KEX::BoundingBox, box));
  EXPECT_FALSE(mesh.setValue(KEX::MeanSamplingDistance, Vec3(1, 1, 1)));
  EXPECT_EQ(mesh.getProperty(KEX::BoundingBox)->getMeta(KEX::Quantity), KEX::Length);
  EXPECT_EQ(mesh.getProperty(KEX::MeanSamplingDistance)->getMeta(KEX::Quantity), KEX::Length);

  Recorder rec;
  mesh.addObserver(&rec);
  std::vector<Vec3> v = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  ASSERT_TRUE(mesh.initVertices(3, v.data(), nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(rec.count("VertexList"), 1);
  EXPECT_EQ(rec.count("BoundingBox"), 1);
  EXPECT_EQ(rec.count("OrientedBoundingBox"), 1);
  EXPECT_EQ(rec.count("MeanSamplingDistance"), 1);
  EXPECT_EQ(rec.names.front(), "VertexList");

  rec.names.clear();
  Tri t(0, 1, 2);
  ASSERT_TRUE(mesh.initTriangles(1, &t, nullptr, nullptr));
  EXPECT_EQ(rec.names, (std::vector<std::string>{"TriangleList", "MeanSamplingDistance"}));

  rec.names.clear();
  mesh.lock(KEX::PropertyMessage);
  for (int i = 0; i < 3; ++i) {
    Vec3 p(float(i), 5, 5);
    ASSERT_TRUE(mesh.setVertexList(i, i, &p));
    ASSERT_TRUE(mesh.setTriangles(0, 0, &t));
  }
  EXPECT_TRUE(rec.names.empty());
  mesh.unlock(KEX::PropertyMessage);
  EXPECT_EQ(rec.names, (std::vector<std::string>{"VertexList", "BoundingBox", "OrientedBoundingBox", "MeanSamplingDistance"}));

  // An equal write changes nothing and announces nothing.
  rec.names.clear();
  uint64_t stamp = mesh.getProperty(KEX::VertexList)->getModificationTime();
  Vec3 same(0, 5, 5);
  ASSERT_TRUE(mesh.setVertexList(0, 0, &same));
  EXPECT_TRUE(rec.names.empty());
  EXPECT_EQ(mesh.getProperty(KEX::VertexList)->getModificationTime(), stamp);
  mesh.removeObserver(&rec);
}

TEST(TriangleMesh, CopiesCarryEveryList)
{
  std::mt19937 rng(3);
  KEXTriangleMeshData mesh;
  std::vector<Vec3> v = randomPoints(rng, 20);
  std::vector<int> flags(20, 1);
  std::vector<Tri> t = {{0, 1, 2}, {3, 4, 5}};
  ASSERT_TRUE(mesh.initVertices(20, v.data(), v.data(), flags.data(), nullptr, nullptr));
  ASSERT_TRUE(mesh.initTriangles(2, t.data(), v.data(), nullptr));
  ASSERT_TRUE(mesh.setValue<const char*>(KEX::GeometryMaterial, "Mine"));
  KEXTriangleMeshData copy(mesh);
  KEXTriangleMeshData assigned;
  assigned = mesh;
  for (KEXTriangleMeshData* m : {&copy, &assigned}) {
    std::vector<Vec3> back(20);
    ASSERT_TRUE(m->getVertexNormals(0, 19, back.data()));
    EXPECT_EQ(back, v);
    std::vector<Tri> tb(2);
    ASSERT_TRUE(m->getTriangles(0, 1, tb.data()));
    EXPECT_EQ(tb, t);
    const char* text = nullptr;
    ASSERT_TRUE(m->getValue(KEX::GeometryMaterial, text));
    EXPECT_STREQ(text, "Mine");
    Box a, b;
    ASSERT_TRUE(m->getBoundingBox(a));
    ASSERT_TRUE(mesh.getBoundingBox(b));
    EXPECT_EQ(a, b) << "the copy has its own providers";
  }
}

TEST(TriangleMesh, ConstructionAndCopyUnderAllocationFailure)
{
  std::vector<Vec3> v(5, Vec3(1, 1, 1));
  KEXTriangleMeshData source;
  ASSERT_TRUE(source.initVertices(5, v.data(), v.data(), nullptr, nullptr, nullptr));
  long baseline = kexTest::liveAllocations();
  bool finished = false;
  for (long n = 1; n < 200 && !finished; ++n) {
    kexTest::ErrorCapture errors;
    {
      kexTest::AllocationFault fault(n);
      KEXTriangleMeshData mesh;
      KEXTriangleMeshData copy(source);
      if (fault.fired()) {
        EXPECT_GE(errors.count(), 1u) << "every failure is reported, n = " << n;
        for (const auto& e : errors.entries()) {
          EXPECT_TRUE(e.code == KEX::OutOfMemory || e.code == KEX::GenericError) << e.code.getString();
        }
      } else {
        finished = true;
        EXPECT_EQ(errors.count(), 0u);
        EXPECT_EQ(copy.getVertexCount(), 5);
      }
      // Whatever state it ended in, the object stays usable.
      Box box;
      mesh.getBoundingBox(box);
      mesh.isValid();
    }
    EXPECT_EQ(kexTest::liveAllocations(), baseline) << "n = " << n;
  }
  EXPECT_TRUE(finished);
}

} // namespace
