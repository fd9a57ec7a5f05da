#pragma once
// Files of the framework. KEXKernelFile is a thin, fwrite-like layer over the C stream functions
// with 64-bit positions; every write goes through one place, so tests can log the sizes of the
// writes and inject a short write (kex/Testing.h). KEXCFile hands out a plain FILE* for code that
// formats with fprintf.
#include <cstdint>
#include <cstdio>

class KEXKernelFile {
public:
  KEXKernelFile() = default;
  KEXKernelFile(const KEXKernelFile&) = delete;
  KEXKernelFile& operator=(const KEXKernelFile&) = delete;
  /// Closes the file.
  virtual ~KEXKernelFile();

  /// Opens fileName with an fopen mode ("rb", "wb", "r+b", ...). flag: on POSIX systems there is no
  /// text translation, so it is accepted and ignored. A file already open is closed first.
  /// \return false when the file cannot be opened (the object stays closed).
  bool open(const char* fileName, const char* mode, bool flag = false);
  /// Closes; false when the file was not open or the final flush failed.
  bool close();
  /// Writes count items of size bytes; returns the number of whole items written (0 on failure).
  int write(const void* data, int size, int count);
  /// Reads up to count items of size bytes; returns the number of whole items read.
  int read(void* data, int size, int count);
  /// Moves the position: mode 0 from the start, 1 from the current position, 2 from the end.
  bool seek(long offset, int mode);
  bool setPos(int64_t position);
  /// The current position, -1 on failure or when closed.
  int64_t getPos() const;
  /// Truncates or extends the file to size bytes.
  bool resize(int64_t size);
  /// Advisory exclusive lock of the whole file (flock); unlock releases it.
  bool lock();
  bool unlock();
  bool eof() const;
  bool error() const;
  bool clearError();
  /// Size in bytes, -1 when closed or unknown.
  int64_t getSize() const;
  bool isOpen() const { return m_stream != nullptr; }
  /// The name given to open (null when closed).
  const char* getFileName() const { return m_name; }
  /// Closes and deletes the file; false when it was not open or could not be deleted.
  bool remove();

private:
  FILE* m_stream = nullptr;
  char* m_name = nullptr;
};

/// A C stream for fprintf-style writers; closed by the destructor.
class KEXCFile {
public:
  KEXCFile() = default;
  KEXCFile(const char* fileName, const char* mode) { open(fileName, mode); }
  KEXCFile(const KEXCFile&) = delete;
  KEXCFile& operator=(const KEXCFile&) = delete;
  ~KEXCFile() { close(); }
  /// Opens with an fopen mode (a file already open is closed first); false on failure.
  bool open(const char* fileName, const char* mode);
  /// Closes; false when not open or the final flush failed.
  bool close();
  /// The stream, null when closed.
  FILE* getStream() const { return m_stream; }

private:
  FILE* m_stream = nullptr;
};
