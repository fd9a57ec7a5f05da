#pragma once
// Mesh generators for tests and benchmarks. All produce closed, outward-oriented surfaces unless the
// name says otherwise, with the corner order (a, b, c) counter-clockwise seen from outside.
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <cstdint>
#include <random>
#include <set>
#include <vector>

namespace kexmeshtest {

using Vec3 = KEXVector3<float>;
using Tri = KEXTriangle<int>;

/// Fills a buffer's vertex and triangle lists (other lists left empty).
KEXTriangleMeshBuffer makeBuffer(const std::vector<Vec3>& vertices, const std::vector<Tri>& triangles);
std::vector<Vec3> vertices(const KEXTriangleMeshBuffer& b);
std::vector<Tri> triangles(const KEXTriangleMeshBuffer& b);

KEXTriangleMeshBuffer makeTetrahedron();
/// Unit cube [0,1]^3, 8 vertices, 12 triangles.
KEXTriangleMeshBuffer makeCube();
/// Open flat grid of nx * ny quads (two triangles each) in the plane z = 0, spacing 1.
KEXTriangleMeshBuffer makeGrid(int nx, int ny);
/// Icosphere of radius 1 with the given number of subdivisions (20 * 4^s triangles).
KEXTriangleMeshBuffer makeIcosphere(int subdivisions, Vec3 center = Vec3(0, 0, 0), float radius = 1.0f);
/// Torus with nu * nv quads (radii R and r).
KEXTriangleMeshBuffer makeTorus(int nu, int nv, float R = 2.0f, float r = 0.5f);
/// A closed mesh of about the requested triangle count (an icosphere-like sphere of lat/long rings).
KEXTriangleMeshBuffer makeSphere(int rings, int sectors);

/// Open upper half (z >= 0) of makeSphere(2 * rings, sectors); its rim is one loop of `sectors`
/// edges (the vertices of the lower half stay, unused).
KEXTriangleMeshBuffer makeHemisphere(int rings, int sectors);
/// The mesh without the triangles flagged in remove (every vertex kept).
KEXTriangleMeshBuffer withoutTriangles(const KEXTriangleMeshBuffer& mesh, const std::vector<bool>& remove);

/// Every triangle gets its own three vertices (a triangle soup).
KEXTriangleMeshBuffer toSoup(const KEXTriangleMeshBuffer& mesh);
/// Shuffles the triangle order.
void shuffleTriangles(KEXTriangleMeshBuffer& b, std::mt19937& rng);
/// Reverses each triangle with probability p (corners 1 and 2 exchanged). Returns the count.
int flipRandomTriangles(KEXTriangleMeshBuffer& b, double p, std::mt19937& rng);
/// b with every vertex moved by a uniform random offset in [-amount, amount] per coordinate.
KEXTriangleMeshBuffer jittered(KEXTriangleMeshBuffer b, std::mt19937& rng, float amount);
/// Appends b's vertices and triangles to a (indices shifted).
void append(KEXTriangleMeshBuffer& a, const KEXTriangleMeshBuffer& b);

/// A random "damaged" mesh: V random vertices, T random triangles over them, with the given share of
/// invalid indices (-1 or V), duplicate triangles, repeated indices, and non-manifold fans.
struct RandomMeshOptions {
  int vertices = 40;
  int triangles = 80;
  double invalidIndexRate = 0.0;
  double duplicateRate = 0.05;
  double repeatedIndexRate = 0.02;
};
KEXTriangleMeshBuffer makeRandomMesh(std::mt19937& rng, const RandomMeshOptions& options);

/// Signed volume (positive for an outward-oriented closed surface).
double signedVolume(const KEXTriangleMeshBuffer& b);

/// Closed cone: apex (0, 0, height) with n rim vertices on the unit circle in z = 0 and a bottom
/// centre; the apex is vertex 0 (valence n), the centre vertex n + 1.
KEXTriangleMeshBuffer makeCone(int n, float height = 1.0f);
/// Distance from p to the closed triangle (a, b, c), brute force in double (any shape, also
/// degenerate ones).
double pointTriangleDistance(const KEXVector3<double>& p, const KEXVector3<double>& a, const KEXVector3<double>& b,
                             const KEXVector3<double>& c);
/// The largest distance of a vertex of `from` that some triangle uses to the surface of `to`
/// (brute force over all triangles; infinite when `to` has none).
double farthestVertexDistance(const KEXTriangleMeshBuffer& from, const KEXTriangleMeshBuffer& to);

/// A grid with jittered vertices (many caps) on a roof: z = roof * |x - ridge|, ridge at nx / 2;
/// border and ridge vertices stay on their lines.
KEXTriangleMeshBuffer jitteredRoof(std::mt19937& rng, int nx, int ny, float roof);
/// The mesh without every triangle that uses one of the given vertices (holes around them).
KEXTriangleMeshBuffer withoutStars(const KEXTriangleMeshBuffer& mesh, const std::set<int>& centres);
/// Replaces triangle t = (u, w, x) by (u, m, x), (m, w, x) and the sliver (u, w, m), m the midpoint
/// of u-w: the sliver has a flat corner at m and keeps u-w's partner.
void saltSliver(KEXTriangleMeshBuffer& b, int t);
/// Splits triangle t = (u, w, x) at a new vertex placed on u: two of the three parts have zero area.
void saltCoincident(KEXTriangleMeshBuffer& b, int t);

} // namespace kexmeshtest
