#pragma once
// KEXTransformTriangleNormalListAlgorithm: transforms the triangle normals by the inverse transpose of the matrix.
#include "kexmesh/core/TransformListAlgorithmBase.h"

class KEXTransformTriangleNormalListAlgorithm : public KEXTransformListAlgorithmBase {
  KEXMESH_DECLARE_CLASS(KEXTransformTriangleNormalListAlgorithm)

protected:
  /// Transforms every entry of the buffer's triangleNormalList (not renormalised).
  /// An empty list succeeds at once; a singular matrix fails with InvalidValue; a stop ends it aborted or
  /// with GenericError, the entries done so far staying transformed.
  bool run(void* parameters) override;
};
