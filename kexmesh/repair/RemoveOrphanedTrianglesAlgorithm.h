#pragma once
// KEXRemoveOrphanedTrianglesAlgorithm: removes triangles that share no vertex with any other triangle, together with their vertices.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXRemoveOrphanedTrianglesAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXRemoveOrphanedTrianglesAlgorithm)

protected:
  /// Removes isolated triangles and their vertices by exchange with the last kept elements; an
  /// isolated triangle whose three vertices carry the same non-zero edge flag is kept. A vertex
  /// adjacency list built for the run is removed again. Fails with GenericError when a buffer
  /// operation fails, aborted / GenericError after a stop.
  bool run(void* parameters) override;
};
