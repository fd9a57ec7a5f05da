// Gap closing: holes cut into closed meshes end closed and consistently oriented with adjacency
// lists that equal a fresh build; protected edges, inconsistent neighbours, non-manifold and
// corrupt input leave loops open without crashing or cycling; failures leave a consistent buffer.
#include "kexmesh/repair/CloseGapsAlgorithm.h"

#include "kex/Testing.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

using namespace kexmeshtest;

namespace {

KEXTriangleMeshBuffer without(const KEXTriangleMeshBuffer& mesh, const std::vector<bool>& remove)
{
  std::vector<KEXTriangle<int>> kept;
  for (int t = 0; t < mesh.getTriangleCount(); ++t)
    if (!remove[size_t(t)])
      kept.push_back(mesh.triangleList[t]);
  return makeBuffer(vertices(mesh), kept);
}

// Removes every triangle that uses one of the given vertices.
KEXTriangleMeshBuffer withoutStars(const KEXTriangleMeshBuffer& mesh, const std::set<int>& centres)
{
  std::vector<bool> remove(size_t(mesh.getTriangleCount()), false);
  for (int t = 0; t < mesh.getTriangleCount(); ++t)
    for (int k = 0; k < 3; ++k)
      remove[size_t(t)] = remove[size_t(t)] || centres.count(mesh.triangleList[t][k]) > 0;
  return without(mesh, remove);
}

bool run(KEXTriangleMeshBuffer& b, KEXCloseGapsAlgorithm::Statistics* statistics = nullptr)
{
  KEXCloseGapsAlgorithm algorithm;
  const bool result = runAlgorithm(b, algorithm);
  if (statistics)
    *statistics = algorithm.getStatistics();
  return result;
}

// Euler characteristic of the used vertices, edges and triangles.
int euler(const KEXTriangleMeshBuffer& b)
{
  std::set<int> used;
  std::set<std::pair<int, int>> edges;
  for (const auto& t : b.triangleList)
    for (int k = 0; k < 3; ++k) {
      used.insert(t[k]);
      edges.insert(std::minmax(t[k], t[(k + 1) % 3]));
    }
  return int(used.size()) - int(edges.size()) + b.getTriangleCount();
}

// Every original triangle is still there, in its place.
bool keepsOriginal(const KEXTriangleMeshBuffer& now, const KEXTriangleMeshBuffer& before)
{
  if (now.getTriangleCount() < before.getTriangleCount())
    return false;
  for (int t = 0; t < before.getTriangleCount(); ++t)
    if (now.triangleList[t] != before.triangleList[t])
      return false;
  return true;
}

} // namespace

TEST(CloseGapsAlgorithmTest, ClosedMeshIsUnchangedAndListsAreRestored)
{
  KEXTriangleMeshBuffer b = makeIcosphere(2);
  const KEXTriangleMeshBuffer before(b);
  ASSERT_TRUE(run(b));
  EXPECT_TRUE(sameGeometry(b, before));
  EXPECT_FALSE(b.hasVertexAdjacencyList());
  EXPECT_FALSE(b.hasTriangleAdjacencyList());
  // Lists present at the start stay, and stay right.
  ASSERT_TRUE(b.createTriangleAdjacencyList());
  ASSERT_TRUE(run(b));
  EXPECT_TRUE(triangleAdjacencyMatches(b));
  EXPECT_TRUE(vertexAdjacencyMatches(b));
}

TEST(CloseGapsAlgorithmTest, CubeFaceSingleTriangleAndProgress)
{
  KEXTriangleMeshBuffer cube = makeCube();
  std::vector<bool> remove(12, false);
  remove[0] = remove[1] = true; // the bottom face
  KEXTriangleMeshBuffer b = without(cube, remove);
  KEXCloseGapsAlgorithm::Statistics s;
  kexTest::RecordingScope monitor;
  ASSERT_TRUE(run(b, &s));
  EXPECT_EQ(b.getTriangleCount(), 12);
  EXPECT_TRUE(closedAndConsistent(b));
  EXPECT_NEAR(signedVolume(b), 1.0, 1e-6);
  EXPECT_EQ(s.filledLoops, 1);
  EXPECT_EQ(s.addedTriangles, 2);
  EXPECT_EQ(s.largestFilledLoop, 4);
  EXPECT_TRUE(monitor.progressMonotone());
  EXPECT_EQ(monitor.rootStatus(), KEXTaskInfo::Succeeded);
  const auto begun = monitor.begunMessages();
  EXPECT_NE(std::find(begun.begin(), begun.end(), "Closing gaps"), begun.end());

  // One triangle: its three-edge loop gets the reversed triangle.
  KEXTriangleMeshBuffer one = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}});
  ASSERT_TRUE(run(one));
  ASSERT_EQ(one.getTriangleCount(), 2);
  EXPECT_TRUE(closedAndConsistent(one));
  EXPECT_EQ(rotated(one.triangleList[1]), rotated(KEXTriangle<int>(0, 2, 1)));
}

TEST(CloseGapsAlgorithmTest, ProtectedEdgesKeepTheirLoopOpen)
{
  KEXTriangleMeshBuffer cube = makeCube();
  std::vector<bool> remove(12, false);
  remove[0] = remove[1] = true; // bottom face: vertices 0, 1, 2, 3
  const KEXTriangleMeshBuffer holed = without(cube, remove);
  auto withFlags = [&](std::vector<char> flags) {
    KEXTriangleMeshBuffer b(holed);
    for (char f : flags)
      b.vertexEdgeFlagList.append(f);
    return b;
  };
  // All edges protected: not closed.
  KEXTriangleMeshBuffer all = withFlags({1, 1, 1, 1, 0, 0, 0, 0});
  ASSERT_TRUE(run(all));
  EXPECT_EQ(all.getTriangleCount(), 10);
  // One protected edge (vertices 1 and 2): the loop is given up, not an error.
  KEXTriangleMeshBuffer one = withFlags({0, 3, 3, 0, 3, 0, 0, 0});
  KEXCloseGapsAlgorithm::Statistics s;
  ASSERT_TRUE(run(one, &s));
  EXPECT_EQ(one.getTriangleCount(), 10);
  EXPECT_GE(s.abandonedLoops, 1);
  EXPECT_EQ(s.filledLoops, 0);
  // Different flags protect nothing, and neither does a flag list of the wrong length.
  KEXTriangleMeshBuffer different = withFlags({1, 2, 1, 2, 1, 2, 1, 2});
  ASSERT_TRUE(run(different));
  EXPECT_TRUE(closedAndConsistent(different));
  KEXTriangleMeshBuffer wrongLength = withFlags({1, 1, 1});
  ASSERT_TRUE(run(wrongLength));
  EXPECT_TRUE(closedAndConsistent(wrongLength));
}

TEST(CloseGapsAlgorithmTest, TwoHolesFilledInTheOrderOfTheirLowestBorderCorner)
{
  KEXTriangleMeshBuffer sphere = makeIcosphere(1);
  KEXTriangleMeshBuffer b = withoutStars(sphere, {0, 3});
  KEXTriangleMeshBuffer probe(b);
  ASSERT_TRUE(probe.createTriangleAdjacencyList());
  int lowest = -1;
  for (int c = 0; c < 3 * probe.getTriangleCount() && lowest < 0; ++c)
    if (probe.triangleAdjacencyList[c / 3][c % 3] < 0)
      lowest = c;
  const int T0 = b.getTriangleCount();
  KEXCloseGapsAlgorithm::Statistics s;
  ASSERT_TRUE(run(b, &s));
  EXPECT_EQ(s.filledLoops, 2);
  EXPECT_TRUE(closedAndConsistent(b));
  EXPECT_EQ(euler(b), 2);
  // The first filling triangle joins the lowest border corner's hole: it uses that corner's edge.
  const int a = b.cornerVertex(lowest), from = b.cornerVertex(KEXTriangleMeshBuffer::previousCorner(lowest));
  bool found = false;
  for (int t = T0; t < T0 + 3; ++t) // the first hole (a ring of 5 or 6) is emitted first
    for (int k = 0; k < 3; ++k)
      found = found || (b.triangleList[t][k] == a && b.triangleList[t][(k + 1) % 3] == from);
  EXPECT_TRUE(found);
}

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
    EXPECT_EQ(euler(b), 2) << "trial " << trial;
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

TEST(CloseGapsAlgorithmTest, InconsistentNeighbourGivesTheLoopUp)
{
  const KEXTriangleMeshBuffer sphere = makeIcosphere(2);
  KEXTriangleMeshBuffer b = withoutStars(sphere, {0});
  // Flip a triangle on the hole's border.
  KEXTriangleMeshBuffer probe(b);
  ASSERT_TRUE(probe.createTriangleAdjacencyList());
  int borderTriangle = -1;
  for (int c = 0; c < 3 * probe.getTriangleCount() && borderTriangle < 0; ++c)
    if (probe.triangleAdjacencyList[c / 3][c % 3] < 0)
      borderTriangle = c / 3;
  std::swap(b.triangleList[borderTriangle][1], b.triangleList[borderTriangle][2]);
  ASSERT_TRUE(b.createTriangleAdjacencyList());
  const KEXTriangleMeshBuffer before(b);
  KEXCloseGapsAlgorithm::Statistics s;
  ASSERT_TRUE(run(b, &s));
  EXPECT_GE(s.abandonedLoops, 1);
  EXPECT_TRUE(keepsOriginal(b, before));
  // The marks of given-up edges are gone again: the kept list equals a fresh build.
  EXPECT_TRUE(triangleAdjacencyMatches(b));
  EXPECT_TRUE(vertexAdjacencyMatches(b));

  // A flipped triangle away from the hole does not matter.
  KEXTriangleMeshBuffer far = withoutStars(sphere, {0});
  KEXTriangleMeshBuffer farProbe(far);
  ASSERT_TRUE(farProbe.createTriangleAdjacencyList());
  int inner = -1;
  for (int t = 0; t < far.getTriangleCount() && inner < 0; ++t) {
    bool border = false;
    for (int k = 0; k < 3; ++k) {
      const int p = farProbe.triangleAdjacencyList[t][k];
      border = border || p < 0;
      for (int j = 0; j < 3 && p >= 0; ++j)
        border = border || farProbe.triangleAdjacencyList[p / 3][j] < 0;
    }
    if (!border)
      inner = t;
  }
  ASSERT_GE(inner, 0);
  std::swap(far.triangleList[inner][1], far.triangleList[inner][2]);
  ASSERT_TRUE(run(far, &s));
  EXPECT_EQ(s.filledLoops, 1);
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
    EXPECT_TRUE(keepsOriginal(b, before));
    EXPECT_EQ(b.getTriangleCount() - before.getTriangleCount(), s.addedTriangles);
    if (keepLists) {
      EXPECT_TRUE(triangleAdjacencyMatches(b)) << "trial " << trial;
      EXPECT_TRUE(vertexAdjacencyMatches(b)) << "trial " << trial;
    }
  }
  // A triangle soup: every triangle its own three-edge hole, closed by its reverse.
  KEXTriangleMeshBuffer soup = toSoup(makeIcosphere(1));
  KEXCloseGapsAlgorithm::Statistics s;
  ASSERT_TRUE(run(soup, &s));
  EXPECT_EQ(s.filledLoops, 80);
  EXPECT_EQ(soup.getTriangleCount(), 160);
  EXPECT_TRUE(closedAndConsistent(soup));
  // Four triangles on one edge: that edge is a border edge of each, the loops it forms have two
  // edges or run into each other; nothing breaks.
  KEXTriangleMeshBuffer fins = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}},
                                          {{0, 1, 2}, {1, 0, 3}, {0, 1, 4}, {1, 0, 5}});
  ASSERT_TRUE(fins.createTriangleAdjacencyList());
  ASSERT_TRUE(run(fins, &s));
  EXPECT_TRUE(triangleAdjacencyMatches(fins));
}

TEST(CloseGapsAlgorithmTest, CorruptAdjacencyCannotMakeTheWalkCycle)
{
  // Two triangles around vertex 0 whose (hand-made) adjacency sends the walk around vertex 0 in a
  // circle that never reaches a border edge; and one entry that points outside the list.
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}}, {{0, 1, 2}, {0, 3, 4}});
  ASSERT_TRUE(b.createVertexAdjacencyList());
  b.triangleAdjacencyList.setCount(2, KEXTriangle<int>(-1, -1, -1));
  b.triangleAdjacencyList[0][1] = 3; // corner 1 -> corner 3 (vertex 0 of triangle 1)
  b.triangleAdjacencyList[1][1] = 0; // corner 4 -> corner 0 (vertex 0 of triangle 0)
  KEXCloseGapsAlgorithm::Statistics s;
  ASSERT_TRUE(run(b, &s));
  EXPECT_GE(s.abandonedLoops, 1);
  EXPECT_EQ(b.getTriangleCount(), 2);

  KEXTriangleMeshBuffer c = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}});
  c.triangleAdjacencyList.setCount(1, KEXTriangle<int>(-1, 1000, -1));
  ASSERT_TRUE(run(c, &s));
  EXPECT_EQ(c.getTriangleCount(), 1);
}

TEST(CloseGapsAlgorithmTest, OversizedLoopsStayOpenWithAWarning)
{
  // The border of a 2401 x 1 grid has 4804 edges, more than the triangulation is allowed.
  KEXTriangleMeshBuffer b = makeGrid(2401, 1);
  ASSERT_GT(2 * 2401 + 2, KEXCloseGapsAlgorithm::MAXIMUM_LOOP_LENGTH);
  kexTest::RecordingScope monitor;
  KEXCloseGapsAlgorithm::Statistics s;
  ASSERT_TRUE(run(b, &s));
  EXPECT_EQ(b.getTriangleCount(), 2 * 2401);
  EXPECT_EQ(s.oversizedLoops, 1);
  EXPECT_EQ(s.largestOpenLoop, 2 * 2401 + 2);
  EXPECT_TRUE(monitor.hasDiagnostic("Left 1 holes of more than 4000 edges open"));
  // A long loop below the limit is filled.
  KEXTriangleMeshBuffer g = makeGrid(150, 2);
  ASSERT_TRUE(run(g, &s));
  EXPECT_EQ(s.largestFilledLoop, 304);
  EXPECT_TRUE(closedAndConsistent(g));
}

TEST(CloseGapsAlgorithmTest, AllocationFailuresKeepFilledHolesAndConsistency)
{
  const KEXTriangleMeshBuffer input = withoutStars(makeIcosphere(2), {0, 7, 30});
  auto check = [&](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor& monitor) {
    EXPECT_FALSE(result);
    EXPECT_TRUE(keepsOriginal(b, input));
    EXPECT_TRUE(manifoldEdgesConsistent(b));
    EXPECT_FALSE(b.hasVertexAdjacencyList());
    EXPECT_FALSE(b.hasTriangleAdjacencyList());
    const KEXenum code = monitor.rootCode();
    EXPECT_TRUE(code == KEX::OutOfMemory || code == KEX::GenericError);
    if (code == KEX::OutOfMemory) {
      EXPECT_TRUE(monitor.hasDiagnostic("Out of memory"));
    }
  };
  // The algorithm object exists before the faults: its own attachment cell is not the subject.
  KEXCloseGapsAlgorithm algorithm;
  auto op = [&](KEXTriangleMeshBuffer& b) { return runAlgorithm(b, algorithm); };
  EXPECT_GT(sweepAllocationFaults(input, op, check), 5);
  // With the lists present at the start they stay and stay right.
  KEXTriangleMeshBuffer withLists(input);
  ASSERT_TRUE(withLists.createTriangleAdjacencyList());
  sweepAllocationFaults(withLists, op,
                        [&](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor&) {
                          EXPECT_FALSE(result);
                          EXPECT_TRUE(triangleAdjacencyMatches(b));
                          EXPECT_TRUE(vertexAdjacencyMatches(b));
                        });
}

TEST(CloseGapsAlgorithmTest, StopsAndAbortsLeaveAConsistentBuffer)
{
  const KEXTriangleMeshBuffer input = withoutStars(makeIcosphere(2), {0, 7});
  for (auto kind : {KEXTaskMonitor::Stop, KEXTaskMonitor::Abort}) {
    long reports = sweepStops(
        input, [](KEXTriangleMeshBuffer& b) { return run(b); },
        [&](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor& monitor) {
          expectStopped(result, monitor, kind);
          EXPECT_TRUE(keepsOriginal(b, input));
          EXPECT_FALSE(b.hasTriangleAdjacencyList());
          EXPECT_FALSE(b.hasVertexAdjacencyList());
        },
        kind);
    EXPECT_GT(reports, 2);
  }
}
