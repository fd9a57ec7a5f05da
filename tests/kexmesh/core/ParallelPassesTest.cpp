// The buffer passes that run on worker threads (inner angles, triangle and vertex normals) on
// meshes large enough to be cut into many blocks: the same lists for any thread count, an invalid
// triangle in the last block refused as on one thread, and a stop at any progress report leaving
// no list.
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/CoreSetup.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <random>

using namespace kexmeshtest;

namespace {

KEXTriangleMeshBuffer normalsWith(const KEXTriangleMeshBuffer& mesh, int threads)
{
  KEXTriangleMeshBuffer b(mesh);
  ThreadCount count(threads);
  EXPECT_TRUE(b.calculateVertexNormals()) << threads;
  return b;
}

TEST(ParallelPasses, AnglesAndVertexNormalsAreTheSameForAnyThreadCount)
{
  std::mt19937 rng(7);
  KEXTriangleMeshBuffer torus = makeTorus(260, 140); // 72,800 triangles: nine angle blocks
  shuffleTriangles(torus, rng);
  for (int t = 0; t < torus.getTriangleCount(); t += 997) // degenerate ones, repaired from neighbours
    torus.triangleList[t][2] = torus.triangleList[t][1];
  const KEXTriangleMeshBuffer one = normalsWith(torus, 1);
  ASSERT_TRUE(one.hasVertexNormalList() && one.hasTriangleAngleList());
  for (int threads : {2, 3, 7}) {
    const KEXTriangleMeshBuffer many = normalsWith(torus, threads);
    EXPECT_TRUE(sameBits(one.triangleAngleList, many.triangleAngleList) && sameBits(one.triangleNormalList, many.triangleNormalList) &&
                sameBits(one.vertexNormalList, many.vertexNormalList)) << threads;
  }
}

TEST(ParallelPasses, InvalidTrianglesAndStopsLeaveNoList)
{
  const KEXTriangleMeshBuffer torus = makeTorus(260, 140);
  for (int threads : {1, 4}) {
    SCOPED_TRACE(threads);
    ThreadCount count(threads);
    KEXTriangleMeshBuffer bad(torus);
    bad.triangleList[bad.getTriangleCount() - 3][1] = bad.getVertexCount() + 5;
    {
      kexTest::RecordingScope monitor;
      EXPECT_FALSE(bad.createTriangleAngleList() || bad.hasTriangleAngleList());
      EXPECT_TRUE(monitor.hasDiagnostic("Found an invalid triangle") && monitor.rootCode() == KEX::InvalidIndex);
    }
    // An abort at each of a spread of progress reports: the pass ends aborted, without its
    // list (the first two reports come before any block can have finished everything).
    for (long report : {1L, 2L, 5L, 9L}) {
      KEXTriangleMeshBuffer b(torus);
      kexTest::RecordingScope monitor;
      monitor.stopAfterReports(report, KEXTaskMonitor::Abort);
      const bool angles = b.createTriangleAngleList();
      EXPECT_EQ(angles, b.hasTriangleAngleList()) << report;
      EXPECT_TRUE(monitor.progressMonotone());
      EXPECT_TRUE(report > 2 || !angles) << report;
      EXPECT_TRUE(angles || monitor.rootStatus() == KEXTaskInfo::Aborted) << report;
    }
  }
}

} // namespace
