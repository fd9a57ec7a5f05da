#pragma once
// Helpers of the plug-in tests: handlers created by class name, temporary files, byte access.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/io/TriangleMeshIO.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

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

inline std::string tempPath(const std::string& name)
{
  return ::testing::TempDir() + "kexmesh_io_" + std::to_string(getpid()) + "_" + name;
}

inline std::string readFile(const std::string& path)
{
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline void writeFile(const std::string& path, const std::string& bytes)
{
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), std::streamsize(bytes.size()));
}

inline bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

} // namespace plugintest
