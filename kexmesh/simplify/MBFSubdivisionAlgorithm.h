#pragma once
// KEXMBFSubdivisionAlgorithm: one step of interpolating subdivision by the modified butterfly
// scheme. Old vertices keep their positions; each edge gets a vertex from a stencil chosen by the
// kinds of its two end vertices (regular or extraordinary, interior or on the border); each
// triangle is replaced by four. Vertex and triangle attributes are carried to the new elements.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXMBFSubdivisionAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXMBFSubdivisionAlgorithm)

protected:
  /// Task "Subdividing triangle mesh". The buffer ends with V + E vertices and 4T triangles laid
  /// out as by the Loop step (old triangle t first, its three others at T + 3t ...). New vertices
  /// get normals (unit), colours, texture coordinates and edge flags interpolated from their edge
  /// when those lists are present; the three new triangles of t take its colour; triangle normals,
  /// when present, are recomputed as unit normals of the new triangles. A present triangle
  /// adjacency list describes the new mesh. Vertex scalars, triangle angles, corner pages and a
  /// vertex adjacency list given by the caller are emptied.
  /// \pre the mesh is consistently oriented.
  /// Fails, with the buffer unchanged, with InvalidIndex ("Found an invalid triangle") for a
  /// triangle index outside the vertex list or an interior edge whose two ends are the same
  /// vertex, InvalidOperation ("Found inconsistently oriented triangles"), OutOfMemory ("Out of
  /// memory"), the sub-task's outcome when an adjacency list cannot be built, and aborted /
  /// GenericError after a stop.
  bool run(void* parameters) override;
};
