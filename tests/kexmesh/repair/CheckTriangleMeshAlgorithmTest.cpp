// The integrity check: every diagnostic text, severity and code, and the stored counts against a
// brute-force count on random damaged meshes.
#include "kexmesh/repair/CheckTriangleMeshAlgorithm.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "support/AlgorithmSweeps.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace kexmeshtest;

namespace {
struct CheckRun {
  bool result;
  KEXCheckTriangleMeshAlgorithm check;
  std::vector<kexTest::RecordingMonitor::Diagnostic> diagnostics;
  KEXenum code;
  KEXTaskInfo::Status status;
};

std::unique_ptr<CheckRun> runCheck(KEXTriangleMeshBuffer b)
{
  auto run = std::make_unique<CheckRun>();
  kexTest::RecordingScope monitor;
  run->result = runAlgorithm(b, run->check);
  run->diagnostics = monitor.diagnostics();
  run->code = monitor.rootCode();
  run->status = monitor.rootStatus();
  return run;
}

const float NaN = std::nanf("");
} // namespace

TEST(CheckTriangleMesh, EmptyAndVertexlessBuffers)
{
  auto empty = runCheck(KEXTriangleMeshBuffer());
  EXPECT_TRUE(empty->result);
  EXPECT_TRUE(empty->diagnostics.empty());

  KEXTriangleMeshBuffer b;
  b.triangleList.setCount(5, KEXTriangle<int>(0, 1, 2));
  auto r = runCheck(b);
  EXPECT_FALSE(r->result);
  EXPECT_EQ(r->code, KEX::InvalidValue);
  ASSERT_EQ(r->diagnostics.size(), 1u);
  EXPECT_EQ(r->diagnostics[0].severity, KEX::Error);
  EXPECT_EQ(r->diagnostics[0].format, "Found %i triangles, but no vertices at all");
  EXPECT_EQ(r->diagnostics[0].text, "Found 5 triangles, but no vertices at all");
}

TEST(CheckTriangleMesh, InvalidVerticesAndTrianglesAreAllReported)
{
  KEXTriangleMeshBuffer b = makeGrid(2, 2); // 9 vertices
  b.vertexList[2].y = NaN;
  b.triangleList.append(KEXTriangle<int>(0, 0, 1)); // repeated index: valid
  auto one = runCheck(b);
  EXPECT_FALSE(one->result);
  EXPECT_EQ(one->code, KEX::InvalidValue);
  ASSERT_EQ(one->diagnostics.size(), 1u);
  EXPECT_EQ(one->diagnostics[0].text, "Found an invalid vertex");
  EXPECT_EQ(one->check.getInvalidVertexCount(), 1);
  EXPECT_EQ(one->check.getInvalidTriangleCount(), 0);

  b.vertexList[5].z = INFINITY;
  b.triangleList.append(KEXTriangle<int>(0, 1, 9)); // index V: invalid
  auto two = runCheck(b);
  EXPECT_FALSE(two->result);
  ASSERT_EQ(two->diagnostics.size(), 2u);
  EXPECT_EQ(two->diagnostics[0].format, "Found %i invalid vertices");
  EXPECT_EQ(two->diagnostics[0].text, "Found 2 invalid vertices");
  EXPECT_EQ(two->diagnostics[1].text, "Found an invalid triangle");
  EXPECT_EQ(two->diagnostics[1].severity, KEX::Error);
  EXPECT_EQ(two->check.getInvalidTriangleCount(), 1);
  EXPECT_EQ(two->check.getEmptyTriangleCount(), 0); // not reached

  b.triangleList.append(KEXTriangle<int>(-1, 1, 2));
  b.vertexList[2].y = 0.0f;
  b.vertexList[5].z = 0.0f;
  auto tris = runCheck(b);
  ASSERT_EQ(tris->diagnostics.size(), 1u);
  EXPECT_EQ(tris->diagnostics[0].format, "Found %i invalid triangles");
  EXPECT_EQ(tris->diagnostics[0].text, "Found 2 invalid triangles");
  EXPECT_EQ(tris->code, KEX::InvalidValue);
}

TEST(CheckTriangleMesh, EmptyTrianglesOnlyWarn)
{
  KEXTriangleMeshBuffer b = makeGrid(2, 2);
  b.triangleList.append(KEXTriangle<int>(4, 4, 4)); // three coincident points: area 0
  auto one = runCheck(b);
  EXPECT_TRUE(one->result);
  ASSERT_EQ(one->diagnostics.size(), 1u);
  EXPECT_EQ(one->diagnostics[0].severity, KEX::Warning);
  EXPECT_EQ(one->diagnostics[0].text, "Found an empty triangle");
  EXPECT_EQ(one->check.getEmptyTriangleCount(), 1);
  EXPECT_EQ(one->status, KEXTaskInfo::Succeeded);

  b.triangleList.append(KEXTriangle<int>(0, 1, 2)); // collinear
  auto two = runCheck(b);
  EXPECT_TRUE(two->result);
  ASSERT_EQ(two->diagnostics.size(), 1u);
  EXPECT_EQ(two->diagnostics[0].format, "Found %i empty triangles");
  EXPECT_EQ(two->diagnostics[0].text, "Found 2 empty triangles");
  EXPECT_EQ(two->check.getBadEdgeCount(), 0);
  // The counts belong to the last run.
  auto clean = runCheck(makeGrid(2, 2));
  EXPECT_EQ(clean->check.getEmptyTriangleCount(), 0);
}

TEST(CheckTriangleMesh, CountsMatchBruteForceOnRandomDamagedMeshes)
{
  std::mt19937 rng(29);
  for (int round = 0; round < 40; ++round) {
    RandomMeshOptions o;
    o.vertices = 5 + int(rng() % 40);
    o.triangles = int(rng() % 100);
    o.invalidIndexRate = round % 2 ? 0.1 : 0.0;
    o.repeatedIndexRate = 0.2;
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, o);
    if (round % 4 == 1)
      b.vertexList[int(rng() % 5)].x = NaN;
    const KEXTriangleMeshBuffer before = b;
    int invalidV = 0, invalidT = 0, emptyT = 0;
    for (const Vec3& p : b.vertexList)
      invalidV += !(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
    for (const KEXTriangle<int>& f : b.triangleList)
      invalidT += f[0] < 0 || f[1] < 0 || f[2] < 0 || f[0] >= o.vertices || f[1] >= o.vertices || f[2] >= o.vertices;
    Vec3 msd;
    ASSERT_TRUE(b.calculateMeanSamplingDistance(msd));
    const double s = std::min(msd.x, std::min(msd.y, msd.z)) / 128.0;
    if (invalidV == 0 && invalidT == 0)
      for (const KEXTriangle<int>& f : b.triangleList) {
        double area;
        KEXTriangleCalculus3<float>::area(area, b.vertexList[f[0]], b.vertexList[f[1]], b.vertexList[f[2]]);
        emptyT += area <= 0.5 * s * s;
      }
    KEXCheckTriangleMeshAlgorithm check;
    kexTest::RecordingScope monitor;
    EXPECT_EQ(runAlgorithm(b, check), invalidV == 0 && invalidT == 0);
    EXPECT_EQ(check.getInvalidVertexCount(), invalidV);
    EXPECT_EQ(check.getInvalidTriangleCount(), invalidT);
    EXPECT_EQ(check.getEmptyTriangleCount(), emptyT);
    EXPECT_TRUE(triangles(b) == triangles(before)); // nothing changes
    EXPECT_EQ(b.vertexList.getCount(), before.vertexList.getCount());
  }
}

