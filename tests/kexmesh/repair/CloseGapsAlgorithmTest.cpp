// Gap closing: holes cut into closed meshes end closed, outward and consistently oriented with
// adjacency lists that equal a fresh build, and no fill ever adds an edge of three triangles or a
// second copy of a triangle; open sheets stay open; damaged input neither crashes nor cycles.
#include "kexmesh/repair/CloseGapsAlgorithm.h"

#include "kex/Testing.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshQuality.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace kexmeshtest;

namespace {


bool run(KEXTriangleMeshBuffer& b, KEXCloseGapsAlgorithm::Statistics* statistics = nullptr)
{
  KEXCloseGapsAlgorithm algorithm;
  const bool result = runAlgorithm(b, algorithm);
  if (statistics)
    *statistics = algorithm.getStatistics();
  return result;
}

// Every original triangle is still there, in its place (reversed, should its component have been
// turned to face outward).
bool keepsOriginal(const KEXTriangleMeshBuffer& now, const KEXTriangleMeshBuffer& before)
{
  if (now.getTriangleCount() < before.getTriangleCount())
    return false;
  for (int t = 0; t < before.getTriangleCount(); ++t) {
    const KEXTriangle<int>& a = before.triangleList[t];
    if (now.triangleList[t] != a && now.triangleList[t] != KEXTriangle<int>(a[0], a[2], a[1]))
      return false;
  }
  return true;
}

// The unit cube without its bottom face, every triangle reversed: an open surface facing inward.
KEXTriangleMeshBuffer openInwardBox()
{
  std::vector<bool> bottom(12, false);
  bottom[0] = bottom[1] = true;
  KEXTriangleMeshBuffer box = withoutTriangles(makeCube(), bottom);
  for (auto& t : box.triangleList)
    std::swap(t[1], t[2]);
  return box;
}

// What every run must leave: no edge of three or more triangles, no triangle twice (unless the
// input had them), the original triangles in place, kept adjacency lists equal to a fresh build,
// and every component that is closed now but was not before facing outward.
void expectNoHarm(const KEXTriangleMeshBuffer& after, const KEXTriangleMeshBuffer& before, const std::string& what)
{
  EXPECT_EQ(measure(after).nonManifoldEdges, measure(before).nonManifoldEdges) << what;
  EXPECT_EQ(measure(after).duplicateTriangles, measure(before).duplicateTriangles) << what;
  EXPECT_TRUE(keepsOriginal(after, before)) << what;
  if (after.hasTriangleAdjacencyList()) {
    EXPECT_TRUE(triangleAdjacencyMatches(after)) << what;
    EXPECT_TRUE(vertexAdjacencyMatches(after)) << what;
  }
  EXPECT_LE(measure(after).inwardComponents, measure(before).inwardComponents) << what;
}

} // namespace

TEST(CloseGapsAlgorithmTest, RandomHolesIncludingSharedVerticesEndClosed)
{
  // Stars of vertices removed from icospheres; centres never adjacent, so holes may share ring
  // vertices (figure-eight borders) or merge, but no filling diagonal can meet an existing edge.
  std::mt19937 rng(5);
  const KEXTriangleMeshBuffer sphere = makeIcosphere(3);
  KEXTriangleMeshBuffer adjacencyProbe(sphere);
  ASSERT_TRUE(adjacencyProbe.createVertexAdjacencyList());
  auto neighbours = [&](int v) {
    std::set<int> n;
    for (int c : adjacencyProbe.vertexAdjacencyList[v])
      for (int k = 0; k < 3; ++k)
        n.insert(adjacencyProbe.triangleList[c / 3][k]);
    return n;
  };
  int sharedVertexTrials = 0;
  for (int trial = 0; trial < 30; ++trial) {
    std::set<int> centres;
    const int count = 1 + trial % 8;
    for (int attempt = 0; int(centres.size()) < count && attempt < 1000; ++attempt) {
      int v = int(rng() % unsigned(sphere.getVertexCount()));
      if (trial % 3 == 0 && centres.size() == 1) { // provoke a shared ring vertex: distance two
        std::set<int> ring = neighbours(*centres.begin());
        int r = *std::next(ring.begin(), long(rng() % ring.size()));
        std::set<int> second = neighbours(r);
        v = *std::next(second.begin(), long(rng() % second.size()));
      }
      bool adjacent = false;
      for (int c : centres)
        adjacent = adjacent || neighbours(c).count(v) > 0;
      if (!adjacent)
        centres.insert(v);
    }
    KEXTriangleMeshBuffer b = withoutStars(sphere, centres);
    const KEXTriangleMeshBuffer holed(b);
    // Count vertices shared by two rings.
    std::map<int, int> ringCount;
    for (int c : centres)
      for (int r : neighbours(c))
        if (r != c)
          ++ringCount[r];
    for (auto& [v, n] : ringCount)
      sharedVertexTrials += n > 1;
    const bool keepLists = trial % 2 == 1;
    if (keepLists) {
      ASSERT_TRUE(b.createTriangleAdjacencyList());
    }
    KEXCloseGapsAlgorithm::Statistics s;
    ASSERT_TRUE(run(b, &s));
    EXPECT_TRUE(keepsOriginal(b, holed));
    EXPECT_TRUE(closedAndConsistent(b)) << "trial " << trial;
    EXPECT_EQ(eulerCharacteristic(b), 2) << "trial " << trial;
    EXPECT_GT(signedVolume(b), 4.0);
    EXPECT_EQ(s.abandonedLoops, 0);
    EXPECT_EQ(b.hasTriangleAdjacencyList(), keepLists);
    if (keepLists) {
      EXPECT_TRUE(triangleAdjacencyMatches(b));
      EXPECT_TRUE(vertexAdjacencyMatches(b));
    }
  }
  EXPECT_GT(sharedVertexTrials, 3);
}

TEST(CloseGapsAlgorithmTest, DamagedInputNeverCrashesOrCycles)
{
  // Random damaged meshes: non-manifold fans, duplicates, repeated and invalid indices, loops of
  // two edges, figure eights. Whatever is filled, the buffer stays consistent and kept adjacency
  // lists equal a fresh build.
  std::mt19937 rng(9);
  for (int trial = 0; trial < 150; ++trial) {
    RandomMeshOptions o;
    o.vertices = 6 + int(rng() % 40);
    o.triangles = 1 + int(rng() % 90);
    o.invalidIndexRate = trial % 3 == 0 ? 0.05 : 0.0;
    o.duplicateRate = 0.1;
    o.repeatedIndexRate = 0.05;
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, o);
    if (trial % 4 == 1) {
      KEXTriangleMeshBuffer extra = makeIcosphere(1);
      flipRandomTriangles(extra, 0.2, rng);
      append(b, extra);
    }
    const KEXTriangleMeshBuffer before(b);
    const bool keepLists = trial % 2 == 0;
    if (keepLists) {
      ASSERT_TRUE(b.createTriangleAdjacencyList());
    }
    KEXCloseGapsAlgorithm::Statistics s;
    ASSERT_TRUE(run(b, &s)) << "trial " << trial;
    ASSERT_TRUE(b.isConsistent());
    EXPECT_EQ(b.getTriangleCount() - before.getTriangleCount(), s.addedTriangles);
    expectNoHarm(b, before, "trial " + std::to_string(trial));
  }
}

TEST(CloseGapsAlgorithmTest, OpenSheetsStayOpenAndClosedSolidsFaceOutward)
{
  auto curved = [](KEXTriangleMeshBuffer g) {
    for (auto& p : g.vertexList)
      p.z = 0.05f * std::sin(p.x);
    return g;
  };
  auto holedGrid = [] {
    KEXTriangleMeshBuffer g = makeGrid(8, 8);
    std::vector<bool> quad(size_t(g.getTriangleCount()), false);
    quad[size_t(2 * (3 * 8 + 3))] = quad[size_t(2 * (3 * 8 + 3) + 1)] = true;
    return withoutTriangles(g, quad);
  };
  auto thinBox = [] {
    KEXTriangleMeshBuffer b = makeCube();
    for (auto& p : b.vertexList)
      p = Vec3(10 * p.x, 10 * p.y, 0.2f * p.z);
    std::vector<bool> top(12, false);
    top[2] = true;
    return withoutTriangles(b, top);
  };
  auto thinPlate = [] {
    KEXTriangleMeshBuffer b = makeIcosphere(2);
    for (auto& p : b.vertexList)
      p.z *= 0.05f;
    return withoutStars(b, {0});
  };
  auto twoBoxes = [] {
    KEXTriangleMeshBuffer b = openInwardBox();
    std::vector<bool> bottom(12, false);
    bottom[0] = bottom[1] = true;
    KEXTriangleMeshBuffer outward = withoutTriangles(makeCube(), bottom);
    for (auto& p : outward.vertexList)
      p.x += 3.0f;
    append(b, outward);
    return b;
  };
  struct Case {
    const char* name;
    KEXTriangleMeshBuffer mesh;
    int filled, sheets, reoriented;
    bool closed;
  };
  auto openCube = [] {
    std::vector<bool> bottom(12, false);
    bottom[0] = bottom[1] = true;
    return withoutTriangles(makeCube(), bottom);
  };
  const Case cases[] = {
      {"closed sphere", makeIcosphere(2), 0, 0, 0, true},
      {"open cube", openCube(), 1, 0, 0, true},
      {"flat grid", makeGrid(6, 4), 0, 1, 0, false},
      {"curved grid", curved(makeGrid(12, 6)), 0, 1, 0, false},
      {"long strip", makeGrid(150, 2), 0, 1, 0, false},
      {"grid with an inner hole", holedGrid(), 1, 1, 0, false},
      {"hemisphere", makeHemisphere(4, 16), 1, 0, 0, true},
      {"thin box", thinBox(), 1, 0, 0, true},
      {"thin plate", thinPlate(), 1, 0, 0, true},
      {"inward box", openInwardBox(), 1, 0, 1, true},
      {"inward and outward box", twoBoxes(), 2, 0, 1, true},
  };
  for (const Case& c : cases) {
    for (bool keepLists : {false, true}) {
      KEXTriangleMeshBuffer b(c.mesh);
      if (keepLists) {
        ASSERT_TRUE(b.createTriangleAdjacencyList());
      }
      kexTest::RecordingScope monitor;
      KEXCloseGapsAlgorithm::Statistics s;
      ASSERT_TRUE(run(b, &s)) << c.name;
      EXPECT_EQ(s.filledLoops, c.filled) << c.name;
      EXPECT_EQ(s.sheetLoops, c.sheets) << c.name;
      EXPECT_EQ(s.reorientedComponents, c.reoriented) << c.name;
      EXPECT_EQ(b.getTriangleCount() - c.mesh.getTriangleCount(), s.addedTriangles) << c.name;
      EXPECT_EQ(closedAndConsistent(b), c.closed) << c.name;
      EXPECT_EQ(monitor.hasDiagnostic("Left 1 outlines of open sheets open"), c.sheets == 1) << c.name;
      EXPECT_TRUE(monitor.progressMonotone());
      EXPECT_EQ(monitor.rootStatus(), KEXTaskInfo::Succeeded);
      const auto begun = monitor.begunMessages();
      EXPECT_NE(std::find(begun.begin(), begun.end(), "Closing gaps"), begun.end());
      EXPECT_EQ(b.hasTriangleAdjacencyList(), keepLists) << "lists built for the run are removed";
      EXPECT_EQ(b.hasVertexAdjacencyList(), keepLists);
      if (c.filled == 0 && c.reoriented == 0) {
        EXPECT_TRUE(sameGeometry(b, c.mesh)) << c.name;
      }
      expectNoHarm(b, c.mesh, c.name);
      if (c.closed) {
        EXPECT_GT(signedVolume(b), 0.0) << c.name;
      }
    }
  }
}
