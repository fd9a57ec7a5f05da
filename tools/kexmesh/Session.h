#pragma once
// What every subcommand of the kexmesh tool shares: the terminal monitor (progress bar, Ctrl-C,
// diagnostics), reading and writing meshes through the format plug-ins, running algorithms by
// class name, and the mesh statistics the tool prints.
#include "kex/Task.h"
#include "kexgeometry/GeometryIO.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>

class KEXObject;
class KEXTriangleMeshAlgorithmIF;

namespace kexmeshtool {

/// Exit codes of the tool.
/// 3: the operation ran, but the mesh still has problems (fix: what the repair could not remove;
/// check: what it found).
enum ExitCode { Success = 0, OperationFailed = 1, BadInput = 2, ProblemsLeft = 3 };

/// Ctrl-C handling: the first press requests a stop, the second an abort, a third ends the process.
void installInterruptHandler();
/// 0: no request, 1: stop requested, 2 or more: abort requested.
int interruptCount();

/// Prints the progress bar on stderr (only when it is a terminal and not quiet) and diagnostics as
/// "error: " / "warning: " lines; answers progress reports with Stop or Abort after Ctrl-C.
class TerminalMonitor : public KEXTaskMonitor {
public:
  explicit TerminalMonitor(bool quiet);
  ~TerminalMonitor() override;
  void begun(const KEXTask& task, const char* subTaskMessage, int depth) override;
  Reply progress(const KEXTask& task, double absolute) override;
  Reply message(const KEXTask& task, const KEXTaskInfo::Message& message) override;
  void diagnostic(const KEXTask* task, KEXenum severity, const char* format, const char* text) override;
  Reply taskEnded(const KEXTask& task, KEXTaskInfo::Status status, KEXenum code) override;
  /// While muted, diagnostics are counted but not printed.
  void setMuted(bool muted) { m_muted = muted; }
  /// Removes the bar from the terminal.
  void clearBar();

private:
  Reply reply() const;
  std::mutex m_mutex;
  // The surface reconstruction's rounds, shown before the bar's message: the outermost
  // "Constructing triangulation" task, the depth of its per-round sub-tasks (the reconstructions of
  // small holes nested deeper have rounds of their own, which are not counted) and the round.
  const KEXTask* m_roundsOf = nullptr;
  int m_roundDepth = -1, m_round = 0;
  bool m_quiet, m_terminal, m_muted = false, m_barShown = false;
  std::chrono::steady_clock::time_point m_start, m_lastDraw;
};

/// Prints "error: <text>" (and removes a progress bar first).
void printError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void printWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));
/// Prints a line of what a subcommand did on stderr (not with --quiet).
void printNote(const char* format, ...) __attribute__((format(printf, 1, 2)));
/// Mutes (or unmutes) the diagnostics of the library's tasks.
void muteDiagnostics(bool muted);
/// Whether warnings and notes are printed (not with --quiet).
void setWarningsShown(bool shown);

/// Reads a mesh or point cloud; BadInput on failure (the reason is printed).
int readMesh(const std::string& path, KEXTriangleMeshBuffer& buffer);
/// Writes with the handler of the file's extension; ascii selects the text encoding where the
/// format has one. OperationFailed (printed) on failure, BadInput for an unknown extension.
int writeMesh(const std::string& path, const KEXTriangleMeshBuffer& buffer, bool ascii);

/// Outcome of an algorithm run.
enum class RunResult { Done, Failed, Stopped, Unavailable };
/// Creates the algorithm by class name, configures it, attaches the buffer and executes it.
RunResult runAlgorithm(const char* className, KEXTriangleMeshBuffer& buffer,
                       const std::function<bool(KEXTriangleMeshAlgorithmIF&)>& configure = nullptr,
                       const std::function<void(KEXTriangleMeshAlgorithmIF&)>& readBack = nullptr);
/// Maps a run result to an exit code, printing why it failed.
int exitCodeOf(RunResult result, const char* what);

/// Numbers that describe a mesh's health. The validity counts are the library's integrity check's
/// (so that check and fix agree on what is bad); the topology counts are the tool's own tally of
/// the triangle list.
struct MeshStats {
  long long vertices = 0, triangles = 0;
  bool checked = false;              ///< the integrity check ran (false: the counts below it are 0)
  long long nonFiniteVertices = 0;   ///< NaN or infinite coordinates (the check's invalid vertices)
  long long invalidTriangles = 0;    ///< an index out of range (the check's invalid triangles)
  long long degenerateTriangles = 0; ///< the check's empty triangles (counted only on a valid mesh)
  long long duplicateVertices = 0;   ///< vertices at exactly the position of an earlier one
  long long unusedVertices = 0;      ///< used by no triangle
  long long boundaryEdges = 0;       ///< edges of one triangle
  long long nonManifoldEdges = 0;    ///< edges of three or more triangles
  long long flippedEdges = 0;        ///< interior edges whose two triangles disagree in orientation
  long long boundaryLoops = 0;       ///< holes (closed chains of boundary edges)
  long long components = 0;         ///< used vertices joined by edges
  /// Every triangle has three vertices of its own and some of them coincide: an unwelded soup,
  /// whose borders say nothing about holes.
  bool isSoup() const { return triangles > 0 && vertices == 3 * triangles && unusedVertices == 0 && duplicateVertices > 0; }
};
MeshStats computeStats(const KEXTriangleMeshBuffer& b);

/// Read, steps, write: the shape of most subcommands. A step result of ProblemsLeft still writes the
/// output (the repair did what it could; its report says what is left).
int transformFile(const std::string& input, const std::string& output, bool ascii,
                  const std::function<int(KEXTriangleMeshBuffer&)>& steps);

/// Runs a filter's own Filter action on b in buffer mode, as a host holding a buffer would (the
/// filter's properties reach its algorithms there), `times` times in a row. Success; after a stop
/// by the user also Success (transformFile reports the stop and writes nothing); otherwise
/// OperationFailed with "<what> failed" printed.
int runFilterAction(KEXObject& filter, KEXTriangleMeshBuffer& b, const char* what, int times = 1);

/// Runs one algorithm by class name and maps the result to an exit code (see runAlgorithm).
int step(KEXTriangleMeshBuffer& b, const char* className, const char* what,
         const std::function<bool(KEXTriangleMeshAlgorithmIF&)>& configure = nullptr,
         const std::function<void(KEXTriangleMeshAlgorithmIF&)>& readBack = nullptr);

/// Owns one reference to a filter created by class name through its metaclass.
template <class Filter>
class FilterHandle {
public:
  explicit FilterHandle(const char* className)
  {
    const KEXMetaClass* meta = KEXMetaClass::find(className);
    KEXClass* object = meta && meta->isOfType(Filter::metaClass()) ? meta->create() : nullptr;
    m_filter = static_cast<Filter*>(object);
    if (!m_filter)
      printError("the filter %s is not available", className);
  }
  ~FilterHandle()
  {
    if (m_filter)
      m_filter->release(); // the creator's reference; the metaclass destroys it at zero
  }
  FilterHandle(const FilterHandle&) = delete;
  FilterHandle& operator=(const FilterHandle&) = delete;
  explicit operator bool() const { return m_filter != nullptr; }
  Filter* operator->() const { return m_filter; }
  Filter& operator*() const { return *m_filter; }

private:
  Filter* m_filter = nullptr;
};


} // namespace kexmeshtool
