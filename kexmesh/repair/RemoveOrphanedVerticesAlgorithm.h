#pragma once
// KEXRemoveOrphanedVerticesAlgorithm: removes vertices that no triangle references.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXRemoveOrphanedVerticesAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXRemoveOrphanedVerticesAlgorithm)

protected:
  /// Exchanges each unused vertex with the last kept one (triangles are renumbered through the
  /// vertex adjacency list, so they keep their positions) and cuts once. A vertex adjacency list
  /// built for the run is removed again. Fails with GenericError when a buffer operation fails,
  /// aborted / GenericError after a stop.
  bool run(void* parameters) override;
};
