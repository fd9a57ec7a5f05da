#pragma once
// KEXILPSmoothing: the Laplacian smoothing pass as a mesh filter. Its one action, Filter, runs
// KEXILPSmoothingAlgorithm on the filter's source mesh and writes the result to its destination.
#include "kexmesh/objects/TriangleMeshFilter.h"

class KEXILPSmoothing : public KEXTriangleMeshFilter {
  KEXMESH_DECLARE_CLASS(KEXILPSmoothing)

public:
  /// The action Filter, a mesh action bound to KEXILPSmoothingAlgorithm. Failing to create or register it
  /// is reported as OutOfMemory with this filter on the error channel.
  KEXILPSmoothing();
  /// A filter of its own with the other's links.
  KEXILPSmoothing(const KEXILPSmoothing& other);
  KEXILPSmoothing& operator=(const KEXILPSmoothing& other);
  ~KEXILPSmoothing() override;

  /// "KEXILPSmoothing" at level 0, the base filter's identity (level - 1) deeper.
  KEXenum getObjectID(int level) const override;

private:
  struct Private;
  void construct();
  Private* m_private = nullptr;
};
