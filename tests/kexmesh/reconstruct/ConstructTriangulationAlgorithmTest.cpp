// Surface reconstruction from oriented clouds. Results are judged by the independent counts of
// MeshQuality (edges, orientation, closed parts and their volume sign) and by distances to the
// surface the cloud was sampled from, never by the library's own checks.
#include "kexmesh/reconstruct/ConstructTriangulationAlgorithm.h"

#include "kex/Thread.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"
#include "support/PointClouds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <vector>

using namespace kexmeshtest;

namespace {

using V3 = KEXVector3<float>;
using D3 = KEXVector3<double>;
using Distance = std::function<double(const D3&)>;
using Configure = std::function<void(KEXConstructTriangulationAlgorithm&)>;
const float NaN = std::numeric_limits<float>::quiet_NaN();

struct Outcome {
  bool ok = false;
  MeshQuality quality;
  double worstDistance = 0.0; ///< largest distance of a triangle's centre from the true surface
  double longestEdge = 0.0, connectionDistance = 0.0;
};

Outcome reconstruct(KEXTriangleMeshBuffer& b, const Distance& distance, const Configure& configure = nullptr)
{
  KEXConstructTriangulationAlgorithm a;
  if (configure)
    configure(a);
  Outcome o;
  {
    kexTest::RecordingScope monitor;
    o.ok = runAlgorithm(b, a);
    EXPECT_TRUE(monitor.misuses().empty() && monitor.progressMonotone());
  }
  EXPECT_TRUE(b.isConsistent());
  o.quality = measure(b);
  o.connectionDistance = a.getConnectionDistance();
  for (const KEXTriangle<int>& t : b.triangleList) {
    D3 c;
    for (int k = 0; k < 3; ++k) {
      c += D3(b.vertexList[t[k]]) / 3.0;
      o.longestEdge = std::max(o.longestEdge, double((b.vertexList[t[(k + 1) % 3]] - b.vertexList[t[k]]).length()));
    }
    if (distance)
      o.worstDistance = std::max(o.worstDistance, distance(c));
  }
  return o;
}

double sphereDistance(const D3& p) { return std::fabs(std::sqrt(p.dot(p)) - 1.0); }

Distance torusDistance(double R, double r)
{
  return [R, r](const D3& p) { return std::fabs(std::hypot(std::hypot(p.x, p.y) - R, p.z) - r); };
}

// One closed, outward, clean surface through `vertices` points (at least, when atLeast).
void expectClosedOutward(const Outcome& o, int vertices, bool atLeast = false)
{
  const MeshQuality& q = o.quality;
  EXPECT_TRUE(o.ok && isCleanSurface(q)) << q.summary();
  EXPECT_TRUE(q.borderEdges == 0 && q.components == 1 && q.closedComponents == 1 && q.inwardComponents == 0) << q.summary();
  EXPECT_TRUE(atLeast ? q.usedVertices >= vertices : q.usedVertices == vertices) << q.usedVertices << " of " << vertices;
}

Configure transient = [](KEXConstructTriangulationAlgorithm& a) { a.setTransientFlag(true); };

} // namespace

// Dense uniform samples of closed surfaces (random order, some with noisy normals) give one closed,
// outward, manifold surface through every point, near the true surface, with short edges.
TEST(ConstructTriangulation, ClosedSurfacesFromRandomSamples)
{
  struct Case {
    int count;
    double noiseDegrees;
    bool torus;
  };
  std::mt19937 rng(11);
  for (const Case& c : {Case{300, 0.0, false}, Case{3000, 0.0, false}, Case{12000, 10.0, false}, Case{6000, 0.0, true},
                        Case{20000, 5.0, true}}) {
    SCOPED_TRACE(::testing::Message() << (c.torus ? "torus " : "sphere ") << c.count);
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
    // Triangles hug the surface, Euler's formula fixes the count of a genus-0 / genus-1 surface.
    EXPECT_LT(o.worstDistance, 0.25 * o.longestEdge);
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
  const Outcome o = reconstruct(b, [&](const D3& p) { return surface.within(p, 0.2); });
  expectClosedOutward(o, source.getVertexCount());
  EXPECT_LT(o.worstDistance, 0.05);
}

// A flat disc of points gives a flat open disc facing along the normals, covering the disc's area
// (the border is a polygon through the outer points).
TEST(ConstructTriangulation, FlatDiscGivesOpenDisc)
{
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<V3> points;
  while (points.size() < 4000)
    if (const V3 p(u(rng), u(rng), 0.0f); p.squaredLength() <= 1.0f)
      points.push_back(p);
  KEXTriangleMeshBuffer b = cloudOf(points);
  const Outcome o = reconstruct(b, [](const D3& p) { return std::fabs(p.z); });
  EXPECT_TRUE(o.ok && isCleanSurface(o.quality) && o.quality.components == 1 && o.quality.borderEdges > 0) << o.quality.summary();
  EXPECT_EQ(o.worstDistance, 0.0);
  for (const KEXTriangle<int>& t : b.triangleList)
    EXPECT_GT((b.vertexList[t[1]] - b.vertexList[t[0]]).cross(b.vertexList[t[2]] - b.vertexList[t[0]]).z, 0.0f);
  EXPECT_NEAR(o.quality.area, 3.14159, 0.15);
}

// The estimate of the connection distance: twice the diagonal up to 500 points, diagonal / (sqrt(V)/2)
// from 5000 on, linear in between; and the dot-product limit of the rounds.
TEST(ConstructTriangulation, DistanceEstimateAndRoundLimits)
{
  using A = KEXConstructTriangulationAlgorithm;
  EXPECT_TRUE(A::estimateDistance(3.0, 400) == 6.0 && A::estimateDistance(3.0, 499) == 6.0 && A::estimateDistance(3.0, 500) == 6.0);
  EXPECT_DOUBLE_EQ(A::estimateDistance(3.0, 10000), 3.0 / 50.0);
  EXPECT_NEAR(A::estimateDistance(3.0, 2750), 0.5 * (2.0 * 3.0 + 3.0 / (std::sqrt(2750.0) * 0.5)), 1e-12);
  const double c160 = std::cos(160.0 * M_PI / 180.0);
  EXPECT_DOUBLE_EQ(A::roundLimit(0.5, 1), 0.5);
  EXPECT_NEAR(A::roundLimit(0.5, 3), 0.5 * 0.5 + 0.5 * c160, 1e-12);
  for (int r : {5, 6, 20})
    EXPECT_NEAR(A::roundLimit(0.5, r), c160, 1e-12);
  // Through a run: 400 points on a sphere use twice their diagonal.
  std::mt19937 rng(3);
  KEXTriangleMeshBuffer b = makeSphereCloud(rng, 400, 0.0);
  KEXInterval<V3> box;
  ASSERT_TRUE(b.calculateBoundingBox(box));
  EXPECT_NEAR(reconstruct(b, sphereDistance).connectionDistance, 2.0 * box.getDiameter(), 1e-6);
  // A given distance is used as it is, also zero (which connects nothing).
  KEXTriangleMeshBuffer z = makeSphereCloud(rng, 400, 0.0), given = makeSphereCloud(rng, 3000, 0.0);
  const Outcome zero = reconstruct(z, nullptr, [](A& a) { a.setMaximumDistance(0.0f); });
  EXPECT_TRUE(zero.ok && zero.connectionDistance == 0.0 && zero.quality.triangles == 0);
  const Outcome g = reconstruct(given, sphereDistance, [](A& a) { a.setMaximumDistance(0.2f); });
  EXPECT_FLOAT_EQ(float(g.connectionDistance), 0.2f);
  expectClosedOutward(g, 3000);
}

// Refused input: no normals, too few, a zero or NaN normal. The triangle list ends empty.
TEST(ConstructTriangulation, RefusesCloudsWithoutUsableNormals)
{
  std::mt19937 rng(2);
  for (const SpoiledNormals& c : spoiledNormals) {
    SCOPED_TRACE(c.name);
    KEXTriangleMeshBuffer b = makeSphereCloud(rng, 200, 0.0);
    b.triangleList.append(KEXTriangle<int>(0, 1, 2));
    c.spoil(b);
    kexTest::RecordingScope monitor;
    EXPECT_FALSE(runAlgorithm<KEXConstructTriangulationAlgorithm>(b));
    EXPECT_TRUE(monitor.rootCode() == KEX::InvalidValue && monitor.hasDiagnostic(c.message));
    EXPECT_TRUE(b.getTriangleCount() == 0 && b.getVertexCount() == 200);
  }
}

// Degenerate clouds end cleanly: empty, one point, two points, all coincident, near duplicates;
// points without a position stay in the buffer, untouched and unconnected.
TEST(ConstructTriangulation, DegenerateCloudsEndCleanly)
{
  const std::pair<std::vector<V3>, int> cases[] = {{{}, 0},
                                                   {{V3(1, 2, 3)}, 1},
                                                   {{V3(0, 0, 0), V3(1, 0, 0)}, 2},
                                                   {std::vector<V3>(50, V3(1, 1, 1)), 1},
                                                   {{V3(0, 0, 0), V3(5e-8f, 0, 0), V3(1, 0, 0), V3(0, 1, 0)}, 3}};
  for (const auto& [points, vertices] : cases) {
    SCOPED_TRACE(points.size());
    KEXTriangleMeshBuffer b = cloudOf(points);
    const Outcome o = reconstruct(b, nullptr);
    EXPECT_TRUE(o.ok && b.getVertexCount() == vertices && isCleanSurface(o.quality));
  }
  // NaN positions among a sphere's points: the sphere still closes around the others.
  std::mt19937 rng(9);
  KEXTriangleMeshBuffer b = makeSphereCloud(rng, 3000, 0.0);
  for (int i : {3, 500, 2999})
    b.vertexList[i] = V3(NaN, 0.0f, 1.0f);
  const KEXTriangleMeshBuffer input(b);
  const Outcome o = reconstruct(b, sphereDistance);
  EXPECT_TRUE(o.ok && isCleanSurface(o.quality) && o.quality.borderEdges == 0 && o.quality.usedVertices == 3000 - 3);
  ASSERT_EQ(b.getVertexCount(), 3000);
  EXPECT_EQ(std::memcmp(&b.vertexList[0], &input.vertexList[0], 3000 * sizeof(V3)), 0);
}

// Edge flags given by the caller with one entry per point are used as they are; others are computed
// for every point (a point without a position is a border point).
TEST(ConstructTriangulation, EdgeFlagsGivenOrComputed)
{
  std::mt19937 rng(4);
  KEXTriangleMeshBuffer given = makeJitteredPlaneCloud(rng, 40, 40, 0.05f, 0.2f), wrong(given);
  given.vertexEdgeFlagList.setCount(given.getVertexCount(), char(0));
  given.vertexEdgeFlagList[5] = char(255);
  ASSERT_TRUE(runAlgorithm<KEXConstructTriangulationAlgorithm>(given));
  for (int i = 0; i < given.getVertexCount(); ++i)
    EXPECT_EQ(given.vertexEdgeFlagList[i], i == 5 ? char(255) : char(0));
  wrong.vertexList[9].z = NaN;
  wrong.vertexEdgeFlagList.setCount(10, char(7)); // another length: recomputed
  ASSERT_TRUE(runAlgorithm<KEXConstructTriangulationAlgorithm>(wrong));
  ASSERT_EQ(wrong.vertexEdgeFlagList.getCount(), wrong.getVertexCount());
  for (int i = 0; i < wrong.getVertexCount(); ++i)
    EXPECT_EQ(static_cast<unsigned char>(wrong.vertexEdgeFlagList[i]), i == 9 ? 255 : 0) << i;
  const MeshQuality q = measure(wrong);
  EXPECT_TRUE(isCleanSurface(q) && q.components == 1 && q.usedVertices == wrong.getVertexCount() - 1) << q.summary();
}

// Existing triangles stay and the surface grows from them; those with a neighbour on every edge
// have no tension and are never displaced.
TEST(ConstructTriangulation, GrowsFromExistingTriangles)
{
  KEXTriangleMeshBuffer sphere = makeIcosphere(4);
  ASSERT_TRUE(sphere.calculateVertexNormals());
  std::vector<bool> remove(size_t(sphere.getTriangleCount()), false);
  for (int t = 0; t < sphere.getTriangleCount(); ++t) // keep one cap of triangles
    remove[size_t(t)] = sphere.vertexList[sphere.triangleList[t][0]].z < 0.5f;
  KEXTriangleMeshBuffer b = withoutTriangles(sphere, remove), probe;
  b.vertexNormalList = sphere.vertexNormalList;
  probe = b;
  ASSERT_TRUE(probe.createTriangleAdjacencyList());
  std::vector<KEXTriangle<int>> kept;
  for (int t = 0; t < probe.getTriangleCount(); ++t)
    if (const auto& n = probe.triangleAdjacencyList[t]; n[0] >= 0 && n[1] >= 0 && n[2] >= 0)
      kept.push_back(probe.triangleList[t]);
  ASSERT_GT(kept.size(), 10u);
  const Outcome o = reconstruct(b, sphereDistance);
  expectClosedOutward(o, sphere.getVertexCount());
  EXPECT_EQ(o.quality.triangles, sphere.getTriangleCount());
  ASSERT_TRUE(b.createVertexAdjacencyList());
  for (const KEXTriangle<int>& t : kept)
    EXPECT_TRUE(b.containsTriangle(t));
}

// Inner holes labelled in the edge flags stay open; the transient vertices and triangles are gone,
// also after a stop; a hole of one point cannot be covered and fails the run.
TEST(ConstructTriangulation, LabelledInnerHolesStayOpen)
{
  std::mt19937 rng(8);
  const KEXTriangleMeshBuffer sphere = makeSphereCloud(rng, 8000, 0.0);
  // Cut two caps out of the sphere and label the points of a thin ring around each as holes 1, 2.
  KEXTriangleMeshBuffer cut;
  for (int i = 0; i < sphere.getVertexCount(); ++i)
    if (const V3 p = sphere.vertexList[i]; std::fabs(p.z) <= 0.9f) {
      cut.vertexList.append(p);
      cut.vertexNormalList.append(sphere.vertexNormalList[i]);
      cut.vertexEdgeFlagList.append(p.z > 0.87f ? char(1) : p.z < -0.87f ? char(2) : char(0));
    }
  const int V = cut.getVertexCount();
  KEXTriangleMeshBuffer stopped(cut), single(cut);
  const Outcome o = reconstruct(cut, sphereDistance, transient);
  // The rim rows of a hole share its label and are not joined among themselves: a stray triangle
  // may be left beside a rim, nothing more. Both holes open, nothing spans one.
  EXPECT_TRUE(o.ok && cut.getVertexCount() == V && isCleanSurface(o.quality)) << o.quality.summary();
  EXPECT_TRUE(o.quality.components <= 3 && o.quality.borderEdges > 0) << o.quality.summary();
  for (const KEXTriangle<int>& t : cut.triangleList)
    EXPECT_LT(std::fabs(cut.vertexList[t[0]].z + cut.vertexList[t[1]].z + cut.vertexList[t[2]].z) / 3.0f, 0.9f);
  {
    kexTest::RecordingScope monitor;
    monitor.stopWhenEnded("Generating triangulation");
    KEXConstructTriangulationAlgorithm a;
    transient(a);
    EXPECT_TRUE(runAlgorithm(stopped, a));
    EXPECT_EQ(stopped.getVertexCount(), V);
    for (const KEXTriangle<int>& t : stopped.triangleList)
      EXPECT_TRUE(t[0] < V && t[1] < V && t[2] < V);
  }
  // The centre vertex already added for the ring labelled 1 is gone again.
  single.vertexEdgeFlagList[17] = char(5);
  kexTest::RecordingScope monitor;
  KEXConstructTriangulationAlgorithm a;
  transient(a);
  EXPECT_FALSE(runAlgorithm(single, a));
  EXPECT_TRUE(monitor.hasDiagnostic("Could not triangulate inner hole"));
  EXPECT_TRUE(single.getTriangleCount() == 0 && single.getVertexCount() == V);
}

// A stop after the first round keeps that round's triangles, skips the final repair and leaves a
// consistent manifold patch; the progress task of the search names the counts.
TEST(ConstructTriangulation, StopAfterARoundKeepsItsTriangles)
{
  std::mt19937 rng(6);
  KEXTriangleMeshBuffer b = makeSphereCloud(rng, 5000, 0.0);
  kexTest::RecordingScope monitor;
  monitor.stopWhenEnded("Generating triangulation");
  KEXConstructTriangulationAlgorithm a;
  EXPECT_TRUE(runAlgorithm(b, a));
  EXPECT_TRUE(monitor.rootStatus() == KEXTaskInfo::Stopped && a.getRoundCount() == 1 && b.getTriangleCount() > 1000);
  const MeshQuality q = measure(b);
  EXPECT_TRUE(q.nonManifoldEdges == 0 && q.inconsistentEdges == 0) << q.summary();
  const std::vector<std::string> begun = monitor.begunMessages();
  EXPECT_TRUE(std::any_of(begun.begin(), begun.end(), [](const std::string& m) { return m.rfind("Connecting vertices (", 0) == 0; }));
}

// The cells are found on the worker threads: the triangles are the same for any thread count.
TEST(ConstructTriangulation, SameTrianglesForAnyThreadCount)
{
  std::mt19937 rng(13);
  const KEXTriangleMeshBuffer input = makeTorusCloud(rng, 20000, 2.0, 0.5);
  const int previous = KEXMultiThread::getDefaultNumberOfThreads();
  std::vector<KEXTriangle<int>> first;
  for (int threads : {1, 2, 7}) {
    KEXMultiThread::setDefaultNumberOfThreads(threads);
    KEXTriangleMeshBuffer b(input);
    ASSERT_TRUE(runAlgorithm<KEXConstructTriangulationAlgorithm>(b));
    const std::vector<KEXTriangle<int>> now(b.triangleList.begin(), b.triangleList.end());
    if (first.empty())
      first = now;
    EXPECT_TRUE(now == first) << threads << " threads";
  }
  KEXMultiThread::setDefaultNumberOfThreads(previous);
  EXPECT_GT(first.size(), 39000u);
}
