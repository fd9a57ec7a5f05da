// partnerCorner and flipEdge: brute-force half-edge references on random meshes, the derived lists
// after random flip sequences against a rebuild, colour blending, refusals and allocation faults.
#include "kex/Testing.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/AlgorithmSweeps.h"
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
  const int V = b.getVertexCount();
  const int t = c / 3, k = c % 3;
  const int s = b.triangleList[t][(k + 2) % 3], e = b.triangleList[t][k];
  if (s < 0 || s >= V || e < 0 || e >= V || s == e)
    return -1;
  int found = -1, count = 0, same = 0;
  for (int u = 0; u < b.getTriangleCount(); ++u)
    for (int j = 0; j < 3; ++j) {
      int from = b.triangleList[u][(j + 2) % 3], to = b.triangleList[u][j];
      if (u != t && from == e && to == s) {
        found = 3 * u + j;
        ++count;
      }
      if (from == s && to == e)
        ++same;
    }
  return (count == 1 && same == 1) ? found : -1;
}

void addLists(KEXTriangleMeshBuffer& b, bool colors)
{
  EXPECT_TRUE(b.createVertexAdjacencyList());
  EXPECT_TRUE(b.createTriangleAdjacencyList());
  EXPECT_TRUE(b.calculateTriangleNormals());
  EXPECT_TRUE(b.harmonizeTriangleNormals(1.0f));
  EXPECT_TRUE(b.createTriangleAngleList());
  if (colors) {
    b.triangleColorList.setCount(b.getTriangleCount());
    for (int t = 0; t < b.getTriangleCount(); ++t)
      b.triangleColorList[t] = KEXRGBA<float>(float(t % 2), 0.5f, float((t + 1) % 2), 1.0f);
  }
}

KEXTriangleMeshBuffer withLists(KEXTriangleMeshBuffer b, bool colors)
{
  addLists(b, colors);
  return b;
}

/// The quadrilateral (0,0) (4,0) (1,1) (0,1) split along 0-2 into t = (0,1,2), t' = (0,2,3).
KEXTriangleMeshBuffer kite()
{
  return makeBuffer({{0, 0, 0}, {4, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {{0, 1, 2}, {0, 2, 3}});
}

} // namespace

TEST(TriangleMeshBufferEdges, PartnerCornerMatchesHalfEdgeReferenceOnRandomMeshes)
{
  std::mt19937 rng(11);
  for (int round = 0; round < 40; ++round) {
    RandomMeshOptions o;
    o.vertices = 12 + round % 7;
    o.triangles = 30;
    o.invalidIndexRate = round % 3 == 0 ? 0.05 : 0.0;
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, o);
    // Also a closed mesh with some triangles reversed: inconsistent edges must give -1.
    KEXTriangleMeshBuffer s = makeIcosphere(1);
    flipRandomTriangles(s, 0.2, rng);
    for (KEXTriangleMeshBuffer* m : {&b, &s}) {
      EXPECT_EQ(m->partnerCorner(0), -1) << "no adjacency list at all";
      ASSERT_TRUE(m->createVertexAdjacencyList());
      for (int c = 0; c < 3 * m->getTriangleCount(); ++c) {
        ASSERT_EQ(m->partnerCorner(c), referencePartner(*m, c)) << "round " << round << " corner " << c;
      }
      ASSERT_TRUE(m->createTriangleAdjacencyList());
      for (int c = 0; c < 3 * m->getTriangleCount(); ++c) {
        ASSERT_EQ(m->partnerCorner(c), m->triangleAdjacencyList[c / 3][c % 3]);
      }
      EXPECT_EQ(m->partnerCorner(-1), -1);
      EXPECT_EQ(m->partnerCorner(3 * m->getTriangleCount()), -1);
    }
  }
}

TEST(TriangleMeshBufferEdges, RandomFlipSequencesKeepEveryListEqualToARebuild)
{
  std::mt19937 rng(5);
  for (bool withTriangleAdjacency : {true, false}) {
    KEXTriangleMeshBuffer b = withLists(makeIcosphere(2), true);
    if (!withTriangleAdjacency)
      b.triangleAdjacencyList.clear();
    const double volume = signedVolume(b);
    int flips = 0;
    for (int i = 0; i < 400; ++i) {
      const int c = int(rng() % unsigned(3 * b.getTriangleCount()));
      KEXTriangleMeshBuffer before(b);
      if (!b.flipEdge(c)) {
        ASSERT_TRUE(sameGeometry(before, b)) << "a refused flip changed the mesh";
        continue;
      }
      ++flips;
      ASSERT_TRUE(closedAndConsistent(b)) << "flip " << i;
      ASSERT_TRUE(vertexAdjacencyMatches(b));
      if (withTriangleAdjacency) {
        ASSERT_TRUE(triangleAdjacencyMatches(b));
      }
      ASSERT_TRUE(b.isConsistent());
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

TEST(TriangleMeshBufferEdges, FlipEdgeRefusesWhatWouldDamageTheMesh)
{
  // A tetrahedron: every flip would join two vertices that already share an edge.
  KEXTriangleMeshBuffer tet = withLists(makeTetrahedron(), false);
  KEXTriangleMeshBuffer before(tet);
  for (int c = 0; c < 12; ++c) {
    EXPECT_FALSE(tet.flipEdge(c));
  }
  EXPECT_TRUE(sameGeometry(before, tet));
  EXPECT_TRUE(vertexAdjacencyMatches(tet));

  // A border edge has no partner.
  KEXTriangleMeshBuffer k = withLists(kite(), false);
  EXPECT_FALSE(k.flipEdge(1));
  EXPECT_FALSE(k.flipEdge(5));

  // An inconsistently oriented neighbour (known only through the triangle adjacency list).
  KEXTriangleMeshBuffer inc = makeBuffer({{0, 0, 0}, {4, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {{0, 1, 2}, {2, 0, 3}});
  ASSERT_TRUE(inc.createTriangleAdjacencyList());
  ASSERT_GE(inc.partnerCorner(0), 0);
  EXPECT_FALSE(inc.flipEdge(0));

  // Repeated vertices: a partner whose apex is one of the shared vertices.
  KEXTriangleMeshBuffer rep = makeBuffer({{0, 0, 0}, {4, 0, 0}, {1, 1, 0}}, {{0, 1, 2}, {0, 2, 2}});
  ASSERT_TRUE(rep.createTriangleAdjacencyList());
  for (int c = 0; c < 6; ++c) {
    EXPECT_FALSE(rep.flipEdge(c));
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
    double a = 2.0 * M_PI * i / n;
    v.push_back(Vec3(float(std::cos(a)), float(std::sin(a)), 0.0f));
  }
  for (int i = 0; i < n; ++i)
    t.push_back(Tri(0, 1 + i, 1 + (i + 1) % n));
  double a = 2.0 * M_PI * 0.5 / n;
  v.push_back(Vec3(float(2 * std::cos(a)), float(2 * std::sin(a)), 0.0f));
  t.push_back(Tri(2, 1, n + 1));
  // Built in place for every run: a copied corner list is allocated with room to spare.
  KEXTriangleMeshBuffer input = withLists(makeBuffer(v, t), true);
  const int corner = 2; // triangle 0's corner 2 ends the ring edge 1 -> 2

  int faults = 0;
  for (int f = 1; f < 50; ++f) {
    KEXTriangleMeshBuffer b = makeBuffer(v, t);
    addLists(b, true);
    bool result, fired;
    {
      kexTest::AllocationFault fault(f);
      result = b.flipEdge(corner);
      fired = fault.fired();
    }
    if (!fired) {
      EXPECT_TRUE(result);
      EXPECT_EQ(b.vertexAdjacencyList[0].getCount(), n + 1);
      EXPECT_TRUE(vertexAdjacencyMatches(b));
      EXPECT_TRUE(triangleAdjacencyMatches(b));
      break;
    }
    ++faults;
    EXPECT_FALSE(result);
    EXPECT_TRUE(sameGeometry(input, b));
    EXPECT_TRUE(vertexAdjacencyMatches(b));
    EXPECT_TRUE(triangleAdjacencyMatches(b));
    for (int i = 0; i < b.getTriangleCount(); ++i) {
      EXPECT_EQ(b.triangleColorList[i], input.triangleColorList[i]);
    }
  }
  EXPECT_GE(faults, 1);
}
