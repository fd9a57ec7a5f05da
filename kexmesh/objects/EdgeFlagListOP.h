#pragma once
// KEXEdgeFlagListOP: list property of vertex edge flags, kept as one byte each and read back as int.
#include "kex/Properties.h"
#include "kexmesh/core/ClassRegistration.h"

class KEXEdgeFlagListOP : public KEXValueArrayOP<KEXValueArrayPropertyIF<int>, KEXValueList<char>> {
  KEXMESH_DECLARE_CLASS(KEXEdgeFlagListOP)

public:
  explicit KEXEdgeFlagListOP(unsigned int flags = 0, unsigned int protectedFlags = 0) : KEXValueArrayOP(flags, protectedFlags) {}
  KEXEdgeFlagListOP(const KEXEdgeFlagListOP& other) = default;
  KEXEdgeFlagListOP& operator=(const KEXEdgeFlagListOP& other) = default;
};
