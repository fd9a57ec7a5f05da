#pragma once
// KEXTransformVertexNormalListAlgorithm: transforms the vertex normals by the inverse transpose of the matrix.
#include "kexmesh/core/TransformListAlgorithmBase.h"

class KEXTransformVertexNormalListAlgorithm : public KEXTransformListAlgorithmBase {
  KEXMESH_DECLARE_CLASS(KEXTransformVertexNormalListAlgorithm)

protected:
  /// Transforms every entry of the buffer's vertexNormalList (not renormalised).
  /// An empty list succeeds at once; a singular matrix fails with InvalidValue; a stop ends it aborted or
  /// with GenericError, the entries done so far staying transformed.
  bool run(void* parameters) override;
};
