// Prefetching the corner positions of a triangle some distance ahead in a loop over triangles.
// Such loops gather three positions per triangle from anywhere in the vertex list; without a hint
// they wait for memory at nearly every triangle of a large mesh whose vertex order is not spatial.
#pragma once

#include "kex/Values.h"

namespace kexmeshcore {

/// How many triangles ahead a gather loop asks for positions.
constexpr int PREFETCH_DISTANCE = 24;

/// Asks for the corner positions of triangle t when t < T; an index outside 0 ... V-1 is skipped
/// (nothing is read there later either).
inline void prefetchCorners(const KEXVector3<float>* positions, unsigned V, const KEXTriangle<int>* triangles, int t,
                            int T)
{
  if (t >= T)
    return;
  for (int k = 0; k < 3; ++k)
    if (unsigned(triangles[t][k]) < V)
      __builtin_prefetch(positions + triangles[t][k]);
}

} // namespace kexmeshcore
