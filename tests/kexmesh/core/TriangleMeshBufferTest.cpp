#include "kexmesh/core/TriangleMeshBuffer.h"

#include "kex/Testing.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "support/AlgorithmSweeps.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

using namespace kexmeshtest;

namespace {

using Status = KEXTaskInfo::Status;

RandomMeshOptions damaged(int v, int t, double invalid = 0.05)
{
  RandomMeshOptions o;
  o.vertices = v;
  o.triangles = t;
  o.invalidIndexRate = invalid;
  o.duplicateRate = 0.1;
  o.repeatedIndexRate = 0.05;
  return o;
}

// A random mesh whose vertices are few enough that many edges are shared by three or more triangles.
KEXTriangleMeshBuffer randomMesh(std::mt19937& rng)
{
  int v = 4 + int(rng() % 30);
  int t = int(rng() % 90);
  return makeRandomMesh(rng, damaged(v, t, (rng() % 3) * 0.04));
}

// Unique per-element tags in every optional list, so that a test can see where each element went.
void tagAttributes(KEXTriangleMeshBuffer& b)
{
  const int V = b.getVertexCount(), T = b.getTriangleCount();
  b.vertexNormalList.setCount(V);
  b.vertexColorList.setCount(V);
  b.vertexEdgeFlagList.setCount(V);
  b.vertexScalarList.setCount(V);
  b.textureCoordinateList.setCount(V);
  for (int i = 0; i < V; ++i) {
    b.vertexNormalList[i] = Vec3(float(i), 0, 0);
    b.vertexColorList[i] = KEXRGBA<float>(float(i), 1, 2);
    b.vertexEdgeFlagList[i] = char(i % 100);
    b.vertexScalarList[i] = float(i) + 0.5f;
    b.textureCoordinateList[i] = KEXVector2<float>(float(i), -1);
  }
  b.triangleNormalList.setCount(T);
  b.triangleColorList.setCount(T);
  b.triangleAngleList.setCount(T);
  for (int t = 0; t < T; ++t) {
    b.triangleNormalList[t] = Vec3(float(t) + 1, 2, 3);
    b.triangleColorList[t] = KEXRGBA<float>(float(t), 0, 0);
    b.triangleAngleList[t] = Vec3(float(3 * t), float(3 * t + 1), float(3 * t + 2));
  }
}

bool sameVectors(const KEXValueList<Vec3>& a, const std::vector<Vec3>& b)
{
  if (a.getCount() != int(b.size()))
    return false;
  for (int i = 0; i < a.getCount(); ++i)
    if (!(a[i] == b[size_t(i)]))
      return false;
  return true;
}

// What the buffer should hold, tracked with plain vectors alongside the operations under test.
struct Model {
  std::vector<Vec3> vertices;
  std::vector<Tri> triangles;
  std::vector<Vec3> vertexTags, triangleNormals, triangleAngles;

  explicit Model(const KEXTriangleMeshBuffer& b)
      : vertices(b.vertexList.begin(), b.vertexList.end()), triangles(b.triangleList.begin(), b.triangleList.end()),
        vertexTags(b.vertexNormalList.begin(), b.vertexNormalList.end()),
        triangleNormals(b.triangleNormalList.begin(), b.triangleNormalList.end()),
        triangleAngles(b.triangleAngleList.begin(), b.triangleAngleList.end())
  {
  }
  void renameVertex(int from, int to)
  {
    for (Tri& t : triangles)
      for (int k = 0; k < 3; ++k)
        if (t[k] == from)
          t[k] = to;
  }
  void swapVertices(int i, int j)
  {
    std::swap(vertices[size_t(i)], vertices[size_t(j)]);
    std::swap(vertexTags[size_t(i)], vertexTags[size_t(j)]);
    for (Tri& t : triangles)
      for (int k = 0; k < 3; ++k)
        t[k] = t[k] == i ? j : t[k] == j ? i : t[k];
  }
  void swapTriangles(int i, int j)
  {
    std::swap(triangles[size_t(i)], triangles[size_t(j)]);
    std::swap(triangleNormals[size_t(i)], triangleNormals[size_t(j)]);
    std::swap(triangleAngles[size_t(i)], triangleAngles[size_t(j)]);
  }
  void cutTriangles(size_t n)
  {
    triangles.resize(n);
    triangleNormals.resize(n);
    triangleAngles.resize(n);
  }
  void flip(int t, int k)
  {
    int k1 = (k + 1) % 3, k2 = (k + 2) % 3;
    std::swap(triangles[size_t(t)][k1], triangles[size_t(t)][k2]);
    std::swap(triangleAngles[size_t(t)][k1], triangleAngles[size_t(t)][k2]);
    triangleNormals[size_t(t)] = -triangleNormals[size_t(t)];
  }
};

::testing::AssertionResult matchesModel(const KEXTriangleMeshBuffer& b, const Model& m)
{
  if (!sameVectors(b.vertexList, m.vertices))
    return ::testing::AssertionFailure() << "vertex list differs";
  if (triangles(b) != m.triangles)
    return ::testing::AssertionFailure() << "triangle list differs";
  if (!sameVectors(b.vertexNormalList, m.vertexTags))
    return ::testing::AssertionFailure() << "vertex attributes did not follow their vertices";
  for (int i = 0; i < b.getVertexCount(); ++i) {
    float tag = b.vertexNormalList[i].x;
    if (b.vertexColorList[i].r != tag || b.vertexScalarList[i] != tag + 0.5f || b.textureCoordinateList[i].x != tag ||
        b.vertexEdgeFlagList[i] != char(int(tag) % 100))
      return ::testing::AssertionFailure() << "vertex lists of vertex " << i << " are not parallel";
  }
  if (!sameVectors(b.triangleNormalList, m.triangleNormals))
    return ::testing::AssertionFailure() << "triangle normals did not follow their triangles";
  if (!sameVectors(b.triangleAngleList, m.triangleAngles))
    return ::testing::AssertionFailure() << "triangle angles did not follow their corners";
  for (int t = 0; t < b.getTriangleCount(); ++t)
    if (b.triangleColorList[t].r != std::fabs(b.triangleNormalList[t].x) - 1)
      return ::testing::AssertionFailure() << "triangle lists of triangle " << t << " are not parallel";
  return ::testing::AssertionSuccess();
}

std::vector<std::vector<int>> adjacencyOf(const KEXTriangleMeshBuffer& b)
{
  std::vector<std::vector<int>> r;
  for (const KEXCompactIndexArray& a : b.vertexAdjacencyList)
    r.emplace_back(a.begin(), a.end());
  return r;
}

} // namespace

// --- construction, copy, consistency ----------------------------------------------------------------

TEST(TriangleMeshBuffer, ConsistencyRules)
{
  KEXTriangleMeshBuffer b = makeCube();
  EXPECT_TRUE(b.isConsistent());
  b.vertexEdgeFlagList.setCount(3); // not part of the test
  EXPECT_TRUE(b.isConsistent());
  b.vertexNormalList.setCount(7);
  EXPECT_FALSE(b.isConsistent());
  b.vertexNormalList.setCount(8);
  EXPECT_TRUE(b.isConsistent());
  b.triangleColorList.setCount(11);
  EXPECT_FALSE(b.isConsistent());
  b.triangleColorList.setCount(0);
  // Pages: equal totals of 0 or 3T.
  b.cornerVertexPages.setCount(1);
  b.cornerVertexPages[0].setCount(36);
  EXPECT_FALSE(b.isConsistent());
  b.cornerNormalPages.setCount(2);
  b.cornerNormalPages[0].setCount(20);
  b.cornerNormalPages[1].setCount(16);
  EXPECT_TRUE(b.isConsistent());
  b.cornerNormalPages[1].setCount(15);
  EXPECT_FALSE(b.isConsistent());
  // Without triangles any equal totals pass.
  KEXTriangleMeshBuffer c;
  c.cornerVertexPages.setCount(1);
  c.cornerNormalPages.setCount(1);
  c.cornerVertexPages[0].setCount(5);
  c.cornerNormalPages[0].setCount(5);
  EXPECT_TRUE(c.isConsistent());
}

TEST(TriangleMeshBuffer, CopySwapAndClear)
{
  KEXTriangleMeshBuffer a = makeIcosphere(1);
  tagAttributes(a);
  ASSERT_TRUE(a.createTriangleAdjacencyList());
  a.cornerVertexPages.setCount(1);
  a.cornerNormalPages.setCount(1);
  a.cornerVertexPages[0].setCount(3 * a.getTriangleCount(), Vec3(1, 2, 3));
  a.cornerNormalPages[0].setCount(3 * a.getTriangleCount(), Vec3(0, 0, 1));
  KEXTriangleMeshBuffer b(a);
  EXPECT_TRUE(vertexAdjacencyMatches(b));
  EXPECT_TRUE(triangleAdjacencyMatches(b));
  EXPECT_EQ(triangles(b), triangles(a));
  EXPECT_EQ(b.cornerNormalPages[0].getCount(), 3 * a.getTriangleCount());
  // The copy owns its own corner lists.
  EXPECT_NE(b.vertexAdjacencyList[0].getData(), a.vertexAdjacencyList[0].getData());

  KEXTriangleMeshBuffer c = makeCube();
  c = a;
  EXPECT_EQ(adjacencyOf(c), adjacencyOf(a));
  EXPECT_EQ(c.triangleAngleList.getBlockSize(), 2048);
  c = c; // self-assignment keeps everything
  EXPECT_EQ(c.getTriangleCount(), a.getTriangleCount());

  KEXTriangleMeshBuffer d = makeCube();
  const KEXTriangle<int>* data = d.triangleList.getData();
  const long calls = kexTest::allocationCalls();
  d.swap(c);
  EXPECT_EQ(kexTest::allocationCalls(), calls); // nothing copied
  EXPECT_EQ(c.triangleList.getData(), data);
  EXPECT_EQ(c.getTriangleCount(), 12);
  EXPECT_TRUE(d.hasTriangleAdjacencyList());

  EXPECT_TRUE(d.clear());
  EXPECT_EQ(d.getVertexCount(), 0);
  EXPECT_EQ(d.vertexAdjacencyList.getCount(), 0);
  EXPECT_EQ(d.cornerVertexPages.getCount(), 0);
  EXPECT_EQ(d.triangleList.getBlockSize(), 2048);
  EXPECT_EQ(d.vertexList.getCapacity(), 0); // emptied lists give their memory back
  EXPECT_EQ(d.triangleColorList.getCapacity(), 0);
}

TEST(TriangleMeshBuffer, FailedCopyAssignmentLeavesTargetUnchanged)
{
  KEXTriangleMeshBuffer source = makeIcosphere(1);
  for (int i = 1; i < 40; ++i) // vertex 0 gets a corner list of its own heap block
    source.triangleList.append(Tri(0, i, i + 1));
  tagAttributes(source);
  ASSERT_TRUE(source.createTriangleAdjacencyList());
  source.cornerVertexPages.setCount(2);
  source.cornerNormalPages.setCount(2);
  for (int p = 0; p < 2; ++p) {
    const int entries = p == 0 ? 120 : 3 * source.getTriangleCount() - 120;
    source.cornerVertexPages[p].setCount(entries, Vec3(1, 1, 1));
    source.cornerNormalPages[p].setCount(entries, Vec3(0, 0, 1));
  }
  ASSERT_TRUE(source.isConsistent());
  const long baseline = kexTest::liveAllocations();
  int faults = 0;
  {
    KEXTriangleMeshBuffer target = makeTetrahedron();
    ASSERT_TRUE(target.createVertexAdjacencyList());
    const KEXTriangleMeshBuffer before(target);
    kexTest::ErrorCapture errors;
    for (int n = 1;; ++n) {
      bool fired;
      {
        kexTest::AllocationFault fault(n);
        target = source;
        fired = fault.fired();
      }
      const bool copied = target.getTriangleCount() == source.getTriangleCount();
      if (!fired) {
        EXPECT_TRUE(copied);
        faults = n - 1;
        break;
      }
      ASSERT_FALSE(copied) << "fault " << n;
      ASSERT_EQ(triangles(target), triangles(before)) << "fault " << n;
      ASSERT_EQ(adjacencyOf(target), adjacencyOf(before)) << "fault " << n;
      EXPECT_TRUE(errors.has(KEX::OutOfMemory));
    }
    EXPECT_TRUE(target.isConsistent());
    EXPECT_EQ(adjacencyOf(target), adjacencyOf(source));
    EXPECT_EQ(target.cornerNormalPages[1].getCount(), 3 * source.getTriangleCount() - 120);
  }
  // Twelve lists, two page lists, four pages, the heap-held corner list (pool slots come from blocks).
  EXPECT_GE(faults, 12 + 2 + 4 + 1);
  EXPECT_EQ(kexTest::liveAllocations(), baseline);
}

// --- derived lists against brute force ---------------------------------------------------------------

TEST(TriangleMeshBuffer, AdjacencyListsMatchReferenceOnDamagedMeshes)
{
  std::mt19937 rng(17);
  for (int run = 0; run < 300; ++run) {
    KEXTriangleMeshBuffer b = randomMesh(rng);
    if (run % 2) {
      ASSERT_TRUE(b.createVertexAdjacencyList());
    }
    ASSERT_TRUE(b.createTriangleAdjacencyList()) << run;
    ASSERT_TRUE(vertexAdjacencyMatches(b)) << run;
    ASSERT_TRUE(triangleAdjacencyMatches(b)) << run;
    for (int i = 0; i < 20; ++i) {
      Tri t(int(rng() % 8), int(rng() % 8), int(rng() % 8));
      if (i < b.getTriangleCount())
        t = b.triangleList[i];
      ASSERT_EQ(b.containsTriangle(t), referenceContainsTriangle(b, t)) << run;
    }
  }
}

TEST(TriangleMeshBuffer, CornerListsTakeTheStorageOfGrowth)
{
  // Each vertex's corner list holds the storage class that appending its corners one by one gives,
  // so later edits grow it the same way. Fans give long lists of every class.
  std::mt19937 rng(23);
  for (int run = 0; run < 40; ++run) {
    KEXTriangleMeshBuffer b = randomMesh(rng);
    const int V = b.getVertexCount();
    const int fan = int(rng() % 400);
    for (int i = 0; i < fan; ++i) // randomMesh gives at least 4 vertices
      b.triangleList.append(Tri(int(rng() % 3), 3 + i % (V - 3), int(rng() % V)));
    ASSERT_TRUE(b.createVertexAdjacencyList()) << run;
    ASSERT_TRUE(vertexAdjacencyMatches(b)) << run;
    for (int v = 0; v < V; ++v) {
      const KEXCompactIndexArray& list = b.vertexAdjacencyList[v];
      KEXCompactIndexArray grown;
      for (int c : list) {
        ASSERT_TRUE(grown.append(c));
      }
      ASSERT_EQ(KEXSmallArrayPool::capacity(list.getData()), KEXSmallArrayPool::capacity(grown.getData()))
          << run << " vertex " << v;
      ASSERT_EQ(KEXSmallArrayPool::isPooled(list.getData()), KEXSmallArrayPool::isPooled(grown.getData()));
    }
  }
}

TEST(TriangleMeshBuffer, AngleListFollowsCalculus)
{
  KEXTriangleMeshBuffer b = makeTorus(9, 7);
  ASSERT_TRUE(b.createTriangleAngleList());
  ASSERT_TRUE(b.hasTriangleAngleList());
  for (int t = 0; t < b.getTriangleCount(); ++t) {
    const Tri& f = b.triangleList[t];
    KEXVector3<double> a;
    KEXTriangleCalculus<Vec3>::angles(a, b.vertexList[f[0]], b.vertexList[f[1]], b.vertexList[f[2]]);
    EXPECT_EQ(b.triangleAngleList[t], Vec3(float(a.x), float(a.y), float(a.z)));
    EXPECT_NEAR(double(b.triangleAngleList[t].x) + b.triangleAngleList[t].y + b.triangleAngleList[t].z, M_PI, 1e-6);
  }
  // Degenerate triangles get the fixed angles; an invalid index refuses the list.
  KEXTriangleMeshBuffer d = makeBuffer({{0, 0, 0}, {0, 0, 0}, {1, 0, 0}}, {{0, 1, 2}, {0, 0, 0}});
  ASSERT_TRUE(d.createTriangleAngleList());
  EXPECT_NEAR(d.triangleAngleList[0].x, M_PI / 2, 1e-6);
  EXPECT_NEAR(d.triangleAngleList[0].z, 0.0, 1e-6);
  EXPECT_NEAR(d.triangleAngleList[1].y, M_PI / 3, 1e-6);
  KEXTriangleMeshBuffer bad = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}, {0, 1, 3}});
  kexTest::RecordingScope monitor;
  EXPECT_FALSE(bad.createTriangleAngleList());
  EXPECT_EQ(bad.triangleAngleList.getCount(), 0);
  EXPECT_EQ(monitor.rootCode(), KEX::InvalidIndex);
}

TEST(TriangleMeshBuffer, TasksReportMessagesAndProgress)
{
  KEXTriangleMeshBuffer b = makeSphere(40, 60);
  kexTest::RecordingScope monitor;
  ASSERT_TRUE(b.createTriangleAdjacencyList());
  auto begun = monitor.begunMessages();
  ASSERT_EQ(begun.size(), 2u);
  EXPECT_EQ(begun[0], "Calculating triangle adjacency information");
  EXPECT_EQ(begun[1], "Calculating vertex adjacency list");
  EXPECT_EQ(monitor.rootStatus(), Status::Succeeded);
  EXPECT_TRUE(monitor.progressMonotone());
  auto subs = monitor.subTaskMessages();
  EXPECT_NE(std::find(subs.begin(), subs.end(), "Creating vertex adjacency list"), subs.end());
  // One report after setup plus one per 16384 corners; then one per 3072 corners.
  const int T = b.getTriangleCount();
  const long vertexReports = 1 + (3 * T + 16383) / 16384, triangleReports = (3 * T + 3071) / 3072;
  EXPECT_EQ(monitor.reportCount(), vertexReports + triangleReports);
  monitor.clear();
  // Present vertex adjacency: no inner task.
  ASSERT_TRUE(b.createTriangleAdjacencyList());
  EXPECT_EQ(monitor.begunMessages().size(), 1u);
  EXPECT_EQ(monitor.reportCount(), triangleReports);
  monitor.clear();
  ASSERT_TRUE(b.createTriangleAngleList());
  EXPECT_EQ(monitor.begunMessages().at(0), "Calculating inner triangle angles");
  EXPECT_EQ(monitor.reportCount(), 1 + (T + 8191) / 8192);
}

// --- stop requests and allocation faults in every build ----------------------------------------------

namespace {
struct Build {
  const char* name;
  bool (KEXTriangleMeshBuffer::*create)();
  bool (KEXTriangleMeshBuffer::*present)() const;
};
const Build BUILDS[] = {
    {"vertex adjacency", &KEXTriangleMeshBuffer::createVertexAdjacencyList, &KEXTriangleMeshBuffer::hasVertexAdjacencyList},
    {"triangle adjacency", &KEXTriangleMeshBuffer::createTriangleAdjacencyList,
     &KEXTriangleMeshBuffer::hasTriangleAdjacencyList},
    {"angles", &KEXTriangleMeshBuffer::createTriangleAngleList, &KEXTriangleMeshBuffer::hasTriangleAngleList},
};
} // namespace

TEST(TriangleMeshBuffer, StopDuringEveryBuildLeavesListAbsent)
{
  // Large enough for several blocks in each build.
  const KEXTriangleMeshBuffer mesh = makeSphere(70, 130);
  for (const Build& build : BUILDS)
    for (auto kind : {KEXTaskMonitor::Stop, KEXTaskMonitor::Abort}) {
      SCOPED_TRACE(build.name);
      const long reports = sweepStops(
          mesh, [&](KEXTriangleMeshBuffer& b) { return (b.*build.create)(); },
          [&](KEXTriangleMeshBuffer& b, bool ok, const kexTest::RecordingMonitor& monitor) {
            expectStopped(ok, monitor, kind);
            EXPECT_FALSE((b.*build.present)());
            if (build.create == &KEXTriangleMeshBuffer::createTriangleAdjacencyList) {
              EXPECT_EQ(b.triangleAdjacencyList.getCount(), 0);
            }
            if (build.create == &KEXTriangleMeshBuffer::createVertexAdjacencyList) {
              EXPECT_EQ(b.vertexAdjacencyList.getCount(), 0);
            }
            if (build.create == &KEXTriangleMeshBuffer::createTriangleAngleList) {
              EXPECT_EQ(b.triangleAngleList.getCount(), 0);
            }
            // A vertex adjacency list finished before the stop is complete and stays.
            if (b.vertexAdjacencyList.getCount()) {
              EXPECT_TRUE(vertexAdjacencyMatches(b));
            }
          },
          kind);
      EXPECT_GT(reports, 1);
    }
}

TEST(TriangleMeshBuffer, AllocationFaultsInEveryBuild)
{
  std::mt19937 rng(5);
  KEXTriangleMeshBuffer mesh = makeRandomMesh(rng, damaged(60, 300));
  append(mesh, makeIcosphere(2)); // some vertices with long corner lists, some with none
  for (int i = 0; i < 40; ++i)
    mesh.triangleList.append(Tri(0, 1 + i, 2 + i)); // vertex 0: a heap-sized corner list
  KEXTriangleMeshBuffer valid = mesh; // the angle list needs valid triangles
  for (Tri& t : valid.triangleList)
    for (int k = 0; k < 3; ++k)
      t[k] = std::clamp(t[k], 0, valid.getVertexCount() - 1);
  for (const Build& build : BUILDS) {
    const bool angles = build.create == &KEXTriangleMeshBuffer::createTriangleAngleList;
    int faults = sweepAllocationFaults(
        angles ? valid : mesh, [&](KEXTriangleMeshBuffer& b) { return (b.*build.create)(); },
        [&](KEXTriangleMeshBuffer& b, bool ok, const kexTest::RecordingMonitor& monitor) {
          SCOPED_TRACE(build.name);
          EXPECT_FALSE(ok);
          EXPECT_TRUE(monitor.hasDiagnostic("Out of memory"));
          EXPECT_TRUE(monitor.rootCode() == KEX::OutOfMemory || monitor.rootCode() == KEX::GenericError);
          EXPECT_FALSE((b.*build.present)()); // absent, not half-built
          EXPECT_EQ((angles ? b.triangleAngleList.getCount() : 0) +
                        (build.create == &KEXTriangleMeshBuffer::createTriangleAdjacencyList
                             ? b.triangleAdjacencyList.getCount()
                             : 0),
                    0);
          if (b.vertexAdjacencyList.getCount()) {
            EXPECT_TRUE(vertexAdjacencyMatches(b));
          }
        });
    EXPECT_GT(faults, 1) << build.name;
  }
}

TEST(TriangleMeshBuffer, AllocationFaultsInGrowthAndRedirect)
{
  KEXTriangleMeshBuffer mesh = makeIcosphere(1);
  tagAttributes(mesh);
  ASSERT_TRUE(mesh.createTriangleAdjacencyList());
  for (int which = 0; which < 3; ++which) {
    int faults = sweepAllocationFaults(
        mesh,
        [&](KEXTriangleMeshBuffer& b) {
          if (which == 0)
            return b.setVertexCount(5000);
          if (which == 1)
            return b.setTriangleCount(9000);
          return b.redirectVertex(0, 1) && b.redirectVertex(1, 2) && b.redirectVertex(2, 3);
        },
        [&](KEXTriangleMeshBuffer& b, bool ok, const kexTest::RecordingMonitor&) {
          EXPECT_FALSE(ok);
          if (which < 2) { // a failed growth changes no list
            EXPECT_EQ(b.getVertexCount(), mesh.getVertexCount());
            EXPECT_EQ(b.getTriangleCount(), mesh.getTriangleCount());
            EXPECT_EQ(b.vertexColorList.getCount(), mesh.getVertexCount());
            EXPECT_EQ(b.triangleAngleList.getCount(), mesh.getTriangleCount());
          }
          EXPECT_TRUE(vertexAdjacencyMatches(b));
          if (which == 2) {
            EXPECT_TRUE(triangleAdjacencyMatches(b));
          }
        });
    EXPECT_GT(faults, 1);
  }
  // Grown triangles are linked to nothing.
  KEXTriangleMeshBuffer b(mesh);
  ASSERT_TRUE(b.setTriangleCount(9000));
  EXPECT_EQ(b.triangleAdjacencyList[8999], Tri(-1, -1, -1));
}

// --- element operations -----------------------------------------------------------------------------

TEST(TriangleMeshBuffer, RandomOperationSequencesKeepEverythingParallel)
{
  std::mt19937 rng(2024);
  for (int run = 0; run < 150; ++run) {
    KEXTriangleMeshBuffer b = randomMesh(rng);
    tagAttributes(b);
    ASSERT_TRUE(b.createTriangleAdjacencyList());
    Model m(b);
    for (int step = 0; step < 40; ++step) {
      const int V = b.getVertexCount(), T = b.getTriangleCount();
      const int op = int(rng() % 7);
      std::string what;
      if (op == 0 && T > 0) {
        int i = int(rng() % unsigned(T)), j = int(rng() % unsigned(T));
        ASSERT_TRUE(b.swapTriangles(i, j));
        m.swapTriangles(i, j);
        what = "swapTriangles";
      } else if (op == 1 && V > 0) {
        int i = int(rng() % unsigned(V)), j = int(rng() % unsigned(V));
        ASSERT_TRUE(b.swapVertices(i, j));
        m.swapVertices(i, j);
        what = "swapVertices";
      } else if (op == 2 && T > 0) {
        int i = int(rng() % unsigned(T));
        ASSERT_TRUE(b.removeTriangle(i));
        m.swapTriangles(i, T - 1);
        m.cutTriangles(size_t(T - 1));
        what = "removeTriangle";
      } else if (op == 3 && V > 1) {
        int i = int(rng() % unsigned(V));
        ASSERT_TRUE(b.removeVertex(i));
        m.swapVertices(i, V - 1);
        m.vertices.pop_back();
        m.vertexTags.pop_back();
        what = "removeVertex";
      } else if (op == 4 && T > 0) {
        int t = int(rng() % unsigned(T)), k = int(rng() % 3);
        ASSERT_TRUE(b.flipTriangle(t, k));
        m.flip(t, k);
        what = "flipTriangle";
      } else if (op == 5 && V > 1) {
        int i = int(rng() % unsigned(V)), j = int(rng() % unsigned(V));
        ASSERT_TRUE(b.redirectVertex(i, j));
        m.renameVertex(i, j);
        ASSERT_TRUE(i == j || b.vertexAdjacencyList[i].isEmpty());
        what = "redirectVertex";
      } else if (op == 6 && T > 0) {
        int n = T - 1 - int(rng() % unsigned(std::min(T, 5)));
        ASSERT_TRUE(b.setTriangleCount(n));
        m.cutTriangles(size_t(n));
        what = "setTriangleCount";
      } else {
        continue;
      }
      SCOPED_TRACE("run " + std::to_string(run) + " step " + std::to_string(step) + " " + what);
      ASSERT_TRUE(b.isConsistent());
      ASSERT_TRUE(matchesModel(b, m));
      ASSERT_TRUE(vertexAdjacencyMatches(b));
      ASSERT_TRUE(triangleAdjacencyMatches(b));
    }
  }
}

TEST(TriangleMeshBuffer, SwapsAndShrinksWithoutAdjacency)
{
  KEXTriangleMeshBuffer b = makeCube();
  tagAttributes(b);
  Model m(b);
  // With triangles a vertex swap needs the vertex adjacency list.
  EXPECT_FALSE(b.swapVertices(0, 1));
  EXPECT_FALSE(b.redirectVertex(0, 1));
  EXPECT_FALSE(b.removeVertex(0));
  EXPECT_TRUE(matchesModel(b, m));
  EXPECT_TRUE(b.swapVertices(3, 3));
  EXPECT_TRUE(b.swapTriangles(0, 11));
  m.swapTriangles(0, 11);
  EXPECT_TRUE(b.flipTriangle(4, 2));
  m.flip(4, 2);
  EXPECT_TRUE(b.removeTriangle(2));
  m.swapTriangles(2, 11);
  m.cutTriangles(11);
  EXPECT_TRUE(matchesModel(b, m));
  EXPECT_FALSE(b.swapTriangles(0, 11));
  EXPECT_FALSE(b.flipTriangle(0, 3));
  // Without triangles vertices swap freely.
  KEXTriangleMeshBuffer p = makeBuffer({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}, {});
  EXPECT_TRUE(p.swapVertices(0, 2));
  EXPECT_EQ(p.vertexList[0].x, 2.0f);
  EXPECT_TRUE(p.redirectVertex(0, 1));
  EXPECT_TRUE(p.removeVertex(1));
  EXPECT_EQ(p.getVertexCount(), 2);
  EXPECT_EQ(p.vertexList[1].x, 0.0f);
}

TEST(TriangleMeshBuffer, CountsAndIndexRanges)
{
  KEXTriangleMeshBuffer b = makeCube();
  tagAttributes(b);
  ASSERT_TRUE(b.createTriangleAdjacencyList());
  EXPECT_TRUE(b.setVertexCount(3)); // no growth: nothing to do
  EXPECT_EQ(b.getVertexCount(), 3);
  EXPECT_EQ(b.vertexColorList.getCount(), 3);
  EXPECT_EQ(b.vertexAdjacencyList.getCount(), 3);
  EXPECT_TRUE(triangleAdjacencyMatches(b)); // edges at the cut vertices lost their partners
  EXPECT_TRUE(b.setVertexIndexRange(0, 9));
  EXPECT_EQ(b.getVertexCount(), 10);
  EXPECT_EQ(b.vertexScalarList.getCount(), 10);
  EXPECT_TRUE(b.vertexAdjacencyList[9].isEmpty());
  EXPECT_FALSE(b.setVertexIndexRange(1, 9));
  EXPECT_TRUE(b.setTriangleIndexRange(0, 13));
  EXPECT_EQ(b.triangleAngleList.getCount(), 14);
  EXPECT_EQ(b.triangleAdjacencyList[13], Tri(-1, -1, -1));
  EXPECT_FALSE(b.setTriangleCount(-1));
  // Growth needs a consistent buffer; shrinking does not.
  b.triangleNormalList.setCount(3);
  EXPECT_FALSE(b.setTriangleCount(20));
  EXPECT_FALSE(b.setVertexCount(20));
  EXPECT_TRUE(b.setTriangleCount(2));
  EXPECT_EQ(b.getTriangleCount(), 2);
  // Absent lists are left alone.
  EXPECT_EQ(b.triangleNormalList.getCount(), 3);
}

TEST(TriangleMeshBuffer, ShrinkingLeavesNoLinkIntoRemovedCorners)
{
  KEXTriangleMeshBuffer b = makeIcosphere(2);
  std::mt19937 rng(3);
  shuffleTriangles(b, rng);
  ASSERT_TRUE(b.createTriangleAdjacencyList());
  for (int n : {300, 170, 40, 1, 0}) {
    ASSERT_TRUE(b.setTriangleCount(n));
    for (int c = 0; c < 3 * n; ++c) {
      EXPECT_LT(b.triangleAdjacencyList[c / 3][c % 3], 3 * n);
    }
    for (const KEXCompactIndexArray& a : b.vertexAdjacencyList)
      for (int c : a) {
        EXPECT_LT(c, 3 * n);
      }
    EXPECT_TRUE(triangleAdjacencyMatches(b));
  }
}

TEST(TriangleMeshBuffer, SwapsMatchRebuildOnClosedMesh)
{
  KEXTriangleMeshBuffer b = makeTorus(12, 8);
  ASSERT_TRUE(b.createTriangleAdjacencyList());
  std::mt19937 rng(11);
  for (int i = 0; i < 200; ++i) {
    int x = int(rng() % unsigned(b.getTriangleCount())), y = int(rng() % unsigned(b.getTriangleCount()));
    ASSERT_TRUE(b.swapTriangles(x, y));
  }
  KEXTriangleMeshBuffer fresh = makeBuffer(vertices(b), triangles(b));
  ASSERT_TRUE(fresh.createTriangleAdjacencyList());
  EXPECT_EQ(adjacencyOf(b), adjacencyOf(fresh));
  for (int t = 0; t < b.getTriangleCount(); ++t) {
    EXPECT_EQ(b.triangleAdjacencyList[t], fresh.triangleAdjacencyList[t]);
  }
}

// --- derived-list scope ------------------------------------------------------------------------------

TEST(TriangleMeshBuffer, DerivedListScopeRestoresStartingState)
{
  KEXTriangleMeshBuffer b = makeCube();
  {
    auto scope = KEXDerivedListScope::triangleAdjacency(b, true);
    EXPECT_FALSE(scope.wasPresent());
    EXPECT_TRUE(scope.ensure());
    EXPECT_TRUE(b.hasTriangleAdjacencyList());
  }
  EXPECT_FALSE(b.hasTriangleAdjacencyList()); // built here: removed at the end
  EXPECT_TRUE(b.hasVertexAdjacencyList());   // built as a step of the triangle adjacency
  {
    auto scope = KEXDerivedListScope::vertexAdjacency(b, true);
    EXPECT_TRUE(scope.wasPresent());
    EXPECT_TRUE(b.removeVertexAdjacencyList());
  }
  EXPECT_TRUE(vertexAdjacencyMatches(b)); // removed meanwhile: built again
  {
    auto scope = KEXDerivedListScope::triangleAngles(b, false);
    EXPECT_TRUE(scope.ensure());
  }
  EXPECT_TRUE(b.hasTriangleAngleList()); // no restore at the end
  {
    KEXDerivedListScope scope(b, &KEXTriangleMeshBuffer::hasTriangleAngleList,
                              &KEXTriangleMeshBuffer::createTriangleAngleList,
                              &KEXTriangleMeshBuffer::removeTriangleAngleList, true);
    EXPECT_TRUE(scope.restore()); // present and present at start: kept
    EXPECT_TRUE(b.hasTriangleAngleList());
  }
  EXPECT_TRUE(b.hasTriangleAngleList());
  // A moved-from scope does nothing at its end; the moved-to one restores.
  {
    auto outer = KEXDerivedListScope::triangleAdjacency(b, true);
    {
      KEXDerivedListScope inner(std::move(outer));
      EXPECT_TRUE(inner.ensure());
      EXPECT_FALSE(outer.ensure());
    }
    EXPECT_FALSE(b.hasTriangleAdjacencyList());
    ASSERT_TRUE(b.createTriangleAdjacencyList());
  }
  EXPECT_TRUE(b.hasTriangleAdjacencyList());
  EXPECT_TRUE(b.removeTriangleAdjacencyList() && b.removeTriangleAngleList() && b.removeTriangleNormalList());
  EXPECT_EQ(b.triangleAdjacencyList.getCount() + b.triangleAngleList.getCount(), 0);
}
