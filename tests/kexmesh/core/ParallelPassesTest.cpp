// The buffer passes that run on worker threads (vertex corner lists, inner angles, triangle and
// vertex normals) on meshes large enough to be cut into many blocks: the same lists for any thread
// count, an invalid triangle in the last block refused as on one thread, and a stop at any progress
// report leaving no list.
#include "kex/Testing.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/CoreSetup.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <cstring>
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

// A large mesh's corner lists are distributed to vertex buckets on the worker threads: for any
// thread count they must be those of the plain corner-order build, also with invalid indices, a
// vertex of some hundred corners and vertices without any.
TEST(ParallelPasses, VertexCornerListsAreThoseOfTheReferenceForAnyThreadCount)
{
  std::mt19937 rng(11);
  // 130,000 vertices (32 buckets), the triangles in the order of the vertex numbering (the plain
  // append) and shuffled (the bucket passes).
  for (bool shuffled : {false, true}) {
    KEXTriangleMeshBuffer mesh = makeTorus(500, 260);
    if (shuffled)
      shuffleTriangles(mesh, rng);
    const int V = mesh.getVertexCount();
    ASSERT_TRUE(mesh.setVertexCount(V + 700));
    for (int t = 0; t < mesh.getTriangleCount(); t += 101)
      mesh.triangleList[t][t % 3] = t % 2 ? -1 - t : V + 700 + t;
    for (int i = 0; i < 300; ++i)
      mesh.triangleList.append(Tri(V + 3, int(rng() % unsigned(V)), int(rng() % unsigned(V))));
    for (int threads : {1, 2, 7}) {
      ThreadCount count(threads);
      KEXTriangleMeshBuffer b(mesh);
      ASSERT_TRUE(b.createVertexAdjacencyList());
      EXPECT_TRUE(vertexAdjacencyMatches(b)) << threads << " " << shuffled;
      EXPECT_EQ(b.vertexAdjacencyList[V + 3].getCount(), 300);
    }
  }
}

// The angle list is computed in batches, laid out by coordinate: it must hold, bit for bit, the
// angles of each triangle computed on its own, also for triangles with coincident, nearly
// coincident or collinear points and in the short last batch.
TEST(ParallelPasses, BatchedAnglesAreThoseOfEachTriangleAlone)
{
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::uniform_int_distribution<int> pick(0, 5);
  KEXTriangleMeshBuffer b;
  for (int t = 0; t < 3001; ++t) {
    KEXVector3<float> p[3] = {{u(rng), u(rng), u(rng)}, {u(rng), u(rng), u(rng)}, {u(rng), u(rng), u(rng)}};
    switch (pick(rng)) {
    case 0: p[1] = p[0]; break;                                  // two points coincide
    case 1: p[2] = p[1] = p[0]; break;                           // all three
    case 2: p[2] = p[0] + (p[1] - p[0]) * 0.5f; break;           // collinear
    case 3: p[1] = p[0] + KEXVector3<float>(4e-9f, 0.0f, 0.0f); break; // a side just under the zero threshold
    default: break;
    }
    for (const KEXVector3<float>& q : p)
      b.vertexList.append(q);
    b.triangleList.append(KEXTriangle<int>(3 * t, 3 * t + 1, 3 * t + 2));
  }
  ASSERT_TRUE(b.createTriangleAngleList());
  int differ = 0;
  for (int t = 0; t < b.getTriangleCount(); ++t) {
    KEXVector3<double> a;
    KEXTriangleCalculus<KEXVector3<float>>::angles(a, b.vertexList[3 * t], b.vertexList[3 * t + 1], b.vertexList[3 * t + 2]);
    const KEXVector3<float> alone(float(a.x), float(a.y), float(a.z));
    differ += std::memcmp(&alone, &b.triangleAngleList[t], sizeof alone) != 0;
  }
  EXPECT_EQ(differ, 0);
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
