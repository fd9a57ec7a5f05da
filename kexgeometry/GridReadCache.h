#pragma once
// KEXGridReadCache: delivers lines of samples of a grid as floats, plane by plane, with two values
// per sample:
// - the first value: the raw sample mapped by the transfer rule (scale and offset); NaN samples of float grids
//   are delivered as -FLT_MAX (always outside); padding samples (one beyond the grid on any axis)
//   repeat the nearest sample of the grid.
// - the second value: the mask value, the signed distance (in grid coordinates) from the sample to
//   the border of the sampled domain: positive inside, negative outside. The domain is the grid's
//   extent widened by half a spacing on every side, intersected with the union of the masks when
//   there are any. A sample is inside the domain when its second value is above 0, so a surface
//   crossing the domain border is cut exactly there and padding samples (second value -h/2) are
//   always outside: the surface closes half a spacing beyond the outer samples.
// Lines are allocated once (allocLines) and refilled per plane (fetchLines), so a worker holds only
// the planes it polygonises; the storage may be memory-mapped and far larger than memory.
#include "kexgeometry/GridFilterAction.h"

class KEXGridReadCache {
public:
  /// A block of lineCount lines of lineLength samples: values[l * lineLength + i] and
  /// seconds[l * lineLength + i].
  struct Lines {
    float* values = nullptr;
    float* seconds = nullptr;
    int lineLength = 0;
    int lineCount = 0;
  };

  KEXGridReadCache() = default;
  KEXGridReadCache(const KEXGridReadCache&) = delete;
  KEXGridReadCache& operator=(const KEXGridReadCache&) = delete;
  ~KEXGridReadCache();

  /// Sets what is read: the grid, the transfer rule and the masks (copied). False when
  /// memory is short.
  bool setSource(const KEXGrid& grid, const KEXSampleTransferSpec& transfer, const KEXSampleMask* masks,
                 int maskCount);

  /// Allocates both value sets of lines (kexMalloc). False when memory is short (lines untouched).
  bool allocLines(Lines& lines, int lineLength, int lineCount);
  /// Fills lines with the samples x0 .. x0 + lineLength - 1 of rows y0 .. y0 + lineCount - 1 of
  /// plane z; any index may lie one beyond the grid (padding). False when access is not open on
  /// the source grid or an index lies further out.
  bool fetchLines(const KEXGridFilterAction::ReadAccessHandle& access, Lines& lines, int x0, int y0, int z);
  /// Writes the first values of lines back into an owned grid of type Float32 (for filters that
  /// produce grids). False for any other grid or indices outside it.
  bool storeData(const Lines& lines, KEXGrid& grid, int x0, int y0, int z) const;
  /// Frees the lines.
  void releaseData(Lines& lines);

  /// Position of sample index i on axis, also for the padding indices -1 and size (one spacing
  /// beyond the first and last sample; one unit for a grid of one sample).
  double getPosition(int axis, int i) const;

private:
  struct Private;
  Private* m_private = nullptr;
};
