#pragma once
// KEXSmoothTriangulationAlgorithm: improves the connectivity of a mesh without moving a vertex. An
// edge whose endpoints' vertex normals differ clearly more than those of the two opposite vertices
// is flipped onto those, so that edges follow the surface's creases. Needs vertex normals; the last
// clean-up step of the vertex pair contraction.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXSmoothTriangulationAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXSmoothTriangulationAlgorithm)

public:
  KEXSmoothTriangulationAlgorithm() = default;
  KEXSmoothTriangulationAlgorithm(const KEXSmoothTriangulationAlgorithm&) = default;
  KEXSmoothTriangulationAlgorithm& operator=(const KEXSmoothTriangulationAlgorithm&) = default;

  /// Corners visited per progress report.
  static constexpr int BLOCK_CORNERS = 49152;

  /// The partner corner q of c when the edge of c should be flipped, else -1. For c's edge p -> v
  /// with third vertex n and the partner's opposite vertex o: the partner runs the edge the other
  /// way, o differs from n and the diagonal n - o does not exist yet, the normals at n and o agree
  /// better than those at p and v (angle below 45 degrees, and 30 degrees better), the
  /// quadrilateral is convex at p and at v, and both new triangles keep angles of at least 15
  /// degrees at n and o. Needs the vertex adjacency list (and reads vertex normals).
  static int flipPartner(const KEXTriangleMeshBuffer& b, int c);

protected:
  /// Task "Smooth triangulation": empties the triangle adjacency list, ensures the vertex
  /// adjacency list (restored at the end) and visits every corner in order; a flipped edge makes
  /// the four outer edges of its quadrilateral be visited next (depth first, on an explicit work
  /// stack, so that no mesh is too large). Without vertices, vertex normals or with fewer than two
  /// triangles the buffer is returned unchanged, with success and without a task.
  /// Fails with OutOfMemory ("Out of memory") when the work stack or a flip cannot get memory (the
  /// flips made so far stay), the sub-task's outcome when the adjacency cannot be built, aborted /
  /// GenericError after a stop.
  bool run(void* parameters) override;
};
