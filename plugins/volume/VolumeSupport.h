#pragma once
// What the volume readers share: checking a declared size before anything is allocated for it,
// attaching a memory-mapped region of a file to a grid (the grid unmaps it when it lets go of it),
// and inflating gzip-compressed samples into a grid's own storage.
#include "kexgeometry/Grid.h"
#include "kexmesh/io/GridIO.h"

#include <cstdint>

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

/// A gzip stream being read (a file that is not compressed reads as it is).
class GzipInput {
public:
  GzipInput() = default;
  GzipInput(const GzipInput&) = delete;
  GzipInput& operator=(const GzipInput&) = delete;
  ~GzipInput();
  /// False with Unreadable when fileName is no regular file or cannot be opened.
  bool open(const char* fileName, Report& report);
  /// Reads up to bytes bytes; the count read (less at the end of the stream), -1 on an error (a
  /// corrupt stream; message() says what).
  long long read(void* data, uint64_t bytes);
  const char* message() const;
  /// Whether the file is a gzip stream (false: it reads as it is).
  bool isCompressed() const;

private:
  void* m_file = nullptr;
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

} // namespace kexmeshvolume
