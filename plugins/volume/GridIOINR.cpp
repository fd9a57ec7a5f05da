// INRIA image reading. The header is text in blocks of 256 bytes: "#INRIMAGE-4#{" on the first
// line, KEY=VALUE lines (XDIM, YDIM, ZDIM, VDIM, TYPE, PIXSIZE, CPU, VX, VY, VZ; SCALE and
// "#" comments are read past) and "##}" on the last line, padded with line ends to a whole number
// of blocks. The samples follow the header, x fastest. An uncompressed file is mapped and attached
// to the grid as it is; a gzip-compressed one (.inr.gz) is inflated into the grid.
#include "GridIOVolume.h"
#include "VolumeSupport.h"

#include "../common/MeshFileSupport.h"

#include <sys/stat.h>
#include <cstring>
#include <string>
#include <string_view>

using namespace kexmeshvolume;

KEXMESHIO_DEFINE_PLUGIN_CLASS_OF(KEXGridIOINR, KEXGridIO, "kexmeshiovolume")

namespace {

constexpr int BLOCK = 256;
// Real headers take one block, a few take two; beyond this the "##}" is taken as missing rather
// than reading a whole volume in search of it.
constexpr int MAX_BLOCKS = 64;
constexpr char MAGIC[] = "#INRIMAGE-4#{";

struct Header {
  long long nx = -1, ny = -1, nz = -1, vdim = 1;
  std::string type;
  long long bits = -1;
  bool bigEndian = false;
  double sx = 1, sy = 1, sz = 1;
  long long length = 0; // bytes of the header, a multiple of BLOCK
  long long textEnd = 0; // where the header text ends (after "##}" and its line end)
  KEXSampleType sampleType = KEXSampleType::UInt8;
};

// Parses the header text (whole blocks, the first starting with the magic) into h.
bool parseHeader(const char* file, std::string_view text, Header& h, Report& report)
{
  size_t end = text.find("##}");
  if (end == std::string_view::npos)
    return report.fail(Report::Malformed, "%s: the header does not end (no \"##}\" in its first %d bytes)", file,
                       int(text.size()));
  size_t close = end + 3;
  if (close < text.size() && text[close] == '\n')
    ++close;
  h.textEnd = (long long)close;
  h.length = (long long)((close + BLOCK - 1) / BLOCK * BLOCK);
  std::string_view body = text.substr(0, end);
  bool seen[3] = {false, false, false};
  int line = 1;
  size_t p = body.find('\n');
  while (p != std::string_view::npos && p < body.size()) {
    ++line;
    size_t q = body.find('\n', p + 1);
    std::string_view l = trimmed(body.substr(p + 1, (q == std::string_view::npos ? body.size() : q) - p - 1));
    p = q;
    if (l.empty() || l.front() == '#')
      continue;
    size_t eq = l.find('=');
    if (eq == std::string_view::npos)
      return report.fail(Report::Malformed, "%s:%d: KEY=VALUE expected", file, line);
    std::string_view key = trimmed(l.substr(0, eq)), value = trimmed(l.substr(eq + 1));
    auto integer = [&](long long& out) {
      return parseWhole(value, out) ||
             report.fail(Report::Malformed, "%s:%d: %.*s is not an integer", file, line, int(key.size()), key.data());
    };
    auto spacing = [&](double& out) {
      return (parseWhole(value, out) && validSpacing(out)) ||
             report.fail(Report::Malformed, "%s:%d: %.*s is not a positive spacing", file, line, int(key.size()),
                         key.data());
    };
    bool ok = true;
    if (key == "XDIM")
      ok = integer(h.nx), seen[0] = true;
    else if (key == "YDIM")
      ok = integer(h.ny), seen[1] = true;
    else if (key == "ZDIM")
      ok = integer(h.nz), seen[2] = true;
    else if (key == "VDIM")
      ok = integer(h.vdim);
    else if (key == "VX")
      ok = spacing(h.sx);
    else if (key == "VY")
      ok = spacing(h.sy);
    else if (key == "VZ")
      ok = spacing(h.sz);
    else if (key == "TYPE")
      h.type = std::string(value);
    else if (key == "PIXSIZE") {
      size_t space = value.find(' ');
      if (space == std::string_view::npos || trimmed(value.substr(space)) != "bits" ||
          !parseWhole(value.substr(0, space), h.bits))
        return report.fail(Report::Malformed, "%s:%d: PIXSIZE must read \"<n> bits\"", file, line);
    } else if (key == "CPU") {
      if (value == "decm" || value == "alpha" || value == "pc")
        h.bigEndian = false;
      else if (value == "sun" || value == "sgi")
        h.bigEndian = true;
      else
        return report.fail(Report::Unsupported, "%s:%d: unknown CPU \"%.*s\" (decm, alpha, pc, sun or sgi expected)",
                           file, line, int(value.size()), value.data());
    }
    if (!ok)
      return false;
  }
  static const char* const axes[3] = {"XDIM", "YDIM", "ZDIM"};
  for (int a = 0; a < 3; ++a)
    if (!seen[a])
      return report.fail(Report::Malformed, "%s: the header has no %s", file, axes[a]);
  if (h.type.empty() || h.bits < 0)
    return report.fail(Report::Malformed, "%s: the header has no %s", file, h.type.empty() ? "TYPE" : "PIXSIZE");
  if (h.vdim != 1)
    return report.fail(Report::Unsupported, "%s: VDIM=%lld: only scalar images (VDIM=1) are supported", file, h.vdim);
  if (h.type == "unsigned fixed" && h.bits == 8)
    h.sampleType = KEXSampleType::UInt8;
  else if (h.type == "unsigned fixed" && h.bits == 16)
    h.sampleType = KEXSampleType::UInt16;
  else if (h.type == "signed fixed" && h.bits == 16)
    h.sampleType = KEXSampleType::Int16;
  else if (h.type == "float" && h.bits == 32)
    h.sampleType = KEXSampleType::Float32;
  else
    return report.fail(Report::Unsupported,
                       "%s: %lld-bit \"%s\" samples are not supported (8- or 16-bit unsigned fixed, 16-bit signed "
                       "fixed or 32-bit float)",
                       file, h.bits, h.type.c_str());
  uint64_t bytes = 0;
  return sampleBytes(file, h.sampleType, h.nx, h.ny, h.nz, bytes, report);
}

// Reads whole header blocks through read(buffer, bytes) until one holds "##}", then parses them.
template <class Read>
bool readHeader(const char* file, Read read, bool streamed, Header& h, Report& report)
{
  std::string text;
  for (int block = 0; block < MAX_BLOCKS; ++block) {
    char buffer[BLOCK];
    const long long n = read(buffer, BLOCK);
    if (n < 0)
      return report.fail(Report::Malformed, "%s: cannot read the header (corrupt compressed data)", file);
    text.append(buffer, size_t(n));
    if (block == 0 && text.compare(0, sizeof(MAGIC) - 1, MAGIC) != 0)
      return report.fail(Report::Malformed, "%s: not an INR file (it must start with %s)", file, MAGIC);
    if (text.find("##}") != std::string::npos)
      break;
    if (n < BLOCK)
      return report.fail(Report::Malformed, "%s: the file ends inside the header (no \"##}\")", file);
  }
  if (!parseHeader(file, text, h, report))
    return false;
  // A stream is positioned after the header's last block; a mapped file is measured instead, and
  // may hold an unpadded header.
  while (streamed && (long long)text.size() < h.length) {
    char buffer[BLOCK];
    const long long n = read(buffer, int(h.length - (long long)text.size()));
    if (n <= 0)
      return report.fail(Report::Malformed, "%s: the file ends inside the header's last block", file);
    text.append(buffer, size_t(n));
  }
  return true;
}

} // namespace

bool KEXGridIOINR::readGrid(const char* fileName, KEXGrid& grid, Report& report)
{
  report.clear();
  const char* file = fileName ? fileName : "";
  GzipInput in;
  if (!in.open(file, report))
    return false;
  Header h;
  // The content decides, not the name: a .inr that was compressed in place still reads.
  const bool compressed = in.isCompressed();
  if (!readHeader(file, [&](char* b, int n) { return in.read(b, uint64_t(n)); }, compressed, h, report))
    return false;
  const int nx = int(h.nx), ny = int(h.ny), nz = int(h.nz);
  if (compressed) {
    if (!readInflated(file, in, h.sampleType, nx, ny, nz, h.bigEndian, grid, report))
      return false;
  } else {
    // Some writers do not pad the header to whole blocks: when the file holds exactly the samples
    // after the header text, they start there.
    long long offset = h.length;
    struct stat st;
    uint64_t bytes = uint64_t(h.nx) * uint64_t(h.ny) * uint64_t(h.nz) * kexSampleSize(h.sampleType);
    if (h.textEnd < h.length && ::stat(file, &st) == 0 && uint64_t(st.st_size) == uint64_t(h.textEnd) + bytes) {
      offset = h.textEnd;
      report.warn("%s: the header is not padded to a multiple of %d bytes (%lld bytes); the samples follow it", file,
                  BLOCK, h.textEnd);
    }
    if (!attachFileRegion(file, offset, h.sampleType, nx, ny, nz, h.bigEndian, grid, report)) {
      report.warnings.clear();
      return false;
    }
  }
  setSpacing(grid, h.sx, h.sy, h.sz);
  return true;
}
