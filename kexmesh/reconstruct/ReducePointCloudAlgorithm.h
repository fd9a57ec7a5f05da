#pragma once
// KEXReducePointCloudAlgorithm: thins an oriented point cloud before reconstruction. A point is
// dropped when, within a small neighbourhood, at least two compatible neighbours (normals alike,
// each in the other's tangent plane within the tolerance, all nearer than the nearest incompatible
// point) surround it evenly: their weighted centre lies close to it, so the point adds nothing to
// the surface they describe. Up to three passes with growing neighbourhoods; a pass is repeated
// while it drops more than 1 % of the points.
#include "kex/Values.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXReducePointCloudAlgorithmPrivate;

class KEXReducePointCloudAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXReducePointCloudAlgorithm)

public:
  /// Creates the implementation object; when that fails every setter returns false and run fails.
  KEXReducePointCloudAlgorithm();
  /// Copies the parameters (and the frame's state: the copy is attached to the same buffer).
  KEXReducePointCloudAlgorithm(const KEXReducePointCloudAlgorithm& other);
  KEXReducePointCloudAlgorithm& operator=(const KEXReducePointCloudAlgorithm& other);
  ~KEXReducePointCloudAlgorithm() override;

  /// The cloud's sampling distance per axis, m (default (1, 1, 1)). It sizes the neighbourhoods:
  /// per axis 2m + 3t, kept within [2.5m, 5m], halved for the first pass.
  bool setMeanSamplingDistance(const KEXVector3<float>& distance);
  KEXVector3<float> getMeanSamplingDistance() const;
  /// Largest distance of a neighbour from a point's tangent plane and of the point from the
  /// neighbour's (default 0). Zero or less switches the reduction off: the cloud stays as it is.
  bool setTolerance(float tolerance);
  float getTolerance() const;
  /// Least dot product of two points' normals for them to count as neighbours (default 1: only
  /// equal directions).
  bool setMinNormalScalarProduct(float minimum);
  float getMinNormalScalarProduct() const;
  /// Deterministic order (default on): the kept points are the same for any thread count and any
  /// run. Points are decided in the tree's spatial order, in blocks coloured so that two blocks
  /// whose neighbourhoods meet never run at the same time. Off: blocks of 4096 points in index
  /// order, all at once; which of two mutually redundant points survives may then depend on how
  /// the threads interleave.
  bool setDeterministic(bool deterministic);
  bool getDeterministic() const;
  /// Points dropped by the last compaction of the last run.
  int getRemovedCount() const;

protected:
  /// Task "Reducing isosurface point cloud". The buffer must be a point cloud: no triangles, and
  /// (unless the tolerance switches the reduction off or the cloud is empty) vertex normals.
  /// Kept points keep their order; positions, normals, scalars, colours, edge flags and texture
  /// coordinates are compacted together. Points with a coordinate that is not a number are kept.
  /// \return false with InvalidOperation for a cloud without normals or with triangles (nothing
  /// changed); false with OutOfMemory or GenericError on a shortage or a stop, the cloud then holds
  /// what the finished passes kept (consistent); aborted on an abort.
  bool run(void* parameters) override;
  /// Releases the point tree and the keep flags.
  void cleanup(bool success) override;

private:
  KEXReducePointCloudAlgorithmPrivate* d;
};
