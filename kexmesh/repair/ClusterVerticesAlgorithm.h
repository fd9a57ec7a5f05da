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
  /// Renumbers, averages, drops collapsed triangles and cuts the vertex lists.
  bool updateBuffer(KEXTask& task);

  float maximumDistance;
  KEXPointBSPTree pointTree;
  KEXValueList<int> mergeTable{16, true};
  KEXVector3<float> distanceVector;
  double squaredDistance = 0.0;
  KEXTask* mergeTask = nullptr;
  bool carryNormals = false;
};
