// Gap closing: holes cut into closed meshes end closed, outward and consistently oriented with
// adjacency lists that equal a fresh build, and no fill ever adds an edge of three triangles or a
// second copy of a triangle; open sheets stay open; protected edges, inconsistent neighbours,
// non-manifold and corrupt input leave loops open without crashing or cycling; failures leave the
// buffer as it was.
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

TEST(CloseGapsAlgorithmTest, ProtectedEdgesKeepTheirLoopOpen)
{
  KEXTriangleMeshBuffer cube = makeCube();
  std::vector<bool> remove(12, false);
  remove[0] = remove[1] = true; // bottom face: vertices 0, 1, 2, 3
  const KEXTriangleMeshBuffer holed = withoutTriangles(cube, remove);
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
    EXPECT_EQ(measure(b).nonManifoldEdges, measure(before).nonManifoldEdges) << "trial " << trial;
    EXPECT_EQ(measure(b).duplicateTriangles, measure(before).duplicateTriangles) << "trial " << trial;
    EXPECT_EQ(b.getTriangleCount() - before.getTriangleCount(), s.addedTriangles);
    if (keepLists) {
      EXPECT_TRUE(triangleAdjacencyMatches(b)) << "trial " << trial;
      EXPECT_TRUE(vertexAdjacencyMatches(b)) << "trial " << trial;
    }
  }
  KEXTriangleMeshBuffer soup = toSoup(makeIcosphere(1));
  KEXCloseGapsAlgorithm::Statistics s;
  ASSERT_TRUE(run(soup, &s));
  EXPECT_EQ(s.unfillableLoops, 80);
  EXPECT_EQ(s.filledLoops, 0);
  EXPECT_EQ(soup.getTriangleCount(), 80);
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
  // A long loop below the limit is filled: the rim of a hemisphere of 304 sectors.
  KEXTriangleMeshBuffer g = makeHemisphere(2, 304);
  ASSERT_TRUE(run(g, &s));
  EXPECT_EQ(s.filledLoops, 1);
  EXPECT_EQ(s.largestFilledLoop, 304);
  EXPECT_TRUE(closedAndConsistent(g));
}

TEST(CloseGapsAlgorithmTest, FillsNeverReuseAnEdgeOrATriangle)
{
  // Eight vertices around a square, all on the border: corner triangles and a pentagon fan whose
  // diagonals the cheapest fill of the outline would take once more. Flat, the fill lies on the
  // sheet and is taken out again; with the vertices lifted and lowered, it is kept, and the cheapest
  // fill that avoids them is a different one.
  const std::vector<Vec3> ring = {{-1, -1, 0}, {0, -1, 0}, {1, -1, 0}, {1, 0, 0},
                                  {1, 1, 0},   {0, 1, 0},  {-1, 1, 0}, {-1, 0, 0}};
  const std::vector<Tri> faces = {{0, 1, 7}, {1, 2, 3}, {5, 6, 7}, {1, 3, 4}, {1, 4, 5}, {1, 5, 7}};
  KEXTriangleMeshBuffer flat = makeBuffer(ring, faces);
  KEXCloseGapsAlgorithm::Statistics s;
  ASSERT_TRUE(run(flat, &s));
  EXPECT_EQ(flat.getTriangleCount(), 6);
  EXPECT_EQ(s.sheetLoops, 1);
  EXPECT_EQ(s.filledLoops, 0);

  KEXTriangleMeshBuffer lifted = makeBuffer(ring, faces);
  const float heights[8] = {2, 0, 0, 2, 2, 0, 0, 2};
  for (int v = 0; v < 8; ++v)
    lifted.vertexList[v].z = heights[v];
  const KEXTriangleMeshBuffer before(lifted);
  ASSERT_TRUE(lifted.createTriangleAdjacencyList());
  ASSERT_TRUE(run(lifted, &s));
  EXPECT_EQ(s.filledLoops, 1);
  EXPECT_EQ(s.addedTriangles, 6);
  EXPECT_TRUE(closedAndConsistent(lifted));
  expectNoHarm(lifted, before, "lifted ring");

  // Every face twice: each edge has four triangles and no partner; nothing is a border edge.
  KEXTriangleMeshBuffer doubled = makeCube();
  append(doubled, makeCube());
  for (int t = 12; t < 24; ++t)
    for (int k = 0; k < 3; ++k)
      doubled.triangleList[t][k] -= 8;
  const KEXTriangleMeshBuffer doubledBefore(doubled);
  ASSERT_TRUE(doubled.createTriangleAdjacencyList());
  ASSERT_TRUE(run(doubled, &s));
  EXPECT_EQ(doubled.getTriangleCount(), 24);
  EXPECT_EQ(s.filledLoops + s.unfillableLoops + s.shortLoops + s.abandonedLoops + s.nonManifoldLoops, 0);
  expectNoHarm(doubled, doubledBefore, "doubled cube");

  // A fin on the side edge 1-5 of a cube without its bottom: that edge has three triangles now.
  // The walk around vertex 1 along the hole meets it, and so does the fin's own outline: both
  // traces give up.
  std::vector<bool> face(12, false);
  face[0] = face[1] = true;
  KEXTriangleMeshBuffer finned = withoutTriangles(makeCube(), face);
  finned.vertexList.append(Vec3(1.5f, -1.0f, 0.5f));
  finned.triangleList.append(Tri(1, 5, 8));
  const KEXTriangleMeshBuffer finnedBefore(finned);
  ASSERT_TRUE(run(finned, &s));
  EXPECT_EQ(s.nonManifoldLoops, 2);
  EXPECT_EQ(s.filledLoops, 0);
  expectNoHarm(finned, finnedBefore, "fin");
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

TEST(CloseGapsAlgorithmTest, RandomHolesNeverMakeTheMeshWorse)
{
  // Closed meshes, some facing inward, some shuffled, with random triangles cut out: the holes have
  // chords, shared vertices and neighbours, so many fills must avoid existing edges or triangles.
  std::mt19937 rng(21);
  int filled = 0, unfillable = 0, reoriented = 0;
  for (int trial = 0; trial < 60; ++trial) {
    std::vector<KEXTriangleMeshBuffer> parts = {makeIcosphere(1 + trial % 2), makeTorus(10, 6),
                                                makeSphere(6, 8)};
    KEXTriangleMeshBuffer b;
    const double rate = 0.03 + 0.02 * (trial % 8);
    for (size_t i = 0; i <= size_t(trial % 3); ++i) {
      KEXTriangleMeshBuffer part = parts[(size_t(trial) + i) % parts.size()];
      if (rng() % 3 == 0)
        for (auto& t : part.triangleList)
          std::swap(t[1], t[2]);
      std::vector<bool> remove(size_t(part.getTriangleCount()), false);
      remove[0] = true; // every part gets a hole
      for (size_t t = 1; t < remove.size(); ++t)
        remove[t] = std::uniform_real_distribution<double>(0, 1)(rng) < rate;
      append(b, withoutTriangles(part, remove));
    }
    if (trial % 4 == 3)
      shuffleTriangles(b, rng);
    const KEXTriangleMeshBuffer before(b);
    if (trial % 2 == 1) {
      ASSERT_TRUE(b.createTriangleAdjacencyList());
    }
    KEXCloseGapsAlgorithm::Statistics s;
    ASSERT_TRUE(run(b, &s)) << "trial " << trial;
    EXPECT_EQ(b.getTriangleCount() - before.getTriangleCount(), s.addedTriangles);
    expectNoHarm(b, before, "trial " + std::to_string(trial));
    filled += s.filledLoops;
    unfillable += s.unfillableLoops;
    reoriented += s.reorientedComponents;
  }
  EXPECT_GT(filled, 100);
  EXPECT_GT(unfillable, 0);
  EXPECT_GT(reoriented, 5);
}
