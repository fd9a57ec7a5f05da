#pragma once
// KEXFixReport: runs the repair filter's steps on a caller's buffer one at a time and tells what
// each did: vertex and triangle counts before and after, the time taken, and a summary a user can
// read (vertices welded, triangles dropped and added, holes filled, triangles and components
// reoriented, open and non-manifold edges and invalid elements left). Hosts that hold a plain
// buffer (the command-line tool) use it instead of the object-based Filter action.
#include "kex/Enum.h"
#include "kex/ValueList.h"

class KEXFixTriangleMesh;
class KEXTriangleMeshBuffer;

class KEXFixReport {
public:
  struct Step {
    KEXenum name;
    int verticesBefore = 0, verticesAfter = 0;
    int trianglesBefore = 0, trianglesAfter = 0;
    double seconds = 0.0;
  };

  /// The steps that ran, in order (the failed one included; shorter when memory was short).
  KEXValueList<Step> steps{16, true};
  /// The step that failed, or an invalid enum.
  KEXenum failedStep;
  /// Vertex count lost in ClusterVertices steps.
  int verticesWelded = 0;
  /// Triangles removed / added over all steps (a step counts by its net change).
  int trianglesDropped = 0;
  int trianglesAdded = 0;
  /// Holes (connected chains of border edges) before the first CloseGaps step and after the last;
  /// -1 when not counted (no such step, or memory was short).
  int holesBefore = -1;
  int holesAfter = -1;
  /// Triangles whose orientation ConsolidateOrientation reversed, and components (by shared
  /// vertices) of which it reversed the majority; -1 when not counted.
  int trianglesReoriented = -1;
  int componentsFlipped = -1;
  /// After the last step: border edges, edges with more than two triangles, non-finite vertices
  /// and triangles with an index out of range (-1 when memory was short for the edge counts).
  int openEdges = -1;
  int nonManifoldEdges = -1;
  int invalidVertices = 0;
  int invalidTriangles = 0;
  /// After the last step: chains of border edges (open loops), triangles whose three vertices
  /// another triangle has already, closed components (every edge shared by two consistently
  /// oriented triangles) and those of them that face inward (negative volume); -1 when memory was
  /// short.
  int openLoops = -1;
  int duplicateTriangles = -1;
  int closedComponents = -1;
  int inwardComponents = -1;
  /// The distance the welding step used (given or estimated); -1 when no welding step ran.
  float weldDistance = -1.0f;
  /// Loops the CloseGaps steps left open: outlines of open sheets (a fill would have capped the
  /// sheet with a second layer of itself), loops whose every fill would have made an edge
  /// non-manifold or a triangle duplicate, and traces given up at a non-manifold or inconsistent
  /// edge; components the filling closed that faced inward and were turned outward.
  int sheetOutlines = 0;
  int unfillableLoops = 0;
  int givenUpLoops = 0;
  int componentsTurnedOutward = 0;
  /// Degenerate triangles the last RemoveDegenerateTriangles step could not repair without moving
  /// the surface; -1 when no such step ran.
  int degenerateLeft = -1;

  /// Whether the mesh still has something a repair should have removed: open or non-manifold
  /// edges, inward components, duplicate triangles, invalid vertices or triangles (also when a
  /// count could not be taken).
  bool problemsLeft() const;

  /// Runs the steps of filter's ActionList on buffer (in place) under the task "Executing
  /// operation sequence", one sub-task per step, with the filter's property values. With report
  /// given, fills it (the counting reads the lists in O(T log T) around CloseGaps and
  /// ConsolidateOrientation and at the end); null skips all counting and timing.
  /// \return false when a name is not a mesh action of the filter (InvalidValue with the filter on
  ///         the error channel; nothing runs), or a step fails (the buffer keeps what the steps
  ///         before and the failed one left; report->failedStep names it); true when all ran or a
  ///         stop request ended the run after a step.
  static bool run(KEXFixTriangleMesh& filter, KEXTriangleMeshBuffer& buffer, KEXFixReport* report);

  /// Counts border and non-manifold edges and the holes (chains of border edges) of buffer.
  /// \return false when memory is short (counts untouched).
  static bool countEdges(const KEXTriangleMeshBuffer& buffer, int& openEdges, int& nonManifoldEdges, int& holes);
  /// Counts duplicate triangles, closed components and inward closed components of buffer in
  /// O(T log T). \return false when memory is short (counts untouched).
  static bool countComponents(const KEXTriangleMeshBuffer& buffer, int& duplicateTriangles, int& closedComponents,
                              int& inwardComponents);
};
