// Shared parts of the format plug-ins: loading, progress, the temporary-file writer and checks.
#include "MeshFileSupport.h"

#include "kex/File.h"
#include "kex/Memory.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kexmeshio {

InputFile::~InputFile() { kexFree(m_data); }

bool checkRegularFile(const char* fileName, Report& report)
{
  // Say what the name is instead of reporting a read error or an empty file.
  struct stat st;
  if (fileName && ::stat(fileName, &st) == 0) {
    if (S_ISDIR(st.st_mode))
      return report.fail(Report::Unreadable, "%s: is a directory", fileName);
    if (!S_ISREG(st.st_mode))
      return report.fail(Report::Unreadable, "%s: not a regular file", fileName);
  }
  return true;
}

bool InputFile::load(const char* fileName, Report& report)
{
  m_name = fileName ? fileName : "";
  if (!checkRegularFile(fileName, report))
    return false;
  KEXKernelFile file;
  if (!fileName || !file.open(fileName, "rb"))
    return report.fail(Report::Unreadable, "%s: cannot open file: %s", m_name.c_str(), std::strerror(errno));
  int64_t size = file.getSize();
  if (size < 0)
    return report.fail(Report::Unreadable, "%s: cannot determine the file size", m_name.c_str());
  kexFree(m_data);
  m_data = static_cast<char*>(kexMalloc(size_t(size) + 1));
  if (!m_data)
    return report.fail(Report::OutOfMemory, "%s: not enough memory to load %lld bytes", m_name.c_str(), (long long)size);
  int64_t done = 0;
  while (done < size) {
    int64_t chunk = size - done < (1 << 28) ? size - done : (1 << 28);
    int n = file.read(m_data + done, 1, int(chunk));
    if (n <= 0)
      break;
    done += n;
  }
  if (done != size)
    return report.fail(Report::Unreadable, "%s: read error after %lld of %lld bytes", m_name.c_str(), (long long)done,
                       (long long)size);
  m_data[size] = 0;
  m_size = size;
  m_textOffset = size >= 3 && std::memcmp(m_data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
  return true;
}

bool underflows(const char* p, const char* end)
{
  auto digit = [&](const char* q) { return q < end && *q >= '0' && *q <= '9'; };
  if (p < end && *p == '-')
    ++p;
  // The decimal order of magnitude: of the first non-zero digit, plus the exponent.
  long long order = 0, integerDigits = 0, leadingZeros = 0;
  bool nonZero = false;
  for (; digit(p); ++p)
    if (nonZero || *p != '0') {
      nonZero = true;
      ++integerDigits;
    }
  if (p < end && *p == '.')
    for (++p; digit(p); ++p)
      if (!nonZero) {
        if (*p == '0')
          ++leadingZeros;
        else
          nonZero = true;
      }
  order = integerDigits > 0 ? integerDigits - 1 : -(leadingZeros + 1);
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+'))
      ++p;
    long long exponent = 0;
    for (; digit(p); ++p)
      if (exponent < 1000000000000LL)
        exponent = exponent * 10 + (*p - '0');
    order += negative ? -exponent : exponent;
  }
  return order < 0;
}

void warnFaceColoursDropped(Report& report, const KEXTriangleMeshBuffer& buffer, const char* fileName)
{
  if (buffer.hasTriangleColorList())
    report.warn("%s: the face colours are not written (the format holds none; PLY and OFF do)", fileName);
}

void warnShortFaces(Report& report, const char* fileName, long long count)
{
  if (count > 0)
    report.warn("%s: %lld faces with fewer than three corners were skipped", fileName, count);
}

bool Progress::finish(const Report& report)
{
  switch (report.kind) {
  case Report::Ok:
    return m_task.ok();
  case Report::Stopped:
    if (m_task.wasAborted())
      m_task.aborted();
    else
      m_task.stopped();
    return false;
  case Report::OutOfMemory:
    m_task.error(KEX::OutOfMemory);
    return false;
  case Report::Malformed:
    m_task.error(KEX::InvalidValue);
    return false;
  default:
    m_task.error(KEXenum("IOError"));
    return false;
  }
}

bool stopped(Report& report, const char* fileName)
{
  return report.fail(Report::Stopped, "%s: stopped by the user", fileName);
}

bool outOfMemory(Report& report, const char* fileName)
{
  return report.fail(Report::OutOfMemory, "%s: not enough memory", fileName);
}

bool checkWritable(const KEXTriangleMeshBuffer& b, const char* fileName, Report& report)
{
  int v = b.getVertexCount(), t = b.getTriangleCount();
  auto optional = [](int count, int n) { return count == 0 || count == n; };
  if (!optional(b.vertexNormalList.getCount(), v) || !optional(b.vertexColorList.getCount(), v) ||
      !optional(b.triangleNormalList.getCount(), t) || !optional(b.triangleColorList.getCount(), t))
    return report.fail(Report::Malformed, "%s: the mesh's attribute lists do not match its element counts", fileName);
  for (int i = 0; i < t; ++i) {
    const KEXTriangle<int>& tri = b.triangleList[i];
    for (int k = 0; k < 3; ++k)
      if (tri[k] < 0 || tri[k] >= v)
        return report.fail(Report::Malformed, "%s: triangle %d refers to vertex %d, the mesh has %d vertices", fileName,
                           i, tri[k], v);
  }
  return true;
}

OutputFile::~OutputFile()
{
  if (m_open)
    m_file.remove();
}

bool loadNonEmpty(InputFile& in, const char* fileName, Report& report)
{
  if (!in.load(fileName, report))
    return false;
  if (in.size() == 0)
    return report.fail(Report::Malformed, "%s: the file is empty", in.name());
  return true;
}

namespace {

/// Where writing "path" lands: the file itself, or for a symbolic link the file it points to (also
/// when that does not exist yet), so that replacing the output keeps the link.
std::string resolveOutput(const std::string& path)
{
  struct stat st;
  std::string p = path;
  for (int hops = 0; hops < 40 && lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode); ++hops) {
    std::vector<char> link(size_t(st.st_size > 0 ? st.st_size : 4096) + 1);
    const ssize_t n = readlink(p.c_str(), link.data(), link.size() - 1);
    if (n <= 0)
      break;
    std::string to(link.data(), size_t(n));
    if (to[0] != '/') {
      const size_t slash = p.rfind('/');
      if (slash != std::string::npos)
        to = p.substr(0, slash + 1) + to;
    }
    p = to;
  }
  return p;
}

} // namespace

bool OutputFile::open(const char* target, Report& report)
{
  m_target = target ? target : "";
  if (!target)
    return report.fail(Report::Unreadable, "(no file name): cannot create file");
  m_destination = resolveOutput(m_target);
  // A unique temporary name in the destination's folder: the rename at the end stays on one file
  // system, and a file the user happens to have called "<name>.part" is never touched.
  std::vector<char> name(m_destination.begin(), m_destination.end());
  const char suffix[] = ".part-XXXXXX";
  name.insert(name.end(), suffix, suffix + sizeof(suffix));
  errno = 0;
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    const int e = errno;
    return report.fail(Report::Unreadable, "%s: cannot create file: %s", m_target.c_str(), std::strerror(e));
  }
  close(fd);
  m_temp = name.data();
  errno = 0;
  if (!m_file.open(m_temp.c_str(), "wb")) {
    int e = errno;
    std::remove(m_temp.c_str());
    return report.fail(Report::Unreadable, "%s: cannot create file: %s", m_target.c_str(),
                       e ? std::strerror(e) : "out of memory");
  }
  m_open = true;
  m_failed = false;
  return true;
}

bool OutputFile::commit(Report& report)
{
  if (!m_open)
    return report.fail(Report::WriteFailed, "%s: file not open", m_target.c_str());
  if (m_failed || !m_file.flush()) {
    int e = errno;
    m_file.remove();
    m_open = false;
    return report.fail(Report::WriteFailed, "%s: write failed: %s", m_target.c_str(), std::strerror(e));
  }
  m_open = false;
  if (!m_file.close()) {
    std::remove(m_temp.c_str());
    return report.fail(Report::WriteFailed, "%s: write failed on close", m_target.c_str());
  }
  // The temporary file was created private (0600): give it the replaced file's permissions, or
  // those of a new file under the process's umask.
  struct stat st;
  mode_t mode;
  if (stat(m_destination.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  chmod(m_temp.c_str(), mode);
  if (std::rename(m_temp.c_str(), m_destination.c_str()) != 0) {
    int e = errno;
    std::remove(m_temp.c_str());
    return report.fail(Report::WriteFailed, "%s: cannot replace the file: %s", m_target.c_str(), std::strerror(e));
  }
  return true;
}

bool appendFan(Appender<KEXTriangle<int>>& list, const int* corners, int n)
{
  for (int k = 1; k + 1 < n; ++k)
    if (!list.add(KEXTriangle<int>(corners[0], corners[k], corners[k + 1])))
      return false;
  return true;
}

} // namespace kexmeshio
