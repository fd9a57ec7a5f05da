#pragma once
// Test interface of the framework stand-in: lets any test (of this repository or of a host) drive
// every failure path: allocation faults, the error channel, stop and abort requests at chosen
// points, the worker count and the free-memory reading.
#include "kex/Enum.h"
#include "kex/Task.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class KEXObject;

namespace kexTest {

// --- memory -------------------------------------------------------------------------------------
/// Makes the n-th counted allocation from now fail (1-based); with sticky, that one and all later.
void failAllocation(long n, bool sticky = false);
void clearAllocationFaults();
/// Whether an injected fault fired since the last failAllocation.
bool allocationFaultFired();
/// Allocation calls (size > 0) so far.
long allocationCalls();
/// Blocks allocated and not yet freed.
long liveAllocations();
void setFreePhysicalMemory(int64_t bytes);
void clearFreePhysicalMemory();

/// Scope that injects a fault at the n-th allocation and clears it on exit.
class AllocationFault {
public:
  explicit AllocationFault(long n, bool sticky = false) { failAllocation(n, sticky); }
  ~AllocationFault() { clearAllocationFaults(); }
  bool fired() const { return allocationFaultFired(); }
  AllocationFault(const AllocationFault&) = delete;
  AllocationFault& operator=(const AllocationFault&) = delete;
};

// --- error channel ------------------------------------------------------------------------------
/// Records every KEXError::emitError while alive.
class ErrorCapture {
public:
  struct Entry {
    KEXenum code;
    const KEXObject* object;
  };
  ErrorCapture();
  ~ErrorCapture();
  ErrorCapture(const ErrorCapture&) = delete;
  ErrorCapture& operator=(const ErrorCapture&) = delete;
  void record(KEXenum code, const KEXObject* object);
  std::vector<Entry> entries() const;
  /// Whether code was reported (for object, when given).
  bool has(KEXenum code, const KEXObject* object = nullptr) const;
  size_t count() const;
  void clear();

private:
  mutable std::mutex m_mutex;
  std::vector<Entry> m_entries;
};

// --- enums, classes, plug-ins -------------------------------------------------------------------
/// How often (name, module) was registered in this process.
int enumRegistrationCount(const char* name, const char* module);
bool enumRegistered(const char* name, const char* module);
/// Makes the next __kex_enum_init() report failure.
void failNextKexEnumInit();
struct BindCall {
  std::string module, name;
  bool flag;
};
std::vector<BindCall> pluginBindLog();
void clearPluginBindLog();
bool pluginLoaded(const char* module);

// --- threads ------------------------------------------------------------------------------------
/// Sets the process-wide worker count (0: hardware concurrency).
void setThreadCount(int n);
/// Workers used by the last KEXMultiThread::runAll.
int lastRunAllThreads();

// --- tasks --------------------------------------------------------------------------------------
/// A monitor that records everything and can request a stop or abort at chosen points.
/// Install with KEXTaskMonitorScope (or the RecordingScope below).
class RecordingMonitor : public KEXTaskMonitor {
public:
  struct Diagnostic {
    KEXenum severity;
    std::string format, text;
  };
  struct Ending {
    std::string message;
    KEXTaskInfo::Status status;
    KEXenum code;
    int depth;
  };

  /// The n-th progress report (1-based) and every later one answer kind (Stop or Abort).
  void stopAfterReports(long n, Reply kind = Stop);
  /// Requests kind when a task with this message ends (or begins).
  void stopWhenEnded(const char* message, Reply kind = Stop);
  void stopWhenBegun(const char* message, Reply kind = Stop);

  void begun(const KEXTask& task, const char* subTaskMessage, int depth) override;
  Reply progress(const KEXTask& task, double absolute) override;
  Reply message(const KEXTask& task, const KEXTaskInfo::Message& message) override;
  void diagnostic(const KEXTask* task, KEXenum severity, const char* format, const char* text) override;
  Reply taskEnded(const KEXTask& task, KEXTaskInfo::Status status, KEXenum code) override;
  void misuse(const KEXTask& task, const char* what) override;

  std::vector<std::string> begunMessages() const;
  std::vector<std::string> subTaskMessages() const;
  std::vector<double> progressValues() const;
  std::vector<Diagnostic> diagnostics() const;
  std::vector<Ending> endings() const;
  std::vector<std::string> misuses() const;
  long reportCount() const;
  /// Whether a diagnostic with exactly this text (or format) was attached.
  bool hasDiagnostic(const char* text) const;
  /// Status and code of the last task that ended at depth 0.
  KEXTaskInfo::Status rootStatus() const;
  KEXenum rootCode() const;
  bool hasRootEnding() const;
  /// Whether the reported absolute progress never decreased and stayed within [0, 1].
  bool progressMonotone() const;
  void clear();

private:
  mutable std::mutex m_mutex;
  long m_stopAfter = 0;
  Reply m_stopKind = Stop;
  std::string m_stopEnded, m_stopBegun;
  Reply m_stopEndedKind = Stop, m_stopBegunKind = Stop;
  long m_reports = 0;
  std::vector<std::string> m_begun, m_subTasks, m_misuses;
  std::vector<double> m_progress;
  std::vector<Diagnostic> m_diagnostics;
  std::vector<Ending> m_endings;
};

/// A RecordingMonitor installed on this thread for its lifetime.
class RecordingScope : public RecordingMonitor {
public:
  RecordingScope() : m_scope(this) {}

private:
  KEXTaskMonitorScope m_scope;
};

// --- files --------------------------------------------------------------------------------------
/// Starts (or stops) logging the byte count of every KEXKernelFile::write call; clears the log.
void setFileWriteLogging(bool on);
std::vector<long long> fileWriteLog();
/// The next KEXKernelFile::write writes at most bytesWritten bytes (a short write), then the fault
/// is cleared.
void failNextFileWrite(long long bytesWritten);
void clearFileWriteFault();

} // namespace kexTest
