#pragma once
// Oriented point clouds for the reduction and reconstruction tests, the ways a cloud's normals can be
// unusable, and a brute-force reference of the reduction rule: every pass decides the points one by
// one in a given order, testing all pairs (no tree).
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/MeshQuality.h"

#include <random>
#include <vector>

namespace kexmeshtest {

/// nx * ny points on the plane z = 0 at spacing h, each moved by up to jitter * h in x and y, with
/// normal (0, 0, 1).
KEXTriangleMeshBuffer makeJitteredPlaneCloud(std::mt19937& rng, int nx, int ny, float h, float jitter);
/// Two half-planes of n * n points each (spacing h) meeting at the ridge x = 0 under the angle whose
/// normals have the dot product cos(angle); each point carries its plane's normal.
KEXTriangleMeshBuffer makeCreaseCloud(std::mt19937& rng, int n, float h, float jitter, double angleDegrees);
/// count points on the unit sphere with their outward normals, the normals turned by up to
/// noiseDegrees (random directions), in random order.
KEXTriangleMeshBuffer makeSphereCloud(std::mt19937& rng, int count, double noiseDegrees);
/// count points spread uniformly over the area of the torus with radii R > r around the z axis,
/// with outward normals, in random order.
KEXTriangleMeshBuffer makeTorusCloud(std::mt19937& rng, int count, double R, double r);
/// The vertices of a mesh with its vertex normals (computed when it has none): the mesh's own
/// sampling as an oriented cloud.
KEXTriangleMeshBuffer cloudOfMesh(const KEXTriangleMeshBuffer& mesh);
/// The points given, each with the normal (0, 0, 1).
KEXTriangleMeshBuffer cloudOf(const std::vector<KEXVector3<float>>& points);
/// Gives every point of b a colour, a scalar, an edge flag and a texture coordinate that encode its
/// index, so that a compaction can be checked against the input.
void tagPoints(KEXTriangleMeshBuffer& b);

/// The ways a cloud of at least 20 points can lack usable normals, with the message the
/// reconstruction refuses each with.
struct SpoiledNormals {
  const char* name;
  void (*spoil)(KEXTriangleMeshBuffer&);
  const char* message;
};
extern const SpoiledNormals spoiledNormals[4];

/// What every reconstructed surface must be free of: non-manifold and inconsistently oriented edges,
/// duplicate triangles.
inline bool isCleanSurface(const MeshQuality& q) { return q.nonManifoldEdges == 0 && q.inconsistentEdges == 0 && q.duplicateTriangles == 0; }

struct ReductionParameters {
  KEXVector3<float> meanSamplingDistance{1.0f, 1.0f, 1.0f};
  float tolerance = 0.0f;
  float minNormalScalarProduct = 1.0f;
};

/// The reduction decided sequentially in index order, pass by pass: which input points survive
/// (indices into the input, ascending).
std::vector<int> referenceReduction(const KEXTriangleMeshBuffer& cloud, const ReductionParameters& p);

/// For each point of reduced the index of the input point it equals (positions and normals bit for
/// bit), matching in order; an empty result when reduced is not an ordered subsequence of input.
std::vector<int> subsequenceIndices(const KEXTriangleMeshBuffer& reduced, const KEXTriangleMeshBuffer& input);

} // namespace kexmeshtest
