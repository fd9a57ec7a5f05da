// Vertex pair contraction: on random closed meshes (spheres, tori, a real mesh) the result stays
// closed, manifold, outward and of the same genus, the limits are reached (or the run ends within
// the error limit), end-point qualities keep every vertex on an input position; runs repeat bit
// for bit from the same random state with any worker count; bad input is refused cleanly.
#include "kexmesh/simplify/ContractVertexPairsAlgorithm.h"
#include "kexmesh/objects/Vocabulary.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"
#include "support/OffReader.h"
#include "support/SimplifyChecks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <random>

using namespace kexmeshtest;
using Algorithm = KEXContractVertexPairsAlgorithm;

namespace {

KEXTriangleMeshBuffer jittered(KEXTriangleMeshBuffer b, std::mt19937& rng, float amount)
{
  std::uniform_real_distribution<float> u(-amount, amount);
  for (int v = 0; v < b.getVertexCount(); ++v)
    b.vertexList[v] += Vec3(u(rng), u(rng), u(rng));
  return b;
}

KEXTriangleMeshBuffer withVertexNormals(KEXTriangleMeshBuffer b)
{
  EXPECT_TRUE(b.calculateVertexNormals());
  for (int v = 0; v < b.getVertexCount(); ++v)
    b.vertexNormalList[v].normalize(1.0f);
  return b;
}

// Closed, manifold, consistently oriented, outward, and of the input's Euler characteristic.
void expectSameClosedSurface(const KEXTriangleMeshBuffer& out, const KEXTriangleMeshBuffer& in)
{
  const MeshQuality q = measure(out);
  EXPECT_EQ(q.borderEdges, 0) << q.summary();
  EXPECT_EQ(q.nonManifoldEdges, 0) << q.summary();
  EXPECT_EQ(q.inconsistentEdges, 0) << q.summary();
  EXPECT_EQ(q.duplicateTriangles, 0) << q.summary();
  EXPECT_EQ(q.inwardComponents, 0) << q.summary();
  EXPECT_EQ(q.closedComponents, measure(in).closedComponents) << q.summary();
  EXPECT_EQ(eulerCharacteristic(out), eulerCharacteristic(in));
  EXPECT_TRUE(out.isConsistent());
  EXPECT_FALSE(out.hasVertexAdjacencyList());
}

struct Shape {
  const char* name;
  std::function<KEXTriangleMeshBuffer(std::mt19937&)> make;
};
const Shape shapes[] = {
    {"icosphere", [](std::mt19937& rng) { return jittered(makeIcosphere(4), rng, 0.01f); }},
    {"torus", [](std::mt19937& rng) { return jittered(makeTorus(60, 24), rng, 0.01f); }},
    {"two spheres with normals",
     [](std::mt19937& rng) {
       KEXTriangleMeshBuffer b = makeIcosphere(3);
       append(b, makeIcosphere(3, Vec3(3, 0, 0), 0.5f));
       return withVertexNormals(jittered(b, rng, 0.005f));
     }},
    {"torus with colours",
     [](std::mt19937& rng) {
       KEXTriangleMeshBuffer b = jittered(makeTorus(40, 30, 2.0f, 0.7f), rng, 0.02f);
       for (int v = 0; v < b.getVertexCount(); ++v)
         b.vertexColorList.append(KEXRGBA<float>(float(v % 7) / 6.0f, 0.5f, 1.0f, 1.0f));
       return b;
     }},
};

TEST(ContractVertexPairs, RandomClosedMeshesStayClosedManifoldAndReachTheLimit)
{
  std::mt19937 rng(12);
  const KEXenum qualities[] = {KEX::Nicest, KEX::Advanced, KEX::Normal, KEX::Fastest};
  for (const Shape& shape : shapes)
    for (KEXenum quality : qualities)
      for (int target : {1000, 400}) {
        SCOPED_TRACE(::testing::Message() << shape.name << " " << quality.getString() << " to " << target);
        const KEXTriangleMeshBuffer input = shape.make(rng);
        KEXTriangleMeshBuffer b(input);
        kexTest::RecordingScope monitor;
        ASSERT_TRUE(contract(b, [&](Algorithm& a) {
          a.setTriangleLimit(target);
          a.setMaximumError(10.0f);
          EXPECT_TRUE(a.setQuality(quality));
        }, rng()));
        EXPECT_EQ(monitor.rootStatus(), KEXTaskInfo::Succeeded);
        EXPECT_LE(b.getTriangleCount(), target);
        EXPECT_LE(b.getVertexCount(), target / 2 + 2); // a closed surface: T = 2V - 4 + 4g
        EXPECT_GT(b.getTriangleCount(), target / 2);
        expectSameClosedSurface(b, input);
        if (quality == KEX::Normal || quality == KEX::Fastest) {
          EXPECT_EQ(verticesOffInput(b, input), 0);
        }
        // The simplified surface keeps near the input (generous bound: coarse but not wrong).
        EXPECT_LT(farthestVertexDistance(b, input), 0.35);
        EXPECT_EQ(b.hasVertexNormalList(), input.hasVertexNormalList());
        EXPECT_EQ(b.hasVertexColorList(), input.hasVertexColorList());
        for (const KEXRGBA<float>& c : b.vertexColorList)
          EXPECT_TRUE(c.r >= 0.0f && c.r <= 1.0f && std::fabs(c.g - 0.5f) < 1e-6f);
      }
}

TEST(ContractVertexPairs, RealMeshStaysClosedAndManifold)
{
  const std::filesystem::path path = std::filesystem::path(KEXMESH_DATA_DIR) / "meshes" / "armadillo.off";
  KEXTriangleMeshBuffer input;
  if (!std::filesystem::exists(path) || !readOff(path.string(), input))
    GTEST_SKIP() << path << " not available: run scripts/fetch-data";
  for (int target : {5000, 1000}) {
    KEXTriangleMeshBuffer b(input);
    ASSERT_TRUE(contract(b, [&](Algorithm& a) {
      a.setTriangleLimit(target);
      a.setMaximumError(1e6f);
    }));
    EXPECT_LE(b.getTriangleCount(), target);
    expectSameClosedSurface(b, input);
  }
}

TEST(ContractVertexPairs, SameRandomStateGivesTheSameResultForAnyThreadCount)
{
  std::mt19937 rng(5);
  for (const Shape& shape : shapes) {
    const KEXTriangleMeshBuffer input = shape.make(rng);
    auto run = [&](int threads) {
      KEXTriangleMeshBuffer b(input);
      EXPECT_TRUE(contract(b, [](Algorithm& a) { a.setTriangleLimit(600); }, 0x1234567, threads));
      EXPECT_EQ(kexTest::lastRunAllThreads(), threads);
      return b;
    };
    const KEXTriangleMeshBuffer one = run(1);
    for (int threads : {2, 7})
      EXPECT_TRUE(sameBuffer(run(threads), one)) << shape.name << " with " << threads << " threads";
    // And the random state is what makes runs differ.
    KEXTriangleMeshBuffer other(input);
    ASSERT_TRUE(contract(other, [](Algorithm& a) { a.setTriangleLimit(600); }, 0x7654321, 2));
    EXPECT_NE(triangles(other), triangles(one));
  }
}

TEST(ContractVertexPairs, ErrorLimitEndsTheRunAsStoppedWithTheMeshReducedSoFar)
{
  std::mt19937 rng(2);
  const KEXTriangleMeshBuffer input = jittered(makeIcosphere(4), rng, 0.002f);
  struct Case {
    float error;
    bool reachesLimit;
  } cases[] = {{0.0f, false}, {1e-4f, false}, {3e-3f, false}, {1.0f, true}};
  int previous = input.getTriangleCount() + 1;
  for (const Case& c : cases) {
    KEXTriangleMeshBuffer b(input);
    kexTest::RecordingScope monitor;
    ASSERT_TRUE(contract(b, [&](Algorithm& a) {
      a.setTriangleLimit(500);
      a.setMaximumError(c.error);
    }));
    bool contractionStopped = false;
    for (const auto& e : monitor.endings())
      contractionStopped |= e.message.rfind("Reduced surface to", 0) == 0 && e.status == KEXTaskInfo::Stopped;
    EXPECT_EQ(contractionStopped, !c.reachesLimit) << c.error;
    EXPECT_EQ(b.getTriangleCount() <= 500, c.reachesLimit) << c.error;
    EXPECT_LE(b.getTriangleCount(), previous); // a larger error limit reduces at least as far
    previous = b.getTriangleCount();
    expectSameClosedSurface(b, input);
  }
  // A flat grid costs nothing to reduce inside; its border weighs more but moves along itself.
  KEXTriangleMeshBuffer grid = makeGrid(30, 30);
  ASSERT_TRUE(contract(grid, [](Algorithm& a) {
    a.setTriangleLimit(200);
    a.setMaximumError(1e-6f);
  }));
  EXPECT_LE(grid.getTriangleCount(), 200);
  EXPECT_TRUE(manifoldEdgesConsistent(grid));
  EXPECT_EQ(eulerCharacteristic(grid), 1);
}

TEST(ContractVertexPairs, LimitsParametersAndCountText)
{
  Algorithm a;
  EXPECT_EQ(a.getVertexLimit(), 1000);
  EXPECT_EQ(a.getTriangleLimit(), 2000);
  EXPECT_EQ(a.getMaximumError(), 0.01f);
  EXPECT_EQ(a.getQuality(), KEX::Nicest);
  EXPECT_TRUE(a.setVertexLimit(500));
  EXPECT_EQ(a.getTriangleLimit(), 1000);
  EXPECT_TRUE(a.setTriangleLimit(999));
  EXPECT_EQ(a.getVertexLimit(), 499);
  EXPECT_FALSE(a.setQuality(KEX::Degree));
  EXPECT_EQ(a.getQuality(), KEX::Nicest);
  EXPECT_TRUE(a.setQuality(KEX::Fastest));
  EXPECT_TRUE(a.setMeanSamplingDistance(KEXVector3<float>(1, 2, 3)));
  EXPECT_EQ(a.getMeanSamplingDistance(), KEXVector3<float>(1, 2, 3));
  const Algorithm copy(a);
  EXPECT_EQ(copy.getQuality(), KEX::Fastest);
  EXPECT_EQ(copy.getVertexLimit(), 499);

  struct Count {
    int n;
    const char* text;
  } counts[] = {{0, "0"}, {999, "999"}, {1000, "1.000"}, {12345, "12.345"}, {1000000, "1.000.000"},
                {1234567, "1.234.567"}, {100020003, "100.020.003"}};
  for (const Count& c : counts) {
    char text[64];
    Algorithm::formatCount(text, 64, c.n);
    EXPECT_STREQ(text, c.text);
  }

  // Within both limits (or limits of 0): nothing is contracted.
  std::mt19937 rng(1);
  const KEXTriangleMeshBuffer input = jittered(makeIcosphere(2), rng, 0.01f); // 162 vertices
  const std::function<void(Algorithm&)> withinLimits[] = {
      [](Algorithm& x) { x.setTriangleLimit(0); }, [](Algorithm& x) { x.setVertexLimit(162); },
      [](Algorithm& x) { x.setTriangleLimit(100000); }};
  for (const auto& configure : withinLimits) {
    KEXTriangleMeshBuffer b(input);
    ASSERT_TRUE(contract(b, configure));
    EXPECT_EQ(b.getTriangleCount(), input.getTriangleCount());
    EXPECT_EQ(b.getVertexCount(), input.getVertexCount());
  }
}

TEST(ContractVertexPairs, BadInputIsRefusedOrSurvived)
{
  kexTest::RecordingScope monitor;
  { // Empty: no sampling distance.
    KEXTriangleMeshBuffer b;
    EXPECT_FALSE(contract(b, nullptr));
  }
  { // All vertices coincident: no positive sampling distance.
    KEXTriangleMeshBuffer b = makeIcosphere(1);
    for (Vec3& p : b.vertexList)
      p = Vec3(1, 1, 1);
    monitor.clear();
    EXPECT_FALSE(contract(b, [](Algorithm& a) { a.setTriangleLimit(10); }));
    EXPECT_EQ(monitor.rootCode(), KEX::InvalidOperation);
    EXPECT_TRUE(monitor.hasDiagnostic("The mesh has no positive sampling distance"));
    EXPECT_EQ(b.getTriangleCount(), 80);
    EXPECT_FALSE(b.hasVertexAdjacencyList());
  }
  { // Invalid indices and NaN vertices: refused before anything is touched.
    KEXTriangleMeshBuffer b = makeIcosphere(2);
    b.triangleList[7][1] = b.getVertexCount();
    b.triangleList[9][0] = -1;
    const KEXTriangleMeshBuffer before(b);
    monitor.clear();
    EXPECT_FALSE(contract(b, [](Algorithm& a) { a.setTriangleLimit(10); }));
    EXPECT_TRUE(monitor.hasDiagnostic("Found 2 invalid vertex indices"));
    EXPECT_TRUE(sameBuffer(b, before));
    KEXTriangleMeshBuffer n = makeIcosphere(2);
    n.vertexList[3].y = NAN;
    monitor.clear();
    EXPECT_FALSE(contract(n, [](Algorithm& a) { a.setTriangleLimit(10); }));
    EXPECT_TRUE(monitor.hasDiagnostic("Found 1 invalid vertices"));
  }
  { // Random non-manifold soups of fans, duplicates and repeated indices: no crash, no endless
    // loop, a consistent buffer with valid indices.
    std::mt19937 rng(33);
    for (int round = 0; round < 40; ++round) {
      RandomMeshOptions o;
      o.vertices = 30 + round;
      o.triangles = 120 + 3 * round;
      KEXTriangleMeshBuffer b = makeRandomMesh(rng, o);
      append(b, makeIcosphere(2)); // some ordinary surface as well
      const bool result = contract(b, [&](Algorithm& a) {
        a.setTriangleLimit(20 + round);
        a.setMaximumError(100.0f);
        a.setQuality(round % 2 ? KEX::Nicest : KEX::Fastest);
      }, rng());
      EXPECT_TRUE(result);
      EXPECT_TRUE(b.isConsistent());
      for (const KEXTriangle<int>& t : b.triangleList)
        for (int k = 0; k < 3; ++k)
          ASSERT_TRUE(b.isValidVertex(t[k]));
    }
  }
}

TEST(ContractVertexPairs, StopBetweenBatchesKeepsAConsistentPartialMesh)
{
  std::mt19937 rng(9);
  const KEXTriangleMeshBuffer input = jittered(makeTorus(120, 60), rng, 0.01f); // 14400 triangles
  // The first batch contracts 1024 edges of a closed surface, two triangles each; the task shows
  // the count it reached, and a stop then ends the run after that batch or the next.
  KEXTriangleMeshBuffer b(input);
  kexTest::RecordingScope monitor;
  monitor.stopWhenBegun("Reduced surface to 12.352 triangles");
  EXPECT_FALSE(contract(b, [](Algorithm& a) { a.setTriangleLimit(500); }));
  EXPECT_EQ(monitor.rootCode(), KEX::GenericError);
  EXPECT_FALSE(monitor.hasDiagnostic("Out of memory"));
  EXPECT_TRUE(b.isConsistent());
  EXPECT_LE(b.getTriangleCount(), 12352);
  EXPECT_GE(b.getTriangleCount(), 12352 - 2048);
  expectSameClosedSurface(b, input);
}

} // namespace
