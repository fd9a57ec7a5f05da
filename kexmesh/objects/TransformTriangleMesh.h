#pragma once
// KEXTransformTriangleMesh: applies its TransformMatrix to the vertex list and both normal lists of
// the filter's mesh. The action Filter runs the three transforms as one sequence (one read, one
// write); each transform is also an action of its own.
#include "kex/Values.h"
#include "kexmesh/objects/TriangleMeshFilter.h"

class KEXTransformTriangleMesh : public KEXTriangleMeshFilter {
  KEXMESH_DECLARE_CLASS(KEXTransformTriangleMesh)

public:
  /// Registers TransformMatrix, VectorLength and the actions Filter, TransformTriangleNormalList,
  /// TransformVertexList, TransformVertexNormalList (in that order). A failed allocation or
  /// registration is reported as OutOfMemory with this filter on the error channel.
  KEXTransformTriangleMesh();
  /// A filter of its own with the other's links, matrix and vector length.
  KEXTransformTriangleMesh(const KEXTransformTriangleMesh& other);
  KEXTransformTriangleMesh& operator=(const KEXTransformTriangleMesh& other);
  ~KEXTransformTriangleMesh() override;

  /// "KEXTransformTriangleMesh" at level 0, the base filter's identity (level - 1) deeper.
  KEXenum getObjectID(int level) const override;

  /// Sets TransformMatrix; false (matrix kept) for a matrix with a non-finite component or an
  /// absolute determinant below 2.220446049250313e-16, or without private record.
  bool setTransformMatrix(const KEXMatrix4<float>& matrix);
  /// TransformMatrix; the identity without private record.
  KEXMatrix4<float> getTransformMatrix() const;
  /// Sets VectorLength (finite, at least 0). The transforms do not renormalise, so no step reads
  /// it; it is kept for hosts that set it. False (kept) when refused.
  bool setVectorLength(float length);
  float getVectorLength() const;

private:
  struct Private;
  void construct();
  void copyValues(const KEXTransformTriangleMesh& other);
  Private* m_private = nullptr;
};
