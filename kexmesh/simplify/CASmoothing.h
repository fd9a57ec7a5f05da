#pragma once
// KEXCASmoothing: the circular-arc smoothing pass as a mesh filter. Its one action, Filter, runs
// KEXCASmoothingAlgorithm on the filter's source mesh and writes the result to its destination.
#include "kexmesh/objects/TriangleMeshFilter.h"

class KEXCASmoothing : public KEXTriangleMeshFilter {
  KEXMESH_DECLARE_CLASS(KEXCASmoothing)

public:
  /// The action Filter, a mesh action bound to KEXCASmoothingAlgorithm. Failing to create or register it
  /// is reported as OutOfMemory with this filter on the error channel.
  KEXCASmoothing();
  /// A filter of its own with the other's links.
  KEXCASmoothing(const KEXCASmoothing& other);
  KEXCASmoothing& operator=(const KEXCASmoothing& other);
  ~KEXCASmoothing() override;

  /// "KEXCASmoothing" at level 0, the base filter's identity (level - 1) deeper.
  KEXenum getObjectID(int level) const override;

private:
  struct Private;
  void construct();
  Private* m_private = nullptr;
};
