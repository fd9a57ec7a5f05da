// Discarding infinite vertices and invalid triangles: removal by exchange with the last kept
// element keeps every surviving element's data (compared by geometry, not by index).
#include "kexmesh/repair/DiscardInfiniteVerticesAlgorithm.h"
#include "kexmesh/repair/DiscardInvalidTrianglesAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>

using namespace kexmeshtest;

namespace {
using Corners = std::array<float, 9>;

bool finite(const Vec3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

/// The positions of every triangle whose indices are valid and whose vertices are finite, sorted.
std::vector<Corners> validGeometry(const KEXTriangleMeshBuffer& b)
{
  std::vector<Corners> out;
  const int V = b.getVertexCount();
  for (const KEXTriangle<int>& f : b.triangleList) {
    bool ok = true;
    for (int k = 0; k < 3; ++k)
      ok = ok && f[k] >= 0 && f[k] < V && finite(b.vertexList[f[k]]);
    if (!ok)
      continue;
    Corners c;
    for (int k = 0; k < 3; ++k) {
      c[3 * k] = b.vertexList[f[k]].x;
      c[3 * k + 1] = b.vertexList[f[k]].y;
      c[3 * k + 2] = b.vertexList[f[k]].z;
    }
    out.push_back(c);
  }
  std::sort(out.begin(), out.end());
  return out;
}

KEXTriangleMeshBuffer damagedMesh(std::mt19937& rng, bool nan)
{
  RandomMeshOptions o;
  o.vertices = 10 + int(rng() % 60);
  o.triangles = int(rng() % 120);
  o.invalidIndexRate = 0.15;
  o.repeatedIndexRate = 0.1;
  KEXTriangleMeshBuffer b = makeRandomMesh(rng, o);
  if (nan)
    for (int i = 0; i < b.getVertexCount(); ++i)
      if (rng() % 5 == 0)
        b.vertexList[i][int(rng() % 3)] = (rng() % 2) ? std::nanf("") : -INFINITY;
  // Per-element tags that must travel with their element.
  b.vertexScalarList.setCount(b.getVertexCount());
  for (int i = 0; i < b.getVertexCount(); ++i)
    b.vertexScalarList[i] = float(i);
  b.triangleColorList.setCount(b.getTriangleCount());
  for (int t = 0; t < b.getTriangleCount(); ++t)
    b.triangleColorList[t] = KEXRGBA<float>(float(t), 0, 0);
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
    if (adjacency) {
      ASSERT_TRUE(b.createVertexAdjacencyList());
    }
    const KEXTriangleMeshBuffer before = b;
    ASSERT_TRUE(runAlgorithm<KEXDiscardInfiniteVerticesAlgorithm>(b)) << round;
    ASSERT_TRUE(b.isConsistent());
    int finiteCount = 0;
    for (const Vec3& p : before.vertexList)
      finiteCount += finite(p);
    ASSERT_EQ(b.getVertexCount(), finiteCount);
    for (int i = 0; i < b.getVertexCount(); ++i) {
      ASSERT_TRUE(finite(b.vertexList[i]));
      EXPECT_EQ(b.vertexList[i], before.vertexList[int(b.vertexScalarList[i])]);
    }
    EXPECT_EQ(validGeometry(b), validGeometry(before));
    EXPECT_EQ(b.hasVertexAdjacencyList(), adjacency && b.getVertexCount() > 0);
    if (b.hasVertexAdjacencyList()) {
      EXPECT_TRUE(vertexAdjacencyMatches(b));
    }
  }
}

TEST(DiscardInvalidTriangles, RandomDamagedMeshes)
{
  std::mt19937 rng(37);
  for (int round = 0; round < 60; ++round) {
    KEXTriangleMeshBuffer b = damagedMesh(rng, false);
    const bool adjacency = round % 2 == 0;
    if (adjacency) {
      ASSERT_TRUE(b.createTriangleAdjacencyList());
    }
    const KEXTriangleMeshBuffer before = b;
    ASSERT_TRUE(runAlgorithm<KEXDiscardInvalidTrianglesAlgorithm>(b)) << round;
    ASSERT_TRUE(b.isConsistent());
    std::vector<KEXTriangle<int>> kept;
    for (const KEXTriangle<int>& f : before.triangleList)
      if (f[0] >= 0 && f[1] >= 0 && f[2] >= 0 && f[0] < b.getVertexCount() && f[1] < b.getVertexCount() &&
          f[2] < b.getVertexCount())
        kept.push_back(f);
    ASSERT_EQ(b.getTriangleCount(), int(kept.size()));
    for (int t = 0; t < b.getTriangleCount(); ++t) {
      EXPECT_EQ(b.triangleList[t], before.triangleList[int(b.triangleColorList[t].r)]);
    }
    EXPECT_EQ(validGeometry(b), validGeometry(before));
    EXPECT_TRUE(vertices(b) == vertices(before));
    if (adjacency && b.getTriangleCount() > 0) {
      EXPECT_TRUE(vertexAdjacencyMatches(b)) << round;
      EXPECT_TRUE(triangleAdjacencyMatches(b)) << round;
    }
  }
}

