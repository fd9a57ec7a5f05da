#include "kexmesh/repair/ClusterVerticesAlgorithm.h"

#include "kex/Testing.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/ReferenceClustering.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

using namespace kexmeshtest;

namespace {

struct ThreadCount {
  explicit ThreadCount(int n) { kexTest::setThreadCount(n); }
  ~ThreadCount() { kexTest::setThreadCount(0); }
};

bool weld(KEXTriangleMeshBuffer& b, float distance)
{
  KEXClusterVerticesAlgorithm algorithm(distance);
  return runAlgorithm(b, algorithm);
}

// A random cloud on a lattice of step d / 2 (so that many pairs are exactly d apart), with chains
// of 0.9 d steps, exact duplicates, near misses just beyond d, and a NaN vertex; plus triangles.
KEXTriangleMeshBuffer makeCloud(std::mt19937& rng, int n, float d, bool attributes)
{
  std::vector<Vec3> v;
  std::uniform_int_distribution<int> lattice(0, 40);
  std::uniform_real_distribution<float> u(0.0f, 20.0f * d);
  while (int(v.size()) < n) {
    switch (rng() % 7) {
    case 0:
    case 1:
      v.push_back(Vec3(float(lattice(rng)) * d * 0.5f, float(lattice(rng)) * d * 0.5f, 0.0f));
      break;
    case 2: { // a chain
      Vec3 p(u(rng), u(rng), u(rng));
      for (int k = 0; k < 6 && int(v.size()) < n; ++k, p.x += 0.9f * d)
        v.push_back(p);
      break;
    }
    case 3:
      if (!v.empty()) {
        v.push_back(v[rng() % v.size()]);
        break;
      }
      [[fallthrough]];
    case 4: { // just beyond d
      Vec3 p(u(rng), u(rng), u(rng));
      v.push_back(p);
      v.push_back(Vec3(std::nextafter(p.x + d, 1e30f), p.y, p.z));
      break;
    }
    default:
      v.push_back(Vec3(u(rng), u(rng), u(rng)));
    }
  }
  v.resize(size_t(n));
  if (n > 5)
    v[5] = Vec3(std::numeric_limits<float>::quiet_NaN(), 0, 0);
  std::vector<Tri> t;
  for (int i = 0; i < n; ++i)
    t.push_back(Tri(int(rng() % unsigned(n)), int(rng() % unsigned(n)), int(rng() % unsigned(n))));
  KEXTriangleMeshBuffer b = makeBuffer(v, t);
  if (attributes) {
    std::uniform_real_distribution<float> c(0.0f, 1.0f);
    for (int i = 0; i < n; ++i) {
      b.vertexColorList.append(KEXRGBA<float>(c(rng), c(rng), c(rng), c(rng)));
      b.vertexScalarList.append(c(rng));
      b.textureCoordinateList.append(KEXVector2<float>(c(rng), c(rng)));
      b.vertexEdgeFlagList.append(char(rng() % 3));
    }
    for (int i = 0; i < n; ++i) {
      b.triangleNormalList.append(Vec3(c(rng), c(rng), c(rng)));
      b.triangleColorList.append(KEXRGBA<float>(c(rng), 0, 0, 1));
    }
  }
  return b;
}

} // namespace

// The central property: the clustering equals brute-force single linkage, bit for bit, whatever the
// thread count.
TEST(ClusterVerticesAlgorithm, EqualsBruteForceForAnyThreadCount)
{
  std::mt19937 rng(7);
  for (int run = 0; run < 24; ++run) {
    const float d = run % 4 == 0 ? 0.0f : 0.25f;
    const int n = 50 + int(rng() % 1200);
    KEXTriangleMeshBuffer input = makeCloud(rng, n, run % 4 == 0 ? 0.25f : d, run % 2 == 0);
    if (run % 3 == 0) { // normals decide too
      std::uniform_real_distribution<float> c(-1.0f, 1.0f);
      for (int i = 0; i < n; ++i)
        input.vertexNormalList.append(Vec3(c(rng), c(rng), c(rng)));
    }
    const KEXTriangleMeshBuffer expected = referenceWeld(input, d);
    for (int threads : {1, 2, 7}) {
      ThreadCount tc(threads);
      KEXTriangleMeshBuffer b(input);
      ASSERT_TRUE(weld(b, d));
      ASSERT_TRUE(b.isConsistent());
      ASSERT_TRUE(sameBuffer(b, expected)) << "run " << run << " threads " << threads;
    }
  }
}

// Larger clouds go through the queued, parallel tree build and several claims.
TEST(ClusterVerticesAlgorithm, LargeCloudIsIndependentOfThreadCount)
{
  std::mt19937 rng(8);
  KEXTriangleMeshBuffer input = makeCloud(rng, 40000, 0.01f, false);
  std::vector<KEXTriangleMeshBuffer> results;
  for (int threads : {1, 2, 7}) {
    ThreadCount tc(threads);
    KEXTriangleMeshBuffer b(input);
    ASSERT_TRUE(weld(b, 0.01f));
    EXPECT_LT(b.getVertexCount(), input.getVertexCount());
    results.push_back(std::move(b));
  }
  EXPECT_TRUE(sameBuffer(results[0], results[1]));
  EXPECT_TRUE(sameBuffer(results[0], results[2]));
  // And a 2000-vertex part of it against the reference.
  KEXTriangleMeshBuffer slice = makeBuffer(std::vector<Vec3>(input.vertexList.begin(), input.vertexList.begin() + 2000), {});
  KEXTriangleMeshBuffer b(slice);
  ASSERT_TRUE(weld(b, 0.01f));
  EXPECT_TRUE(sameBuffer(b, referenceWeld(slice, 0.01f)));
}

// Exact distances, chains and near misses are in the brute-force clouds; what they never hold:
// adjacent floats under a distance of 0, and non-finite vertices under a huge distance.
TEST(ClusterVerticesAlgorithm, DistanceBoundaries)
{
  KEXTriangleMeshBuffer c = makeBuffer({Vec3(1, 1, 1), Vec3(1, 1, 1), Vec3(1, 1, std::nextafter(1.0f, 2.0f))}, {});
  ASSERT_TRUE(weld(c, 0.0f));
  EXPECT_EQ(c.getVertexCount(), 2);

  // NaN vertices never pair, neither with each other nor with anything else.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  KEXTriangleMeshBuffer f = makeBuffer({Vec3(nan, 0, 0), Vec3(nan, 0, 0), Vec3(0, 0, 0), Vec3(0, nan, 0),
                                        Vec3(inf, 0, 0), Vec3(inf, 0, 0)},
                                       {Tri(0, 1, 2)});
  ASSERT_TRUE(weld(f, 1e30f));
  EXPECT_EQ(f.getVertexCount(), 6);
  EXPECT_EQ(f.getTriangleCount(), 1);
}

TEST(ClusterVerticesAlgorithm, NormalsDecideAndAreRenormalised)
{
  KEXTriangleMeshBuffer b = makeBuffer({Vec3(0, 0, 0), Vec3(0, 0, 0), Vec3(5, 0, 0), Vec3(5, 0, 0), Vec3(9, 0, 0),
                                        Vec3(9, 0, 0)},
                                       {});
  b.vertexNormalList.append(Vec3(0, 0, 1));
  b.vertexNormalList.append(Vec3(0, 0, -1)); // opposite: stays apart
  b.vertexNormalList.append(Vec3(0, 0, 2));
  b.vertexNormalList.append(Vec3(3, 0, 0)); // exactly 90 degrees: welded
  b.vertexNormalList.append(Vec3(0, 0, 0));
  b.vertexNormalList.append(Vec3(0, 0, 0)); // zero normals weld and stay zero
  ASSERT_TRUE(weld(b, 0.1f));
  ASSERT_EQ(b.getVertexCount(), 4);
  EXPECT_EQ(b.vertexNormalList[0], Vec3(0, 0, 1));
  EXPECT_EQ(b.vertexNormalList[1], Vec3(0, 0, -1));
  EXPECT_NEAR(b.vertexNormalList[2].x, 3.0 / std::sqrt(13.0), 1e-6);
  EXPECT_NEAR(b.vertexNormalList[2].z, 2.0 / std::sqrt(13.0), 1e-6);
  EXPECT_EQ(b.vertexNormalList[3], Vec3(0, 0, 0));
}

namespace {
// Runs the algorithm's run and cleanup directly, past the frame's consistency test, so that the
// algorithm's own guard against per-vertex lists of the wrong length is reached.
class DirectRun : public KEXClusterVerticesAlgorithm {
public:
  using KEXClusterVerticesAlgorithm::KEXClusterVerticesAlgorithm;
  bool runOn(KEXTriangleMeshBuffer& b)
  {
    m_buffer.swap(b);
    bool result = run(nullptr);
    cleanup(result);
    m_buffer.swap(b);
    return result;
  }
};
} // namespace

TEST(ClusterVerticesAlgorithm, ListsOfTheWrongLengthAreClearedFirst)
{
  KEXTriangleMeshBuffer b = makeBuffer({Vec3(0, 0, 0), Vec3(0, 0, 0), Vec3(1, 0, 0)}, {Tri(0, 1, 2)});
  ASSERT_TRUE(b.createVertexAdjacencyList());
  ASSERT_TRUE(b.createTriangleAdjacencyList());
  b.vertexNormalList.append(Vec3(0, 0, 1));
  b.vertexColorList.append(KEXRGBA<float>(1, 0, 0));
  b.vertexScalarList.append(1.0f);
  b.vertexScalarList.append(1.0f);
  DirectRun algorithm(0.0f);
  ASSERT_TRUE(algorithm.runOn(b));
  EXPECT_EQ(b.getVertexCount(), 2);
  EXPECT_EQ(b.vertexNormalList.getCount(), 0);
  EXPECT_EQ(b.vertexColorList.getCount(), 0);
  EXPECT_EQ(b.vertexScalarList.getCount(), 0);
  EXPECT_EQ(b.vertexAdjacencyList.getCount(), 0);
  EXPECT_EQ(b.triangleAdjacencyList.getCount(), 0);
  EXPECT_EQ(b.getTriangleCount(), 0);
  EXPECT_TRUE(b.isConsistent());

  // One vertex: nothing to weld, but the same preparation happens.
  KEXTriangleMeshBuffer one = makeBuffer({Vec3(1, 2, 3)}, {});
  one.vertexColorList.append(KEXRGBA<float>(1, 0, 0));
  one.vertexColorList.append(KEXRGBA<float>(1, 0, 0));
  DirectRun single(5.0f);
  ASSERT_TRUE(single.runOn(one));
  EXPECT_EQ(one.getVertexCount(), 1);
  EXPECT_EQ(one.vertexList[0], Vec3(1, 2, 3));
  EXPECT_EQ(one.vertexColorList.getCount(), 0);

  KEXTriangleMeshBuffer empty;
  EXPECT_TRUE(weld(empty, -1.0f)); // the guess fails (FLT_MAX) but nothing is there to weld
}

TEST(ClusterVerticesAlgorithm, GuessedDistanceFollowsTheSamplingEstimate)
{
  KEXTriangleMeshBuffer mesh = makeIcosphere(2);
  KEXVector3<float> msd;
  ASSERT_TRUE(mesh.calculateMeanSamplingDistance(msd));
  const float guess = std::min(msd.x, std::min(msd.y, msd.z)) * 6.1035156e-5f;
  const int V = mesh.getVertexCount();
  mesh.vertexList.append(mesh.vertexList[0] + Vec3(0.5f * guess, 0, 0));
  mesh.vertexList.append(mesh.vertexList[1] + Vec3(2.0f * guess, 0, 0));
  KEXClusterVerticesAlgorithm algorithm; // the factory default -1 guesses
  EXPECT_EQ(algorithm.getMaximumDistance(), -1.0f);
  ASSERT_TRUE(runAlgorithm(mesh, algorithm));
  EXPECT_EQ(mesh.getVertexCount(), V + 1);

  EXPECT_TRUE(algorithm.setMaximumDistance(3.0f));
  KEXClusterVerticesAlgorithm copy(algorithm), assigned;
  assigned = algorithm;
  EXPECT_EQ(copy.getMaximumDistance(), 3.0f);
  EXPECT_EQ(assigned.getMaximumDistance(), 3.0f);
  KEXClass* made = KEXClusterVerticesAlgorithm::metaClass().create();
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(static_cast<KEXClusterVerticesAlgorithm*>(made)->getMaximumDistance(), -1.0f);
  KEXClusterVerticesAlgorithm::metaClass().destruct(made, true);
}

TEST(ClusterVerticesAlgorithm, ReportsItsStepsAndCapsThreadsByMemory)
{
  ThreadCount tc(7);
  std::mt19937 rng(3);
  KEXTriangleMeshBuffer input = makeCloud(rng, 3000, 0.2f, false);
  {
    kexTest::RecordingScope monitor;
    KEXTriangleMeshBuffer b(input);
    ASSERT_TRUE(weld(b, 0.2f));
    EXPECT_EQ(monitor.begunMessages(),
              (std::vector<std::string>{"Clustering vertices", "Clustering vertices", "Creating BSP tree",
                                        "Creating BSP tree", "Creating merge table"}));
    EXPECT_EQ(monitor.subTaskMessages(), (std::vector<std::string>{"", "Clustering in process", "Initialization",
                                                                    "Creation in progress", "Clustering in progress"}));
    EXPECT_TRUE(monitor.progressMonotone());
    EXPECT_EQ(monitor.rootStatus(), KEXTaskInfo::Succeeded);
    EXPECT_EQ(kexTest::lastRunAllThreads(), 7);
  }
  // n = floor(0.5 F / (4 V) + 0.5): F = 8 V * 3 gives 3 threads; little or negative memory gives 1.
  for (auto [memory, threads] : {std::pair<int64_t, int>{8 * 3000 * 3, 3}, {100, 1}, {-1, 1}, {int64_t(1) << 40, 7}}) {
    kexTest::setFreePhysicalMemory(memory);
    KEXTriangleMeshBuffer b(input);
    ASSERT_TRUE(weld(b, 0.2f));
    EXPECT_EQ(kexTest::lastRunAllThreads(), threads) << memory;
    EXPECT_TRUE(sameBuffer(b, referenceWeld(input, 0.2f)));
  }
  kexTest::clearFreePhysicalMemory();
}

// Repair mode: the estimated distance welds float-noise copies of soups and never the two ends of
// an edge; vertices whose fan is closed stay out, so two closed bodies touching at coincident
// vertices are not pinched together.
TEST(ClusterVerticesAlgorithm, RepairModeWeldsSoupsButNeitherEdgesNorClosedFans)
{
  std::mt19937 rng(12);
  for (int round = 0; round < 12; ++round) {
    // Two closed convex bodies touching at one point: a copy moved so that its extreme vertex in a
    // generic direction sits on the first one's opposite extreme vertex.
    KEXTriangleMeshBuffer mesh = makeIcosphere(1 + round % 3);
    const float scale = std::pow(10.0f, float(int(rng() % 7) - 3));
    for (KEXVector3<float>& p : mesh.vertexList)
      p *= scale;
    const Vec3 u(1.0f, 0.3f + 0.01f * float(round), 0.1f);
    int top = 0, bottom = 0;
    for (int v = 0; v < mesh.getVertexCount(); ++v) {
      top = mesh.vertexList[v].dot(u) > mesh.vertexList[top].dot(u) ? v : top;
      bottom = mesh.vertexList[v].dot(u) < mesh.vertexList[bottom].dot(u) ? v : bottom;
    }
    KEXTriangleMeshBuffer other(mesh);
    const Vec3 shift = mesh.vertexList[top] - mesh.vertexList[bottom];
    for (KEXVector3<float>& p : other.vertexList)
      p += shift;
    other.vertexList[bottom] = mesh.vertexList[top]; // exactly coincident despite the rounding
    append(mesh, other);
    const int V = mesh.getVertexCount();

    const float d = KEXClusterVerticesAlgorithm::estimateRepairDistance(mesh);
    double shortest = 1e300;
    for (const Tri& t : mesh.triangleList)
      for (int k = 0; k < 3; ++k)
        shortest = std::min(shortest, double((mesh.vertexList[t[k]] - mesh.vertexList[t[(k + 1) % 3]]).length()));
    EXPECT_LE(d, 0.5 * shortest) << round;
    EXPECT_GT(d, 2e-6 * 2.0 * 3.0 * scale) << round; // above the noise of the soup below

    KEXClusterVerticesAlgorithm repair;
    repair.setRepairMode(true);
    KEXTriangleMeshBuffer kept(mesh);
    ASSERT_TRUE(runAlgorithm(kept, repair));
    EXPECT_EQ(kept.getVertexCount(), V) << "closed fans stay apart";
    EXPECT_EQ(repair.getUsedDistance(), d);

    KEXClusterVerticesAlgorithm plain(d);
    KEXTriangleMeshBuffer pinched(mesh);
    ASSERT_TRUE(runAlgorithm(pinched, plain));
    EXPECT_EQ(pinched.getVertexCount(), V - 1) << "without repair mode the touching vertices weld";

    // A soup of it with copies jittered by 1e-6 of the size comes back (the touching pair as one).
    KEXTriangleMeshBuffer soup = toSoup(mesh);
    shuffleTriangles(soup, rng);
    std::uniform_real_distribution<float> j(-1e-6f * scale, 1e-6f * scale);
    for (KEXVector3<float>& p : soup.vertexList)
      p += Vec3(j(rng), j(rng), j(rng));
    KEXClusterVerticesAlgorithm soupWeld;
    soupWeld.setRepairMode(true);
    ASSERT_TRUE(runAlgorithm(soup, soupWeld));
    EXPECT_EQ(soup.getVertexCount(), V - 1) << round;
    EXPECT_EQ(soup.getTriangleCount(), mesh.getTriangleCount()) << round;
  }
}
