#pragma once
// KEXRGBAListOP: list property of colours, kept as one byte per channel and read back as floats (b / 255).
#include "kex/Properties.h"
#include "kexmesh/core/ClassRegistration.h"

class KEXRGBAListOP : public KEXValueArrayOP<KEXValueArrayPropertyIF<KEXRGBA<float>>, KEXValueList<KEXRGBA<unsigned char>>> {
  KEXMESH_DECLARE_CLASS(KEXRGBAListOP)

public:
  explicit KEXRGBAListOP(unsigned int flags = 0, unsigned int protectedFlags = 0) : KEXValueArrayOP(flags, protectedFlags) {}
  KEXRGBAListOP(const KEXRGBAListOP& other) = default;
  KEXRGBAListOP& operator=(const KEXRGBAListOP& other) = default;
};
