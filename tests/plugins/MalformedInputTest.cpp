// Hostile input: every reader gets a corpus of broken files made here from valid ones (truncated at
// every length, wrong magic, absurd counts, bad indices, NaN text, empty files, lying binary
// counts). Each must fail with a message naming the file, leave the target buffer untouched, and
// never read out of bounds (the suite runs under AddressSanitizer). Random byte mutations must
// either read or fail cleanly.
#include "PluginTestSupport.h"

#include <cstring>
#include <random>
#include <vector>

using namespace plugintest;

namespace {

void expectError(KEXTriangleMeshIO& h, const std::string& ext, const std::string& bytes, const char* expectedText)
{
  Outcome o = readBytes(h, ext, bytes);
  EXPECT_FALSE(o.ok) << ext << ": accepted " << bytes.substr(0, 200);
  if (expectedText) {
    EXPECT_NE(o.report.message.find(expectedText), std::string::npos) << o.report.message;
  }
}

KEXTriangleMeshBuffer smallMesh()
{
  KEXTriangleMeshBuffer b = kexmeshtest::makeIcosphere(1);
  b.vertexNormalList.setCount(b.getVertexCount(), KEXVector3<float>(0, 0, 1));
  b.vertexColorList.setCount(b.getVertexCount(), KEXRGBA<float>(1, 0, 0, 1));
  return b;
}

struct Format {
  const char* className;
  const char* ext;
  KEXGeometryIO::Encoding encoding;
};

const Format formats[] = {
    {"KEXTriangleMeshIOPLY", "ply", KEXGeometryIO::BinaryLittleEndian},
    {"KEXTriangleMeshIOPLY", "ply", KEXGeometryIO::BinaryBigEndian},
    {"KEXTriangleMeshIOPLY", "ply", KEXGeometryIO::Ascii},
    {"KEXTriangleMeshIOSTL", "stl", KEXGeometryIO::BinaryLittleEndian},
    {"KEXTriangleMeshIOSTL", "stl", KEXGeometryIO::Ascii},
    {"KEXTriangleMeshIOOFF", "off", KEXGeometryIO::Ascii},
    {"KEXTriangleMeshIOOBJ", "obj", KEXGeometryIO::Ascii},
    {"KEXTriangleMeshIOXYZ", "xyz", KEXGeometryIO::Ascii},
};

} // namespace

TEST(MalformedInput, EveryTruncationFailsCleanly)
{
  KEXTriangleMeshBuffer mesh = smallMesh();
  for (const Format& f : formats) {
    Handler h = handler(f.className);
    ASSERT_TRUE(h);
    std::string valid = writtenBytes(f.className, f.encoding, mesh);
    ASSERT_TRUE(readBytes(*h, f.ext, valid).ok) << f.className;
    std::vector<size_t> cuts;
    for (size_t n = 0; n < valid.size(); n += (n < 400 || n + 400 > valid.size() ? 1 : 5))
      cuts.push_back(n);
    int accepted = 0;
    for (size_t n : cuts) {
      Outcome o = readBytes(*h, f.ext, valid.substr(0, n));
      // Text formats without counts (OBJ, XYZ, ascii STL cut at a facet end) may legitimately hold
      // fewer elements; counted formats must refuse every cut.
      if (o.ok)
        ++accepted;
    }
    // Binary files with counts must refuse every cut; counted text files only the cuts that still
    // form a valid file (the final line end, the last digit of the last index).
    if (f.encoding != KEXGeometryIO::Ascii)
      EXPECT_EQ(accepted, 0) << f.className << " " << f.encoding;
    else if (std::strcmp(f.ext, "ply") == 0 || std::strcmp(f.ext, "off") == 0) {
      EXPECT_LE(accepted, 2) << f.className;
    }
  }
}

TEST(MalformedInput, EmptyAndWrongMagic)
{
  for (const Format& f : formats) {
    Handler h = handler(f.className);
    ASSERT_TRUE(h);
    expectError(*h, f.ext, "", "empty");
    expectError(*h, f.ext, "\x89PNG\r\n\x1a\n garbage that is no mesh at all, not even close to one, no", nullptr);
  }
  Handler ply = handler("KEXTriangleMeshIOPLY");
  expectError(*ply, "ply", "ply\nformat binary_middle_endian 1.0\nend_header\n", "unknown PLY format");
  expectError(*ply, "ply", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nend_header\n0\n", "lacks");
  expectError(*ply, "ply", "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n", "end_header");
  Handler off = handler("KEXTriangleMeshIOOFF");
  expectError(*off, "off", "4OFF\n1 0 0\n0 0 0 0\n", "unsupported OFF");
}

TEST(MalformedInput, AbsurdCountsAllocateNothing)
{
  Handler ply = handler("KEXTriangleMeshIOPLY");
  const char* head = "ply\nformat binary_little_endian 1.0\nelement vertex 2000000000\nproperty float x\n"
                     "property float y\nproperty float z\nend_header\n";
  expectError(*ply, "ply", std::string(head) + std::string(120, '\0'), "byte");
  expectError(*ply, "ply",
              "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
              "element face 4000000000000\nproperty list uchar int vertex_indices\nend_header\n0 0 0\n1 0 0\n0 1 0\n",
              "more records");
  // A list length beyond the file.
  std::string body = "ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                     "property float z\nelement face 1\nproperty list uint int vertex_indices\nend_header\n";
  body += std::string(36, '\0');
  uint32_t n = 0x7FFFFFFF;
  body.append(reinterpret_cast<const char*>(&n), 4);
  body += std::string(12, '\0');
  expectError(*ply, "ply", body, "past the end");
  Handler off = handler("KEXTriangleMeshIOOFF");
  expectError(*off, "off", "OFF\n999999999999 1 0\n0 0 0\n", "more vertices");
  expectError(*off, "off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n99999999999 0 1 2\n", "invalid face");
  Handler xyz = handler("KEXTriangleMeshIOXYZ");
  expectError(*xyz, "xyz", "5\n0 0 0\n1 1 1\n", "declares 5 points");
}

TEST(MalformedInput, BinaryStlWithALyingCount)
{
  Handler stl = handler("KEXTriangleMeshIOSTL");
  std::string valid = writtenBytes("KEXTriangleMeshIOSTL", KEXGeometryIO::DefaultEncoding, kexmeshtest::makeCube());
  std::string lying = valid;
  uint32_t count = 1000000;
  std::memcpy(&lying[80], &count, 4);
  expectError(*stl, "stl", lying, "declares 1000000 triangles");
  // A binary header that begins with "solid" is still binary when the size fits.
  std::string solid = valid;
  std::memcpy(&solid[0], "solid cube", 10);
  Outcome o = readBytes(*stl, "stl", solid);
  EXPECT_TRUE(o.ok) << o.report.message;
  // A NaN coordinate.
  std::string nan = valid;
  float q = std::numeric_limits<float>::quiet_NaN();
  std::memcpy(&nan[84 + 12 + 4], &q, 4);
  expectError(*stl, "stl", nan, "not a finite number");
}

TEST(MalformedInput, BadIndicesAndNumbers)
{
  const char* plyHead = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
                        "element face 1\nproperty list uchar int vertex_indices\nend_header\n";
  Handler ply = handler("KEXTriangleMeshIOPLY");
  expectError(*ply, "ply", std::string(plyHead) + "0 0 0\n1 0 0\n0 1 0\n3 0 1 3\n", "refers to vertex 3");
  expectError(*ply, "ply", std::string(plyHead) + "0 0 0\n1 0 0\n0 1 0\n3 0 -1 2\n", "refers to vertex -1");
  expectError(*ply, "ply", std::string(plyHead) + "0 0 0\n1 inf 0\n0 1 0\n3 0 1 2\n", ":11:");
  Handler off = handler("KEXTriangleMeshIOOFF");
  expectError(*off, "off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 7\n", "refers to vertex 7");
  expectError(*off, "off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 -2 1\n", "refers to vertex -2");
  expectError(*off, "off", "OFF\n3 1 0\n0 0 0\n1 NaN 0\n0 1 0\n3 0 1 2\n", ":4:");
  Handler obj = handler("KEXTriangleMeshIOOBJ");
  expectError(*obj, "obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 4\n", "refers to vertex 4");
  expectError(*obj, "obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 0\n", "index 0");
  expectError(*obj, "obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf -4 1 2\n", "before the first vertex");
  expectError(*obj, "obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1//5 2 3\n", "normal 5");
  Handler stl = handler("KEXTriangleMeshIOSTL");
  expectError(*stl, "stl",
              "solid x\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 nan 0\nvertex 0 1 0\nendloop\nendfacet\n"
              "endsolid x\n",
              ":5:");
  expectError(*stl, "stl", "solid x\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\n", nullptr);
  Handler xyz = handler("KEXTriangleMeshIOXYZ");
  expectError(*xyz, "xyz", "0 0 0 0 0 1\n1 1 1\n", "columns");
  expectError(*xyz, "xyz", "0 0 0 0 0 1\n1 1 1 nan 0 0\n", ":2:");
}

TEST(MalformedInput, RandomMutationsNeverCrash)
{
  std::mt19937 rng(99);
  KEXTriangleMeshBuffer mesh = smallMesh();
  for (const Format& f : formats) {
    Handler h = handler(f.className);
    ASSERT_TRUE(h);
    std::string valid = writtenBytes(f.className, f.encoding, mesh);
    for (int round = 0; round < 150; ++round) {
      std::string bytes = valid;
      int edits = 1 + int(rng() % 8);
      for (int e = 0; e < edits; ++e) {
        size_t at = rng() % bytes.size();
        switch (rng() % 4) {
        case 0: bytes[at] = char(rng()); break;
        case 1: bytes.erase(at, 1 + rng() % 16); break;
        case 2: bytes.insert(at, std::string(1 + rng() % 4, "0123456789-. \n\xff"[rng() % 15])); break;
        default: bytes[at] = "0123456789-+.e \n\r"[rng() % 17]; break;
        }
        if (bytes.empty())
          bytes = "x";
      }
      readBytes(*h, f.ext, bytes);
    }
  }
}
