// The direct mesh access object: its corner pages against the triangle list, when it copies the
// mesh again, triangles with indices out of range, its lookup in the access list, and running
// short of memory while it builds.
#include "kex/Testing.h"
#include "kexmesh/access/TriangleMeshDirectAccess.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "support/AnalyzerSetup.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

using namespace kexmeshtest;

namespace {

const Vec3& corner(const KEXValueList<KEXTriangleMeshBuffer::Page>& pages, long long c)
{
  const int P = KEXTriangleMeshBuffer::PAGE_SIZE;
  return pages[int(c / P)][int(c % P)];
}

/// Every corner holds its vertex's position, or NaN for a triangle with an index out of range.
void expectCornersOf(const KEXTriangleMeshBuffer& pages, const KEXTriangleMeshBuffer& mesh)
{
  ASSERT_TRUE(pages.isConsistent() && vertices(pages) == vertices(mesh) && triangles(pages) == triangles(mesh));
  long long total = 0;
  for (int p = 0; p < pages.cornerVertexPages.getCount(); ++p) {
    EXPECT_LE(pages.cornerVertexPages[p].getCount(), KEXTriangleMeshBuffer::PAGE_SIZE);
    total += pages.cornerVertexPages[p].getCount();
  }
  ASSERT_EQ(total, 3LL * mesh.getTriangleCount());
  for (int t = 0; t < mesh.getTriangleCount(); ++t) {
    const Tri& tri = mesh.triangleList[t];
    const bool valid = mesh.isValidVertex(tri[0]) && mesh.isValidVertex(tri[1]) && mesh.isValidVertex(tri[2]);
    for (int k = 0; k < 3; ++k) {
      const Vec3& c = corner(pages.cornerVertexPages, 3LL * t + k);
      if (!valid) {
        EXPECT_TRUE(std::isnan(c.x) && std::isnan(c.y) && std::isnan(c.z)) << t;
        continue;
      }
      EXPECT_TRUE(std::memcmp(&c, &mesh.vertexList[tri[k]], sizeof(Vec3)) == 0) << "corner " << 3 * t + k;
      // The corner normal is the triangle's unit normal (or zero for a degenerate triangle).
      const Vec3& n = corner(pages.cornerNormalPages, 3LL * t + k);
      const KEXVector3<double> a(mesh.vertexList[tri[0]]),
          cross = (KEXVector3<double>(mesh.vertexList[tri[1]]) - a).cross(KEXVector3<double>(mesh.vertexList[tri[2]]) - a);
      if (cross.length() == 0.0)
        EXPECT_EQ(n, Vec3());
      else
        EXPECT_NEAR(KEXVector3<double>(n).dot(cross) / cross.length(), 1.0, 1e-6);
    }
  }
}

} // namespace

TEST(TriangleMeshDirectAccess, CornerPagesHoldEveryCornersPosition)
{
  std::mt19937 rng(17);
  KEXTriangleMeshBuffer meshes[] = {makeRandomMesh(rng, {50, 200, 0.1, 0.05, 0.02}),
                                    makeRandomMesh(rng, {3, 9, 0.3, 0.0, 0.3}), makeGrid(200, 100),
                                    makeBuffer({{0, 0, 0}, {1, 0, 0}}, {})};
  for (const KEXTriangleMeshBuffer& m : meshes) {
    AnalyzedMesh a(m);
    ASSERT_TRUE(a.ok());
    const KEXTriangleMeshBuffer* b = a.access()->getBuffer();
    ASSERT_NE(b, nullptr);
    expectCornersOf(*b, m);
  }
}

TEST(TriangleMeshDirectAccess, CopiesTheMeshAgainOnlyAfterItsListsChanged)
{
  KEXTriangleMeshBuffer m = makeIcosphere(1);
  AnalyzedMesh a(m);
  ASSERT_TRUE(a.ok());
  KEXTriangleMeshDirectAccess& access = *a.access();
  ASSERT_TRUE(access.getBuffer() && access.getBuffer());
  EXPECT_EQ(access.getBuildCount(), 1);
  Vec3 moved(4, 5, 6);
  ASSERT_TRUE(a.mesh().setVertexList(2, 2, &moved));
  m.vertexList[2] = moved;
  expectCornersOf(*access.getBuffer(), m);
  EXPECT_EQ(access.getBuildCount(), 2);
  Tri turned(m.triangleList[7][2], m.triangleList[7][1], m.triangleList[7][0]);
  ASSERT_TRUE(a.mesh().setTriangles(7, 7, &turned));
  m.triangleList[7] = turned;
  expectCornersOf(*access.getBuffer(), m);
  EXPECT_EQ(access.getBuildCount(), 3);
  // Writing the same value again is no change.
  ASSERT_TRUE(a.mesh().setTriangles(7, 7, &turned) && access.getBuffer());
  EXPECT_EQ(access.getBuildCount(), 3);
  access.setMesh(nullptr);
  EXPECT_EQ(access.getBuffer(), nullptr);
}

TEST(TriangleMeshDirectAccess, IsFoundInTheAccessListAmongOtherEntries)
{
  AnalyzedMesh a(makeTetrahedron(), false);
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(KEXTriangleMeshAccessIF::find(a.mesh()), nullptr);
  auto* other = static_cast<KEXTriangleMeshData*>(KEXTriangleMeshData::metaClass().create());
  ASSERT_NE(other, nullptr);
  KEXObjectLink stranger(other);
  other->release();
  auto* list = dynamic_cast<KEXValueArrayPropertyIF<KEXObjectLink>*>(a.mesh().getProperty(KEX::GeometryAccessList));
  ASSERT_NE(list, nullptr);
  ASSERT_TRUE(list->insertItem(0, stranger));
  EXPECT_EQ(KEXTriangleMeshAccessIF::find(a.mesh()), nullptr);
  KEXTriangleMeshDirectAccess* access = KEXTriangleMeshDirectAccess::attach(a.mesh());
  ASSERT_NE(access, nullptr);
  EXPECT_EQ(KEXTriangleMeshAccessIF::find(a.mesh()), access);
  EXPECT_EQ(access->getRefCount(), 1); // only the list holds it: no cycle with the mesh
  EXPECT_STREQ(access->getObjectID(0).getString(), "KEXTriangleMeshDirectAccess");
  EXPECT_STREQ(access->getObjectID(1).getString(), "KEXTriangleMeshAccessIF");
  EXPECT_EQ(KEXMetaClass::find("KEXTriangleMeshAccessIF"), &KEXTriangleMeshAccessIF::metaClass());
}

TEST(TriangleMeshDirectAccess, RunningShortOfMemoryGivesNoBufferAndALaterCallSucceeds)
{
  const KEXTriangleMeshBuffer m = makeGrid(200, 100); // two pages
  AnalyzedMesh a(m);
  ASSERT_TRUE(a.ok());
  KEXTriangleMeshDirectAccess& access = *a.access();
  int faults = 0;
  for (int n = 1;; ++n) {
    access.setMesh(&a.mesh()); // forget the last build
    const long live = kexTest::liveAllocations();
    const KEXTriangleMeshBuffer* b;
    bool fired;
    {
      kexTest::AllocationFault fault(n);
      b = access.getBuffer();
      fired = fault.fired();
    }
    if (!fired) {
      ASSERT_NE(b, nullptr);
      expectCornersOf(*b, m);
      break;
    }
    ++faults;
    EXPECT_TRUE(b == nullptr && kexTest::liveAllocations() <= live) << n; // the half-built copy is gone
    ASSERT_LT(n, 100);
  }
  EXPECT_GE(faults, 4); // vertices, triangles, page list, pages
}
