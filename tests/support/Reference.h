#pragma once
// Brute-force references for the buffer's derived lists and for the subdivision steps. They use
// nothing of the buffer but its vertex and triangle lists (maps of edges, no adjacency list of the
// library); the subdivision references are meant for consistently oriented meshes whose edges have
// at most two triangles. Also the meshes the subdivision tests sweep over.
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <utility>
#include <vector>

namespace kexmeshtest {

/// Per vertex the ascending corners c (= 3t + k) whose triangle entry is that vertex; corners with
/// an invalid vertex index appear nowhere.
std::vector<std::vector<int>> referenceVertexAdjacency(const KEXTriangleMeshBuffer& b);

/// Per corner the partner across its edge (the edge runs from the previous corner's vertex to the
/// corner's vertex): the one other corner whose edge joins the same two vertices, or -1 when there
/// is none, more than one, or the edge has an invalid or a repeated vertex index.
std::vector<int> referenceTriangleAdjacency(const KEXTriangleMeshBuffer& b);

/// Whether some triangle uses the three vertices of t, in either orientation (linear scan); false
/// when t[0] is not a valid vertex index (the buffer answers from t[0]'s corner list).
bool referenceContainsTriangle(const KEXTriangleMeshBuffer& b, const KEXTriangle<int>& t);

/// The buffer's vertexAdjacencyList compared with the reference (must be present, or empty for V = 0).
::testing::AssertionResult vertexAdjacencyMatches(const KEXTriangleMeshBuffer& b);
/// The buffer's triangleAdjacencyList compared with the reference (must have T entries).
::testing::AssertionResult triangleAdjacencyMatches(const KEXTriangleMeshBuffer& b);


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
