// Orientation consolidation: random closed, damaged and multi-component meshes get exactly the
// result of the two phases written out plainly.
#include "kexmesh/repair/ConsolidateOrientationAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/Reference.h"
#include "support/RepairSetup.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <numeric>
#include <random>

using namespace kexmeshtest;

namespace {

/// The two phases written out plainly, flipping during the traversal: the algorithm must produce
/// exactly the same triangle list (corner order included).
void referenceConsolidate(KEXTriangleMeshBuffer& b)
{
  const int T = b.getTriangleCount(), V = b.getVertexCount();
  ASSERT_TRUE(b.createTriangleAdjacencyList());
  std::vector<char> visited(size_t(T), 0);
  std::vector<int> stack;
  auto push = [&](int c) { c >= 0 ? stack.push_back(c) : void(); };
  for (int s = 0; s < T; ++s) {
    if (visited[size_t(s)])
      continue;
    visited[size_t(s)] = 1;
    for (int k : {2, 0, 1})
      push(b.triangleAdjacencyList[s][k]);
    while (!stack.empty()) {
      const int c = stack.back(), t = c / 3, k = c % 3;
      stack.pop_back();
      if (visited[size_t(t)])
        continue;
      visited[size_t(t)] = 1;
      const int back = b.triangleAdjacencyList[t][k];
      if (back >= 0 && b.triangleList[back / 3][back % 3] == b.triangleList[t][k])
        b.flipTriangle(t, (k + 1) % 3);
      push(b.triangleAdjacencyList[t][(k + 1) % 3]);
      push(b.triangleAdjacencyList[t][(k + 2) % 3]);
    }
  }
  std::vector<int> parent(static_cast<size_t>(V));
  std::iota(parent.begin(), parent.end(), 0);
  std::function<int(int)> find = [&](int v) { return parent[size_t(v)] == v ? v : parent[size_t(v)] = find(parent[size_t(v)]); };
  auto valid = [V](int v) { return v >= 0 && v < V; };
  for (int t = 0; t < T; ++t) {
    const KEXTriangle<int>& tri = b.triangleList[t];
    for (int k = 1; k < 3 && valid(tri[0]); ++k)
      if (valid(tri[k]))
        parent[size_t(find(tri[k]))] = find(tri[0]);
  }
  std::map<int, KEXInterval<KEXVector3<float>>> box;
  for (int v = 0; v < V; ++v)
    box[find(v)].unite(b.vertexList[v]);
  std::map<int, double> sum;
  for (int t = 0; t < T; ++t) {
    const KEXTriangle<int>& tri = b.triangleList[t];
    if (!valid(tri[0]) || !valid(tri[1]) || !valid(tri[2]))
      continue;
    const KEXVector3<double> pa(b.vertexList[tri[0]]), pb(b.vertexList[tri[1]]), pc(b.vertexList[tri[2]]),
        centre(box[find(tri[0])].getCenter());
    sum[find(tri[0])] += (pb - pa).cross(pc - pa).dot(pa - centre);
  }
  for (int t = 0; t < T; ++t)
    if (valid(b.triangleList[t][0]) && sum[find(b.triangleList[t][0])] < 2.220446049250313e-16)
      b.flipTriangle(t, 0);
  b.triangleAdjacencyList.clear();
  b.vertexAdjacencyList.clear();
}

} // namespace

TEST(ConsolidateOrientation, MatchesThePlainTwoPhaseProcedureExactly)
{
  std::mt19937 rng(37);
  for (int round = 0; round < 40; ++round) {
    KEXTriangleMeshBuffer b;
    if (round % 2) {
      b = makeRandomMesh(rng, {10 + round, 20 + 4 * round, round % 3 == 0 ? 0.03 : 0.0});
    } else {
      // Several closed components, one of them wholly inward, another touching it at one vertex
      // only (one component for the vote, none for the propagation); the seed is wherever the
      // shuffle puts it.
      b = round % 4 ? makeTorus(9, 5) : makeIcosphere(1);
      if (round % 8 == 2)
        b = inverted(b);
      const int V = b.getVertexCount(), T = b.getTriangleCount();
      KEXTriangleMeshBuffer other = makeCube();
      for (Vec3& p : other.vertexList)
        p += b.vertexList[0] - other.vertexList[0] + Vec3(0, 0, 0.5f);
      append(b, other);
      for (int t = T; round % 4 == 2 && t < b.getTriangleCount(); ++t)
        for (int k = 0; k < 3; ++k)
          b.triangleList[t][k] = b.triangleList[t][k] == V ? 0 : b.triangleList[t][k];
      shuffleTriangles(b, rng);
      flipRandomTriangles(b, 0.4 * (round % 3), rng);
    }
    KEXTriangleMeshBuffer reference(b);
    referenceConsolidate(reference);
    ASSERT_TRUE(runAlgorithm<KEXConsolidateOrientationAlgorithm>(b) && b.isConsistent());
    ASSERT_EQ(triangles(b), triangles(reference)) << "round " << round;
  }
}
