// Orientation consolidation: closed meshes with random flips and inversions end consistent and
// outward; flat patches with and without vertex normals; a Moebius strip; and, on random damaged
// and multi-component meshes, exactly the result of the two phases written out plainly.
#include "kexmesh/repair/ConsolidateOrientationAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

using namespace kexmeshtest;

namespace {

bool consolidate(KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXConsolidateOrientationAlgorithm>(b); }

void flipAll(KEXTriangleMeshBuffer& b)
{
  for (int t = 0; t < b.getTriangleCount(); ++t)
    std::swap(b.triangleList[t][1], b.triangleList[t][2]);
}

/// Reversed copy of a triangle multiset (for "exactly these triangles were flipped").
std::vector<std::array<int, 3>> reversedSet(const KEXTriangleMeshBuffer& b)
{
  KEXTriangleMeshBuffer r(b);
  flipAll(r);
  return orientedSet(r);
}

/// The two phases written out plainly, flipping during the traversal: the algorithm must produce
/// exactly the same triangle list (corner order included).
void referenceConsolidate(KEXTriangleMeshBuffer& b)
{
  const int T = b.getTriangleCount(), V = b.getVertexCount();
  ASSERT_TRUE(b.createTriangleAdjacencyList());
  std::vector<char> visited(size_t(T), 0);
  std::vector<int> stack;
  auto push = [&](int c) {
    if (c >= 0)
      stack.push_back(c);
  };
  for (int s = 0; s < T; ++s) {
    if (visited[size_t(s)])
      continue;
    visited[size_t(s)] = 1;
    push(b.triangleAdjacencyList[s][2]);
    push(b.triangleAdjacencyList[s][0]);
    push(b.triangleAdjacencyList[s][1]);
    while (!stack.empty()) {
      int c = stack.back();
      stack.pop_back();
      int t = c / 3, k = c % 3;
      if (visited[size_t(t)])
        continue;
      visited[size_t(t)] = 1;
      int back = b.triangleAdjacencyList[t][k];
      if (back >= 0 && b.triangleList[back / 3][back % 3] == b.triangleList[t][k])
        b.flipTriangle(t, (k + 1) % 3);
      push(b.triangleAdjacencyList[t][(k + 1) % 3]);
      push(b.triangleAdjacencyList[t][(k + 2) % 3]);
    }
  }
  std::vector<int> parent{std::vector<int>(size_t(V))};
  for (int v = 0; v < V; ++v)
    parent[size_t(v)] = v;
  std::function<int(int)> find = [&](int v) { return parent[size_t(v)] == v ? v : parent[size_t(v)] = find(parent[size_t(v)]); };
  auto valid = [V](int v) { return v >= 0 && v < V; };
  for (int t = 0; t < T; ++t) {
    const KEXTriangle<int>& tri = b.triangleList[t];
    if (!valid(tri[0]))
      continue;
    for (int k = 1; k < 3; ++k)
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
    KEXVector3<double> pa(b.vertexList[tri[0]]), pb(b.vertexList[tri[1]]), pc(b.vertexList[tri[2]]);
    KEXVector3<double> centre(box[find(tri[0])].getCenter());
    sum[find(tri[0])] += (pb - pa).cross(pc - pa).dot(pa - centre);
  }
  for (int t = 0; t < T; ++t)
    if (valid(b.triangleList[t][0]) && sum[find(b.triangleList[t][0])] < 2.220446049250313e-16)
      b.flipTriangle(t, 0);
  b.triangleAdjacencyList.clear();
  b.vertexAdjacencyList.clear();
}

} // namespace

TEST(ConsolidateOrientation, ClosedMeshesWithRandomFlipsEndConsistentAndOutward)
{
  std::mt19937 rng(7);
  const KEXTriangleMeshBuffer meshes[] = {makeCube(), makeIcosphere(2), makeTorus(16, 9)};
  for (const KEXTriangleMeshBuffer& mesh : meshes) {
    for (int round = 0; round < 12; ++round) {
      KEXTriangleMeshBuffer b(mesh);
      shuffleTriangles(b, rng);
      flipRandomTriangles(b, std::uniform_real_distribution<double>(0.0, 0.9)(rng), rng);
      if (round % 2)
        flipAll(b);
      const auto unoriented = unorientedSet(b);
      ASSERT_TRUE(consolidate(b));
      EXPECT_TRUE(closedAndConsistent(b)) << "round " << round;
      EXPECT_GT(signedVolume(b), 0.0) << "round " << round;
      EXPECT_EQ(unorientedSet(b), unoriented);
      EXPECT_EQ(orientedSet(b), orientedSet(mesh));
      EXPECT_TRUE(b.vertexAdjacencyList.isEmpty()) << "lists built by the run are removed";
      EXPECT_TRUE(b.triangleAdjacencyList.isEmpty());
    }
  }
}

TEST(ConsolidateOrientation, FlatPatchFollowsTheVertexNormalsOrFlipsWithoutThem)
{
  KEXTriangleMeshBuffer grid = makeGrid(4, 3);
  // Without vertex normals every contribution is exactly 0: the sum is 0 and the patch flips.
  KEXTriangleMeshBuffer plain(grid);
  ASSERT_TRUE(consolidate(plain));
  EXPECT_EQ(orientedSet(plain), reversedSet(grid));

  for (float nz : {1.0f, -1.0f}) {
    KEXTriangleMeshBuffer b(grid);
    b.vertexNormalList.setCount(b.getVertexCount());
    for (int v = 0; v < b.getVertexCount(); ++v)
      b.vertexNormalList[v] = Vec3(0.1f * float(v % 3), 0.0f, 2.0f * nz); // not unit length
    std::mt19937 rng(int(nz * 10 + 20));
    flipRandomTriangles(b, 0.4, rng);
    ASSERT_TRUE(consolidate(b));
    EXPECT_EQ(orientedSet(b), nz > 0 ? orientedSet(grid) : reversedSet(grid)) << "normal z " << nz;
  }
}

TEST(ConsolidateOrientation, BuffersWithoutTrianglesSucceedWithoutBuildingLists)
{
  KEXTriangleMeshBuffer empty;
  EXPECT_TRUE(consolidate(empty));
  KEXTriangleMeshBuffer cloud = makeBuffer({{0, 0, 0}, {1, 2, 3}}, {});
  kexTest::RecordingScope monitor;
  EXPECT_TRUE(consolidate(cloud));
  EXPECT_TRUE(cloud.vertexAdjacencyList.isEmpty());
  EXPECT_EQ(monitor.rootStatus(), KEXTaskInfo::Succeeded);
  EXPECT_EQ(monitor.begunMessages(), std::vector<std::string>{"Consolidating triangle orientation"});
}

TEST(ConsolidateOrientation, PresentListsStayAndMatchARebuild)
{
  std::mt19937 rng(19);
  KEXTriangleMeshBuffer b = makeTorus(12, 7);
  flipRandomTriangles(b, 0.5, rng);
  ASSERT_TRUE(b.createTriangleAdjacencyList()); // builds the vertex adjacency list too
  ASSERT_TRUE(b.calculateTriangleNormals());
  ASSERT_TRUE(b.createTriangleAngleList());
  ASSERT_TRUE(consolidate(b));
  EXPECT_TRUE(closedAndConsistent(b));
  EXPECT_TRUE(vertexAdjacencyMatches(b));
  EXPECT_TRUE(triangleAdjacencyMatches(b));
  KEXTriangleMeshBuffer fresh = makeBuffer(vertices(b), triangles(b));
  ASSERT_TRUE(fresh.calculateTriangleNormals());
  ASSERT_TRUE(fresh.createTriangleAngleList());
  for (int t = 0; t < b.getTriangleCount(); ++t) {
    EXPECT_LT((b.triangleNormalList[t] - fresh.triangleNormalList[t]).length(), 1e-4f);
    EXPECT_EQ(b.triangleAngleList[t], fresh.triangleAngleList[t]);
  }
}

TEST(ConsolidateOrientation, MoebiusStripEndsWithOneSeam)
{
  std::mt19937 rng(23);
  // A Moebius strip: no consistent winding exists; the run ends and keeps every triangle.
  std::vector<Vec3> v;
  std::vector<Tri> t;
  const int n = 24;
  for (int i = 0; i < n; ++i) {
    double a = 2.0 * M_PI * i / n, w = 0.3;
    for (int s : {-1, 1}) {
      double r = 1.0 + s * w * std::cos(a / 2);
      v.push_back(Vec3(float(r * std::cos(a)), float(r * std::sin(a)), float(s * w * std::sin(a / 2))));
    }
  }
  for (int i = 0; i < n; ++i) {
    int a0 = 2 * i, a1 = 2 * i + 1;
    int b0 = i + 1 < n ? 2 * (i + 1) : 1, b1 = i + 1 < n ? 2 * (i + 1) + 1 : 0; // the half twist
    t.push_back(Tri(a0, b0, b1));
    t.push_back(Tri(a0, b1, a1));
  }
  KEXTriangleMeshBuffer m = makeBuffer(v, t);
  flipRandomTriangles(m, 0.5, rng);
  const auto unoriented = unorientedSet(m);
  ASSERT_TRUE(consolidate(m));
  EXPECT_EQ(unorientedSet(m), unoriented);
  // All but the seam agree: at most one edge runs the same way in both triangles.
  int seams = 0;
  for (const auto& [e, count] : halfEdges(m))
    seams += count > 1 ? 1 : 0;
  EXPECT_LE(seams, 1);
}

TEST(ConsolidateOrientation, InconsistentBufferIsRefused)
{
  KEXTriangleMeshBuffer b = makeCube();
  b.triangleNormalList.setCount(3);
  KEXTriangleMeshBuffer before(b);
  EXPECT_FALSE(consolidate(b));
  EXPECT_TRUE(sameGeometry(before, b));
}

TEST(ConsolidateOrientation, MatchesThePlainTwoPhaseProcedureExactly)
{
  std::mt19937 rng(37);
  for (int round = 0; round < 40; ++round) {
    KEXTriangleMeshBuffer b;
    if (round % 2) {
      RandomMeshOptions o;
      o.vertices = 10 + round;
      o.triangles = 20 + 4 * round;
      o.invalidIndexRate = round % 3 == 0 ? 0.03 : 0.0;
      b = makeRandomMesh(rng, o);
    } else {
      // Several closed components, one of them wholly inward, another touching it at one vertex
      // only (one component for the vote, none for the propagation); the seed is wherever the
      // shuffle puts it.
      b = round % 4 ? makeTorus(9, 5) : makeIcosphere(1);
      if (round % 8 == 2)
        flipAll(b);
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
    ASSERT_TRUE(consolidate(b));
    ASSERT_TRUE(b.isConsistent());
    ASSERT_EQ(triangles(b), triangles(reference)) << "round " << round;
  }
}
