// One modified butterfly step: properties on many random manifold meshes (old vertices kept,
// counts, numbering, orientation, adjacency, invariance under translation, which needs every
// stencil's weights to sum to one), each stencil against a brute-force evaluation from edge maps,
// the attributes it carries, and its refusals.
#include "kexmesh/simplify/MBFSubdivisionAlgorithm.h"
#include "kex/Testing.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/Reference.h"
#include "support/ReferenceSubdivision.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
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

TEST(MBFSubdivisionAlgorithm, OldVerticesStayOverTwoSteps)
{
  KEXTriangleMeshBuffer b = makeCone(7);
  const KEXTriangleMeshBuffer in(b);
  ASSERT_TRUE(butterfly(b));
  const KEXTriangleMeshBuffer once(b);
  ASSERT_TRUE(butterfly(b));
  for (int v = 0; v < once.getVertexCount(); ++v)
    ASSERT_EQ(b.vertexList[v], once.vertexList[v]) << v;
  for (int v = 0; v < in.getVertexCount(); ++v)
    ASSERT_EQ(b.vertexList[v], in.vertexList[v]) << v;
  EXPECT_TRUE(closedAndConsistent(b));
}

TEST(MBFSubdivisionAlgorithm, NewElementsCarryInterpolatedAttributes)
{
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  KEXTriangleMeshBuffer in = makeIcosphere(1);
  const int V = in.getVertexCount(), T = in.getTriangleCount();
  ASSERT_TRUE(in.calculateVertexNormals());
  ASSERT_TRUE(in.harmonizeVertexNormals(1.0f));
  ASSERT_TRUE(in.calculateTriangleNormals());
  for (int v = 0; v < V; ++v) {
    in.vertexColorList.append(KEXRGBA<float>(u(rng), u(rng), u(rng), 1.0f));
    in.vertexEdgeFlagList.append(char(v % 3 == 0 ? 2 : 1));
    in.textureCoordinateList.append(KEXVector2<float>(u(rng), u(rng)));
    in.vertexScalarList.append(u(rng));
  }
  for (int t = 0; t < T; ++t)
    in.triangleColorList.append(KEXRGBA<float>(u(rng), 0.5f, 0.25f, 1.0f));
  KEXTriangleMeshBuffer out(in);
  ASSERT_TRUE(butterfly(out));
  ASSERT_TRUE(out.isConsistent());
  ASSERT_TRUE(out.hasVertexNormalList() && out.hasVertexColorList() && out.hasVertexEdgeFlagList());
  ASSERT_TRUE(out.hasTextureCoordinateList() && out.hasTriangleNormalList() && out.hasTriangleColorList());
  EXPECT_FALSE(out.hasVertexScalarList());
  const EdgeCorners edges = edgeCorners(in);
  const std::vector<int> edgeOf = referenceEdgeNumbers(in, edges);
  for (int c = 0; c < 3 * T; ++c) {
    const int n = edgeOf[size_t(c)];
    const int a = in.triangleList[(c % 3 == 0 ? c + 2 : c - 1) / 3][(c % 3 == 0 ? c + 2 : c - 1) % 3];
    const int e = in.triangleList[c / 3][c % 3];
    const double da = (at(out, n) - at(in, a)).length(), de = (at(out, n) - at(in, e)).length();
    const double we = da / (da + de), wa = de / (da + de); // the nearer end weighs more
    EXPECT_NEAR(out.vertexNormalList[n].length(), 1.0f, 1e-6f);
    const KEXVector2<float> tc = out.textureCoordinateList[n];
    EXPECT_NEAR(tc.x, in.textureCoordinateList[e].x * we + in.textureCoordinateList[a].x * wa, 1e-6);
    EXPECT_NEAR(tc.y, in.textureCoordinateList[e].y * we + in.textureCoordinateList[a].y * wa, 1e-6);
    EXPECT_NEAR(out.vertexColorList[n].r, in.vertexColorList[e].r * we + in.vertexColorList[a].r * wa, 1e-6);
    const char fa = in.vertexEdgeFlagList[a], fe = in.vertexEdgeFlagList[e];
    EXPECT_EQ(out.vertexEdgeFlagList[n], fa == fe ? fa : 0);
  }
  for (int t = 0; t < 4 * T; ++t) {
    const KEXTriangle<int>& tri = out.triangleList[t];
    const D cross = (at(out, tri[1]) - at(out, tri[0])).cross(at(out, tri[2]) - at(out, tri[0]));
    const D n(out.triangleNormalList[t]);
    EXPECT_NEAR(n.length(), 1.0, 1e-6) << t;
    EXPECT_GT(n.dot(cross), 0.99 * cross.length()) << t;
  }
  for (int t = 0; t < T; ++t)
    for (int j = T + 3 * t; j < T + 3 * t + 3; ++j)
      EXPECT_EQ(std::memcmp(&out.triangleColorList[j], &in.triangleColorList[t], sizeof(KEXRGBA<float>)), 0) << j;
}

TEST(MBFSubdivisionAlgorithm, RefusesWhatItCannotSubdivide)
{
  struct Case {
    const char* name;
    KEXTriangleMeshBuffer mesh;
    const char* diagnostic;
  };
  KEXTriangleMeshBuffer flipped = makeTorus(6, 4), invalid = makeCone(5);
  std::swap(flipped.triangleList[3][0], flipped.triangleList[3][1]);
  invalid.triangleList[2][1] = 99;
  // Two triangles glued along an edge from vertex 1 to itself, given with their adjacency.
  KEXTriangleMeshBuffer loopEdge = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 1}, {2, 1, 1}});
  EXPECT_TRUE(loopEdge.triangleAdjacencyList.setCount(2, KEXTriangle<int>(-1, -1, -1)));
  loopEdge.triangleAdjacencyList[0][2] = 5;
  loopEdge.triangleAdjacencyList[1][2] = 2;
  const Case cases[] = {
      {"inconsistent orientation", flipped, "Found inconsistently oriented triangles"},
      {"invalid index", invalid, "Found an invalid triangle"},
      {"interior edge with equal ends", loopEdge, "Found an invalid triangle"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    KEXTriangleMeshBuffer b(k.mesh);
    kexTest::RecordingScope monitor;
    EXPECT_FALSE(butterfly(b));
    EXPECT_TRUE(monitor.hasDiagnostic(k.diagnostic));
    EXPECT_TRUE(sameBuffer(b, k.mesh));
    EXPECT_TRUE(monitor.misuses().empty());
  }
}

TEST(MBFSubdivisionAlgorithm, NonManifoldEdgesAndUnusedVerticesAreHandled)
{
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {7, 7, 7}},
                                       {{0, 1, 2}, {1, 0, 3}, {0, 1, 4}});
  ASSERT_TRUE(butterfly(b));
  EXPECT_TRUE(b.isConsistent());
  EXPECT_EQ(b.getVertexCount(), 6 + 9);
  EXPECT_EQ(b.vertexList[5], KEXVector3<float>(7, 7, 7));
  for (const KEXVector3<float>& p : b.vertexList)
    EXPECT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
  EXPECT_TRUE(manifoldEdgesConsistent(b));
}

} // namespace
