#include "kex/File.h"

#include "kex/Memory.h"
#include "kex/Testing.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Test hooks: a log of the byte counts of write calls and a pending short write.
struct WriteHooks {
  std::mutex mutex;
  bool logging = false;
  std::vector<long long> log;
  long long shortWrite = -1; // bytes the next write may still write (-1: no fault pending)
};

WriteHooks& hooks()
{
  static WriteHooks* h = new WriteHooks; // never destroyed: usable from static destructors
  return *h;
}

std::atomic<bool> g_hooksActive{false};

char* copyName(const char* s)
{
  size_t n = std::strlen(s) + 1;
  char* p = static_cast<char*>(kexMalloc(n));
  if (p)
    std::memcpy(p, s, n);
  return p;
}

} // namespace

namespace kexTest {

void setFileWriteLogging(bool on)
{
  std::lock_guard<std::mutex> lock(hooks().mutex);
  hooks().logging = on;
  hooks().log.clear();
  g_hooksActive = on || hooks().shortWrite >= 0;
}

std::vector<long long> fileWriteLog()
{
  std::lock_guard<std::mutex> lock(hooks().mutex);
  return hooks().log;
}

void failNextFileWrite(long long bytesWritten)
{
  std::lock_guard<std::mutex> lock(hooks().mutex);
  hooks().shortWrite = bytesWritten < 0 ? 0 : bytesWritten;
  g_hooksActive = true;
}

void clearFileWriteFault()
{
  std::lock_guard<std::mutex> lock(hooks().mutex);
  hooks().shortWrite = -1;
  g_hooksActive = hooks().logging;
}

} // namespace kexTest

KEXKernelFile::~KEXKernelFile() { close(); }

bool KEXKernelFile::open(const char* fileName, const char* mode, bool)
{
  if (m_stream)
    close();
  if (!fileName || !mode)
    return false;
  char* name = copyName(fileName);
  if (!name)
    return false;
  FILE* f = std::fopen(fileName, mode);
  if (!f) {
    kexFree(name);
    return false;
  }
  m_stream = f;
  m_name = name;
  return true;
}

bool KEXKernelFile::close()
{
  if (!m_stream)
    return false;
  bool ok = std::fclose(m_stream) == 0;
  m_stream = nullptr;
  kexFree(m_name);
  m_name = nullptr;
  return ok;
}

int KEXKernelFile::write(const void* data, int size, int count)
{
  if (!m_stream || !data || size < 1 || count < 1)
    return 0;
  size_t bytes = size_t(size) * size_t(count);
  if (g_hooksActive.load(std::memory_order_relaxed)) {
    WriteHooks& h = hooks();
    std::lock_guard<std::mutex> lock(h.mutex);
    if (h.logging)
      h.log.push_back((long long)bytes);
    if (h.shortWrite >= 0) {
      size_t allowed = std::min<size_t>(bytes, size_t(h.shortWrite));
      h.shortWrite = -1;
      g_hooksActive = h.logging;
      size_t done = allowed ? std::fwrite(data, 1, allowed, m_stream) : 0;
      return int(done / size_t(size));
    }
  }
  return int(std::fwrite(data, size_t(size), size_t(count), m_stream));
}

int KEXKernelFile::read(void* data, int size, int count)
{
  if (!m_stream || !data || size < 1 || count < 1)
    return 0;
  return int(std::fread(data, size_t(size), size_t(count), m_stream));
}

bool KEXKernelFile::seek(long offset, int mode)
{
  if (!m_stream)
    return false;
  int whence = mode == 1 ? SEEK_CUR : (mode == 2 ? SEEK_END : SEEK_SET);
  return fseeko(m_stream, off_t(offset), whence) == 0;
}

bool KEXKernelFile::setPos(int64_t position)
{
  if (!m_stream || position < 0)
    return false;
  return fseeko(m_stream, off_t(position), SEEK_SET) == 0;
}

int64_t KEXKernelFile::getPos() const
{
  if (!m_stream)
    return -1;
  off_t p = ftello(m_stream);
  return p < 0 ? -1 : int64_t(p);
}

bool KEXKernelFile::resize(int64_t size)
{
  if (!m_stream || size < 0 || std::fflush(m_stream) != 0)
    return false;
  return ftruncate(fileno(m_stream), off_t(size)) == 0;
}

bool KEXKernelFile::lock() { return m_stream && flock(fileno(m_stream), LOCK_EX) == 0; }

bool KEXKernelFile::unlock() { return m_stream && flock(fileno(m_stream), LOCK_UN) == 0; }

bool KEXKernelFile::eof() const { return !m_stream || std::feof(m_stream) != 0; }

bool KEXKernelFile::error() const { return !m_stream || std::ferror(m_stream) != 0; }

bool KEXKernelFile::clearError()
{
  if (!m_stream)
    return false;
  std::clearerr(m_stream);
  return true;
}

int64_t KEXKernelFile::getSize() const
{
  if (!m_stream)
    return -1;
  std::fflush(m_stream);
  struct stat st;
  if (fstat(fileno(m_stream), &st) != 0)
    return -1;
  return int64_t(st.st_size);
}

bool KEXKernelFile::remove()
{
  if (!m_stream)
    return false;
  char* name = m_name;
  m_name = nullptr;
  std::fclose(m_stream);
  m_stream = nullptr;
  bool ok = name && std::remove(name) == 0;
  kexFree(name);
  return ok;
}

bool KEXCFile::open(const char* fileName, const char* mode)
{
  close();
  if (!fileName || !mode)
    return false;
  m_stream = std::fopen(fileName, mode);
  return m_stream != nullptr;
}

bool KEXCFile::close()
{
  if (!m_stream)
    return false;
  bool ok = std::fclose(m_stream) == 0;
  m_stream = nullptr;
  return ok;
}
