#pragma once
// KEXVector3ListOP: list property of 3D vectors (positions, normals).
#include "kex/Properties.h"
#include "kexmesh/core/ClassRegistration.h"

class KEXVector3ListOP : public KEXValueArrayOP<KEXValueArrayPropertyIF<KEXVector3<float>>, KEXValueList<KEXVector3<float>>> {
  KEXMESH_DECLARE_CLASS(KEXVector3ListOP)

public:
  explicit KEXVector3ListOP(unsigned int flags = 0, unsigned int protectedFlags = 0) : KEXValueArrayOP(flags, protectedFlags) {}
  KEXVector3ListOP(const KEXVector3ListOP& other) = default;
  KEXVector3ListOP& operator=(const KEXVector3ListOP& other) = default;
};
