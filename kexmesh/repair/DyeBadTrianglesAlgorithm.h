#pragma once
// KEXDyeBadTrianglesAlgorithm: colours each triangle green when all three of its edges have exactly
// one neighbour, red otherwise (a border, a non-manifold edge or an invalid vertex index).
#include "kex/Values.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXDyeBadTrianglesAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXDyeBadTrianglesAlgorithm)

public:
  KEXDyeBadTrianglesAlgorithm() = default;
  KEXDyeBadTrianglesAlgorithm(const KEXDyeBadTrianglesAlgorithm&) = default;
  KEXDyeBadTrianglesAlgorithm& operator=(const KEXDyeBadTrianglesAlgorithm&) = default;
  ~KEXDyeBadTrianglesAlgorithm() override = default;

  /// The colour of a triangle whose three edges each have one partner: (0, 1, 0).
  static const KEXRGBA<float>& goodColor();
  /// The colour of every other triangle: (1, 0, 0).
  static const KEXRGBA<float>& badColor();

protected:
  /// Fills the triangle colour list (sized to T) with the good or bad colour per triangle.
  /// Adjacency lists built here are removed at the end.
  /// \pre the buffer is consistent (the frame's init).
  /// \return false when an adjacency list cannot be built (the sub-task's status), the colour list
  /// cannot be sized (GenericError) or the run is stopped (aborted, else GenericError); colours
  /// written so far stay.
  bool run(void* parameters) override;
};
