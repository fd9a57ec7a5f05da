// Smooth triangulation: the flip test across its thresholds, edges that must never flip, and the
// work stack against a recursive reference on random meshes.
#include "kexmesh/simplify/SmoothTriangulationAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <random>

using namespace kexmeshtest;

namespace {

bool hasEdge(const KEXTriangleMeshBuffer& b, int u, int v)
{
  const auto h = halfEdges(b);
  return h.count({u, v}) + h.count({v, u}) > 0;
}

// Edge p(0) -> v(1) of triangle (p, v, n) meets triangle (v, p, o); n(2) and o(3) lie on a crease
// along y. The slopes' normals lean by tilt degrees to either side; the crease's point up.
KEXTriangleMeshBuffer crease(double tiltDegrees, Vec3 p = Vec3(-1, 0, 0))
{
  KEXTriangleMeshBuffer b = makeBuffer({p, {1, 0, 0}, {0, -1, 1}, {0, 1, 1}}, {{0, 1, 2}, {1, 0, 3}});
  const double r = tiltDegrees * std::numbers::pi / 180.0;
  const float s = float(std::sin(r)), c = float(std::cos(r));
  for (const Vec3& n : {Vec3(-s, 0, c), Vec3(s, 0, c), Vec3(0, 0, 1), Vec3(0, 0, 1)})
    b.vertexNormalList.append(n);
  return b;
}

TEST(SmoothTriangulation, RoofCreaseFlipsOnlyBeyondThirtyDegreesAndWhenConvex)
{
  struct Case {
    double tilt;
    Vec3 p;
    bool flips;
  } cases[] = {
      {5, {-1, 0, 0}, false}, {14.5, {-1, 0, 0}, false}, {15.5, {-1, 0, 0}, true}, {60, {-1, 0, 0}, true},
      {30, {0.5f, 0, 0}, false}, // not convex at p
      {30, {-0.1f, -6, 0}, false}, // the new triangle (o, n, p) would get a thin angle at o
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "tilt " << c.tilt << " p " << c.p.x << "," << c.p.y);
    KEXTriangleMeshBuffer b = crease(c.tilt, c.p);
    ASSERT_TRUE(runAlgorithm<KEXSmoothTriangulationAlgorithm>(b));
    EXPECT_EQ(hasEdge(b, 2, 3), c.flips);
    EXPECT_EQ(hasEdge(b, 0, 1), !c.flips);
    EXPECT_TRUE(manifoldEdgesConsistent(b));
    EXPECT_FALSE(b.hasTriangleAdjacencyList() || b.hasVertexAdjacencyList()); // built for the run, removed again
  }
}

// Each case would flip at 40 degrees but for one change: the run succeeds and moves nothing.
TEST(SmoothTriangulation, NeverFlipsWithoutNormalsNorBorderInconsistentOrExistingDiagonals)
{
  const std::function<void(KEXTriangleMeshBuffer&)> changes[] = {
      [](KEXTriangleMeshBuffer& b) { b.vertexNormalList.clear(); },
      [](KEXTriangleMeshBuffer& b) { b.triangleList[1] = KEXTriangle<int>(0, 1, 3); }, // runs the edge the same way
      [](KEXTriangleMeshBuffer& b) { b.triangleList[1] = KEXTriangle<int>(1, 3, 2); }, // a border edge
      [](KEXTriangleMeshBuffer& b) { // the diagonal n - o exists in a third triangle
        b.vertexList.append(Vec3(0, 0, 3));
        b.vertexNormalList.append(Vec3(1, 0, 0));
        b.triangleList.append(KEXTriangle<int>(2, 4, 3));
      }};
  for (size_t i = 0; i < std::size(changes); ++i) {
    KEXTriangleMeshBuffer b = crease(40);
    changes[i](b);
    const KEXTriangleMeshBuffer before(b);
    ASSERT_TRUE(runAlgorithm<KEXSmoothTriangulationAlgorithm>(b));
    EXPECT_TRUE(sameBuffer(b, before)) << "case " << i;
  }
}

// The recursion the work stack replaces, written out plainly.
bool recursiveFlip(KEXTriangleMeshBuffer& b, int c)
{
  const int q = KEXSmoothTriangulationAlgorithm::flipPartner(b, c);
  if (q < 0)
    return true;
  if (!b.flipEdge(c))
    return false;
  return recursiveFlip(b, c) && recursiveFlip(b, KEXTriangleMeshBuffer::previousCorner(c)) && recursiveFlip(b, q) &&
         recursiveFlip(b, KEXTriangleMeshBuffer::previousCorner(q));
}

TEST(SmoothTriangulation, WorkStackVisitsLikeTheRecursionOnRandomMeshes)
{
  std::mt19937 rng(8);
  int flipped = 0;
  for (int round = 0; round < 12; ++round) {
    KEXTriangleMeshBuffer shape = round % 3 == 0   ? makeIcosphere(2 + round % 2)
                                  : round % 3 == 1 ? makeTorus(12 + round, 9)
                                                   : jitteredRoof(rng, 10 + round, 7, 0.8f);
    // Noisy normals on a bumpy surface: many flips, many cascades.
    KEXTriangleMeshBuffer b(shape);
    std::normal_distribution<float> g(0.0f, 0.3f + 0.1f * float(round % 4));
    ASSERT_TRUE(b.calculateVertexNormals());
    for (Vec3& n : b.vertexNormalList)
      n = (n.normalize(1.0f) + Vec3(g(rng), g(rng), g(rng))).normalize(1.0f);
    KEXTriangleMeshBuffer reference(b);
    ASSERT_TRUE(reference.createVertexAdjacencyList());
    for (int c = 0; c < 3 * reference.getTriangleCount(); ++c)
      ASSERT_TRUE(recursiveFlip(reference, c));
    ASSERT_TRUE(runAlgorithm<KEXSmoothTriangulationAlgorithm>(b));
    EXPECT_EQ(triangles(b), triangles(reference)) << "round " << round;
    EXPECT_TRUE(manifoldEdgesConsistent(b) && (!closedAndConsistent(shape) || closedAndConsistent(b)));
    flipped += triangles(b) != triangles(shape);
  }
  EXPECT_GT(flipped, 8); // the inputs do exercise the flips
}

} // namespace
