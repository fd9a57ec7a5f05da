// Every format, every encoding: random meshes and point clouds with the attributes the format holds
// are written and read back. Binary formats must give the positions bit for bit; the text formats write the
// shortest text that reads back as the same float, so they must too.
#include "PluginTestSupport.h"

#include "kex/Testing.h"
#include "support/Meshes.h"
#include "support/TemporaryFiles.h"

#include <cmath>
#include <cstring>
#include <random>

using namespace plugintest;
using kexmeshtest::Vec3;

namespace {

bool sameBits(float a, float b) { return std::memcmp(&a, &b, 4) == 0; }
bool sameBits(const Vec3& a, const Vec3& b) { return sameBits(a.x, b.x) && sameBits(a.y, b.y) && sameBits(a.z, b.z); }

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

struct Attributes {
  bool normals = false, colours = false, faceColours = false, pointCloud = false;
};

KEXTriangleMeshBuffer randomMesh(std::mt19937& rng, Attributes a)
{
  const bool pointCloud = a.pointCloud;
  kexmeshtest::RandomMeshOptions o;
  o.vertices = 5 + int(rng() % 200);
  o.triangles = pointCloud ? 0 : 1 + int(rng() % 400);
  o.duplicateRate = 0.05;
  o.repeatedIndexRate = 0.0;
  KEXTriangleMeshBuffer b = kexmeshtest::makeRandomMesh(rng, o);
  for (int i = 0; i < b.getVertexCount(); ++i)
    b.vertexList[i] = Vec3(randomFloat(rng), randomFloat(rng), randomFloat(rng));
  // Colours travel as bytes in some formats: use values a byte holds exactly.
  for (int i = 0; a.normals && i < b.getVertexCount(); ++i)
    b.vertexNormalList.append(Vec3(randomFloat(rng), randomFloat(rng), randomFloat(rng)));
  for (int i = 0; a.colours && i < b.getVertexCount(); ++i)
    b.vertexColorList.append(KEXRGBA<float>(KEXRGBA<unsigned char>(rng() % 256, rng() % 256, rng() % 256, 255)));
  for (int i = 0; a.faceColours && i < b.getTriangleCount(); ++i)
    b.triangleColorList.append(KEXRGBA<float>(KEXRGBA<unsigned char>(rng() % 256, rng() % 256, rng() % 256, rng() % 256)));
  return b;
}

struct Case {
  const char* className;
  const char* extension;
  KEXGeometryIO::Encoding encoding;
  Attributes attributes;
  bool colourAlpha; // whether alpha survives
};

void expectSameMesh(const KEXTriangleMeshBuffer& a, const KEXTriangleMeshBuffer& b, const Case& c)
{
  ASSERT_EQ(a.getVertexCount(), b.getVertexCount());
  ASSERT_EQ(a.getTriangleCount(), b.getTriangleCount());
  EXPECT_EQ(b.hasVertexNormalList(), c.attributes.normals && a.getVertexCount() > 0);
  EXPECT_EQ(b.hasVertexColorList(), c.attributes.colours);
  EXPECT_EQ(b.hasTriangleColorList(), c.attributes.faceColours && a.getTriangleCount() > 0);
  for (int i = 0; i < a.getVertexCount(); ++i) {
    ASSERT_TRUE(sameBits(a.vertexList[i], b.vertexList[i])) << c.className << " vertex " << i;
    ASSERT_TRUE(!c.attributes.normals || sameBits(a.vertexNormalList[i], b.vertexNormalList[i])) << c.className << " normal " << i;
    if (c.attributes.colours) {
      const KEXRGBA<float>& x = a.vertexColorList[i];
      const KEXRGBA<float>& y = b.vertexColorList[i];
      ASSERT_TRUE(x.r == y.r && x.g == y.g && x.b == y.b && (!c.colourAlpha || x.a == y.a)) << c.className << " colour " << i;
    }
  }
  for (int i = 0; i < a.getTriangleCount(); ++i) {
    ASSERT_EQ(a.triangleList[i], b.triangleList[i]) << c.className << " triangle " << i;
    ASSERT_TRUE(!c.attributes.faceColours || a.triangleColorList[i] == b.triangleColorList[i]) << c.className << " face colour " << i;
  }
}

const Case cases[] = {
    {"KEXTriangleMeshIOPLY", "ply", KEXGeometryIO::BinaryLittleEndian, {true, true, true}, true},
    {"KEXTriangleMeshIOPLY", "ply", KEXGeometryIO::BinaryBigEndian, {true, true, true}, true},
    {"KEXTriangleMeshIOPLY", "ply", KEXGeometryIO::Ascii, {true, true, true}, true},
    {"KEXTriangleMeshIOPLY", "ply", KEXGeometryIO::DefaultEncoding, {false, false}, true},
    {"KEXTriangleMeshIOOFF", "off", KEXGeometryIO::Ascii, {true, true, true}, true},
    {"KEXTriangleMeshIOOFF", "off", KEXGeometryIO::Ascii, {false, true}, true},
    {"KEXTriangleMeshIOOFF", "off", KEXGeometryIO::Ascii, {false, false}, true},
    {"KEXTriangleMeshIOOBJ", "obj", KEXGeometryIO::Ascii, {true, true}, false},
    {"KEXTriangleMeshIOOBJ", "obj", KEXGeometryIO::Ascii, {false, false}, false},
    // Point clouds.
    {"KEXTriangleMeshIOPLY", "ply", KEXGeometryIO::BinaryLittleEndian, {true, false, false, true}, true},
    {"KEXTriangleMeshIOPLY", "ply", KEXGeometryIO::Ascii, {true, true, false, true}, true},
    {"KEXTriangleMeshIOXYZ", "xyz", KEXGeometryIO::Ascii, {true, false, false, true}, true},
    {"KEXTriangleMeshIOXYZ", "pwn", KEXGeometryIO::Ascii, {false, false, false, true}, true},
};

} // namespace

TEST(FormatRoundTrip, EveryFormatKeepsEverythingItHolds)
{
  std::mt19937 rng(11);
  for (const Case& c : cases) {
    Handler h = handler(c.className);
    ASSERT_TRUE(h);
    h->setEncoding(c.encoding);
    for (int round = 0; round < 8; ++round) {
      KEXTriangleMeshBuffer mesh = randomMesh(rng, c.attributes);
      // OBJ cannot hold unreferenced vertices with a normal of their own; every vertex of these
      // meshes is kept anyway because the writer emits one normal per vertex.
      std::string path = tempPath(std::string("rt.") + c.extension);
      KEXGeometryIO::Report report;
      ASSERT_TRUE(h->writeBuffer(path.c_str(), mesh, report)) << report.message;
      EXPECT_FALSE(kexmeshtest::temporaryLeft(path));
      KEXTriangleMeshBuffer back;
      ASSERT_TRUE(h->readBuffer(path.c_str(), back, report)) << report.message;
      expectSameMesh(mesh, back, c);
      std::remove(path.c_str());
    }
  }
}

TEST(FormatRoundTrip, StlGivesTheSoupWithFacetNormals)
{
  std::mt19937 rng(13);
  for (KEXGeometryIO::Encoding e : {KEXGeometryIO::DefaultEncoding, KEXGeometryIO::Ascii}) {
    Handler h = handler("KEXTriangleMeshIOSTL");
    ASSERT_TRUE(h);
    h->setEncoding(e);
    for (int round = 0; round < 6; ++round) {
      KEXTriangleMeshBuffer mesh = randomMesh(rng, {});
      std::string path = tempPath("rt.stl");
      KEXGeometryIO::Report report;
      ASSERT_TRUE(h->writeBuffer(path.c_str(), mesh, report)) << report.message;
      KEXTriangleMeshBuffer back;
      ASSERT_TRUE(h->readBuffer(path.c_str(), back, report)) << report.message;
      ASSERT_TRUE(back.getTriangleCount() == mesh.getTriangleCount() && back.getVertexCount() == 3 * mesh.getTriangleCount() &&
                  back.hasTriangleNormalList());
      for (int c = 0; c < 3 * mesh.getTriangleCount(); ++c)
        ASSERT_TRUE(back.cornerVertex(c) == c && sameBits(back.vertexList[c], mesh.vertexList[mesh.cornerVertex(c)])) << c;
      // Facet normals are unit (or zero for degenerate triangles) and survive a second trip.
      for (int t = 0; t < back.getTriangleCount(); ++t) {
        double l = back.triangleNormalList[t].length();
        ASSERT_TRUE(l == 0.0 || std::abs(l - 1.0) < 1e-5) << l;
      }
      ASSERT_TRUE(h->writeBuffer(path.c_str(), back, report));
      KEXTriangleMeshBuffer again;
      ASSERT_TRUE(h->readBuffer(path.c_str(), again, report));
      for (int t = 0; t < back.getTriangleCount(); ++t) {
        ASSERT_TRUE(std::abs(again.triangleNormalList[t].x - back.triangleNormalList[t].x) < 1e-6f);
      }
      std::remove(path.c_str());
    }
  }
}

TEST(FormatRoundTrip, PolygonsAreFannedAndLineEndsMayMix)
{
  struct Text {
    const char* className;
    const char* ext;
    std::string content;
  };
  const Text texts[] = {
      {"KEXTriangleMeshIOOFF", "off", "OFF\r\n# a comment\r5 2 0\n0 0 0\r\n1 0 0 # trailing comment\r1 1 0#another\n0 1 0\n2 2 0\n4 0 1 2 3\r\n3 1 4 2\n"},
      {"KEXTriangleMeshIOOBJ", "obj", "# quad\r\nv 0 0 0\rv 1 0 0 # comment\nv 1 1 0\r\nv 0 1 0\nv 2 2 0\nvt 0 0\nf 1/1 2/1 3/1 4/1\r\nf -4 -1 -3\n"},
      {"KEXTriangleMeshIOPLY", "ply",
       "ply\r\nformat ascii 1.0\r\nelement vertex 5\nproperty float x\nproperty float y\nproperty float z\n"
       "element face 2\nproperty list uchar int vertex_indices\nend_header\r\n0 0 0\n1 0 0\r1 1 0\n0 1 0\n2 2 0\n"
       "4 0 1 2 3\n3 1 4 2\n"},
  };
  for (const Text& t : texts) {
    Handler h = handler(t.className);
    ASSERT_TRUE(h);
    const Outcome o = readBytes(*h, t.ext, t.content);
    ASSERT_TRUE(o.ok) << o.report.message;
    ASSERT_EQ(o.mesh.getVertexCount(), 5) << t.className;
    EXPECT_EQ(kexmeshtest::triangles(o.mesh), (std::vector<KEXTriangle<int>>{{0, 1, 2}, {0, 2, 3}, {1, 4, 2}})) << t.className;
    EXPECT_EQ(o.mesh.vertexList[2], Vec3(1, 1, 0));
  }
}

TEST(FormatRoundTrip, ObjCornerNormalsBecomeVertexNormals)
{
  Handler h = handler("KEXTriangleMeshIOOBJ");
  ASSERT_TRUE(h);
  const Outcome o = readBytes(*h, "obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nvn 0 0 1\nvn 0 1 0\nf 1//1 2//1 3//1\nf 1//2 3//1 2//1\n");
  ASSERT_TRUE(o.ok && o.mesh.hasVertexNormalList()) << o.report.message;
  EXPECT_TRUE(o.mesh.vertexNormalList[0] == Vec3(0, 0, 1) && o.mesh.vertexNormalList[2] == Vec3(0, 0, 1));
  EXPECT_EQ(o.report.warnings.size(), 1u); // vertex 1 was given a second, different normal
}

TEST(FormatRoundTrip, AStopLeavesNoFileAndNoPartialMesh)
{
  std::mt19937 rng(14);
  KEXTriangleMeshBuffer big = kexmeshtest::makeSphere(300, 400); // > 65536 elements: several reports
  for (const char* cls : {"KEXTriangleMeshIOPLY", "KEXTriangleMeshIOSTL", "KEXTriangleMeshIOOFF", "KEXTriangleMeshIOOBJ"}) {
    Handler h = handler(cls);
    ASSERT_TRUE(h);
    std::string path = tempPath(std::string("stop.") + h->getFormatName()); // upper case: the extension is matched without case
    std::remove(path.c_str());
    KEXGeometryIO::Report report;
    {
      kexTest::RecordingScope monitor;
      monitor.stopAfterReports(2);
      EXPECT_FALSE(h->writeBuffer(path.c_str(), big, report));
    }
    EXPECT_TRUE(report.kind == KEXGeometryIO::Report::Stopped && !exists(path) && !kexmeshtest::temporaryLeft(path)) << cls;
    ASSERT_TRUE(h->writeBuffer(path.c_str(), big, report)) << report.message;
    KEXTriangleMeshBuffer target = kexmeshtest::makeTetrahedron();
    {
      kexTest::RecordingScope monitor;
      monitor.stopAfterReports(2);
      EXPECT_FALSE(h->readBuffer(path.c_str(), target, report));
    }
    EXPECT_TRUE(report.kind == KEXGeometryIO::Report::Stopped && target.getVertexCount() == 4 && target.getTriangleCount() == 4)
        << cls;
    std::remove(path.c_str());
  }
}

TEST(FormatRoundTrip, FailedWritesLeaveTheOldFileAlone)
{
  KEXTriangleMeshBuffer mesh = kexmeshtest::makeSphere(300, 400);
  Handler h = handler("KEXTriangleMeshIOPLY");
  ASSERT_TRUE(h);
  std::string path = tempPath("keep.ply");
  writeFile(path, "old content");
  KEXGeometryIO::Report report;
  kexTest::failNextFileWrite(10);
  EXPECT_FALSE(h->writeBuffer(path.c_str(), mesh, report));
  kexTest::clearFileWriteFault();
  EXPECT_TRUE(report.kind == KEXGeometryIO::Report::WriteFailed && report.message.find(path) != std::string::npos);
  EXPECT_TRUE(readFile(path) == "old content" && !kexmeshtest::temporaryLeft(path));
  // Attribute lists that do not match the element counts are refused before anything is written.
  mesh.vertexNormalList.setCount(3);
  EXPECT_FALSE(h->writeBuffer(path.c_str(), mesh, report));
  EXPECT_EQ(report.kind, KEXGeometryIO::Report::Malformed);
  EXPECT_EQ(readFile(path), "old content");
  // Out-of-range indices are refused too.
  KEXTriangleMeshBuffer bad = kexmeshtest::makeTetrahedron();
  bad.triangleList[2][1] = 4;
  EXPECT_FALSE(h->writeBuffer(path.c_str(), bad, report));
  std::remove(path.c_str());
}

TEST(FormatRoundTrip, HandlersAreFoundByExtension)
{
  const std::pair<const char*, const char*> names[] = {{"a.ply", "PLY"}, {"b.STL", "STL"}, {"c.off", "OFF"},
                                                        {"d.obj", "OBJ"}, {"e.xyz", "XYZ"}, {"f.pwn", "XYZ"}};
  for (const auto& [name, format] : names) {
    KEXGeometryIO::Report report;
    Handler h(KEXTriangleMeshIO::createForFile(name, report));
    ASSERT_TRUE(h) << report.message;
    EXPECT_STREQ(h->getFormatName(), format);
    EXPECT_TRUE(h->getMetaClass().isOfType(KEXTriangleMeshIO::metaClass()));
  }
  KEXGeometryIO::Report report;
  EXPECT_EQ(KEXTriangleMeshIO::createForFile("mesh.3ds", report), nullptr);
  EXPECT_EQ(report.kind, KEXGeometryIO::Report::Unsupported);
  EXPECT_NE(report.message.find("ply stl off obj xyz pwn"), std::string::npos);
  EXPECT_EQ(KEXTriangleMeshIO::create("KEXTriangleMeshIO"), nullptr); // abstract
  EXPECT_EQ(KEXTriangleMeshIO::create("KEXNoSuchClass"), nullptr);
}

// A coloured polygon becomes triangles of its colour.
TEST(FormatRoundTrip, PlyFaceColoursFollowTheirTriangles)
{
  Handler h = handler("KEXTriangleMeshIOPLY");
  ASSERT_TRUE(h);
  const Outcome o = readBytes(*h, "ply", "ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\nproperty float z\n"
                  "element face 1\nproperty list uchar int vertex_indices\nproperty uchar red\nproperty uchar green\n"
                  "property uchar blue\nend_header\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n4 0 1 2 3 255 0 0\n");
  ASSERT_TRUE(o.ok && o.mesh.getTriangleCount() == 2 && o.mesh.hasTriangleColorList()) << o.report.message;
  EXPECT_TRUE(o.mesh.triangleColorList[0] == KEXRGBA<float>(1, 0, 0, 1) && o.mesh.triangleColorList[1] == KEXRGBA<float>(1, 0, 0, 1));
}
