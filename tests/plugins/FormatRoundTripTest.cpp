// Every format, every encoding: random meshes and point clouds with the attributes the format holds
// are written and read back. Binary formats must give the positions bit for bit; the text formats write the
// shortest text that reads back as the same float, so they must too. STL gives the triangle soup.
#include "support/FormatSetup.h"

#include "kex/Testing.h"
#include "support/MeshChecks.h"

#include <algorithm>
#include <cmath>
#include <random>

using namespace formattest;
using kexmeshtest::Vec3;

namespace {

float randomFloat(std::mt19937& rng)
{
  // Mix ordinary values with extremes of the float range and subnormals.
  switch (rng() % 8) {
  case 0: return std::ldexp(float(rng() % 1000) / 1000.0f, int(rng() % 250) - 125);
  case 1: return -std::numeric_limits<float>::denorm_min() * float(1 + rng() % 100);
  case 2: return std::numeric_limits<float>::max() / float(1 + rng() % 4);
  case 3: return -0.0f;
  default: return std::uniform_real_distribution<float>(-1000.0f, 1000.0f)(rng);
  }
}

struct Case {
  const char* className;
  const char* extension;
  KEXGeometryIO::Encoding encoding;
  bool normals, colours, faceColours, pointCloud;
  bool alpha; // whether the alpha of vertex colours survives
};

KEXTriangleMeshBuffer randomMesh(std::mt19937& rng, const Case& c, bool faceColours)
{
  kexmeshtest::RandomMeshOptions o;
  o.vertices = 5 + int(rng() % 200);
  o.triangles = c.pointCloud ? 0 : 1 + int(rng() % 400);
  o.duplicateRate = 0.05;
  o.repeatedIndexRate = 0.0;
  KEXTriangleMeshBuffer b = kexmeshtest::makeRandomMesh(rng, o);
  auto colour = [&](int alpha) { return KEXRGBA<float>(KEXRGBA<unsigned char>(rng() % 256, rng() % 256, rng() % 256, alpha)); };
  for (int i = 0; i < b.getVertexCount(); ++i) {
    b.vertexList[i] = Vec3(randomFloat(rng), randomFloat(rng), randomFloat(rng));
    if (c.normals)
      b.vertexNormalList.append(Vec3(randomFloat(rng), randomFloat(rng), randomFloat(rng)));
    if (c.colours) // colours travel as bytes in some formats: use values a byte holds exactly
      b.vertexColorList.append(colour(255));
  }
  for (int i = 0; faceColours && i < b.getTriangleCount(); ++i)
    b.triangleColorList.append(colour(int(rng() % 256)));
  return b;
}

const Case cases[] = {
    {PLY, "ply", KEXGeometryIO::BinaryLittleEndian, true, true, true, false, true},
    {PLY, "ply", KEXGeometryIO::BinaryBigEndian, true, true, true, false, true},
    {PLY, "ply", KEXGeometryIO::Ascii, true, true, true, false, true},
    {PLY, "ply", KEXGeometryIO::DefaultEncoding, false, false, false, false, true},
    {OFF, "off", KEXGeometryIO::Ascii, true, true, true, false, true},
    {OFF, "off", KEXGeometryIO::Ascii, false, true, false, false, true},
    {OFF, "off", KEXGeometryIO::Ascii, false, false, false, false, true},
    {OBJ, "obj", KEXGeometryIO::Ascii, true, true, false, false, false},
    {OBJ, "obj", KEXGeometryIO::Ascii, false, false, false, false, false},
    {STL, "stl", KEXGeometryIO::DefaultEncoding, false, false, false, false, false},
    {STL, "stl", KEXGeometryIO::Ascii, false, false, false, false, false},
    // Point clouds.
    {PLY, "ply", KEXGeometryIO::BinaryLittleEndian, true, false, false, true, true},
    {PLY, "ply", KEXGeometryIO::Ascii, true, true, false, true, true},
    {XYZ, "xyz", KEXGeometryIO::Ascii, true, false, false, true, true},
    {XYZ, "pwn", KEXGeometryIO::Ascii, false, false, false, true, true},
};

} // namespace

TEST(FormatRoundTrip, EveryFormatKeepsEverythingItHolds)
{
  std::mt19937 rng(11);
  for (const Case& c : cases) {
    Handler h = handler(c.className);
    ASSERT_TRUE(h);
    h->setEncoding(c.encoding);
    const bool soup = c.className == STL;
    // Formats without face colours are given them anyway: they must say that they drop them.
    const bool dropsFaceColours = soup || c.className == OBJ;
    for (int round = 0; round < 8; ++round) {
      const KEXTriangleMeshBuffer mesh = randomMesh(rng, c, c.faceColours || dropsFaceColours);
      const std::string path = tempPath(std::string("rt.") + c.extension);
      KEXGeometryIO::Report report;
      ASSERT_TRUE(h->writeBuffer(path.c_str(), mesh, report)) << report.message;
      EXPECT_FALSE(kexmeshtest::temporaryLeft(path));
      EXPECT_TRUE(int(report.warnings.size()) == int(dropsFaceColours) &&
                  countWarningsWith(report, "face colours are not written") == int(dropsFaceColours)) << c.className;
      KEXTriangleMeshBuffer back, again;
      ASSERT_TRUE(h->readBuffer(path.c_str(), back, report)) << report.message;
      // What the format does not hold comes from what was read: STL facet normals (checked
      // below), the alpha of OBJ colours. Everything else must be the same to the bit.
      KEXTriangleMeshBuffer expected = soup ? kexmeshtest::toSoup(mesh) : mesh;
      expected.triangleColorList.setCount(dropsFaceColours ? 0 : expected.triangleColorList.getCount());
      if (soup)
        expected.triangleNormalList = back.triangleNormalList;
      for (int i = 0; !c.alpha && i < std::min(expected.vertexColorList.getCount(), back.vertexColorList.getCount()); ++i)
        expected.vertexColorList[i].a = back.vertexColorList[i].a;
      ASSERT_TRUE(kexmeshtest::sameBuffer(expected, back)) << c.className << " encoding " << c.encoding;
      if (soup) {
        // Facet normals are unit (or zero for degenerate triangles) and survive a second trip.
        ASSERT_TRUE(back.hasTriangleNormalList());
        ASSERT_TRUE(h->writeBuffer(path.c_str(), back, report) && h->readBuffer(path.c_str(), again, report));
        for (int t = 0; t < back.getTriangleCount(); ++t) {
          const double l = back.triangleNormalList[t].length();
          ASSERT_TRUE(l == 0.0 || std::abs(l - 1.0) < 1e-5) << l;
          ASSERT_LT((again.triangleNormalList[t] - back.triangleNormalList[t]).length(), 1e-6) << t;
        }
      }
      std::remove(path.c_str());
    }
  }
}

TEST(FormatRoundTrip, ObjCornerNormalsBecomeVertexNormals)
{
  const Outcome o = readAs(OBJ, "v 0 0 0\nv 1 0 0\nv 0 1 0\nvn 0 0 1\nvn 0 1 0\nf 1//1 2//1 3//1\nf 1//2 3//1 2//1\n");
  ASSERT_TRUE(o.ok && o.mesh.hasVertexNormalList()) << o.report.message;
  EXPECT_TRUE(o.mesh.vertexNormalList[0] == Vec3(0, 0, 1) && o.mesh.vertexNormalList[2] == Vec3(0, 0, 1));
  EXPECT_EQ(o.report.warnings.size(), 1u); // vertex 1 was given a second, different normal
}

TEST(FormatRoundTrip, AStopLeavesNoFileAndNoPartialMesh)
{
  const KEXTriangleMeshBuffer big = kexmeshtest::makeSphere(300, 400); // > 65536 elements: several reports
  for (const char* cls : {PLY, STL, OFF, OBJ}) {
    Handler h = handler(cls);
    ASSERT_TRUE(h);
    std::string path = tempPath(std::string("stop.") + h->getFormatName()); // upper case: the extension is matched without case
    std::remove(path.c_str());
    KEXGeometryIO::Report report;
    KEXTriangleMeshBuffer target = kexmeshtest::makeTetrahedron();
    for (bool write : {true, false}) {
      {
        kexTest::RecordingScope monitor;
        monitor.stopAfterReports(2);
        EXPECT_FALSE(write ? h->writeBuffer(path.c_str(), big, report) : h->readBuffer(path.c_str(), target, report));
      }
      EXPECT_EQ(report.kind, KEXGeometryIO::Report::Stopped) << cls;
      EXPECT_TRUE(!write || (!exists(path) && !kexmeshtest::temporaryLeft(path))) << cls;
      ASSERT_TRUE(!write || h->writeBuffer(path.c_str(), big, report)) << report.message;
    }
    EXPECT_TRUE(target.getVertexCount() == 4 && target.getTriangleCount() == 4) << cls;
    std::remove(path.c_str());
  }
}

// A failed write keeps the old file; attribute lists that do not match the element counts, and
// out-of-range indices, are refused before anything is written.
TEST(FormatRoundTrip, FailedWritesLeaveTheOldFileAlone)
{
  KEXTriangleMeshBuffer mesh = kexmeshtest::makeSphere(300, 400), bad = kexmeshtest::makeTetrahedron();
  Handler h = handler(PLY);
  ASSERT_TRUE(h);
  const std::string path = tempPath("keep.ply");
  writeFile(path, "old content");
  KEXGeometryIO::Report report;
  kexTest::failNextFileWrite(10);
  EXPECT_FALSE(h->writeBuffer(path.c_str(), mesh, report));
  kexTest::clearFileWriteFault();
  EXPECT_TRUE(report.kind == KEXGeometryIO::Report::WriteFailed && report.message.find(path) != std::string::npos);
  EXPECT_TRUE(readFile(path) == "old content" && !kexmeshtest::temporaryLeft(path));
  mesh.vertexNormalList.setCount(3);
  bad.triangleList[2][1] = 4;
  for (const KEXTriangleMeshBuffer* b : {&mesh, &bad}) {
    EXPECT_FALSE(h->writeBuffer(path.c_str(), *b, report));
    EXPECT_TRUE(report.kind == KEXGeometryIO::Report::Malformed && readFile(path) == "old content");
  }
  std::remove(path.c_str());
}

TEST(FormatRoundTrip, HandlersAreFoundByExtension)
{
  const std::pair<const char*, const char*> names[] = {{"a.ply", "PLY"}, {"b.STL", "STL"}, {"c.off", "OFF"},
                                                        {"d.obj", "OBJ"}, {"e.xyz", "XYZ"}, {"f.pwn", "XYZ"}};
  KEXGeometryIO::Report report;
  for (const auto& [name, format] : names) {
    Handler h(KEXTriangleMeshIO::createForFile(name, report));
    ASSERT_TRUE(h) << report.message;
    EXPECT_STREQ(h->getFormatName(), format);
    EXPECT_TRUE(h->getMetaClass().isOfType(KEXTriangleMeshIO::metaClass()));
  }
  EXPECT_EQ(KEXTriangleMeshIO::createForFile("mesh.3ds", report), nullptr);
  EXPECT_TRUE(report.kind == KEXGeometryIO::Report::Unsupported && report.message.find("ply stl off obj xyz pwn") != std::string::npos);
  EXPECT_EQ(KEXTriangleMeshIO::create("KEXTriangleMeshIO"), nullptr); // abstract
  EXPECT_EQ(KEXTriangleMeshIO::create("KEXNoSuchClass"), nullptr);
}
