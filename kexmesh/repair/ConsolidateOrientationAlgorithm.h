#pragma once
// KEXConsolidateOrientationAlgorithm: gives every triangle a winding consistent with its
// edge-connected neighbours and turns each vertex-connected component so that it faces outward.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXConsolidateOrientationAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXConsolidateOrientationAlgorithm)

public:
  KEXConsolidateOrientationAlgorithm() = default;
  KEXConsolidateOrientationAlgorithm(const KEXConsolidateOrientationAlgorithm&) = default;
  KEXConsolidateOrientationAlgorithm& operator=(const KEXConsolidateOrientationAlgorithm&) = default;
  ~KEXConsolidateOrientationAlgorithm() override = default;

protected:
  /// Propagates the winding over manifold edges (depth first, each edge-connected piece takes the
  /// winding of its lowest-index triangle), then flips every vertex-connected component whose
  /// triangles face inward on balance (measured against the vertex normals when the buffer has
  /// them, else as the signed volume about the component's box centre). Triangles change only
  /// through flipTriangle, so every present derived list stays valid. Adjacency lists built here
  /// are removed at the end.
  /// \pre the buffer is consistent (checked by the frame's init).
  /// \return false when an adjacency list cannot be built (the sub-task's status) or working
  /// memory is short (GenericError); the flips made so far stay. Once the adjacency lists exist the
  /// run neither reports progress nor stops.
  bool run(void* parameters) override;
};
