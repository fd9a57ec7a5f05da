// The repair filter: a stop keeps the steps done, the weld distance, allocation failures while
// constructing, and whole repairs of damaged generated and real meshes.
#include "kexmesh/repair/FixTriangleMesh.h"
#include "kex/Testing.h"
#include "kexmesh/objects/ExecuteSequenceAction.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"
#include "support/OffReader.h"
#include "support/RepairSetup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace kexmeshtest;

namespace {

/// The mesh as a shuffled soup with about 1% flipped triangles, nanVertices NaN vertices and
/// `holes` triangles cut out (each a simple hole: cut triangles share no vertex).
KEXTriangleMeshBuffer damage(KEXTriangleMeshBuffer mesh, int holes, int nanVertices, std::mt19937& rng)
{
  std::vector<char> used(size_t(mesh.getVertexCount()), 0);
  for (int tries = 0; holes > 0 && tries < 1000; ++tries) {
    const int t = int(rng() % unsigned(mesh.getTriangleCount()));
    const KEXTriangle<int> tri = mesh.triangleList[t];
    if (!used[size_t(tri[0])] && !used[size_t(tri[1])] && !used[size_t(tri[2])]) {
      used[size_t(tri[0])] = used[size_t(tri[1])] = used[size_t(tri[2])] = 1;
      cutTriangle(mesh, t);
      --holes;
    }
  }
  KEXTriangleMeshBuffer soup = toSoup(mesh);
  shuffleTriangles(soup, rng);
  flipRandomTriangles(soup, 0.01, rng);
  for (int i = 0; i < nanVertices; ++i)
    soup.vertexList[int(rng() % unsigned(soup.getVertexCount()))].x = std::numeric_limits<float>::quiet_NaN();
  return soup;
}

/// Runs Filter on the damaged soup of original and checks the result against the original surface.
void repairAndCheck(const KEXTriangleMeshBuffer& original, const KEXTriangleMeshBuffer& soup)
{
  KEXTriangleMeshData mesh;
  toObject(soup, mesh);
  KEXFixTriangleMesh filter;
  ASSERT_TRUE(filter.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  ASSERT_TRUE(filter.executeSequence(nullptr)) << "the final check fails the sequence when bad elements remain";
  const KEXTriangleMeshBuffer out = fromObject(mesh);
  filter.setValue(KEX::Geometry, KEXObjectLink());
  ASSERT_GT(out.getTriangleCount(), 0);
  EXPECT_TRUE(closedAndConsistent(out));
  EXPECT_EQ(measure(out).inwardComponents, 0) << "every component is oriented outward";
  EXPECT_TRUE(std::all_of(out.vertexList.begin(), out.vertexList.end(), finitePoint));
  // Soup copies coincide exactly, so welding moves nothing: every vertex of the result lies on the
  // original surface, and only original vertices of NaN triangles and of repaired degenerate
  // triangles may vanish.
  double extent = 0.0, worst = 0.0;
  for (const auto& p : original.vertexList)
    extent = std::max({extent, std::fabs(double(p.x)), std::fabs(double(p.y)), std::fabs(double(p.z))});
  const double tolerance = 1e-4 * extent;
  const int V = measure(original).usedVertices;
  EXPECT_EQ(SurfaceDistance(original).countFarther(out, tolerance, worst), 0) << worst;
  EXPECT_LE(SurfaceDistance(out).countFarther(original, tolerance, worst), V / 50 + 16) << "none of the surface lost";
  EXPECT_TRUE(out.getVertexCount() <= V && out.getVertexCount() >= V * 49 / 50 - 16) << out.getVertexCount() << " of " << V;
}

} // namespace

TEST(FixTriangleMesh, StopEndsAfterTheCurrentStepAndLeavesTheSourceUnchanged)
{
  std::mt19937 rng(3);
  const KEXTriangleMeshBuffer soup = damage(makeIcosphere(3), 4, 0, rng);
  KEXTriangleMeshData source, destination;
  toObject(soup, source);
  KEXFixTriangleMesh f;
  ASSERT_TRUE(f.setValue(KEX::FirstSource, KEXObjectLink(&source)));
  ASSERT_TRUE(f.setValue(KEX::FirstDestination, KEXObjectLink(&destination)));
  kexTest::RecordingScope monitor;
  monitor.stopWhenEnded("Clustering vertices");
  EXPECT_TRUE(f.executeSequence(nullptr)) << "a stop keeps the work done";
  const auto begun = monitor.begunMessages();
  EXPECT_EQ(std::count(begun.begin(), begun.end(), "Removing degenerate triangles"), 0) << "no step after the stop";
  EXPECT_TRUE(sameGeometry(fromObject(source), soup));
  const KEXTriangleMeshBuffer partial = fromObject(destination);
  EXPECT_TRUE(partial.isConsistent() && partial.getVertexCount() < soup.getVertexCount()) << "the welding step finished";
  f.setValue(KEX::FirstSource, KEXObjectLink());
  f.setValue(KEX::FirstDestination, KEXObjectLink());
}

TEST(FixTriangleMesh, SetMaximumDistanceIsTheWeldDistance)
{
  // Two unit triangles side by side whose shared edge is stored twice, 0.4 apart: the guessed
  // distance (2^-14 of the sampling distance) keeps them apart, a set distance of 0.5 welds them.
  const KEXTriangleMeshBuffer pair = makeBuffer(
      {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1.4f, 0, 0}, {0.4f, 1, 0}, {1.4f, 1, 0}}, {{0, 1, 2}, {3, 5, 4}});
  const KEXenum list[] = {KEX::ClusterVertices};
  for (float distance : {-1.0f, 0.5f, 0.3f}) {
    KEXTriangleMeshData mesh;
    toObject(pair, mesh);
    KEXFixTriangleMesh f;
    ASSERT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
    ASSERT_TRUE(f.setSequenceList(list, 1));
    ASSERT_TRUE(f.setValue(KEX::MaximumDistance, distance));
    ASSERT_TRUE(f.executeSequence(nullptr));
    EXPECT_EQ(fromObject(mesh).getVertexCount(), distance == 0.5f ? 4 : 6) << distance;
    f.setValue(KEX::Geometry, KEXObjectLink());
  }
}

TEST(FixTriangleMesh, EveryFailedAllocationWhileConstructingOrCopyingIsReported)
{
  // The source's sequence is longer than the default one, so that copying it must allocate.
  KEXFixTriangleMesh source;
  const std::vector<KEXenum> list(40, KEX::Check);
  ASSERT_TRUE(source.setSequenceList(list.data(), 40));
  for (bool copying : {false, true}) {
    int faults = 0;
    for (long n = 1; n < 400; ++n) {
      kexTest::ErrorCapture errors;
      kexTest::AllocationFault fault(n);
      std::optional<KEXFixTriangleMesh> f;
      copying ? f.emplace(source) : f.emplace();
      if (!fault.fired()) {
        EXPECT_EQ(f->getSequenceCount(), copying ? 40 : 11);
        break;
      }
      ++faults;
      EXPECT_TRUE(errors.has(KEX::OutOfMemory)) << "allocation " << n << (copying ? " of the copy" : "");
      EXPECT_LE(f->getSequenceCount(), copying ? 40 : 11);
    }
    EXPECT_GT(faults, 3);
  }
}

TEST(FixTriangleMesh, RepairsDamagedGeneratedAndRealMeshes)
{
  std::mt19937 rng(11);
  // Two separate bodies, one of them entirely inside out before it became a soup.
  KEXTriangleMeshBuffer two = makeIcosphere(2);
  append(two, inverted(makeIcosphere(2, Vec3(5, 0, 0), 0.5f)));
  const std::pair<const char*, KEXTriangleMeshBuffer> generated[] = {
      {"icosphere", makeIcosphere(3)}, {"torus", makeTorus(40, 20)}, {"two bodies", two}};
  for (const auto& [name, mesh] : generated) {
    SCOPED_TRACE(name);
    repairAndCheck(mesh, damage(mesh, 6, 3, rng));
  }
  for (const char* name : {"elephant-with-holes.off", "mech-holes-shark.off"}) {
    SCOPED_TRACE(name);
    const std::string path = (std::filesystem::path(KEXMESH_DATA_DIR) / "meshes" / name).string();
    KEXTriangleMeshBuffer original;
    if (!std::filesystem::exists(path))
      GTEST_SKIP() << path << " not found: run scripts/fetch-data to test on real meshes";
    ASSERT_TRUE(readOff(path, original));
    repairAndCheck(original, damage(original, 0, 3, rng));
  }
}

TEST(FixTriangleMesh, AdjacencyKeptAcrossStepsChangesNoResultAndLeavesWithTheSequence)
{
  // The sequence leaves each step's adjacency lists to the later steps. The result must be bit
  // for bit that of the steps run one at a time (each building and removing its own lists), and
  // the caller's buffer comes back with the adjacency lists it brought, equal to a fresh build.
  std::mt19937 rng(2612);
  const KEXenum* steps = KEXFixTriangleMesh::getDefaultSequence();
  const int n = KEXFixTriangleMesh::DEFAULT_SEQUENCE_COUNT;
  KEXFixTriangleMesh filter;
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const bool brought = round >= 4;
    KEXTriangleMeshBuffer together = damage(round % 2 ? makeTorus(24 + round, 16) : makeIcosphere(3), 3 + round, round % 3, rng);
    KEXTriangleMeshBuffer apart(together);
    if (brought) {
      ASSERT_TRUE(together.createVertexAdjacencyList() && apart.createVertexAdjacencyList());
    }
    KEXTriangleMeshAction::Parameters record(&together, nullptr);
    ASSERT_TRUE(KEXExecuteSequenceAction::executeSequence(&filter, steps, n, &record));
    for (int i = 0; i < n; ++i) {
      KEXTriangleMeshAction::Parameters one(&apart, nullptr);
      ASSERT_TRUE(KEXExecuteSequenceAction::executeSequence(&filter, steps + i, 1, &one));
    }
    EXPECT_TRUE(sameBits(together.vertexList, apart.vertexList) && sameBits(together.triangleList, apart.triangleList));
    EXPECT_FALSE(together.isAdjacencyKept());
    EXPECT_FALSE(together.hasTriangleAdjacencyList());
    ASSERT_EQ(together.hasVertexAdjacencyList(), brought);
    if (brought) {
      KEXTriangleMeshBuffer fresh(together);
      ASSERT_TRUE(fresh.removeVertexAdjacencyList() && fresh.createVertexAdjacencyList());
      for (int v = 0; v < together.getVertexCount(); ++v)
        ASSERT_TRUE(std::equal(together.vertexAdjacencyList[v].begin(), together.vertexAdjacencyList[v].end(),
                               fresh.vertexAdjacencyList[v].begin(), fresh.vertexAdjacencyList[v].end()))
            << "vertex " << v;
    }
  }
}

