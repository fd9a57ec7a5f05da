#pragma once
// KEXTriangleMeshAnalyzer: the figures of a triangle mesh object, published in a result object:
// surface area, the size of the bounding box under the view transform, a histogram of the inner
// angles in 0.1-degree bins, and the counts of bad triangles and bad edges. Executing its
// Calculate action measures the mesh again only when the mesh, the transform or the published
// figures changed since the last calculation. The measurement reads the mesh through the access
// object in the mesh's GeometryAccessList and runs on the framework's worker threads; its figures
// are the same for any number of threads.
#include "kex/Object.h"
#include "kexmesh/core/ClassRegistration.h"

class KEXTriangleMeshAnalyzer : public KEXObject {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshAnalyzer)

public:
  /// Where the figures are published: BadEdges, BadTriangles (int), SurfaceArea (float),
  /// Dimensions (KEXVector3<float>) and AngleHistogram (list of KEXVector2<float>: x the bin's
  /// lower angle in the framework's angle unit, y the number of angles in it). Before the first
  /// calculation, and after a failed one, the figures read -1 (the vector (-1, -1, -1)) and the
  /// histogram is empty.
  class Result : public KEXObject {
    KEXMESH_DECLARE_CLASS(Result)

  public:
    /// Registers the five properties; a failure is reported with the object (GenericError).
    Result();
    /// A result of its own with the other's figures.
    Result(const Result& other);
    Result& operator=(const Result& other);
    ~Result() override;
    /// "KEXTriangleMeshAnalyzer::Result" at level 0, KEXObject's identity (level - 1) deeper.
    KEXenum getObjectID(int level) const override;

    /// Back to the initial figures. False when a property refused.
    bool resetFigures();

  private:
    struct Private;
    void construct();
    Private* m_private = nullptr;
  };

  /// Bins of AngleHistogram: 0.1 degree each, 0 to 180 degrees.
  static constexpr int HISTOGRAM_BINS = 1800;
  /// Triangles per work item of the measurement, and per batch within an item.
  static constexpr int ITEM_TRIANGLES = 2000;
  static constexpr int BATCH_TRIANGLES = 48;

  /// Registers Geometry, GeometryToCurrentViewTransform (identity), Result (a new Result object)
  /// and the Calculate action. A failure is reported with the object (GenericError, or the code
  /// the registration returned).
  KEXTriangleMeshAnalyzer();
  /// An analyzer of its own with the other's mesh and transform and a fresh result.
  KEXTriangleMeshAnalyzer(const KEXTriangleMeshAnalyzer& other);
  KEXTriangleMeshAnalyzer& operator=(const KEXTriangleMeshAnalyzer& other);
  ~KEXTriangleMeshAnalyzer() override;

  /// "KEXTriangleMeshAnalyzer" at level 0, KEXObject's identity (level - 1) deeper.
  KEXenum getObjectID(int level) const override;

  /// Executes Calculate. True when the figures are current (measured now or unchanged).
  /// Fails with InvalidValue when Geometry has no access object or its buffer is inconsistent,
  /// lacks the corner pages, or holds fewer than 3 vertices or no triangle; with OutOfMemory when
  /// memory is short; with GenericError after a stop. After any failure the result holds the
  /// initial figures.
  bool calculate();

private:
  struct Private;
  void construct();
  void copyValues(const KEXTriangleMeshAnalyzer& other);
  Private* m_private = nullptr;
};
