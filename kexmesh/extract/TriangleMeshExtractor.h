#pragma once
// KEXTriangleMeshExtractor: the iso-surface of a sampled volume as a triangle mesh. Its inputs are
// properties (the grid, the iso value, the masks, the transfer rule of the samples, the transform
// into the current view); executing its Calculate action computes the surface cell by cell with a
// marching-cubes case table on the framework's worker threads, merges the per-range triangle soups
// into one indexed mesh by clustering identical positions, repairs bad triangles and publishes the
// triangle and vertex lists in the result object. The calculation runs again only when an input
// changed since the last one.
//
// A sample is inside when its value (the raw sample through SampleTransferSpec) is at or above
// IsoValue and it lies inside the sampled domain: the grid's extent widened by half a spacing,
// intersected with the union of the SampleMaskList boxes when there are any. The surface is
// therefore closed: it is cut at the masks' faces and closes half a spacing beyond the grid's outer
// samples. InterpolationMode Linear places each vertex at the linear crossing on its edge, Off at
// the edge's midpoint; Cubic is accepted and computed as Linear (with a warning). Vertices are in
// the coordinates of SampleGridToCurrentViewTransform x (the grid's grid-to-object transform).
// The result is the same for any number of threads and any work range size.
#include "kex/Object.h"
#include "kexmesh/core/ClassRegistration.h"

class KEXTriangleMeshExtractor : public KEXObject {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshExtractor)

public:
  /// The extracted mesh: TriangleList (KEXTriangle<int>), VertexList, NormalList (KEXVector3<float>)
  /// and CurvatureList (float). The calculation fills the first two; all four are emptied when a
  /// calculation fails.
  class Result : public KEXObject {
    KEXMESH_DECLARE_CLASS(Result)

  public:
    Result();
    Result(const Result& other);
    Result& operator=(const Result& other);
    ~Result() override;
    /// "KEXTriangleMeshExtractor::Result" at level 0, KEXObject's identity (level - 1) deeper.
    KEXenum getObjectID(int level) const override;
    /// Empties the four lists. False when a list refused.
    bool clearLists();

  private:
    struct Private;
    void construct();
    Private* m_private = nullptr;
  };

  /// The second threshold: a sample is in the domain when its mask value is above it.
  static constexpr float MASK_THRESHOLD = 0.0f;
  /// Positions closer than this are one vertex after the merge (identical positions only).
  static constexpr float MERGE_DISTANCE = 1.1754943508222875e-37f;

  /// Registers the properties (IsoValue 0.5, InterpolationMode Linear, SampleGrid, SampleMaskList,
  /// SampleTransferSpec, SampleGridToCurrentViewTransform identity, Result: a new Result object)
  /// and the Calculate action. A failure is reported with the object.
  KEXTriangleMeshExtractor();
  /// An extractor of its own with the other's inputs and a fresh result.
  KEXTriangleMeshExtractor(const KEXTriangleMeshExtractor& other);
  KEXTriangleMeshExtractor& operator=(const KEXTriangleMeshExtractor& other);
  ~KEXTriangleMeshExtractor() override;
  /// "KEXTriangleMeshExtractor" at level 0, KEXObject's identity (level - 1) deeper.
  KEXenum getObjectID(int level) const override;

  /// Cell layers per work range (default 8, at least 1). Does not change the result.
  void setWorkRangeLayers(int layers);
  int getWorkRangeLayers() const;

  /// Executes Calculate. True when the result is current (calculated now or unchanged). Fails
  /// with InvalidValue when SampleGrid holds no grid or an empty one, OutOfMemory when memory is
  /// short, GenericError after a stop or a failed step; the result's lists are then empty.
  bool calculate();

private:
  struct Private;
  void construct();
  void copyValues(const KEXTriangleMeshExtractor& other);
  Private* m_private = nullptr;
};
