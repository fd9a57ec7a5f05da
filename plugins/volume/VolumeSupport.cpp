// Shared parts of the volume readers. A declared size is checked for overflow and against the
// grid's limit before anything is allocated or mapped; an uncompressed file is checked to hold all
// the samples its header declares before it is mapped, so a truncated file never faults on access.
// A bare zlib stream (which gzread passes through as plain bytes) is inflated with inflate() on
// framework memory, so its allocations can fail like any other.
#include "VolumeSupport.h"

#include "../common/MeshFileSupport.h"

#include "kex/Memory.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace kexmeshvolume {

bool sampleBytes(const char* fileName, KEXSampleType t, long long nx, long long ny, long long nz, uint64_t& bytes,
                 Report& report)
{
  if (nx < 1 || ny < 1 || nz < 1)
    return report.fail(Report::Malformed, "%s: invalid grid size %lld x %lld x %lld (every axis needs a sample)",
                       fileName, nx, ny, nz);
  const uint64_t limit = KEXGrid::MAX_SAMPLES;
  if (uint64_t(nx) > limit || uint64_t(ny) > limit / uint64_t(nx) ||
      uint64_t(nz) > limit / (uint64_t(nx) * uint64_t(ny)) || nx > 0x7FFFFFFF || ny > 0x7FFFFFFF || nz > 0x7FFFFFFF)
    return report.fail(Report::Unsupported, "%s: grid size %lld x %lld x %lld is beyond the largest grid (%llu samples)",
                       fileName, nx, ny, nz, (unsigned long long)limit);
  bytes = uint64_t(nx) * uint64_t(ny) * uint64_t(nz) * kexSampleSize(t);
  return true;
}

namespace {

// The grid lets go of a mapped region: the mapping started at context and ends with the samples.
void unmapRegion(void* context, const void* data, size_t bytes)
{
  const size_t length = size_t(static_cast<const char*>(data) - static_cast<const char*>(context)) + bytes;
  ::munmap(context, length);
}

// Closes a descriptor on every way out.
struct Descriptor {
  int fd = -1;
  ~Descriptor()
  {
    if (fd >= 0)
      ::close(fd);
  }
  /// Opens a regular file for reading; false with Unreadable in report.
  bool open(const char* fileName, Report& report)
  {
    if (!kexmeshio::checkRegularFile(fileName, report))
      return false;
    fd = ::open(fileName, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return report.fail(Report::Unreadable, "%s: cannot open file: %s", fileName, std::strerror(errno));
    return true;
  }
};

} // namespace

bool attachFileRegion(const char* fileName, long long offset, KEXSampleType t, int nx, int ny, int nz,
                      bool bigEndian, KEXGrid& grid, Report& report)
{
  uint64_t bytes = 0;
  if (!sampleBytes(fileName, t, nx, ny, nz, bytes, report))
    return false;
  Descriptor d;
  if (!d.open(fileName, report))
    return false;
  struct stat st;
  if (::fstat(d.fd, &st) != 0)
    return report.fail(Report::Unreadable, "%s: cannot determine the file size", fileName);
  const uint64_t size = uint64_t(st.st_size);
  if (offset < 0 || uint64_t(offset) > size || size - uint64_t(offset) < bytes)
    return report.fail(Report::Malformed,
                       "%s: the file holds %lld bytes of samples after its %lld-byte header, %llu are declared "
                       "(truncated file?)",
                       fileName, offset >= 0 && uint64_t(offset) <= size ? (long long)(size - uint64_t(offset)) : 0LL,
                       offset, (unsigned long long)bytes);
  const size_t length = size_t(uint64_t(offset) + bytes);
  void* base = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, d.fd, 0);
  if (base == MAP_FAILED)
    return report.fail(Report::Unreadable, "%s: cannot map %zu bytes: %s", fileName, length, std::strerror(errno));
  const char* samples = static_cast<const char*>(base) + offset;
  if (!grid.attach(t, nx, ny, nz, samples, size_t(bytes), bigEndian, &unmapRegion, base)) {
    ::munmap(base, length);
    return report.fail(Report::Unsupported, "%s: the grid cannot take the samples (it is being read)", fileName);
  }
  return true;
}

struct GzipInput::Zlib {
  z_stream z{};
  int fd = -1;
  bool initialized = false;
  bool ended = false;
  bool outOfMemory = false;
  const char* message = nullptr;
  unsigned char in[1 << 16];
};

namespace {
voidpf zlibAlloc(voidpf, uInt items, uInt size) { return kexMalloc(size_t(items) * size); }
void zlibFree(voidpf, voidpf p) { kexFree(p); }
} // namespace

GzipInput::~GzipInput()
{
  if (m_file)
    gzclose(static_cast<gzFile>(m_file));
  if (m_zlib) {
    if (m_zlib->initialized)
      inflateEnd(&m_zlib->z);
    if (m_zlib->fd >= 0)
      ::close(m_zlib->fd);
    m_zlib->~Zlib();
    kexFree(m_zlib);
  }
}

bool GzipInput::open(const char* fileName, Report& report) { return open(fileName, 0, false, report); }

bool GzipInput::open(const char* fileName, long long offset, bool zlib, Report& report)
{
  Descriptor d;
  if (!d.open(fileName, report))
    return false;
  // A regular file seeks to any offset; one past its end reads as an empty stream.
  if (offset > 0)
    ::lseek(d.fd, off_t(offset), SEEK_SET);
  if (!zlib) {
    // gzdopen fails only when its state cannot be allocated.
    m_file = gzdopen(d.fd, "rb");
    if (!m_file)
      return report.fail(Report::OutOfMemory, "%s: not enough memory to open the compressed stream", fileName);
    d.fd = -1; // the stream owns it now
    return true;
  }
  void* memory = kexMalloc(sizeof(Zlib));
  if (!memory)
    return report.fail(Report::OutOfMemory, "%s: not enough memory to open the compressed stream", fileName);
  m_zlib = new (memory) Zlib();
  m_zlib->fd = d.fd;
  d.fd = -1;
  m_zlib->z.zalloc = &zlibAlloc;
  m_zlib->z.zfree = &zlibFree;
  // With the zlib it was built against, inflateInit fails only for want of memory.
  if (inflateInit(&m_zlib->z) != Z_OK)
    return report.fail(Report::OutOfMemory, "%s: cannot start inflating the compressed stream (not enough memory)",
                       fileName);
  m_zlib->initialized = true;
  return true;
}

long long GzipInput::readZlib(char* data, uint64_t bytes)
{
  Zlib& s = *m_zlib;
  uint64_t done = 0;
  while (done < bytes && !s.ended) {
    if (s.z.avail_in == 0) {
      const ssize_t n = ::read(s.fd, s.in, sizeof s.in);
      if (n <= 0) {
        s.message = n < 0 ? std::strerror(errno) : "unexpected end of the compressed stream";
        return -1;
      }
      s.z.next_in = s.in;
      s.z.avail_in = uInt(n);
    }
    const uint64_t chunk = std::min<uint64_t>(bytes - done, uint64_t(1) << 30);
    s.z.next_out = reinterpret_cast<Bytef*>(data + done);
    s.z.avail_out = uInt(chunk);
    const int code = inflate(&s.z, Z_NO_FLUSH);
    done += chunk - s.z.avail_out;
    if (code == Z_STREAM_END) {
      s.ended = true;
    } else if (code != Z_OK && code != Z_BUF_ERROR) {
      s.outOfMemory = code == Z_MEM_ERROR;
      s.message = s.outOfMemory ? "not enough memory" : s.z.msg ? s.z.msg : "corrupt compressed data";
      return -1;
    }
  }
  return (long long)done;
}

long long GzipInput::read(void* data, uint64_t bytes)
{
  if (m_zlib)
    return readZlib(static_cast<char*>(data), bytes);
  char* p = static_cast<char*>(data);
  uint64_t done = 0;
  while (done < bytes) {
    const uint64_t chunk = bytes - done < (uint64_t(1) << 30) ? bytes - done : (uint64_t(1) << 30);
    const int n = gzread(static_cast<gzFile>(m_file), p + done, unsigned(chunk));
    if (n < 0)
      return -1;
    if (n == 0)
      break;
    done += uint64_t(n);
  }
  // A stream cut short reads as a short count; zlib tells it apart from a clean end.
  int code = Z_OK;
  gzerror(static_cast<gzFile>(m_file), &code);
  if (code != Z_OK && code != Z_STREAM_END)
    return -1;
  return (long long)done;
}

bool GzipInput::isCompressed() const
{
  return m_zlib || (m_file && gzdirect(static_cast<gzFile>(m_file)) == 0);
}

bool GzipInput::outOfMemory() const { return m_zlib && m_zlib->outOfMemory; }

const char* GzipInput::message() const
{
  if (m_zlib)
    return m_zlib->message ? m_zlib->message : "corrupt compressed data";
  int code = Z_OK;
  const char* text = m_file ? gzerror(static_cast<gzFile>(m_file), &code) : "";
  if (code == Z_OK || !text)
    return "corrupt compressed data";
  // zlib puts the stream's name ("<fd:N>") in front; the caller names the file.
  const char* colon = std::strstr(text, ": ");
  return colon ? colon + 2 : text;
}

bool readInflated(const char* fileName, GzipInput& in, KEXSampleType t, int nx, int ny, int nz, bool bigEndian,
                  KEXGrid& grid, Report& report)
{
  uint64_t bytes = 0;
  if (!sampleBytes(fileName, t, nx, ny, nz, bytes, report))
    return false;
  if (!grid.create(t, nx, ny, nz)) {
    if (grid.getReadAccessCount() > 0)
      return report.fail(Report::Unsupported, "%s: the grid cannot take the samples (it is being read)", fileName);
    return report.fail(Report::OutOfMemory, "%s: not enough memory for %llu bytes of samples", fileName,
                       (unsigned long long)bytes);
  }
  const long long n = in.read(grid.getWritableData(), bytes);
  if (n < 0 || uint64_t(n) != bytes) {
    grid.clear();
    if (n < 0)
      return report.fail(in.outOfMemory() ? Report::OutOfMemory : Report::Malformed,
                         "%s: the compressed samples cannot be read: %s", fileName, in.message());
    return report.fail(Report::Malformed, "%s: the compressed stream ends after %lld of %llu bytes of samples",
                       fileName, n, (unsigned long long)bytes);
  }
  const int size = int(kexSampleSize(t));
  if (size > 1 && bigEndian == kexmeshio::hostIsLittleEndian()) {
    unsigned char* p = static_cast<unsigned char*>(grid.getWritableData());
    for (uint64_t i = 0; i < bytes; i += uint64_t(size))
      kexmeshio::byteSwap(p + i, size);
  }
  grid.samplesChanged();
  return true;
}

bool validSpacing(double s) { return std::isfinite(s) && s > 0; }

void setSpacing(KEXGrid& grid, double sx, double sy, double sz, const KEXVector3<double>& origin)
{
  grid.setUniformPositions(origin, KEXVector3<double>(sx, sy, sz));
}

namespace {

// The samples of source from the data file itself (messages name it).
bool readSamplesOf(const char* data, const SampleSource& s, KEXGrid& grid, Report& report)
{
  uint64_t bytes = 0;
  if (!sampleBytes(data, s.type, s.nx, s.ny, s.nz, bytes, report))
    return false;
  const int nx = int(s.nx), ny = int(s.ny), nz = int(s.nz);
  if (s.encoding == SampleSource::Raw) {
    if (!kexmeshio::checkRegularFile(data, report))
      return false;
    struct stat st;
    if (::stat(data, &st) != 0)
      return report.fail(Report::Unreadable, "%s: cannot open file: %s", data, std::strerror(errno));
    const uint64_t size = uint64_t(st.st_size);
    long long offset = s.offset;
    if (offset < 0)
      offset = size >= bytes ? (long long)(size - bytes) : 0;
    // A file holding more than the header declares was written for other sizes: reading a part
    // of it would give a scrambled volume.
    if (uint64_t(offset) <= size && size - uint64_t(offset) > bytes)
      return report.fail(Report::Malformed,
                         "%s: the file holds %llu bytes of samples after byte %lld, %llu are declared (the sizes do "
                         "not match the data)",
                         data, (unsigned long long)(size - uint64_t(offset)), offset, (unsigned long long)bytes);
    return attachFileRegion(data, offset, s.type, nx, ny, nz, s.bigEndian, grid, report);
  }
  GzipInput in;
  if (!in.open(data, s.offset, s.encoding == SampleSource::Zlib, report))
    return false;
  if (s.encoding == SampleSource::Gzip && !in.isCompressed())
    return report.fail(Report::Malformed, "%s: the samples after byte %lld are not a gzip stream", data, s.offset);
  for (long long left = s.inflatedSkip; left > 0;) {
    char buffer[4096];
    const long long n = in.read(buffer, uint64_t(std::min<long long>(left, sizeof buffer)));
    if (n <= 0)
      return report.fail(Report::Malformed, "%s: the compressed stream ends inside the %lld bytes before the samples",
                         data, s.inflatedSkip);
    left -= n;
  }
  if (!readInflated(data, in, s.type, nx, ny, nz, s.bigEndian, grid, report))
    return false;
  char extra;
  const long long n = in.read(&extra, 1);
  if (n != 0) {
    grid.clear();
    // The inflater's window exists by now (it is made while the samples are read), so this is
    // a corrupt or cut stream, not a shortage of memory.
    if (n < 0)
      return report.fail(Report::Malformed, "%s: the compressed stream is corrupt after the samples: %s", data,
                         in.message());
    return report.fail(Report::Malformed,
                       "%s: the compressed stream holds more than the %llu bytes of samples declared (the sizes do "
                       "not match the data)",
                       data, (unsigned long long)bytes);
  }
  return true;
}

template <class T> bool parseListOf(std::string_view v, T* out, int count)
{
  int n = 0;
  size_t at = 0;
  while (true) {
    while (at < v.size() && (v[at] == ' ' || v[at] == '\t'))
      ++at;
    if (at == v.size())
      break;
    size_t end = at;
    while (end < v.size() && v[end] != ' ' && v[end] != '\t')
      ++end;
    if (n == count || !parseWhole(v.substr(at, end - at), out[n]))
      return false;
    ++n;
    at = end;
  }
  return n == count;
}

} // namespace

bool readSamples(const char* headerFile, const SampleSource& source, KEXGrid& grid, Report& report)
{
  const bool detached = source.file != headerFile;
  if (!readSamplesOf(source.file.c_str(), source, grid, report)) {
    if (detached)
      report.message = std::string(headerFile) + ": data file " + report.message;
    return false;
  }
  setSpacing(grid, source.spacing[0], source.spacing[1], source.spacing[2], source.origin);
  return true;
}

bool readHeaderText(const char* fileName, std::string& text, Report& report)
{
  Descriptor d;
  if (!d.open(fileName, report))
    return false;
  text.resize(MAX_HEADER);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::read(d.fd, text.data() + done, text.size() - done);
    if (n < 0)
      return report.fail(Report::Unreadable, "%s: cannot read the header: %s", fileName, std::strerror(errno));
    if (n == 0)
      break;
    done += size_t(n);
  }
  text.resize(done);
  return true;
}

bool nextLine(std::string_view text, size_t& at, std::string_view& line, bool* ended)
{
  if (at >= text.size())
    return false;
  const size_t end = text.find('\n', at);
  const size_t stop = end == std::string_view::npos ? text.size() : end;
  line = text.substr(at, stop - at);
  if (!line.empty() && line.back() == '\r')
    line.remove_suffix(1);
  at = end == std::string_view::npos ? text.size() : end + 1;
  if (ended)
    *ended = end != std::string_view::npos;
  return true;
}

std::string_view trimmed(std::string_view v)
{
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
    v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r'))
    v.remove_suffix(1);
  return v;
}

bool parseWhole(std::string_view v, long long& out)
{
  auto r = std::from_chars(v.data(), v.data() + v.size(), out);
  return r.ec == std::errc() && r.ptr == v.data() + v.size();
}

bool parseWhole(std::string_view v, double& out)
{
  auto r = std::from_chars(v.data(), v.data() + v.size(), out);
  return r.ec == std::errc() && r.ptr == v.data() + v.size() && std::isfinite(out);
}

bool parseList(std::string_view v, long long* out, int count) { return parseListOf(v, out, count); }
bool parseList(std::string_view v, double* out, int count) { return parseListOf(v, out, count); }

std::string siblingPath(const char* headerFile, std::string_view name)
{
  const std::string header = headerFile ? headerFile : "";
  const size_t slash = header.rfind('/');
  if ((!name.empty() && name.front() == '/') || slash == std::string::npos)
    return std::string(name);
  return header.substr(0, slash + 1) + std::string(name);
}

bool failField(Report& report, Report::Kind kind, const char* file, const HeaderField& field, const char* what)
{
  return report.fail(kind, "%s:%d: %s \"%.*s\"", file, field.line, what, int(field.value.size()), field.value.data());
}

} // namespace kexmeshvolume
