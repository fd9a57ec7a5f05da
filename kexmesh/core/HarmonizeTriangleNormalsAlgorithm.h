#pragma once
// KEXHarmonizeTriangleNormalsAlgorithm: scales every triangle normal of the buffer to a given length.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXHarmonizeTriangleNormalsAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXHarmonizeTriangleNormalsAlgorithm)

public:
  /// Sets the target length; refuses a negative length (returns false, keeps the old one).
  bool setVectorLength(float length);
  float getVectorLength() const { return m_vectorLength; }

protected:
  /// Runs the buffer's harmonizeTriangleNormals(getVectorLength()).
  /// A zero normal becomes NaN; a stop ends it aborted or with GenericError.
  bool run(void* parameters) override;

private:
  float m_vectorLength = 1.0f;
};
