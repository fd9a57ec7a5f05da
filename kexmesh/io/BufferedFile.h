#pragma once
// KEXBufferedFile: a write-buffered file on top of KEXKernelFile. Mesh writers produce many small
// pieces (a number, a record); collecting them in a 256 KiB buffer turns them into few large
// writes. Positioning calls, flush and close empty the buffer first, so positions and sizes always
// include what was written.
#include "kex/File.h"

#include <cstdint>

class KEXBufferedFile {
public:
  /// Default capacity of the write buffer in bytes.
  static constexpr int DEFAULT_BUFFER_SIZE = 262144;
  /// Capacity of the local buffer of formatted writes (longer results are dropped).
  static constexpr int FORMAT_BUFFER_SIZE = 1024;
  enum SeekMode { SeekSet = 0, SeekCurrent = 1, SeekEnd = 2 };

  /// Allocates the private file record; when that fails, reports OutOfMemory and every operation
  /// fails.
  KEXBufferedFile();
  /// Constructs and opens (see open).
  KEXBufferedFile(const char* fileName, const char* mode, bool flag = false);
  /// The copy takes the buffer size; it is closed (an open file handle is never shared).
  KEXBufferedFile(const KEXBufferedFile& other);
  /// Closes this file (flushing it) and takes other's buffer size.
  KEXBufferedFile& operator=(const KEXBufferedFile& other);
  /// Closes (flushing the buffered bytes).
  ~KEXBufferedFile();

  /// Flushes and closes a file already open, then opens fileName and sizes the write buffer.
  /// \return false when the file cannot be opened or the buffer cannot be allocated (the file is
  /// then closed again).
  bool open(const char* fileName, const char* mode, bool flag = false);
  /// Appends size * count bytes, flushing each time the buffer is full.
  /// \return the bytes taken; 0 without buffer, for null data, a byte count below 1, or when a
  /// flush fails (bytes taken before the failure stay buffered).
  int write(const void* data, int size, int count);
  /// The same for character data. (A char pointer followed by two ints is a byte write, so a
  /// format taking exactly two int arguments has to be formatted by the caller.)
  int write(const char* data, int size, int count) { return write(static_cast<const void*>(data), size, count); }
  /// printf-style write through a local buffer of 1024 characters; an empty result or one that
  /// does not fit writes nothing and returns 0. Otherwise as write(text, 1, length).
  int write(const char* format, ...) __attribute__((format(printf, 2, 3)));
  /// Writes the buffered bytes. True when nothing was buffered or all were written; false when the
  /// file is not open or a write came up short (the bytes not yet written stay buffered, so a
  /// later flush continues where this one stopped).
  bool flush();
  /// Each flushes first; when the flush fails the position is not changed (buffered bytes would
  /// otherwise land at the new position) and false is returned.
  bool setPos(int64_t position);
  /// The position including buffered bytes; -1 on failure.
  int64_t getPos() const;
  bool seek(long offset, SeekMode mode);
  bool resize(int64_t size);
  /// Flushes, closes and frees the buffer; the AND of the three.
  bool close();
  /// Open files only: drops the buffered bytes unwritten, closes and deletes the file.
  bool remove();
  /// Sets the buffer capacity (rounded up to a multiple of 16 while open, after a flush).
  /// \return the flush result; false when growing fails or size is below 1.
  bool setBufferSize(int size);
  /// The capacity in bytes, -1 without record.
  int getBufferSize() const;
  /// Bytes waiting in the buffer (0 without record).
  int getBufferedCount() const;

  bool isOpen() const;
  const char* getFileName() const;
  /// The mode given to open, null when closed.
  const char* getFileMode() const;
  bool lock();
  bool unlock();
  bool eof() const;
  bool error() const;
  bool clearError();
  /// File size in bytes after a flush; -1 without record or when closed.
  int64_t getSize() const;

  /// The private file record (kernel file, mode, write buffer, fill count, capacity).
  struct Record;

private:
  bool sizeBuffer(int size);
  Record* m_record = nullptr;
};
