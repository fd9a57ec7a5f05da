#pragma once
// Files of the tests: paths in the test's temporary folder, whole-file reads and writes, and
// whether a write left its temporary file ("<name>.part-XXXXXX") behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace kexmeshtest {

/// A path in the temporary folder, unique to this process.
inline std::string tempPath(const std::string& name)
{
  return ::testing::TempDir() + "kexmesh_" + std::to_string(getpid()) + "_" + name;
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
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), std::streamsize(bytes.size()));
}

inline bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

/// Whether a temporary file of a write to path is left in its folder.
inline bool temporaryLeft(const std::string& path)
{
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".part";
  DIR* d = opendir(folder.c_str());
  if (!d)
    return false;
  bool found = false;
  while (dirent* e = readdir(d))
    found = found || std::string(e->d_name).rfind(prefix, 0) == 0;
  closedir(d);
  return found;
}

} // namespace kexmeshtest
