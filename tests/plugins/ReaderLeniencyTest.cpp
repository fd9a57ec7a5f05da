// What the readers accept that a strict reading of each format would not, and how they say so:
// a UTF-8 byte order mark, mixed line ends, the index list of a PLY face under another name,
// numbers below the float range, faces of fewer than three corners, text after the declared faces,
// face colours in OFF files (and PLY ones, given to every triangle of their polygon). Also what
// they say about names that are no regular file.
#include "support/FormatSetup.h"
#include "support/MeshChecks.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

using namespace formattest;

TEST(ReaderLeniency, ByteOrderMarkIsReadPastInEveryTextFormat)
{
  const std::string bom = "\xEF\xBB\xBF";
  const KEXTriangleMeshBuffer mesh = kexmeshtest::makeIcosphere(1);
  for (const Format& f : everyEncoding) {
    if (f.className == STL && f.encoding != KEXGeometryIO::Ascii)
      continue; // no text at all (a binary PLY still has a text header)
    const std::string bytes = writtenBytes(f.className, f.encoding, mesh);
    const Outcome plain = readAs(f.className, bytes), marked = readAs(f.className, bom + bytes);
    ASSERT_TRUE(plain.ok && marked.ok) << f.className << ": " << plain.report.message << marked.report.message;
    EXPECT_TRUE(kexmeshtest::sameBuffer(plain.mesh, marked.mesh) && marked.report.warnings == plain.report.warnings);
  }
}

TEST(ReaderLeniency, NumbersBelowTheFloatRangeAreFinite)
{
  const std::string longZeros = "0." + std::string(400, '0') + "17";
  const std::string longDigits = "1" + std::string(60, '0') + "e-70"; // 1e-10
  const std::string tokens[] = {"1e-310", "-1e-310", "1e-40", "-1.4e-45", "1e-46", "1e-400", "-2.5E-99999999999999999999",
                                longZeros, longDigits, "3.4028234e38", "+1e-320",
                                // refused: beyond the float range or not a number
                                "1e39", "-3.5e38", "1e400", "1e99999999999999999999", "nan", "NaN", "inf", "-inf"};
  struct Layout {
    const char* className;
    std::string before, after; // the file around the first coordinate
    int line;                  // the line of that coordinate, which a refusal names
  };
  const Layout layouts[] = {
      {OBJ, "v ", " 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n", 1},
      {OFF, "OFF\n3 1 0\n", " 0 0\n1 0 0\n0 1 0\n3 0 1 2\n", 3},
      {STL, "solid s\nfacet normal 0 0 1\nouter loop\nvertex ",
       " 0 0\nvertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\nendsolid s\n", 4},
      {PLY, // a double coordinate is read as a double first
       "ply\nformat ascii 1.0\nelement vertex 3\nproperty double x\nproperty float y\nproperty float z\nelement face 1\n"
       "property list uchar int vertex_indices\nend_header\n",
       " 0 0\n1 0 0\n0 1 0\n3 0 1 2\n", 10},
      {XYZ, "", " 0 0\n1 0 0\n0 1 0\n", 1},
  };
  for (const Layout& l : layouts)
    for (const std::string& token : tokens) {
      // The reference: the nearest double, then the nearest float; refused when that is not finite.
      const double d = std::strtod(token.c_str(), nullptr);
      const bool finite = std::isfinite(d) && std::fabs(d) <= double(std::numeric_limits<float>::max());
      const Outcome o = readAs(l.className, l.before + token + l.after);
      ASSERT_EQ(o.ok, finite) << l.className << " " << token << ": " << o.report.message;
      const float expected = float(d), got = finite ? o.mesh.vertexList[0].x : 0.0f;
      EXPECT_TRUE(!finite || std::memcmp(&expected, &got, 4) == 0) << l.className << " " << token << " read as " << got;
      EXPECT_TRUE(finite || (o.report.kind == KEXGeometryIO::Report::Malformed &&
                             o.report.message.find(":" + std::to_string(l.line) + ":") != std::string::npos))
          << o.report.message;
    }
}

// What a reader skips leaves no trace: the rest reads as the clean file does, with one warning
// that says what was skipped, or none where nothing of substance was (comments, line ends of every
// kind, texture indices, a byte order mark).
TEST(ReaderLeniency, SkippedTextLeavesNoTrace)
{
  auto facet = [](const std::string& corners) { return "facet normal 0 0 1\nouter loop\n" + corners + "endloop\nendfacet\n"; };
  const std::string triangle = facet("vertex 0 0 0\nvertex 1 0 0\nvertex 1 1 0\n");
  const std::string quad = facet("vertex 0 0 0\nvertex 1 1 0\nvertex 0 1 0\nvertex 2 2 0\n");
  const std::string shortFacet = facet("vertex 5 5 5\nvertex 6 5 5\n");
  const std::string objVertices = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 2 2 0\n";
  // The triangle 0 1 2 and the quad 0 2 3 4 over fiveVertices in each format.
  const std::string obj = objVertices + "f 1 2 3\nf 1 3 4 5\n", off = "OFF\n5 2 0\n" + fiveVertices + "3 0 1 2\n4 0 2 3 4\n";
  const std::string ply = plyHeader(5, 2) + fiveVertices + "3 0 1 2\n4 0 2 3 4\n", stl = "solid s\n" + triangle + quad + "endsolid s\n";
  const std::string off1 = "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n", obj1 = "v 1 2 3\nv 0 0 0\nv 0 1 0\nf 1 2 3\n";
  const char* shortFaces = "2 faces with fewer than three corners";
  const struct {
    const char* className;
    std::string clean, damaged;
    const char* warning; // the one warning of the damaged file; none when null
  } cases[] = {
      {OBJ, obj, objVertices + "f 1 2 3\nf 4 5\nf 1 3 4 5\nf\n", shortFaces},
      {OFF, off, "OFF\n5 4 0\n" + fiveVertices + "3 0 1 2\n2 3 4\n4 0 2 3 4\n0\n", shortFaces},
      {PLY, ply, plyHeader(5, 4) + fiveVertices + "3 0 1 2\n2 3 4\n4 0 2 3 4\n1 4\n", shortFaces},
      {STL, stl, "solid s\n" + triangle + shortFacet + quad + shortFacet + "endsolid s\n", shortFaces},
      {OBJ, obj, "# quad\r\nv 0 0 0\rv 1 0 0 # comment\nv 1 1 0\r\nv 0 1 0\nv 2 2 0\nvt 0 0\n"
                 "f -5 -4 -3\r\nf 1/1 3/1 4/1 5/1\n", nullptr},
      {OFF, off, "OFF\r\n# a comment\r5 2 0\n0 0 0\r\n1 0 0 # trailing\r1 1 0#another\n0 1 0\n2 2 0\n"
                 "3 0 1 2\r\n4 0 2 3 4\n", nullptr},
      {PLY, ply, "ply\r\nformat ascii 1.0\r\nelement vertex 5\nproperty float x\nproperty float y\nproperty float z\n"
                 "element face 2\nproperty list uchar int vertex_indices\nend_header\r\n0 0 0\n1 0 0\r1 1 0\n0 1 0\n2 2 0\n"
                 "3 0 1 2\n4 0 2 3 4\n", nullptr},
      {OFF, off1, off1 + "\n\n# only a comment\n   \n", nullptr}, // text after the declared faces
      {OFF, off1, off1 + "3 2 1 0\n", "ignored"},
      {OFF, off1, off1 + "# comment\n3 2 1 0\n3 0 2 1\n", "ignored"},
      {OFF, off1, off1 + "garbage", "ignored"},
      {OBJ, obj1, "\xEF\xBB\xBF" + obj1, nullptr}, // the mark is no part of the first line
      // The index list of a PLY face under another name, among other properties.
      {PLY, ply, plyHeader(5, 2, "property list uchar uint idx\n") + fiveVertices + "3 0 1 2\n4 0 2 3 4\n", nullptr},
      {PLY, ply, plyHeader(5, 2, "property int f\nproperty list ushort short idx\nproperty uchar red\n") + fiveVertices +
                 "7 3 0 1 2 9\n7 4 0 2 3 4 9\n", nullptr},
      {PLY, ply, plyHeader(5, 2, "property list uchar float uv\nproperty list uchar int vertex_index\n") + fiveVertices +
                 "1 0.5 3 0 1 2\n0 4 0 2 3 4\n", nullptr},
      {PLY, ply, plyHeader(5, 2, "property list uchar int vertex_indices\nproperty list uchar int other\n") + fiveVertices +
                 "3 0 1 2 0\n4 0 2 3 4 0\n", nullptr},
      // A face element without records needs no index list.
      {PLY, plyHeader(1, 0) + "0 0 0\n", plyHeader(1, 0, "property int flags\n") + "0 0 0\n", nullptr},
  };
  // The corners of the two-face clean files: the quad is fanned from its first corner.
  const KEXVector3<float> five[] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {2, 2, 0}};
  const int fan[] = {0, 1, 2, 0, 2, 3, 0, 3, 4};
  for (const auto& c : cases) {
    const Outcome clean = readAs(c.className, c.clean), damaged = readAs(c.className, c.damaged);
    ASSERT_TRUE(clean.ok && damaged.ok) << c.className << ": " << clean.report.message << damaged.report.message;
    EXPECT_TRUE(clean.report.warnings.empty()) << c.className;
    ASSERT_EQ(damaged.report.warnings.size(), c.warning ? 1u : 0u) << c.damaged;
    EXPECT_TRUE(!c.warning || countWarningsWith(damaged.report, c.warning) == 1) << damaged.report.warnings[0];
    ASSERT_EQ(damaged.mesh.getTriangleCount(), clean.mesh.getTriangleCount()) << c.damaged;
    ASSERT_EQ(damaged.mesh.getVertexCount(), clean.mesh.getVertexCount()) << c.damaged;
    const bool twoFaces = c.clean == obj || c.clean == off || c.clean == ply || c.clean == stl;
    ASSERT_TRUE(!twoFaces || clean.mesh.getTriangleCount() == 3) << c.className;
    for (int corner = 0; corner < 3 * clean.mesh.getTriangleCount(); ++corner) {
      const KEXVector3<float>& p = clean.mesh.vertexList[clean.mesh.cornerVertex(corner)];
      EXPECT_EQ(damaged.mesh.vertexList[damaged.mesh.cornerVertex(corner)], p) << c.damaged;
      EXPECT_TRUE(!twoFaces || p == five[fan[corner]]) << c.className << " corner " << corner;
    }
  }
}

TEST(ReaderLeniency, NamesThatAreNoRegularFile)
{
  const std::string dir = tempPath("a_directory.off");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::pair<std::string, const char*> names[] = {
      {dir, "is a directory"}, {"/dev/zero", "not a regular file"}, {"/dev/null", "not a regular file"}};
  for (const char* cls : {OFF, PLY, STL, OBJ, XYZ}) {
    Handler h = handler(cls);
    ASSERT_TRUE(h);
    for (const auto& [path, text] : names) {
      KEXTriangleMeshBuffer b = kexmeshtest::makeTetrahedron();
      KEXGeometryIO::Report r;
      EXPECT_FALSE(h->readBuffer(path.c_str(), b, r)) << cls << " " << path;
      EXPECT_TRUE(r.kind == KEXGeometryIO::Report::Unreadable && b.getVertexCount() == 4) << r.message;
      EXPECT_EQ(r.message, path + ": " + text) << cls;
    }
  }
  rmdir(dir.c_str());
}

TEST(ReaderLeniency, PolygonColoursGoToEachOfTheirTriangles)
{
  // Byte and float colours, a face without one, a colour map index, an alpha, a quad.
  const Outcome o = readAs(OFF, "OFF\n5 5 0\n" + fiveVertices +
                                    "3 0 1 2\n3 0 2 3 255 0 0\n4 0 1 2 3 0 0.5 1 0.25\n3 1 4 2 7\n3 2 4 3 0 255 0 51\n");
  ASSERT_TRUE(o.ok && o.mesh.getTriangleCount() == 6 && o.mesh.hasTriangleColorList()) << o.report.message;
  const KEXRGBA<float> expected[] = {{1, 1, 1, 1},      {1, 0, 0, 1},    {0, 0.5f, 1, 0.25f},
                                     {0, 0.5f, 1, 0.25f}, {1, 1, 1, 1}, {0, 1, 0, 51 / 255.0f}};
  for (int t = 0; t < 6; ++t) {
    const KEXRGBA<float>&g = o.mesh.triangleColorList[t], &w = expected[t];
    EXPECT_LT(std::fabs(g.r - w.r) + std::fabs(g.g - w.g) + std::fabs(g.b - w.b) + std::fabs(g.a - w.a), 1e-6) << t;
  }
  // Without any face colour there is no list.
  const Outcome plain = readAs(OFF, "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2 9\n");
  EXPECT_TRUE(plain.ok && !plain.mesh.hasTriangleColorList());
  // A coloured PLY polygon too becomes triangles of its colour.
  const Outcome p = readAs(PLY, plyHeader(4, 1, "property list uchar int vertex_indices\nproperty uchar red\nproperty uchar green\n"
                                                "property uchar blue\n") + "0 0 0\n1 0 0\n1 1 0\n0 1 0\n4 0 1 2 3 255 0 0\n");
  ASSERT_TRUE(p.ok && p.mesh.getTriangleCount() == 2 && p.mesh.hasTriangleColorList()) << p.report.message;
  for (int t = 0; t < 2; ++t)
    EXPECT_TRUE(p.mesh.triangleColorList[t] == KEXRGBA<float>(1, 0, 0, 1)) << t;
}
