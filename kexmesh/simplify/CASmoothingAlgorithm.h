#pragma once
// KEXCASmoothingAlgorithm: one pass of circular-arc smoothing. Every vertex moves along its own
// unit normal towards the circular arcs that its neighbours' positions and normals describe.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXCASmoothingAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXCASmoothingAlgorithm)

protected:
  /// Task "Smoothing triangle mesh": empties the vertex colours and the triangle normals and
  /// colours, builds the adjacency lists and (when absent) the vertex normals, brings the vertex
  /// normals to unit length and moves every vertex with triangles by minus half the mean of its
  /// neighbours' arc offsets along its normal, all from the old positions. The derived lists it
  /// built are removed again; a vertex normal list that was given stays, harmonized and not
  /// recomputed; a triangle angle list that was given is rebuilt and the corner pages are emptied
  /// (they held the old positions). Vertices that no triangle uses stay where they are.
  /// Fails with the failing step's outcome (GenericError, or the harmonization's InvalidValue for a
  /// normal that has no direction), "Out of memory" and GenericError when the copy of the vertex
  /// list cannot be made, aborted or GenericError after a stop; the positions are then unchanged.
  bool run(void* parameters) override;
};
