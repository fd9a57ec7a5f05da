#pragma once
// KEXConstructTriangulationAlgorithm: grows a triangle surface over an oriented point cloud (the
// buffer's vertices with one normal each). It works in rounds: every vertex that still needs
// triangles (no triangle yet, or at the end of an open edge) is connected to the nearby such
// vertices whose cells, clipped by the mid-planes to its neighbours inside a thin slab along its
// normal, touch its own; mutually connected triples give candidate triangles, and around every
// vertex the candidates of least tension that do not overlap accepted triangles are kept. The
// admissible angle between neighbouring normals widens from round to round (60 degrees to 160
// degrees by round 5). The first round that adds nothing admits triangles between border points;
// the next one that adds nothing ends the rounds, and the gap closing repairs what is left.
// Existing triangles are kept and the surface grows from them. Optionally, inner holes labelled in
// the edge flags (1 ... 254) are covered by transient triangles during the rounds so that the
// surface stops at their rims, and the holes stay open.
#include "kex/Task.h"
#include "kex/ValueList.h"
#include "kex/Values.h"
#include "kexmesh/core/CompactIndexArray.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "kexmesh/reconstruct/Polyhedron.h"
#include "kexmesh/repair/PointBSPTree.h"

/// The progress task of the connection search: "Connecting vertices (%1 of %2)" with the current
/// and the maximum progress as unsigned integers.
class KEXConnectingVerticesTask : public KEXTask {
public:
  KEXConnectingVerticesTask(const char* message, double weight, unsigned int flags = 0x10000,
                            unsigned int flags2 = 0);
  const char* getMessage() const override;
  const char* getArgument(int index) const override;

private:
  mutable char m_text[2][64] = {};
};

class KEXConstructTriangulationAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXConstructTriangulationAlgorithm)

public:
  KEXConstructTriangulationAlgorithm();
  /// Copies the three parameters and the work lists; the trees are not copied (they exist only
  /// during a run).
  KEXConstructTriangulationAlgorithm(const KEXConstructTriangulationAlgorithm& other);
  KEXConstructTriangulationAlgorithm& operator=(const KEXConstructTriangulationAlgorithm& other);
  ~KEXConstructTriangulationAlgorithm() override;

  /// The greatest distance between connected points (default -1). A negative value estimates it
  /// from the cloud: twice the box diagonal for up to 500 points, the diagonal divided by
  /// sqrt(V)/2 from 5000 points on, a linear blend in between. Zero is used as it is.
  bool setMaximumDistance(float distance);
  float getMaximumDistance() const;
  /// The least dot product of two neighbours' normals in the first round (default 0.5, 60 degrees).
  bool setMinimumDotProduct(float minimum);
  float getMinimumDotProduct() const;
  /// Whether inner holes labelled 1 ... 254 in the edge flags are kept open (default false).
  bool setTransientFlag(bool on);
  bool getTransientFlag() const;

  /// With a given maximum distance d the thickness of the normal slab (and the edge probe's offset)
  /// is d * GIVEN_DISTANCE_TOLERANCE: the estimate yields a distance of s and a tolerance of s/4,
  /// so a given distance behaves like the estimated case at that distance.
  static constexpr double GIVEN_DISTANCE_TOLERANCE = 0.25;

  // Read access for tests and callers that inspect a run's working state (no range checks).
  const KEXValueList<int>& getTransientVertexList() const { return transientVertexList; }
  const KEXValueList<int>& getTransientTriangleList() const { return transientTriangleList; }
  double getConnectionDistance() const { return connectionDistance; }
  double getNormalTolerance() const { return normalTolerance; }
  double getRoundMinimumDotProduct() const { return roundMinimumDotProduct; }
  /// Number of rounds the last run started.
  int getRoundCount() const { return roundCount; }

  /// The dot-product limit of round r (1-based): the parameter in round 1, moving linearly to
  /// cos 160 degrees by round 5, constant after.
  static double roundLimit(double minimumDotProduct, int round);
  /// The connection distance estimated for count points whose bounding box has diagonal diameter.
  static double estimateDistance(double diameter, int count);

protected:
  /// Nothing to prepare.
  bool init(void* parameters) override;
  /// Task "Constructing triangulation": duplicates merged, distance estimated, normals scaled to
  /// unit length (refused with InvalidValue when missing or zero), edge flags computed unless
  /// given, transient triangles added (optional), the rounds, transient triangles removed, gaps
  /// closed. A stop between steps keeps the triangles made so far.
  bool run(void* parameters) override;
  /// After a failure the triangle list is emptied; the derived lists made stale by new triangles
  /// and all work lists and trees are released.
  void cleanup(bool success) override;

private:
  bool removeDuplicateVertices();
  bool guessMaximumDistance();
  bool calculateVertexNormalList();
  bool calculateVertexEdgeFlagList();
  bool addTransientTriangles();
  bool removeTransientTriangles();
  bool generateTriangulation();
  bool updateUnsaturatedVertexList();
  bool updateUnsaturatedVertexTree();
  bool addUnsaturatedVertexConnections();
  bool updateTriangleList();
  bool addTriangle(int a, int b, int c);
  bool updateTriangleTensionList();
  bool removeCollidingTriangles();
  bool repairTriangulation();

  // Round helpers.
  bool connect(int a, int b);
  /// Whether some triangle runs a -> b (ab) and some runs b -> a (ba).
  void directedEdges(int a, int b, bool& ab, bool& ba) const;
  bool hasTriangle(int a, int b, int c) const;
  /// Whether the marked triangle w -> x -> y and the unmarked triangle u overlap at w.
  bool collide(int w, int x, int y, int u) const;
  bool createAdjacency();
  bool ensurePointTree();
  /// Puts the vertices into space-filling-curve order for the run and back when it ends; takes the
  /// covers of inner holes out however the run ends.
  class SpatialOrderScope {
  public:
    explicit SpatialOrderScope(KEXConstructTriangulationAlgorithm& a) : m_algorithm(a) {}
    ~SpatialOrderScope();
    SpatialOrderScope(const SpatialOrderScope&) = delete;
    SpatialOrderScope& operator=(const SpatialOrderScope&) = delete;
    /// False when memory runs out (nothing changed).
    bool apply();

  private:
    KEXConstructTriangulationAlgorithm& m_algorithm;
    bool m_applied = false;
  };
  /// Vertex j takes the old vertex map[j]; triangle indices x become inverse[x].
  void permuteVertices(const int* map, const int* inverse);
  /// The cell of unsaturated vertex v: ids of the vertices whose planes bound it, nearest first,
  /// into ids (the block's own storage). -1 when memory runs out.
  struct Plane {
    double distance2;
    int vertex;
  };
  int cellFaces(int v, KEXPolyhedron& cell, KEXValueList<Plane>& planes, KEXValueList<int>& ids) const;
  /// Undoes an unfinished round: connections emptied, marks taken off, new triangles cut.
  void rollBackRound(int triangleCount);
  /// Triangle exchange and cut that carry the transient flags along.
  bool swapTriangles(int i, int j);
  bool cutTriangles(int count);
  /// Takes the transient triangles and centre vertices out without progress (also after a stop).
  bool dropTransients();
  KEXVector3<double> holeNormal(const KEXValueList<int>& list, const KEXVector3<double>& centre,
                                const KEXVector3<double>& normalSum) const;

  float maximumDistance = -1.0f;
  float minimumDotProduct = 0.5f;
  bool transientFlag = false;
  KEXValueList<int> transientVertexList;
  KEXValueList<int> transientTriangleList;
  KEXValueList<int> unsaturatedVertexList;
  KEXValueList<KEXCompactIndexArray> vertexConnectionList;
  KEXValueList<float> triangleTensionList;
  // The points of the cloud in an adaptive tree (leaves of at most 8 points), built on first need
  // and kept for the whole run (vertices never move during the rounds). All searches go through
  // it: the neighbours that cut a vertex's cell.
  KEXPointBSPTree pointTree;
  // During a run: spatialOrder[j] the caller's index of vertex j, spatialRank its inverse, and the
  // marks the permutation walk needs (allocated before the first move so that the way back is
  // free of failures).
  KEXValueList<int> spatialOrder, spatialRank;
  KEXValueList<char> permuteScratch;
  // A typical distance between neighbouring points (the box diagonal over sqrt(V)/2): where the
  // searches start.
  double spacing = 0.0;
  double connectionDistance = 0.0;
  double normalTolerance = 0.0;
  double roundMinimumDotProduct = 0.0;
  bool finalRoundFlag = false;
  int roundCount = 0;
  // Per vertex: whether it is in unsaturatedVertexList (a flag instead of the linear search).
  KEXValueList<char> unsaturatedFlags;
  // Per triangle, while inner holes are covered: whether it is transient. The rounds exchange
  // triangles, so indices recorded when they were added would go stale.
  KEXValueList<char> transientTriangleFlags;
};
