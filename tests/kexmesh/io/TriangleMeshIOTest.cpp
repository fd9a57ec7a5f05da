#include "kexmesh/io/TriangleMeshIO.h"

#include "kex/Object.h"
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <gtest/gtest.h>

namespace {

// The base is abstract: a handler of its own shows what every handler inherits.
class NullHandler : public KEXTriangleMeshIO {
public:
  using KEXTriangleMeshIO::isValid;
};

} // namespace

TEST(TriangleMeshIO, RegisteredAbstractBaseWithItsRole)
{
  const KEXMetaClass* meta = KEXMetaClass::find("KEXTriangleMeshIO");
  ASSERT_NE(meta, nullptr);
  EXPECT_TRUE(meta->isOfType(KEXGeometryIO::metaClass()));
  EXPECT_STREQ(meta->getParent()->getClassName(), "KEXGeometryIO");
  EXPECT_EQ(meta->create(), nullptr);
  EXPECT_TRUE(KEXTriangleMeshIO::registerRole());
  EXPECT_TRUE(KEXTriangleMeshIO::registerRole()); // later calls return at once
  KEXenum role("TriangleMeshIO");
  EXPECT_TRUE(KEXObject::RoleManager::hasRole(role));
  EXPECT_EQ(KEXObject::RoleManager::getParentRole(role), KEX::GeometryIO);
  EXPECT_TRUE(KEXObject::RoleManager::hasRoleInterface(role));
  EXPECT_EQ(KEXObject::RoleManager::getDefaultRole(meta), role);
}

TEST(TriangleMeshIO, FlagsPrivatePartAndDefaultEntryPoints)
{
  NullHandler h;
  EXPECT_TRUE(h.isValid());
  EXPECT_EQ(h.getProtectedFlags() & 0x110100u, 0x110100u);
  KEXTriangleMeshBuffer b;
  KEXGeometryIO::Report r;
  EXPECT_FALSE(h.readBuffer("x.ply", b, r));
  EXPECT_EQ(r.kind, KEXGeometryIO::Report::Unsupported);
  r.clear();
  EXPECT_FALSE(h.writeBuffer("x.ply", b, r));
  EXPECT_EQ(r.kind, KEXGeometryIO::Report::Unsupported);
  NullHandler copy(h);
  EXPECT_TRUE(copy.isValid());
  {
    kexTest::ErrorCapture errors;
    kexTest::AllocationFault fault(1);
    NullHandler starved;
    EXPECT_TRUE(fault.fired());
    EXPECT_FALSE(starved.isValid());
    EXPECT_TRUE(errors.has(KEX::OutOfMemory));
  }
}

TEST(TriangleMeshIO, ExtensionsAndReports)
{
  EXPECT_TRUE(KEXGeometryIO::matchesExtension("a/b.c/mesh.PLY", "ply"));
  EXPECT_TRUE(KEXGeometryIO::matchesExtension("m.pwn", "xyz pwn"));
  EXPECT_FALSE(KEXGeometryIO::matchesExtension("m.pw", "xyz pwn"));
  EXPECT_FALSE(KEXGeometryIO::matchesExtension("ply", "ply"));
  EXPECT_FALSE(KEXGeometryIO::matchesExtension("dir.ply/mesh", "ply"));
  EXPECT_EQ(KEXGeometryIO::extensionOf(".hidden"), "");
  KEXGeometryIO::Report r;
  EXPECT_FALSE(r.fail(KEXGeometryIO::Report::Malformed, "%s:%d: first", "f", 3));
  r.fail(KEXGeometryIO::Report::Unreadable, "second");
  EXPECT_EQ(r.kind, KEXGeometryIO::Report::Malformed); // the first failure wins
  EXPECT_EQ(r.message, "f:3: first");
  for (int i = 0; i < 30; ++i)
    r.warn("w%d", i);
  EXPECT_EQ(r.warnings.size(), 20u);
}
