#pragma once
// KEXFixReport: watches a run of the repair filter's Filter action and tells what each step did:
// vertex and triangle counts before and after, the time taken, and a summary a user can read
// (vertices welded, triangles dropped and added, holes filled, triangles and components
// reoriented, open and non-manifold edges and invalid elements left). It is an observer of the
// sequence action, so the steps that run are the filter's own, in either mode, and the report only
// counts between them:
//
//   KEXFixReport report(&filter);
//   sequence->setObserver(&report);           // the filter's Filter action
//   KEXTriangleMeshAction::Parameters record(&buffer, nullptr);
//   sequence->execute(&record);
//   sequence->setObserver(nullptr);
#include "kex/Enum.h"
#include "kex/ValueList.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/objects/ExecuteSequenceAction.h"

#include <chrono>

class KEXFixTriangleMesh;

class KEXFixReport : public KEXExecuteSequenceAction::Observer {
public:
  /// A report on the runs of filter's sequence: the welding distance and the CloseGaps and
  /// RemoveDegenerateTriangles statistics are read from filter after those steps (null: they stay
  /// unset). filter is not owned.
  explicit KEXFixReport(const KEXFixTriangleMesh* filter = nullptr) : m_filter(filter) {}

  struct Step {
    KEXenum name;
    int verticesBefore = 0, verticesAfter = 0;
    int trianglesBefore = 0, trianglesAfter = 0;
    double seconds = 0.0;
  };

  /// The steps that ran, in order (the failed one included, with after-counts 0; shorter when
  /// memory was short). A run starts a fresh report: all figures are cleared when its first step
  /// begins.
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
  /// After the last step (taken only when the sequence got to its end or was stopped, not after a
  /// failed step): border edges, edges with more than two triangles, non-finite vertices and
  /// triangles with an index out of range (-1 when memory was short for the edge counts).
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

  /// The observer hooks: counts, times and statistics of each step (the counting reads the lists
  /// in O(T log T) around CloseGaps and ConsolidateOrientation and at the end).
  void stepBegins(int index, KEXenum name, const KEXTriangleMeshBuffer& buffer) override;
  void stepEnds(int index, KEXenum name, const KEXTriangleMeshBuffer& buffer, bool ok) override;
  void sequenceEnds(const KEXTriangleMeshBuffer& buffer) override;

  /// Counts border and non-manifold edges and the holes (chains of border edges) of buffer.
  /// \return false when memory is short (counts untouched).
  static bool countEdges(const KEXTriangleMeshBuffer& buffer, int& openEdges, int& nonManifoldEdges, int& holes);
  /// Counts duplicate triangles, closed components and inward closed components of buffer in
  /// O(T log T). \return false when memory is short (counts untouched).
  static bool countComponents(const KEXTriangleMeshBuffer& buffer, int& duplicateTriangles, int& closedComponents,
                              int& inwardComponents);

private:
  /// All figures back to their initial values (the filter stays).
  void clear();

  const KEXFixTriangleMesh* m_filter = nullptr;
  /// The step running: its counts before, its start, and the triangles before a
  /// ConsolidateOrientation step (to count what it reversed).
  Step m_step;
  std::chrono::steady_clock::time_point m_start;
  KEXValueList<KEXTriangle<int>> m_before{16, true};
  bool m_orienting = false;
  bool m_holesCounted = false;
};
