// The repair filter: a stop keeps the steps done, the weld distance, allocation failures while constructing, and whole repairs of damaged generated
// and real meshes.
#include "kexmesh/repair/FixTriangleMesh.h"
#include "kex/Error.h"
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/ClusterVerticesAlgorithm.h"
#include "kexmesh/repair/RemoveCapTrianglesAlgorithm.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"
#include "support/OffReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace kexmeshtest;
using Pair = KEXValuePair<float>;

namespace {

void toObject(const KEXTriangleMeshBuffer& b, KEXTriangleMeshData& mesh)
{
  ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &b));
}

KEXTriangleMeshBuffer fromObject(const KEXTriangleMeshData& mesh)
{
  KEXTriangleMeshBuffer b;
  EXPECT_TRUE(KEXTriangleMeshAction::bufferFromObject(&b, &mesh));
  return b;
}

int countBegun(const kexTest::RecordingMonitor& m, const std::string& message)
{
  auto b = m.begunMessages();
  return int(std::count(b.begin(), b.end(), message));
}

struct Damaged {
  KEXTriangleMeshBuffer original; // the clean surface
  KEXTriangleMeshBuffer soup;     // what the filter gets
};

/// The mesh as a shuffled soup with about 1% flipped triangles, a few NaN vertices and `holes`
/// triangles cut out (each a simple hole: cut triangles share no vertex).
Damaged damage(const KEXTriangleMeshBuffer& mesh, int holes, int nanVertices, std::mt19937& rng)
{
  Damaged d;
  d.original = mesh;
  KEXTriangleMeshBuffer cut = mesh;
  std::vector<char> used(size_t(mesh.getVertexCount()), 0);
  std::uniform_int_distribution<int> pick(0, mesh.getTriangleCount() - 1);
  int removed = 0;
  for (int tries = 0; removed < holes && tries < 100 * holes; ++tries) {
    int t = pick(rng);
    if (t >= cut.getTriangleCount())
      continue;
    KEXTriangle<int> tri = cut.triangleList[t];
    if (used[size_t(tri[0])] || used[size_t(tri[1])] || used[size_t(tri[2])])
      continue;
    for (int k = 0; k < 3; ++k)
      used[size_t(tri[k])] = 1;
    cut.triangleList[t] = cut.triangleList[cut.getTriangleCount() - 1];
    cut.triangleList.setCount(cut.getTriangleCount() - 1);
    ++removed;
  }
  d.soup = toSoup(cut);
  shuffleTriangles(d.soup, rng);
  flipRandomTriangles(d.soup, 0.01, rng);
  std::uniform_int_distribution<int> vpick(0, d.soup.getVertexCount() - 1);
  for (int i = 0; i < nanVertices; ++i)
    d.soup.vertexList[vpick(rng)].x = std::numeric_limits<float>::quiet_NaN();
  return d;
}

/// Largest distance from any point of a to its nearest point of b (brute force over a grid hash).
double directedDistance(const std::vector<KEXVector3<float>>& a, const std::vector<KEXVector3<float>>& b)
{
  double worst = 0.0;
  for (const auto& p : a) {
    double best = std::numeric_limits<double>::infinity();
    for (const auto& q : b) {
      double dx = double(p.x) - q.x, dy = double(p.y) - q.y, dz = double(p.z) - q.z;
      best = std::min(best, dx * dx + dy * dy + dz * dz);
    }
    worst = std::max(worst, std::sqrt(best));
  }
  return worst;
}

std::vector<KEXVector3<float>> usedVertices(const KEXTriangleMeshBuffer& b)
{
  std::vector<char> used(size_t(b.getVertexCount()), 0);
  for (const auto& t : b.triangleList)
    for (int k = 0; k < 3; ++k)
      used[size_t(t[k])] = 1;
  std::vector<KEXVector3<float>> out;
  for (int v = 0; v < b.getVertexCount(); ++v)
    if (used[size_t(v)])
      out.push_back(b.vertexList[v]);
  return out;
}

/// Runs Filter on the damaged soup and checks the result against the original surface.
void repairAndCheck(const Damaged& d, const char* what)
{
  SCOPED_TRACE(what);
  KEXTriangleMeshData mesh;
  toObject(d.soup, mesh);
  KEXFixTriangleMesh filter;
  ASSERT_TRUE(filter.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  ASSERT_TRUE(filter.executeSequence(nullptr)) << "the final check fails the sequence when bad elements remain";
  KEXTriangleMeshBuffer out = fromObject(mesh);
  filter.setValue(KEX::Geometry, KEXObjectLink());

  ASSERT_GT(out.getTriangleCount(), 0);
  EXPECT_TRUE(closedAndConsistent(out));
  EXPECT_EQ(measure(out).inwardComponents, 0) << "every component is oriented outward";
  for (const auto& p : out.vertexList) {
    ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
  }
  // Soup copies coincide exactly, so welding moves nothing: every vertex of the result is a vertex
  // of the original surface (up to the weld distance, guessed as 2^-14 of the sampling distance)
  // and every original vertex that kept a triangle is still there.
  double extent = 0.0;
  for (const auto& p : d.original.vertexList)
    extent = std::max({extent, std::fabs(double(p.x)), std::fabs(double(p.y)), std::fabs(double(p.z))});
  const double tolerance = 1e-4 * extent;
  std::vector<KEXVector3<float>> outVertices = usedVertices(out), original = usedVertices(d.original);
  EXPECT_LE(directedDistance(outVertices, original), tolerance);
  // Only vertices of NaN triangles and of repaired degenerate triangles may vanish.
  EXPECT_LE(out.getVertexCount(), int(original.size()));
  EXPECT_GE(out.getVertexCount(), int(original.size()) * 49 / 50 - 16);
  if (original.size() <= 6000) {
    int missing = 0;
    for (const auto& p : original)
      missing += directedDistance({p}, outVertices) > tolerance;
    EXPECT_LE(missing, int(original.size()) / 50 + 16) << "no part of the surface went missing";
  }
}

std::string dataFile(const char* name)
{
  return (std::filesystem::path(KEXMESH_DATA_DIR) / "meshes" / name).string();
}

} // namespace

TEST(FixTriangleMesh, StopEndsAfterTheCurrentStepAndLeavesTheSourceUnchanged)
{
  std::mt19937 rng(3);
  Damaged d = damage(makeIcosphere(3), 4, 0, rng);
  KEXTriangleMeshData source, destination;
  toObject(d.soup, source);
  KEXFixTriangleMesh f;
  ASSERT_TRUE(f.setValue(KEX::FirstSource, KEXObjectLink(&source)));
  ASSERT_TRUE(f.setValue(KEX::FirstDestination, KEXObjectLink(&destination)));
  kexTest::RecordingScope monitor;
  monitor.stopWhenEnded("Clustering vertices");
  EXPECT_TRUE(f.executeSequence(nullptr)) << "a stop keeps the work done";
  EXPECT_EQ(countBegun(monitor, "Removing degenerate triangles"), 0) << "no step after the stopped one";
  EXPECT_EQ(triangles(fromObject(source)), triangles(d.soup));
  EXPECT_EQ(vertices(fromObject(source)).size(), vertices(d.soup).size());
  KEXTriangleMeshBuffer partial = fromObject(destination);
  EXPECT_TRUE(partial.isConsistent());
  EXPECT_LT(partial.getVertexCount(), d.soup.getVertexCount()) << "the welding step finished";
  f.setValue(KEX::FirstSource, KEXObjectLink());
  f.setValue(KEX::FirstDestination, KEXObjectLink());
}

TEST(FixTriangleMesh, SetMaximumDistanceIsTheWeldDistance)
{
  // Two unit triangles side by side whose shared edge is stored twice, 0.4 apart: the guessed
  // distance (2^-14 of the sampling distance) keeps them apart, a set distance of 0.5 welds them.
  KEXTriangleMeshBuffer pair = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1.4f, 0, 0}, {0.4f, 1, 0}, {1.4f, 1, 0}},
                                          {{0, 1, 2}, {3, 5, 4}});
  const KEXenum list[] = {KEX::ClusterVertices};
  for (float distance : {-1.0f, 0.5f, 0.3f}) {
    SCOPED_TRACE(distance);
    KEXTriangleMeshData mesh;
    toObject(pair, mesh);
    KEXFixTriangleMesh f;
    ASSERT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
    ASSERT_TRUE(f.setSequenceList(list, 1));
    ASSERT_TRUE(f.setValue(KEX::MaximumDistance, distance));
    ASSERT_TRUE(f.executeSequence(nullptr));
    EXPECT_EQ(fromObject(mesh).getVertexCount(), distance == 0.5f ? 4 : 6);
    f.setValue(KEX::Geometry, KEXObjectLink());
  }
}

TEST(FixTriangleMesh, EveryFailedAllocationWhileConstructingIsReported)
{
  int faults = 0;
  for (long n = 1; n < 400; ++n) {
    kexTest::ErrorCapture errors;
    bool fired = false;
    {
      kexTest::AllocationFault fault(n);
      KEXFixTriangleMesh f;
      fired = fault.fired();
      if (fired) {
        EXPECT_TRUE(errors.has(KEX::OutOfMemory)) << "allocation " << n;
        EXPECT_LE(f.getSequenceCount(), 11);
      }
    }
    if (!fired)
      break;
    ++faults;
  }
  EXPECT_GT(faults, 3);

  KEXFixTriangleMesh source;
  const KEXenum list[] = {KEX::Check};
  ASSERT_TRUE(source.setSequenceList(list, 1));
  for (long n = 1; n < 400; ++n) {
    kexTest::ErrorCapture errors;
    kexTest::AllocationFault fault(n);
    KEXFixTriangleMesh copy(source);
    if (!fault.fired())
      break;
    EXPECT_TRUE(errors.has(KEX::OutOfMemory)) << "allocation " << n;
  }
}

TEST(FixTriangleMesh, RepairsDamagedGeneratedMeshes)
{
  std::mt19937 rng(11);
  {
    Damaged d = damage(makeIcosphere(3), 6, 3, rng);
    repairAndCheck(d, "icosphere");
  }
  {
    Damaged d = damage(makeTorus(40, 20), 6, 3, rng);
    repairAndCheck(d, "torus");
  }
  {
    // Two separate bodies, one of them entirely flipped before it became a soup.
    KEXTriangleMeshBuffer two = makeIcosphere(2);
    KEXTriangleMeshBuffer other = makeIcosphere(2, Vec3(5, 0, 0), 0.5f);
    for (auto& t : other.triangleList)
      std::swap(t[1], t[2]);
    append(two, other);
    Damaged d = damage(two, 4, 2, rng);
    repairAndCheck(d, "two bodies");
  }
}

TEST(FixTriangleMesh, RepairsRealMeshesWithHoles)
{
  for (const char* name : {"elephant-with-holes.off", "mech-holes-shark.off"}) {
    SCOPED_TRACE(name);
    KEXTriangleMeshBuffer original;
    if (!std::filesystem::exists(dataFile(name)))
      GTEST_SKIP() << dataFile(name) << " not found: run scripts/fetch-data to test on real meshes";
    ASSERT_TRUE(readOff(dataFile(name), original));
    std::mt19937 rng(7);
    Damaged d = damage(original, 0, 3, rng);
    repairAndCheck(d, name);
  }
}
