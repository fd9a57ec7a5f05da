#include "kex/Task.h"
#include "kex/Testing.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>

// Shared state of one task tree.
struct KEXTaskRoot {
  std::recursive_mutex mutex;
  std::atomic<bool> stop{false};
  std::atomic<bool> abort{false};
  KEXTaskMonitor* monitor = nullptr;
  double absolute = 0.0; // monotone progress of the tree
  long reports = 0;

  void apply(KEXTaskMonitor::Reply reply)
  {
    if (reply == KEXTaskMonitor::Stop)
      stop.store(true);
    else if (reply == KEXTaskMonitor::Abort)
      abort.store(true);
  }
  bool halted() const { return stop.load() || abort.load(); }
};

namespace {
thread_local KEXTaskNode* t_top = nullptr;
thread_local KEXTaskMonitor* t_monitor = nullptr;
} // namespace

// Gives the implementation access to the protected node fields.
struct KEXTaskAccess {
  static KEXTaskNode* parent(KEXTaskNode* n) { return n->m_parent; }
  static bool isTask(const KEXTaskNode* n) { return n->m_isTask; }
  static KEXTask* nearestTask(KEXTaskNode* n)
  {
    while (n && !n->m_isTask)
      n = n->m_parent;
    return static_cast<KEXTask*>(n);
  }
  // Tells the monitor that the tasks from n up to the first announced one began, outermost first.
  // A task is announced at its first event (a progress report, a diagnostic, a message, its end,
  // or a node opened inside it) rather than in its constructor: there a derived task's
  // getMessage()/getArgument() are not yet callable, and its template would go out unsubstituted.
  // Caller holds the root mutex.
  static void announce(KEXTaskNode* n)
  {
    KEXTaskNode* pending[64];
    int count = 0;
    for (KEXTaskNode* p = n; p; p = p->m_parent) {
      if (!p->m_isTask)
        continue;
      if (p->m_announced)
        break; // announcing always covers the ancestors
      if (count == 64) { // deeper than any real nesting: announce the outer part first
        announce(p);
        break;
      }
      pending[count++] = p;
    }
    KEXTaskMonitor* monitor = n->m_root->monitor;
    while (count > 0) {
      KEXTask* t = static_cast<KEXTask*>(pending[--count]);
      t->m_announced = true;
      const char* subTaskMessage = (t->m_parent && !t->m_parent->m_isTask) ? t->m_parent->getNodeMessage() : nullptr;
      if (monitor)
        monitor->begun(*t, subTaskMessage, t->m_depth);
    }
  }
  static void addDiag(KEXTaskNode* n, KEXenum severity, const char* format, const char* text)
  {
    std::lock_guard<std::recursive_mutex> lock(n->m_root->mutex);
    announce(n);
    n->m_diagnostics.push_back({severity, format ? format : "", text ? text : ""});
    if (n->m_root->monitor)
      n->m_root->monitor->diagnostic(nearestTask(n), severity, format, text);
  }
};

void KEXTaskMonitor::begun(const KEXTask&, const char*, int) {}
KEXTaskMonitor::Reply KEXTaskMonitor::progress(const KEXTask&, double) { return Continue; }
KEXTaskMonitor::Reply KEXTaskMonitor::message(const KEXTask&, const KEXTaskInfo::Message&) { return Continue; }
void KEXTaskMonitor::diagnostic(const KEXTask*, KEXenum, const char*, const char*) {}
KEXTaskMonitor::Reply KEXTaskMonitor::taskEnded(const KEXTask&, KEXTaskInfo::Status, KEXenum) { return Continue; }
void KEXTaskMonitor::misuse(const KEXTask&, const char*) {}

KEXTaskMonitorScope::KEXTaskMonitorScope(KEXTaskMonitor* monitor) : m_previous(t_monitor) { t_monitor = monitor; }
KEXTaskMonitorScope::~KEXTaskMonitorScope() { t_monitor = m_previous; }

KEXTaskNode::KEXTaskNode(bool isTask, const char* message)
    : m_parent(t_top), m_isTask(isTask), m_message(message ? message : "")
{
  if (m_parent) {
    m_root = m_parent->m_root;
    m_depth = m_parent->m_depth + 1;
    std::lock_guard<std::recursive_mutex> lock(m_root->mutex);
    KEXTaskAccess::announce(m_parent);
  } else {
    m_root = std::make_shared<KEXTaskRoot>();
    m_root->monitor = t_monitor;
  }
  t_top = this;
}

KEXTaskNode::~KEXTaskNode()
{
  if (m_parent) {
    std::lock_guard<std::recursive_mutex> lock(m_root->mutex);
    m_parent->m_diagnostics.insert(m_parent->m_diagnostics.end(), m_diagnostics.begin(), m_diagnostics.end());
  }
  // Scopes keep the stack LIFO; a node destroyed out of order only unwinds itself.
  if (t_top == this)
    t_top = m_parent;
}

double KEXTaskNode::toAbsolute(double local) const
{
  if (!(m_weight > 0.0))
    return m_a;
  double x = std::clamp(local, 0.0, m_weight);
  return m_a + (m_b - m_a) * x / m_weight;
}

KEXTask::KEXTask(const char* message, double weight, unsigned int flags, unsigned int flags2)
    : KEXTaskNode(true, message), m_flags(flags), m_flags2(flags2)
{
  m_weight = weight;
  if (!m_parent) {
    m_a = 0.0;
    m_b = 1.0;
  } else {
    std::lock_guard<std::recursive_mutex> lock(m_root->mutex);
    if (!m_parent->m_isTask) {
      // Inside a sub-task: take what is left of it.
      m_a = m_parent->toAbsolute(m_parent->m_progress);
      m_b = m_parent->m_b;
    } else {
      // Directly inside a task: zero width at the parent's position.
      m_a = m_b = m_parent->toAbsolute(m_parent->m_progress);
    }
  }
  // The monitor hears of the task at its first event (see KEXTaskAccess::announce).
}

KEXTask::~KEXTask()
{
  if (m_status == KEXTaskInfo::Running) {
    std::lock_guard<std::recursive_mutex> lock(m_root->mutex);
    KEXTaskAccess::announce(this);
    if (m_root->monitor)
      m_root->monitor->misuse(*this, "unended");
  }
}

bool KEXTask::incProgress(double delta, bool report)
{
  std::lock_guard<std::recursive_mutex> lock(m_root->mutex);
  KEXTaskAccess::announce(this);
  if (!std::isnan(delta)) // a NaN would stick and poison every range mapped from this task
    m_progress = std::clamp(m_progress + delta, 0.0, std::max(m_weight, 0.0));
  if (report) {
    ++m_root->reports;
    m_root->absolute = std::max(m_root->absolute, toAbsolute(m_progress));
    if (m_root->monitor)
      m_root->apply(m_root->monitor->progress(*this, m_root->absolute));
  }
  return !m_root->halted();
}

double KEXTask::getProgress() const
{
  std::lock_guard<std::recursive_mutex> lock(m_root->mutex);
  return m_progress;
}

bool KEXTask::wasAborted() const { return m_root->abort.load(); }
bool KEXTask::wasStopped() const { return m_root->stop.load(); }
void KEXTask::requestStop() { m_root->stop.store(true); }
void KEXTask::requestAbort() { m_root->abort.store(true); }

double KEXTask::getTreeProgress() const
{
  std::lock_guard<std::recursive_mutex> lock(m_root->mutex);
  return m_root->absolute;
}

bool KEXTask::end(KEXTaskInfo::Status status, KEXenum code, bool result)
{
  std::lock_guard<std::recursive_mutex> lock(m_root->mutex);
  KEXTaskAccess::announce(this);
  if (m_status != KEXTaskInfo::Running) {
    if (m_root->monitor)
      m_root->monitor->misuse(*this, "ended twice");
    return result;
  }
  m_status = status;
  m_code = code;
  m_progress = std::max(m_weight, 0.0);
  m_root->absolute = std::max(m_root->absolute, m_b);
  if (m_parent) {
    m_parent->m_hasOutcome = true;
    m_parent->m_outcomeStatus = status;
    m_parent->m_outcomeCode = code;
    if (!m_parent->m_isTask)
      m_parent->m_progress = std::max(m_parent->m_weight, 0.0); // the sub-task's share is used up
  }
  if (m_root->monitor)
    m_root->apply(m_root->monitor->taskEnded(*this, status, code));
  return result;
}

bool KEXTask::ok() { return end(KEXTaskInfo::Succeeded, KEX::NoError, true); }

bool KEXTask::error(KEXenum code, const Diagnostics* diagnostics)
{
  if (diagnostics && m_status == KEXTaskInfo::Running)
    addDiagnostics(*diagnostics);
  return end(KEXTaskInfo::Failed, code, false);
}

bool KEXTask::aborted() { return end(KEXTaskInfo::Aborted, KEX::GenericError, false); }
bool KEXTask::stopped() { return end(KEXTaskInfo::Stopped, KEX::NoError, true); }

bool KEXTask::statusOf(const KEXSubTask& s, KEXenum code)
{
  if (s.hasOutcome()) {
    switch (s.getOutcomeStatus()) {
    case KEXTaskInfo::Aborted:
      return aborted();
    case KEXTaskInfo::Failed:
      return error(s.getOutcomeCode());
    case KEXTaskInfo::Stopped:
      return stopped();
    default:
      break;
    }
  }
  return error(code);
}

bool KEXTask::sendMessage(const KEXTaskInfo::Message& message)
{
  std::lock_guard<std::recursive_mutex> lock(m_root->mutex);
  KEXTaskAccess::announce(this);
  if (m_root->monitor)
    m_root->apply(m_root->monitor->message(*this, message));
  return !m_root->halted();
}

void KEXTask::addDiagnostics(const Diagnostics& d) { KEXTaskAccess::addDiag(this, d.getSeverity(), d.getText(), d.getText()); }

void KEXTask::addDiagnostics(KEXenum severity, const char* format, const char* text)
{
  KEXTaskAccess::addDiag(this, severity, format, text);
}

std::string KEXTask::getMessageText() const
{
  std::string out;
  const char* m = getMessage();
  for (const char* p = m ? m : ""; *p; ++p) {
    if (p[0] == '%' && (p[1] == '1' || p[1] == '2')) {
      const char* arg = getArgument(p[1] - '0');
      if (arg) {
        out += arg;
        ++p;
        continue;
      }
    }
    out += *p;
  }
  return out;
}

KEXTask* KEXTask::current() { return KEXTaskAccess::nearestTask(t_top); }

KEXSubTask::KEXSubTask(const char* message, double fraction) : KEXTaskNode(false, message)
{
  m_weight = fraction;
  if (!m_parent) {
    m_a = 0.0;
    m_b = 1.0;
    return;
  }
  std::lock_guard<std::recursive_mutex> lock(m_root->mutex);
  double w = std::max(m_parent->m_weight, 0.0);
  m_start = std::min(m_parent->m_progress, w);
  m_a = m_parent->toAbsolute(m_start);
  m_b = m_parent->toAbsolute(std::min(m_start + std::max(fraction, 0.0), w));
}

KEXSubTask::~KEXSubTask()
{
  if (m_parent) {
    std::lock_guard<std::recursive_mutex> lock(m_root->mutex);
    double w = std::max(m_parent->m_weight, 0.0);
    m_parent->m_progress = std::max(m_parent->m_progress, std::min(m_start + std::max(m_weight, 0.0), w));
  }
}

void kexTaskDiagnostics(KEXenum severity, const char* format, ...)
{
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format ? format : "", args);
  va_end(args);
  if (t_top)
    KEXTaskAccess::addDiag(t_top, severity, format, buffer);
  else if (t_monitor)
    t_monitor->diagnostic(nullptr, severity, format, buffer);
}
