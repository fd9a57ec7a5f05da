#pragma once
// KEXTriangleListOP: list property of triangles (vertex index triples).
#include "kexmesh/objects/TriangleArrayPropertyIF.h"
#include "kexmesh/core/ClassRegistration.h"

class KEXTriangleListOP : public KEXValueArrayOP<KEXTriangleArrayPropertyIF, KEXValueList<KEXTriangle<int>>> {
  KEXMESH_DECLARE_CLASS(KEXTriangleListOP)

public:
  explicit KEXTriangleListOP(unsigned int flags = 0, unsigned int protectedFlags = 0) : KEXValueArrayOP(flags, protectedFlags) {}
  KEXTriangleListOP(const KEXTriangleListOP& other) = default;
  KEXTriangleListOP& operator=(const KEXTriangleListOP& other) = default;
};
