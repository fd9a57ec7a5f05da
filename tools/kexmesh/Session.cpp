// Shared machinery of the kexmesh tool: terminal monitor, Ctrl-C, file access through the format
// plug-ins, algorithms created by class name, and mesh statistics.
#include "Session.h"

#include "kexmesh/core/internal/UnionFind.h"

#include "kex/Class.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "kexmesh/io/TriangleMeshIO.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/CheckTriangleMeshAlgorithm.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <cstdint>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace kexmeshtool {

namespace {

volatile std::sig_atomic_t g_interrupts = 0;
TerminalMonitor* g_monitor = nullptr;
bool g_showWarnings = true;

void onInterrupt(int signal)
{
  g_interrupts = g_interrupts + 1;
  if (g_interrupts >= 2)
    std::signal(signal, SIG_DFL); // a third one ends the process at once
}

void vprint(const char* prefix, const char* format, va_list args)
{
  if (g_monitor)
    g_monitor->clearBar();
  std::fputs(prefix, stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
}

} // namespace

void installInterruptHandler()
{
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = onInterrupt;
  sigemptyset(&sa.sa_mask);
  // A terminated or hung-up run stops like one interrupted by Ctrl-C: the operation ends at its
  // next progress report, the temporary output file is removed and the exit code says so.
  for (int signal : {SIGINT, SIGTERM, SIGHUP})
    sigaction(signal, &sa, nullptr);
}

int interruptCount() { return int(g_interrupts); }


void setWarningsShown(bool shown) { g_showWarnings = shown; }

void muteDiagnostics(bool muted)
{
  if (g_monitor)
    g_monitor->setMuted(muted);
}

void printError(const char* format, ...)
{
  va_list args;
  va_start(args, format);
  vprint("error: ", format, args);
  va_end(args);
}

void printWarning(const char* format, ...)
{
  if (!g_showWarnings)
    return;
  va_list args;
  va_start(args, format);
  vprint("warning: ", format, args);
  va_end(args);
}

void printNote(const char* format, ...)
{
  if (!g_showWarnings)
    return;
  va_list args;
  va_start(args, format);
  vprint("", format, args);
  va_end(args);
}

TerminalMonitor::TerminalMonitor(bool quiet)
    : m_quiet(quiet), m_terminal(isatty(STDERR_FILENO) != 0), m_start(std::chrono::steady_clock::now())
{
  g_monitor = this;
}

TerminalMonitor::~TerminalMonitor()
{
  clearBar();
  g_monitor = nullptr;
}

KEXTaskMonitor::Reply TerminalMonitor::reply() const
{
  int n = interruptCount();
  return n >= 2 ? Abort : (n == 1 ? Stop : Continue);
}

void TerminalMonitor::clearBar()
{
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_barShown) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_barShown = false;
  }
}

KEXTaskMonitor::Reply TerminalMonitor::progress(const KEXTask& task, double absolute)
{
  if (m_quiet || !m_terminal)
    return reply();
  auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_barShown && now - m_lastDraw < std::chrono::milliseconds(80))
    return reply();
  m_lastDraw = now;
  const double elapsed = std::chrono::duration<double>(now - m_start).count();
  const double done = std::clamp(absolute, 0.0, 1.0);
  const int percent = int(done * 100.0);
  // The time left, once there is enough behind to extrapolate from.
  char left[32] = "";
  if (done >= 0.05 && done < 1.0 && elapsed >= 2.0)
    std::snprintf(left, sizeof left, ", ~%.0fs left", elapsed * (1.0 - done) / done);
  char tail[96];
  std::snprintf(tail, sizeof tail, " %3d%% %6.1fs%s%s", percent, elapsed, left, interruptCount() ? " (stopping)" : "");
  // The message gets what the terminal has beside the bar and the figures.
  winsize ws{};
  const int columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 100;
  const int width = columns >= 100 ? 30 : 20;
  const int room = std::max(10, columns - width - 3 - int(std::strlen(tail)) - 1);
  const int filled = percent * width / 100;
  std::string bar(size_t(filled), '#');
  bar.append(size_t(width - filled), '.');
  std::string text = task.getMessageText();
  if (m_roundsOf && m_round > 0)
    text = "Round " + std::to_string(m_round) + ": " + text;
  if (int(text.size()) > room)
    text = text.substr(0, size_t(room - 1)) + "~";
  std::fprintf(stderr, "\r\033[K%-*s [%s]%s", room, text.c_str(), bar.c_str(), tail);
  std::fflush(stderr);
  m_barShown = true;
  return reply();
}

KEXTaskMonitor::Reply TerminalMonitor::message(const KEXTask&, const KEXTaskInfo::Message&) { return reply(); }

void TerminalMonitor::begun(const KEXTask& task, const char* subTaskMessage, int depth)
{
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_roundsOf) {
    if (std::strcmp(task.getMessage(), "Constructing triangulation") == 0) {
      m_roundsOf = &task;
      m_roundDepth = -1;
      m_round = 0;
    }
    return;
  }
  if (!subTaskMessage || std::strcmp(subTaskMessage, "Generating triangles") != 0)
    return;
  if (m_roundDepth < 0)
    m_roundDepth = depth;
  if (depth == m_roundDepth)
    ++m_round;
}

KEXTaskMonitor::Reply TerminalMonitor::taskEnded(const KEXTask& task, KEXTaskInfo::Status, KEXenum)
{
  std::lock_guard<std::mutex> lock(m_mutex);
  if (&task == m_roundsOf)
    m_roundsOf = nullptr;
  return reply();
}

void TerminalMonitor::diagnostic(const KEXTask*, KEXenum severity, const char*, const char* text)
{
  bool error = severity == KEX::Error;
  if (m_muted)
    return;
  if (error)
    printError("%s", text ? text : "");
  else
    printWarning("%s", text ? text : "");
}

int readMesh(const std::string& path, KEXTriangleMeshBuffer& buffer)
{
  KEXGeometryIO::Report report;
  KEXTriangleMeshIO* h = KEXTriangleMeshIO::createForFile(path.c_str(), report);
  if (!h) {
    printError("%s", report.message.c_str());
    return BadInput;
  }
  bool ok = h->readBuffer(path.c_str(), buffer, report);
  KEXTriangleMeshIO::destroy(h);
  for (const std::string& w : report.warnings)
    printWarning("%s", w.c_str());
  if (!ok) {
    printError("%s", report.message.c_str());
    return report.kind == KEXGeometryIO::Report::Stopped ? OperationFailed : BadInput;
  }
  return Success;
}

int writeMesh(const std::string& path, const KEXTriangleMeshBuffer& buffer, bool ascii)
{
  KEXGeometryIO::Report report;
  KEXTriangleMeshIO* h = KEXTriangleMeshIO::createForFile(path.c_str(), report);
  if (!h) {
    printError("%s", report.message.c_str());
    return BadInput;
  }
  if (ascii)
    h->setEncoding(KEXGeometryIO::Ascii);
  bool ok = h->writeBuffer(path.c_str(), buffer, report);
  KEXTriangleMeshIO::destroy(h);
  for (const std::string& w : report.warnings)
    printWarning("%s", w.c_str());
  if (!ok) {
    printError("%s", report.message.c_str());
    return OperationFailed;
  }
  return Success;
}

RunResult runAlgorithm(const char* className, KEXTriangleMeshBuffer& buffer,
                       const std::function<bool(KEXTriangleMeshAlgorithmIF&)>& configure,
                       const std::function<void(KEXTriangleMeshAlgorithmIF&)>& readBack)
{
  const KEXMetaClass* meta = KEXMetaClass::find(className);
  if (!meta || !meta->isOfType(KEXTriangleMeshAlgorithmIF::metaClass()))
    return RunResult::Unavailable;
  KEXClass* object = meta->create();
  if (!object)
    return RunResult::Failed;
  auto* algorithm = static_cast<KEXTriangleMeshAlgorithmIF*>(object);
  RunResult result = RunResult::Failed;
  if ((!configure || configure(*algorithm)) && algorithm->setBuffer(&buffer)) {
    bool ok = algorithm->execute(nullptr);
    algorithm->setBuffer(nullptr);
    if (ok && readBack)
      readBack(*algorithm);
    if (interruptCount() > 0)
      result = RunResult::Stopped;
    else
      result = ok ? RunResult::Done : RunResult::Failed;
  }
  meta->destruct(object, true);
  return result;
}

int exitCodeOf(RunResult result, const char* what)
{
  switch (result) {
  case RunResult::Done:
    return Success;
  case RunResult::Stopped:
    printError("%s: stopped by the user", what);
    return OperationFailed;
  case RunResult::Unavailable:
    printError("%s: its algorithm is not registered", what);
    return OperationFailed;
  default:
    printError("%s failed", what);
    return OperationFailed;
  }
}

namespace {
/// The library's integrity check on a copy (the algorithm frame borrows the lists it runs on).
void checkIntegrity(const KEXTriangleMeshBuffer& b, MeshStats& s)
{
  const KEXMetaClass* meta = KEXMetaClass::find("KEXCheckTriangleMeshAlgorithm");
  auto* check = meta ? dynamic_cast<KEXCheckTriangleMeshAlgorithm*>(meta->create()) : nullptr;
  if (!check)
    return;
  KEXTriangleMeshBuffer copy(b);
  if (copy.getVertexCount() == b.getVertexCount() && copy.getTriangleCount() == b.getTriangleCount() &&
      check->setBuffer(&copy)) {
    muteDiagnostics(true); // the counts say it all
    check->execute(nullptr);
    muteDiagnostics(false);
    check->setBuffer(nullptr);
    s.checked = true;
    s.nonFiniteVertices = check->getInvalidVertexCount();
    s.invalidTriangles = check->getInvalidTriangleCount();
    s.degenerateTriangles = check->getEmptyTriangleCount();
  }
  meta->destruct(check, true);
}
} // namespace

MeshStats computeStats(const KEXTriangleMeshBuffer& b)
{
  MeshStats s;
  int nv = b.getVertexCount(), nt = b.getTriangleCount();
  s.vertices = nv;
  s.triangles = nt;
  checkIntegrity(b, s);
  std::vector<char> used(size_t(nv), 0), finite(size_t(nv), 1);
  for (int i = 0; i < nv; ++i) {
    const KEXVector3<float>& v = b.vertexList[i];
    if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z))
      finite[size_t(i)] = 0;
  }
  // Exact duplicates: every finite vertex whose position (with -0 equal to +0) an earlier one has,
  // found through a hash table of the distinct positions (a sort of millions of vertices takes
  // seconds).
  {
    auto bitsOf = [](float x) {
      uint32_t u;
      std::memcpy(&u, &x, sizeof u);
      return x == 0.0f ? 0u : u;
    };
    size_t capacity = 16;
    while (capacity < 2 * size_t(nv))
      capacity *= 2;
    std::vector<int> table(capacity, -1);
    for (int i = 0; i < nv; ++i) {
      if (!finite[size_t(i)])
        continue;
      const KEXVector3<float>& v = b.vertexList[i];
      uint64_t h = (uint64_t(bitsOf(v.x)) * 0x9E3779B97F4A7C15ull) ^ (uint64_t(bitsOf(v.y)) * 0xC2B2AE3D27D4EB4Full) ^
                   (uint64_t(bitsOf(v.z)) * 0x165667B19E3779F9ull);
      h ^= h >> 31;
      for (size_t at = h & (capacity - 1);; at = (at + 1) & (capacity - 1)) {
        const int other = table[at];
        if (other < 0) {
          table[at] = i;
          break;
        }
        if (b.vertexList[other] == v) {
          ++s.duplicateVertices;
          break;
        }
      }
    }
  }
  // Edges grouped by their lower vertex (a counting sort), each group ordered by the higher one.
  struct Edge {
    int hi;
    int forward; // 1 when the triangle runs lo -> hi
  };
  std::vector<int> start(size_t(nv) + 1, 0);
  auto inRange = [&](const KEXTriangle<int>& tri) {
    return unsigned(tri[0]) < unsigned(nv) && unsigned(tri[1]) < unsigned(nv) && unsigned(tri[2]) < unsigned(nv);
  };
  // A triangle with a repeated index has no proper edges to count (the check calls it empty).
  auto hasEdges = [&](const KEXTriangle<int>& tri) {
    return inRange(tri) && tri[0] != tri[1] && tri[1] != tri[2] && tri[0] != tri[2];
  };
  for (int t = 0; t < nt; ++t) {
    const KEXTriangle<int>& tri = b.triangleList[t];
    if (inRange(tri))
      for (int k = 0; k < 3; ++k)
        used[size_t(tri[k])] = 1;
    if (hasEdges(tri))
      for (int k = 0; k < 3; ++k)
        ++start[size_t(std::min(tri[k], tri[(k + 1) % 3])) + 1];
  }
  for (int v = 0; v < nv; ++v)
    start[size_t(v) + 1] += start[size_t(v)];
  std::vector<Edge> edges(size_t(start[size_t(nv)]));
  {
    std::vector<int> fill(start.begin(), start.end() - 1);
    for (int t = 0; t < nt; ++t) {
      const KEXTriangle<int>& tri = b.triangleList[t];
      if (!hasEdges(tri))
        continue;
      for (int k = 0; k < 3; ++k) {
        const int a = tri[k], c = tri[(k + 1) % 3];
        edges[size_t(fill[size_t(std::min(a, c))]++)] = {std::max(a, c), a < c ? 1 : 0};
      }
    }
  }
  for (int i = 0; i < nv; ++i)
    if (!used[size_t(i)])
      ++s.unusedVertices;
  std::vector<int> parent((size_t(nv)));
  kexunion::reset(parent.data(), nv);
  auto find = [&](int x) { return kexunion::findRoot(parent.data(), x); };
  std::vector<char> onBoundary(size_t(nv), 0);
  for (int lo = 0; lo < nv; ++lo) {
    Edge* first = edges.data() + start[size_t(lo)];
    Edge* last = edges.data() + start[size_t(lo) + 1];
    std::sort(first, last, [](const Edge& x, const Edge& y) { return x.hi < y.hi; }); // a handful each
    for (Edge* i = first; i < last;) {
      Edge* j = i;
      while (j < last && j->hi == i->hi)
        ++j;
      const long n = long(j - i);
      if (n == 1) {
        ++s.boundaryEdges;
        onBoundary[size_t(lo)] = onBoundary[size_t(i->hi)] = 1;
        kexunion::unite(parent.data(), i->hi, lo);
      } else if (n == 2) {
        if (i[0].forward == i[1].forward)
          ++s.flippedEdges;
      } else {
        ++s.nonManifoldEdges;
      }
      i = j;
    }
  }
  for (int i = 0; i < nv; ++i)
    if (onBoundary[size_t(i)] && find(i) == i)
      ++s.boundaryLoops;
  // Components: the used vertices joined by any edge.
  kexunion::reset(parent.data(), nv);
  for (int lo = 0; lo < nv; ++lo)
    for (int e = start[size_t(lo)]; e < start[size_t(lo) + 1]; ++e)
      kexunion::unite(parent.data(), lo, edges[size_t(e)].hi);
  for (int i = 0; i < nv; ++i)
    if (used[size_t(i)] && find(i) == i)
      ++s.components;
  return s;
}

int transformFile(const std::string& input, const std::string& output, bool ascii,
                  const std::function<int(KEXTriangleMeshBuffer&)>& steps)
{
  KEXTriangleMeshBuffer b;
  if (int code = readMesh(input, b))
    return code;
  const int code = steps(b);
  if (code != Success && code != ProblemsLeft)
    return code;
  if (interruptCount() > 0) {
    printError("stopped by the user; %s was not written", output.c_str());
    return OperationFailed;
  }
  if (int written = writeMesh(output, b, ascii))
    return written;
  return code;
}

int step(KEXTriangleMeshBuffer& b, const char* className, const char* what,
         const std::function<bool(KEXTriangleMeshAlgorithmIF&)>& configure,
         const std::function<void(KEXTriangleMeshAlgorithmIF&)>& readBack)
{
  return exitCodeOf(runAlgorithm(className, b, configure, readBack), what);
}

int runFilterAction(KEXObject& filter, KEXTriangleMeshBuffer& b, const char* what, int times)
{
  KEXAction* action = filter.getAction(KEX::Filter);
  if (!action) {
    printError("the %s filter has no action %s", what, KEX::Filter.getString());
    return OperationFailed;
  }
  KEXTriangleMeshAction::Parameters record(&b, nullptr);
  for (int i = 0; i < times; ++i) {
    if (interruptCount() > 0)
      return Success;
    if (!action->execute(&record)) {
      if (interruptCount() > 0)
        return Success;
      if (times > 1)
        printError("%s failed in pass %d of %d", what, i + 1, times);
      else
        printError("%s failed", what);
      return OperationFailed;
    }
  }
  return Success;
}

} // namespace kexmeshtool
