#pragma once
// One run of one tool in a child process of its own, for the side-by-side peer drivers: the child
// gets the input by fork (nothing is converted or copied in the parent's clock), times only the
// operation, and sends back its time, its peak resident memory above what it started with, and its
// result as a plain triangle list. A run that does not end within the limit is killed and reported
// as stopped, so one slow peer cannot hold up the others; a run that crashes is reported as failed.
//
// Peak memory: Linux starts a forked child's high-water mark at its resident size at the fork, so
// ru_maxrss at the end minus the resident size at the start is what the operation (and the tool's
// conversion, when the run does one) added at its peak.
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kexmeshbench {

using PeerClock = std::chrono::steady_clock;

inline double secondsSince(PeerClock::time_point start)
{
  return std::chrono::duration<double>(PeerClock::now() - start).count();
}

/// What a tool's run hands back: its own timing of the operation (negative: the tool failed), and
/// its result (points only for a point cloud, no triangles).
struct PeerOutput {
  double seconds = -1.0;
  std::vector<KEXVector3<float>> vertices;
  std::vector<KEXTriangle<int>> triangles;
};

/// The parent's view of one run.
struct PeerRun {
  double seconds = -1.0; ///< negative: no result
  long peakKiB = -1;     ///< peak resident memory above the child's start
  bool stopped = false;  ///< killed at the limit
  PeerOutput output;
};

/// Copies a buffer's vertices and triangles into a run's output.
inline void keep(const KEXTriangleMeshBuffer& b, PeerOutput& out)
{
  out.vertices.assign(b.vertexList.getData(), b.vertexList.getData() + b.getVertexCount());
  out.triangles.assign(b.triangleList.getData(), b.triangleList.getData() + b.getTriangleCount());
}

/// A run's output as a buffer, for the checker.
inline KEXTriangleMeshBuffer toBuffer(const PeerOutput& out)
{
  KEXTriangleMeshBuffer b;
  b.vertexList.setCount(int(out.vertices.size()));
  std::copy(out.vertices.begin(), out.vertices.end(), b.vertexList.getData());
  b.triangleList.setCount(int(out.triangles.size()));
  std::copy(out.triangles.begin(), out.triangles.end(), b.triangleList.getData());
  return b;
}

inline long residentKiB()
{
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
      resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

namespace peerprocess {

inline bool writeAll(int fd, const void* data, size_t size)
{
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n <= 0)
      return false;
    p += n;
    size -= size_t(n);
  }
  return true;
}

inline bool readAll(int fd, void* data, size_t size)
{
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = read(fd, p, size);
    if (n <= 0)
      return false;
    p += n;
    size -= size_t(n);
  }
  return true;
}

} // namespace peerprocess

/// Runs work() (returning a PeerOutput) in a child, waiting at most limit seconds for it.
template <class Work> PeerRun runInChild(const char* tool, Work work, int limit)
{
  using namespace peerprocess;
  PeerRun r;
  int fds[2];
  if (pipe(fds) != 0)
    return r;
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    return r;
  }
  if (child == 0) {
    close(fds[0]);
    const long start = residentKiB();
    const PeerOutput done = work();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const long peak = std::max(0L, long(usage.ru_maxrss) - start);
    const long long counts[2] = {(long long)done.vertices.size(), (long long)done.triangles.size()};
    const bool ok = writeAll(fds[1], &done.seconds, sizeof done.seconds) && writeAll(fds[1], &peak, sizeof peak) &&
                    writeAll(fds[1], counts, sizeof counts) &&
                    writeAll(fds[1], done.vertices.data(), done.vertices.size() * sizeof(KEXVector3<float>)) &&
                    writeAll(fds[1], done.triangles.data(), done.triangles.size() * sizeof(KEXTriangle<int>));
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(ok ? 0 : 1);
  }
  close(fds[1]);
  pollfd wait{fds[0], POLLIN, 0};
  if (poll(&wait, 1, limit * 1000) <= 0) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(fds[0]);
    std::printf("  %s: stopped after %d s without a result\n", tool, limit);
    r.stopped = true;
    return r;
  }
  double seconds = -1.0;
  long peak = -1;
  long long counts[2] = {0, 0};
  bool ok = readAll(fds[0], &seconds, sizeof seconds) && readAll(fds[0], &peak, sizeof peak) &&
            readAll(fds[0], counts, sizeof counts) && counts[0] >= 0 && counts[1] >= 0;
  if (ok) {
    r.output.vertices.resize(size_t(counts[0]));
    r.output.triangles.resize(size_t(counts[1]));
    ok = readAll(fds[0], r.output.vertices.data(), r.output.vertices.size() * sizeof(KEXVector3<float>)) &&
         readAll(fds[0], r.output.triangles.data(), r.output.triangles.size() * sizeof(KEXTriangle<int>));
  }
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (ok && WIFEXITED(status) && WEXITSTATUS(status) == 0 && seconds >= 0.0) {
    r.seconds = seconds;
    r.peakKiB = peak;
    r.output.seconds = seconds;
  } else {
    std::printf("  %s: failed (%s)\n", tool,
                WIFSIGNALED(status) ? ("signal " + std::to_string(WTERMSIG(status))).c_str()
                                    : (seconds < 0.0 ? "the tool reported failure" : "no complete result"));
    r.output = PeerOutput();
  }
  return r;
}

/// Up to `runs` runs (one more only while the previous took less than `slow` seconds); the median
/// time (of two runs their mean), the largest peak and the last run's output. `done` gets the
/// number of runs made.
template <class Work>
PeerRun runMedian(const char* tool, Work work, int runs, int limit, double slow, int& done)
{
  std::vector<double> times;
  PeerRun last;
  long peak = -1;
  done = 0;
  for (int i = 0; i < runs; ++i) {
    PeerRun r = runInChild(tool, work, limit);
    ++done;
    if (r.seconds < 0.0)
      return r;
    times.push_back(r.seconds);
    peak = std::max(peak, r.peakKiB);
    last = std::move(r);
    if (last.seconds >= slow)
      break;
  }
  std::sort(times.begin(), times.end());
  const size_t n = times.size();
  last.seconds = n % 2 ? times[n / 2] : 0.5 * (times[n / 2 - 1] + times[n / 2]);
  last.peakKiB = peak;
  return last;
}

} // namespace kexmeshbench
