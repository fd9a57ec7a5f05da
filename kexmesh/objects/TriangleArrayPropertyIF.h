#pragma once
// KEXTriangleArrayPropertyIF: the array property interface for triangles. Triangles compare
// component by component in order, so a rotated triangle is a different item.
#include "kex/Properties.h"
#include "kexmesh/core/ClassRegistration.h"
#include "kexmesh/core/Triangle.h"

class KEXTriangleArrayPropertyIF : public KEXValueArrayPropertyIF<KEXTriangle<int>> {
  KEXMESH_DECLARE_CLASS(KEXTriangleArrayPropertyIF)

public:
  explicit KEXTriangleArrayPropertyIF(unsigned int flags = 0, unsigned int protectedFlags = 0)
      : KEXValueArrayPropertyIF(flags, protectedFlags) {}
  /// Lexicographic over components 0, 1, 2: negative, 0 or positive.
  int compare(const KEXTriangle<int>& a, const KEXTriangle<int>& b) const override;
};
