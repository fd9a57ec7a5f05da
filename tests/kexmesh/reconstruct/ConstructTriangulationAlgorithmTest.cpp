// Surface reconstruction from oriented clouds. Results are judged by the independent counts of
// MeshQuality (edges, orientation, closed parts and their volume sign) and by distances to the
// surface the cloud was sampled from, never by the library's own checks.
#include "kexmesh/reconstruct/ConstructTriangulationAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"
#include "support/PointClouds.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "kex/Thread.h"

using namespace kexmeshtest;

namespace {

using V3 = KEXVector3<float>;

struct Outcome {
  bool ok = false;
  MeshQuality quality;
  double worstDistance = 0.0; ///< largest distance of a triangle's centre from the true surface
  double longestEdge = 0.0;
  double connectionDistance = 0.0;
  int rounds = 0;
};

Outcome reconstruct(KEXTriangleMeshBuffer& b, const std::function<double(const KEXVector3<double>&)>& distance,
                    const std::function<void(KEXConstructTriangulationAlgorithm&)>& configure = nullptr)
{
  KEXConstructTriangulationAlgorithm a;
  if (configure)
    configure(a);
  Outcome o;
  {
    kexTest::RecordingScope monitor;
    o.ok = runAlgorithm(b, a);
    EXPECT_TRUE(monitor.misuses().empty());
    EXPECT_TRUE(monitor.progressMonotone());
  }
  EXPECT_TRUE(b.isConsistent());
  o.quality = measure(b);
  o.connectionDistance = a.getConnectionDistance();
  o.rounds = a.getRoundCount();
  for (const KEXTriangle<int>& t : b.triangleList) {
    KEXVector3<double> c;
    for (int k = 0; k < 3; ++k) {
      const V3& p = b.vertexList[t[k]];
      const V3& q = b.vertexList[t[(k + 1) % 3]];
      c += KEXVector3<double>(p) / 3.0;
      o.longestEdge = std::max(o.longestEdge, double((q - p).length()));
    }
    if (distance)
      o.worstDistance = std::max(o.worstDistance, distance(c));
  }
  return o;
}

double sphereDistance(const KEXVector3<double>& p) { return std::fabs(std::sqrt(p.dot(p)) - 1.0); }

std::function<double(const KEXVector3<double>&)> torusDistance(double R, double r)
{
  return [R, r](const KEXVector3<double>& p) {
    const double q = std::hypot(p.x, p.y) - R;
    return std::fabs(std::hypot(q, p.z) - r);
  };
}

// vertices: how many points the surface must use (at least, when atLeast).
void expectClosedOutward(const Outcome& o, int vertices, bool atLeast = false)
{
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(o.quality.nonManifoldEdges, 0);
  EXPECT_EQ(o.quality.inconsistentEdges, 0);
  EXPECT_EQ(o.quality.duplicateTriangles, 0);
  EXPECT_EQ(o.quality.borderEdges, 0);
  EXPECT_EQ(o.quality.components, 1);
  EXPECT_EQ(o.quality.closedComponents, 1);
  EXPECT_EQ(o.quality.inwardComponents, 0);
  if (atLeast) {
    EXPECT_GE(o.quality.usedVertices, vertices);
  } else {
    EXPECT_EQ(o.quality.usedVertices, vertices);
  }
}

} // namespace

// Dense uniform samples of closed surfaces (random order, some with noisy normals) give one closed,
// outward, manifold surface through every point, near the true surface, with short edges.
TEST(ConstructTriangulation, ClosedSurfacesFromRandomSamples)
{
  struct Case {
    const char* name;
    int count;
    double noiseDegrees;
    bool torus;
  };
  const Case cases[] = {{"sphere 300", 300, 0.0, false},   {"sphere 3000", 3000, 0.0, false},
                        {"sphere 12000", 12000, 10.0, false}, {"torus 6000", 6000, 0.0, true},
                        {"torus 20000", 20000, 5.0, true}};
  std::mt19937 rng(11);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KEXTriangleMeshBuffer b = c.torus ? makeTorusCloud(rng, c.count, 2.0, 0.6) : makeSphereCloud(rng, c.count, c.noiseDegrees);
    if (c.torus && c.noiseDegrees > 0) // noisy normals for the torus too
      for (V3& n : b.vertexNormalList)
        n = V3(n.x + 0.05f * std::sin(13.0f * n.y), n.y, n.z + 0.05f * std::cos(7.0f * n.x));
    const KEXTriangleMeshBuffer input(b);
    const Outcome o = reconstruct(b, c.torus ? torusDistance(2.0, 0.6) : sphereDistance);
    // The points come back in the caller's order with their own normals (scaled to unit length).
    ASSERT_EQ(b.getVertexCount(), input.getVertexCount());
    for (int i = 0; i < b.getVertexCount(); ++i) {
      ASSERT_EQ(b.vertexList[i], input.vertexList[i]) << i;
      ASSERT_NEAR((b.vertexNormalList[i] - input.vertexNormalList[i]).length() * (c.torus ? 0.0f : 1.0f), 0.0f, 1e-6f);
    }
    // Noisy normals may leave a point or two out; exact ones none.
    expectClosedOutward(o, c.noiseDegrees > 0 ? c.count - c.count / 1000 : c.count, c.noiseDegrees > 0);
    // Triangles hug the surface: their centres lie within a fraction of an edge of it.
    EXPECT_LT(o.worstDistance, 0.25 * o.longestEdge);
    // A closed genus-0 / genus-1 surface: Euler's formula fixes the count.
    EXPECT_EQ(o.quality.triangles, 2 * o.quality.usedVertices + (c.torus ? 0 : -4));
    EXPECT_LE(o.longestEdge, 3.0 * o.connectionDistance);
  }
}

// A real mesh's own vertices with its normals come back as a surface close to the mesh.
TEST(ConstructTriangulation, MeshVerticesComeBackNearTheMesh)
{
  const KEXTriangleMeshBuffer source = makeTorus(80, 40, 2.0f, 0.7f);
  KEXTriangleMeshBuffer b = cloudOfMesh(source);
  SurfaceDistance surface(source);
  const Outcome o = reconstruct(b, [&](const KEXVector3<double>& p) { return surface.within(p, 0.2); });
  expectClosedOutward(o, source.getVertexCount());
  EXPECT_LT(o.worstDistance, 0.05);
}

// A flat disc of points gives a flat open disc: one border loop, no fold, no triangle off the plane.
TEST(ConstructTriangulation, FlatDiscGivesOpenDisc)
{
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  KEXTriangleMeshBuffer b;
  while (b.getVertexCount() < 4000) {
    const float x = u(rng), y = u(rng);
    if (x * x + y * y > 1.0f)
      continue;
    b.vertexList.append(V3(x, y, 0.0f));
    b.vertexNormalList.append(V3(0.0f, 0.0f, 1.0f));
  }
  const Outcome o = reconstruct(b, [](const KEXVector3<double>& p) { return std::fabs(p.z); });
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(o.quality.nonManifoldEdges, 0);
  EXPECT_EQ(o.quality.inconsistentEdges, 0);
  EXPECT_EQ(o.quality.components, 1);
  EXPECT_GT(o.quality.borderEdges, 0);
  EXPECT_EQ(o.worstDistance, 0.0);
  // Every triangle faces along the points' normals.
  for (const KEXTriangle<int>& t : b.triangleList) {
    const V3 e1 = b.vertexList[t[1]] - b.vertexList[t[0]], e2 = b.vertexList[t[2]] - b.vertexList[t[0]];
    EXPECT_GT(e1.cross(e2).z, 0.0f);
  }
  // The disc is covered: its area is close to pi (the border is a polygon through the outer points).
  EXPECT_NEAR(o.quality.area, 3.14159, 0.15);
}

// The estimate of the connection distance: twice the diagonal up to 500 points, diagonal / (sqrt(V)/2)
// from 5000 on, linear in between; and the dot-product limit of the rounds.
TEST(ConstructTriangulation, DistanceEstimateAndRoundLimits)
{
  using A = KEXConstructTriangulationAlgorithm;
  EXPECT_DOUBLE_EQ(A::estimateDistance(3.0, 400), 6.0);
  EXPECT_DOUBLE_EQ(A::estimateDistance(3.0, 500), 6.0);
  EXPECT_DOUBLE_EQ(A::estimateDistance(3.0, 10000), 3.0 / 50.0);
  const double half = 0.5 * (2.0 * 3.0 + 3.0 / (std::sqrt(2750.0) * 0.5)); // between 2D and D/(sqrt(V)/2)
  EXPECT_NEAR(A::estimateDistance(3.0, 2750), half, 1e-12);
  EXPECT_DOUBLE_EQ(A::roundLimit(0.5, 1), 0.5);
  EXPECT_NEAR(A::roundLimit(0.5, 3), 0.5 * 0.5 + 0.5 * std::cos(160.0 * M_PI / 180.0), 1e-12);
  for (int r : {5, 6, 20})
    EXPECT_NEAR(A::roundLimit(0.5, r), std::cos(160.0 * M_PI / 180.0), 1e-12);

  // Through a run: 400 points on a sphere (diagonal 2 sqrt 3 at most) use twice their diagonal.
  std::mt19937 rng(3);
  KEXTriangleMeshBuffer b = makeSphereCloud(rng, 400, 0.0);
  KEXInterval<V3> box;
  ASSERT_TRUE(b.calculateBoundingBox(box));
  const Outcome o = reconstruct(b, sphereDistance);
  EXPECT_NEAR(o.connectionDistance, 2.0 * box.getDiameter(), 1e-6);
  // A given distance is used as it is, also zero (which connects nothing).
  KEXTriangleMeshBuffer z = makeSphereCloud(rng, 400, 0.0);
  const Outcome zero = reconstruct(z, nullptr, [](KEXConstructTriangulationAlgorithm& a) { a.setMaximumDistance(0.0f); });
  EXPECT_TRUE(zero.ok);
  EXPECT_EQ(zero.connectionDistance, 0.0);
  EXPECT_EQ(zero.quality.triangles, 0);
  KEXTriangleMeshBuffer given = makeSphereCloud(rng, 3000, 0.0);
  const Outcome g = reconstruct(given, sphereDistance, [](KEXConstructTriangulationAlgorithm& a) { a.setMaximumDistance(0.2f); });
  EXPECT_FLOAT_EQ(float(g.connectionDistance), 0.2f);
  expectClosedOutward(g, 3000);
}

// Refused input: no normals, too few, a zero or NaN normal. The triangle list ends empty.
TEST(ConstructTriangulation, RefusesCloudsWithoutUsableNormals)
{
  std::mt19937 rng(2);
  struct Case {
    const char* name;
    std::function<void(KEXTriangleMeshBuffer&)> spoil;
    const char* message;
  };
  const Case cases[] = {
      {"no normals", [](KEXTriangleMeshBuffer& b) { b.vertexNormalList.clear(); },
       "Triangle mesh reconstruction requires a vertex normal list"},
      {"too few", [](KEXTriangleMeshBuffer& b) { b.vertexNormalList.setCount(b.getVertexCount() - 1); },
       "Triangle mesh reconstruction requires a vertex normal list"},
      {"zero normal", [](KEXTriangleMeshBuffer& b) { b.vertexNormalList[7] = V3(0, 0, 0); }, "Invalid vertex normal found"},
      {"NaN normal", [](KEXTriangleMeshBuffer& b) { b.vertexNormalList[9].y = std::numeric_limits<float>::quiet_NaN(); },
       "Invalid vertex normal found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KEXTriangleMeshBuffer b = makeSphereCloud(rng, 200, 0.0);
    b.triangleList.append(KEXTriangle<int>(0, 1, 2));
    c.spoil(b);
    kexTest::RecordingScope monitor;
    EXPECT_FALSE(runAlgorithm<KEXConstructTriangulationAlgorithm>(b));
    EXPECT_EQ(monitor.rootCode(), KEX::InvalidValue);
    EXPECT_TRUE(monitor.hasDiagnostic(c.message));
    EXPECT_EQ(b.getTriangleCount(), 0);
    EXPECT_EQ(b.getVertexCount(), 200);
  }
}

// Degenerate clouds end cleanly: empty, one point, two points, all coincident, points without a
// position (they stay in the buffer, untouched and unconnected).
TEST(ConstructTriangulation, DegenerateCloudsEndCleanly)
{
  std::mt19937 rng(9);
  auto cloud = [](std::vector<V3> points) {
    KEXTriangleMeshBuffer b;
    for (const V3& p : points) {
      b.vertexList.append(p);
      b.vertexNormalList.append(V3(0, 0, 1));
    }
    return b;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    KEXTriangleMeshBuffer b;
    int vertices;
  };
  Case cases[] = {{"empty", cloud({}), 0},
                  {"one", cloud({V3(1, 2, 3)}), 1},
                  {"two", cloud({V3(0, 0, 0), V3(1, 0, 0)}), 2},
                  {"coincident", cloud(std::vector<V3>(50, V3(1, 1, 1))), 1},
                  {"near-duplicates", cloud({V3(0, 0, 0), V3(5e-8f, 0, 0), V3(1, 0, 0), V3(0, 1, 0)}), 3}};
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome o = reconstruct(c.b, nullptr);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(c.b.getVertexCount(), c.vertices);
    EXPECT_EQ(o.quality.nonManifoldEdges, 0);
  }
  // NaN positions among a sphere's points: the sphere still closes around the others.
  KEXTriangleMeshBuffer b = makeSphereCloud(rng, 3000, 0.0);
  for (int i : {3, 500, 2999})
    b.vertexList[i] = V3(nan, 0.0f, 1.0f);
  const KEXTriangleMeshBuffer input(b);
  const Outcome o = reconstruct(b, sphereDistance);
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(o.quality.nonManifoldEdges, 0);
  EXPECT_EQ(o.quality.borderEdges, 0);
  EXPECT_EQ(o.quality.usedVertices, 3000 - 3);
  // They stay where they were, untouched, like every other point.
  ASSERT_EQ(b.getVertexCount(), 3000);
  for (int i = 0; i < 3000; ++i)
    EXPECT_EQ(std::memcmp(&b.vertexList[i], &input.vertexList[i], sizeof(V3)), 0) << i;
}

// Edge flags given by the caller with one entry per point are used as they are; others are computed
// for every point (a point without a position is a border point).
TEST(ConstructTriangulation, EdgeFlagsGivenOrComputed)
{
  std::mt19937 rng(4);
  KEXTriangleMeshBuffer patch = makeJitteredPlaneCloud(rng, 40, 40, 0.05f, 0.2f);
  KEXTriangleMeshBuffer given(patch);
  given.vertexEdgeFlagList.setCount(given.getVertexCount(), char(0));
  given.vertexEdgeFlagList[5] = char(255);
  ASSERT_TRUE(runAlgorithm<KEXConstructTriangulationAlgorithm>(given));
  for (int i = 0; i < given.getVertexCount(); ++i)
    EXPECT_EQ(given.vertexEdgeFlagList[i], i == 5 ? char(255) : char(0));

  KEXTriangleMeshBuffer wrong(patch);
  wrong.vertexList[9].z = std::numeric_limits<float>::quiet_NaN();
  wrong.vertexEdgeFlagList.setCount(10, char(7)); // another length: recomputed
  ASSERT_TRUE(runAlgorithm<KEXConstructTriangulationAlgorithm>(wrong));
  ASSERT_EQ(wrong.vertexEdgeFlagList.getCount(), wrong.getVertexCount());
  for (int i = 0; i < wrong.getVertexCount(); ++i) {
    const unsigned char f = static_cast<unsigned char>(wrong.vertexEdgeFlagList[i]);
    EXPECT_EQ(f, std::isnan(wrong.vertexList[i].z) ? 255 : 0) << i;
  }
  const MeshQuality q = measure(wrong);
  EXPECT_EQ(q.nonManifoldEdges, 0);
  EXPECT_EQ(q.inconsistentEdges, 0);
  EXPECT_EQ(q.components, 1);
  EXPECT_EQ(q.usedVertices, wrong.getVertexCount() - 1);
}

// Existing triangles stay and the surface grows from them.
TEST(ConstructTriangulation, GrowsFromExistingTriangles)
{
  KEXTriangleMeshBuffer sphere = makeIcosphere(4);
  ASSERT_TRUE(sphere.calculateVertexNormals());
  std::vector<bool> remove(size_t(sphere.getTriangleCount()), false);
  for (int t = 0; t < sphere.getTriangleCount(); ++t) // keep one cap of triangles
    remove[size_t(t)] = sphere.vertexList[sphere.triangleList[t][0]].z < 0.5f;
  KEXTriangleMeshBuffer b = withoutTriangles(sphere, remove);
  b.vertexNormalList = sphere.vertexNormalList;
  // Triangles with a neighbour on every edge have no tension and are never displaced.
  std::vector<KEXTriangle<int>> kept;
  {
    KEXTriangleMeshBuffer probe(b);
    ASSERT_TRUE(probe.createTriangleAdjacencyList());
    for (int t = 0; t < probe.getTriangleCount(); ++t)
      if (probe.triangleAdjacencyList[t][0] >= 0 && probe.triangleAdjacencyList[t][1] >= 0 &&
          probe.triangleAdjacencyList[t][2] >= 0)
        kept.push_back(probe.triangleList[t]);
  }
  ASSERT_GT(kept.size(), 10u);
  const Outcome o = reconstruct(b, sphereDistance);
  expectClosedOutward(o, sphere.getVertexCount());
  EXPECT_EQ(o.quality.triangles, sphere.getTriangleCount());
  ASSERT_TRUE(b.createVertexAdjacencyList());
  for (const KEXTriangle<int>& t : kept)
    EXPECT_TRUE(b.containsTriangle(t));
}

// Inner holes labelled in the edge flags stay open; the transient vertices and triangles are gone.
TEST(ConstructTriangulation, LabelledInnerHolesStayOpen)
{
  std::mt19937 rng(8);
  KEXTriangleMeshBuffer b = makeSphereCloud(rng, 8000, 0.0);
  // Cut two caps out of the sphere and label the points of a thin ring around each as holes 1, 2.
  KEXTriangleMeshBuffer cut;
  for (int i = 0; i < b.getVertexCount(); ++i) {
    const V3 p = b.vertexList[i];
    if (std::fabs(p.z) > 0.9f)
      continue;
    cut.vertexList.append(p);
    cut.vertexNormalList.append(b.vertexNormalList[i]);
    cut.vertexEdgeFlagList.append(p.z > 0.87f ? char(1) : p.z < -0.87f ? char(2) : char(0));
  }
  const int V = cut.getVertexCount();
  const KEXTriangleMeshBuffer cutInput(cut);
  const Outcome o = reconstruct(cut, sphereDistance, [](KEXConstructTriangulationAlgorithm& a) { a.setTransientFlag(true); });
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(cut.getVertexCount(), V); // no centre vertex left
  EXPECT_EQ(o.quality.nonManifoldEdges, 0);
  EXPECT_EQ(o.quality.inconsistentEdges, 0);
  // The rim rows of a hole share its label and are not joined among themselves: a stray triangle
  // may be left beside a rim, nothing more.
  EXPECT_LE(o.quality.components, 3);
  EXPECT_GT(o.quality.borderEdges, 0); // both holes open
  for (const KEXTriangle<int>& t : cut.triangleList) { // nothing spans a hole
    const float z = (cut.vertexList[t[0]].z + cut.vertexList[t[1]].z + cut.vertexList[t[2]].z) / 3.0f;
    EXPECT_LT(std::fabs(z), 0.9f);
  }
  // A stop after the first round still takes the covers out again.
  {
    KEXTriangleMeshBuffer stopped(cutInput);
    kexTest::RecordingScope monitor;
    monitor.stopWhenEnded("Generating triangulation");
    KEXConstructTriangulationAlgorithm a;
    a.setTransientFlag(true);
    EXPECT_TRUE(runAlgorithm(stopped, a));
    EXPECT_EQ(stopped.getVertexCount(), V);
    for (const KEXTriangle<int>& t : stopped.triangleList)
      for (int k = 0; k < 3; ++k)
        EXPECT_LT(t[k], V);
  }
  // A hole of one point cannot be covered: the run fails with its own message, and the centre
  // vertex already added for the ring labelled 1 is gone again.
  KEXTriangleMeshBuffer single(cutInput);
  single.vertexEdgeFlagList[17] = char(5);
  kexTest::RecordingScope monitor;
  KEXConstructTriangulationAlgorithm a;
  a.setTransientFlag(true);
  EXPECT_FALSE(runAlgorithm(single, a));
  EXPECT_TRUE(monitor.hasDiagnostic("Could not triangulate inner hole"));
  EXPECT_EQ(single.getTriangleCount(), 0);
  EXPECT_EQ(single.getVertexCount(), V);
}

// A stop after the first round keeps that round's triangles, skips the final repair and leaves a
// consistent manifold patch; the progress task of the search names the counts.
TEST(ConstructTriangulation, StopAfterARoundKeepsItsTriangles)
{
  std::mt19937 rng(6);
  const KEXTriangleMeshBuffer input = makeSphereCloud(rng, 5000, 0.0);
  KEXTriangleMeshBuffer b(input);
  kexTest::RecordingScope monitor;
  monitor.stopWhenEnded("Generating triangulation");
  KEXConstructTriangulationAlgorithm a;
  EXPECT_TRUE(runAlgorithm(b, a));
  EXPECT_EQ(monitor.rootStatus(), KEXTaskInfo::Stopped);
  EXPECT_EQ(a.getRoundCount(), 1);
  EXPECT_GT(b.getTriangleCount(), 1000);
  const MeshQuality q = measure(b);
  EXPECT_EQ(q.nonManifoldEdges, 0);
  EXPECT_EQ(q.inconsistentEdges, 0);
  bool named = false;
  for (const std::string& m : monitor.begunMessages())
    named = named || m.rfind("Connecting vertices (", 0) == 0;
  EXPECT_TRUE(named);
}

// The cells are found on the worker threads: the triangles are the same for any thread count.
TEST(ConstructTriangulation, SameTrianglesForAnyThreadCount)
{
  std::mt19937 rng(13);
  const KEXTriangleMeshBuffer input = makeTorusCloud(rng, 20000, 2.0, 0.5);
  const int previous = KEXMultiThread::getDefaultNumberOfThreads();
  std::vector<KEXTriangle<int>> first;
  for (int threads : {1, 2, 7}) {
    SCOPED_TRACE(threads);
    KEXMultiThread::setDefaultNumberOfThreads(threads);
    KEXTriangleMeshBuffer b(input);
    ASSERT_TRUE(runAlgorithm<KEXConstructTriangulationAlgorithm>(b));
    const std::vector<KEXTriangle<int>> now(b.triangleList.begin(), b.triangleList.end());
    if (first.empty())
      first = now;
    EXPECT_TRUE(now == first);
  }
  KEXMultiThread::setDefaultNumberOfThreads(previous);
  EXPECT_GT(first.size(), 39000u);
}
