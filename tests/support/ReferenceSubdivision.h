#pragma once
// Brute-force references for the subdivision steps: everything from the vertex and triangle lists
// alone (maps of edges, no adjacency list of the library), meant for consistently oriented meshes
// whose edges have at most two triangles. Also the meshes the subdivision tests sweep over.
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <map>
#include <random>
#include <utility>
#include <vector>

namespace kexmeshtest {

/// The corners of each undirected edge (key: the smaller vertex first).
using EdgeCorners = std::map<std::pair<int, int>, std::vector<int>>;
EdgeCorners edgeCorners(const KEXTriangleMeshBuffer& b);

/// Per old corner the index of its edge's new vertex: V, V + 1, ... in corner order, created by a
/// border corner or by the interior corner whose end vertex has the smaller index.
std::vector<int> referenceEdgeNumbers(const KEXTriangleMeshBuffer& b, const EdgeCorners& edges);

/// The new triangle list of a one-into-four split with the given edge numbers.
std::vector<KEXTriangle<int>> referenceSplit(const KEXTriangleMeshBuffer& b, const std::vector<int>& edgeOf);

/// One Loop step: vertex and triangle lists (all else empty). Interior edges take the border rule
/// of a border end vertex (the mean of both when both are border vertices).
KEXTriangleMeshBuffer referenceLoop(const KEXTriangleMeshBuffer& b);

/// Third vertex of the triangle that runs the directed edge (u, v), per directed edge.
std::map<std::pair<int, int>, int> oppositeOfHalfEdge(const KEXTriangleMeshBuffer& b);

/// A consistently oriented, edge-manifold test mesh, one of several shapes chosen by seed, open or
/// closed, jittered, with shuffled triangles and rotated corners (so numbering varies).
KEXTriangleMeshBuffer randomManifoldMesh(std::mt19937& rng);

/// Largest coordinate difference of two vertex lists of equal length (infinite otherwise).
double largestDifference(const KEXTriangleMeshBuffer& a, const KEXTriangleMeshBuffer& b);

} // namespace kexmeshtest
