#pragma once
// KEXHarmonizeVertexNormalsAlgorithm: scales every vertex normal of the buffer to a given length.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXHarmonizeVertexNormalsAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXHarmonizeVertexNormalsAlgorithm)

public:
  /// Sets the target length; refuses a negative length (returns false, keeps the old one).
  bool setVectorLength(float length);
  float getVectorLength() const { return m_vectorLength; }

protected:
  /// Runs the buffer's harmonizeVertexNormals(getVectorLength()).
  /// Fails with InvalidValue ("Invalid vertex normal found") on a zero normal or a zero length.
  bool run(void* parameters) override;

private:
  float m_vectorLength = 1.0f;
};
