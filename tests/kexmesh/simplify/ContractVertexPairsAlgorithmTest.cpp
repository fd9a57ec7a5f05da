// Vertex pair contraction on random closed meshes and a real one: closed, manifold, outward, same
// genus, limits reached; the same random state repeats bit for bit; bad input is refused cleanly.
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
#include <vector>

using namespace kexmeshtest;
using Algorithm = KEXContractVertexPairsAlgorithm;

namespace {

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
  EXPECT_TRUE(q.borderEdges + q.nonManifoldEdges + q.inconsistentEdges + q.duplicateTriangles + q.inwardComponents == 0 &&
              q.closedComponents == measure(in).closedComponents) << q.summary();
  EXPECT_EQ(eulerCharacteristic(out), eulerCharacteristic(in));
  EXPECT_TRUE(out.isConsistent() && !out.hasVertexAdjacencyList());
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
        EXPECT_TRUE((quality != KEX::Normal && quality != KEX::Fastest) || verticesOffInput(b, input) == 0);
        // The simplified surface keeps near the input (generous bound: coarse but not wrong).
        EXPECT_LT(farthestVertexDistance(b, input), 0.35);
        EXPECT_EQ(b.hasVertexNormalList(), input.hasVertexNormalList());
        EXPECT_EQ(b.hasVertexColorList(), input.hasVertexColorList());
        for (const KEXRGBA<float>& c : b.vertexColorList)
          EXPECT_TRUE(c.r >= 0.0f && c.r <= 1.0f && std::fabs(c.g - 0.5f) < 1e-6f);
      }
}

// Real closed meshes, down to the coarsest targets: small coarse ones (a cross of boxes, a CAD
// part) could turn over as a whole, one admissible contraction at a time, and come out facing
// inwards. Those stop short of a target they cannot reach without turning over.
TEST(ContractVertexPairs, RealMeshesStayClosedManifoldAndOutward)
{
  struct Case {
    const char* file;
    std::vector<int> targets;
    bool reachesTargets;
  };
  const Case cases[] = {{"armadillo.off", {5000, 1000}, true},
                        {"cross.off", {30, 16, 8, 4}, false},
                        {"mpi_triang.off", {60, 30, 18, 10}, false}};
  for (const Case& c : cases) {
    const std::filesystem::path path = std::filesystem::path(KEXMESH_DATA_DIR) / "meshes" / c.file;
    KEXTriangleMeshBuffer input;
    if (!std::filesystem::exists(path) || !readOff(path.string(), input))
      GTEST_SKIP() << path << " not available: run scripts/fetch-data";
    for (int target : c.targets) {
      SCOPED_TRACE(::testing::Message() << c.file << " to " << target);
      KEXTriangleMeshBuffer b(input);
      ASSERT_TRUE(contract(b, [&](Algorithm& a) {
        a.setTriangleLimit(target);
        a.setMaximumError(1e6f);
      }));
      EXPECT_LT(b.getTriangleCount(), input.getTriangleCount());
      EXPECT_TRUE(!c.reachesTargets || b.getTriangleCount() <= target);
      expectSameClosedSurface(b, input);
      EXPECT_GT(signedVolume(b), 0.0);
    }
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

TEST(ContractVertexPairs, CountTextAndNothingContractedWithinTheLimits)
{
  const std::pair<int, const char*> counts[] = {{0, "0"}, {999, "999"}, {1000, "1.000"}, {12345, "12.345"}, {1000000, "1.000.000"},
                {1234567, "1.234.567"}, {100020003, "100.020.003"}};
  for (const auto& [n, want] : counts) {
    char text[64];
    Algorithm::formatCount(text, 64, n);
    EXPECT_STREQ(text, want);
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
    EXPECT_TRUE(sameGeometry(b, input));
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
    KEXTriangleMeshBuffer n = makeIcosphere(2);
    n.vertexList[3].y = NAN;
    for (auto [mesh, message] : {std::pair{&b, "Found 2 invalid vertex indices"}, std::pair{&n, "Found 1 invalid vertices"}}) {
      const KEXTriangleMeshBuffer before(*mesh);
      monitor.clear();
      EXPECT_FALSE(contract(*mesh, [](Algorithm& a) { a.setTriangleLimit(10); }));
      EXPECT_TRUE(monitor.hasDiagnostic(message));
      EXPECT_TRUE(sameBuffer(*mesh, before));
    }
  }
  { // Random non-manifold soups of fans, duplicates and repeated indices: no crash, no endless
    // loop, a consistent buffer with valid indices.
    std::mt19937 rng(33);
    for (int round = 0; round < 40; ++round) {
      KEXTriangleMeshBuffer b = makeRandomMesh(rng, {30 + round, 120 + 3 * round});
      append(b, makeIcosphere(2)); // some ordinary surface as well
      const bool result = contract(b, [&](Algorithm& a) {
        a.setTriangleLimit(20 + round);
        a.setMaximumError(100.0f);
        a.setQuality(round % 2 ? KEX::Nicest : KEX::Fastest);
      }, rng());
      EXPECT_TRUE(result && b.isConsistent() && allIndicesValid(b)) << round;
    }
  }
}

} // namespace
