#pragma once
// Internal (not installed): the value properties the normal and transform filters share.
#include "kex/Class.h"
#include "kex/Properties.h"
#include "kex/Values.h"

#include <cmath>

/// VectorLength: the length normals are scaled to. A length must be finite and not negative (an
/// infinite one would turn every normal into infinities); default and reset value 1.
class KEXVectorLengthAttr : public KEXSingleValueOP<KEXSingleValuePropertyIF<float>, float>, public KEXClassMember {
public:
  using KEXClassMember::operator new;
  using KEXClassMember::operator delete;
  KEXVectorLengthAttr() : KEXSingleValueOP(1.0f) {}
  unsigned int check(const float& value) const override
  {
    return std::isfinite(value) && value >= 0.0f ? KEX_CHECK_ACCEPTED : 0u;
  }
};

/// TransformMatrix: a 4x4 matrix whose 16 components are finite and whose determinant is at least
/// 2.220446049250313e-16 in absolute value, so that normals can be turned by its inverse
/// transpose; default and reset value the identity.
class KEXTransformMatrixAttr : public KEXSingleValueOP<KEXSingleValuePropertyIF<KEXMatrix4<float>>, KEXMatrix4<float>>,
                               public KEXClassMember {
public:
  using KEXClassMember::operator new;
  using KEXClassMember::operator delete;
  KEXTransformMatrixAttr() : KEXSingleValueOP(KEXMatrix4<float>::createScaleMatrix(1, 1, 1)) {}
  unsigned int check(const KEXMatrix4<float>& m) const override
  {
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c)
        if (!std::isfinite(m(r, c)))
          return 0u;
    const double det = KEXMatrix4<double>(m).determinant();
    return std::isfinite(det) && std::fabs(det) >= 2.220446049250313e-16 ? KEX_CHECK_ACCEPTED : 0u;
  }
};
