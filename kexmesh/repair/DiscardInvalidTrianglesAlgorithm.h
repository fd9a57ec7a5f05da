#pragma once
// KEXDiscardInvalidTrianglesAlgorithm: removes every triangle with a vertex index outside 0 ... V-1.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXDiscardInvalidTrianglesAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXDiscardInvalidTrianglesAlgorithm)

protected:
  /// Exchanges each invalid triangle with the last kept one and cuts the triangle lists at the end.
  /// Fails with OutOfMemory ("Out of memory") when an exchange fails, GenericError when the cut
  /// fails, aborted / GenericError after a stop (exchanges made so far stay, no cut).
  bool run(void* parameters) override;
};
