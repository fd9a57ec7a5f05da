// Hostile input: every reader gets a corpus of broken files made here from valid ones (truncated at
// every length, wrong magic, absurd counts, bad indices, NaN text, empty files, lying binary
// counts). Each must fail with a message naming the file, leave the target buffer untouched, and
// never read out of bounds (the suite runs under AddressSanitizer). Random byte mutations must
// either read or fail cleanly.
#include "support/FormatSetup.h"

#include <climits>
#include <cstring>
#include <random>
#include <vector>

using namespace formattest;

namespace {

KEXTriangleMeshBuffer smallMesh()
{
  KEXTriangleMeshBuffer b = kexmeshtest::makeIcosphere(1);
  b.vertexNormalList.setCount(b.getVertexCount(), KEXVector3<float>(0, 0, 1));
  b.vertexColorList.setCount(b.getVertexCount(), KEXRGBA<float>(1, 0, 0, 1));
  return b;
}

/// bytes with the four bytes at offset at replaced by value.
template <class T> std::string patched(std::string bytes, size_t at, T value)
{
  static_assert(sizeof(T) == 4);
  std::memcpy(&bytes[at], &value, 4);
  return bytes;
}

} // namespace

TEST(MalformedInput, EachRefusalSaysWhy)
{
  const std::string stl = writtenBytes(STL, KEXGeometryIO::DefaultEncoding, kexmeshtest::makeCube());
  const std::string plyBinary = "ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                                "property float z\nelement face 1\nproperty list uint int vertex_indices\nend_header\n";
  const char* noIndices = "no list of vertex indices";
  const std::string triangle = "0 0 0\n1 0 0\n0 1 0\n", objTriangle = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
  const struct {
    const char* className;
    std::string bytes;
    const char* text; // in the message; any message when null
  } cases[] = {
      {PLY, "ply\nformat binary_middle_endian 1.0\nend_header\n", "unknown PLY format"},
      {PLY, "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nend_header\n0\n", "lacks"},
      {PLY, "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n", "end_header"},
      {PLY, "ply\nformat binary_little_endian 1.0\nelement vertex 2000000000\nproperty float x\nproperty float y\n"
            "property float z\nend_header\n" + std::string(120, '\0'), "byte"},
      {PLY, plyHeader(3, 1) + triangle + "3 0 1 3\n", "refers to vertex 3"},
      {PLY, plyHeader(3, 1) + triangle + "3 0 -1 2\n", "refers to vertex -1"},
      {PLY, plyHeader(3, 4000000000000) + triangle, "more records"},
      {PLY, plyHeader(5, 2, "property list uchar float corners\n") + fiveVertices + "3 0 1 2\n3 1 4 2\n", noIndices},
      {PLY, plyHeader(5, 2, "property list uchar int a\nproperty list uchar int b\n") + fiveVertices + "3 0 1 2 0\n3 1 4 2 0\n",
       noIndices},
      {PLY, plyHeader(5, 2, "property int flags\n") + fiveVertices + "7\n7\n", noIndices},
      {PLY, plyHeader(5, 2, "") + fiveVertices, noIndices},
      {PLY, patched(plyBinary + std::string(52, '\0'), plyBinary.size() + 36, uint32_t(0x7FFFFFFF)), "past the end"}, // list length
      {OFF, "4OFF\n1 0 0\n0 0 0 0\n", "unsupported OFF"},
      {OFF, "OFF\n\xEF\xBB\xBF" "3 1 0\n" + triangle + "3 0 1 2\n", nullptr}, // a byte order mark but at the start
      {OFF, "OFF\n999999999999 1 0\n0 0 0\n", "more vertices"},
      {OFF, "OFF\n3 1 0\n" + triangle + "99999999999 0 1 2\n", "invalid face"},
      {OFF, "OFF\n3 1 0\n" + triangle + "3 0 1 7\n", "refers to vertex 7"},
      {OFF, "OFF\n3 1 0\n" + triangle + "3 0 -2 1\n", "refers to vertex -2"},
      {OBJ, objTriangle + "f 1 2 4\n", "refers to vertex 4"},
      {OBJ, objTriangle + "f 1 2 0\n", "index 0"},
      {OBJ, objTriangle + "f -4 1 2\n", "before the first vertex"},
      {OBJ, objTriangle + "f 1//5 2 3\n", "normal 5"},
      {STL, patched(stl, 80, uint32_t(1000000)), "declares 1000000 triangles"},
      {STL, patched(stl, 84 + 12 + 4, std::numeric_limits<float>::quiet_NaN()), "not a finite number"},
      {STL, "solid x\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\n", nullptr},
      {XYZ, "5\n0 0 0\n1 1 1\n", "declares 5 points"},
      {XYZ, "0 0 0 0 0 1\n1 1 1\n", "columns"},
      {XYZ, "0 0 0 0 0 1\n1 1 1 nan 0 0\n", ":2:"}, // a normal that is no number
  };
  for (const auto& c : cases)
    expectRefused(c.className, c.bytes, c.text);
  // A binary STL header that begins with "solid" is still binary when the size fits.
  EXPECT_TRUE(readAs(STL, "solid cube" + stl.substr(10)).ok);
}

// Every cut of a valid file, empty and foreign files and random byte mutations: each reads or
// fails cleanly (readAs checks which it was).
TEST(MalformedInput, TruncatedEmptyForeignAndMutatedFilesFailCleanly)
{
  std::mt19937 rng(99);
  const KEXTriangleMeshBuffer mesh = smallMesh();
  for (const Format& f : everyEncoding) {
    const std::string valid = writtenBytes(f.className, f.encoding, mesh);
    ASSERT_TRUE(readAs(f.className, valid).ok) << f.className;
    int accepted = 0;
    for (size_t n = 0; n < valid.size(); n += (n < 400 || n + 400 > valid.size() ? 1 : 5))
      accepted += readAs(f.className, valid.substr(0, n)).ok;
    // Binary files with counts must refuse every cut; counted text files only the cuts that still
    // form a valid file (the final line end, the last digit of the last index). Text formats
    // without counts (OBJ, XYZ, ascii STL cut at a facet end) may hold fewer elements.
    const bool counted = f.className == PLY || f.className == OFF;
    EXPECT_LE(accepted, f.encoding != KEXGeometryIO::Ascii ? 0 : counted ? 2 : INT_MAX) << f.className << " " << f.encoding;
    expectRefused(f.className, "", "empty");
    expectRefused(f.className, "\x89PNG\r\n\x1a\n garbage that is no mesh at all, not even close to one, no", nullptr);
    for (int round = 0; round < 150; ++round) {
      std::string bytes = valid;
      for (int e = 0, edits = 1 + int(rng() % 8); e < edits; ++e) {
        const size_t at = rng() % bytes.size();
        switch (rng() % 4) {
        case 0: bytes[at] = char(rng()); break;
        case 1: bytes.erase(at, 1 + rng() % 16); break;
        case 2: bytes.insert(at, std::string(1 + rng() % 4, "0123456789-. \n\xff"[rng() % 15])); break;
        default: bytes[at] = "0123456789-+.e \n\r"[rng() % 17]; break;
        }
        bytes = bytes.empty() ? "x" : bytes;
      }
      readAs(f.className, bytes);
    }
  }
}
