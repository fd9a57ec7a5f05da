#pragma once
// KEXRepairBadTrianglesAlgorithm: removes degenerate triangles (too small, or with a smallest to
// largest angle ratio below 1/1024) by edge flips, vertex merges and triangle removal.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXRepairBadTrianglesAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXRepairBadTrianglesAlgorithm)

public:
  KEXRepairBadTrianglesAlgorithm() = default;
  KEXRepairBadTrianglesAlgorithm(const KEXRepairBadTrianglesAlgorithm&) = default;
  KEXRepairBadTrianglesAlgorithm& operator=(const KEXRepairBadTrianglesAlgorithm&) = default;
  ~KEXRepairBadTrianglesAlgorithm() override = default;

protected:
  /// Two passes over the triangles from the last to the first. A degenerate triangle with a flat
  /// corner (>= 179.296875 degrees) is removed on a border, fixed by flipping its long edge next
  /// to a healthy triangle, or merged away together with a sliver partner on the same long edge;
  /// a degenerate triangle without a flat corner (a needle or a tiny triangle) is collapsed onto
  /// one vertex. Vertices left unused by a repair are removed. The triangle adjacency list is
  /// cleared; a vertex adjacency list built here is removed at the end.
  /// \pre the buffer is consistent (the frame's init).
  /// \return false when a buffer operation fails (OutOfMemory), the vertex adjacency list cannot
  /// be built (the sub-task's status) or the run is stopped (aborted, else GenericError); repairs
  /// made so far stay and the buffer stays consistent.
  bool run(void* parameters) override;
};
