#pragma once
// KEXEnhanceTriangleMesh: the triangle quality filter. Two actions on the filter's mesh: removing
// cap-shaped triangles by edge flips (limits from the filter's AngleLimits, CapAngleLimits and
// NeedleAngleLimits) and repairing degenerate triangles.
#include "kexmesh/objects/TriangleMeshFilter.h"

class KEXEnhanceTriangleMesh : public KEXTriangleMeshFilter {
  KEXMESH_DECLARE_CLASS(KEXEnhanceTriangleMesh)

public:
  /// Registers AngleLimits, CapAngleLimits, NeedleAngleLimits and the actions RemoveCapTriangles,
  /// RemoveDegenerateTriangles. A failed allocation or registration is reported as OutOfMemory
  /// with this filter on the error channel.
  KEXEnhanceTriangleMesh();
  /// A filter of its own with the other's links and limits.
  KEXEnhanceTriangleMesh(const KEXEnhanceTriangleMesh& other);
  KEXEnhanceTriangleMesh& operator=(const KEXEnhanceTriangleMesh& other);
  ~KEXEnhanceTriangleMesh() override;

  /// "KEXEnhanceTriangleMesh" at level 0, the base filter's identity (level - 1) deeper.
  KEXenum getObjectID(int level) const override;

  /// Runs RemoveCapTriangles from the source to the destination object.
  /// \return false without private record or when the step fails (destination unchanged).
  bool removeCapTriangles();
  /// Runs RemoveDegenerateTriangles from the source to the destination object.
  /// \return false without private record or when the step fails (destination unchanged).
  bool removeDegenerateTriangles();

private:
  struct Private;
  void construct();
  void copyValues(const KEXEnhanceTriangleMesh& other);
  Private* m_private = nullptr;
};
