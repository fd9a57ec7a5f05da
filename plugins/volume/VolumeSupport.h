#pragma once
// What the volume readers share: checking a declared size before anything is allocated for it,
// attaching a memory-mapped region of a file to a grid (the grid unmaps it when it lets go of it),
// inflating gzip- or zlib-compressed samples into a grid's own storage, and the pieces of the
// text headers (lines, checked numbers, the path of a detached data file).
#include "kexgeometry/Grid.h"
#include "kexmesh/io/GridIO.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace kexmeshvolume {

using Report = KEXGeometryIO::Report;

/// The byte count of nx * ny * nz samples of type t. False with Malformed for a size below 1 on
/// an axis, with Unsupported for more than KEXGrid::MAX_SAMPLES samples (absurd sizes are refused
/// before anything is allocated).
bool sampleBytes(const char* fileName, KEXSampleType t, long long nx, long long ny, long long nz, uint64_t& bytes,
                 Report& report);

/// Maps the bytes [offset, offset + samples) of fileName and attaches the samples to grid (their
/// size and byte order as given). False, grid unchanged, with Malformed when the file is shorter
/// than that (truncated) or Unreadable when it cannot be opened or mapped.
bool attachFileRegion(const char* fileName, long long offset, KEXSampleType t, int nx, int ny, int nz,
                      bool bigEndian, KEXGrid& grid, Report& report);

/// A compressed stream being read: gzip (a file that is not compressed then reads as it is) or a
/// bare zlib stream.
class GzipInput {
public:
  GzipInput() = default;
  GzipInput(const GzipInput&) = delete;
  GzipInput& operator=(const GzipInput&) = delete;
  ~GzipInput();
  /// False with Unreadable when fileName is no regular file or cannot be opened.
  bool open(const char* fileName, Report& report);
  /// The stream starting at byte offset of fileName: a zlib stream when zlib is set, else gzip (or
  /// plain bytes). False with Unreadable as above, with OutOfMemory when its state cannot be had.
  bool open(const char* fileName, long long offset, bool zlib, Report& report);
  /// Reads up to bytes bytes; the count read (less at the end of the stream), -1 on an error (a
  /// corrupt stream; message() says what).
  long long read(void* data, uint64_t bytes);
  const char* message() const;
  /// Whether the file is a gzip stream (false: it reads as it is) or a zlib stream.
  bool isCompressed() const;
  /// Whether the last failed read ran out of memory (zlib streams, whose state is framework memory).
  bool outOfMemory() const;

private:
  struct Zlib;
  long long readZlib(char* data, uint64_t bytes);
  void* m_file = nullptr; // the gzip stream
  Zlib* m_zlib = nullptr; // or the zlib stream
};

/// Creates owned storage in grid and inflates the samples from in into it, swapping their bytes
/// when the file's order is not the machine's. False with the reason in report, and grid empty
/// once storage was created, when memory is short or the stream ends early or is corrupt.
bool readInflated(const char* fileName, GzipInput& in, KEXSampleType t, int nx, int ny, int nz, bool bigEndian,
                  KEXGrid& grid, Report& report);

/// Spacing of the samples (finite and positive; the readers check before) from a zero origin.
void setSpacing(KEXGrid& grid, double sx, double sy, double sz, const KEXVector3<double>& origin = {0, 0, 0});

/// Whether a spacing value is usable.
bool validSpacing(double s);

/// Where and how a header's samples are stored.
struct SampleSource {
  enum Encoding { Raw, Gzip, Zlib };
  std::string file;           ///< the file of the samples: the header's own or a detached one
  long long offset = 0;       ///< where the samples (or their stream) start; -1: they end the file (raw)
  long long inflatedSkip = 0; ///< bytes of the inflated stream before the samples
  Encoding encoding = Raw;
  KEXSampleType type = KEXSampleType::UInt8;
  long long nx = 0, ny = 0, nz = 0;
  bool bigEndian = false;
  double spacing[3] = {1, 1, 1}; ///< checked by the reader (validSpacing)
  KEXVector3<double> origin{0, 0, 0};
};

/// Reads the samples source describes into grid and places them: mapped when raw, inflated
/// otherwise. The data must hold exactly the declared samples after the offset (Malformed when it
/// holds fewer or more; a missing data file is Unreadable). Messages name headerFile (and the data
/// file when it is another one). Grid unchanged on failure, or empty after a failed inflation.
bool readSamples(const char* headerFile, const SampleSource& source, KEXGrid& grid, Report& report);

// --- text headers ------------------------------------------------------------------------------

/// Longest text header read: real ones take a few hundred bytes; beyond this a header that does
/// not end is taken as broken rather than reading a whole volume in search of its end.
constexpr size_t MAX_HEADER = size_t(1) << 20;

/// Reads the first bytes of fileName (at most MAX_HEADER; a header and maybe samples) into text.
/// False with Unreadable when it is no regular file or cannot be read.
bool readHeaderText(const char* fileName, std::string& text, Report& report);

/// The next line of text from at (without its line end, \n or \r\n); at moves past the line end.
/// False at the end of text. ended says whether the line had a line end.
bool nextLine(std::string_view text, size_t& at, std::string_view& line, bool* ended = nullptr);

/// A field of a text header: its value (a view of the header text) and its line (0: absent).
struct HeaderField {
  std::string_view value;
  int line = 0;
  bool seen() const { return line > 0; }
};

/// Refuses the file for field: "file:line: what "value"". Always false.
bool failField(Report& report, Report::Kind kind, const char* file, const HeaderField& field, const char* what);

/// v without leading and trailing blanks, tabs and carriage returns.
std::string_view trimmed(std::string_view v);

/// Whether v is exactly one integer (double: one finite number).
bool parseWhole(std::string_view v, long long& out);
bool parseWhole(std::string_view v, double& out);
/// Whether v is exactly count numbers separated by blanks.
bool parseList(std::string_view v, long long* out, int count);
bool parseList(std::string_view v, double* out, int count);

/// The path of a data file a header names: an absolute name as it is, a relative one in the
/// header's folder.
std::string siblingPath(const char* headerFile, std::string_view name);

} // namespace kexmeshvolume
