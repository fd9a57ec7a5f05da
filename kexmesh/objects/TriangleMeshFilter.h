#pragma once
// KEXTriangleMeshFilter: base of the triangle mesh filters. Its TriangleMesh property forwards
// check, set and get to the Geometry view of the filter's links.
#include "kexmesh/objects/GeometryFilter.h"

class KEXTriangleMeshFilter : public KEXGeometryFilter {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshFilter)

public:
  ~KEXTriangleMeshFilter() override;
  KEXTriangleMeshFilter& operator=(const KEXTriangleMeshFilter& other);
  KEXenum getObjectID(int level) const override;

protected:
  /// Registers TriangleMesh; allocation failure reports OutOfMemory, a failed registration its code.
  KEXTriangleMeshFilter();
  KEXTriangleMeshFilter(const KEXTriangleMeshFilter& other);

private:
  void registerTriangleMesh();
};
