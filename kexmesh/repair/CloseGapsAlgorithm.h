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

  /// A component that the run closed and whose volume (in absolute value) stays below this times
  /// the area of its fills to the power 3/2 is an open sheet capped with a second layer of itself:
  /// its largest fill is taken out again, its smaller fills (holes inside the sheet) stay. A flat
  /// sheet's double layer gives 0, a capped hemisphere about 0.38, a shallow bowl 0.28 times its
  /// depth over its radius.
  static constexpr double SHEET_VOLUME_RATIO = 0.03;

  /// What the last run found. Every loop of border edges that was traced to its end is counted in
  /// exactly one of filledLoops, shortLoops, oversizedLoops, unfillableLoops and sheetLoops; a trace
  /// given up on the way in abandonedLoops or nonManifoldLoops.
  struct Statistics {
    int filledLoops = 0;       ///< loops closed with new triangles (and kept closed)
    int addedTriangles = 0;    ///< triangles appended by them (the buffer grew by this many)
    int largestFilledLoop = 0; ///< edges of the longest filled loop
    int shortLoops = 0;        ///< closed loops of one or two edges, left open
    int abandonedLoops = 0;    ///< traces given up at an inconsistent neighbour or a protected edge
    int oversizedLoops = 0;    ///< closed loops longer than MAXIMUM_LOOP_LENGTH, left open
    int largestOpenLoop = 0;   ///< edges of the longest oversized loop
    int unfillableLoops = 0;   ///< closed loops left open: every fill would make an edge non-manifold
                               ///< or a triangle duplicate (e.g. a lone triangle's own outline)
    int nonManifoldLoops = 0;  ///< traces given up at an edge shared by more than one triangle without
                               ///< a partner in the adjacency (not counted in abandonedLoops)
    int sheetLoops = 0;        ///< fills taken out again: they closed their component into a
                               ///< (near) zero volume, the outline of an open sheet (see
                               ///< SHEET_VOLUME_RATIO); the loop is left open
    int reorientedComponents = 0; ///< components closed by this run that faced inward and were
                                  ///< flipped to face outward
  };
  const Statistics& getStatistics() const { return m_statistics; }

protected:
  /// Task "Closing gaps": ensures both adjacency lists (restored at the end), scans the corners
  /// once and fills every closed loop of true border edges (edges of exactly one triangle) of at
  /// least three edges, unless the fill would make an edge non-manifold or a triangle duplicate.
  /// Border edges whose two vertices carry the same non-zero edge flag are protected: a loop that
  /// meets one stays open, and so does a loop that meets an edge of several triangles. Afterwards
  /// each component that the run closed is checked: a fill that closed it into a (near) zero
  /// volume is taken out again (an open sheet stays open), and a component that faces inward is
  /// flipped. The original triangles keep their places; fills are appended behind them.
  /// Fails with OutOfMemory ("Out of memory") when a list cannot grow, GenericError when a loop
  /// triangulation refuses a loop the trace found, the sub-task's outcome when an adjacency list
  /// cannot be built, aborted / GenericError after a stop. A run that fails after it started
  /// filling takes its fills out again: the buffer is as it was.
  bool run(void* parameters) override;

private:
  Statistics m_statistics;
};
