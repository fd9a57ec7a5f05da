// One butterfly step: properties on random manifold meshes, each stencil against a brute-force
// evaluation; refusals and non-manifold handling of both subdivision steps.
#include "kexmesh/simplify/MBFSubdivisionAlgorithm.h"
#include "kexmesh/simplify/LoopSubdivisionAlgorithm.h"
#include "kex/Testing.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <random>

using namespace kexmeshtest;

namespace {

using D = KEXVector3<double>;
using HalfEdges = std::map<std::pair<int, int>, int>;

bool butterfly(KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXMBFSubdivisionAlgorithm>(b); }

D at(const KEXTriangleMeshBuffer& b, int v) { return D(b.vertexList[v]); }

void expectNear(const D& got, const D& want, double tolerance)
{
  EXPECT_NEAR(got.x, want.x, tolerance);
  EXPECT_NEAR(got.y, want.y, tolerance);
  EXPECT_NEAR(got.z, want.z, tolerance);
}

// Every new vertex of out against rule(a, e, border) (a to e the edge of its creating corner; no
// value: not checked).
template <class Rule>
void checkEdgeVertices(const KEXTriangleMeshBuffer& in, const KEXTriangleMeshBuffer& out, Rule rule, double tolerance)
{
  const EdgeCorners edges = edgeCorners(in);
  const std::vector<int> edgeOf = referenceEdgeNumbers(in, edges);
  std::vector<bool> seen(size_t(out.getVertexCount()), false);
  for (int c = 0; c < 3 * in.getTriangleCount(); ++c) {
    const int v = edgeOf[size_t(c)];
    if (seen[size_t(v)])
      continue;
    seen[size_t(v)] = true;
    const int a = in.triangleList[(c % 3 == 0 ? c + 2 : c - 1) / 3][(c % 3 == 0 ? c + 2 : c - 1) % 3];
    const int e = in.triangleList[c / 3][c % 3];
    SCOPED_TRACE(::testing::Message() << "edge " << a << "-" << e);
    if (const std::optional<D> want = rule(a, e, edges.at(std::minmax(a, e)).size() == 1))
      expectNear(at(out, v), *want, tolerance);
  }
}

TEST(MBFSubdivisionAlgorithm, PropertiesOnRandomManifoldMeshes)
{
  std::mt19937 rng(9001);
  const D shift(100, -50, 30);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    const KEXTriangleMeshBuffer input = randomManifoldMesh(rng);
    const bool closed = closedAndConsistent(input);
    const bool withAdjacency = round % 2 == 0;
    KEXTriangleMeshBuffer b(input), moved(input);
    for (KEXVector3<float>& p : moved.vertexList)
      p = KEXVector3<float>(D(p) + shift);
    if (withAdjacency) {
      ASSERT_TRUE(b.createTriangleAdjacencyList());
    }
    ASSERT_TRUE(butterfly(b));
    ASSERT_TRUE(butterfly(moved));
    const int V = input.getVertexCount();
    EXPECT_EQ(b.getVertexCount(), V + int(edgeCorners(input).size()));
    EXPECT_EQ(b.getTriangleCount(), 4 * input.getTriangleCount());
    for (int v = 0; v < V; ++v)
      ASSERT_EQ(b.vertexList[v], input.vertexList[v]) << "old vertex " << v << " moved";
    EXPECT_EQ(triangles(b), referenceSplit(input, referenceEdgeNumbers(input, edgeCorners(input))));
    EXPECT_EQ(closedAndConsistent(b), closed);
    EXPECT_TRUE(manifoldEdgesConsistent(b));
    EXPECT_EQ(b.hasTriangleAdjacencyList(), withAdjacency);
    if (withAdjacency) {
      EXPECT_TRUE(triangleAdjacencyMatches(b));
    }
    EXPECT_FALSE(b.hasVertexAdjacencyList());
    double worst = 0;
    for (int v = V; v < b.getVertexCount(); ++v)
      worst = std::max(worst, (at(moved, v) - shift - at(b, v)).length());
    EXPECT_LT(worst, 2e-4) << "a stencil whose weights do not sum to one";
  }
}

// A closed mesh of valence 6 everywhere: the eight-point butterfly on every edge.
TEST(MBFSubdivisionAlgorithm, RegularClosedMeshUsesTheEightPointStencil)
{
  std::mt19937 rng(5);
  KEXTriangleMeshBuffer in = makeTorus(10, 7);
  std::uniform_real_distribution<float> jitter(-0.1f, 0.1f);
  for (KEXVector3<float>& p : in.vertexList)
    p += KEXVector3<float>(jitter(rng), jitter(rng), jitter(rng));
  KEXTriangleMeshBuffer out(in);
  ASSERT_TRUE(butterfly(out));
  const HalfEdges opposite = oppositeOfHalfEdge(in);
  checkEdgeVertices(in, out, [&](int a, int e, bool) -> std::optional<D> {
    const int c = opposite.at({a, e}), d = opposite.at({e, a});
    const D wings = at(in, opposite.at({c, e})) + at(in, opposite.at({a, c})) + at(in, opposite.at({d, a})) +
                    at(in, opposite.at({e, d}));
    return (at(in, a) + at(in, e)) * 0.5 + (at(in, c) + at(in, d)) * 0.125 - wings * 0.0625;
  }, 1e-5);
}

// Closed meshes whose vertices all have k neighbours: every edge is the mean of the two
// extraordinary stencils 3/4 P + sum s_j e_j taken from both ends.
TEST(MBFSubdivisionAlgorithm, ExtraordinaryInteriorStencilWeights)
{
  struct Case {
    const char* name;
    KEXTriangleMeshBuffer mesh;
    std::vector<double> weights; // s_0 ... s_{k-1}
  };
  const KEXTriangleMeshBuffer octahedron =
      makeBuffer({{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}},
                 {{0, 2, 4}, {2, 1, 4}, {1, 3, 4}, {3, 0, 4}, {2, 0, 5}, {1, 2, 5}, {3, 1, 5}, {0, 3, 5}});
  std::vector<double> five;
  for (int j = 0; j < 5; ++j)
    five.push_back((0.25 + std::cos(2 * std::numbers::pi * j / 5) + 0.5 * std::cos(4 * std::numbers::pi * j / 5)) / 5);
  const Case cases[] = {
      {"k = 3", makeTetrahedron(), {5.0 / 12, -1.0 / 12, -1.0 / 12}},
      {"k = 4", octahedron, {3.0 / 8, 0, -1.0 / 8, 0}},
      {"k = 5", makeIcosphere(0), five},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    double sum = 0.75;
    for (double w : k.weights)
      sum += w;
    EXPECT_NEAR(sum, 1.0, 1e-12);
    const HalfEdges opposite = oppositeOfHalfEdge(k.mesh);
    // The stencil at v for the edge to `other`: the fan of v starting at other.
    auto stencil = [&](int v, int other) {
      D s = at(k.mesh, v) * 0.75;
      int e = other;
      for (double w : k.weights) {
        s += at(k.mesh, e) * w;
        e = opposite.at({e, v});
      }
      EXPECT_EQ(e, other) << "the fan has more than k vertices";
      return s;
    };
    KEXTriangleMeshBuffer out(k.mesh);
    ASSERT_TRUE(butterfly(out));
    checkEdgeVertices(k.mesh, out, [&](int a, int e, bool) -> std::optional<D> { return (stencil(e, a) + stencil(a, e)) * 0.5; },
                      1e-6);
  }
}

// Border edges of an open surface: 9/16 of both ends minus 1/16 of their other border neighbours.
TEST(MBFSubdivisionAlgorithm, BorderEdgesUseTheFourPointRule)
{
  std::mt19937 rng(12);
  std::uniform_real_distribution<float> lift(-0.3f, 0.3f);
  for (const KEXTriangleMeshBuffer& base : {makeGrid(6, 4), makeHemisphere(3, 9), withoutStars(makeIcosphere(2), {3})}) {
    KEXTriangleMeshBuffer in(base);
    for (KEXVector3<float>& p : in.vertexList)
      p.z += lift(rng);
    std::map<int, std::vector<int>> border;
    for (const auto& [key, list] : edgeCorners(in))
      if (list.size() == 1) {
        border[key.first].push_back(key.second);
        border[key.second].push_back(key.first);
      }
    KEXTriangleMeshBuffer out(in);
    ASSERT_TRUE(butterfly(out));
    auto otherNeighbour = [&](int v, int not_) {
      const std::vector<int>& n = border.at(v);
      EXPECT_EQ(n.size(), 2u);
      return n[0] == not_ ? n[1] : n[0];
    };
    int checked = 0;
    checkEdgeVertices(in, out, [&](int a, int e, bool isBorder) -> std::optional<D> {
      if (!isBorder)
        return std::nullopt;
      ++checked;
      return (at(in, a) + at(in, e)) * 0.5625 - (at(in, otherNeighbour(a, e)) + at(in, otherNeighbour(e, a))) * 0.0625;
    }, 1e-5);
    EXPECT_GT(checked, 3);
  }
}

// Both subdivision steps refuse input their walks cannot take, leaving the buffer untouched.
TEST(MBFSubdivisionAlgorithm, BothStepsRefuseWhatTheyCannotSubdivide)
{
  struct Case {
    const char* name;
    KEXTriangleMeshBuffer mesh;
    const char* diagnostic;
    bool loopToo;
  };
  KEXTriangleMeshBuffer flipped = makeTorus(6, 4), invalid = makeCone(5), negative = makeIcosphere(1);
  std::swap(flipped.triangleList[3][0], flipped.triangleList[3][1]);
  invalid.triangleList[2][1] = invalid.getVertexCount();
  negative.triangleList[4][2] = -1;
  // Two triangles glued along an edge from vertex 1 to itself, given with their adjacency.
  KEXTriangleMeshBuffer loopEdge = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 1}, {2, 1, 1}});
  EXPECT_TRUE(loopEdge.triangleAdjacencyList.setCount(2, KEXTriangle<int>(-1, -1, -1)));
  loopEdge.triangleAdjacencyList[0][2] = 5;
  loopEdge.triangleAdjacencyList[1][2] = 2;
  const Case cases[] = {
      {"inconsistent orientation", flipped, "Found inconsistently oriented triangles", true},
      {"index V", invalid, "Found an invalid triangle", true},
      {"index -1", negative, "Found an invalid triangle", true},
      {"interior edge with equal ends", loopEdge, "Found an invalid triangle", false},
  };
  for (bool loop : {false, true})
    for (const Case& k : cases) {
      if (loop && !k.loopToo)
        continue;
      SCOPED_TRACE(::testing::Message() << k.name << (loop ? " (Loop)" : ""));
      KEXTriangleMeshBuffer b(k.mesh);
      kexTest::RecordingScope monitor;
      EXPECT_FALSE(loop ? runAlgorithm<KEXLoopSubdivisionAlgorithm>(b) : butterfly(b));
      EXPECT_TRUE(monitor.hasDiagnostic(k.diagnostic));
      EXPECT_TRUE(sameBuffer(b, k.mesh));
      EXPECT_TRUE(monitor.misuses().empty());
    }
}

// An edge of three triangles is split once per triangle (each sheet keeps its own border there);
// a vertex no triangle uses stays where it is.
TEST(MBFSubdivisionAlgorithm, BothStepsHandleNonManifoldEdgesAndUnusedVertices)
{
  for (bool loop : {false, true}) {
    SCOPED_TRACE(loop ? "Loop" : "butterfly");
    KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {7, 7, 7}},
                                         {{0, 1, 2}, {1, 0, 3}, {0, 1, 4}});
    ASSERT_TRUE(b.createTriangleAdjacencyList());
    ASSERT_TRUE(loop ? runAlgorithm<KEXLoopSubdivisionAlgorithm>(b) : butterfly(b));
    EXPECT_TRUE(b.isConsistent());
    EXPECT_EQ(b.getTriangleCount(), 12);
    EXPECT_EQ(b.getVertexCount(), 6 + 9); // the shared edge counts three times
    EXPECT_EQ(b.vertexList[5], KEXVector3<float>(7, 7, 7));
    for (const KEXVector3<float>& p : b.vertexList)
      EXPECT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
    EXPECT_TRUE(triangleAdjacencyMatches(b));
    EXPECT_TRUE(manifoldEdgesConsistent(b));
  }
}

} // namespace
