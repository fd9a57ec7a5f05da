#pragma once
// What every format plug-in shares: loading a file into memory (a leading UTF-8 byte order mark is
// no part of any format's text), a text scanner that knows its line number, number parsing that
// rejects NaN and infinities, a writer that goes to a temporary file
// and renames it over the target only when everything was written, progress in blocks, and the
// registration of a handler class under its plug-in's module name.
//
// Readers never trust a count from a header: every count is checked against the bytes left in the
// file before anything is allocated for it.
#include "kex/Task.h"
#include "kexmesh/core/ClassRegistration.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/io/BufferedFile.h"
#include "kexmesh/io/TriangleMeshIO.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace kexmeshio {

using Report = KEXGeometryIO::Report;

/// Elements handled between two progress reports.
constexpr int PROGRESS_BLOCK = 65536;

/// The whole content of a file, in framework memory, followed by a terminating zero byte (text
/// scanners may look one byte past the end).
class InputFile {
public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();
  /// Loads fileName; false with Unreadable or OutOfMemory in report.
  bool load(const char* fileName, Report& report);
  const char* data() const { return m_data; }
  int64_t size() const { return m_size; }
  /// Where the text of a text format starts: after a UTF-8 byte order mark, which some editors put
  /// at the start of every text file they save.
  const char* text() const { return m_data + m_textOffset; }
  const char* end() const { return m_data + m_size; }
  const char* name() const { return m_name.c_str(); }

private:
  char* m_data = nullptr;
  int64_t m_size = 0;
  int m_textOffset = 0;
  std::string m_name;
};

/// Refuses a name that exists but is no regular file (a directory opens for reading on some
/// systems, a device reports size 0 however much it yields): false with Unreadable in report. A
/// name that cannot be looked up passes; opening it reports why.
bool checkRegularFile(const char* fileName, Report& report);

/// Whether a token that std::from_chars matched as a decimal number but found out of range is
/// below 1 in magnitude (it underflowed) rather than above the range (it overflowed).
bool underflows(const char* begin, const char* end);

/// Parses a float; rejects NaN, infinities and values beyond the float range. A value too small
/// for a float is finite all the same: it becomes the nearest float (a subnormal or a signed
/// zero). Accepts a leading '+'.
inline bool parseFloat(const char*& p, const char* end, float& value)
{
  const char* q = p;
  if (q < end && *q == '+')
    ++q;
  auto r = std::from_chars(q, end, value);
  if (r.ec == std::errc::result_out_of_range) {
    // from_chars refuses what rounds to zero or a float subnormal; a double still holds most of
    // those, and the rest are below any double.
    double d;
    auto rd = std::from_chars(q, r.ptr, d);
    if (rd.ec == std::errc() && rd.ptr == r.ptr && std::fabs(d) <= double(std::numeric_limits<float>::max()))
      value = float(d);
    else if (rd.ec == std::errc::result_out_of_range && underflows(q, r.ptr))
      value = *q == '-' ? -0.0f : 0.0f;
    else
      return false;
  } else if (r.ec != std::errc() || !std::isfinite(value)) {
    return false;
  }
  p = r.ptr;
  return true;
}

/// Parses a signed integer (no range check beyond long long).
inline bool parseInteger(const char*& p, const char* end, long long& value)
{
  const char* q = p;
  if (q < end && *q == '+')
    ++q;
  auto r = std::from_chars(q, end, value);
  if (r.ec != std::errc())
    return false;
  p = r.ptr;
  return true;
}

/// Line-oriented scanner over a loaded text. Lines end in \n, \r\n or a lone \r.
class TextScanner {
public:
  TextScanner(const char* begin, const char* end, const char* fileName)
      : m_p(begin), m_end(end), m_file(fileName) {}

  bool atEnd() const { return m_p >= m_end; }
  /// Skips blanks and tabs (not line ends).
  void skipBlanks()
  {
    while (m_p < m_end && (*m_p == ' ' || *m_p == '\t' || *m_p == '\f' || *m_p == '\v'))
      ++m_p;
  }
  /// Whether only blanks (and a comment, when a comment character is set) remain on the line.
  bool atLineEnd()
  {
    skipBlanks();
    return m_p >= m_end || *m_p == '\n' || *m_p == '\r' || (m_comment && *m_p == m_comment);
  }
  /// Sets the character that starts a comment running to the end of the line (0: none).
  void setCommentCharacter(char c) { m_comment = c; }
  /// Moves past the rest of the current line.
  void nextLine()
  {
    while (m_p < m_end && *m_p != '\n' && *m_p != '\r')
      ++m_p;
    if (m_p < m_end) {
      if (*m_p == '\r' && m_p + 1 < m_end && m_p[1] == '\n')
        ++m_p;
      ++m_p;
    }
    ++m_line;
  }
  /// Skips empty lines and lines whose first non-blank character is comment (0: none).
  void skipEmptyLines(char comment)
  {
    for (;;) {
      skipBlanks();
      if (m_p >= m_end)
        return;
      if (*m_p == '\n' || *m_p == '\r' || (comment && *m_p == comment))
        nextLine();
      else
        return;
    }
  }
  /// Skips blanks and line ends, counting the lines passed.
  void skipSpaceAndLines()
  {
    while (m_p < m_end && isSpace(*m_p)) {
      if (*m_p == '\n')
        ++m_line;
      else if (*m_p == '\r' && !(m_p + 1 < m_end && m_p[1] == '\n'))
        ++m_line;
      ++m_p;
    }
  }
  /// Reads a whitespace-delimited word on the current line into word (at most size-1 characters).
  bool word(std::string& word)
  {
    skipBlanks();
    const char* s = m_p;
    while (m_p < m_end && !isSpace(*m_p))
      ++m_p;
    word.assign(s, size_t(m_p - s));
    return !word.empty();
  }
  bool number(float& value)
  {
    skipBlanks();
    return parseFloat(m_p, m_end, value) && delimited();
  }
  bool integer(long long& value)
  {
    skipBlanks();
    return parseInteger(m_p, m_end, value) && delimited();
  }
  /// Whether the next word is exactly w (case-sensitive); consumes it when it is.
  bool keyword(const char* w)
  {
    skipBlanks();
    size_t n = std::strlen(w);
    if (size_t(m_end - m_p) < n || std::memcmp(m_p, w, n) != 0)
      return false;
    if (m_p + n < m_end && !isSpace(m_p[n]))
      return false;
    m_p += n;
    return true;
  }
  long long line() const { return m_line; }
  void setLine(long long line) { m_line = line; }
  int64_t remaining() const { return int64_t(m_end - m_p); }
  const char* position() const { return m_p; }
  void setPosition(const char* p) { m_p = p; }
  const char* file() const { return m_file; }
  /// A Malformed failure at the current line; returns false.
  bool fail(Report& report, const char* what) const
  {
    return report.fail(Report::Malformed, "%s:%lld: %s", m_file, m_line, what);
  }

  static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

private:
  bool delimited() const { return m_p >= m_end || isSpace(*m_p) || (m_comment && *m_p == m_comment); }
  const char* m_p;
  const char* m_end;
  const char* m_file;
  long long m_line = 1;
  char m_comment = 0;
};

/// A progress task over count elements; step() reports once per PROGRESS_BLOCK elements and
/// tells whether to go on.
class Progress {
public:
  Progress(const char* message, double total) : m_task(message, total + 1.0) { m_task.incProgress(1.0, true); }
  bool step(long long done)
  {
    if ((done & (PROGRESS_BLOCK - 1)) != 0)
      return true;
    return m_task.incProgress(PROGRESS_BLOCK, true);
  }
  bool add(double amount) { return m_task.incProgress(amount, true); }
  bool stopRequested() const { return m_task.wasStopped() || m_task.wasAborted(); }
  /// Ends the task matching the report and returns whether the operation succeeded.
  bool finish(const Report& report);

private:
  KEXTask m_task;
};

/// Records a stop in the report; false.
bool stopped(Report& report, const char* fileName);
/// Records an allocation failure; false.
bool outOfMemory(Report& report, const char* fileName);

/// Loads a file that must hold at least one byte; false with the reason in report otherwise.
bool loadNonEmpty(InputFile& in, const char* fileName, Report& report);

/// The one warning of a read that skipped faces with fewer than three corners (none when count is 0).
void warnShortFaces(Report& report, const char* fileName, long long count);
/// The warning of a writer whose format cannot hold the face colours of the mesh it writes.
void warnFaceColoursDropped(Report& report, const KEXTriangleMeshBuffer& buffer, const char* fileName);

/// The common frame of the readers: loads fileName, parses it into a fresh buffer with
/// parse(InputFile&, KEXTriangleMeshBuffer&, Report&) and hands the result to buffer only when the
/// parse succeeded, so a failed read leaves the caller's buffer as it was.
template <class Parse>
bool readWith(const char* fileName, KEXTriangleMeshBuffer& buffer, Report& report, Parse parse)
{
  report.clear();
  InputFile in;
  if (!loadNonEmpty(in, fileName, report))
    return false;
  KEXTriangleMeshBuffer result;
  if (!parse(in, result, report))
    return false;
  buffer.swap(result);
  return true;
}

/// Checks the attribute lists of a buffer about to be written (present lists parallel, indices in
/// range); false with Malformed in report otherwise.
bool checkWritable(const KEXTriangleMeshBuffer& buffer, const char* fileName, Report& report);

/// A file being written: bytes go to a new temporary file "<target>.part-XXXXXX" in the target's
/// folder through a KEXBufferedFile; commit() gives it the permissions of the file it replaces and
/// renames it over the target, the destructor removes it when it was not committed. A target that
/// is a symbolic link is resolved: the link stays and the file it names is replaced. Replacing by
/// rename gives the output a new inode, so other hard links to the old file keep the old contents.
class OutputFile {
public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();
  bool open(const char* target, Report& report);
  /// Appends raw bytes; false (and the report says why) when the file could not take them.
  bool put(const void* data, size_t bytes)
  {
    if (m_failed)
      return false;
    if (bytes == 0)
      return true;
    if (m_file.write(data, 1, int(bytes)) != int(bytes))
      m_failed = true;
    return !m_failed;
  }
  bool put(const char* text) { return put(text, std::strlen(text)); }
  /// Text writers collect a line in a small buffer and put it at once.
  bool commit(Report& report);
  bool failed() const { return m_failed; }
  const char* target() const { return m_target.c_str(); }

private:
  KEXBufferedFile m_file;
  std::string m_target, m_destination, m_temp;
  bool m_failed = false;
  bool m_open = false;
};

/// Appends the shortest decimal text that reads back as exactly f.
inline char* formatFloat(char* p, float f)
{
  auto r = std::to_chars(p, p + 32, f);
  return r.ptr;
}
inline char* formatInt(char* p, long long v)
{
  auto r = std::to_chars(p, p + 24, v);
  return r.ptr;
}

/// True on a little-endian host.
inline bool hostIsLittleEndian()
{
  const uint16_t one = 1;
  unsigned char b;
  std::memcpy(&b, &one, 1);
  return b == 1;
}

inline void byteSwap(void* p, int size)
{
  unsigned char* b = static_cast<unsigned char*>(p);
  for (int i = 0; i < size / 2; ++i) {
    unsigned char t = b[i];
    b[i] = b[size - 1 - i];
    b[size - 1 - i] = t;
  }
}

/// Appends to a list whose length is unknown in advance, doubling its length when full (a
/// KEXValueList grows by one block at a time, which would copy it over and over); finish() cuts
/// it to the entries added.
template <class T>
class Appender {
public:
  explicit Appender(KEXValueList<T>& list) : m_list(list) {}
  bool add(const T& value)
  {
    if (m_count == m_list.getCount()) {
      long long grow = m_count < 1024 ? 1024 : 2LL * m_count;
      if (grow > 0x7FFFFFFF)
        grow = 0x7FFFFFFF;
      if (grow <= m_count || !m_list.setCount(int(grow)))
        return false;
    }
    m_list[m_count++] = value;
    return true;
  }
  int count() const { return m_count; }
  /// Forgets the entries from index count on (the list keeps its length until finish()).
  void truncate(int count)
  {
    if (count >= 0 && count < m_count)
      m_count = count;
  }
  void finish() { m_list.setCount(m_count); }

private:
  KEXValueList<T>& m_list;
  int m_count = 0;
};

/// The triangles of a polygon with n corners as a fan from corner 0: n - 2 triangles.
/// false when memory runs short.
bool appendFan(Appender<KEXTriangle<int>>& list, const int* corners, int n);

} // namespace kexmeshio

/// Registers a handler class of a plug-in module under the parent metaclass Parent (the metaclass
/// is built when the module loads).
#define KEXMESHIO_DEFINE_PLUGIN_CLASS_OF(Class, Parent, Module)                                                      \
  const KEXMetaClass& Class::metaClass()                                                                               \
  {                                                                                                                    \
    static const kexmeshdetail::ConcreteFactory<Class>* factory = new kexmeshdetail::ConcreteFactory<Class>;           \
    static const KEXMetaClass* meta =                                                                                  \
        new KEXMetaClass(#Class, sizeof(Class), &Parent::metaClass(), factory, Module, 0, 0, 0, nullptr, nullptr, false); \
    return *meta;                                                                                                      \
  }                                                                                                                    \
  const KEXMetaClass& Class::getMetaClass() const { return metaClass(); }                                              \
  namespace {                                                                                                          \
  [[maybe_unused]] const bool Class##_atLoad = (Class::metaClass(), true);                                             \
  }

/// Registers a triangle mesh handler class of a plug-in module.
#define KEXMESHIO_DEFINE_PLUGIN_CLASS(Class, Module) KEXMESHIO_DEFINE_PLUGIN_CLASS_OF(Class, KEXTriangleMeshIO, Module)
