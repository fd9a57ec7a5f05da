#pragma once
// KEXReconstructTriangleMesh: surface reconstruction as a mesh filter. Its one action, Filter, runs
// KEXConstructTriangulationAlgorithm with its defaults (distance estimated from the cloud, first
// round dot product 0.5, no transient triangles) on the oriented point cloud held by the filter's
// source mesh (its vertices and their normals) and writes the vertices and triangles back. It has
// no properties of its own: a host that needs other settings runs the algorithm on a buffer.
#include "kexmesh/objects/TriangleMeshFilter.h"

class KEXReconstructTriangleMesh : public KEXTriangleMeshFilter {
  KEXMESH_DECLARE_CLASS(KEXReconstructTriangleMesh)

public:
  /// Creates the action Filter, bound to KEXConstructTriangulationAlgorithm. Failing to allocate it
  /// is reported as OutOfMemory, failing to register it as GenericError, both with this filter on
  /// the error channel. Clears the protected flags 0x110100 and applies the class's default flags.
  KEXReconstructTriangleMesh();
  /// A filter of its own with the other's links and a copy of its action.
  KEXReconstructTriangleMesh(const KEXReconstructTriangleMesh& other);
  /// Copies the links and the action (the algorithm class and, once used, a clone of its instance).
  KEXReconstructTriangleMesh& operator=(const KEXReconstructTriangleMesh& other);
  ~KEXReconstructTriangleMesh() override;

  /// "KEXReconstructTriangleMesh" at level 0, the base filter's identity (level - 1) deeper.
  KEXenum getObjectID(int level) const override;

  /// Runs Filter from the source to the destination object.
  /// \return false without action or when the reconstruction fails (destination unchanged).
  bool reconstruct();

  /// The protected flags the constructor clears.
  static constexpr unsigned int CLEARED_PROTECTED_FLAGS = 0x110100;

private:
  class FilterActionAttr;
  void construct();
  FilterActionAttr* m_action = nullptr;
};
