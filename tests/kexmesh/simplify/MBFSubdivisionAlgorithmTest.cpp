// One butterfly step: the shared subdivision properties on random manifold meshes, every stencil
// (regular, extraordinary, border) against a brute-force evaluation, refusals, non-manifold edges.
#include "kexmesh/simplify/MBFSubdivisionAlgorithm.h"
#include "support/SubdivisionChecks.h"

#include <algorithm>
#include <cmath>
#include <numbers>

using namespace kexmeshtest;

namespace {

using D = KEXVector3<double>;

bool butterfly(KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXMBFSubdivisionAlgorithm>(b); }

D at(const KEXTriangleMeshBuffer& b, int v) { return D(b.vertexList[v]); }

// Old vertices stay; a shifted input gives the shifted output (every stencil sums to one).
TEST(MBFSubdivisionAlgorithm, PropertiesOnRandomManifoldMeshes)
{
  const D shift(100, -50, 30);
  checkOnRandomManifoldMeshes(butterfly, 9001, [&](const KEXTriangleMeshBuffer& in, const KEXTriangleMeshBuffer& out) {
    KEXTriangleMeshBuffer moved(in);
    for (KEXVector3<float>& p : moved.vertexList)
      p = KEXVector3<float>(D(p) + shift);
    ASSERT_TRUE(butterfly(moved));
    for (int v = 0; v < in.getVertexCount(); ++v)
      ASSERT_EQ(out.vertexList[v], in.vertexList[v]) << "old vertex " << v << " moved";
    double worst = 0;
    for (int v = in.getVertexCount(); v < out.getVertexCount(); ++v)
      worst = std::max(worst, (at(moved, v) - shift - at(out, v)).length());
    EXPECT_LT(worst, 2e-4) << "a stencil whose weights do not sum to one";
  });
}

// Border edges: 9/16 of both ends minus 1/16 of their other border neighbours. Interior edges of
// closed meshes: the eight-point butterfly between two vertices of valence 6, else the mean of the
// extraordinary stencils 3/4 P + sum s_j e_j taken from both ends.
TEST(MBFSubdivisionAlgorithm, EveryStencilMatchesABruteForceEvaluation)
{
  std::mt19937 rng(12);
  const KEXTriangleMeshBuffer octahedron =
      makeBuffer({{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}},
                 {{0, 2, 4}, {2, 1, 4}, {1, 3, 4}, {3, 0, 4}, {2, 0, 5}, {1, 2, 5}, {3, 1, 5}, {0, 3, 5}});
  auto weight = [](int k, int j) {
    if (k == 3)
      return j == 0 ? 5.0 / 12 : -1.0 / 12;
    if (k == 4)
      return j == 0 ? 3.0 / 8 : j == 2 ? -1.0 / 8 : 0.0;
    const double x = 2 * std::numbers::pi * j / k;
    return (0.25 + std::cos(x) + 0.5 * std::cos(2 * x)) / k;
  };
  for (const KEXTriangleMeshBuffer& shape : {makeTorus(10, 7), makeTetrahedron(), octahedron, makeIcosphere(0), makeGrid(6, 4),
                                             makeHemisphere(3, 9), withoutStars(makeIcosphere(2), {3})}) {
    const KEXTriangleMeshBuffer in = jittered(shape, rng, 0.1f);
    const bool closed = closedAndConsistent(in);
    const auto opposite = oppositeOfHalfEdge(in);
    auto o = [&](int u, int v) { return opposite.at({u, v}); };
    auto valence = [&](int v, int other) { // the fan of v starting at other
      int k = 1;
      for (int e = o(other, v); e != other; e = o(e, v), ++k) {}
      return k;
    };
    auto stencil = [&](int v, int other) {
      const int k = valence(v, other);
      D s = at(in, v) * 0.75;
      for (int j = 0, e = other; j < k; ++j, e = o(e, v))
        s += at(in, e) * weight(k, j);
      return s;
    };
    const EdgeCorners edges = edgeCorners(in);
    std::map<int, std::vector<int>> border;
    for (const auto& [key, list] : edges)
      if (list.size() == 1) {
        border[key.first].push_back(key.second);
        border[key.second].push_back(key.first);
      }
    auto beyond = [&](int v, int not_) {
      const std::vector<int>& n = border.at(v);
      EXPECT_EQ(n.size(), 2u);
      return at(in, n[0] == not_ ? n[1] : n[0]);
    };
    auto rule = [&](int a, int e) -> D {
      if (edges.at(std::minmax(a, e)).size() == 1)
        return (at(in, a) + at(in, e)) * 0.5625 - (beyond(a, e) + beyond(e, a)) * 0.0625;
      if (valence(a, e) != 6 || valence(e, a) != 6)
        return (stencil(e, a) + stencil(a, e)) * 0.5;
      const int c = o(a, e), d = o(e, a);
      return (at(in, a) + at(in, e)) * 0.5 + (at(in, c) + at(in, d)) * 0.125 -
             (at(in, o(c, e)) + at(in, o(a, c)) + at(in, o(d, a)) + at(in, o(e, d))) * 0.0625;
    };
    KEXTriangleMeshBuffer out(in);
    ASSERT_TRUE(butterfly(out));
    const std::vector<int> edgeOf = referenceEdgeNumbers(in, edges);
    int checked = 0; // interior edges twice, from both corners: the rules are symmetric
    for (int corner = 0; corner < 3 * in.getTriangleCount(); ++corner) {
      const int a = in.triangleList[corner / 3][(corner + 2) % 3], e = in.triangleList[corner / 3][corner % 3];
      if (!closed && edges.at(std::minmax(a, e)).size() != 1)
        continue;
      EXPECT_LT((at(out, edgeOf[size_t(corner)]) - rule(a, e)).length(), 1e-5) << "edge " << a << "-" << e;
      ++checked;
    }
    EXPECT_GT(checked, 3);
  }
}

TEST(MBFSubdivisionAlgorithm, RefusesWhatItCannotSubdivideAndSplitsNonManifoldEdges)
{
  checkRefusalsAndNonManifoldEdges(butterfly, true);
}

} // namespace
