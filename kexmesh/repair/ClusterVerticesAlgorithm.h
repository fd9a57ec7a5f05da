#pragma once
// KEXClusterVerticesAlgorithm: welds vertices that lie within a maximum distance of each other.
// Vertices are grouped by single linkage (any chain of pairs at most the distance apart forms one
// cluster); each cluster becomes one vertex at its centroid, the triangles are renumbered and the
// ones that collapse are dropped. The pair search runs on several threads over a BSP tree.
#include "kex/Task.h"
#include "kex/Thread.h"
#include "kex/ValueList.h"
#include "kex/Values.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "kexmesh/repair/PointBSPTree.h"

class KEXClusterVerticesAlgorithm : public KEXTriangleMeshAlgorithmIF, public KEXMultiThread {
  KEXMESH_DECLARE_CLASS(KEXClusterVerticesAlgorithm)

public:
  /// maximumDistance: the welding distance; a negative value asks for an automatic guess (the
  /// factory's default is -1).
  explicit KEXClusterVerticesAlgorithm(float maximumDistance = -1.0f);
  /// Copies the distance and the frame's state (the copy is attached to the same buffer).
  KEXClusterVerticesAlgorithm(const KEXClusterVerticesAlgorithm& other);
  KEXClusterVerticesAlgorithm& operator=(const KEXClusterVerticesAlgorithm& other);
  ~KEXClusterVerticesAlgorithm() override;

  /// Sets the welding distance (negative: guess it from the mesh). Always true.
  bool setMaximumDistance(float maximumDistance);
  float getMaximumDistance() const { return maximumDistance; }

  /// Welding as a repair step (what the fix filter runs): a negative maximum distance is replaced by
  /// estimateRepairDistance() instead of the guess, and only vertices on an open, non-manifold or
  /// inconsistent edge take part. A vertex whose every edge is shared by exactly two consistently
  /// oriented triangles is already joined to its surface: welding it to a coincident vertex of
  /// another sheet could only pinch the two sheets together. Off by default.
  void setRepairMode(bool on) { repairMode = on; }
  bool getRepairMode() const { return repairMode; }
  /// The distance the last run welded with (after a guess or an estimate); -1 before any run.
  float getUsedDistance() const { return usedDistance; }

  /// A welding distance for repairs: half the shortest edge of positive length, at most 1e-5 of
  /// the bounding box diagonal, and never below the guess (2^-14 of the sampling distance).
  /// Vertex copies of a triangle soup are joined by no edge, so every copy within float noise of
  /// its siblings (1e-6 of the diagonal and more) is welded, while no two vertices of one edge can
  /// be. FLT_MAX when the buffer has no vertices.
  static float estimateRepairDistance(const KEXTriangleMeshBuffer& buffer);

protected:
  /// Task "Clustering vertices": resolves the distance (a negative one is guessed; still negative
  /// fails with InvalidOperation, "Found no suitable maximum distance") and clusters.
  /// \return false on failure; the buffer is then unchanged apart from the per-vertex lists of the
  /// wrong length and the adjacency lists, which are cleared before anything else.
  bool run(void* parameters) override;
  /// Releases the point tree and the merge table.
  void cleanup(bool success) override;

private:
  /// The guessed distance: the smallest component of the working buffer's mean sampling distance
  /// estimate times 2^-14; FLT_MAX when the estimate fails (no vertices).
  float guessMaximumDistance() const;
  bool createMergeTable();
  bool clusterSimilarVertices(float distance);
  /// The pair search of one worker thread.
  bool run() override;
  /// The worker of the hashed weld at a vanishing distance: claims hash partitions in turn.
  bool runExact();
  /// Renumbers, averages, drops collapsed triangles and cuts the vertex lists.
  bool updateBuffer(KEXTask& task);
  /// Repair mode: marks the vertices that stay out of the welding (their fan is closed).
  bool markClosedVertices();

  float maximumDistance;
  KEXPointBSPTree pointTree;
  KEXValueList<int> mergeTable{16, true};
  KEXVector3<float> distanceVector;
  double squaredDistance = 0.0;
  double exactTau = -1.0; ///< the tiny-coordinate bound of the hashed weld; negative: the tree search
  int exactParts = 1;     ///< hash partitions of the hashed weld
  KEXTask* mergeTask = nullptr;
  bool carryNormals = false;
  bool repairMode = false;
  float usedDistance = -1.0f;
  KEXValueList<char> closedVertex{16, true}; ///< repair mode: 1 for a vertex kept out of the welding
};
