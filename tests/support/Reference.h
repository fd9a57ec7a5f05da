#pragma once
// Brute-force references for the buffer's derived lists. They use nothing of the buffer but its
// vertex and triangle lists, so a test can compare any adjacency list against them.
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <gtest/gtest.h>

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

} // namespace kexmeshtest
