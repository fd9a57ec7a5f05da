#pragma once
// KEXMBFSubdivision: the modified butterfly subdivision step as a mesh filter. Its one action, Filter, runs
// KEXMBFSubdivisionAlgorithm on a copy of the first source mesh and writes the result to the first
// destination.
#include "kexmesh/objects/TriangleMeshFilter.h"

class KEXMBFSubdivision : public KEXTriangleMeshFilter {
  KEXMESH_DECLARE_CLASS(KEXMBFSubdivision)

public:
  /// Registers the action Filter; a failed allocation or registration is reported as OutOfMemory
  /// with this filter on the error channel.
  KEXMBFSubdivision();
  /// A filter of its own (its own action and algorithm) with the other's links.
  KEXMBFSubdivision(const KEXMBFSubdivision& other);
  KEXMBFSubdivision& operator=(const KEXMBFSubdivision& other);
  ~KEXMBFSubdivision() override;

  /// "KEXMBFSubdivision" at level 0, the base filter's identity (level - 1) deeper.
  KEXenum getObjectID(int level) const override;

  /// Runs Filter from the source to the destination object.
  /// \return false without private record or when the step fails (destination unchanged).
  bool filter();

private:
  struct Private;
  void construct();
  Private* m_private = nullptr;
};
