// The triangle mesh buffer: all-or-nothing copies, the derived lists under stops and allocation
// failures, and random edit sequences checked against a plain model and a fresh adjacency build.
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

RandomMeshOptions damaged(int v, int t, double invalid = 0.05) { return {v, t, invalid, 0.1, 0.05}; }

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

std::vector<Vec3> listed(const KEXValueList<Vec3>& a) { return {a.begin(), a.end()}; }

// What the buffer should hold, tracked with plain vectors alongside the operations under test.
struct Model {
  std::vector<Vec3> vertices, vertexTags, triangleNormals, triangleAngles;
  std::vector<Tri> triangles;

  explicit Model(const KEXTriangleMeshBuffer& b)
      : vertices(kexmeshtest::vertices(b)), vertexTags(listed(b.vertexNormalList)), triangleNormals(listed(b.triangleNormalList)),
        triangleAngles(listed(b.triangleAngleList)), triangles(kexmeshtest::triangles(b))
  {
  }
  // Vertex `from` becomes `to` in every triangle (and `to` becomes `from` when they trade).
  void rename(int from, int to, bool trade)
  {
    for (Tri& t : triangles)
      for (int k = 0; k < 3; ++k)
        t[k] = t[k] == from ? to : trade && t[k] == to ? from : t[k];
  }
  void swapVertices(int i, int j)
  {
    std::swap(vertices[i], vertices[j]);
    std::swap(vertexTags[i], vertexTags[j]);
    rename(i, j, true);
  }
  void swapTriangles(int i, int j)
  {
    std::swap(triangles[i], triangles[j]);
    std::swap(triangleNormals[i], triangleNormals[j]);
    std::swap(triangleAngles[i], triangleAngles[j]);
  }
  void cutTriangles(int n)
  {
    triangles.resize(size_t(n));
    triangleNormals.resize(size_t(n));
    triangleAngles.resize(size_t(n));
  }
  void flip(int t, int k)
  {
    std::swap(triangles[t][(k + 1) % 3], triangles[t][(k + 2) % 3]);
    std::swap(triangleAngles[t][(k + 1) % 3], triangleAngles[t][(k + 2) % 3]);
    triangleNormals[t] = -triangleNormals[t];
  }
};

::testing::AssertionResult matchesModel(const KEXTriangleMeshBuffer& b, const Model& m)
{
  if (vertices(b) != m.vertices || triangles(b) != m.triangles)
    return ::testing::AssertionFailure() << "vertex or triangle list differs";
  if (listed(b.vertexNormalList) != m.vertexTags)
    return ::testing::AssertionFailure() << "vertex attributes did not follow their vertices";
  if (listed(b.triangleNormalList) != m.triangleNormals || listed(b.triangleAngleList) != m.triangleAngles)
    return ::testing::AssertionFailure() << "triangle normals or angles did not follow their triangles";
  for (int i = 0; i < b.getVertexCount(); ++i) {
    const float tag = b.vertexNormalList[i].x;
    if (b.vertexColorList[i].r != tag || b.vertexScalarList[i] != tag + 0.5f || b.textureCoordinateList[i].x != tag ||
        b.vertexEdgeFlagList[i] != char(int(tag) % 100))
      return ::testing::AssertionFailure() << "vertex lists of vertex " << i << " are not parallel";
  }
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
  ASSERT_TRUE(source.createTriangleAdjacencyList() && source.cornerVertexPages.setCount(2) && source.cornerNormalPages.setCount(2));
  const int secondPage = 3 * source.getTriangleCount() - 120;
  for (int p = 0; p < 2; ++p)
    ASSERT_TRUE(source.cornerVertexPages[p].setCount(p ? secondPage : 120, Vec3(1, 1, 1)) &&
                source.cornerNormalPages[p].setCount(p ? secondPage : 120, Vec3(0, 0, 1)));
  ASSERT_TRUE(source.isConsistent());
  KEXTriangleMeshBuffer target = makeTetrahedron();
  ASSERT_TRUE(target.createVertexAdjacencyList());
  auto assign = [&](KEXTriangleMeshBuffer& b) {
    kexTest::ErrorCapture errors;
    b = source;
    const bool copied = b.getTriangleCount() == source.getTriangleCount();
    EXPECT_EQ(errors.has(KEX::OutOfMemory), !copied) << "a failed copy is reported, a full one is not";
    return copied;
  };
  const int n = sweepAllocationFaults(target, assign, [&](KEXTriangleMeshBuffer& b, bool copied, const kexTest::RecordingMonitor&) {
    ASSERT_FALSE(copied);
    EXPECT_TRUE(triangles(b) == triangles(target) && adjacencyOf(b) == adjacencyOf(target));
  });
  // Twelve lists, two page lists, four pages, the heap-held corner list (pool slots come from blocks).
  EXPECT_GE(n - 1, 12 + 2 + 4 + 1);
  ASSERT_TRUE(assign(target));
  EXPECT_TRUE(target.isConsistent() && adjacencyOf(target) == adjacencyOf(source));
  EXPECT_EQ(target.cornerNormalPages[1].getCount(), secondPage);
}

// Each derived list, when a stop, an abort or an allocation failure ends its build, is absent, not
// half-built; a vertex adjacency list finished before (as a step of the triangle adjacency) is
// complete and stays.
TEST(TriangleMeshBuffer, StopsAndAllocationFaultsDuringEveryBuildLeaveTheListAbsent)
{
  const struct {
    const char* name;
    bool (KEXTriangleMeshBuffer::*create)();
    bool (KEXTriangleMeshBuffer::*present)() const;
    int (*count)(const KEXTriangleMeshBuffer&); ///< entries of the built list
  } builds[] = {
      {"vertex adjacency", &KEXTriangleMeshBuffer::createVertexAdjacencyList, &KEXTriangleMeshBuffer::hasVertexAdjacencyList,
       [](const KEXTriangleMeshBuffer& b) { return b.vertexAdjacencyList.getCount(); }},
      {"triangle adjacency", &KEXTriangleMeshBuffer::createTriangleAdjacencyList, &KEXTriangleMeshBuffer::hasTriangleAdjacencyList,
       [](const KEXTriangleMeshBuffer& b) { return b.triangleAdjacencyList.getCount(); }},
      {"angles", &KEXTriangleMeshBuffer::createTriangleAngleList, &KEXTriangleMeshBuffer::hasTriangleAngleList,
       [](const KEXTriangleMeshBuffer& b) { return b.triangleAngleList.getCount(); }},
  };
  const KEXTriangleMeshBuffer sphere = makeSphere(70, 130); // several blocks in each build
  std::mt19937 rng(5);
  KEXTriangleMeshBuffer damagedMesh = makeRandomMesh(rng, damaged(60, 300));
  append(damagedMesh, makeIcosphere(2)); // some vertices with long corner lists, some with none
  for (int i = 0; i < 40; ++i)
    damagedMesh.triangleList.append(Tri(0, 1 + i, 2 + i)); // vertex 0: a heap-sized corner list
  KEXTriangleMeshBuffer damagedLarge = damagedMesh; // shuffled: the bucket passes of large meshes
  append(damagedLarge, sphere);
  shuffleTriangles(damagedLarge, rng);
  KEXTriangleMeshBuffer valid = damagedMesh;                  // the angle list needs valid triangles
  for (Tri& t : valid.triangleList)
    for (int k = 0; k < 3; ++k)
      t[k] = std::clamp(t[k], 0, valid.getVertexCount() - 1);
  for (const auto& build : builds) {
    SCOPED_TRACE(build.name);
    auto create = [&](KEXTriangleMeshBuffer& b) { return (b.*build.create)(); };
    const bool vertexLists = build.create == &KEXTriangleMeshBuffer::createVertexAdjacencyList;
    auto absent = [&](const KEXTriangleMeshBuffer& b) {
      EXPECT_FALSE((b.*build.present)());
      EXPECT_TRUE(vertexLists || build.count(b) == 0);
      EXPECT_TRUE(b.vertexAdjacencyList.getCount() == 0 || vertexAdjacencyMatches(b));
    };
    for (auto kind : {KEXTaskMonitor::Stop, KEXTaskMonitor::Abort})
      EXPECT_GT(sweepStops(sphere, create, [&](KEXTriangleMeshBuffer& b, bool ok, const kexTest::RecordingMonitor& monitor) {
        expectStopped(ok, monitor, kind);
        absent(b);
        EXPECT_EQ(build.count(b), 0);
      }, kind), 1);
    // The vertex corner lists of a large mesh take another way (distributed to vertex buckets).
    std::vector<const KEXTriangleMeshBuffer*> inputs = {build.create == &KEXTriangleMeshBuffer::createTriangleAngleList ? &valid : &damagedMesh};
    if (vertexLists)
      inputs.push_back(&damagedLarge);
    for (const KEXTriangleMeshBuffer* input : inputs)
      EXPECT_GT(sweepAllocationFaults(*input, create, [&](KEXTriangleMeshBuffer& b, bool ok, const kexTest::RecordingMonitor& monitor) {
        EXPECT_TRUE(!ok && monitor.hasDiagnostic("Out of memory"));
        EXPECT_TRUE(monitor.rootCode() == KEX::OutOfMemory || monitor.rootCode() == KEX::GenericError);
        absent(b);
      }), 1);
  }
}

TEST(TriangleMeshBuffer, AllocationFaultsInGrowthAndRedirect)
{
  KEXTriangleMeshBuffer mesh = makeIcosphere(1);
  tagAttributes(mesh);
  ASSERT_TRUE(mesh.createTriangleAdjacencyList());
  const int V = mesh.getVertexCount(), T = mesh.getTriangleCount();
  for (int which = 0; which < 3; ++which) {
    auto op = [&](KEXTriangleMeshBuffer& b) {
      return which == 0 ? b.setVertexCount(5000)
             : which == 1 ? b.setTriangleCount(9000)
                          : b.redirectVertex(0, 1) && b.redirectVertex(1, 2) && b.redirectVertex(2, 3);
    };
    EXPECT_GT(sweepAllocationFaults(mesh, op, [&](KEXTriangleMeshBuffer& b, bool ok, const kexTest::RecordingMonitor&) {
      EXPECT_FALSE(ok);
      // A failed growth changes no list.
      EXPECT_TRUE(which == 2 || (b.getVertexCount() == V && b.vertexColorList.getCount() == V && b.getTriangleCount() == T &&
                                 b.triangleAngleList.getCount() == T));
      EXPECT_TRUE(vertexAdjacencyMatches(b) && (which != 2 || triangleAdjacencyMatches(b)));
    }), 1);
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
    // Few vertices, so that many edges are shared by three or more triangles.
    const int v0 = 4 + int(rng() % 30), t0 = int(rng() % 90);
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, damaged(v0, t0, (rng() % 3) * 0.04));
    tagAttributes(b);
    ASSERT_TRUE((run % 2 == 0 || b.createVertexAdjacencyList()) && b.createTriangleAdjacencyList()) << run;
    ASSERT_TRUE(vertexAdjacencyMatches(b) && triangleAdjacencyMatches(b)) << run;
    for (int i = 0; i < 20; ++i) {
      Tri t = i < b.getTriangleCount() ? b.triangleList[i] : Tri(int(rng() % 8), int(rng() % 8), int(rng() % 8));
      ASSERT_EQ(b.containsTriangle(t), referenceContainsTriangle(b, t)) << run;
    }
    Model m(b);
    for (int step = 0; step < 40 && run < 150; ++step) {
      const int V = b.getVertexCount(), T = b.getTriangleCount(), op = int(rng() % 7);
      const bool onVertices = op == 1 || op == 3 || op == 5;
      const int count = onVertices ? V : T;
      if (count < (onVertices ? 2 : 1))
        continue;
      const int i = int(rng() % unsigned(count)), j = int(rng() % unsigned(count));
      const int n = T - 1 - j % std::max(1, std::min(T, 5));
      switch (op) {
      case 0: ASSERT_TRUE(b.swapTriangles(i, j)); m.swapTriangles(i, j); break;
      case 1: ASSERT_TRUE(b.swapVertices(i, j)); m.swapVertices(i, j); break;
      case 2: ASSERT_TRUE(b.removeTriangle(i)); m.swapTriangles(i, T - 1); m.cutTriangles(T - 1); break;
      case 3:
        ASSERT_TRUE(b.removeVertex(i));
        m.swapVertices(i, V - 1);
        m.vertices.pop_back();
        m.vertexTags.pop_back();
        break;
      case 4: ASSERT_TRUE(b.flipTriangle(i, j % 3)); m.flip(i, j % 3); break;
      case 5:
        ASSERT_TRUE(b.redirectVertex(i, j));
        m.rename(i, j, false);
        ASSERT_TRUE(i == j || b.vertexAdjacencyList[i].isEmpty());
        break;
      default: ASSERT_TRUE(b.setTriangleCount(n)); m.cutTriangles(n);
      }
      SCOPED_TRACE("run " + std::to_string(run) + " step " + std::to_string(step) + " " + names[op]);
      ASSERT_TRUE(b.isConsistent() && matchesModel(b, m) && vertexAdjacencyMatches(b) && triangleAdjacencyMatches(b));
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
    KEXDerivedListScope scope(b, &KEXTriangleMeshBuffer::hasTriangleAngleList, &KEXTriangleMeshBuffer::createTriangleAngleList,
                              &KEXTriangleMeshBuffer::removeTriangleAngleList, true);
    EXPECT_TRUE(scope.restore() && b.hasTriangleAngleList()); // present and present at start: kept
  }
  EXPECT_TRUE(b.hasTriangleAngleList());
}
