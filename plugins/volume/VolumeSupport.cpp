// Shared parts of the volume readers. A declared size is checked for overflow and against the
// grid's limit before anything is allocated or mapped; an uncompressed file is checked to hold all
// the samples its header declares before it is mapped, so a truncated file never faults on access.
#include "VolumeSupport.h"

#include "../common/MeshFileSupport.h"

#include <cerrno>
#include <cmath>
#include <cstring>
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
};

} // namespace

bool attachFileRegion(const char* fileName, long long offset, KEXSampleType t, int nx, int ny, int nz,
                      bool bigEndian, KEXGrid& grid, Report& report)
{
  uint64_t bytes = 0;
  if (!sampleBytes(fileName, t, nx, ny, nz, bytes, report))
    return false;
  if (!kexmeshio::checkRegularFile(fileName, report))
    return false;
  Descriptor d;
  d.fd = ::open(fileName, O_RDONLY | O_CLOEXEC);
  if (d.fd < 0)
    return report.fail(Report::Unreadable, "%s: cannot open file: %s", fileName, std::strerror(errno));
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

GzipInput::~GzipInput()
{
  if (m_file)
    gzclose(static_cast<gzFile>(m_file));
}

bool GzipInput::open(const char* fileName, Report& report)
{
  if (!kexmeshio::checkRegularFile(fileName, report))
    return false;
  errno = 0;
  m_file = gzopen(fileName, "rb");
  if (!m_file)
    return report.fail(Report::Unreadable, "%s: cannot open file: %s", fileName,
                       errno ? std::strerror(errno) : "out of memory");
  return true;
}

long long GzipInput::read(void* data, uint64_t bytes)
{
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

bool GzipInput::isCompressed() const { return m_file && gzdirect(static_cast<gzFile>(m_file)) == 0; }

const char* GzipInput::message() const
{
  int code = Z_OK;
  const char* text = m_file ? gzerror(static_cast<gzFile>(m_file), &code) : "";
  return code == Z_OK || !text ? "corrupt compressed data" : text;
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
      return report.fail(Report::Malformed, "%s: the compressed samples cannot be read: %s", fileName, in.message());
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

} // namespace kexmeshvolume
