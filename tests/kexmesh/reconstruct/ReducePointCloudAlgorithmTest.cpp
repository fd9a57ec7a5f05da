// Point cloud reduction: the rule against a brute-force sequential reference, the geometric
// properties a reduction must have (nothing added or moved, borders and creases kept, no kept
// point isolated), thread-count independence of the deterministic order, and bad input.
// (Allocation failures and stops are swept for every algorithm in EveryAlgorithmSweepTest.)
#include "kexmesh/reconstruct/ReducePointCloudAlgorithm.h"

#include "kex/Testing.h"
#include "kex/Thread.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/PointClouds.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

using namespace kexmeshtest;

namespace {

bool configure(KEXReducePointCloudAlgorithm& a, const ReductionParameters& p, bool deterministic)
{
  return a.setMeanSamplingDistance(p.meanSamplingDistance) && a.setTolerance(p.tolerance) &&
         a.setMinNormalScalarProduct(p.minNormalScalarProduct) && a.setDeterministic(deterministic);
}

// Runs the reduction with the given worker count on a copy of cloud; the copy is returned, the
// result in ok (without ok it must succeed).
KEXTriangleMeshBuffer reduced(const KEXTriangleMeshBuffer& cloud, const ReductionParameters& p, bool deterministic, int threads,
                              bool* ok = nullptr)
{
  KEXReducePointCloudAlgorithm a;
  EXPECT_TRUE(configure(a, p, deterministic));
  const int previous = KEXMultiThread::getDefaultNumberOfThreads();
  KEXMultiThread::setDefaultNumberOfThreads(threads);
  KEXTriangleMeshBuffer b(cloud);
  const bool result = runAlgorithm(b, a);
  KEXMultiThread::setDefaultNumberOfThreads(previous);
  EXPECT_TRUE(ok || result);
  if (ok)
    *ok = result;
  return b;
}

ReductionParameters params(float m, float t, float minDot) { return {KEXVector3<float>(m, m, m), t, minDot}; }

// Gives every 97th point a coordinate that is not a number; returns those points.
std::vector<int> salt(KEXTriangleMeshBuffer& b)
{
  std::vector<int> salted;
  for (int v = 5; v < b.getVertexCount(); v += 97) {
    b.vertexList[v] = KEXVector3<float>(v % 2 ? NAN : 0.0f, 0.0f, v % 2 ? 1.0f : NAN);
    salted.push_back(v);
  }
  return salted;
}

// Which input points the reduction kept (one flag per input point; from: the input point of each
// result point). The result must be an ordered subsequence of the input: nothing added or moved.
std::vector<char> keptPoints(const KEXTriangleMeshBuffer& b, const KEXTriangleMeshBuffer& cloud, std::vector<int>* from = nullptr)
{
  const std::vector<int> indices = subsequenceIndices(b, cloud);
  EXPECT_EQ(int(indices.size()), b.getVertexCount()) << "a point was added or moved";
  std::vector<char> kept(size_t(cloud.getVertexCount()), 0);
  for (int v : indices)
    kept[size_t(v)] = 1;
  if (from)
    *from = indices;
  return kept;
}

TEST(ReducePointCloudAlgorithm, ParametersHaveTheirDefaultsAndAreCopied)
{
  KEXReducePointCloudAlgorithm a;
  EXPECT_TRUE(a.getMeanSamplingDistance() == KEXVector3<float>(1, 1, 1) && a.getTolerance() == 0.0f &&
              a.getMinNormalScalarProduct() == 1.0f && a.getDeterministic());
  ASSERT_TRUE(configure(a, params(0.25f, 0.5f, 0.75f), false));
  KEXReducePointCloudAlgorithm copy(a), assigned;
  assigned = a;
  for (const KEXReducePointCloudAlgorithm* c : {&copy, &assigned})
    EXPECT_TRUE(c->getMeanSamplingDistance() == KEXVector3<float>(0.25f, 0.25f, 0.25f) && c->getTolerance() == 0.5f &&
                c->getMinNormalScalarProduct() == 0.75f && !c->getDeterministic());
  EXPECT_EQ(std::string(KEXReducePointCloudAlgorithm::metaClass().getClassName()), "KEXReducePointCloudAlgorithm");
}

// With one thread the index order decides the points one by one: exactly the sequential rule, on
// many random clouds and parameter sets, including several and repeated passes. Points with a
// coordinate that is not a number never enter the tree and are kept (the reference skips them too).
TEST(ReducePointCloudAlgorithm, IndexOrderMatchesTheSequentialReference)
{
  const ReductionParameters cases[] = {params(0.05f, 0.01f, 0.99f), params(0.05f, 0.02f, 0.5f), params(0.04f, 0.2f, 0.9f),
                                       params(0.05f, 1e-4f, 0.9f), {KEXVector3<float>(0.03f, 0.06f, 0.05f), 0.01f, 0.95f}};
  std::mt19937 rng(5);
  for (const ReductionParameters& p : cases)
    for (int trial = 0; trial < 4; ++trial) {
      SCOPED_TRACE(::testing::Message() << "tolerance " << p.tolerance << " trial " << trial);
      KEXTriangleMeshBuffer cloud = trial % 2 ? makeSphereCloud(rng, 1500 + 500 * trial, 3.0 * trial)
                                              : makeJitteredPlaneCloud(rng, 40, 30 + trial, 0.03f, 0.3f);
      if (trial >= 2)
        salt(cloud);
      EXPECT_EQ(subsequenceIndices(reduced(cloud, p, false, 1), cloud), referenceReduction(cloud, p));
    }
}

// The deterministic order gives the same kept points for any thread count and run, on clouds of
// many blocks (one with points that are not numbers, which stay), and is itself a valid sequential
// order: compared with the index order it keeps about as many points.
TEST(ReducePointCloudAlgorithm, DeterministicOrderIsIndependentOfTheThreadCount)
{
  std::mt19937 rng(17);
  for (int trial = 0; trial < 3; ++trial) {
    SCOPED_TRACE(trial);
    KEXTriangleMeshBuffer cloud = trial == 0 ? makeSphereCloud(rng, 60000, 1.0) : makeJitteredPlaneCloud(rng, 180 + 40 * trial, 150, 0.01f, 0.4f);
    const std::vector<int> salted = trial == 1 ? salt(cloud) : std::vector<int>();
    const ReductionParameters p = trial == 0 ? params(0.01f, 0.003f, 0.95f) : params(0.01f, 0.002f, 0.99f);
    const KEXTriangleMeshBuffer one = reduced(cloud, p, true, 1);
    EXPECT_LT(one.getVertexCount(), cloud.getVertexCount());
    const std::vector<char> kept = keptPoints(one, cloud);
    for (int v : salted)
      EXPECT_TRUE(kept[size_t(v)]) << "point " << v << " is not a number and was dropped";
    for (int threads : {2, 7, 7}) { // the last one: a repeated run
      kexTest::RecordingScope monitor;
      const KEXTriangleMeshBuffer many = reduced(cloud, p, true, threads);
      EXPECT_TRUE(sameBuffer(many, one)) << threads << " threads";
      // The progress message counts the points still kept: two counted steps per pass (the tree,
      // the decisions), at least three passes, and its last value is the result's size.
      int last = -1, counted = 0;
      for (const auto& e : monitor.endings())
        if (int count = 0; std::sscanf(e.message.c_str(), "Reduced point cloud to %d points", &count) == 1)
          ++counted, last = count;
      EXPECT_TRUE(counted >= 6 && last == many.getVertexCount()) << counted << " counts, last " << last;
    }
    const int indexOrder = reduced(cloud, p, false, 1).getVertexCount();
    EXPECT_NEAR(double(one.getVertexCount()), double(indexOrder), 0.1 * indexOrder);
  }
}

// A dense plane loses points, but nothing is added or moved, every point keeps its own attributes
// (colours, scalars, edge flags, texture coordinates travel with it), there is no hole, no kept
// point is isolated, and the patch keeps its corners and its border. Both orders run as one
// sequence here (the index order on one thread): with several threads the index order can drop two
// neighbours at once, each counting on the other, and open a gap.
TEST(ReducePointCloudAlgorithm, PlaneIsThinnedButKeepsItsShapeAndAttributes)
{
  std::mt19937 rng(23);
  const float h = 0.02f;
  const double r = 0.5 * 5.0 * h; // the widest neighbourhood's radius: half the base extent, clamped to 5 m
  for (bool deterministic : {true, false})
    for (int trial = 0; trial < 3; ++trial) {
      SCOPED_TRACE(::testing::Message() << "deterministic " << deterministic << " trial " << trial);
      const int n = 60 + 10 * trial;
      KEXTriangleMeshBuffer cloud = makeJitteredPlaneCloud(rng, n, n, h, 0.02f);
      tagPoints(cloud);
      const KEXTriangleMeshBuffer b = reduced(cloud, params(h, h, 0.99f), deterministic, deterministic ? 3 : 1);
      ASSERT_TRUE(b.isConsistent() && b.hasVertexColorList() && b.hasVertexScalarList() && b.hasVertexEdgeFlagList() &&
                  b.hasTextureCoordinateList());
      EXPECT_LT(b.getVertexCount(), cloud.getVertexCount() / 2);
      std::vector<int> from;
      const std::vector<char> kept = keptPoints(b, cloud, &from);
      ASSERT_EQ(int(from.size()), b.getVertexCount());
      for (int i = 0; i < b.getVertexCount(); ++i) {
        const int v = from[size_t(i)];
        EXPECT_TRUE(b.vertexScalarList[i] == cloud.vertexScalarList[v] && b.vertexColorList[i] == cloud.vertexColorList[v] &&
                    b.vertexEdgeFlagList[i] == cloud.vertexEdgeFlagList[v] && b.textureCoordinateList[i] == cloud.textureCoordinateList[v]);
      }
      // Brute force over all pairs, in the plane z = 0: the nearest kept point (other than self),
      // among the border points only when border is set.
      auto onBorder = [&](int v) { return v % n == 0 || v / n == 0 || v % n == n - 1 || v / n == n - 1; };
      auto nearestKept = [&](int q, int self, bool border) {
        double best = INFINITY;
        for (int u = 0; u < cloud.getVertexCount(); ++u)
          if (kept[size_t(u)] && u != self && (!border || onBorder(u)))
            best = std::min(best, std::hypot(double(cloud.vertexList[u].x) - cloud.vertexList[q].x,
                                             double(cloud.vertexList[u].y) - cloud.vertexList[q].y));
        return best;
      };
      for (int v = 0; v < cloud.getVertexCount(); ++v) {
        EXPECT_LE(nearestKept(v, -1, false), r) << "hole at point " << v;
        EXPECT_TRUE(!kept[size_t(v)] || nearestKept(v, v, false) <= 2.0 * r) << "isolated kept point " << v;
        EXPECT_TRUE(!onBorder(v) || nearestKept(v, -1, true) <= r) << "border point " << v << " lost its border";
      }
      for (int corner : {0, n - 1, n * (n - 1), n * n - 1})
        EXPECT_TRUE(kept[size_t(corner)]) << "corner " << corner;
    }
}

// Two planes meeting at a ridge: the points next to the ridge see incompatible points close by and
// stay, on both planes, while the planes' insides are thinned.
TEST(ReducePointCloudAlgorithm, CreaseBetweenTwoPlanesIsKept)
{
  std::mt19937 rng(31);
  const float h = 0.02f;
  const int n = 40;
  for (double angle : {60.0, 90.0, 120.0})
    for (bool deterministic : {true, false}) {
      SCOPED_TRACE(::testing::Message() << angle << " degrees, deterministic " << deterministic);
      const KEXTriangleMeshBuffer cloud = makeCreaseCloud(rng, n, h, 0.02f, angle);
      const std::vector<char> kept = keptPoints(reduced(cloud, params(h, h, 0.9f), deterministic, 2), cloud);
      int ridgeKept = 0, ridge = 0, insideKept = 0, inside = 0;
      for (int v = 0; v < cloud.getVertexCount(); ++v) {
        const int x = v % n, y = (v / n) % n;
        if (y < 3 || y >= n - 3)
          continue; // the far borders have rules of their own
        if (x == 0)
          ++ridge, ridgeKept += kept[size_t(v)];
        else if (x >= 5 && x < n - 5)
          ++inside, insideKept += kept[size_t(v)];
      }
      EXPECT_EQ(ridgeKept, ridge) << "the crease lost points";
      EXPECT_LT(insideKept, inside / 3);
    }
}

// Zero (or a negative or NaN) tolerance switches the reduction off, even without normals, and
// clouds of no or one point are left alone: the cloud comes back as it was. Without normals
// otherwise, or with triangles, the run is refused and nothing changes.
TEST(ReducePointCloudAlgorithm, OffSwitchTinyCloudsAndRefusals)
{
  std::mt19937 rng(3);
  KEXTriangleMeshBuffer cloud = makeSphereCloud(rng, 500, 0.0), bare(cloud), single = cloudOf({{1, 2, 3}}), mesh = makeIcosphere(1);
  bare.vertexNormalList.clear();
  ASSERT_TRUE(mesh.calculateVertexNormals());
  const struct {
    const KEXTriangleMeshBuffer input;
    float tolerance;
    const char* refusal; // null: succeeds
  } cases[] = {{cloud, 0.0f, nullptr}, {cloud, -1.0f, nullptr}, {cloud, float(NAN), nullptr}, {bare, 0.0f, nullptr},
               {bare, -1.0f, nullptr}, {bare, float(NAN), nullptr}, {KEXTriangleMeshBuffer(), 0.05f, nullptr}, {single, 0.05f, nullptr},
               {bare, 0.05f, "The point cloud has no normals"}, {mesh, 0.05f, "The point cloud has triangles"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.tolerance << " " << (c.refusal ? c.refusal : ""));
    kexTest::RecordingScope monitor;
    bool ok = false;
    EXPECT_TRUE(sameBuffer(reduced(c.input, params(0.1f, c.tolerance, 0.5f), true, 2, &ok), c.input));
    EXPECT_EQ(ok, !c.refusal);
    EXPECT_EQ(monitor.rootStatus(), c.refusal ? KEXTaskInfo::Failed : KEXTaskInfo::Succeeded);
    EXPECT_TRUE(!c.refusal || (monitor.rootCode() == KEX::InvalidOperation && monitor.hasDiagnostic(c.refusal)));
  }
}

} // namespace
