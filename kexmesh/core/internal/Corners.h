#pragma once
// Internal (not installed): corner arithmetic beyond the buffer's public helpers. Corner c is
// corner c % 3 of triangle c / 3; next/previous corner and a corner's vertex are
// KEXTriangleMeshBuffer::nextCorner, previousCorner and cornerVertex.
#include "kexmesh/core/CompactIndexArray.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

namespace kexcorner {

/// The triangle adjacency entry of corner c (the partner corner or -1), writable.
inline int& adjacency(KEXTriangleMeshBuffer& b, int c) { return b.triangleAdjacencyList[c / 3][c % 3]; }

/// Whether two ascending vertex corner lists name a common triangle.
inline bool shareTriangle(const KEXCompactIndexArray& la, const KEXCompactIndexArray& lb)
{
  int i = 0, j = 0;
  const int na = la.getCount(), nb = lb.getCount();
  while (i < na && j < nb) {
    const int ta = la[i] / 3, tb = lb[j] / 3;
    if (ta == tb)
      return true;
    if (ta < tb)
      ++i;
    else
      ++j;
  }
  return false;
}

} // namespace kexcorner
