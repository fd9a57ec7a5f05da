#pragma once
// Writers go through a temporary file next to the output ("<name>.part-XXXXXX"): whether any is
// left behind after a write.
#include <dirent.h>
#include <string>

namespace kexmeshtest {

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
