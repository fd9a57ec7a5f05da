#pragma once
// KEXTransformListAlgorithmBase: the transform matrix parameter shared by the three transform
// algorithms, and the loop they share. Not registered itself: each derived class registers under
// its own name with KEXTriangleMeshAlgorithmIF as its parent.
#include "kex/Values.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXTransformListAlgorithmBase : public KEXTriangleMeshAlgorithmIF {
public:
  /// Sets the matrix; always accepted.
  bool setTransformMatrix(const KEXMatrix4<float>& matrix)
  {
    m_transformMatrix = matrix;
    return true;
  }
  const KEXMatrix4<float>& getTransformMatrix() const { return m_transformMatrix; }

protected:
  KEXTransformListAlgorithmBase() = default;
  KEXTransformListAlgorithmBase(const KEXTransformListAlgorithmBase&) = default;
  KEXTransformListAlgorithmBase& operator=(const KEXTransformListAlgorithmBase&) = default;

  /// Transforms every entry of list under a task named message: points by the matrix, or (normals)
  /// by its inverse transpose. Blocks of 8192 with a progress report each.
  /// Fails with InvalidValue when normals are to be turned by a singular matrix (list unchanged),
  /// aborted or GenericError after a stop (entries done so far stay transformed).
  bool transformList(KEXValueList<KEXVector3<float>>& list, const char* message, bool normals) const;

private:
  KEXMatrix4<float> m_transformMatrix{1.0f};
};
