#pragma once
// KEXCloseGapsAlgorithm: closes the holes of a triangle mesh. Each loop of border edges is traced
// by walking around its vertices through the adjacency lists and filled with the minimum-weight
// triangulation of KEXTriangulationTools::clockwiseEdgeLoop.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXCloseGapsAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXCloseGapsAlgorithm)

public:
  /// Loops longer than this are left open: the triangulation's table grows with the square and its
  /// time with the cube of the loop length (this many edges take 153 MB and about ten seconds).
  static constexpr int MAXIMUM_LOOP_LENGTH = 4000;

  /// What the last run found.
  struct Statistics {
    int filledLoops = 0;       ///< loops closed with new triangles
    int addedTriangles = 0;    ///< triangles appended by them
    int largestFilledLoop = 0; ///< edges of the longest filled loop
    int shortLoops = 0;        ///< closed loops of one or two edges, left open
    int abandonedLoops = 0;    ///< traces given up at an inconsistent neighbour or a protected edge
    int oversizedLoops = 0;    ///< closed loops longer than MAXIMUM_LOOP_LENGTH, left open
    int largestOpenLoop = 0;   ///< edges of the longest oversized loop
  };
  const Statistics& getStatistics() const { return m_statistics; }

protected:
  /// Task "Closing gaps": ensures both adjacency lists (restored at the end), scans the corners
  /// once and fills every closed border loop of at least three edges. Border edges whose two
  /// vertices carry the same non-zero edge flag are protected: a loop that meets one stays open.
  /// Fails with OutOfMemory ("Out of memory") when the loop list cannot grow, GenericError when a
  /// loop triangulation fails (holes filled before stay), the sub-task's outcome when an adjacency
  /// list cannot be built, aborted / GenericError after a stop.
  bool run(void* parameters) override;

private:
  Statistics m_statistics;
};
