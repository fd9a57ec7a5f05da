#pragma once
// KEXILPSmoothingAlgorithm: one pass of Laplacian smoothing that keeps the outline of an open mesh
// in place. Every interior vertex moves to the mean of its ring neighbours' old positions.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXILPSmoothingAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXILPSmoothingAlgorithm)

protected:
  /// Task "Smoothing triangle mesh": the same preparation as the circular-arc pass (colours and
  /// triangle normals emptied, adjacency lists, unit vertex normals), then every vertex whose fan
  /// walk from its first corner closes moves to the mean of its ring's old positions. Border
  /// vertices, vertices at an edge of more than two triangles or at an inconsistently oriented
  /// neighbour, and vertices no triangle uses keep their positions. Derived lists as in the
  /// circular-arc pass.
  /// Fails with the failing step's outcome (the harmonization's InvalidValue for a normal without
  /// direction), "Out of memory" and GenericError when the copy of the vertex list cannot be made,
  /// aborted or GenericError after a stop; the positions are then unchanged.
  bool run(void* parameters) override;
};
