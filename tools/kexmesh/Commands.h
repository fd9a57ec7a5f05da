#pragma once
// The subcommands of the kexmesh tool. Each returns the process exit code.
#include <functional>
#include <string>
#include <vector>

class KEXTriangleMeshBuffer;
namespace CLI {
class App;
}

namespace kexmeshtool {

struct Options {
  bool quiet = false;
  bool ascii = false;
  int threads = 0;
  std::string input, output;
  /// Set by the callback of the subcommand that was given; main runs it once the global options
  /// (threads, quiet, the terminal monitor) are in place and returns its exit code.
  std::function<int()> run;
};

/// Each subcommand family registers its subcommands on the tool's app. A subcommand's callback
/// validates what CLI11 cannot and stores the work in Options::run.
void addInfoCommands(CLI::App& app, Options& o);
void addEditCommands(CLI::App& app, Options& o);
void addRepairCommands(CLI::App& app, Options& o);
void addReduceCommands(CLI::App& app, Options& o);
void addSimplifyCommands(CLI::App& app, Options& o);
void addSmoothCommands(CLI::App& app, Options& o);
void addSubdivideCommands(CLI::App& app, Options& o);
void addDemoCommands(CLI::App& app, Options& o);
void addRenderCommands(CLI::App& app, Options& o);
void addReconstructCommands(CLI::App& app, Options& o);
void addExtractCommands(CLI::App& app, Options& o);

/// Adds the positional input (and output) file arguments of a subcommand.
void addInput(CLI::App& command, Options& o);
void addInputOutput(CLI::App& command, Options& o);

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

/// What a repair prints on stdout: nothing, the report, the report with its per-step table, or the
/// report with its steps as one JSON object.
enum class ReportOutput { None, Report, ReportAndSteps, Json };

/// Repairs buffer in place with the repair filter's sequence and the settings; prints the repair
/// report as asked. Returns the exit code (BadInput for refused or
/// unknown settings, OperationFailed when a step fails or the run is stopped).
int repairBuffer(KEXTriangleMeshBuffer& buffer, const RepairSettings& settings, ReportOutput output);
int repairBuffer(KEXTriangleMeshBuffer& buffer, const RepairSettings& settings, bool verbose);
/// Settings of the point cloud reduction (`reduce`, and `reconstruct --reduce`).
struct ReduceSettings {
  double tolerance = 0.0;
  double minDot = 0.9;
  double spacing = -1.0; ///< negative: the cloud's own mean sampling distance
};
/// Thins the oriented point cloud b in place and prints what it kept. Returns the exit code of the
/// reduction step.
int reduceBuffer(KEXTriangleMeshBuffer& b, const ReduceSettings& s);

/// Settings of `render`, also used for the demo's pictures.
struct PictureSettings {
  std::string view = "iso";
  int width = 1024, height = 768;
  /// Front and back colour as "r,g,b" each; empty: the colour material's defaults.
  std::vector<std::string> materialColors;
  bool wireframe = false, antialias = false;
  std::string highlight;
  bool highlightBad = false;
};

/// Draws buffer with the colour material into the PNG file path and prints what it wrote (and
/// warnings for a blank picture or skipped triangles). Returns the exit code: BadInput for refused
/// settings, OperationFailed when drawing or writing fails or the user stopped it.
int renderPicture(const KEXTriangleMeshBuffer& buffer, const std::string& path, const PictureSettings& settings);
} // namespace kexmeshtool
