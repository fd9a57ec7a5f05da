#include "kex/Testing.h"

#include <cstring>

namespace kexTest {

void RecordingMonitor::stopAfterReports(long n, Reply kind)
{
  std::lock_guard<std::mutex> lock(m_mutex);
  m_stopAfter = n;
  m_stopKind = kind;
}

void RecordingMonitor::stopWhenEnded(const char* message, Reply kind)
{
  std::lock_guard<std::mutex> lock(m_mutex);
  m_stopEnded = message ? message : "";
  m_stopEndedKind = kind;
}

void RecordingMonitor::stopWhenBegun(const char* message, Reply kind)
{
  std::lock_guard<std::mutex> lock(m_mutex);
  m_stopBegun = message ? message : "";
  m_stopBegunKind = kind;
}

void RecordingMonitor::begun(const KEXTask& task, const char* subTaskMessage, int)
{
  std::string text = task.getMessageText();
  bool halt = false;
  Reply kind;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_begun.push_back(text);
    m_subTasks.push_back(subTaskMessage ? subTaskMessage : "");
    halt = !m_stopBegun.empty() && m_stopBegun == text;
    kind = m_stopBegunKind;
  }
  if (halt) {
    KEXTask& t = const_cast<KEXTask&>(task);
    if (kind == Abort)
      t.requestAbort();
    else
      t.requestStop();
  }
}

KEXTaskMonitor::Reply RecordingMonitor::progress(const KEXTask&, double absolute)
{
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_reports;
  m_progress.push_back(absolute);
  if (m_stopAfter > 0 && m_reports >= m_stopAfter)
    return m_stopKind;
  return Continue;
}

KEXTaskMonitor::Reply RecordingMonitor::message(const KEXTask&, const KEXTaskInfo::Message&) { return Continue; }

void RecordingMonitor::diagnostic(const KEXTask*, KEXenum severity, const char* format, const char* text)
{
  std::lock_guard<std::mutex> lock(m_mutex);
  m_diagnostics.push_back({severity, format ? format : "", text ? text : ""});
}

KEXTaskMonitor::Reply RecordingMonitor::taskEnded(const KEXTask& task, KEXTaskInfo::Status status, KEXenum code)
{
  std::string text = task.getMessageText();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_endings.push_back({text, status, code, task.getDepth()});
  if (!m_stopEnded.empty() && m_stopEnded == text)
    return m_stopEndedKind;
  return Continue;
}

void RecordingMonitor::misuse(const KEXTask& task, const char* what)
{
  std::lock_guard<std::mutex> lock(m_mutex);
  m_misuses.push_back(task.getMessageText() + ": " + (what ? what : ""));
}

std::vector<std::string> RecordingMonitor::begunMessages() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_begun;
}
std::vector<std::string> RecordingMonitor::subTaskMessages() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_subTasks;
}
std::vector<double> RecordingMonitor::progressValues() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_progress;
}
std::vector<RecordingMonitor::Diagnostic> RecordingMonitor::diagnostics() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_diagnostics;
}
std::vector<RecordingMonitor::Ending> RecordingMonitor::endings() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_endings;
}
std::vector<std::string> RecordingMonitor::misuses() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_misuses;
}
long RecordingMonitor::reportCount() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_reports;
}
bool RecordingMonitor::hasDiagnostic(const char* text) const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const Diagnostic& d : m_diagnostics)
    if (d.text == text || d.format == text)
      return true;
  return false;
}
KEXTaskInfo::Status RecordingMonitor::rootStatus() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto it = m_endings.rbegin(); it != m_endings.rend(); ++it)
    if (it->depth == 0)
      return it->status;
  return KEXTaskInfo::Running;
}
KEXenum RecordingMonitor::rootCode() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto it = m_endings.rbegin(); it != m_endings.rend(); ++it)
    if (it->depth == 0)
      return it->code;
  return KEXenum();
}
bool RecordingMonitor::hasRootEnding() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const Ending& e : m_endings)
    if (e.depth == 0)
      return true;
  return false;
}
bool RecordingMonitor::progressMonotone() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  double last = 0.0;
  for (double v : m_progress) {
    if (v < last || v > 1.0 + 1e-12)
      return false;
    last = v;
  }
  return true;
}
void RecordingMonitor::clear()
{
  std::lock_guard<std::mutex> lock(m_mutex);
  m_reports = 0;
  m_begun.clear();
  m_subTasks.clear();
  m_misuses.clear();
  m_progress.clear();
  m_diagnostics.clear();
  m_endings.clear();
}

} // namespace kexTest
