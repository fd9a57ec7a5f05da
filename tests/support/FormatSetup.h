#pragma once
// Set-up shared by the mesh file plug-in tests: every format in every encoding it writes, PLY text
// headers built from their counts, reading bytes with a fresh handler, and the checks on what a
// refusal or a warning says. Kept here so each test file holds only its cases.
#include "plugins/PluginTestSupport.h"

#include <cctype>
#include <string>

namespace formattest {

using namespace plugintest;

// Arrays, not pointers to literals, so that a class name compares by address.

inline constexpr char PLY[] = "KEXTriangleMeshIOPLY";
inline constexpr char STL[] = "KEXTriangleMeshIOSTL";
inline constexpr char OFF[] = "KEXTriangleMeshIOOFF";
inline constexpr char OBJ[] = "KEXTriangleMeshIOOBJ";
inline constexpr char XYZ[] = "KEXTriangleMeshIOXYZ";

struct Format {
  const char* className;
  KEXGeometryIO::Encoding encoding;
};

inline const Format everyEncoding[] = {
    {PLY, KEXGeometryIO::BinaryLittleEndian}, {PLY, KEXGeometryIO::BinaryBigEndian}, {PLY, KEXGeometryIO::Ascii},
    {STL, KEXGeometryIO::BinaryLittleEndian}, {STL, KEXGeometryIO::Ascii},           {OFF, KEXGeometryIO::Ascii},
    {OBJ, KEXGeometryIO::Ascii},              {XYZ, KEXGeometryIO::Ascii},
};

/// The usual file extension of a handler class: the format name that ends it, in lower case.
inline std::string extensionOf(const char* className)
{
  std::string ext = std::string(className).substr(std::string(className).size() - 3);
  for (char& c : ext)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

/// Reads bytes with a fresh handler of className; readBytes makes the checks every read must pass.
inline Outcome readAs(const char* className, const std::string& bytes)
{
  Handler h = handler(className);
  return h ? readBytes(*h, extensionOf(className), bytes) : Outcome{false, {}, {}};
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
  Outcome o = readAs(className, bytes);
  EXPECT_FALSE(o.ok) << className << ": accepted " << bytes.substr(0, 200);
  if (expectedText) {
    EXPECT_NE(o.report.message.find(expectedText), std::string::npos) << className << ": " << o.report.message;
  }
}

} // namespace formattest
