#pragma once
// KEXModifyTriangleMesh: computes or normalises the vertex and triangle normals of the filter's
// mesh in place. Its VectorLength is the length the two harmonize actions scale normals to.
#include "kexmesh/objects/TriangleMeshFilter.h"

class KEXModifyTriangleMesh : public KEXTriangleMeshFilter {
  KEXMESH_DECLARE_CLASS(KEXModifyTriangleMesh)

public:
  /// Registers VectorLength and the actions CalculateVertexNormals, HarmonizeVertexNormals,
  /// CalculateTriangleNormals, HarmonizeTriangleNormals (in that order). A failed allocation or
  /// registration is reported as OutOfMemory with this filter on the error channel.
  KEXModifyTriangleMesh();
  /// A filter of its own with the other's links and vector length.
  KEXModifyTriangleMesh(const KEXModifyTriangleMesh& other);
  KEXModifyTriangleMesh& operator=(const KEXModifyTriangleMesh& other);
  ~KEXModifyTriangleMesh() override;

  /// "KEXModifyTriangleMesh" at level 0, the base filter's identity (level - 1) deeper.
  KEXenum getObjectID(int level) const override;

  /// Sets VectorLength; false (value kept) for a negative or non-finite length or without private
  /// record.
  bool setVectorLength(float length);
  /// VectorLength; 1.0 without private record.
  float getVectorLength() const;

  /// Each runs its action from the source to the destination object (written only on success).
  /// \return false without private record or when the step fails (destination unchanged).
  bool calculateVertexNormals();
  bool harmonizeVertexNormals();
  bool calculateTriangleNormals();
  bool harmonizeTriangleNormals();

  /// Not offered by this filter: each does nothing and returns false.
  bool discardVertexNormals();
  bool discardTriangleNormals();
  bool calculateVertexColors();
  bool discardVertexColors();
  bool calculateTriangleColors();
  bool discardTriangleColors();

private:
  struct Private;
  void construct();
  Private* m_private = nullptr;
};
