#pragma once
// Internal (not installed): the inner angles of many triangles at once, bit for bit those of
// KEXTriangleCalculus::angles, for the passes that need every triangle's angles.
#include "kex/Values.h"
#include "kexmesh/core/Triangle.h"

namespace kexmeshcore {

/// out[i] = the inner angles of triangle tris[i] (i < n) as KEXTriangleCalculus::angles gives them,
/// converted to float. Every index must be a valid index into p.
void triangleAngles(const KEXVector3<float>* p, const KEXTriangle<int>* tris, int n, KEXVector3<float>* out);

} // namespace kexmeshcore
