#pragma once
// KEXFlipOrientationAlgorithm: reverses the orientation of every triangle of the buffer.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXFlipOrientationAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXFlipOrientationAlgorithm)

protected:
  /// Flips every triangle keeping corner 0; adjacency, angle and normal lists stay consistent
  /// (triangle normals are negated). A vertex adjacency list built for the run is removed again.
  /// Fails with the adjacency build's code, or aborted / GenericError after a stop (triangles
  /// flipped so far stay flipped).
  bool run(void* parameters) override;
};
