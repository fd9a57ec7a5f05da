// The umbrella header: a host includes one header and gets the whole library.
#include "kexmesh/kexmesh.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

TEST(UmbrellaHeader, IncludesEveryPublicHeaderOfTheLibrary)
{
  // The source tree's root: the folder of the data directory (this file's own path is relative
  // under ccache's base directory, so it cannot tell).
  const std::filesystem::path library = std::filesystem::path(KEXMESH_DATA_DIR).parent_path() / "kexmesh";
  ASSERT_TRUE(std::filesystem::exists(library / "kexmesh.h")) << "sources not found at " << library;
  std::ifstream in(library / "kexmesh.h");
  const std::string umbrella((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> missing;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(library)) {
    if (entry.path().extension() != ".h" || entry.path().filename() == "kexmesh.h")
      continue;
    const std::string relative = "kexmesh/" + std::filesystem::relative(entry.path(), library).generic_string();
    // Headers under internal/ are the library's own shared helpers, not installed.
    if (relative.find("/internal/") == std::string::npos && umbrella.find("#include \"" + relative + "\"") == std::string::npos)
      missing.push_back(relative);
  }
  EXPECT_TRUE(missing.empty()) << "add to kexmesh/kexmesh.h: " << ::testing::PrintToString(missing);
}

} // namespace
