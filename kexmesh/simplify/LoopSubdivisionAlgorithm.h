#pragma once
// KEXLoopSubdivisionAlgorithm: one step of Loop subdivision. Every edge gets a new vertex, every
// old vertex moves by the Loop vertex rule, every triangle is replaced by four; a border follows
// the cubic boundary curve.
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXLoopSubdivisionAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXLoopSubdivisionAlgorithm)

protected:
  /// Task "Subdividing triangle mesh". The buffer ends with V + E vertices (E the edges; an edge of
  /// three or more triangles counts once per triangle) and 4T triangles in the orientation of
  /// their old triangle; old triangle t keeps its place as the corner triangle at its first vertex,
  /// the three others follow at T + 3t, T + 3t + 1, T + 3t + 2. Vertices no triangle uses keep
  /// their positions. The triangle adjacency list, when present before, describes the new mesh;
  /// normals, colours, texture coordinates, scalars, edge flags, angles, corner pages and a vertex
  /// adjacency list given by the caller are emptied (none of them can be carried to the new
  /// elements by this rule).
  /// \pre the mesh is consistently oriented (partners run their shared edge the other way).
  /// Fails, with the buffer unchanged, with InvalidIndex ("Found an invalid triangle") for a
  /// triangle index outside the vertex list, InvalidOperation ("Found inconsistently oriented
  /// triangles"), OutOfMemory ("Out of memory") when a list cannot grow or the output would not
  /// fit int indices, the sub-task's outcome when an adjacency list cannot be built, and aborted /
  /// GenericError after a stop.
  bool run(void* parameters) override;
};
