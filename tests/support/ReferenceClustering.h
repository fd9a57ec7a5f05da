#pragma once
// Brute-force single-linkage clustering and welding: clusters are the connected components of the
// graph whose edges are the vertex pairs (O(n^2) tests) accepted by
// the pair rule of vertex clustering (squared distance in double at most d * d; with
// vertex normals also a dot product of at least cos(90.01 degrees)). Used to check the tree-based,
// multi-threaded clustering on small random clouds.
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <vector>

namespace kexmeshtest {

/// The buffer vertex clustering should produce: clusters numbered by their smallest index, each at
/// the mean of its positions (colours, scalars likewise; the normal sum renormalised; texture
/// coordinates and edge flags of the smallest index), triangles renumbered from the last to the
/// first with collapsed ones exchanged with the last kept triangle and cut. Per-vertex lists of the
/// wrong length are cleared, adjacency lists emptied, as the algorithm does.
KEXTriangleMeshBuffer referenceWeld(const KEXTriangleMeshBuffer& b, float distance);

} // namespace kexmeshtest
