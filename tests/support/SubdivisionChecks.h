#pragma once
// What every one-into-four subdivision step owes whatever its masks: one new vertex per edge and
// sheet, the reference triangle split, orientation and a given triangle adjacency kept, and a
// refusal of input its walk cannot take that leaves the buffer untouched. Each scheme's test adds
// the check of its own masks.
#include "kex/Testing.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <utility>
#include <vector>

namespace kexmeshtest {

using SubdivisionStep = std::function<bool(KEXTriangleMeshBuffer&)>;
using SubdivisionPositions = std::function<void(const KEXTriangleMeshBuffer& input, const KEXTriangleMeshBuffer& out)>;

/// Sixty random manifold meshes, every other one with its triangle adjacency given: the shared
/// properties of one step, then positions(input, out) for the scheme's masks.
inline void checkOnRandomManifoldMeshes(const SubdivisionStep& step, unsigned seed,
                                        const SubdivisionPositions& positions)
{
  std::mt19937 rng(seed);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    const KEXTriangleMeshBuffer input = randomManifoldMesh(rng);
    const bool withAdjacency = round % 2 == 0;
    KEXTriangleMeshBuffer b(input);
    ASSERT_TRUE((!withAdjacency || b.createTriangleAdjacencyList()) && step(b));
    const EdgeCorners edges = edgeCorners(input);
    EXPECT_EQ(b.getVertexCount(), input.getVertexCount() + int(edges.size()));
    EXPECT_EQ(triangles(b), referenceSplit(input, referenceEdgeNumbers(input, edges)));
    EXPECT_EQ(closedAndConsistent(b), closedAndConsistent(input));
    EXPECT_TRUE(manifoldEdgesConsistent(b) && b.isConsistent() && !b.hasVertexAdjacencyList());
    EXPECT_EQ(b.hasTriangleAdjacencyList(), withAdjacency);
    EXPECT_TRUE(!withAdjacency || triangleAdjacencyMatches(b));
    positions(input, b);
  }
}

/// Corrupt input fails with its diagnostic and leaves the buffer as it was. withEqualEnds adds an
/// interior edge from a vertex to itself, given with its adjacency (only some walks meet it).
/// Then an edge of three triangles, split once per triangle, and an unused vertex that stays.
inline void checkRefusalsAndNonManifoldEdges(const SubdivisionStep& step, bool withEqualEnds)
{
  KEXTriangleMeshBuffer flipped = makeTorus(6, 4), invalid = makeCone(5), negative = makeIcosphere(1);
  std::swap(flipped.triangleList[3][0], flipped.triangleList[3][1]);
  invalid.triangleList[2][1] = invalid.getVertexCount();
  negative.triangleList[4][2] = -1;
  std::vector<std::pair<KEXTriangleMeshBuffer, const char*>> cases = {
      {flipped, "Found inconsistently oriented triangles"},
      {invalid, "Found an invalid triangle"},
      {negative, "Found an invalid triangle"}};
  if (withEqualEnds) {
    KEXTriangleMeshBuffer loopEdge = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 1}, {2, 1, 1}});
    EXPECT_TRUE(loopEdge.triangleAdjacencyList.setCount(2, KEXTriangle<int>(-1, -1, -1)));
    loopEdge.triangleAdjacencyList[0][2] = 5;
    loopEdge.triangleAdjacencyList[1][2] = 2;
    cases.push_back({loopEdge, "Found an invalid triangle"});
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "refusal " << i);
    KEXTriangleMeshBuffer b(cases[i].first);
    kexTest::RecordingScope monitor;
    EXPECT_FALSE(step(b));
    EXPECT_TRUE(monitor.hasDiagnostic(cases[i].second) && monitor.misuses().empty());
    EXPECT_TRUE(sameBuffer(b, cases[i].first));
  }
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {7, 7, 7}},
                                       {{0, 1, 2}, {1, 0, 3}, {0, 1, 4}});
  ASSERT_TRUE(b.createTriangleAdjacencyList() && step(b));
  EXPECT_TRUE(b.isConsistent() && triangleAdjacencyMatches(b) && manifoldEdgesConsistent(b));
  EXPECT_EQ(b.getTriangleCount(), 12);
  EXPECT_EQ(b.getVertexCount(), 6 + 9); // the shared edge counts three times
  EXPECT_EQ(b.vertexList[5], KEXVector3<float>(7, 7, 7));
  EXPECT_TRUE(std::all_of(b.vertexList.begin(), b.vertexList.end(), finitePoint));
}

} // namespace kexmeshtest
