#pragma once
// Helpers of the plug-in tests: handlers created by class name, reading and writing bytes.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/io/TriangleMeshIO.h"
#include "support/Meshes.h"
#include "support/TemporaryFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

namespace plugintest {

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

using kexmeshtest::exists;
using kexmeshtest::readFile;
using kexmeshtest::tempPath;
using kexmeshtest::writeFile;

struct Outcome {
  bool ok;
  KEXGeometryIO::Report report;
  KEXTriangleMeshBuffer mesh; // what was read (the untouched target on failure)
};

/// Reads bytes as a file of extension ext into a target holding a tetrahedron. Checks what every
/// read must give: a failure names the file and leaves the target as it was, a success gives a
/// consistent buffer with valid indices.
inline Outcome readBytes(KEXTriangleMeshIO& h, const std::string& ext, const std::string& bytes)
{
  std::string path = tempPath("bad." + ext);
  writeFile(path, bytes);
  Outcome o;
  o.mesh = kexmeshtest::makeTetrahedron();
  o.ok = h.readBuffer(path.c_str(), o.mesh, o.report);
  if (!o.ok) {
    EXPECT_EQ(o.mesh.getVertexCount(), 4) << "a failed read changed the target";
    EXPECT_EQ(o.mesh.getTriangleCount(), 4);
    EXPECT_NE(o.report.message.find(path), std::string::npos) << o.report.message;
    EXPECT_NE(o.report.kind, KEXGeometryIO::Report::Ok);
  } else {
    EXPECT_TRUE(o.mesh.isConsistent());
    for (int t = 0; t < o.mesh.getTriangleCount(); ++t)
      for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(o.mesh.isValidVertex(o.mesh.triangleList[t][k]));
      }
  }
  for (const std::string& w : o.report.warnings) {
    EXPECT_NE(w.find(path), std::string::npos) << "a warning that does not name the file: " << w;
  }
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
  std::string path = tempPath("written.bin");
  KEXGeometryIO::Report r;
  EXPECT_TRUE(h->writeBuffer(path.c_str(), mesh, r)) << r.message;
  std::string bytes = readFile(path);
  std::remove(path.c_str());
  return bytes;
}

} // namespace plugintest
