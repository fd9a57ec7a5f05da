#pragma once
// KEXCalculateTriangleNormalsAlgorithm: fills the triangle normal list with cross products (length twice
// the area); degenerate triangles take the mean direction of their non-degenerate neighbours.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXCalculateTriangleNormalsAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXCalculateTriangleNormalsAlgorithm)

protected:
  /// Runs the buffer's calculateTriangleNormals().
  /// Fails (GenericError) on an out-of-range vertex index; a stop ends it aborted or with GenericError.
  /// \pre a consistent buffer (checked by the frame's init).
  bool run(void* parameters) override;
};
