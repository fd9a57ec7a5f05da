// The buffer passes that run on worker threads (inner angles, triangle and vertex normals) on
// meshes large enough to be cut into many blocks: the same lists for any thread count, an invalid
// triangle in the last block refused as on one thread, and a stop at any progress report leaving
// no list.
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

using namespace kexmeshtest;

namespace {

struct Lists {
  std::vector<KEXVector3<float>> angles, triangleNormals, normals;
  bool ok = false;
};

Lists normalsWith(const KEXTriangleMeshBuffer& mesh, int threads)
{
  KEXTriangleMeshBuffer b(mesh);
  kexTest::setThreadCount(threads);
  Lists l;
  l.ok = b.calculateVertexNormals();
  kexTest::setThreadCount(0);
  l.angles.assign(b.triangleAngleList.begin(), b.triangleAngleList.end());
  l.triangleNormals.assign(b.triangleNormalList.begin(), b.triangleNormalList.end());
  l.normals.assign(b.vertexNormalList.begin(), b.vertexNormalList.end());
  return l;
}

bool sameBits(const std::vector<KEXVector3<float>>& a, const std::vector<KEXVector3<float>>& b)
{
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
}

TEST(ParallelPasses, AnglesAndVertexNormalsAreTheSameForAnyThreadCount)
{
  std::mt19937 rng(7);
  KEXTriangleMeshBuffer torus = makeTorus(260, 140); // 72,800 triangles: nine angle blocks
  shuffleTriangles(torus, rng);
  for (int t = 0; t < torus.getTriangleCount(); t += 997) // degenerate ones, repaired from neighbours
    torus.triangleList[t][2] = torus.triangleList[t][1];
  const Lists one = normalsWith(torus, 1);
  ASSERT_TRUE(one.ok);
  ASSERT_EQ(one.normals.size(), size_t(torus.getVertexCount()));
  for (int threads : {2, 3, 7}) {
    const Lists many = normalsWith(torus, threads);
    ASSERT_TRUE(many.ok) << threads;
    EXPECT_TRUE(sameBits(one.angles, many.angles)) << threads;
    EXPECT_TRUE(sameBits(one.triangleNormals, many.triangleNormals)) << threads;
    EXPECT_TRUE(sameBits(one.normals, many.normals)) << threads;
  }
}

TEST(ParallelPasses, InvalidTrianglesAndStopsLeaveNoList)
{
  const KEXTriangleMeshBuffer torus = makeTorus(260, 140);
  for (int threads : {1, 4}) {
    SCOPED_TRACE(threads);
    kexTest::setThreadCount(threads);
    KEXTriangleMeshBuffer bad(torus);
    bad.triangleList[bad.getTriangleCount() - 3][1] = bad.getVertexCount() + 5;
    {
      kexTest::RecordingScope monitor;
      EXPECT_FALSE(bad.createTriangleAngleList());
      EXPECT_TRUE(monitor.hasDiagnostic("Found an invalid triangle"));
      EXPECT_EQ(monitor.rootCode(), KEX::InvalidIndex);
    }
    EXPECT_FALSE(bad.hasTriangleAngleList());

    // An abort at each of a spread of progress reports: the pass ends aborted, without its
    // list (the first two reports come before any block can have finished everything).
    for (long report : {1L, 2L, 5L, 9L}) {
      KEXTriangleMeshBuffer b(torus);
      kexTest::RecordingScope monitor;
      monitor.stopAfterReports(report, KEXTaskMonitor::Abort);
      const bool angles = b.createTriangleAngleList();
      EXPECT_EQ(angles, b.hasTriangleAngleList()) << report;
      EXPECT_TRUE(monitor.progressMonotone());
      if (report <= 2) {
        EXPECT_FALSE(angles);
      }
      if (!angles) {
        EXPECT_EQ(monitor.rootStatus(), KEXTaskInfo::Aborted) << report;
      }
    }
    kexTest::setThreadCount(0);
  }
}

} // namespace
