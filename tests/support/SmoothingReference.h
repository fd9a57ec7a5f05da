#pragma once
// Brute-force references of the one-pass smoothing algorithms, built from the triangle list alone
// (an edge table, no adjacency list of the library), and the random surfaces they are compared on.
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <random>
#include <vector>

namespace kexmeshtest {

/// The neighbours of vertex i as the passes see them: the triangles of i joined through edges
/// {i, w} that exactly two triangles run in opposite directions; of these groups the one with the
/// triangle of i's smallest corner counts, closed when every edge {i, w} of it is such an edge.
/// One Laplacian pass: a vertex with a closed fan goes to the mean of its neighbours, every other
/// vertex stays.
std::vector<KEXVector3<float>> referenceLaplace(const KEXTriangleMeshBuffer& b);
/// One circular-arc pass with the given unit vertex normals.
std::vector<KEXVector3<float>> referenceArc(const KEXTriangleMeshBuffer& b,
                                            const std::vector<KEXVector3<float>>& normals);
/// The unit vertex normals the passes work with (computed and harmonized on a copy of b).
std::vector<KEXVector3<float>> unitVertexNormals(const KEXTriangleMeshBuffer& b);

/// A random surface: a jittered sphere, torus or grid, with (per its index) triangles removed,
/// triangles flipped or unused vertices added, so that closed, open, non-manifold and
/// inconsistently oriented fans all occur over a few dozen indices. No triangle repeats a vertex.
KEXTriangleMeshBuffer randomSurface(std::mt19937& rng, int index);

/// Expects every vertex of b within tolerance (per coordinate) of expected.
void expectNearPositions(const KEXTriangleMeshBuffer& b, const std::vector<KEXVector3<float>>& expected,
                         double tolerance);

} // namespace kexmeshtest
