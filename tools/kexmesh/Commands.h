#pragma once
// The subcommands of the kexmesh tool. Each returns the process exit code.
#include <string>
#include <vector>

class KEXTriangleMeshBuffer;

namespace kexmeshtool {

struct Options {
  bool quiet = false;
  bool ascii = false;
  int threads = 0;
  std::string input, output;
};

/// Settings of `fix` and `enhance`, handed to the repair filters as property values.
struct RepairSettings {
  /// Step names of the repair sequence; empty: the filter's default sequence.
  std::vector<std::string> steps;
  /// Welding distance; only used when distanceGiven (otherwise, or negative: the welding step guesses
  /// it).
  double maxDistance = -1.0;
  bool distanceGiven = false;
  /// Angle limits in degrees: empty (the filter's defaults) or two numbers.
  std::vector<double> angleLimits, capLimits, needleLimits;
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
int runEnhance(const Options& o, const RepairSettings& settings);
int runDye(const Options& o);
int runFix(const Options& o, const RepairSettings& settings);
/// Repairs buffer in place with the repair filter's sequence and the settings; prints the repair
/// report (with the per-step table when verbose). Returns the exit code (BadInput for refused or
/// unknown settings, OperationFailed when a step fails or the run is stopped).
int repairBuffer(KEXTriangleMeshBuffer& buffer, const RepairSettings& settings, bool verbose);
/// Writes a generated shape: "sphere" or "torus", about `triangles` triangles, as a soup if asked.
int runGenerate(const Options& o, const std::string& shape, int triangles, bool soup);
int runDemo(const Options& o, const std::string& directory);

} // namespace kexmeshtool
