#pragma once
// KEXGeometryFilter: base of the mesh filters. Its Geometry property is a view of the filter's four
// links: setting it makes the geometry both first source and first destination (and clears the
// second ones); reading it succeeds only while the filter works in place on one geometry.
#include "kex/Properties.h"
#include "kexmesh/core/ClassRegistration.h"

class KEXGeometryFilter : public KEXFilter {
  KEXMESH_DECLARE_CLASS(KEXGeometryFilter)

public:
  ~KEXGeometryFilter() override;
  KEXGeometryFilter& operator=(const KEXGeometryFilter& other);
  KEXenum getObjectID(int level) const override;

  /// Property flags of the Geometry and TriangleMesh views.
  static constexpr unsigned int VIEW_FLAGS = 0x80000010u;
  static constexpr unsigned int VIEW_PROTECTED_FLAGS = 0x30000u;

protected:
  /// Registers Geometry; allocation failure reports OutOfMemory, a failed registration its code.
  KEXGeometryFilter();
  KEXGeometryFilter(const KEXGeometryFilter& other);

private:
  void registerGeometry();
};
