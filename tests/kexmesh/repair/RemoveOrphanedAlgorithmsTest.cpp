// Removing orphaned triangles and vertices: isolated pieces go, everything else keeps its
// geometry, and the vertex adjacency list is left as it was found.
#include "kexmesh/repair/RemoveOrphanedTrianglesAlgorithm.h"
#include "kexmesh/repair/RemoveOrphanedVerticesAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <set>

using namespace kexmeshtest;

namespace {
using Corners = std::array<float, 9>;

/// Brute force: triangles sharing no vertex with any other triangle.
std::vector<bool> orphans(const KEXTriangleMeshBuffer& b)
{
  const int T = b.getTriangleCount();
  std::vector<int> uses(size_t(b.getVertexCount()), 0);
  for (const KEXTriangle<int>& f : b.triangleList)
    for (int v : std::set<int>{f[0], f[1], f[2]})
      ++uses[size_t(v)];
  std::vector<bool> out(static_cast<size_t>(T));
  for (int t = 0; t < T; ++t) {
    const KEXTriangle<int>& f = b.triangleList[t];
    out[size_t(t)] = uses[size_t(f[0])] == 1 && uses[size_t(f[1])] == 1 && uses[size_t(f[2])] == 1;
  }
  return out;
}

std::vector<Corners> geometry(const KEXTriangleMeshBuffer& b, const std::vector<bool>* skip = nullptr)
{
  std::vector<Corners> out;
  for (int t = 0; t < b.getTriangleCount(); ++t)
    if (!skip || !(*skip)[size_t(t)]) {
      Corners c;
      for (int k = 0; k < 9; ++k)
        c[size_t(k)] = b.vertexList[b.triangleList[t][k / 3]][k % 3];
      out.push_back(c);
    }
  std::sort(out.begin(), out.end());
  return out;
}

/// A connected strip, random loose triangles (some with repeated indices), unused vertices.
KEXTriangleMeshBuffer mixedMesh(std::mt19937& rng)
{
  KEXTriangleMeshBuffer b = makeGrid(1 + int(rng() % 4), 1 + int(rng() % 3));
  std::uniform_real_distribution<float> u(-5, 5);
  const int loose = int(rng() % 6);
  for (int i = 0; i < loose; ++i) {
    const int V = b.getVertexCount();
    for (int k = 0; k < 3; ++k)
      b.vertexList.append(Vec3(u(rng), u(rng), u(rng)));
    b.triangleList.append(rng() % 4 ? KEXTriangle<int>(V, V + 1, V + 2) : KEXTriangle<int>(V + 2, V, V + 2));
  }
  for (int i = int(rng() % 4); i > 0; --i)
    b.vertexList.append(Vec3(u(rng), u(rng), u(rng)));
  std::shuffle(b.triangleList.begin(), b.triangleList.end(), rng);
  // Shuffle the vertices too, renumbering the triangles.
  const int V = b.getVertexCount();
  std::vector<int> perm(static_cast<size_t>(V));
  std::iota(perm.begin(), perm.end(), 0);
  std::shuffle(perm.begin(), perm.end(), rng);
  KEXValueList<Vec3> moved(b.vertexList);
  for (int i = 0; i < V; ++i)
    b.vertexList[perm[size_t(i)]] = moved[i];
  for (KEXTriangle<int>& f : b.triangleList)
    for (int k = 0; k < 3; ++k)
      f[k] = perm[size_t(f[k])];
  return b;
}
} // namespace

TEST(RemoveOrphanedTriangles, SeparateTrianglesGoUnlessFlagged)
{
  // A strip of two triangles and two separate triangles (without flags both go, as in the random
  // meshes below).
  KEXTriangleMeshBuffer flagged = makeBuffer({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {5, 0, 0}, {6, 0, 0},
                                              {5, 1, 0}, {8, 0, 0}, {9, 0, 0}, {8, 1, 0}},
                                             {{4, 5, 6}, {0, 1, 2}, {7, 8, 9}, {0, 2, 3}});
  flagged.vertexEdgeFlagList.setCount(10, char(1));
  ASSERT_TRUE(runAlgorithm<KEXRemoveOrphanedTrianglesAlgorithm>(flagged));
  EXPECT_EQ(flagged.getTriangleCount(), 4);
  flagged.vertexEdgeFlagList[8] = 2; // flags differ: the triangle goes
  ASSERT_TRUE(runAlgorithm<KEXRemoveOrphanedTrianglesAlgorithm>(flagged));
  EXPECT_EQ(flagged.getTriangleCount(), 3);
  EXPECT_EQ(flagged.getVertexCount(), 7);
}

TEST(RemoveOrphanedTriangles, RandomMeshesKeepTheRestIntact)
{
  std::mt19937 rng(43);
  for (int round = 0; round < 60; ++round) {
    KEXTriangleMeshBuffer b = mixedMesh(rng);
    const bool adjacency = round % 2 == 0;
    ASSERT_TRUE(!adjacency || b.createVertexAdjacencyList());
    const KEXTriangleMeshBuffer before = b;
    const std::vector<bool> gone = orphans(before);
    std::set<int> goneVertices;
    for (int t = 0; t < before.getTriangleCount(); ++t)
      if (gone[size_t(t)])
        for (int k = 0; k < 3; ++k)
          goneVertices.insert(before.triangleList[t][k]);
    ASSERT_TRUE(runAlgorithm<KEXRemoveOrphanedTrianglesAlgorithm>(b) && b.isConsistent());
    EXPECT_EQ(b.getTriangleCount(), before.getTriangleCount() - int(std::count(gone.begin(), gone.end(), true)));
    EXPECT_EQ(b.getVertexCount(), before.getVertexCount() - int(goneVertices.size()));
    EXPECT_EQ(geometry(b), geometry(before, &gone));
    EXPECT_EQ(orphans(b), std::vector<bool>(size_t(b.getTriangleCount()), false));
    EXPECT_EQ(b.hasVertexAdjacencyList(), adjacency && b.getVertexCount() > 0);
  }
}

TEST(RemoveOrphanedVertices, RandomMeshesKeepTheirGeometry)
{
  std::mt19937 rng(47);
  for (int round = 0; round < 60; ++round) {
    KEXTriangleMeshBuffer b = mixedMesh(rng);
    const bool adjacency = round % 2 == 0;
    ASSERT_TRUE(!adjacency || b.createVertexAdjacencyList());
    for (const Vec3& p : b.vertexList)
      b.vertexNormalList.append(p * 2.0f); // travels with its vertex
    const KEXTriangleMeshBuffer before = b;
    std::set<int> used;
    for (const KEXTriangle<int>& f : before.triangleList)
      used.insert({f[0], f[1], f[2]});
    ASSERT_TRUE(runAlgorithm<KEXRemoveOrphanedVerticesAlgorithm>(b) && b.isConsistent());
    EXPECT_EQ(b.getVertexCount(), int(used.size()));
    EXPECT_EQ(geometry(b), geometry(before));
    for (int i = 0; i < b.getVertexCount(); ++i)
      EXPECT_EQ(b.vertexNormalList[i], b.vertexList[i] * 2.0f);
    EXPECT_EQ(b.hasVertexAdjacencyList(), adjacency && b.getVertexCount() > 0);
  }
}
