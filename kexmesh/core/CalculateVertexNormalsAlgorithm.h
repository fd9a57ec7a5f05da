#pragma once
// KEXCalculateVertexNormalsAlgorithm: fills the vertex normal list with angle-weighted means of the
// triangle normals (not normalised). Builds what it needs and keeps it: vertex adjacency, triangle
// normals (unless present) and inner angles.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXCalculateVertexNormalsAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXCalculateVertexNormalsAlgorithm)

protected:
  /// Runs the buffer's calculateVertexNormals().
  /// Fails with the code of the failing step (e.g. GenericError for an out-of-range index).
  /// \pre a consistent buffer (checked by the frame's init).
  bool run(void* parameters) override;
};
