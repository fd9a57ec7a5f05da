#pragma once
// KEXPolyhedron: a small convex polyhedron that starts as a parallelepiped and is cut by half-spaces,
// every face carrying the integer id of the plane that made it. The reconstruction builds one per
// point of a cloud (a clipped Voronoi cell) and asks which neighbour planes bound it in the end, so
// the object is built for many short lives: all storage lives in the object and is kept across
// createCube calls, which makes the steady state free of allocations.
//
// Representation: vertex positions in double and faces as vertex loops, counter-clockwise seen
// from outside (right-hand normal points out of the solid). Faces keep the order in which they were
// made: the six box faces first, then one face per cutting plane in the order of the cuts.
//
// Box face ids: -1 and -2 lie at the corner and at corner + edgeA (the faces spanned by edgeB and
// edgeC), -3 and -4 at the corner and at corner + edgeB, -5 and -6 at the corner and at
// corner + edgeC.
#include "kex/Values.h"

class KEXPolyhedron {
public:
  /// How often one cut moves its plane by epsilon before it gives up and classifies strictly.
  static constexpr int MAXIMUM_PLANE_SHIFTS = 8;

  KEXPolyhedron() = default;
  ~KEXPolyhedron();
  KEXPolyhedron(const KEXPolyhedron&) = delete;
  KEXPolyhedron& operator=(const KEXPolyhedron&) = delete;

  /// Becomes the parallelepiped {corner + a·edgeA + b·edgeB + c·edgeC : a, b, c in [0, 1]} with the
  /// face ids -1 to -6 (see above). The edge vectors may be given in either handedness; the faces
  /// are oriented outward either way.
  /// \return false (polyhedron unchanged) when the input is not finite, the edge vectors are
  /// linearly dependent, or the storage cannot be allocated.
  bool createCube(const KEXVector3<float>& corner, const KEXVector3<float>& edgeA, const KEXVector3<float>& edgeB,
                  const KEXVector3<float>& edgeC);

  /// Keeps the part {x : (x - point)·normal >= 0} and gives the new face the id. When a vertex lies
  /// within epsilon of the plane (|distance| <= epsilon, epsilon > 0), the plane is moved by
  /// epsilon along normal and the vertices are classified anew, at most MAXIMUM_PLANE_SHIFTS times;
  /// after that a vertex counts as kept only when strictly on the kept side. A plane that keeps
  /// every vertex, or none, changes nothing (and succeeds). A cut whose faces would not close into
  /// one new face (possible only for numerically degenerate, almost coplanar vertices) is treated
  /// the same way.
  /// \pre normal has unit length (the test only rejects squared lengths below 0.5).
  /// \return false (polyhedron unchanged) when normal's squared length is below 0.5 or the input is
  /// not finite, or when growing the storage fails.
  bool applyClippingPlane(const KEXVector3<float>& point, const KEXVector3<float>& normal, int id, float epsilon);

  /// Writes the distinct ids >= minimumId of the current faces into ids, in the order the faces were
  /// made, at most capacity of them. \return the number written (0 for a null ids or capacity < 1).
  int getFaceList(int* ids, int capacity, int minimumId) const;

  /// Writes the file "<prefix><number as %04d>.off": "OFF", the vertex, face and edge (0) counts,
  /// one line per vertex and one polygon line per face. \return false when the file cannot be
  /// opened or written (nothing is written when it cannot be opened).
  bool writeOFF(const char* prefix, int number) const;
  /// Writes the vertex count and the triangle count of a fan triangulation of every face, five zero
  /// lines, one line per vertex and one "a b c" line per triangle. \return false when the file
  /// cannot be opened or written.
  bool writeASCII(const char* fileName) const;

  int getVertexCount() const { return m_vertexCount; }
  /// Position of vertex i, 0 <= i < getVertexCount().
  KEXVector3<double> getVertex(int i) const
  {
    return {m_vertices[3 * i], m_vertices[3 * i + 1], m_vertices[3 * i + 2]};
  }
  int getFaceCount() const { return m_faceCount; }
  /// Id of face f, 0 <= f < getFaceCount().
  int getFaceId(int f) const { return m_faces[f].id; }
  /// Number of corners of face f.
  int getFaceSize(int f) const { return m_faces[f].count; }
  /// Vertex index at corner k of face f (0 <= k < getFaceSize(f)), counter-clockwise seen from outside.
  int getFaceVertex(int f, int k) const { return m_loops[m_faces[f].first + k]; }
  /// Number of triangles in the fan triangulation of all faces (the one writeASCII writes).
  int getTriangleCount() const;

private:
  struct Face {
    int first; // start of the face's loop in the loop array
    int count; // corners
    int id;
  };
  struct Crossing {
    int kept;    // vertex on the kept side
    int removed; // vertex cut away
    int vertex;  // new vertex on that edge
  };

  bool reserve(int vertices, int loops, int faces);
  void updateBounds();

  // Current polyhedron.
  double* m_vertices = nullptr; // 3 per vertex
  int* m_loops = nullptr;
  Face* m_faces = nullptr;
  int m_vertexCount = 0;
  int m_loopCount = 0;
  int m_faceCount = 0;
  // Second set the next cut is built into; the two are exchanged after the cut.
  double* m_nextVertices = nullptr;
  int* m_nextLoops = nullptr;
  Face* m_nextFaces = nullptr;
  // Per vertex of the current polyhedron: signed distance and new index (-1: cut away).
  double* m_distances = nullptr;
  int* m_remap = nullptr;
  // Per new vertex: the next cap vertex (-1 for kept vertices); crossings of the cut.
  int* m_capNext = nullptr;
  Crossing* m_crossings = nullptr;
  int m_vertexCapacity = 0; // of every vertex-sized array
  int m_loopCapacity = 0;
  int m_faceCapacity = 0;
  // Axis-aligned bounds (centre and half extents) of the vertices, for the early out.
  double m_centre[3] = {0, 0, 0};
  double m_halfExtent[3] = {0, 0, 0};
};
