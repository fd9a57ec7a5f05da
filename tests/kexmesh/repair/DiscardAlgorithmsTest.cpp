// Discarding infinite vertices and invalid triangles: removal by exchange with the last kept
// element keeps every surviving element's data (compared by geometry, not by index).
#include "kexmesh/repair/DiscardInfiniteVerticesAlgorithm.h"
#include "kexmesh/repair/DiscardInvalidTrianglesAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>

using namespace kexmeshtest;

namespace {
using Corners = std::array<float, 9>;

/// The positions of every triangle whose indices are valid and whose vertices are finite, sorted.
std::vector<Corners> validGeometry(const KEXTriangleMeshBuffer& b)
{
  std::vector<Corners> out;
  const int V = b.getVertexCount();
  for (const KEXTriangle<int>& f : b.triangleList) {
    Corners c;
    bool ok = true;
    for (int k = 0; k < 3 && (ok = f[k] >= 0 && f[k] < V && finitePoint(b.vertexList[f[k]])); ++k)
      for (int i = 0; i < 3; ++i)
        c[size_t(3 * k + i)] = b.vertexList[f[k]][i];
    if (ok)
      out.push_back(c);
  }
  std::sort(out.begin(), out.end());
  return out;
}

KEXTriangleMeshBuffer damagedMesh(std::mt19937& rng, bool nan)
{
  KEXTriangleMeshBuffer b = makeRandomMesh(rng, {10 + int(rng() % 60), int(rng() % 120), 0.15, 0.05, 0.1});
  if (nan)
    for (int i = 0; i < b.getVertexCount(); ++i)
      if (rng() % 5 == 0)
        b.vertexList[i][int(rng() % 3)] = (rng() % 2) ? std::nanf("") : -INFINITY;
  // Per-element tags that must travel with their element.
  for (int i = 0; i < b.getVertexCount(); ++i)
    b.vertexScalarList.append(float(i));
  for (int t = 0; t < b.getTriangleCount(); ++t)
    b.triangleColorList.append(KEXRGBA<float>(float(t), 0, 0));
  return b;
}

} // namespace

TEST(DiscardInfiniteVertices, RandomDamagedMeshes)
{
  std::mt19937 rng(31);
  for (int round = 0; round < 60; ++round) {
    KEXTriangleMeshBuffer b = damagedMesh(rng, true);
    if (round % 7 == 0) { // a point cloud needs no adjacency
      b.triangleList.clear();
      b.triangleColorList.clear();
    }
    const bool adjacency = round % 3 == 0;
    ASSERT_TRUE(!adjacency || b.createVertexAdjacencyList());
    const KEXTriangleMeshBuffer before = b;
    ASSERT_TRUE(runAlgorithm<KEXDiscardInfiniteVerticesAlgorithm>(b) && b.isConsistent()) << round;
    ASSERT_EQ(b.getVertexCount(), std::count_if(before.vertexList.begin(), before.vertexList.end(), finitePoint));
    for (int i = 0; i < b.getVertexCount(); ++i) {
      ASSERT_TRUE(finitePoint(b.vertexList[i]));
      EXPECT_EQ(b.vertexList[i], before.vertexList[int(b.vertexScalarList[i])]);
    }
    EXPECT_EQ(validGeometry(b), validGeometry(before));
    EXPECT_EQ(b.hasVertexAdjacencyList(), adjacency && b.getVertexCount() > 0);
    EXPECT_TRUE(!b.hasVertexAdjacencyList() || vertexAdjacencyMatches(b));
  }
}

TEST(DiscardInvalidTriangles, RandomDamagedMeshes)
{
  std::mt19937 rng(37);
  for (int round = 0; round < 60; ++round) {
    KEXTriangleMeshBuffer b = damagedMesh(rng, false);
    const bool adjacency = round % 2 == 0;
    ASSERT_TRUE(!adjacency || b.createTriangleAdjacencyList());
    const KEXTriangleMeshBuffer before = b;
    ASSERT_TRUE(runAlgorithm<KEXDiscardInvalidTrianglesAlgorithm>(b) && b.isConsistent()) << round;
    ASSERT_EQ(b.getTriangleCount(), std::count_if(before.triangleList.begin(), before.triangleList.end(), [&](const Tri& f) {
                return b.isValidVertex(f[0]) && b.isValidVertex(f[1]) && b.isValidVertex(f[2]);
              }));
    for (int t = 0; t < b.getTriangleCount(); ++t)
      EXPECT_EQ(b.triangleList[t], before.triangleList[int(b.triangleColorList[t].r)]);
    EXPECT_EQ(validGeometry(b), validGeometry(before));
    EXPECT_TRUE(vertices(b) == vertices(before));
    EXPECT_TRUE(!adjacency || b.getTriangleCount() == 0 || (vertexAdjacencyMatches(b) && triangleAdjacencyMatches(b))) << round;
  }
}

