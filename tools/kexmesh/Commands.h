#pragma once
// The subcommands of the kexmesh tool. Each returns the process exit code.
#include <string>
#include <vector>

namespace kexmeshtool {

struct Options {
  bool quiet = false;
  bool ascii = false;
  int threads = 0;
  std::string input, output;
};

int runInfo(const Options& o);
int runCheck(const Options& o);
int runNormals(const Options& o);
int runWeld(const Options& o, double distance);
int runFlip(const Options& o);
/// matrix: 16 numbers row by row, or empty; scale: 1 or 3 numbers, or empty; translate: 3 or empty.
int runTransform(const Options& o, const std::vector<double>& matrix, const std::vector<double>& scale,
                 const std::vector<double>& translate);
int runConvert(const Options& o);
int runOrient(const Options& o);
int runCloseGaps(const Options& o);
int runEnhance(const Options& o);
int runDye(const Options& o);
int runFix(const Options& o);
/// Writes a generated shape: "sphere" or "torus", about `triangles` triangles, as a soup if asked.
int runGenerate(const Options& o, const std::string& shape, int triangles, bool soup);
int runDemo(const Options& o, const std::string& directory);

} // namespace kexmeshtool
