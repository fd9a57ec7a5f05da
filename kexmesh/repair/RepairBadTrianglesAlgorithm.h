#pragma once
// KEXRepairBadTrianglesAlgorithm: removes degenerate triangles (too small, or with a smallest to
// largest angle ratio below 1/1024) by edge flips, edge collapses and triangle removal, each only
// where it changes the surface by no more than a small length bound.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXRepairBadTrianglesAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXRepairBadTrianglesAlgorithm)

public:
  /// What the last run did.
  struct Statistics {
    int flips = 0;     ///< sliver long edges flipped
    int collapses = 0; ///< vertices merged onto a neighbour (short edges, sliver pairs)
    int removed = 0;   ///< triangles removed (by collapses and thin border slivers)
    int left = 0;      ///< degenerate triangles still there at the end (refused repairs)
  };

  KEXRepairBadTrianglesAlgorithm() = default;
  KEXRepairBadTrianglesAlgorithm(const KEXRepairBadTrianglesAlgorithm&) = default;
  KEXRepairBadTrianglesAlgorithm& operator=(const KEXRepairBadTrianglesAlgorithm&) = default;
  ~KEXRepairBadTrianglesAlgorithm() override = default;

  const Statistics& getStatistics() const { return m_statistics; }

protected:
  /// Two passes over the triangles from the last to the first. The length bound is s / 64, s the
  /// smallest component of the mean sampling distance (the leg of the area threshold's triangle).
  /// A degenerate triangle with a flat corner (>= 179.296875 degrees) whose flat vertex lies within
  /// the bound of its long edge is removed on a border, fixed by flipping its long edge next to a
  /// healthy triangle, or merged away together with a sliver partner on the same long edge. Any
  /// other degenerate triangle (a needle, or a small one) has its one shortest edge collapsed when
  /// that edge is no longer than the bound. A collapse keeps the surviving vertex where it is, moves
  /// no input vertex farther than the bound in total, turns no triangle around, and is refused where
  /// it would make a non-manifold edge, a duplicate triangle or a new border (link condition).
  /// Whatever is refused stays as it was; valid input without degenerate triangles comes back
  /// unchanged. Vertices left unused by a repair are removed. The triangle adjacency list is
  /// cleared; a vertex adjacency list built here is removed at the end.
  /// \pre the buffer is consistent (the frame's init).
  /// \return false when a buffer operation or the run's own memory fails (OutOfMemory), the vertex
  /// adjacency list cannot be built (the sub-task's status) or the run is stopped (aborted, else
  /// GenericError); repairs made so far stay and the buffer stays consistent.
  bool run(void* parameters) override;

private:
  Statistics m_statistics;
};
