#pragma once
// KEXVector2ListOP: list property of 2D vectors (texture coordinates).
#include "kex/Properties.h"
#include "kexmesh/core/ClassRegistration.h"

class KEXVector2ListOP : public KEXValueArrayOP<KEXValueArrayPropertyIF<KEXVector2<float>>, KEXValueList<KEXVector2<float>>> {
  KEXMESH_DECLARE_CLASS(KEXVector2ListOP)

public:
  explicit KEXVector2ListOP(unsigned int flags = 0, unsigned int protectedFlags = 0) : KEXValueArrayOP(flags, protectedFlags) {}
  KEXVector2ListOP(const KEXVector2ListOP& other) = default;
  KEXVector2ListOP& operator=(const KEXVector2ListOP& other) = default;
};
