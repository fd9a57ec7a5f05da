#pragma once
// An independent judge of a repair: counts computed from the triangle list alone (no adjacency,
// normals or any other algorithm of the library), and a point-to-surface distance on a uniform grid.
// Written for comparing a mesh before and after an operation on real data.
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kexmeshtest {

struct MeshQuality {
  int vertices = 0, triangles = 0;
  int usedVertices = 0;
  int borderEdges = 0;      ///< edges of exactly one triangle
  int nonManifoldEdges = 0; ///< edges of three or more triangles
  int inconsistentEdges = 0; ///< edges of two triangles that run them in the same direction
  int duplicateTriangles = 0; ///< triangles whose vertex set another triangle has already
  int components = 0;       ///< connected by shared edges
  int closedComponents = 0; ///< every edge of two triangles, consistently oriented
  int inwardComponents = 0; ///< closed components of negative volume
  double area = 0.0;

  std::string summary() const;
};

MeshQuality measure(const KEXTriangleMeshBuffer& b);

/// A uniform grid over the triangles of a surface that answers "is p within r of the surface".
class SurfaceDistance {
public:
  explicit SurfaceDistance(const KEXTriangleMeshBuffer& surface);
  /// Distance from p to the nearest triangle when it is at most r, else a value above r.
  double within(const KEXVector3<double>& p, double r) const;
  /// How many points of points (their used vertices when usedOnly) are farther than r from the
  /// surface; the largest distance found (capped just above r) goes to worst.
  int countFarther(const KEXTriangleMeshBuffer& points, double r, double& worst, bool usedOnly = true) const;

private:
  int64_t key(int64_t x, int64_t y, int64_t z) const;
  std::vector<KEXVector3<double>> m_corners; // three per triangle
  std::vector<int64_t> m_cellKeys;           // sorted, parallel to m_cellStart
  std::vector<int> m_cellStart, m_items;
  KEXVector3<double> m_origin;
  double m_cell = 1.0;
};

/// How far the points of `from` lie from the points of `to`: the largest distance of a finite point
/// of `from` to its nearest finite point of `to`, when it is at most limit; otherwise a value just
/// above limit. A hash grid of cell size cell, searched in growing shells of cells until the
/// nearest point found is final.
double largestGap(const KEXVector3<float>* from, int fromCount, const KEXVector3<float>* to, int toCount, double cell,
                  double limit);

} // namespace kexmeshtest
