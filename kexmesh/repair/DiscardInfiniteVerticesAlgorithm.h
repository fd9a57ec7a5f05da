#pragma once
// KEXDiscardInfiniteVerticesAlgorithm: removes every vertex with an infinite or NaN coordinate.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXDiscardInfiniteVerticesAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXDiscardInfiniteVerticesAlgorithm)

protected:
  /// Exchanges each invalid vertex with the last kept one and cuts the vertex lists once at the end.
  /// Triangles that used a removed vertex are left with an index >= the new V (invalid).
  /// Fails with OutOfMemory ("Out of memory") when an exchange fails, GenericError when the cut
  /// fails, aborted / GenericError after a stop (exchanges made so far stay, no cut).
  bool run(void* parameters) override;
};
