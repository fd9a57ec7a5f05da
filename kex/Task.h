#pragma once
// Progress tasks. An operation opens a KEXTask on entry, reports progress in blocks with
// incProgress, and ends it with exactly one of ok(), error(), aborted(), stopped() or statusOf().
// Tasks nest per thread: a KEXSubTask takes a share of its parent's progress, and the next task
// opened inside it maps its own progress onto that share. The host watches a tree of tasks through
// a KEXTaskMonitor (progress, stop and abort requests, diagnostics, endings).
#include "kex/Enum.h"

#include <memory>
#include <string>
#include <vector>

class KEXTask;
struct KEXTaskRoot;

struct KEXTaskInfo {
  enum Status { Running, Succeeded, Failed, Aborted, Stopped };
  class Message {
  public:
    explicit Message(Status status) : m_status(status) {}
    Status getStatus() const { return m_status; }

  private:
    Status m_status;
  };
};

/// What a host sees of a task tree. All callbacks may come from worker threads (serialised per
/// tree).
class KEXTaskMonitor {
public:
  enum Reply { Continue, Stop, Abort };
  virtual ~KEXTaskMonitor() = default;
  /// A task began; subTaskMessage is the message of the sub-task it runs in (or null).
  virtual void begun(const KEXTask& task, const char* subTaskMessage, int depth);
  /// A progress report; absolute is the tree's progress in [0, 1].
  virtual Reply progress(const KEXTask& task, double absolute);
  virtual Reply message(const KEXTask& task, const KEXTaskInfo::Message& message);
  /// A diagnostic attached to task (null when no task was open on the thread).
  virtual void diagnostic(const KEXTask* task, KEXenum severity, const char* format, const char* text);
  virtual Reply taskEnded(const KEXTask& task, KEXTaskInfo::Status status, KEXenum code);
  /// A library bug: a task ended twice, or destroyed without ending.
  virtual void misuse(const KEXTask& task, const char* what);
};

/// Installs a monitor on this thread for the task trees whose root is opened meanwhile.
class KEXTaskMonitorScope {
public:
  explicit KEXTaskMonitorScope(KEXTaskMonitor* monitor);
  ~KEXTaskMonitorScope();
  KEXTaskMonitorScope(const KEXTaskMonitorScope&) = delete;
  KEXTaskMonitorScope& operator=(const KEXTaskMonitorScope&) = delete;

private:
  KEXTaskMonitor* m_previous;
};

class KEXSubTask;

/// Common part of tasks and sub-tasks: a node of the per-thread stack.
class KEXTaskNode {
public:
  KEXTaskNode(const KEXTaskNode&) = delete;
  KEXTaskNode& operator=(const KEXTaskNode&) = delete;
  const char* getNodeMessage() const { return m_message.empty() ? nullptr : m_message.c_str(); }

protected:
  KEXTaskNode(bool isTask, const char* message);
  ~KEXTaskNode();
  double toAbsolute(double local) const;

  struct Diag {
    KEXenum severity;
    std::string format, text;
  };
  KEXTaskNode* m_parent = nullptr;
  std::shared_ptr<KEXTaskRoot> m_root;
  bool m_isTask;
  std::string m_message;
  double m_weight = 0.0;   // local extent: a task's weight, a sub-task's fraction
  double m_progress = 0.0; // local progress
  double m_a = 0.0, m_b = 0.0;
  int m_depth = 0;
  bool m_announced = false; // the monitor was told that this task began
  bool m_hasOutcome = false;
  KEXTaskInfo::Status m_outcomeStatus = KEXTaskInfo::Running; // last task ended directly inside
  KEXenum m_outcomeCode;
  std::vector<Diag> m_diagnostics;

  friend class KEXTask;
  friend class KEXSubTask;
  friend struct KEXTaskAccess;
};

class KEXTask : public KEXTaskNode {
public:
  /// One diagnostic record: severity (KEX::Error or KEX::Warning) and text.
  class Diagnostics {
  public:
    Diagnostics(KEXenum severity, const char* text) : m_severity(severity), m_text(text ? text : "") {}
    KEXenum getSeverity() const { return m_severity; }
    const char* getText() const { return m_text.c_str(); }

  private:
    KEXenum m_severity;
    std::string m_text;
  };

  KEXTask(const char* message, double weight, unsigned int flags = 0x10000, unsigned int flags2 = 0);
  virtual ~KEXTask();

  /// Adds delta (clamped to the weight) and, with report, tells the monitor. Returns false once a
  /// stop or abort was requested for the tree (sticky). Thread-safe.
  bool incProgress(double delta, bool report = true);
  double getProgress() const;
  double getMaximum() const { return m_weight; }
  unsigned int getFlags() const { return m_flags; }
  unsigned int getFlags2() const { return m_flags2; }

  bool wasAborted() const;
  bool wasStopped() const;
  void requestStop();
  void requestAbort();

  bool ok();
  bool error(KEXenum code = KEX::GenericError, const Diagnostics* diagnostics = nullptr);
  bool aborted();
  /// Ends as stopped by the user: the work done so far counts, so this returns true.
  bool stopped();
  /// Passes on the outcome of the last task that ended directly inside s; without one (or when it
  /// succeeded) ends with error(code).
  bool statusOf(const KEXSubTask& s, KEXenum code);

  bool isEnded() const { return m_status != KEXTaskInfo::Running; }
  KEXTaskInfo::Status getStatus() const { return m_status; }
  KEXenum getCode() const { return m_code; }

  /// Forwards a message to the monitor; false when a stop or abort is requested. Thread-safe.
  bool sendMessage(const KEXTaskInfo::Message& message);
  /// Attaches a diagnostic; thread-safe (for worker threads, which have no task of their own).
  void addDiagnostics(const Diagnostics& diagnostics);
  void addDiagnostics(KEXenum severity, const char* format, const char* text);

  /// Message template (default: the constructor's message) and its %1/%2 arguments (1-based).
  virtual const char* getMessage() const { return m_message.c_str(); }
  virtual const char* getArgument(int) const { return nullptr; }
  /// The message with its placeholders substituted.
  std::string getMessageText() const;
  int getDepth() const { return m_depth; }
  /// Absolute progress of the whole tree, in [0, 1].
  double getTreeProgress() const;

  /// The innermost task open on this thread (null when none).
  static KEXTask* current();

private:
  bool end(KEXTaskInfo::Status status, KEXenum code, bool result);
  unsigned int m_flags, m_flags2;
  KEXTaskInfo::Status m_status = KEXTaskInfo::Running;
  KEXenum m_code;
};

class KEXSubTask : public KEXTaskNode {
public:
  /// Covers [p, p + fraction] of the enclosing task's local progress (p = its progress now).
  KEXSubTask(const char* message, double fraction);
  ~KEXSubTask();

  /// Outcome of the last task that ended directly inside this sub-task.
  bool hasOutcome() const { return m_hasOutcome; }
  KEXTaskInfo::Status getOutcomeStatus() const { return m_outcomeStatus; }
  KEXenum getOutcomeCode() const { return m_outcomeCode; }

private:
  double m_start = 0.0; // parent-local start
};

/// Attaches a printf-formatted diagnostic to the innermost task of this thread (or to the monitor
/// when none is open).
void kexTaskDiagnostics(KEXenum severity, const char* format, ...);
