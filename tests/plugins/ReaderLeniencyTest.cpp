// What the readers accept that a strict reading of each format would not, and how they say so:
// a UTF-8 byte order mark, the index list of a PLY face under another name, numbers below the
// float range, faces of fewer than three corners, text after the declared faces, face colours in
// OFF files. Also what they say about names that are no regular file.
#include "PluginTestSupport.h"
#include "support/MeshChecks.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sys/stat.h>

using namespace plugintest;

namespace {

const std::string BOM = "\xEF\xBB\xBF";

struct Format {
  const char* className;
  const char* ext;
  KEXGeometryIO::Encoding encoding;
};

int countWarningsWith(const KEXGeometryIO::Report& r, const char* text)
{
  int n = 0;
  for (const std::string& w : r.warnings)
    n += w.find(text) != std::string::npos;
  return n;
}

// One triangle and a quad over five vertices, in each format, with room for extra faces.
const char* plyHead(int faces)
{
  static std::string h;
  h = "ply\nformat ascii 1.0\nelement vertex 5\nproperty float x\nproperty float y\nproperty float z\n"
      "element face " +
      std::to_string(faces) + "\nproperty list uchar int vertex_indices\nend_header\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n2 2 0\n";
  return h.c_str();
}

} // namespace

TEST(ReaderLeniency, ByteOrderMarkIsReadPastInEveryTextFormat)
{
  KEXTriangleMeshBuffer mesh = kexmeshtest::makeIcosphere(1);
  const Format formats[] = {
      {"KEXTriangleMeshIOOBJ", "obj", KEXGeometryIO::Ascii},
      {"KEXTriangleMeshIOOFF", "off", KEXGeometryIO::Ascii},
      {"KEXTriangleMeshIOSTL", "stl", KEXGeometryIO::Ascii},
      {"KEXTriangleMeshIOPLY", "ply", KEXGeometryIO::Ascii},
      {"KEXTriangleMeshIOPLY", "ply", KEXGeometryIO::BinaryLittleEndian}, // a text header
      {"KEXTriangleMeshIOXYZ", "xyz", KEXGeometryIO::Ascii},
  };
  for (const Format& f : formats) {
    Handler h = handler(f.className);
    ASSERT_TRUE(h);
    std::string bytes = writtenBytes(f.className, f.encoding, mesh);
    Outcome plain = readBytes(*h, f.ext, bytes);
    Outcome marked = readBytes(*h, f.ext, BOM + bytes);
    ASSERT_TRUE(plain.ok && marked.ok) << f.className << ": " << plain.report.message << marked.report.message;
    EXPECT_TRUE(kexmeshtest::sameBuffer(plain.mesh, marked.mesh)) << f.className;
    EXPECT_EQ(marked.report.warnings, plain.report.warnings);
  }
  // The mark is no part of the first line: an OBJ keeps its first vertex, a PLY its magic word.
  Handler obj = handler("KEXTriangleMeshIOOBJ");
  Outcome o = readBytes(*obj, "obj", BOM + "v 1 2 3\nv 0 0 0\nv 0 1 0\nf 1 2 3\n");
  ASSERT_TRUE(o.ok) << o.report.message;
  EXPECT_EQ(o.mesh.vertexList[0], KEXVector3<float>(1, 2, 3));
  // Only at the start: elsewhere it is text the format does not know.
  Handler off = handler("KEXTriangleMeshIOOFF");
  EXPECT_FALSE(readBytes(*off, "off", "OFF\n" + BOM + "3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n").ok);
}

TEST(ReaderLeniency, PlyFaceIndicesUnderOtherNames)
{
  struct Case {
    const char* properties; // the face element's property lines
    const char* records;    // its records: a quad and a triangle where there are indices
    int triangles;          // -1: refused
  };
  const Case cases[] = {
      {"property list uchar uint idx\n", "4 0 1 2 3\n3 1 4 2\n", 3},
      {"property int f\nproperty list ushort short idx\nproperty uchar red\n", "7 4 0 1 2 3 9\n7 3 1 4 2 9\n", 3},
      {"property list uchar float uv\nproperty list uchar int vertex_index\n", "1 0.5 4 0 1 2 3\n0 3 1 4 2\n", 3},
      {"property list uchar int vertex_indices\nproperty list uchar int other\n", "4 0 1 2 3 0\n3 1 4 2 0\n", 3},
      {"property list uchar float corners\n", "3 0 1 2\n3 1 4 2\n", -1},
      {"property list uchar int a\nproperty list uchar int b\n", "3 0 1 2 0\n3 1 4 2 0\n", -1},
      {"property int flags\n", "7\n7\n", -1},
      {"", "", -1},
  };
  for (const Case& c : cases) {
    std::string file = "ply\nformat ascii 1.0\nelement vertex 5\nproperty float x\nproperty float y\nproperty float z\n"
                       "element face 2\n" +
                       std::string(c.properties) + "end_header\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n2 2 0\n" + c.records;
    Handler h = handler("KEXTriangleMeshIOPLY");
    Outcome o = readBytes(*h, "ply", file);
    EXPECT_EQ(o.ok, c.triangles >= 0) << c.properties << o.report.message;
    EXPECT_TRUE(o.ok ? o.mesh.getTriangleCount() == c.triangles
                     : o.report.message.find("no list of vertex indices") != std::string::npos)
        << c.properties << o.report.message;
  }
  // A face element without records needs no index list.
  Handler h = handler("KEXTriangleMeshIOPLY");
  EXPECT_TRUE(readBytes(*h, "ply",
                        "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
                        "property float z\nelement face 0\nproperty int flags\nend_header\n0 0 0\n")
                  .ok);
}

TEST(ReaderLeniency, NumbersBelowTheFloatRangeAreFinite)
{
  std::string longZeros = "0." + std::string(400, '0') + "17";
  std::string longDigits = "1" + std::string(60, '0') + "e-70"; // 1e-10
  const std::string tokens[] = {"1e-310", "-1e-310", "1e-40", "-1.4e-45", "1e-46", "1e-400", "-2.5E-99999999999999999999",
                                longZeros, longDigits, "3.4028234e38", "+1e-320",
                                // refused: beyond the float range or not a number
                                "1e39", "-3.5e38", "1e400", "1e99999999999999999999", "nan", "-inf"};
  struct Layout {
    const char* className;
    const char* ext;
    std::string before, after; // the file around the first coordinate
  };
  const Layout layouts[] = {
      {"KEXTriangleMeshIOOBJ", "obj", "v ", " 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"},
      {"KEXTriangleMeshIOOFF", "off", "OFF\n3 1 0\n", " 0 0\n1 0 0\n0 1 0\n3 0 1 2\n"},
      {"KEXTriangleMeshIOSTL", "stl", "solid s\nfacet normal 0 0 1\nouter loop\nvertex ",
       " 0 0\nvertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\nendsolid s\n"},
      {"KEXTriangleMeshIOPLY", "ply",
       "ply\nformat ascii 1.0\nelement vertex 3\nproperty double x\nproperty float y\nproperty float z\nelement face 1\n"
       "property list uchar int vertex_indices\nend_header\n",
       " 0 0\n1 0 0\n0 1 0\n3 0 1 2\n"},
      {"KEXTriangleMeshIOXYZ", "xyz", "", " 0 0\n1 0 0\n0 1 0\n"},
  };
  for (const Layout& l : layouts) {
    Handler h = handler(l.className);
    ASSERT_TRUE(h);
    for (const std::string& token : tokens) {
      // The reference: the nearest double, then the nearest float; refused when that is not finite.
      double d = std::strtod(token.c_str(), nullptr);
      bool finite = std::isfinite(d) && std::fabs(d) <= double(std::numeric_limits<float>::max());
      Outcome o = readBytes(*h, l.ext, l.before + token + l.after);
      EXPECT_EQ(o.ok, finite) << l.className << " " << token << ": " << o.report.message;
      if (o.ok && finite) {
        float expected = float(d), got = o.mesh.vertexList[0].x;
        EXPECT_EQ(std::memcmp(&expected, &got, 4), 0) << l.className << " " << token << " read as " << got;
      } else if (!o.ok) {
        EXPECT_EQ(o.report.kind, KEXGeometryIO::Report::Malformed) << token;
      }
    }
  }
}

TEST(ReaderLeniency, ShortFacesAreSkippedWithOneWarningEverywhere)
{
  struct Case {
    const char* className;
    const char* ext;
    std::string clean, damaged; // one triangle and a quad; the same with two short faces among them
    int vertices;               // of the damaged file's mesh
  };
  const std::string facet = "facet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 1 1 0\nendloop\nendfacet\n";
  const std::string quad =
      "facet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 1 0\nvertex 0 1 0\nvertex 0 2 0\nendloop\nendfacet\n";
  const std::string shortFacet = "facet normal 0 0 1\nouter loop\nvertex 5 5 5\nvertex 6 5 5\nendloop\nendfacet\n";
  const std::string verts = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 2 2 0\n";
  const std::string offVerts = "0 0 0\n1 0 0\n1 1 0\n0 1 0\n2 2 0\n";
  const Case cases[] = {
      {"KEXTriangleMeshIOOBJ", "obj", verts + "f 1 2 3\nf 1 3 4 5\n", verts + "f 1 2 3\nf 4 5\nf 1 3 4 5\nf\n", 5},
      {"KEXTriangleMeshIOOFF", "off", "OFF\n5 2 0\n" + offVerts + "3 0 1 2\n4 0 2 3 4\n",
       "OFF\n5 4 0\n" + offVerts + "3 0 1 2\n2 3 4\n4 0 2 3 4\n0\n", 5},
      {"KEXTriangleMeshIOPLY", "ply", std::string(plyHead(2)) + "3 0 1 2\n4 0 2 3 4\n",
       std::string(plyHead(4)) + "3 0 1 2\n2 3 4\n4 0 2 3 4\n1 4\n", 5},
      {"KEXTriangleMeshIOSTL", "stl", "solid s\n" + facet + quad + "endsolid s\n",
       "solid s\n" + facet + shortFacet + quad + shortFacet + "endsolid s\n", 7},
  };
  for (const Case& c : cases) {
    Handler h = handler(c.className);
    ASSERT_TRUE(h);
    Outcome clean = readBytes(*h, c.ext, c.clean), damaged = readBytes(*h, c.ext, c.damaged);
    ASSERT_TRUE(clean.ok && damaged.ok) << c.className << ": " << clean.report.message << damaged.report.message;
    EXPECT_TRUE(clean.report.warnings.empty()) << c.className;
    EXPECT_TRUE(damaged.mesh.getTriangleCount() == 3 && damaged.mesh.getVertexCount() == c.vertices) << c.className;
    ASSERT_EQ(damaged.report.warnings.size(), 1u) << c.className;
    EXPECT_EQ(countWarningsWith(damaged.report, "2 faces with fewer than three corners"), 1)
        << damaged.report.warnings[0];
    // The short faces leave no trace: the rest reads as in the clean file.
    for (int corner = 0; corner < 9; ++corner)
      EXPECT_EQ(damaged.mesh.vertexList[damaged.mesh.cornerVertex(corner)], clean.mesh.vertexList[clean.mesh.cornerVertex(corner)])
          << c.className;
  }
}

TEST(ReaderLeniency, OffTextAfterTheDeclaredFacesIsReportedOnce)
{
  Handler off = handler("KEXTriangleMeshIOOFF");
  const std::string head = "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n";
  struct Case {
    std::string tail;
    bool warned;
  };
  const Case cases[] = {{"", false},
                        {"\n\n# only a comment\n   \n", false},
                        {"3 2 1 0\n", true},
                        {"# comment\n3 2 1 0\n3 0 2 1\n", true},
                        {"garbage", true}};
  for (const Case& c : cases) {
    Outcome o = readBytes(*off, "off", head + c.tail);
    ASSERT_TRUE(o.ok && o.mesh.getTriangleCount() == 1) << o.report.message;
    EXPECT_EQ(countWarningsWith(o.report, "ignored"), c.warned ? 1 : 0) << c.tail;
    EXPECT_EQ(o.report.warnings.size(), c.warned ? 1u : 0u);
  }
}

TEST(ReaderLeniency, NamesThatAreNoRegularFile)
{
  std::string dir = tempPath("a_directory.off");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  struct Case {
    std::string path;
    const char* text;
  };
  const Case cases[] = {{dir, "is a directory"}, {"/dev/zero", "not a regular file"}, {"/dev/null", "not a regular file"}};
  for (const char* cls : {"KEXTriangleMeshIOOFF", "KEXTriangleMeshIOPLY", "KEXTriangleMeshIOSTL", "KEXTriangleMeshIOOBJ",
                          "KEXTriangleMeshIOXYZ"}) {
    Handler h = handler(cls);
    ASSERT_TRUE(h);
    for (const Case& c : cases) {
      KEXTriangleMeshBuffer b = kexmeshtest::makeTetrahedron();
      KEXGeometryIO::Report r;
      EXPECT_FALSE(h->readBuffer(c.path.c_str(), b, r)) << cls << " " << c.path;
      EXPECT_TRUE(r.kind == KEXGeometryIO::Report::Unreadable && b.getVertexCount() == 4) << r.message;
      EXPECT_EQ(r.message, c.path + ": " + c.text) << cls;
    }
  }
  rmdir(dir.c_str());
}

TEST(ReaderLeniency, OffFaceColoursAreReadAndWritten)
{
  Handler off = handler("KEXTriangleMeshIOOFF");
  ASSERT_TRUE(off);
  // Byte and float colours, a face without one, a colour map index, an alpha, a quad.
  Outcome o = readBytes(*off, "off",
                        "OFF\n5 5 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n2 2 0\n3 0 1 2\n3 0 2 3 255 0 0\n"
                        "4 0 1 2 3 0 0.5 1 0.25\n3 1 4 2 7\n3 2 4 3 0 255 0 51\n");
  ASSERT_TRUE(o.ok && o.mesh.getTriangleCount() == 6 && o.mesh.hasTriangleColorList()) << o.report.message;
  const KEXRGBA<float> expected[] = {{1, 1, 1, 1},      {1, 0, 0, 1},    {0, 0.5f, 1, 0.25f},
                                     {0, 0.5f, 1, 0.25f}, {1, 1, 1, 1}, {0, 1, 0, 51 / 255.0f}};
  for (int t = 0; t < 6; ++t) {
    const KEXRGBA<float>& c = o.mesh.triangleColorList[t];
    const float got[] = {c.r, c.g, c.b, c.a}, want[] = {expected[t].r, expected[t].g, expected[t].b, expected[t].a};
    for (int k = 0; k < 4; ++k)
      EXPECT_NEAR(got[k], want[k], 1e-6) << "triangle " << t << " component " << k;
  }
  // Without any face colour there is no list.
  Outcome plain = readBytes(*off, "off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2 9\n");
  EXPECT_TRUE(plain.ok && !plain.mesh.hasTriangleColorList());

  // Formats without face colours say that they drop them.
  KEXTriangleMeshBuffer mesh = kexmeshtest::makeIcosphere(1);
  mesh.triangleColorList.setCount(mesh.getTriangleCount(), KEXRGBA<float>(1, 0, 0, 1));
  for (const char* cls : {"KEXTriangleMeshIOOBJ", "KEXTriangleMeshIOSTL"}) {
    Handler h = handler(cls);
    std::string path = tempPath("dropped.out");
    KEXGeometryIO::Report r;
    ASSERT_TRUE(h->writeBuffer(path.c_str(), mesh, r)) << r.message;
    EXPECT_EQ(countWarningsWith(r, "face colours are not written"), 1) << cls;
    ASSERT_TRUE(h->writeBuffer(path.c_str(), kexmeshtest::makeIcosphere(1), r));
    EXPECT_TRUE(r.warnings.empty()) << cls;
    std::remove(path.c_str());
  }
}
