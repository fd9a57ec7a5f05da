#pragma once
// KEXGrid: a regular grid of samples (a CT or MRI volume, a sampled field). Samples are kept in
// their own type (8-bit unsigned, 16-bit signed or unsigned, 32-bit float) and never converted as a
// whole: readers of the grid convert the lines they need (KEXGridReadCache). The storage is either
// owned (kexMalloc memory) or attached (memory the caller keeps alive, e.g. a memory-mapped file,
// released through a callback when the grid lets go of it), so a volume larger than memory can be
// read slab by slab. Sample (i, j, k) lies at the grid coordinates (position(0, i), position(1, j),
// position(2, k)); the per-axis position tables allow non-uniform spacing. The grid-to-object
// transform places grid coordinates in the object's coordinate system.
//
// Every change of layout, positions, transform or samples takes a new modification stamp, so
// cached results computed from a grid know when to recalculate.
#include "kex/Object.h"
#include "kex/Values.h"

#include <cstddef>
#include <cstdint>

/// How one sample is stored.
enum class KEXSampleType : int { UInt8 = 0, Int16 = 1, UInt16 = 2, Float32 = 3 };

/// Bytes of one sample of type t.
size_t kexSampleSize(KEXSampleType t);

/// How raw samples map to values: value = raw * scale + offset (in double, stored as float).
struct KEXSampleTransferSpec {
  double scale = 1.0;
  double offset = 0.0;
  bool isIdentity() const { return scale == 1.0 && offset == 0.0; }
  bool operator==(const KEXSampleTransferSpec& o) const = default;
};

/// One sample mask: a box in grid coordinates. Samples inside any mask of a list count; an empty
/// list masks nothing out.
using KEXSampleMask = KEXInterval<KEXVector3<float>>;

class KEXGrid : public KEXObject {
public:
  /// Largest number of samples a grid may hold (2^40): beyond it a size is refused as absurd
  /// before anything is allocated.
  static constexpr uint64_t MAX_SAMPLES = uint64_t(1) << 40;

  /// Called when attached storage is let go of (context as given to attach).
  using ReleaseFunction = void (*)(void* context, const void* data, size_t bytes);

  KEXGrid();
  /// A copy owns a copy of the samples (attached storage is copied into owned memory); when the
  /// memory cannot be had the copy is empty and the failure is reported (OutOfMemory).
  KEXGrid(const KEXGrid& other);
  KEXGrid& operator=(const KEXGrid& other);
  ~KEXGrid() override;
  const KEXMetaClass& getMetaClass() const override;
  static const KEXMetaClass& metaClass();
  /// Level 0: "KEXGrid"; deeper levels ask KEXObject.
  KEXenum getObjectID(int level) const override;

  /// Owned storage of nx * ny * nz samples of type t, all zero, uniform positions 0, 1, 2, ...
  /// False (the grid unchanged) for a size below 1 on any axis, above MAX_SAMPLES, when memory is
  /// short (OutOfMemory through the error channel) or while read access is open.
  bool create(KEXSampleType t, int nx, int ny, int nz);
  /// Attaches bytes of caller memory holding nx * ny * nz samples of type t, x fastest, in the
  /// given byte order; release (may be null) is called once when the grid lets go of it (on the
  /// next create/attach/clear or destruction). False (nothing attached, release not called) when
  /// the size is refused as in create, bytes is too small or read access is open.
  bool attach(KEXSampleType t, int nx, int ny, int nz, const void* data, size_t bytes, bool bigEndian,
              ReleaseFunction release, void* context);
  /// Back to an empty grid (size 0).
  void clear();

  bool isEmpty() const;
  KEXSampleType getSampleType() const;
  /// Samples per axis (0, 0, 0 when empty).
  KEXVector3<int> getSize() const;
  uint64_t getSampleCount() const;
  /// Whether stored samples are big-endian (only attached storage can be).
  bool isBigEndian() const;
  /// The stored samples, x fastest (null when empty). Writable only when owned.
  const void* getData() const;
  void* getWritableData();
  /// Call after writing samples through getWritableData(): takes a new stamp.
  void samplesChanged();

  /// Uniform positions: position(a, i) = origin[a] + i * spacing[a]. False for a spacing that is
  /// not finite and positive or an origin that is not finite.
  bool setUniformPositions(const KEXVector3<double>& origin, const KEXVector3<double>& spacing);
  /// Position table of one axis: size[axis] strictly increasing finite values. False otherwise
  /// (or when memory is short).
  bool setPositions(int axis, const double* positions);
  /// Grid coordinate of sample index i on axis (0 <= i < size[axis]).
  double getPosition(int axis, int i) const;
  /// The whole table of axis (size[axis] values), null when empty.
  const double* getPositions(int axis) const;
  /// Whether every axis is uniformly spaced.
  bool isUniform() const;
  /// First position of each axis.
  KEXVector3<double> getOrigin() const;
  /// Smallest distance between neighbouring positions over all axes (1 for a grid of one sample).
  double getSamplingDistance() const;
  /// Box of the sample positions in grid coordinates.
  KEXInterval<KEXVector3<double>> getExtent() const;

  /// Grid-to-object transform (identity by default).
  void setGridToObjectTransform(const KEXMatrix4<double>& m);
  const KEXMatrix4<double>& getGridToObjectTransform() const;

  /// The raw sample (i, j, k) as double (byte order applied). Slow: for tests and single reads;
  /// bulk readers use KEXGridReadCache.
  double getSample(int i, int j, int k) const;

  /// Stamp of the last change (from the framework's process-wide counter).
  uint64_t getModificationTime() const;

  /// Open read accesses (KEXGridFilterAction::ReadAccessHandle). While one is open the layout and
  /// the storage cannot be replaced.
  int getReadAccessCount() const;

private:
  friend class KEXGridFilterAction;
  struct Private;
  Private* m_private = nullptr;
};
