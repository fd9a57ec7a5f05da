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

TEST(TriangleMesh, InitArgumentsAndEmptying)
{
  KEXTriangleMeshData mesh;
  std::vector<Vec3> v(3, Vec3(1, 2, 3));
  std::vector<int> flags(3, 1);
  std::vector<KEXRGBA<float>> colors(3, KEXRGBA<float>(1, 0, 0));
  std::vector<KEXVector2<float>> tex(3);
  ASSERT_TRUE(mesh.initVertices(3, v.data(), v.data(), flags.data(), colors.data(), tex.data()));
  EXPECT_TRUE(mesh.hasVertexColors());
  EXPECT_TRUE(mesh.hasTextureCoordinates());
  EXPECT_FALSE(mesh.initVertices(-1, v.data(), nullptr, nullptr, nullptr, nullptr));
  EXPECT_FALSE(mesh.initVertices(2, nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(mesh.getVertexCount(), 3) << "refused arguments change nothing";

  ASSERT_TRUE(mesh.initVertices(0, nullptr, nullptr, nullptr, nullptr, nullptr));
  for (KEXenum name : {KEX::VertexList, KEX::VertexNormalList, KEX::VertexEdgeFlagList, KEX::VertexColorList,
                       KEX::TextureCoordinateList}) {
    auto* p = dynamic_cast<KEXProperty*>(mesh.getProperty(name));
    ASSERT_NE(p, nullptr);
    int first = 1, last = 1;
    bool read = mesh.getIndexRange<Vec3>(name, first, last) || mesh.getIndexRange<int>(name, first, last) ||
                mesh.getIndexRange<KEXRGBA<float>>(name, first, last) ||
                mesh.getIndexRange<KEXVector2<float>>(name, first, last);
    ASSERT_TRUE(read) << name.getString();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, -1) << name.getString();
  }

  kexTest::ErrorCapture errors;
  EXPECT_FALSE(mesh.initTriangles(-1, nullptr, nullptr, nullptr));
  EXPECT_FALSE(mesh.initTriangles(1, nullptr, nullptr, nullptr));
  EXPECT_EQ(errors.count(), 2u);
  EXPECT_TRUE(errors.has(KEX::InvalidValue, &mesh));
  EXPECT_TRUE(mesh.initTriangles(0, nullptr, nullptr, nullptr));
}

TEST(TriangleMesh, AccessorsRoundTripAndRefuseOutsideRanges)
{
  std::mt19937 rng(7);
  KEXTriangleMeshData mesh;
  std::vector<Vec3> v = randomPoints(rng, 50);
  std::vector<Tri> t(30);
  std::uniform_int_distribution<int> idx(0, 49);
  for (Tri& x : t)
    x = Tri(idx(rng), idx(rng), idx(rng));
  ASSERT_TRUE(mesh.initVertices(50, v.data(), v.data(), nullptr, nullptr, nullptr));
  ASSERT_TRUE(mesh.initTriangles(30, t.data(), nullptr, nullptr));
  std::vector<Vec3> back(50);
  ASSERT_TRUE(mesh.getVertexList(0, 49, back.data()));
  EXPECT_EQ(back, v);
  ASSERT_TRUE(mesh.getVertexNormals(10, 19, back.data()));
  EXPECT_EQ(back[0], v[10]);
  std::vector<Tri> tb(30);
  ASSERT_TRUE(mesh.getTriangles(0, 29, tb.data()));
  EXPECT_EQ(tb, t);
  EXPECT_FALSE(mesh.getTriangles(20, 30, tb.data()));
  EXPECT_FALSE(mesh.setVertexList(49, 50, v.data()));
  EXPECT_FALSE(mesh.setVertexColors(0, 0, nullptr)) << "empty colour list";
  Tri changed(1, 2, 3);
  ASSERT_TRUE(mesh.setTriangles(5, 5, &changed));
  ASSERT_TRUE(mesh.getTriangles(5, 5, tb.data()));
  EXPECT_EQ(tb[0], changed);

  // Triangle items compare component by component in order.
  auto* list = dynamic_cast<KEXValueArrayPropertyIF<Tri>*>(mesh.getProperty(KEX::TriangleList));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->compare(Tri(1, 2, 3), Tri(1, 2, 3)), 0);
  EXPECT_NE(list->compare(Tri(1, 2, 3), Tri(2, 3, 1)), 0) << "a rotated triangle differs";
  EXPECT_LT(list->compare(Tri(1, 2, 3), Tri(1, 3, 0)), 0);
  EXPECT_EQ(list->findItem(changed), 5);
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

TEST(TriangleMesh, RenderingPropertiesAndClassIdentity)
{
  __kexmesh_enum_init();
  const KEXMetaClass* cls = KEXMetaClass::find("KEXTriangleMeshData");
  ASSERT_NE(cls, nullptr);
  EXPECT_TRUE(cls->isOfType(KEXTriangleMesh::metaClass()));
  auto* mesh = static_cast<KEXTriangleMeshData*>(cls->create());
  ASSERT_NE(mesh, nullptr);
  EXPECT_EQ(KEXTriangleMesh::metaClass().create(), nullptr) << "the base is abstract";

  const char* expected[] = {"GeometryRenderer",      "GeometryMaterial", "BoundingBox",      "OrientedBoundingBox",
                            "MeanSamplingDistance",  "GeometryAccessList", "VertexList",     "VertexNormalList",
                            "VertexColorList",       "VertexEdgeFlagList", "TextureCoordinateList", "TriangleList",
                            "TriangleNormalList",    "TriangleColorList"};
  ASSERT_EQ(mesh->getPropertyCount(), 14);
  for (int i = 0; i < 14; ++i) {
    EXPECT_STREQ(mesh->getPropertyName(i).getString(), expected[i]);
  }
  EXPECT_EQ(mesh->getProperty(KEX::VertexList)->getProtectedFlags() & 16u, 16u);
  EXPECT_EQ(mesh->getProperty(KEX::GeometryRenderer)->getFlags() & 0x80000000u, 0x80000000u);
  EXPECT_EQ(mesh->getProtectedFlags() & 0x110100u, 0x110100u);

  const char* text = nullptr;
  ASSERT_TRUE(mesh->getValue(KEX::GeometryRenderer, text));
  EXPECT_STREQ(text, "KEXTriangleMeshDriverGL");
  ASSERT_TRUE(mesh->getValue(KEX::GeometryMaterial, text));
  EXPECT_STREQ(text, "KEXGeometryColorMaterial");
  ASSERT_TRUE(mesh->setValue<const char*>(KEX::GeometryRenderer, "Other"));
  ASSERT_TRUE(mesh->getProperty(KEX::GeometryRenderer)->reset());
  ASSERT_TRUE(mesh->getValue(KEX::GeometryRenderer, text));
  EXPECT_STREQ(text, "KEXTriangleMeshDriverGL");

  EXPECT_STREQ(mesh->getObjectID(0).getString(), "KEXTriangleMeshData");
  EXPECT_STREQ(mesh->getObjectID(1).getString(), "KEXTriangleMesh");
  EXPECT_STREQ(mesh->getObjectID(2).getString(), "KEXGeometry");
  EXPECT_STREQ(mesh->getObjectID(3).getString(), "KEXObject");
  EXPECT_TRUE(kexTest::enumRegistered("KEXTriangleMeshData", "kexmesh"));
  EXPECT_EQ(kexTest::enumRegistrationCount("KEXTriangleMesh", "kexmesh"), 1);

  // The access list holds its objects alive until the mesh goes.
  auto* access = new KEXTriangleMeshReference;
  KEXObjectLink link(access);
  ASSERT_TRUE(mesh->initArray<KEXObjectLink>(KEX::GeometryAccessList, 1, &link));
  link = KEXObjectLink();
  access->release();
  EXPECT_EQ(access->getRefCount(), 1);
  mesh->release(); // destroys the mesh and, with it, the access object (ASan checks)
}

TEST(TriangleMesh, ReferenceMeshUsesWhateverListsItIsGiven)
{
  KEXTriangleMeshReference ref;
  EXPECT_EQ(ref.getVertexCount(), 0);
  EXPECT_TRUE(ref.isValid());
  EXPECT_STREQ(ref.getObjectID(0).getString(), "KEXTriangleMeshReference");
  KEXTriangleMeshBuffer buffer = kexmeshtest::makeCube();
  ASSERT_TRUE(ref.toBuffer(buffer));
  EXPECT_EQ(buffer.getVertexCount(), 0) << "no lists convert to an empty buffer";
  EXPECT_EQ(buffer.getTriangleCount(), 0);
  Vec3 p(1, 2, 3);
  EXPECT_FALSE(ref.initVertices(1, &p, nullptr, nullptr, nullptr, nullptr));

  KEXVector3ListOP vertices;
  ASSERT_EQ(ref.addProperty(KEX::VertexList, &vertices), KEX::NoError);
  EXPECT_TRUE(ref.initVertices(1, &p, nullptr, nullptr, nullptr, nullptr)) << "emptying a missing list succeeds";
  EXPECT_EQ(ref.getVertexCount(), 1);
  ASSERT_TRUE(ref.toBuffer(buffer));
  ASSERT_EQ(buffer.getVertexCount(), 1);
  EXPECT_EQ(buffer.vertexList[0], p);
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
