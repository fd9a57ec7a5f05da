// Write-buffered file. The record (kernel file, mode, byte buffer, fill count, capacity) lives in
// framework memory so that its allocation can fail under test like every other; without it every
// operation fails. A short write during a flush drops only the bytes that reached the file, so a
// retried flush never writes a byte twice.
#include "kexmesh/io/BufferedFile.h"

#include "kex/Error.h"
#include "kex/Memory.h"
#include "kex/ValueList.h"
#include "kex/Values.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

struct KEXBufferedFile::Record : public KEXKernelFile {
  KEXCString mode;
  KEXValueList<char> buffer{16, true};
  int count = 0;
  int size = DEFAULT_BUFFER_SIZE;
};

namespace {

KEXBufferedFile::Record* newRecord()
{
  void* p = kexMalloc(sizeof(KEXBufferedFile::Record));
  if (!p) {
    KEXError::emitError(KEXError::Message(KEX::OutOfMemory));
    return nullptr;
  }
  return new (p) KEXBufferedFile::Record();
}

void deleteRecord(KEXBufferedFile::Record* r)
{
  if (!r)
    return;
  r->~Record();
  kexFree(r);
}

int roundTo16(int size) { return size > 0x7FFFFFF0 ? 0x7FFFFFF0 : (size + 15) & ~15; }

} // namespace

KEXBufferedFile::KEXBufferedFile() : m_record(newRecord()) {}

KEXBufferedFile::KEXBufferedFile(const char* fileName, const char* mode, bool flag) : KEXBufferedFile()
{
  open(fileName, mode, flag);
}

KEXBufferedFile::KEXBufferedFile(const KEXBufferedFile& other) : KEXBufferedFile()
{
  if (m_record && other.m_record)
    m_record->size = other.m_record->size;
}

KEXBufferedFile& KEXBufferedFile::operator=(const KEXBufferedFile& other)
{
  if (this != &other && m_record) {
    if (m_record->isOpen())
      close();
    if (other.m_record)
      m_record->size = other.m_record->size;
  }
  return *this;
}

KEXBufferedFile::~KEXBufferedFile()
{
  if (m_record && m_record->isOpen())
    close();
  deleteRecord(m_record);
}

bool KEXBufferedFile::sizeBuffer(int size)
{
  Record& r = *m_record;
  int capacity = roundTo16(size);
  if (capacity > r.buffer.getCount())
    return r.buffer.setCount(capacity);
  r.buffer.setCount(capacity); // a shrink always succeeds
  return true;
}

bool KEXBufferedFile::open(const char* fileName, const char* mode, bool flag)
{
  if (!m_record)
    return false;
  Record& r = *m_record;
  if (r.isOpen())
    close();
  if (!r.KEXKernelFile::open(fileName, mode, flag)) {
    r.mode.set(nullptr);
    return false;
  }
  if (!r.mode.set(mode) || !sizeBuffer(r.size)) {
    // Without its buffer the file could take no byte: give it up at once.
    r.KEXKernelFile::close();
    r.mode.set(nullptr);
    r.buffer.clear();
    return false;
  }
  r.count = 0;
  return true;
}

int KEXBufferedFile::write(const void* data, int size, int count)
{
  if (!m_record || !data || size < 1 || count < 1)
    return 0;
  Record& r = *m_record;
  long long total = (long long)size * count;
  int capacity = r.buffer.getCount();
  if (capacity < 1 || total > 0x7FFFFFFF)
    return 0;
  const char* src = static_cast<const char*>(data);
  long long left = total;
  while (left > 0) {
    int room = capacity - r.count;
    int n = left < room ? int(left) : room;
    std::memcpy(r.buffer.getData() + r.count, src, size_t(n));
    r.count += n;
    src += n;
    left -= n;
    if (r.count == capacity && !flush())
      return 0;
  }
  return int(total);
}

int KEXBufferedFile::write(const char* format, ...)
{
  if (!m_record || !format)
    return 0;
  char text[FORMAT_BUFFER_SIZE];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n <= 0 || n >= FORMAT_BUFFER_SIZE)
    return 0;
  return write(static_cast<const void*>(text), 1, n);
}

bool KEXBufferedFile::flush()
{
  if (!m_record || !m_record->isOpen())
    return false;
  Record& r = *m_record;
  if (r.count == 0)
    return true;
  int written = r.KEXKernelFile::write(r.buffer.getData(), 1, r.count);
  if (written == r.count) {
    r.count = 0;
    return true;
  }
  if (written > 0) {
    std::memmove(r.buffer.getData(), r.buffer.getData() + written, size_t(r.count - written));
    r.count -= written;
  }
  return false;
}

bool KEXBufferedFile::setPos(int64_t position)
{
  if (!m_record || !flush())
    return false;
  return m_record->KEXKernelFile::setPos(position);
}

int64_t KEXBufferedFile::getPos() const
{
  if (!m_record)
    return -1;
  KEXBufferedFile* self = const_cast<KEXBufferedFile*>(this);
  if (self->flush())
    return m_record->KEXKernelFile::getPos();
  int64_t p = m_record->KEXKernelFile::getPos();
  return p < 0 ? -1 : p + m_record->count;
}

bool KEXBufferedFile::seek(long offset, SeekMode mode)
{
  if (!m_record || !flush())
    return false;
  int m = (mode == SeekCurrent) ? 1 : (mode == SeekEnd ? 2 : 0);
  return m_record->KEXKernelFile::seek(offset, m);
}

bool KEXBufferedFile::resize(int64_t size)
{
  if (!m_record || !flush())
    return false;
  return m_record->KEXKernelFile::resize(size);
}

bool KEXBufferedFile::close()
{
  if (!m_record)
    return false;
  Record& r = *m_record;
  bool flushed = flush();
  bool closed = r.KEXKernelFile::close();
  r.buffer.clear();
  r.mode.set(nullptr);
  r.count = 0;
  return flushed && closed;
}

bool KEXBufferedFile::remove()
{
  if (!m_record || !m_record->isOpen())
    return false;
  Record& r = *m_record;
  r.mode.set(nullptr);
  r.count = 0;
  bool ok = r.KEXKernelFile::remove();
  r.buffer.clear();
  return ok;
}

bool KEXBufferedFile::setBufferSize(int size)
{
  if (!m_record || size < 1)
    return false;
  Record& r = *m_record;
  r.size = size;
  if (!r.isOpen())
    return true;
  bool flushed = flush();
  if (!flushed)
    return false; // keep the buffer: it still holds bytes
  return sizeBuffer(size);
}

int KEXBufferedFile::getBufferSize() const { return m_record ? m_record->size : -1; }

int KEXBufferedFile::getBufferedCount() const { return m_record ? m_record->count : 0; }

bool KEXBufferedFile::isOpen() const { return m_record && m_record->isOpen(); }

const char* KEXBufferedFile::getFileName() const { return m_record ? m_record->getFileName() : nullptr; }

const char* KEXBufferedFile::getFileMode() const { return m_record ? m_record->mode.get() : nullptr; }

bool KEXBufferedFile::lock() { return m_record && m_record->lock(); }

bool KEXBufferedFile::unlock() { return m_record && m_record->unlock(); }

bool KEXBufferedFile::eof() const { return !m_record || m_record->eof(); }

bool KEXBufferedFile::error() const { return !m_record || m_record->error(); }

bool KEXBufferedFile::clearError() { return m_record && m_record->clearError(); }

int64_t KEXBufferedFile::getSize() const
{
  if (!m_record)
    return -1;
  const_cast<KEXBufferedFile*>(this)->flush();
  return m_record->getSize();
}
