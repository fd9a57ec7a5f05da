// The umbrella header: a host includes one header and gets the whole library.
#include "kexmesh/kexmesh.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

TEST(UmbrellaHeader, IncludesEveryPublicHeaderOfTheLibrary)
{
  // The source tree's root, found from this file's own path.
  std::filesystem::path root = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().parent_path();
  std::filesystem::path library = root / "kexmesh";
  if (!std::filesystem::exists(library / "kexmesh.h"))
    GTEST_SKIP() << "sources not available at " << library;
  std::stringstream text;
  text << std::ifstream(library / "kexmesh.h").rdbuf();
  const std::string umbrella = text.str();
  std::vector<std::string> missing;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(library)) {
    if (entry.path().extension() != ".h" || entry.path().filename() == "kexmesh.h")
      continue;
    std::string relative = "kexmesh/" + std::filesystem::relative(entry.path(), library).generic_string();
    if (relative.find("/internal/") != std::string::npos)
      continue; // the library's own shared helpers, not installed
    if (umbrella.find("#include \"" + relative + "\"") == std::string::npos)
      missing.push_back(relative);
  }
  EXPECT_TRUE(missing.empty()) << "add to kexmesh/kexmesh.h: " << ::testing::PrintToString(missing);
}

} // namespace
