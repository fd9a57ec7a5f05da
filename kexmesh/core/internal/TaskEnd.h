#pragma once
// Internal (not installed): the task endings every operation of the library shares, so the
// message a host sees for the same cause is the same everywhere.
#include "kex/Task.h"

/// Ends task on a failed allocation: code (OutOfMemory unless a caller's contract names another)
/// with the diagnostic "Out of memory". Returns the task's result.
inline bool kexEndOutOfMemory(KEXTask& task, KEXenum code = KEX::OutOfMemory)
{
  KEXTask::Diagnostics diagnostics(KEX::Error, "Out of memory");
  return task.error(code, &diagnostics);
}

/// Ends task after a refused progress report: aborted when the host asked to abort, otherwise
/// (a stop) GenericError. Returns the task's result.
inline bool kexEndRefused(KEXTask& task) { return task.wasAborted() ? task.aborted() : task.error(KEX::GenericError); }
