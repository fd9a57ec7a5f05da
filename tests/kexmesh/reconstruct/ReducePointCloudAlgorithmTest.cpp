// Point cloud reduction: the rule against a brute-force sequential reference, the geometric
// properties a reduction must have (nothing added or moved, borders and creases kept, no kept
// point isolated), thread-count independence of the deterministic order, and bad input.
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

struct ThreadCountScope {
  explicit ThreadCountScope(int n) : previous(KEXMultiThread::getDefaultNumberOfThreads()) { KEXMultiThread::setDefaultNumberOfThreads(n); }
  ~ThreadCountScope() { KEXMultiThread::setDefaultNumberOfThreads(previous); }
  int previous;
};

// The squared distance of two points in the plane z = 0.
double planarSquared(const KEXVector3<float>& a, const KEXVector3<float>& b)
{
  const double dx = double(a.x) - b.x, dy = double(a.y) - b.y;
  return dx * dx + dy * dy;
}

void configure(KEXReducePointCloudAlgorithm& a, const ReductionParameters& p, bool deterministic)
{
  ASSERT_TRUE(a.setMeanSamplingDistance(p.meanSamplingDistance));
  ASSERT_TRUE(a.setTolerance(p.tolerance));
  ASSERT_TRUE(a.setMinNormalScalarProduct(p.minNormalScalarProduct));
  ASSERT_TRUE(a.setDeterministic(deterministic));
}

// Runs the reduction on a copy of cloud; the copy is returned, the result in ok.
KEXTriangleMeshBuffer reduced(const KEXTriangleMeshBuffer& cloud, const ReductionParameters& p, bool deterministic,
                              int threads, bool* ok = nullptr)
{
  ThreadCountScope scope(threads);
  KEXReducePointCloudAlgorithm a;
  configure(a, p, deterministic);
  KEXTriangleMeshBuffer b(cloud);
  const bool result = runAlgorithm(b, a);
  if (ok)
    *ok = result;
  else
    EXPECT_TRUE(result);
  return b;
}

ReductionParameters params(float m, float t, float minDot) { return {KEXVector3<float>(m, m, m), t, minDot}; }

// Which input points the reduction kept (one flag per input point); the result must be a subsequence.
std::vector<char> keptPoints(const KEXTriangleMeshBuffer& b, const KEXTriangleMeshBuffer& cloud, std::vector<int>& from)
{
  from = subsequenceIndices(b, cloud);
  EXPECT_EQ(int(from.size()), b.getVertexCount()) << "a point was added or moved";
  std::vector<char> kept(size_t(cloud.getVertexCount()), 0);
  for (int v : from)
    kept[size_t(v)] = 1;
  return kept;
}

TEST(ReducePointCloudAlgorithm, ParametersHaveTheirDefaultsAndAreCopied)
{
  KEXReducePointCloudAlgorithm a;
  EXPECT_TRUE(a.getMeanSamplingDistance() == KEXVector3<float>(1, 1, 1) && a.getTolerance() == 0.0f);
  EXPECT_TRUE(a.getMinNormalScalarProduct() == 1.0f && a.getDeterministic());
  configure(a, params(0.25f, 0.5f, 0.75f), false);
  KEXReducePointCloudAlgorithm copy(a);
  KEXReducePointCloudAlgorithm assigned;
  assigned = a;
  for (const KEXReducePointCloudAlgorithm* c : {&copy, &assigned}) {
    EXPECT_TRUE(c->getMeanSamplingDistance() == KEXVector3<float>(0.25f, 0.25f, 0.25f) && c->getTolerance() == 0.5f);
    EXPECT_TRUE(c->getMinNormalScalarProduct() == 0.75f && !c->getDeterministic());
  }
  EXPECT_EQ(std::string(KEXReducePointCloudAlgorithm::metaClass().getClassName()), "KEXReducePointCloudAlgorithm");
}

// With one thread the index order decides the points one by one: exactly the sequential rule, on
// many random clouds and parameter sets, including several passes and repeated passes.
TEST(ReducePointCloudAlgorithm, IndexOrderMatchesTheSequentialReference)
{
  struct Case {
    const char* name;
    ReductionParameters p;
  };
  const Case cases[] = {
      {"tight normals", params(0.05f, 0.01f, 0.99f)},
      {"loose normals", params(0.05f, 0.02f, 0.5f)},
      {"large tolerance", params(0.04f, 0.2f, 0.9f)},
      {"tiny tolerance", params(0.05f, 1e-4f, 0.9f)},
      {"anisotropic spacing", {KEXVector3<float>(0.03f, 0.06f, 0.05f), 0.01f, 0.95f}},
  };
  std::mt19937 rng(5);
  for (const Case& c : cases)
    for (int trial = 0; trial < 4; ++trial) {
      SCOPED_TRACE(::testing::Message() << c.name << " trial " << trial);
      const KEXTriangleMeshBuffer cloud = trial % 2 ? makeSphereCloud(rng, 1500 + 500 * trial, 3.0 * trial)
                                                    : makeJitteredPlaneCloud(rng, 40, 30 + trial, 0.03f, 0.3f);
      EXPECT_EQ(subsequenceIndices(reduced(cloud, c.p, false, 1), cloud), referenceReduction(cloud, c.p));
    }
}

// The deterministic order gives the same kept points for any thread count, on clouds of many
// blocks, and is itself a valid sequential order: compared with the index order it keeps about as
// many points.
TEST(ReducePointCloudAlgorithm, DeterministicOrderIsIndependentOfTheThreadCount)
{
  std::mt19937 rng(17);
  for (int trial = 0; trial < 3; ++trial) {
    SCOPED_TRACE(trial);
    KEXTriangleMeshBuffer cloud = trial == 0 ? makeSphereCloud(rng, 60000, 1.0)
                                             : makeJitteredPlaneCloud(rng, 180 + 40 * trial, 150, 0.01f, 0.4f);
    const ReductionParameters p = trial == 0 ? params(0.01f, 0.003f, 0.95f) : params(0.01f, 0.002f, 0.99f);
    const KEXTriangleMeshBuffer one = reduced(cloud, p, true, 1);
    EXPECT_LT(one.getVertexCount(), cloud.getVertexCount());
    EXPECT_FALSE(subsequenceIndices(one, cloud).empty());
    for (int threads : {2, 7, 7}) // the last one: a repeated run
      EXPECT_TRUE(sameBuffer(reduced(cloud, p, true, threads), one)) << threads << " threads";
    const int indexOrder = reduced(cloud, p, false, 1).getVertexCount();
    EXPECT_NEAR(double(one.getVertexCount()), double(indexOrder), 0.1 * indexOrder);
  }
}

// A dense plane loses points, but nothing is added or moved, every point keeps its own attributes
// (colours, scalars, edge flags, texture coordinates travel with it), no kept point is left without
// a kept neighbour within the widest neighbourhood, and the patch keeps its corners and its border.
// Both orders run as one sequence here (the index order on one thread): with several threads the
// index order can drop two neighbours at once, each counting on the other, and open a gap.
TEST(ReducePointCloudAlgorithm, PlaneIsThinnedButKeepsItsShapeAndAttributes)
{
  std::mt19937 rng(23);
  const float h = 0.02f;
  for (bool deterministic : {true, false})
    for (int trial = 0; trial < 3; ++trial) {
      SCOPED_TRACE(::testing::Message() << "deterministic " << deterministic << " trial " << trial);
      const int n = 60 + 10 * trial;
      KEXTriangleMeshBuffer cloud = makeJitteredPlaneCloud(rng, n, n, h, 0.02f);
      tagPoints(cloud);
      const ReductionParameters p = params(h, h, 0.99f);
      const KEXTriangleMeshBuffer b = reduced(cloud, p, deterministic, deterministic ? 3 : 1);
      ASSERT_TRUE(b.isConsistent());
      EXPECT_LT(b.getVertexCount(), cloud.getVertexCount() / 2);
      std::vector<int> from;
      const std::vector<char> kept = keptPoints(b, cloud, from);
      ASSERT_EQ(int(from.size()), b.getVertexCount());
      ASSERT_TRUE(b.hasVertexColorList() && b.hasVertexScalarList() && b.hasVertexEdgeFlagList() &&
                  b.hasTextureCoordinateList());
      for (int i = 0; i < b.getVertexCount(); ++i) {
        const int v = from[size_t(i)];
        EXPECT_TRUE(b.vertexScalarList[i] == cloud.vertexScalarList[v] && b.vertexColorList[i] == cloud.vertexColorList[v]);
        EXPECT_TRUE(b.vertexEdgeFlagList[i] == cloud.vertexEdgeFlagList[v] &&
                    b.textureCoordinateList[i] == cloud.textureCoordinateList[v]);
      }
      // No hole: every input point has a kept point within the widest neighbourhood's radius r (half
      // the base extent, clamped to 5 m here), and no kept point is left farther than the
      // neighbourhood's extent 2r from all others.
      const double r = 0.5 * 5.0 * h;
      auto nearestKept = [&](const KEXVector3<float>& q, int self) {
        double best = INFINITY;
        for (int j = 0; j < b.getVertexCount(); ++j)
          if (j != self)
            best = std::min(best, planarSquared(b.vertexList[j], q));
        return std::sqrt(best);
      };
      for (int v = 0; v < cloud.getVertexCount(); ++v)
        EXPECT_LE(nearestKept(cloud.vertexList[v], -1), r) << "hole at point " << v;
      for (int i = 0; i < b.getVertexCount(); ++i)
        EXPECT_LE(nearestKept(b.vertexList[i], i), 2.0 * r) << "isolated kept point " << i;
      // Corners and border: the four corner points stay, and every border point of the input has a
      // kept border point within one neighbourhood radius.
      auto onBorder = [&](int v) {
        const int x = v % n, y = v / n;
        return x == 0 || y == 0 || x == n - 1 || y == n - 1;
      };
      for (int corner : {0, n - 1, n * (n - 1), n * n - 1})
        EXPECT_TRUE(kept[size_t(corner)]) << "corner " << corner;
      for (int v = 0; v < cloud.getVertexCount(); ++v) {
        bool covered = !onBorder(v);
        for (int u = 0; u < cloud.getVertexCount() && !covered; ++u)
          covered = kept[size_t(u)] && onBorder(u) && planarSquared(cloud.vertexList[u], cloud.vertexList[v]) <= r * r;
        EXPECT_TRUE(covered) << "border point " << v << " lost its border";
      }
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
      const KEXTriangleMeshBuffer b = reduced(cloud, params(h, h, 0.9f), deterministic, 2);
      std::vector<int> from;
      const std::vector<char> kept = keptPoints(b, cloud, from);
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

// Points with a coordinate that is not a number never enter the tree and are kept; the others are
// decided as by the reference (which skips them as well), for any thread count. Clouds of no or one
// point are left alone.
TEST(ReducePointCloudAlgorithm, NotANumberAndTinyCloudsAreHandled)
{
  std::mt19937 rng(41);
  const ReductionParameters p = params(0.05f, 0.02f, 0.9f);
  KEXTriangleMeshBuffer salted = makeSphereCloud(rng, 3000, 2.0);
  int nans = 0;
  for (int v = 5; v < salted.getVertexCount(); v += 97, ++nans)
    salted.vertexList[v] = KEXVector3<float>(v % 2 ? NAN : 0.0f, 0.0f, v % 2 ? 1.0f : NAN);
  const std::vector<int> expected = referenceReduction(salted, p);
  for (bool deterministic : {true, false}) {
    SCOPED_TRACE(deterministic);
    const KEXTriangleMeshBuffer one = reduced(salted, p, deterministic, 1);
    int kept = 0;
    for (int v = 0; v < one.getVertexCount(); ++v)
      kept += std::isnan(one.vertexList[v].x) || std::isnan(one.vertexList[v].z);
    EXPECT_EQ(kept, nans);
    EXPECT_LT(one.getVertexCount(), salted.getVertexCount() * 3 / 4);
    if (deterministic) {
      EXPECT_TRUE(sameBuffer(reduced(salted, p, true, 4), one));
    } else {
      EXPECT_EQ(subsequenceIndices(one, salted), expected);
      const KEXTriangleMeshBuffer many = reduced(salted, p, false, 4); // no crash, same NaN points
      EXPECT_FALSE(subsequenceIndices(many, salted).empty());
    }
  }
  for (int count : {0, 1}) {
    KEXTriangleMeshBuffer tiny;
    for (int v = 0; v < count; ++v) {
      tiny.vertexList.append(KEXVector3<float>(1, 2, 3));
      tiny.vertexNormalList.append(KEXVector3<float>(0, 0, 1));
    }
    EXPECT_TRUE(sameBuffer(reduced(tiny, p, true, 2), tiny));
  }
}

// Zero (or a negative or NaN) tolerance switches the reduction off: the cloud comes back as it was,
// even without normals. Without normals otherwise, or with triangles, the run is refused.
TEST(ReducePointCloudAlgorithm, OffSwitchAndRefusals)
{
  std::mt19937 rng(3);
  KEXTriangleMeshBuffer cloud = makeSphereCloud(rng, 500, 0.0);
  KEXTriangleMeshBuffer bare(cloud);
  bare.vertexNormalList.clear();
  for (float t : {0.0f, -1.0f, float(NAN)})
    for (const KEXTriangleMeshBuffer* in : {&cloud, &bare}) {
      kexTest::RecordingScope monitor;
      EXPECT_TRUE(sameBuffer(reduced(*in, params(0.1f, t, 0.5f), true, 2), *in));
      EXPECT_EQ(monitor.rootStatus(), KEXTaskInfo::Succeeded);
    }
  KEXTriangleMeshBuffer mesh = makeIcosphere(1);
  ASSERT_TRUE(mesh.calculateVertexNormals());
  const std::pair<const KEXTriangleMeshBuffer*, const char*> refusals[] = {{&bare, "The point cloud has no normals"},
                                                                          {&mesh, "The point cloud has triangles"}};
  for (const auto& [input, diagnostic] : refusals) {
    kexTest::RecordingScope monitor;
    bool ok = true;
    EXPECT_TRUE(sameBuffer(reduced(*input, params(0.1f, 0.05f, 0.5f), true, 2, &ok), *input));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(monitor.rootCode() == KEX::InvalidOperation && monitor.hasDiagnostic(diagnostic)) << diagnostic;
  }
}

// The progress message counts the points still kept; its last value is the result's size and it
// never goes up within a pass.
TEST(ReducePointCloudAlgorithm, ProgressShowsTheRemainingCount)
{
  std::mt19937 rng(8);
  const KEXTriangleMeshBuffer cloud = makeJitteredPlaneCloud(rng, 120, 100, 0.01f, 0.2f);
  kexTest::RecordingScope monitor;
  const KEXTriangleMeshBuffer b = reduced(cloud, params(0.01f, 0.01f, 0.99f), true, 4);
  // Two counted steps per pass (the tree, the decisions), at least three passes.
  int last = -1, counted = 0;
  for (const auto& e : monitor.endings())
    if (int count = 0; std::sscanf(e.message.c_str(), "Reduced point cloud to %d points", &count) == 1)
      ++counted, last = count;
  EXPECT_GE(counted, 6);
  EXPECT_EQ(last, b.getVertexCount());
}

} // namespace
