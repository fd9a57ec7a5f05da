#include "kex/Thread.h"
#include "kex/Testing.h"

#include <system_error>
#include <thread>
#include <vector>

namespace {
std::atomic<int> g_threads{0}; // 0: hardware concurrency
std::atomic<int> g_lastRunAll{0};
} // namespace

int KEXMultiThread::getDefaultNumberOfThreads()
{
  int n = g_threads.load();
  if (n > 0)
    return n;
  unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? int(hw) : 1;
}

void KEXMultiThread::setDefaultNumberOfThreads(int n) { g_threads.store(n > 0 ? n : 0); }

bool KEXMultiThread::runAll(int n)
{
  int count = n > 0 ? n : getNumberOfThreads();
  g_lastRunAll.store(count);
  resetAtomic();
  std::vector<char> results(size_t(count), 0);
  std::vector<std::thread> workers;
  workers.reserve(size_t(count));
  for (int i = 0; i < count; ++i) {
    try {
      workers.emplace_back([this, &results, i] { results[size_t(i)] = run() ? 1 : 0; });
    } catch (const std::system_error&) {
      // No thread to be had: this worker's share runs on the calling thread.
      results[size_t(i)] = run() ? 1 : 0;
    }
  }
  bool ok = runMainThread();
  for (std::thread& t : workers)
    t.join();
  for (char r : results)
    ok = ok && r;
  return ok;
}

void KEXSyncSemaphore::post(int n)
{
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_count += n;
  }
  if (n == 1)
    m_cond.notify_one();
  else
    m_cond.notify_all();
}

void KEXSyncSemaphore::wait()
{
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cond.wait(lock, [this] { return m_count > 0; });
  --m_count;
}

namespace kexTest {
void setThreadCount(int n) { KEXMultiThread::setDefaultNumberOfThreads(n); }
int lastRunAllThreads() { return g_lastRunAll.load(); }
} // namespace kexTest
