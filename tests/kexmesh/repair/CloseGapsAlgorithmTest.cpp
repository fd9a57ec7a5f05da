// Gap closing: holes cut into closed meshes end closed, outward and consistently oriented with
// adjacency lists that equal a fresh build, and no fill ever adds an edge of three triangles or a
// second copy of a triangle; open sheets stay open; damaged input neither crashes nor cycles.
#include "kexmesh/repair/CloseGapsAlgorithm.h"
#include "kex/Testing.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"
#include "support/Reference.h"
#include "support/RepairSetup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace kexmeshtest;

namespace {

/// Runs the algorithm on b, with or without adjacency lists kept in it, and checks what every run
/// must leave: one succeeded task with monotone progress and a warning for sheets left open, the
/// lists kept as they were and equal to a fresh build, every original triangle in its place
/// (reversed, should its component have been turned outward), the buffer grown by the added
/// triangles, no new edge of three triangles, no new duplicate and no new inward component.
KEXCloseGapsAlgorithm::Statistics runAndCheck(KEXTriangleMeshBuffer& b, bool keepLists, const std::string& what)
{
  SCOPED_TRACE(what);
  const KEXTriangleMeshBuffer before(b);
  EXPECT_TRUE(!keepLists || b.createTriangleAdjacencyList());
  kexTest::RecordingScope monitor;
  KEXCloseGapsAlgorithm algorithm;
  EXPECT_TRUE(runAlgorithm(b, algorithm));
  const KEXCloseGapsAlgorithm::Statistics s = algorithm.getStatistics();
  EXPECT_TRUE(monitor.progressMonotone() && monitor.rootStatus() == KEXTaskInfo::Succeeded);
  const std::vector<std::string> begun = monitor.begunMessages();
  EXPECT_TRUE(!begun.empty() && begun.front() == "Closing gaps");
  EXPECT_EQ(monitor.hasDiagnostic("Left %i outlines of open sheets open"), s.sheetLoops > 0);
  EXPECT_TRUE(b.isConsistent());
  EXPECT_TRUE(b.hasTriangleAdjacencyList() == keepLists && b.hasVertexAdjacencyList() == keepLists)
      << "lists built for the run are removed";
  EXPECT_TRUE(!keepLists || (triangleAdjacencyMatches(b) && vertexAdjacencyMatches(b)));
  EXPECT_EQ(b.getTriangleCount() - before.getTriangleCount(), s.addedTriangles);
  for (int t = 0; t < std::min(before.getTriangleCount(), b.getTriangleCount()); ++t) {
    const KEXTriangle<int>& a = before.triangleList[t];
    EXPECT_TRUE(b.triangleList[t] == a || b.triangleList[t] == KEXTriangle<int>(a[0], a[2], a[1])) << t;
  }
  const MeshQuality q = measure(b), q0 = measure(before);
  EXPECT_TRUE(q.nonManifoldEdges == q0.nonManifoldEdges && q.duplicateTriangles == q0.duplicateTriangles &&
              q.inwardComponents <= q0.inwardComponents) << q.summary() << " after " << q0.summary();
  return s;
}

} // namespace

TEST(CloseGapsAlgorithmTest, RandomHolesIncludingSharedVerticesEndClosed)
{
  // Stars of vertices removed from icospheres; centres never adjacent, so holes may share ring
  // vertices (figure-eight borders) or merge, but no filling diagonal can meet an existing edge.
  std::mt19937 rng(5);
  const KEXTriangleMeshBuffer sphere = makeIcosphere(3);
  auto neighbours = [&](int v) {
    std::set<int> n;
    for (const auto& t : sphere.triangleList)
      if (t[0] == v || t[1] == v || t[2] == v)
        n.insert({t[0], t[1], t[2]});
    n.erase(v);
    return n;
  };
  auto pick = [&](const std::set<int>& s) { return *std::next(s.begin(), long(rng() % s.size())); };
  int sharedVertexTrials = 0;
  for (int trial = 0; trial < 30; ++trial) {
    std::set<int> centres;
    std::map<int, int> ringCount;
    for (int attempt = 0; int(centres.size()) < 1 + trial % 8 && attempt < 1000; ++attempt) {
      int v = int(rng() % unsigned(sphere.getVertexCount()));
      if (trial % 3 == 0 && centres.size() == 1) // provoke a shared ring vertex: distance two
        v = pick(neighbours(pick(neighbours(*centres.begin()))));
      auto adjacent = [&](int c) { return c == v || neighbours(c).count(v) > 0; };
      if (std::none_of(centres.begin(), centres.end(), adjacent))
        centres.insert(v);
    }
    for (int c : centres)
      for (int r : neighbours(c))
        sharedVertexTrials += ++ringCount[r] == 2;
    KEXTriangleMeshBuffer b = withoutStars(sphere, centres);
    const KEXCloseGapsAlgorithm::Statistics s = runAndCheck(b, trial % 2 == 1, "trial " + std::to_string(trial));
    EXPECT_TRUE(closedAndConsistent(b) && eulerCharacteristic(b) == 2 && signedVolume(b) > 4.0) << "trial " << trial;
    EXPECT_EQ(s.abandonedLoops, 0);
  }
  EXPECT_GT(sharedVertexTrials, 3);
}

TEST(CloseGapsAlgorithmTest, DamagedInputNeverCrashesOrCycles)
{
  // Random damaged meshes: non-manifold fans, duplicates, repeated and invalid indices, loops of
  // two edges, figure eights, and now and then a closed sphere with some triangles turned.
  std::mt19937 rng(9);
  for (int trial = 0; trial < 150; ++trial) {
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, {6 + int(rng() % 40), 1 + int(rng() % 90), trial % 3 ? 0.0 : 0.05, 0.1, 0.05});
    if (trial % 4 == 1) {
      KEXTriangleMeshBuffer extra = makeIcosphere(1);
      flipRandomTriangles(extra, 0.2, rng);
      append(b, extra);
    }
    runAndCheck(b, trial % 2 == 0, "trial " + std::to_string(trial));
  }
}

TEST(CloseGapsAlgorithmTest, OpenSheetsStayOpenAndClosedSolidsFaceOutward)
{
  auto scaled = [](KEXTriangleMeshBuffer b, Vec3 s) { // and slightly waved in z when s.z is 0
    for (auto& p : b.vertexList)
      p = Vec3(s.x * p.x, s.y * p.y, s.z != 0 ? s.z * p.z : 0.05f * std::sin(p.x));
    return b;
  };
  // The cube without its bottom (triangles 0 and 1), the cube without a top triangle, a grid
  // without an inner quad, and an inward open box beside an outward one.
  KEXTriangleMeshBuffer openCube = makeCube(), thinBox = makeCube(), holedGrid = makeGrid(8, 8);
  cutTriangle(openCube, 1);
  cutTriangle(openCube, 0);
  cutTriangle(thinBox, 2);
  cutTriangle(holedGrid, 2 * (3 * 8 + 3) + 1);
  cutTriangle(holedGrid, 2 * (3 * 8 + 3));
  KEXTriangleMeshBuffer twoBoxes = inverted(openCube);
  append(twoBoxes, openCube);
  for (int v = 8; v < 16; ++v)
    twoBoxes.vertexList[v].x += 3.0f;
  const struct Case {
    const char* name;
    KEXTriangleMeshBuffer mesh;
    int filled, sheets, reoriented;
    bool closed;
  } cases[] = {
      {"closed sphere", makeIcosphere(2), 0, 0, 0, true},
      {"open cube", openCube, 1, 0, 0, true},
      {"flat grid", makeGrid(6, 4), 0, 1, 0, false},
      {"curved grid", scaled(makeGrid(12, 6), Vec3(1, 1, 0)), 0, 1, 0, false},
      {"long strip", makeGrid(150, 2), 0, 1, 0, false},
      {"grid with an inner hole", holedGrid, 1, 1, 0, false},
      {"hemisphere", makeHemisphere(4, 16), 1, 0, 0, true},
      {"thin box", scaled(thinBox, Vec3(10, 10, 0.2f)), 1, 0, 0, true},
      {"thin plate", withoutStars(scaled(makeIcosphere(2), Vec3(1, 1, 0.05f)), {0}), 1, 0, 0, true},
      {"inward box", inverted(openCube), 1, 0, 1, true},
      {"inward and outward box", twoBoxes, 2, 0, 1, true},
  };
  for (const Case& c : cases)
    for (bool keepLists : {false, true}) {
      SCOPED_TRACE(c.name);
      KEXTriangleMeshBuffer b(c.mesh);
      const KEXCloseGapsAlgorithm::Statistics s = runAndCheck(b, keepLists, c.name);
      EXPECT_EQ((std::array<int, 3>{s.filledLoops, s.sheetLoops, s.reorientedComponents}), (std::array<int, 3>{c.filled, c.sheets, c.reoriented}));
      EXPECT_EQ(closedAndConsistent(b), c.closed);
      EXPECT_TRUE(c.filled + c.reoriented > 0 || sameGeometry(b, c.mesh)) << "nothing done, nothing changed";
      EXPECT_TRUE(!c.closed || signedVolume(b) > 0.0) << "closed solids face outward";
    }
}
