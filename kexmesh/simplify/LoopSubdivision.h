#pragma once
// KEXLoopSubdivision: the Loop subdivision step as a mesh filter. Its one action, Filter, runs
// KEXLoopSubdivisionAlgorithm on a copy of the first source mesh and writes the result to the first
// destination.
#include "kexmesh/objects/TriangleMeshFilter.h"

class KEXLoopSubdivision : public KEXTriangleMeshFilter {
  KEXMESH_DECLARE_CLASS(KEXLoopSubdivision)

public:
  /// Registers the action Filter; a failed allocation or registration is reported as OutOfMemory
  /// with this filter on the error channel.
  KEXLoopSubdivision();
  /// A filter of its own (its own action and algorithm) with the other's links.
  KEXLoopSubdivision(const KEXLoopSubdivision& other);
  KEXLoopSubdivision& operator=(const KEXLoopSubdivision& other);
  ~KEXLoopSubdivision() override;

  /// "KEXLoopSubdivision" at level 0, the base filter's identity (level - 1) deeper.
  KEXenum getObjectID(int level) const override;

  /// Runs Filter from the source to the destination object.
  /// \return false without private record or when the step fails (destination unchanged).
  bool filter();

private:
  struct Private;
  void construct();
  Private* m_private = nullptr;
};
