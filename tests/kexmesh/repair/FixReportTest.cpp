// The repair report as the observer of the Filter action: the run it watches must be exactly the
// unwatched one, in buffer and object mode alike, and its counts must match what was done to the
// mesh.
#include "kexmesh/repair/FixReport.h"
#include "kex/Error.h"
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/objects/ExecuteSequenceAction.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/FixTriangleMesh.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <random>

using namespace kexmeshtest;

namespace {

/// Runs filter's Filter action with parameters (a buffer record, or null for the linked objects)
/// with report watching it, as a host does.
bool runWatched(KEXFixTriangleMesh& filter, void* parameters, KEXFixReport& report)
{
  auto* sequence = dynamic_cast<KEXExecuteSequenceAction*>(filter.getAction(KEX::Filter));
  EXPECT_NE(sequence, nullptr);
  if (!sequence)
    return false;
  sequence->setObserver(&report);
  const bool ok = sequence->execute(parameters);
  sequence->setObserver(nullptr);
  return ok;
}

bool runWatched(KEXFixTriangleMesh& filter, KEXTriangleMeshBuffer& buffer, KEXFixReport& report)
{
  KEXTriangleMeshAction::Parameters record(&buffer, nullptr);
  return runWatched(filter, &record, report);
}

} // namespace

TEST(FixReport, SameResultAsTheFilterAndCountsThatMatch)
{
  std::mt19937 rng(21);
  // Two bodies, the second entirely inside out; three single-triangle holes in the first.
  KEXTriangleMeshBuffer mesh = makeIcosphere(2);
  KEXTriangleMeshBuffer other = makeIcosphere(2, Vec3(4, 0, 0), 0.5f);
  for (auto& t : other.triangleList)
    std::swap(t[1], t[2]);
  for (int t : {300, 200, 100}) { // far apart on the sphere, removed from the back
    mesh.triangleList[t] = mesh.triangleList[mesh.getTriangleCount() - 1];
    mesh.triangleList.setCount(mesh.getTriangleCount() - 1);
  }
  const int V = mesh.getVertexCount() + other.getVertexCount();
  append(mesh, other);
  KEXTriangleMeshBuffer soup = toSoup(mesh);
  shuffleTriangles(soup, rng);

  KEXFixTriangleMesh filter;
  KEXTriangleMeshBuffer buffer = soup;
  KEXFixReport report(&filter);
  ASSERT_TRUE(runWatched(filter, buffer, report));
  ASSERT_EQ(report.steps.getCount(), 11);
  EXPECT_FALSE(report.failedStep.isValid());
  EXPECT_EQ(report.verticesWelded, soup.getVertexCount() - V);
  EXPECT_EQ(report.weldDistance, filter.getLastWeldDistance());
  EXPECT_GT(report.weldDistance, 0.0f);
  EXPECT_EQ(report.holesBefore, 3);
  EXPECT_EQ(report.holesAfter, 0);
  EXPECT_EQ(report.openEdges, 0);
  EXPECT_EQ(report.nonManifoldEdges, 0);
  EXPECT_EQ(report.componentsFlipped, 1);
  EXPECT_EQ(report.trianglesReoriented, other.getTriangleCount());
  EXPECT_EQ(report.degenerateLeft, filter.getLastDegenerateStatistics().left);
  EXPECT_EQ(report.invalidVertices + report.invalidTriangles, 0);
  EXPECT_FALSE(report.problemsLeft());
  EXPECT_EQ(report.trianglesAdded - report.trianglesDropped, buffer.getTriangleCount() - soup.getTriangleCount());
  for (int i = 0; i < report.steps.getCount(); ++i) {
    EXPECT_EQ(report.steps[i].name, KEXFixTriangleMesh::getDefaultSequence()[i]);
    if (i > 0) {
      EXPECT_EQ(report.steps[i].trianglesBefore, report.steps[i - 1].trianglesAfter);
    }
  }
  EXPECT_EQ(report.steps[report.steps.getCount() - 1].trianglesAfter, buffer.getTriangleCount());
  EXPECT_TRUE(closedAndConsistent(buffer));

  // Unwatched, and watched in object mode: the same mesh, and the same figures.
  KEXTriangleMeshBuffer unwatched = soup;
  KEXTriangleMeshAction::Parameters record(&unwatched, nullptr);
  ASSERT_TRUE(filter.executeSequence(&record));
  EXPECT_EQ(triangles(unwatched), triangles(buffer));
  EXPECT_EQ(vertices(unwatched), vertices(buffer));
  KEXTriangleMeshData object;
  ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&object, &soup));
  ASSERT_TRUE(filter.setValue(KEX::Geometry, KEXObjectLink(&object)));
  KEXFixReport viaObject(&filter);
  ASSERT_TRUE(runWatched(filter, nullptr, viaObject));
  KEXTriangleMeshBuffer viaFilter;
  ASSERT_TRUE(KEXTriangleMeshAction::bufferFromObject(&viaFilter, &object));
  EXPECT_EQ(triangles(viaFilter), triangles(buffer));
  EXPECT_EQ(vertices(viaFilter), vertices(buffer));
  ASSERT_EQ(viaObject.steps.getCount(), report.steps.getCount());
  for (int i = 0; i < report.steps.getCount(); ++i) {
    EXPECT_EQ(viaObject.steps[i].verticesAfter, report.steps[i].verticesAfter);
    EXPECT_EQ(viaObject.steps[i].trianglesAfter, report.steps[i].trianglesAfter);
  }
  EXPECT_EQ(viaObject.holesBefore, report.holesBefore);
  EXPECT_EQ(viaObject.trianglesReoriented, report.trianglesReoriented);
  EXPECT_EQ(viaObject.closedComponents, report.closedComponents);
  filter.setValue(KEX::Geometry, KEXObjectLink());

  // A second run on the same report starts afresh.
  KEXTriangleMeshBuffer again = soup;
  ASSERT_TRUE(runWatched(filter, again, report));
  EXPECT_EQ(report.steps.getCount(), 11);
  EXPECT_EQ(report.verticesWelded, soup.getVertexCount() - V);
}

TEST(FixReport, UnknownStepRunsNothingAndFailingStepIsNamed)
{
  KEXFixTriangleMesh filter;
  KEXTriangleMeshBuffer buffer = makeIcosphere(1);
  const KEXTriangleMeshBuffer original = buffer;
  const KEXenum bad[] = {KEX::FlipOrientation, KEXenum("NoSuchStep")};
  ASSERT_TRUE(filter.setSequenceList(bad, 2));
  kexTest::ErrorCapture errors;
  KEXFixReport report(&filter);
  EXPECT_FALSE(runWatched(filter, buffer, report));
  EXPECT_TRUE(errors.has(KEX::InvalidValue, &filter));
  EXPECT_EQ(triangles(buffer), triangles(original));
  EXPECT_EQ(report.steps.getCount(), 0);

  buffer.vertexList[0].z = std::numeric_limits<float>::quiet_NaN();
  const KEXenum failing[] = {KEX::FlipOrientation, KEX::Check, KEX::FlipOrientation};
  ASSERT_TRUE(filter.setSequenceList(failing, 3));
  EXPECT_FALSE(runWatched(filter, buffer, report));
  EXPECT_EQ(report.failedStep, KEX::Check);
  EXPECT_EQ(report.steps.getCount(), 2);
  EXPECT_EQ(report.invalidVertices, 0) << "final counts are only taken after a complete run";
  EXPECT_EQ(report.openEdges, -1);
}

TEST(FixReport, AStopKeepsTheStepsDoneAndTakesTheFinalCounts)
{
  std::mt19937 rng(8);
  KEXTriangleMeshBuffer buffer = toSoup(makeIcosphere(2));
  shuffleTriangles(buffer, rng);
  KEXFixTriangleMesh filter;
  KEXFixReport report(&filter);
  kexTest::RecordingScope monitor;
  monitor.stopWhenEnded("Clustering vertices");
  EXPECT_TRUE(runWatched(filter, buffer, report)) << "a stop keeps the work done";
  ASSERT_EQ(report.steps.getCount(), 3);
  EXPECT_EQ(report.steps[2].name, KEX::ClusterVertices);
  EXPECT_EQ(report.steps[2].verticesAfter, buffer.getVertexCount());
  EXPECT_EQ(report.holesBefore, -1) << "CloseGaps never ran";
  EXPECT_EQ(report.openEdges, 0) << "the welded sphere is closed";
  EXPECT_EQ(report.closedComponents, 1);
}

TEST(FixReport, ShortMemoryLeavesACountUnsetNeverWrong)
{
  // The hooks called as the sequence calls them: a reorientation of every triangle, then a hole
  // fill that fills nothing, then the end.
  KEXTriangleMeshBuffer open = makeIcosphere(1);
  open.triangleList[0] = open.triangleList[open.getTriangleCount() - 1];
  open.triangleList.setCount(open.getTriangleCount() - 1);
  KEXTriangleMeshBuffer flipped = open;
  for (auto& t : flipped.triangleList)
    std::swap(t[1], t[2]);
  auto watch = [&](KEXFixReport& r) {
    r.stepBegins(0, KEX::ConsolidateOrientation, open);
    r.stepEnds(0, KEX::ConsolidateOrientation, flipped, true);
    r.stepBegins(1, KEX::CloseGaps, flipped);
    r.stepEnds(1, KEX::CloseGaps, flipped, true);
    r.sequenceEnds(flipped);
  };
  KEXFixReport full;
  watch(full);
  ASSERT_EQ(full.trianglesReoriented, flipped.getTriangleCount());
  ASSERT_EQ(full.componentsFlipped, 1);
  ASSERT_EQ(full.holesBefore, 1);
  ASSERT_EQ(full.holesAfter, 1);
  ASSERT_EQ(full.openEdges, 3);
  ASSERT_EQ(full.closedComponents, 0);
  int faults = 0, unset = 0;
  for (long n = 1; n < 200; ++n) {
    KEXFixReport r;
    {
      kexTest::AllocationFault fault(n);
      watch(r);
      if (!fault.fired())
        break;
    }
    ++faults;
    const std::pair<int, int> figures[] = {{r.trianglesReoriented, full.trianglesReoriented},
                                           {r.componentsFlipped, full.componentsFlipped},
                                           {r.holesBefore, full.holesBefore},
                                           {r.holesAfter, full.holesAfter},
                                           {r.openEdges, full.openEdges},
                                           {r.openLoops, full.openLoops},
                                           {r.nonManifoldEdges, full.nonManifoldEdges},
                                           {r.duplicateTriangles, full.duplicateTriangles},
                                           {r.closedComponents, full.closedComponents},
                                           {r.inwardComponents, full.inwardComponents}};
    for (const auto& [got, want] : figures) {
      EXPECT_TRUE(got == want || got == -1) << "fault " << n << ": " << got << " instead of " << want;
      unset += got == -1;
    }
    EXPECT_LE(r.steps.getCount(), 2);
  }
  EXPECT_GT(faults, 5);
  EXPECT_GT(unset, 0);
}

TEST(FixReport, EdgeCountsAgainstBruteForce)
{
  std::mt19937 rng(4);
  for (int round = 0; round < 30; ++round) {
    RandomMeshOptions o;
    o.vertices = 20 + round;
    o.triangles = 30 + 3 * round;
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, o);
    int open = 0, nonManifold = 0, holes = 0;
    ASSERT_TRUE(KEXFixReport::countEdges(b, open, nonManifold, holes));
    std::map<std::pair<int, int>, int> edges;
    for (const auto& t : b.triangleList) {
      bool valid = true;
      for (int k = 0; k < 3; ++k)
        valid = valid && t[k] >= 0 && t[k] < b.getVertexCount();
      if (valid)
        for (int k = 0; k < 3; ++k)
          if (t[k] != t[(k + 1) % 3])
            ++edges[{std::min(t[k], t[(k + 1) % 3]), std::max(t[k], t[(k + 1) % 3])}];
    }
    int o1 = 0, nm = 0;
    for (const auto& [e, n] : edges) {
      o1 += n == 1;
      nm += n > 2;
    }
    EXPECT_EQ(open, o1);
    EXPECT_EQ(nonManifold, nm);
    EXPECT_LE(holes, open);
    EXPECT_EQ(holes == 0, open == 0);
  }
}

TEST(FixReport, ComponentCountsAgainstAnIndependentCount)
{
  std::mt19937 rng(5);
  for (int round = 0; round < 40; ++round) {
    KEXTriangleMeshBuffer b;
    if (round % 2 == 0) {
      RandomMeshOptions o;
      o.vertices = 10 + round;
      o.triangles = 12 + 2 * round;
      b = makeRandomMesh(rng, o);
    } else {
      // Closed bodies, some inside out, some with a triangle removed, doubled or turned.
      b = makeIcosphere(1);
      for (int body = 0; body < 3; ++body) {
        KEXTriangleMeshBuffer other = makeIcosphere(1, Vec3(3.0f * float(body + 1), 0, 0));
        if (rng() % 2)
          flipRandomTriangles(other, 1.0, rng);
        append(b, other);
      }
      const int t = int(rng() % unsigned(b.getTriangleCount()));
      switch (rng() % 4) {
      case 0: b.triangleList[t] = b.triangleList[b.getTriangleCount() - 1]; break;
      case 1: std::swap(b.triangleList[t][1], b.triangleList[t][2]); break;
      case 2: b.triangleList.append(b.triangleList[t]); break;
      default: break;
      }
    }
    int duplicates = -1, closed = -1, inward = -1;
    ASSERT_TRUE(KEXFixReport::countComponents(b, duplicates, closed, inward));
    const MeshQuality q = measure(b);
    EXPECT_EQ(duplicates, q.duplicateTriangles) << round;
    EXPECT_EQ(closed, q.closedComponents) << round;
    EXPECT_EQ(inward, q.inwardComponents) << round;
  }
}

TEST(FixReport, ComponentCountsUnderAllocationFailures)
{
  const KEXTriangleMeshBuffer b = makeIcosphere(2);
  int faults = 0;
  for (long n = 1; n < 100; ++n) {
    int duplicates = -7, closed = -7, inward = -7;
    bool counted;
    {
      kexTest::AllocationFault fault(n);
      counted = KEXFixReport::countComponents(b, duplicates, closed, inward);
      if (!fault.fired()) {
        EXPECT_TRUE(counted);
        EXPECT_EQ(closed, 1);
        break;
      }
    }
    ++faults;
    EXPECT_FALSE(counted);
    EXPECT_EQ(duplicates + closed + inward, -21) << "counts untouched";
  }
  EXPECT_GT(faults, 3);
}
