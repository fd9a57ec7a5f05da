#pragma once
// KEXTransformVertexListAlgorithm: transforms the vertex positions by the matrix.
#include "kexmesh/core/TransformListAlgorithmBase.h"

class KEXTransformVertexListAlgorithm : public KEXTransformListAlgorithmBase {
  KEXMESH_DECLARE_CLASS(KEXTransformVertexListAlgorithm)

protected:
  /// Transforms every entry of the buffer's vertexList (not renormalised).
  /// An empty list succeeds at once; a stop ends it aborted or
  /// with GenericError, the entries done so far staying transformed.
  bool run(void* parameters) override;
};
