#pragma once
// KEXTriangulationTools: static building blocks that append triangles (and, for the two solids,
// vertices) to a caller's triangle mesh buffer: cones from a ring to an apex, minimum-weight
// triangulations of a vertex loop or of a loop of border half-edges, a tessellated ellipsoid and a
// tessellated frustum.
//
// Common behaviour of every function:
// - It fails (returns false) when the buffer is null or not consistent, or when an index it is given
//   is out of range; nothing is appended then.
// - It is all-or-nothing: on any failure (also an allocation failure) the buffer is left exactly as
//   it was.
// - Every present list stays parallel. Appended triangles get a computed normal and inner angles when
//   those lists are present, and a colour (the bordering triangle's for edge loops, else opaque
//   white); appended vertices get their normal (when present), colour white, edge flag 0, scalar 0
//   and a (sector, ring) texture coordinate.
// - When the buffer carries a vertex adjacency list, every appended corner is added to its vertex's
//   list. When it carries a triangle adjacency list, the new triangles are linked: with a vertex
//   adjacency list exactly as a fresh build would link them (an edge of more than two triangles
//   gets -1 everywhere); without one, to each other and, for edge loops, to the loop's half-edges.
#include "kex/ValueList.h"
#include "kex/Values.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

class KEXTriangulationTools {
public:
  /// Fan from a ring to an apex: one triangle (ring[(i+1) % n], ring[i], apex) per ring entry.
  /// \pre ring has at least 3 entries; ring entries and apex are valid vertex indices.
  static bool clockwiseCone(KEXTriangleMeshBuffer* buffer, const KEXValueList<int>& ring, int apex);
  /// As clockwiseCone with the triangles (ring[i], ring[(i+1) % n], apex).
  static bool counterClockwiseCone(KEXTriangleMeshBuffer* buffer, const KEXValueList<int>& ring, int apex);

  /// Appends the n-2 triangles of a minimum-weight triangulation of a closed loop of vertex indices
  /// (weight: the sum of the triangles' perimeters; a triangle that exists already costs a penalty
  /// that loses against every real one; ties go to the smallest split). The triangle of sub-range
  /// (i, j) split at k is (v[i], v[j], v[k]).
  /// \pre loop has at least 3 entries, all valid vertex indices.
  /// \return false also when the weight table (n(n-1)/2 records of 24 bytes) cannot be allocated.
  static bool clockwiseVertexLoop(KEXTriangleMeshBuffer* buffer, const KEXValueList<int>& loop);
  /// clockwiseVertexLoop on the loop in reverse order.
  static bool counterClockwiseVertexLoop(KEXTriangleMeshBuffer* buffer, const KEXValueList<int>& loop);

  /// What became of an edge loop, for callers that must tell a loop that cannot be filled from a
  /// failure.
  enum class EdgeLoopOutcome {
    Filled,      ///< the loop is closed with n-2 new triangles
    Unfillable,  ///< every triangulation needs a forbidden candidate (see below); nothing appended
    Invalid,     ///< the buffer or the loop breaks a precondition; nothing appended
    OutOfMemory, ///< the weight table or a list could not grow; nothing appended
  };

  /// Fills a closed loop of border half-edges (corner indices 3t+k, each naming the edge that ends
  /// at that corner) with the n-2 triangles of the minimum-weight triangulation of the corners'
  /// vertices, oriented against the loop so that they continue the surface consistently, and links
  /// them to the loop's half-edges in the triangle adjacency list.
  /// The fill never makes an edge non-manifold nor a triangle duplicate: a diagonal between two
  /// loop vertices that are not loop neighbours but are joined by an edge of the mesh already, and
  /// a triangle whose three vertices form a triangle of the mesh already (either orientation, also
  /// for n = 3), are forbidden. When no triangulation avoids them, or the loop visits a vertex
  /// twice, the loop is unfillable: false, nothing appended. The mesh is consulted through the
  /// vertex adjacency list of the loop's vertices, or by one pass over the triangles without one.
  /// \pre loop has at least 3 corners; each corner's edge starts where the previous corner's edge
  ///      ends (the last one's where the first one's starts); with a triangle adjacency list every
  ///      loop corner is a border corner (negative entry).
  static bool clockwiseEdgeLoop(KEXTriangleMeshBuffer* buffer, const KEXValueList<int>& loop);
  /// The same on a plain array of n corners (used by the gap closing to pass part of its loop).
  static bool clockwiseEdgeLoop(KEXTriangleMeshBuffer* buffer, const int* loop, int n);
  /// The same, telling in outcome why a loop was not filled (Filled exactly when it returns true).
  static bool clockwiseEdgeLoop(KEXTriangleMeshBuffer* buffer, const int* loop, int n, EdgeLoopOutcome& outcome);

  /// Appends a closed, outward-oriented ellipsoid around center with the given per-axis radii whose
  /// edges are about edgeLength long: (rings-1)*sectors + 2 vertices and 2*sectors*(rings-1)
  /// triangles.
  /// \pre edgeLength and all radii larger than 1.1920929e-7 (after the 0.875 edge factor).
  static bool ellipsoid(KEXTriangleMeshBuffer* buffer, const KEXVector3<float>& center,
                        const KEXVector3<float>& radii, float edgeLength);

  /// Appends a closed, outward-oriented truncated cone with axis from bottom (radius bottomRadius)
  /// to top (radius topRadius), both caps closed. Edges are at most 0.875*edgeLength long (strip
  /// diagonals up to sqrt(2) of that): the sector chord of the larger circle, the ring spacing along
  /// the side and across each cap all stay within it, with at least eight sectors. Vertex layout as the ellipsoid's: the bottom centre first, then rings from
  /// the bottom cap over the side to the top cap, the top centre last.
  /// \pre both radii, the axis length and 0.875*edgeLength larger than 1.1920929e-7.
  static bool frustrum(KEXTriangleMeshBuffer* buffer, const KEXVector3<float>& bottom, const KEXVector3<float>& top,
                       float bottomRadius, float topRadius, float edgeLength);

  /// Bytes the weight table of a loop of n entries needs (0 when n < 3; SIZE_MAX when it cannot be
  /// represented).
  static size_t loopTableBytes(int n);
};
