#pragma once
// KEXRemoveCapTrianglesAlgorithm: removes cap-shaped triangles (one inner angle near 180 degrees) by
// flipping the edge opposite the obtuse angle where that keeps the surface's shape and makes no
// other triangle worse.
#include "kex/Values.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"

class KEXRemoveCapTrianglesAlgorithm : public KEXTriangleMeshAlgorithmIF {
  KEXMESH_DECLARE_CLASS(KEXRemoveCapTrianglesAlgorithm)

public:
  /// Defaults: angle limits (0, 1), cap angle limits (135, 180), needle angle limits (0, 10), all
  /// in degrees.
  KEXRemoveCapTrianglesAlgorithm();
  KEXRemoveCapTrianglesAlgorithm(const KEXRemoveCapTrianglesAlgorithm& other);
  KEXRemoveCapTrianglesAlgorithm& operator=(const KEXRemoveCapTrianglesAlgorithm& other);
  ~KEXRemoveCapTrianglesAlgorithm() override = default;

  /// Allowed range of the angle between the normals of the two triangles of a flip (degrees).
  /// \return false (keeping the old value) unless 0 <= first <= second <= 180.
  bool setAngleLimits(const KEXValuePair<float>& limits);
  const KEXValuePair<float>& getAngleLimits() const { return m_angleLimits; }
  /// An inner angle in this range (degrees, inclusive) makes a cap corner.
  /// \return false (keeping the old value) unless 0 <= first <= second <= 180.
  bool setCapAngleLimits(const KEXValuePair<float>& limits);
  const KEXValuePair<float>& getCapAngleLimits() const { return m_capAngleLimits; }
  /// An inner angle in this range (degrees, inclusive) is a needle angle; a flip may not raise
  /// their number. \return false (keeping the old value) unless 0 <= first <= second <= 180.
  bool setNeedleAngleLimits(const KEXValuePair<float>& limits);
  const KEXValuePair<float>& getNeedleAngleLimits() const { return m_needleAngleLimits; }

protected:
  /// Sweeps the triangles from the last to the first and flips the edge opposite each cap corner
  /// when the pair is coplanar within the angle limits, the quadrilateral is convex, no new cap
  /// angle appears at the ends of the old diagonal, the number of needle angles does not grow and
  /// the new diagonal is not an edge yet. After a flip the neighbourhood is revisited. Derived
  /// lists built here are removed at the end; the triangle normal list holds the unnormalised
  /// normals of flipped triangles.
  /// \pre the buffer is consistent (the frame's init).
  /// \return false when a derived list cannot be built (the sub-task's status; also for an invalid
  /// vertex index), working memory is short (OutOfMemory), a flip's adjacency update fails
  /// (GenericError) or the run is aborted; a stop ends early with success. Flips made so far stay
  /// and every list stays consistent.
  bool run(void* parameters) override;

private:
  KEXValuePair<float> m_angleLimits;
  KEXValuePair<float> m_capAngleLimits;
  KEXValuePair<float> m_needleAngleLimits;
};
