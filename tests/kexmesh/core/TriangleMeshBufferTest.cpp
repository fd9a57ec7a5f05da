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
  ASSERT_TRUE(b.vertexNormalList.setCount(V) && b.vertexColorList.setCount(V) && b.vertexEdgeFlagList.setCount(V) &&
              b.vertexScalarList.setCount(V) && b.textureCoordinateList.setCount(V));
  for (int i = 0; i < V; ++i) {
    b.vertexNormalList[i] = Vec3(float(i), 0, 0);
    b.vertexColorList[i] = KEXRGBA<float>(float(i), 1, 2);
    b.vertexEdgeFlagList[i] = char(i % 100);
    b.vertexScalarList[i] = float(i) + 0.5f;
    b.textureCoordinateList[i] = KEXVector2<float>(float(i), -1);
  }
  ASSERT_TRUE(b.triangleNormalList.setCount(T) && b.triangleColorList.setCount(T) && b.triangleAngleList.setCount(T));
  for (int t = 0; t < T; ++t) {
    b.triangleNormalList[t] = Vec3(float(t) + 1, 2, 3);
    b.triangleColorList[t] = KEXRGBA<float>(float(t), 0, 0);
    b.triangleAngleList[t] = Vec3(float(3 * t), float(3 * t + 1), float(3 * t + 2));
  }
}

bool sameVectors(const KEXValueList<Vec3>& a, const std::vector<Vec3>& b) { return std::vector<Vec3>(a.begin(), a.end()) == b; }

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

TEST(TriangleMeshBuffer, FailedCopyAssignmentLeavesTargetUnchanged)
{
  KEXTriangleMeshBuffer source = makeIcosphere(1);
  for (int i = 1; i < 40; ++i) // vertex 0 gets a corner list of its own heap block
    source.triangleList.append(Tri(0, i, i + 1));
  tagAttributes(source);
  ASSERT_TRUE(source.createTriangleAdjacencyList());
  ASSERT_TRUE(source.cornerVertexPages.setCount(2) && source.cornerNormalPages.setCount(2));
  for (int p = 0; p < 2; ++p) {
    const int entries = p == 0 ? 120 : 3 * source.getTriangleCount() - 120;
    ASSERT_TRUE(source.cornerVertexPages[p].setCount(entries, Vec3(1, 1, 1)) &&
                source.cornerNormalPages[p].setCount(entries, Vec3(0, 0, 1)));
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
      ASSERT_TRUE(triangles(target) == triangles(before) && adjacencyOf(target) == adjacencyOf(before)) << "fault " << n;
      EXPECT_TRUE(errors.has(KEX::OutOfMemory));
    }
    EXPECT_TRUE(target.isConsistent() && adjacencyOf(target) == adjacencyOf(source));
    EXPECT_EQ(target.cornerNormalPages[1].getCount(), 3 * source.getTriangleCount() - 120);
  }
  // Twelve lists, two page lists, four pages, the heap-held corner list (pool slots come from blocks).
  EXPECT_GE(faults, 12 + 2 + 4 + 1);
  EXPECT_EQ(kexTest::liveAllocations(), baseline);
}

namespace {
struct Build {
  const char* name;
  bool (KEXTriangleMeshBuffer::*create)();
  bool (KEXTriangleMeshBuffer::*present)() const;
  int (*count)(const KEXTriangleMeshBuffer&); ///< entries of the built list
};
const Build BUILDS[] = {
    {"vertex adjacency", &KEXTriangleMeshBuffer::createVertexAdjacencyList, &KEXTriangleMeshBuffer::hasVertexAdjacencyList,
     [](const KEXTriangleMeshBuffer& b) { return b.vertexAdjacencyList.getCount(); }},
    {"triangle adjacency", &KEXTriangleMeshBuffer::createTriangleAdjacencyList,
     &KEXTriangleMeshBuffer::hasTriangleAdjacencyList, [](const KEXTriangleMeshBuffer& b) { return b.triangleAdjacencyList.getCount(); }},
    {"angles", &KEXTriangleMeshBuffer::createTriangleAngleList, &KEXTriangleMeshBuffer::hasTriangleAngleList,
     [](const KEXTriangleMeshBuffer& b) { return b.triangleAngleList.getCount(); }},
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
            EXPECT_TRUE(!(b.*build.present)() && build.count(b) == 0);
            // A vertex adjacency list finished before the stop is complete and stays.
            EXPECT_TRUE(b.vertexAdjacencyList.getCount() == 0 || vertexAdjacencyMatches(b));
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
          EXPECT_TRUE(build.create == &KEXTriangleMeshBuffer::createVertexAdjacencyList || build.count(b) == 0);
          EXPECT_TRUE(b.vertexAdjacencyList.getCount() == 0 || vertexAdjacencyMatches(b));
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
          // A failed growth changes no list.
          EXPECT_TRUE(which == 2 || (b.getVertexCount() == mesh.getVertexCount() && b.vertexColorList.getCount() == mesh.getVertexCount()));
          EXPECT_TRUE(which == 2 || (b.getTriangleCount() == mesh.getTriangleCount() &&
                                     b.triangleAngleList.getCount() == mesh.getTriangleCount()));
          EXPECT_TRUE(vertexAdjacencyMatches(b) && (which != 2 || triangleAdjacencyMatches(b)));
        });
    EXPECT_GT(faults, 1);
  }
  // Grown triangles are linked to nothing.
  KEXTriangleMeshBuffer b(mesh);
  ASSERT_TRUE(b.setTriangleCount(9000));
  EXPECT_EQ(b.triangleAdjacencyList[8999], Tri(-1, -1, -1));
}

// Adjacency built on damaged meshes (with or without the vertex lists first) and kept through
// random edits matches the reference; every optional list follows its element.
TEST(TriangleMeshBuffer, RandomOperationSequencesKeepEverythingParallel)
{
  const char* names[] = {"swapTriangles", "swapVertices", "removeTriangle", "removeVertex", "flipTriangle", "redirectVertex", "setTriangleCount"};
  std::mt19937 rng(2024);
  for (int run = 0; run < 300; ++run) {
    KEXTriangleMeshBuffer b = randomMesh(rng);
    tagAttributes(b);
    ASSERT_TRUE(run % 2 == 0 || b.createVertexAdjacencyList());
    ASSERT_TRUE(b.createTriangleAdjacencyList()) << run;
    ASSERT_TRUE(vertexAdjacencyMatches(b) && triangleAdjacencyMatches(b)) << run;
    for (int i = 0; i < 20; ++i) {
      Tri t = i < b.getTriangleCount() ? b.triangleList[i] : Tri(int(rng() % 8), int(rng() % 8), int(rng() % 8));
      ASSERT_EQ(b.containsTriangle(t), referenceContainsTriangle(b, t)) << run;
    }
    Model m(b);
    for (int step = 0; step < 40 && run < 150; ++step) {
      const int V = b.getVertexCount(), T = b.getTriangleCount();
      const int op = int(rng() % 7);
      if (op == 0 && T > 0) {
        int i = int(rng() % unsigned(T)), j = int(rng() % unsigned(T));
        ASSERT_TRUE(b.swapTriangles(i, j));
        m.swapTriangles(i, j);
      } else if (op == 1 && V > 0) {
        int i = int(rng() % unsigned(V)), j = int(rng() % unsigned(V));
        ASSERT_TRUE(b.swapVertices(i, j));
        m.swapVertices(i, j);
      } else if (op == 2 && T > 0) {
        int i = int(rng() % unsigned(T));
        ASSERT_TRUE(b.removeTriangle(i));
        m.swapTriangles(i, T - 1);
        m.cutTriangles(size_t(T - 1));
      } else if (op == 3 && V > 1) {
        int i = int(rng() % unsigned(V));
        ASSERT_TRUE(b.removeVertex(i));
        m.swapVertices(i, V - 1);
        m.vertices.pop_back();
        m.vertexTags.pop_back();
      } else if (op == 4 && T > 0) {
        int t = int(rng() % unsigned(T)), k = int(rng() % 3);
        ASSERT_TRUE(b.flipTriangle(t, k));
        m.flip(t, k);
      } else if (op == 5 && V > 1) {
        int i = int(rng() % unsigned(V)), j = int(rng() % unsigned(V));
        ASSERT_TRUE(b.redirectVertex(i, j));
        m.renameVertex(i, j);
        ASSERT_TRUE(i == j || b.vertexAdjacencyList[i].isEmpty());
      } else if (op == 6 && T > 0) {
        int n = T - 1 - int(rng() % unsigned(std::min(T, 5)));
        ASSERT_TRUE(b.setTriangleCount(n));
        m.cutTriangles(size_t(n));
      } else {
        continue;
      }
      SCOPED_TRACE("run " + std::to_string(run) + " step " + std::to_string(step) + " " + names[op]);
      ASSERT_TRUE(b.isConsistent() && matchesModel(b, m));
      ASSERT_TRUE(vertexAdjacencyMatches(b) && triangleAdjacencyMatches(b));
    }
  }
}

TEST(TriangleMeshBuffer, DerivedListScopeRestoresStartingState)
{
  KEXTriangleMeshBuffer b = makeCube();
  {
    auto scope = KEXDerivedListScope::triangleAdjacency(b, true);
    EXPECT_TRUE(!scope.wasPresent() && scope.ensure() && b.hasTriangleAdjacencyList());
  }
  EXPECT_FALSE(b.hasTriangleAdjacencyList()); // built here: removed at the end
  EXPECT_TRUE(b.hasVertexAdjacencyList());   // built as a step of the triangle adjacency
  {
    auto scope = KEXDerivedListScope::vertexAdjacency(b, true);
    EXPECT_TRUE(scope.wasPresent() && b.removeVertexAdjacencyList());
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
    EXPECT_TRUE(scope.restore() && b.hasTriangleAngleList()); // present and present at start: kept
  }
  EXPECT_TRUE(b.hasTriangleAngleList());
}
