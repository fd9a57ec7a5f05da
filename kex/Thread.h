#pragma once
// Worker threads. A KEXMultiThread runs its per-thread run() on n workers and waits for them;
// workers take work items from the object's atomic counter and merge under its one lock.
#include <atomic>
#include <condition_variable>
#include <mutex>

class KEXMultiThread {
public:
  KEXMultiThread() = default;
  /// Copies give a fresh lock and counter.
  KEXMultiThread(const KEXMultiThread& other) : m_sync(other.m_sync) {}
  KEXMultiThread& operator=(const KEXMultiThread& other)
  {
    m_sync = other.m_sync;
    return *this;
  }
  virtual ~KEXMultiThread() = default;

  /// Runs run() on n workers (n <= 0: getNumberOfThreads()) and runMainThread() on the calling
  /// thread, then waits. Resets the atomic counter first. Returns the AND of all results.
  virtual bool runAll(int n = 0);
  /// The per-thread work. Default: nothing, true.
  virtual bool run() { return true; }
  /// Called on the calling thread while the workers run. Default: nothing, true.
  virtual bool runMainThread() { return true; }

  /// Hands out 0, 1, 2, ... (each value once across all threads).
  int getAtomic() { return m_atomic.fetch_add(1); }
  void resetAtomic() { m_atomic.store(0); }
  void lock() { m_mutex.lock(); }
  void unlock() { m_mutex.unlock(); }
  void setSyncEnabled(bool enabled) { m_sync = enabled; }
  bool isSyncEnabled() const { return m_sync; }
  int getNumberOfThreads() const { return getDefaultNumberOfThreads(); }

  /// The process-wide worker count (default: the hardware's, at least 1). Set by the host.
  static int getDefaultNumberOfThreads();
  static void setDefaultNumberOfThreads(int n);

private:
  std::atomic<int> m_atomic{0};
  std::mutex m_mutex;
  bool m_sync = true;
};

/// Counting semaphore.
class KEXSyncSemaphore {
public:
  explicit KEXSyncSemaphore(int initial = 0) : m_count(initial) {}
  void post(int n = 1);
  void wait();

private:
  std::mutex m_mutex;
  std::condition_variable m_cond;
  int m_count;
};
