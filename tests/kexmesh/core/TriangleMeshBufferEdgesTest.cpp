// partnerCorner and flipEdge: brute-force half-edge references on random meshes, the derived lists
// after random flip sequences against a rebuild, colour blending, refusals and allocation faults.
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace kexmeshtest;

namespace {

/// The partner of corner c by the vertex-list rule, counted over all half-edges: the corner x at
/// s of another triangle with x's edge e -> s, when there is exactly one and c is the only s -> e.
int referencePartner(const KEXTriangleMeshBuffer& b, int c)
{
  const int t = c / 3, s = b.triangleList[t][(c + 2) % 3], e = b.triangleList[t][c % 3];
  if (s < 0 || s >= b.getVertexCount() || e < 0 || e >= b.getVertexCount() || s == e)
    return -1;
  int found = -1, count = 0, same = 0;
  for (int x = 0; x < 3 * b.getTriangleCount(); ++x) {
    const int from = b.triangleList[x / 3][(x + 2) % 3], to = b.triangleList[x / 3][x % 3];
    if (x / 3 != t && from == e && to == s) {
      found = x;
      ++count;
    }
    same += from == s && to == e;
  }
  return (count == 1 && same == 1) ? found : -1;
}

/// Every list a flip has to keep up to date; colours alternate so that blends are visible.
void addLists(KEXTriangleMeshBuffer& b, bool colors)
{
  EXPECT_TRUE(b.createVertexAdjacencyList() && b.createTriangleAdjacencyList() && b.calculateTriangleNormals());
  EXPECT_TRUE(b.harmonizeTriangleNormals(1.0f) && b.createTriangleAngleList());
  for (int t = 0; colors && t < b.getTriangleCount(); ++t)
    b.triangleColorList.append(KEXRGBA<float>(float(t % 2), 0.5f, float((t + 1) % 2), 1.0f));
}
} // namespace

TEST(TriangleMeshBufferEdges, PartnerCornerMatchesHalfEdgeReferenceOnRandomMeshes)
{
  std::mt19937 rng(11);
  for (int round = 0; round < 40; ++round) {
    // Also a closed mesh with some triangles reversed: inconsistent edges must give -1.
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, {12 + round % 7, 30, round % 3 == 0 ? 0.05 : 0.0}), s = makeIcosphere(1);
    flipRandomTriangles(s, 0.2, rng);
    for (KEXTriangleMeshBuffer* m : {&b, &s}) {
      const int C = 3 * m->getTriangleCount();
      EXPECT_EQ(m->partnerCorner(0), -1) << "no adjacency list at all";
      ASSERT_TRUE(m->createVertexAdjacencyList());
      for (int c = 0; c < C; ++c)
        ASSERT_EQ(m->partnerCorner(c), referencePartner(*m, c)) << "round " << round << " corner " << c;
      ASSERT_TRUE(m->createTriangleAdjacencyList());
      for (int c = 0; c < C; ++c)
        ASSERT_EQ(m->partnerCorner(c), m->triangleAdjacencyList[c / 3][c % 3]);
      EXPECT_TRUE(m->partnerCorner(-1) == -1 && m->partnerCorner(C) == -1);
    }
  }
}

TEST(TriangleMeshBufferEdges, RandomFlipSequencesKeepEveryListEqualToARebuild)
{
  std::mt19937 rng(5);
  for (bool withTriangleAdjacency : {true, false}) {
    KEXTriangleMeshBuffer b = makeIcosphere(2);
    addLists(b, true);
    if (!withTriangleAdjacency)
      b.triangleAdjacencyList.clear();
    const double volume = signedVolume(b);
    int flips = 0;
    for (int i = 0; i < 400; ++i) {
      KEXTriangleMeshBuffer before(b);
      if (!b.flipEdge(int(rng() % unsigned(3 * b.getTriangleCount())))) {
        ASSERT_TRUE(sameGeometry(before, b)) << "a refused flip changed the mesh";
        continue;
      }
      ++flips;
      ASSERT_TRUE(closedAndConsistent(b) && b.isConsistent() && vertexAdjacencyMatches(b)) << "flip " << i;
      ASSERT_TRUE(!withTriangleAdjacency || triangleAdjacencyMatches(b));
    }
    EXPECT_GT(flips, 100);
    EXPECT_GT(signedVolume(b), 0.5 * volume);
    for (int t = 0; t < b.getTriangleCount(); ++t) {
      EXPECT_NEAR(b.triangleNormalList[t].length(), 1.0f, 1e-5f);
      const KEXRGBA<float>& c = b.triangleColorList[t];
      EXPECT_TRUE(c.r >= 0 && c.r <= 1 && c.b >= 0 && c.b <= 1 && c.g == 0.5f);
    }
  }
}

// Flips that would damage the mesh are refused, and leave it as it was.
TEST(TriangleMeshBufferEdges, FlipEdgeRefusesWhatWouldDamageTheMesh)
{
  const std::vector<Vec3> quad = {{0, 0, 0}, {4, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  const struct {
    const char* name;
    KEXTriangleMeshBuffer mesh;
    bool lists;
    std::vector<int> corners;
  } cases[] = {
      // Every flip would join two vertices that already share an edge.
      {"tetrahedron", makeTetrahedron(), true, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
      {"border edges have no partner", makeBuffer(quad, {{0, 1, 2}, {0, 2, 3}}), true, {1, 5}},
      {"inconsistently oriented neighbour", makeBuffer(quad, {{0, 1, 2}, {2, 0, 3}}), false, {0}},
      {"partner apex on the shared edge", makeBuffer({quad[0], quad[1], quad[2]}, {{0, 1, 2}, {0, 2, 2}}), false, {0, 1, 2, 3, 4, 5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KEXTriangleMeshBuffer b(c.mesh);
    if (c.lists)
      addLists(b, false);
    // The pairing of a neighbour is known only through the triangle adjacency list.
    ASSERT_TRUE(b.hasTriangleAdjacencyList() || b.createTriangleAdjacencyList());
    ASSERT_TRUE(c.corners.size() > 1 || b.partnerCorner(c.corners[0]) >= 0) << "a lone corner has a partner";
    const KEXTriangleMeshBuffer before(b);
    for (int corner : c.corners)
      EXPECT_FALSE(b.flipEdge(corner)) << corner;
    EXPECT_TRUE(sameGeometry(before, b));
    EXPECT_TRUE(!b.hasVertexAdjacencyList() || vertexAdjacencyMatches(b));
  }
}

TEST(TriangleMeshBufferEdges, FlipEdgeAllocationFailureLeavesTheBufferUnchanged)
{
  // A fan of 36 triangles around vertex 0 and one outer triangle on the ring edge 1-2: flipping
  // that edge gives vertex 0 its 37th corner, which no longer fits a pool slot and needs a block of
  // its own, so the flip has an allocation to fail.
  const int n = 36;
  std::vector<Vec3> v = {{0, 0, 0}};
  std::vector<Tri> t;
  for (int i = 0; i < n; ++i) {
    v.push_back(Vec3(float(std::cos(2.0 * M_PI * i / n)), float(std::sin(2.0 * M_PI * i / n)), 0.0f));
    t.push_back(Tri(0, 1 + i, 1 + (i + 1) % n));
  }
  v.push_back(Vec3(float(2 * std::cos(M_PI / n)), float(2 * std::sin(M_PI / n)), 0.0f));
  t.push_back(Tri(2, 1, n + 1));
  KEXTriangleMeshBuffer input = makeBuffer(v, t);
  addLists(input, true);
  int faults = 0;
  for (int f = 1; f < 50; ++f) {
    // Built in place for every run: a copied corner list is allocated with room to spare.
    KEXTriangleMeshBuffer b = makeBuffer(v, t);
    addLists(b, true);
    bool result, fired;
    {
      kexTest::AllocationFault fault(f);
      result = b.flipEdge(2); // triangle 0's corner 2 ends the ring edge 1 -> 2
      fired = fault.fired();
    }
    EXPECT_TRUE(vertexAdjacencyMatches(b) && triangleAdjacencyMatches(b));
    EXPECT_NE(result, fired);
    if (!fired) {
      EXPECT_EQ(b.vertexAdjacencyList[0].getCount(), n + 1);
      break;
    }
    ++faults;
    EXPECT_TRUE(sameGeometry(input, b) && sameBits(b.triangleColorList, input.triangleColorList));
  }
  EXPECT_GE(faults, 1);
}
