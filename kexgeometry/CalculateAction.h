#pragma once
// Actions that compute a result and keep it. KEXCalculateAction runs the calculation protocol
// when the framework executes it: ask whether anything changed since the last run (nothing:
// status Unchanged, no task, no calculation), prepare, calculate under one task that the
// calculation opens with taskBegin, end that task after the calculation from what happened (an
// abort, the first recorded error, or the calculation's own result), and let the subclass clean
// up knowing the status. Workers of a threaded calculation advance and fail the task through the
// thread-safe taskIncProgress and taskError. KEXCachedResultAction adds the result object: the
// target of one link property of the action's owner.
#include "kex/Object.h"
#include "kex/Task.h"

#include <atomic>
#include <mutex>

class KEXCalculateAction : public KEXActionAttr {
public:
  explicit KEXCalculateAction(unsigned int flags = 0);
  /// A copy starts afresh: no task, not forced, status NoError, count 0.
  KEXCalculateAction(const KEXCalculateAction& other);
  KEXCalculateAction& operator=(const KEXCalculateAction& other);
  ~KEXCalculateAction() override;
  const KEXMetaClass& getMetaClass() const override;
  static const KEXMetaClass& metaClass();

  /// The next execution calculates whatever isRecalculationNeeded says.
  void forceRecalculation() { m_forced = true; }
  /// Outcome of the last execution: NoError, Unchanged or the error code.
  KEXenum getStatus() const { return m_status; }
  /// Number of executions that reached calculate().
  int getCalculationCount() const { return m_calculations; }

protected:
  bool action(void* parameters) override;

  /// Whether the result is stale. Default: always.
  virtual bool isRecalculationNeeded() { return true; }
  /// Preparation before the calculation; false ends the execution (status: the code recorded by
  /// taskError, or GenericError).
  virtual bool init(void* parameters);
  virtual bool calculate(void* parameters) = 0;
  /// Called at the end of every execution with its status.
  virtual void cleanup(KEXenum status);

  /// Opens the calculation's task (ended by action()). False, with the diagnostic "Out of memory"
  /// and OutOfMemory recorded, when its memory cannot be had or a task is open already.
  bool taskBegin(const char* message, double weight, unsigned int flags, unsigned int flags2);
  /// Advances the task; false once a stop or abort was requested (or no task is open).
  /// Thread-safe.
  bool taskIncProgress(double delta);
  /// Records code (the first recorded code wins) and attaches diagnostics to the task. Always
  /// false. Thread-safe.
  bool taskError(KEXenum code = KEX::GenericError, const KEXTask::Diagnostics* diagnostics = nullptr);
  /// taskError(OutOfMemory) with the diagnostic "Out of memory".
  bool taskOutOfMemory();
  /// Records the outcome of the last task that ended inside s (its own code when it failed,
  /// otherwise code). Always false.
  bool taskStatusOf(const KEXSubTask& s, KEXenum code);
  /// The task opened by taskBegin during this execution, or null.
  KEXTask* getTask() const { return m_task; }

private:
  void endTask(bool calculated);
  KEXTask* m_task = nullptr;
  std::mutex m_errorMutex;
  std::atomic<bool> m_failed{false};
  KEXenum m_errorCode = KEX::NoError;
  KEXenum m_status = KEX::NoError;
  bool m_forced = false;
  int m_calculations = 0;
};

class KEXCachedResultAction : public KEXCalculateAction {
public:
  /// resultProperty names the owner's link property that holds the result object.
  explicit KEXCachedResultAction(KEXenum resultProperty, unsigned int setFlags = 0, unsigned int clearFlags = 0);
  KEXCachedResultAction(const KEXCachedResultAction& other) = default;
  KEXCachedResultAction& operator=(const KEXCachedResultAction& other) = default;
  const KEXMetaClass& getMetaClass() const override;
  static const KEXMetaClass& metaClass();

  /// The result object (the target of the owner's link property), or null without owner, link or
  /// target. The owner's link keeps it alive.
  KEXObject* getResult() const;
  KEXenum getResultProperty() const { return m_resultProperty; }

private:
  KEXenum m_resultProperty;
};
