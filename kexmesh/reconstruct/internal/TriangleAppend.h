#pragma once
// Internal (not installed): the append step shared by the triangulation tools (fans, strips,
// solids) and the loop triangulation. Everything appended is all-or-nothing: the triangle list
// grows once, and when a later step fails the appended corners leave the adjacency lists and the
// lists are cut back to their old length.
#include "kex/Values.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

namespace kextriangulation {

using Buffer = KEXTriangleMeshBuffer;
using Tri = KEXTriangle<int>;
using Vec3 = KEXVector3<float>;
using Vec3d = KEXVector3<double>;

/// A buffer the tools may append to: present and consistent.
bool validBuffer(const Buffer* b);
/// Normal, angles and colour of the appended triangles t0 ... T-1 (for the lists that are present).
void fillTriangleAttributes(Buffer& b, int t0, const KEXRGBA<float>& color);
/// Links x and y both ways. Should either be linked already (a corner named twice), the edge is
/// shared by more than two triangles and every corner involved gets -1 instead.
void linkPair(Buffer& b, int x, int y);
/// The last step of every append (vertex adjacency, then triangle adjacency, internally linked
/// when linkInternally). False, with the appended triangles gone again, when memory is short.
bool finishAppend(Buffer& b, int t0, bool linkInternally);

} // namespace kextriangulation
