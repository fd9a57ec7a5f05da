#pragma once
// The real meshes of data/meshes (fetched by scripts/fetch-data) for the tests that judge the
// library on real input: their paths, and reading one through the format plug-ins, as the tool does.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/io/TriangleMeshIO.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace kexmeshtest {

inline std::filesystem::path meshFolder() { return std::filesystem::path(KEXMESH_DATA_DIR) / "meshes"; }

/// Every file of data/meshes, sorted; empty when the data set was not fetched.
inline std::vector<std::string> meshFiles()
{
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(meshFolder(), error))
    if (entry.is_regular_file())
      files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

/// Reads path with the plug-in its extension names; false when none reads it.
inline bool readMesh(const std::string& path, KEXTriangleMeshBuffer& b)
{
  KEXGeometryIO::Report report;
  KEXTriangleMeshIO* h = KEXTriangleMeshIO::createForFile(path.c_str(), report);
  if (!h)
    return false;
  const bool ok = h->readBuffer(path.c_str(), b, report);
  KEXTriangleMeshIO::destroy(h);
  return ok;
}

} // namespace kexmeshtest
