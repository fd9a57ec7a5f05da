#pragma once
// KEXTriangleMeshBuffer: the plain working record every mesh algorithm works on. Fourteen parallel
// lists: vertices and their attributes, triangles and theirs, and lists derived from them
// (adjacency, inner angles, per-corner pages). An optional list is present when it has exactly V
// (or T) entries and absent when empty; every operation keeps present lists parallel.
#include "kex/ValueList.h"
#include "kex/Values.h"
#include "kexmesh/core/CompactIndexArray.h"
#include "kexmesh/core/Triangle.h"

class KEXTriangleMeshBuffer {
public:
  /// Entries per corner page: 87381 * 12 bytes stays below 1 MiB.
  static constexpr int PAGE_SIZE = 87381;
  using Page = KEXValueList<KEXVector3<float>>;

  KEXValueList<KEXVector3<float>> vertexList;
  KEXValueList<KEXCompactIndexArray> vertexAdjacencyList; ///< per vertex its corners, ascending
  KEXValueList<KEXVector3<float>> vertexNormalList;
  KEXValueList<KEXRGBA<float>> vertexColorList;
  KEXValueList<char> vertexEdgeFlagList;
  KEXValueList<float> vertexScalarList;
  KEXValueList<KEXVector2<float>> textureCoordinateList;
  KEXValueList<KEXTriangle<int>> triangleList;
  KEXValueList<KEXTriangle<int>> triangleAdjacencyList; ///< per corner the partner corner or -1
  KEXValueList<KEXVector3<float>> triangleNormalList;
  KEXValueList<KEXRGBA<float>> triangleColorList;
  KEXValueList<KEXVector3<float>> triangleAngleList; ///< inner angles (radians) at corners 0, 1, 2
  KEXValueList<Page> cornerVertexPages;              ///< per corner its vertex position
  KEXValueList<Page> cornerNormalPages;              ///< per corner a smoothed normal

  KEXTriangleMeshBuffer();
  /// Copies all fourteen lists; compare with the source (or use operator=) to detect a short copy.
  KEXTriangleMeshBuffer(const KEXTriangleMeshBuffer& other);
  /// All-or-nothing: builds a complete copy first and exchanges it in only when every list, every
  /// page and every adjacency entry is complete; otherwise the target stays unchanged.
  KEXTriangleMeshBuffer& operator=(const KEXTriangleMeshBuffer& other);
  ~KEXTriangleMeshBuffer() = default;

  /// Exchanges all fourteen lists; never fails, copies nothing.
  void swap(KEXTriangleMeshBuffer& other) noexcept;
  /// Empties all lists and frees their memory. Always true.
  bool clear();
  /// Optional lists have 0 or V (resp. T) entries; page totals are equal and 0 or 3T (the vertex
  /// edge flag list is not tested).
  bool isConsistent() const;

  int getVertexCount() const { return vertexList.getCount(); }
  int getTriangleCount() const { return triangleList.getCount(); }

  // Presence of the optional lists (count equal to V or T, and at least 1).
  bool hasVertexAdjacencyList() const { return isVertexList(vertexAdjacencyList.getCount()); }
  bool hasVertexNormalList() const { return isVertexList(vertexNormalList.getCount()); }
  bool hasVertexColorList() const { return isVertexList(vertexColorList.getCount()); }
  bool hasVertexEdgeFlagList() const { return isVertexList(vertexEdgeFlagList.getCount()); }
  bool hasVertexScalarList() const { return isVertexList(vertexScalarList.getCount()); }
  bool hasTextureCoordinateList() const { return isVertexList(textureCoordinateList.getCount()); }
  bool hasTriangleAdjacencyList() const { return isTriangleList(triangleAdjacencyList.getCount()); }
  bool hasTriangleNormalList() const { return isTriangleList(triangleNormalList.getCount()); }
  bool hasTriangleColorList() const { return isTriangleList(triangleColorList.getCount()); }
  bool hasTriangleAngleList() const { return isTriangleList(triangleAngleList.getCount()); }

  // --- element counts (growing requires consistency; false when memory is short) ---------------
  bool setVertexCount(int n);
  /// first must be 0; sets the vertex count to last + 1.
  bool setVertexIndexRange(int first, int last);
  /// Exchanges vertices i and j with all their lists. With triangles it needs the vertex adjacency
  /// list (absent: false, nothing changed) and renumbers the triangles' corners.
  bool swapVertices(int i, int j);
  /// swapVertices(i, V-1) and a cut. Triangles that used i are the caller's business.
  bool removeVertex(int i);
  bool setTriangleCount(int n);
  bool setTriangleIndexRange(int first, int last);
  /// Exchanges triangles i and j with their lists, keeping both adjacency lists consistent.
  bool swapTriangles(int i, int j);
  bool removeTriangle(int i);
  /// Reverses triangle t keeping corner k; keeps adjacency, angles and normals consistent.
  bool flipTriangle(int t, int k);
  /// Makes every triangle that uses vertex i use j (i stays in the vertex list).
  bool redirectVertex(int i, int j);
  /// Whether a triangle with the same three vertices exists in either orientation (needs the
  /// vertex adjacency list).
  bool containsTriangle(const KEXTriangle<int>& t) const;

  // --- derived lists (each runs under its own task) ---------------------------------------------
  bool createVertexAdjacencyList();
  bool createTriangleAdjacencyList();
  bool createTriangleAngleList();
  bool removeVertexAdjacencyList();
  bool removeTriangleAdjacencyList();
  bool removeTriangleAngleList();
  bool removeTriangleNormalList();

  // --- normals --------------------------------------------------------------------------------
  /// Cross products (length twice the area); degenerate triangles take the mean unit normal of
  /// their non-degenerate vertex neighbours.
  bool calculateTriangleNormals();
  /// Angle-weighted means of the triangle normals (not normalised).
  bool calculateVertexNormals();
  bool harmonizeTriangleNormals(float length);
  bool harmonizeVertexNormals(float length);
  /// Fills the corner pages with positions and crease-aware smoothed normals.
  bool updateCornerNormals(float creaseAngleDegrees);

  // --- measures -------------------------------------------------------------------------------
  bool calculateBoundingBox(KEXInterval<KEXVector3<float>>& box) const;
  /// Per-axis mean sampling distance estimate; fails only without vertices.
  bool calculateMeanSamplingDistance(KEXVector3<float>& result) const;
  /// The same over plain arrays (used by the mesh object's derived value).
  static bool calculateMeanSamplingDistance(const KEXVector3<float>* vertices, int vertexCount,
                                            const KEXTriangle<int>* triangles, int triangleCount,
                                            KEXVector3<float>& result);

  // --- edge operations ------------------------------------------------------------------------
  /// Corner of another triangle on the edge of corner c, or -1.
  int partnerCorner(int c) const;
  /// Replaces the edge of corner c by the other diagonal of the two triangles sharing it.
  bool flipEdge(int c);

  // --- corner helpers -------------------------------------------------------------------------
  static int nextCorner(int c) { return (c % 3 == 2) ? c - 2 : c + 1; }
  static int previousCorner(int c) { return (c % 3 == 0) ? c + 2 : c - 1; }
  int cornerVertex(int c) const { return triangleList[c / 3][c % 3]; }
  bool isValidVertex(int v) const { return v >= 0 && v < vertexList.getCount(); }

  // --- adjacency kept across operations ----------------------------------------------------------
  /// While set, an adjacency list (vertex or triangle) that an operation builds for itself stays
  /// when the operation ends, for the next operation of a sequence; the sequence removes it after
  /// its last step. The operations keep a present list equal to a fresh build, so what they
  /// compute does not change. The setting travels with the lists in swap() and survives clear();
  /// a copy starts without it.
  void setAdjacencyKept(bool kept) { m_adjacencyKept = kept; }
  bool isAdjacencyKept() const { return m_adjacencyKept; }

private:
  bool isVertexList(int count) const { return count >= 1 && count == vertexList.getCount(); }
  bool isTriangleList(int count) const { return count >= 1 && count == triangleList.getCount(); }

  bool m_adjacencyKept = false;
};

/// Makes a derived list available for one operation and puts it back into its former state:
/// present before stays; built here is removed again (with restore-at-end).
class KEXDerivedListScope {
public:
  using Test = bool (KEXTriangleMeshBuffer::*)() const;
  using Operation = bool (KEXTriangleMeshBuffer::*)();

  KEXDerivedListScope(KEXTriangleMeshBuffer& buffer, Test present, Operation create, Operation remove,
                      bool restoreAtEnd);
  ~KEXDerivedListScope();
  KEXDerivedListScope(const KEXDerivedListScope&) = delete;
  KEXDerivedListScope& operator=(const KEXDerivedListScope&) = delete;

  /// True when the list is present, else builds it.
  bool ensure();
  /// Back to the starting state: built here is removed, removed here is built again.
  bool restore();
  bool wasPresent() const { return m_wasPresent; }

  static KEXDerivedListScope vertexAdjacency(KEXTriangleMeshBuffer& b, bool restoreAtEnd);
  static KEXDerivedListScope triangleAdjacency(KEXTriangleMeshBuffer& b, bool restoreAtEnd);
  static KEXDerivedListScope triangleAngles(KEXTriangleMeshBuffer& b, bool restoreAtEnd);
  static KEXDerivedListScope triangleNormals(KEXTriangleMeshBuffer& b, bool restoreAtEnd);

  KEXDerivedListScope(KEXDerivedListScope&& other) noexcept;

private:
  KEXTriangleMeshBuffer* m_buffer;
  Operation m_create, m_remove;
  Test m_present;
  bool m_restoreAtEnd;
  bool m_wasPresent;
};
