// The repair report as the observer of the Filter action: the run it watches must be exactly the
// unwatched one, in buffer and object mode alike, its counts must match what was done to the mesh
// and independent counts, and short memory may leave a count unset but never wrong.
#include "kexmesh/repair/FixReport.h"
#include "kex/Testing.h"
#include "kexmesh/objects/ExecuteSequenceAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/FixTriangleMesh.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"
#include "support/RepairSetup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <vector>

using namespace kexmeshtest;

namespace {

/// Runs filter's Filter action on buffer (null: on the linked objects) with report watching it, as
/// a host does.
bool runWatched(KEXFixTriangleMesh& filter, KEXTriangleMeshBuffer* buffer, KEXFixReport& report)
{
  auto* sequence = dynamic_cast<KEXExecuteSequenceAction*>(filter.getAction(KEX::Filter));
  KEXTriangleMeshAction::Parameters record(buffer, nullptr);
  EXPECT_NE(sequence, nullptr);
  if (!sequence)
    return false;
  sequence->setObserver(&report);
  const bool ok = sequence->execute(buffer ? &record : nullptr);
  sequence->setObserver(nullptr);
  return ok;
}

/// The figures that are -1 while not counted.
std::array<int, 10> countedFigures(const KEXFixReport& r)
{
  return {r.trianglesReoriented, r.componentsFlipped,  r.holesBefore,        r.holesAfter,       r.openEdges,
          r.openLoops,           r.nonManifoldEdges,   r.duplicateTriangles, r.closedComponents, r.inwardComponents};
}

/// All counts of the report: its steps' and its totals.
std::vector<int> allCounts(const KEXFixReport& r)
{
  std::vector<int> c = {r.verticesWelded, r.trianglesDropped, r.trianglesAdded, r.invalidVertices, r.invalidTriangles};
  for (const KEXFixReport::Step& s : r.steps)
    c.insert(c.end(), {s.verticesBefore, s.verticesAfter, s.trianglesBefore, s.trianglesAfter});
  const std::array<int, 10> f = countedFigures(r);
  c.insert(c.end(), f.begin(), f.end());
  return c;
}

} // namespace

TEST(FixReport, SameResultAsTheFilterInBothModesAndCountsThatMatch)
{
  std::mt19937 rng(21);
  // Two bodies, the second entirely inside out; three single-triangle holes far apart in the first.
  KEXTriangleMeshBuffer mesh = makeIcosphere(2);
  const KEXTriangleMeshBuffer other = inverted(makeIcosphere(2, Vec3(4, 0, 0), 0.5f));
  for (int t : {300, 200, 100})
    cutTriangle(mesh, t);
  const int V = mesh.getVertexCount() + other.getVertexCount();
  append(mesh, other);
  KEXTriangleMeshBuffer soup = toSoup(mesh), buffer;
  shuffleTriangles(soup, rng);
  buffer = soup;
  KEXFixTriangleMesh filter;
  KEXFixReport report(&filter);
  ASSERT_TRUE(runWatched(filter, &buffer, report));
  ASSERT_EQ(report.steps.getCount(), 11);
  EXPECT_FALSE(report.failedStep.isValid());
  EXPECT_EQ(report.verticesWelded, soup.getVertexCount() - V);
  EXPECT_TRUE(report.weldDistance == filter.getLastWeldDistance() && report.weldDistance > 0.0f);
  EXPECT_EQ(report.degenerateLeft, filter.getLastDegenerateStatistics().left);
  // Reoriented, flipped, holes before and after, open edges and loops, non-manifold edges,
  // duplicates, closed and inward components.
  const std::array<int, 10> want = {other.getTriangleCount(), 1, 3, 0, 0, 0, 0, 0, 2, 0};
  EXPECT_EQ(countedFigures(report), want);
  EXPECT_EQ(report.invalidVertices + report.invalidTriangles, 0);
  EXPECT_TRUE(!report.problemsLeft() && closedAndConsistent(buffer));
  // The steps chain up from the soup to the result, and the totals are their net changes.
  int added = 0, dropped = 0;
  for (int i = 0; i < report.steps.getCount(); ++i) {
    const KEXFixReport::Step& s = report.steps[i];
    EXPECT_EQ(s.name, KEXFixTriangleMesh::getDefaultSequence()[i]);
    EXPECT_EQ(s.trianglesBefore, i ? report.steps[i - 1].trianglesAfter : soup.getTriangleCount()) << i;
    EXPECT_EQ(s.verticesBefore, i ? report.steps[i - 1].verticesAfter : soup.getVertexCount()) << i;
    added += std::max(0, s.trianglesAfter - s.trianglesBefore);
    dropped += std::max(0, s.trianglesBefore - s.trianglesAfter);
  }
  EXPECT_TRUE(report.trianglesAdded == added && report.trianglesDropped == dropped);
  EXPECT_GE(added, 3) << "the holes were filled";
  EXPECT_TRUE(report.steps[10].trianglesAfter == buffer.getTriangleCount() && report.steps[10].verticesAfter == buffer.getVertexCount());

  // Unwatched, and watched in object mode: the same mesh, and the same figures.
  KEXTriangleMeshBuffer unwatched = soup;
  KEXTriangleMeshAction::Parameters record(&unwatched, nullptr);
  ASSERT_TRUE(filter.executeSequence(&record));
  EXPECT_TRUE(sameGeometry(unwatched, buffer));
  KEXTriangleMeshData object;
  toObject(soup, object);
  ASSERT_TRUE(filter.setValue(KEX::Geometry, KEXObjectLink(&object)));
  KEXFixReport viaObject(&filter);
  ASSERT_TRUE(runWatched(filter, nullptr, viaObject));
  EXPECT_TRUE(sameGeometry(fromObject(object), buffer));
  EXPECT_EQ(allCounts(viaObject), allCounts(report));
  filter.setValue(KEX::Geometry, KEXObjectLink());
  // A second run on the same report starts afresh.
  KEXTriangleMeshBuffer again = soup;
  ASSERT_TRUE(runWatched(filter, &again, report));
  EXPECT_EQ(allCounts(report), allCounts(viaObject));
}

TEST(FixReport, UnknownStepRunsNothingFailingStepIsNamedAndAStopKeepsTheStepsDone)
{
  KEXFixTriangleMesh filter;
  KEXTriangleMeshBuffer buffer = makeIcosphere(1);
  const KEXTriangleMeshBuffer original = buffer;
  const KEXenum bad[] = {KEX::FlipOrientation, KEXenum("NoSuchStep")};
  ASSERT_TRUE(filter.setSequenceList(bad, 2));
  kexTest::ErrorCapture errors;
  KEXFixReport report(&filter);
  EXPECT_FALSE(runWatched(filter, &buffer, report));
  EXPECT_TRUE(errors.has(KEX::InvalidValue, &filter));
  EXPECT_EQ(triangles(buffer), triangles(original));
  EXPECT_EQ(report.steps.getCount(), 0);
  buffer.vertexList[0].z = std::numeric_limits<float>::quiet_NaN();
  const KEXenum failing[] = {KEX::FlipOrientation, KEX::Check, KEX::FlipOrientation};
  ASSERT_TRUE(filter.setSequenceList(failing, 3));
  EXPECT_FALSE(runWatched(filter, &buffer, report));
  EXPECT_TRUE(report.failedStep == KEX::Check && report.steps.getCount() == 2);
  EXPECT_TRUE(report.invalidVertices == 0 && report.openEdges == -1) << "final counts are only taken after a complete run";
  // A stop after the welding step: what ran is kept and the final counts are taken.
  std::mt19937 rng(8);
  buffer = toSoup(makeIcosphere(2));
  shuffleTriangles(buffer, rng);
  ASSERT_TRUE(filter.setSequenceList(KEXFixTriangleMesh::getDefaultSequence(), 11));
  kexTest::RecordingScope monitor;
  monitor.stopWhenEnded("Clustering vertices");
  EXPECT_TRUE(runWatched(filter, &buffer, report)) << "a stop keeps the work done";
  ASSERT_EQ(report.steps.getCount(), 3);
  EXPECT_TRUE(report.steps[2].name == KEX::ClusterVertices && report.steps[2].verticesAfter == buffer.getVertexCount());
  EXPECT_EQ(report.holesBefore, -1) << "CloseGaps never ran";
  EXPECT_TRUE(report.openEdges == 0 && report.closedComponents == 1) << "the welded sphere is closed";
}

TEST(FixReport, CountsAgainstIndependentCountsAndShortMemoryLeavesACountUnsetNeverWrong)
{
  std::mt19937 rng(5);
  int faults = 0, unset = 0;
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    KEXTriangleMeshBuffer b;
    int holes = -1; // known for the bodies
    if (round % 2 == 0) { // dense, or sparse with many small components
      const bool dense = round % 4 == 0;
      b = makeRandomMesh(rng, {dense ? 10 + round : 60 + 4 * round, 12 + 2 * round, dense ? 0.05 : 0.0, 0.05, 0.02});
    } else { // two spheres, the second inside out, one triangle replaced by the last, turned or doubled
      b = makeIcosphere(1);
      append(b, inverted(makeIcosphere(1, Vec3(3, 0, 0))));
      const int last = b.getTriangleCount() - 1, t = int(rng() % unsigned(last)), damage = round % 8 / 2;
      switch (damage) {
      case 0: b.triangleList[t] = b.triangleList[last]; break;
      case 1: std::swap(b.triangleList[t][1], b.triangleList[t][2]); break;
      case 2: b.triangleList.append(b.triangleList[t]); break;
      }
      holes = damage == 0 ? 1 : 0;
    }
    // The hooks called as the sequence calls them: a reorientation that turns a third of the
    // triangles into b, then a hole fill that fills nothing, then the end.
    const unsigned V = unsigned(b.getVertexCount());
    auto valid = [&](const KEXTriangle<int>& t) {
      return unsigned(t[0]) < V && unsigned(t[1]) < V && unsigned(t[2]) < V;
    };
    KEXTriangleMeshBuffer before = b;
    std::vector<char> turned(size_t(b.getTriangleCount()), 0);
    for (int t = 0; t < b.getTriangleCount(); ++t)
      if ((turned[size_t(t)] = rng() % 3 == 0))
        std::swap(before.triangleList[t][1], before.triangleList[t][2]);
    auto watch = [&](KEXFixReport& r) {
      r.stepBegins(0, KEX::ConsolidateOrientation, before);
      r.stepEnds(0, KEX::ConsolidateOrientation, b, true);
      r.stepBegins(1, KEX::CloseGaps, b);
      r.stepEnds(1, KEX::CloseGaps, b, true);
      r.sequenceEnds(b);
    };
    KEXFixReport full;
    watch(full);
    // Brute force: turned triangles (not those of one vertex thrice) and the components (by shared
    // vertices) of which most turned; every edge of a valid triangle, once per triangle on it.
    std::vector<int> root(V);
    std::iota(root.begin(), root.end(), 0);
    auto find = [&](int x) {
      while (root[size_t(x)] != x)
        x = root[size_t(x)] = root[size_t(root[size_t(x)])];
      return x;
    };
    std::map<int, int> balance;
    std::map<std::pair<int, int>, int> edges;
    int reversed = 0;
    for (const auto& t : b.triangleList)
      for (int k = 0; k < 3 && valid(t); ++k) {
        root[size_t(find(t[k]))] = find(t[0]);
        if (t[k] != t[(k + 1) % 3])
          ++edges[std::minmax(t[k], t[(k + 1) % 3])];
      }
    for (int t = 0; t < b.getTriangleCount(); ++t) {
      const KEXTriangle<int>& tri = b.triangleList[t];
      if (valid(tri) && (tri[0] != tri[1] || tri[1] != tri[2])) {
        reversed += turned[size_t(t)];
        balance[find(tri[0])] += turned[size_t(t)] ? 1 : -1;
      }
    }
    const int open = int(std::count_if(edges.begin(), edges.end(), [](auto& e) { return e.second == 1; }));
    const int nonManifold = int(std::count_if(edges.begin(), edges.end(), [](auto& e) { return e.second > 2; }));
    const int flipped = int(std::count_if(balance.begin(), balance.end(), [](auto& e) { return e.second > 0; }));
    const int chains = full.openLoops;
    EXPECT_TRUE(chains <= open && (chains == 0) == (open == 0) && (holes < 0 || chains == holes)) << chains;
    const MeshQuality q = measure(b);
    const std::array<int, 10> want = {reversed, flipped, chains, chains, open, chains, nonManifold,
                                      q.duplicateTriangles, q.closedComponents, q.inwardComponents};
    ASSERT_EQ(countedFigures(full), want);
    // Short of memory anywhere, a figure is either right or unset.
    for (long n = 1; round < 6 && n < 200; ++n, ++faults) {
      KEXFixReport r;
      {
        kexTest::AllocationFault fault(n);
        watch(r);
        if (!fault.fired())
          break;
      }
      const std::array<int, 10> got = countedFigures(r);
      for (size_t k = 0; k < got.size(); ++k) {
        EXPECT_TRUE(got[k] == want[k] || got[k] == -1) << "fault " << n << ", figure " << k << ": " << got[k];
        unset += got[k] == -1;
      }
      EXPECT_LE(r.steps.getCount(), 2);
    }
  }
  EXPECT_GT(faults, 20);
  EXPECT_GT(unset, 0);
}

TEST(FixReport, StaticCountsUnderAllocationFailuresFailAndLeaveTheirCountsUntouched)
{
  // A call whose allocation fails says so and leaves its counts untouched.
  const KEXTriangleMeshBuffer sphere = makeIcosphere(2);
  const std::array<int, 6> clean = {0, 0, 0, 0, 1, 0};
  int faults = 0;
  for (long n = 1; n < 100; ++n, ++faults) {
    std::array<int, 6> c = {-7, -7, -7, -7, -7, -7};
    bool edges, components, fired;
    {
      kexTest::AllocationFault fault(n);
      edges = KEXFixReport::countEdges(sphere, c[0], c[1], c[2]);
      components = KEXFixReport::countComponents(sphere, c[3], c[4], c[5]);
      fired = fault.fired();
    }
    for (int k = 0; k < 6; ++k)
      EXPECT_EQ(c[k], (k < 3 ? edges : components) ? clean[k] : -7) << "fault " << n << ", count " << k;
    EXPECT_EQ(edges + components, fired ? 1 : 2) << "fault " << n;
    if (!fired)
      break;
  }
  EXPECT_GT(faults, 3);
}
