#pragma once
// KEXContractVertexPairsAlgorithm: simplifies a triangle mesh by contracting edges (vertex pairs
// joined by a triangle edge) under error quadrics, until the mesh has no more than a target number
// of vertices and triangles, or no admissible contraction within the error limit is found. There
// is no global priority queue: each contraction draws a few random edges and takes the cheapest,
// so a contraction costs the same on any mesh size. Afterwards the result is cleaned up by bad
// triangle repair, cap removal and smooth triangulation on the same buffer.
#include "kex/Thread.h"
#include "kex/ValueList.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "kexmesh/simplify/Quadric4.h"

#include <cstdint>

class KEXTask;

class KEXContractVertexPairsAlgorithm : public KEXTriangleMeshAlgorithmIF, public KEXMultiThread {
  KEXMESH_DECLARE_CLASS(KEXContractVertexPairsAlgorithm)

public:
  /// Weight of a border corner's quadric: border vertices move far less readily than interior ones.
  static constexpr double BORDER_WEIGHT = 45.24378410345447; // sqrt(2047)
  /// Vertices per work item of the quadric computation.
  static constexpr int QUADRIC_CHUNK = 256;
  /// Contractions per progress report.
  static constexpr int BATCH = 1024;
  /// Random draws after which a contraction gives up.
  static constexpr int MAXIMUM_DRAWS = 500;
  /// A pair whose vertices have this many triangle corners together is never contracted.
  static constexpr int MAXIMUM_CORNERS = 14;

  KEXContractVertexPairsAlgorithm();
  KEXContractVertexPairsAlgorithm(const KEXContractVertexPairsAlgorithm& other);
  KEXContractVertexPairsAlgorithm& operator=(const KEXContractVertexPairsAlgorithm& other);
  ~KEXContractVertexPairsAlgorithm() override = default;

  /// Per-axis sampling distance for the thresholds; a vector whose smallest component is not above
  /// the smallest normalised float counts as unset (then it is estimated from the mesh). True.
  bool setMeanSamplingDistance(const KEXVector3<float>& d);
  const KEXVector3<float>& getMeanSamplingDistance() const { return m_meanSamplingDistance; }
  /// Contractions whose cost exceeds the square of this are never taken. Not validated.
  bool setMaximumError(float e);
  float getMaximumError() const { return m_maximumError; }
  /// Vertex limit n and triangle limit 2n. True. A limit below 1 leaves that count unreduced.
  bool setVertexLimit(int n);
  int getVertexLimit() const { return m_vertexLimit; }
  /// Triangle limit n and vertex limit n / 2. True.
  bool setTriangleLimit(int n);
  int getTriangleLimit() const { return m_triangleLimit; }
  /// Fastest, Normal, Advanced or Nicest (true); anything else is refused (false, unchanged).
  /// Nicest places a merged vertex at the quadric's minimum, Advanced on the best point of the
  /// edge, Normal and Fastest on one of the two end points (Fastest without the flip test).
  bool setQuality(KEXenum quality);
  KEXenum getQuality() const { return m_quality; }

  /// The process-wide 48-bit state of the random draws. It is never reseeded, so successive runs
  /// draw different edges; a host (or a test) that needs a run repeated sets the state first.
  static uint64_t getRandomState();
  static void setRandomState(uint64_t state);

  /// The contraction's count text: full stops between groups of three digits ("1.234.567").
  static void formatCount(char* text, int size, int count);

protected:
  /// Frame check plus the contraction's own: every triangle index names a vertex and every vertex
  /// is finite (a diagnostic names what was found). Without it a contraction would read outside
  /// the vertex list or spread not-a-number quadrics.
  bool init(void* parameters) override;
  /// Task "Simplifying mesh": initialization (adjacency, sampling distance, vertex quadrics on the
  /// worker threads), the contractions in batches, the post-processing. The vertex adjacency and
  /// quadric lists are emptied at the end in every case; so are the derived triangle lists
  /// (normals, angles, adjacency, corner pages), which the contractions would make stale.
  /// Fails with the failing step's outcome: OutOfMemory ("Out of memory"), GenericError (a step
  /// could not be done, or a stop between batches: the mesh reached so far stays, consistent),
  /// InvalidOperation (no positive sampling distance), aborted. When no admissible contraction
  /// is found within the error limit the contraction ends as stopped and the post-processing
  /// still runs: the run succeeds with the mesh reduced as far as the limit allows.
  bool run(void* parameters) override;
  /// The per-thread quadric computation: chunks of QUADRIC_CHUNK vertices from the atomic counter.
  bool run() override;

private:
  struct Private;

  bool initialization();
  bool calculateVertexQuadrics();
  bool contractVertexPairs();
  bool postProcessing();
  void cleaning();
  void calculateEdgeQuadric(KEXQuadric4<double>& q, double& angle, int corner, double eps) const;
  double edgeCosts(KEXVector3<float>& position, int corner) const;
  bool isReasonableMerger(int a, int b) const;
  bool isValidVector(int a, int b, const KEXVector3<float>& position) const;
  bool isValidCorner(int corner, const KEXVector3<double>& position, double fraction, double sign) const;
  bool edgeCollapse(const KEXVector3<float>& position, int corner);
  bool updateTriangles(int vertex);
  bool labelClosedComponents();
  double volumeChange(int a, int b, const KEXVector3<double>& position) const;

  KEXTask* m_task = nullptr;
  KEXValueList<KEXQuadric4<float>> vertexQuadricList{16384, true};
  // Per vertex its closed component (-1: open, or enclosing no volume), and per closed component
  // six times its signed volume about m_volumeOrigin: a contraction may not change its sign.
  KEXValueList<int> m_component{16384, true};
  KEXValueList<double> m_volume{64, true};
  KEXVector3<double> m_volumeOrigin;
  float meanSamplingDistanceValue = 0.0f;
  double borderWeight = BORDER_WEIGHT;
  KEXVector3<float> m_meanSamplingDistance;
  float m_maximumError = 0.01f;
  int m_vertexLimit = 1000;
  int m_triangleLimit = 2000;
  KEXenum m_quality;
};
