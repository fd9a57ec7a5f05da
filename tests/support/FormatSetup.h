#pragma once
// Set-up shared by the mesh file plug-in tests: handlers created by class name, every format in
// every encoding it writes, PLY text headers built from their counts, reading bytes with a fresh
// handler under the checks every read must pass, and the checks on what a refusal or a warning
// says. Kept here so each test file holds only its cases.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/io/TriangleMeshIO.h"
#include "support/Meshes.h"
#include "support/TemporaryFiles.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <string>

namespace formattest {

using kexmeshtest::exists;
using kexmeshtest::readFile;
using kexmeshtest::tempPath;
using kexmeshtest::writeFile;

struct HandlerDeleter {
  void operator()(KEXTriangleMeshIO* h) const { KEXTriangleMeshIO::destroy(h); }
};
using Handler = std::unique_ptr<KEXTriangleMeshIO, HandlerDeleter>;

inline Handler handler(const char* className)
{
  Handler h(KEXTriangleMeshIO::create(className));
  EXPECT_NE(h, nullptr) << className;
  return h;
}

// Arrays, not pointers to literals, so that a class name compares by address.
inline constexpr char PLY[] = "KEXTriangleMeshIOPLY", STL[] = "KEXTriangleMeshIOSTL", OFF[] = "KEXTriangleMeshIOOFF",
                      OBJ[] = "KEXTriangleMeshIOOBJ", XYZ[] = "KEXTriangleMeshIOXYZ";

struct Format {
  const char* className;
  KEXGeometryIO::Encoding encoding;
};

inline const Format everyEncoding[] = {
    {PLY, KEXGeometryIO::BinaryLittleEndian}, {PLY, KEXGeometryIO::BinaryBigEndian}, {PLY, KEXGeometryIO::Ascii},
    {STL, KEXGeometryIO::BinaryLittleEndian}, {STL, KEXGeometryIO::Ascii},           {OFF, KEXGeometryIO::Ascii},
    {OBJ, KEXGeometryIO::Ascii},              {XYZ, KEXGeometryIO::Ascii},
};

struct Outcome {
  bool ok;
  KEXGeometryIO::Report report;
  KEXTriangleMeshBuffer mesh; // what was read (the untouched target on failure)
};

/// Reads bytes with a fresh handler of className, as a file of the format's usual extension, into
/// a target holding a tetrahedron. Checks what every read must give: a failure names the file and
/// leaves the target as it was, a success gives a consistent buffer with valid indices, and every
/// warning names the file.
inline Outcome readAs(const char* className, const std::string& bytes)
{
  Handler h = handler(className);
  if (!h)
    return Outcome{false, {}, {}};
  std::string ext = std::string(className).substr(std::string(className).size() - 3);
  for (char& c : ext)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  const std::string path = tempPath("bad." + ext);
  writeFile(path, bytes);
  Outcome o{false, {}, kexmeshtest::makeTetrahedron()};
  o.ok = h->readBuffer(path.c_str(), o.mesh, o.report);
  if (!o.ok) {
    EXPECT_TRUE(o.mesh.getVertexCount() == 4 && o.mesh.getTriangleCount() == 4) << "a failed read changed the target";
    EXPECT_NE(o.report.message.find(path), std::string::npos) << o.report.message;
    EXPECT_NE(o.report.kind, KEXGeometryIO::Report::Ok);
  } else {
    EXPECT_TRUE(o.mesh.isConsistent());
    for (int t = 0; t < o.mesh.getTriangleCount(); ++t)
      for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(o.mesh.isValidVertex(o.mesh.triangleList[t][k]));
  }
  for (const std::string& w : o.report.warnings)
    EXPECT_NE(w.find(path), std::string::npos) << "a warning that does not name the file: " << w;
  std::remove(path.c_str());
  return o;
}

/// The bytes a handler writes for mesh with encoding e.
inline std::string writtenBytes(const char* className, KEXGeometryIO::Encoding e, const KEXTriangleMeshBuffer& mesh)
{
  Handler h = handler(className);
  if (!h)
    return {};
  h->setEncoding(e);
  const std::string path = tempPath("written.bin");
  KEXGeometryIO::Report r;
  EXPECT_TRUE(h->writeBuffer(path.c_str(), mesh, r)) << r.message;
  std::string bytes = readFile(path);
  std::remove(path.c_str());
  return bytes;
}

/// Five vertices in a plane: room for a triangle, a quad and faces that share them.
inline const std::string fiveVertices = "0 0 0\n1 0 0\n1 1 0\n0 1 0\n2 2 0\n";

/// A text PLY header with float x y z vertices and a face element of the given properties.
inline std::string plyHeader(int vertices, long long faces,
                             const std::string& faceProperties = "property list uchar int vertex_indices\n")
{
  return "ply\nformat ascii 1.0\nelement vertex " + std::to_string(vertices) +
         "\nproperty float x\nproperty float y\nproperty float z\nelement face " + std::to_string(faces) + "\n" +
         faceProperties + "end_header\n";
}

inline int countWarningsWith(const KEXGeometryIO::Report& r, const char* text)
{
  int n = 0;
  for (const std::string& w : r.warnings)
    n += w.find(text) != std::string::npos;
  return n;
}

/// A refusal of bytes whose message holds expectedText (any message when it is null).
inline void expectRefused(const char* className, const std::string& bytes, const char* expectedText)
{
  const Outcome o = readAs(className, bytes);
  EXPECT_FALSE(o.ok) << className << ": accepted " << bytes.substr(0, 200);
  EXPECT_TRUE(!expectedText || o.report.message.find(expectedText) != std::string::npos)
      << className << ": " << o.report.message;
}

} // namespace formattest
