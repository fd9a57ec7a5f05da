#pragma once
// One linear pass over n items cut into blocks, run on the process's worker threads. Every block
// writes only its own items' outputs, so the result is the same for any thread count; what must
// stay in item order (a floating-point sum, the first failure) the caller keeps out of the body or
// reduces afterwards in order.
//
// The calling thread takes blocks like the workers and is the only one that touches the task: it
// reports the items finished so far and, when the task is stopped, makes the workers end after
// their current block. A short pass (fewer than four blocks) or a single thread runs inline,
// without starting threads.
#include "kex/Task.h"
#include "kex/Thread.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace kexmeshcore {

/// Runs body(first, end) -> bool over [0, n) in blocks of `block` items and advances task by
/// weightPerItem per finished item. False when the task was stopped (stopped stays true) or a body
/// returned false (stopped stays false); the callers then discard what was written.
template <class Body>
bool parallelBlocks(KEXTask& task, int n, int block, double weightPerItem, bool& stopped, Body&& body)
{
  stopped = false;
  const int blocks = n > 0 ? (n + block - 1) / block : 0;
  const int threads = KEXMultiThread::getDefaultNumberOfThreads();
  if (blocks < 4 || threads < 2) {
    for (int first = 0; first < n; first += block) {
      const int end = std::min(n, first + block);
      if (!body(first, end))
        return false;
      if (!task.incProgress(weightPerItem * (end - first), true)) {
        stopped = true;
        return false;
      }
    }
    return true;
  }

  class Pass : public KEXMultiThread {
  public:
    Pass(KEXTask& t, int count, int size, double weight, Body& b)
        : m_task(t), m_n(count), m_block(size), m_weight(weight), m_body(b)
    {
    }
    bool run() override { return work(false); }
    bool runMainThread() override
    {
      const bool ok = work(true);
      // The main thread is out of blocks: report the others' progress until they are through.
      while (ok && !m_halt.load() && m_done.load(std::memory_order_acquire) < m_n && report())
        std::this_thread::yield();
      return report() && ok;
    }
    bool work(bool reporting)
    {
      while (!m_halt.load(std::memory_order_relaxed)) {
        if (reporting && !report())
          return false;
        const long long first = (long long)getAtomic() * m_block;
        if (first >= m_n)
          return true;
        const int end = int(std::min<long long>(m_n, first + m_block));
        if (!m_body(int(first), end)) {
          m_failed.store(true);
          m_halt.store(true);
          return false;
        }
        m_done.fetch_add(end - int(first), std::memory_order_release);
      }
      return true;
    }
    bool report()
    {
      const int done = m_done.load(std::memory_order_acquire);
      if (done > m_reported) {
        const int delta = done - m_reported;
        m_reported = done;
        if (!m_task.incProgress(m_weight * delta, true)) {
          m_stopped = true;
          m_halt.store(true);
          return false;
        }
      }
      return true;
    }
    bool failed() const { return m_failed.load(); }
    bool stoppedByTask() const { return m_stopped; }

  private:
    KEXTask& m_task;
    const int m_n, m_block;
    const double m_weight;
    Body& m_body;
    std::atomic<bool> m_halt{false}, m_failed{false};
    std::atomic<int> m_done{0};
    int m_reported = 0;
    bool m_stopped = false;
  };

  Pass pass(task, n, block, weightPerItem, body);
  const bool ok = pass.runAll(threads - 1);
  stopped = pass.stoppedByTask() && !pass.failed();
  return ok && !pass.failed() && !pass.stoppedByTask();
}

} // namespace kexmeshcore
