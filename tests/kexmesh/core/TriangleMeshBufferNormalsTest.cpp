// Normal computations of the buffer, checked against brute-force references on random meshes,
// and under injected allocation failures and stop requests.
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/AlgorithmSweeps.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <set>

using namespace kexmeshtest;
using D3 = KEXVector3<double>;

namespace {

D3 d(const Vec3& v) { return D3(v); }

/// Brute force: cross products, then every degenerate triangle gets the normalised sum of the unit
/// normals of the distinct non-degenerate triangles sharing a vertex with it (original normals).
std::vector<D3> referenceTriangleNormals(const KEXTriangleMeshBuffer& b)
{
  const int T = b.getTriangleCount();
  std::vector<D3> n(static_cast<size_t>(T));
  double edges = 0.0;
  for (int t = 0; t < T; ++t) {
    D3 p0 = d(b.vertexList[b.triangleList[t][0]]), p1 = d(b.vertexList[b.triangleList[t][1]]),
       p2 = d(b.vertexList[b.triangleList[t][2]]);
    n[size_t(t)] = (p1 - p0).cross(p2 - p0);
    edges += std::sqrt((p1 - p0).squaredLength()) + std::sqrt((p2 - p1).squaredLength()) + std::sqrt((p0 - p2).squaredLength());
  }
  const double L = edges / (3.0 * T);
  const double tau = L * L * L * L * 1e-6;
  std::vector<D3> out = n;
  for (int t = 0; t < T; ++t) {
    if (!(n[size_t(t)].squaredLength() < tau))
      continue;
    std::set<int> seen;
    D3 s;
    for (int u = 0; u < T; ++u) {
      if (u == t || !(n[size_t(u)].squaredLength() >= tau))
        continue;
      bool shares = false;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
          shares |= b.triangleList[t][i] == b.triangleList[u][j];
      if (shares && seen.insert(u).second)
        s += n[size_t(u)] * (1.0 / std::sqrt(n[size_t(u)].squaredLength()));
    }
    out[size_t(t)] = s.squaredLength() > 0 ? s * (1.0 / std::sqrt(s.squaredLength())) : D3();
  }
  return out;
}

/// Brute force of the angle-weighted vertex normals over the buffer's triangle normals.
std::vector<D3> referenceVertexNormals(const KEXTriangleMeshBuffer& b)
{
  std::vector<D3> sum(size_t(b.getVertexCount())), out(sum.size());
  std::vector<double> w(sum.size(), 0.0);
  for (int t = 0; t < b.getTriangleCount(); ++t) {
    D3 a;
    const KEXTriangle<int>& f = b.triangleList[t];
    KEXTriangleCalculus3<float>::angles(a, b.vertexList[f[0]], b.vertexList[f[1]], b.vertexList[f[2]]);
    for (int k = 0; k < 3; ++k) {
      sum[size_t(f[k])] += d(b.triangleNormalList[t]) * double(float(a[k]));
      w[size_t(f[k])] += double(float(a[k]));
    }
  }
  for (size_t v = 0; v < sum.size(); ++v)
    out[v] = w[v] >= 2.220446049250313e-16 ? sum[v] * (1.0 / w[v]) : D3();
  return out;
}

void expectNear(const Vec3& got, const D3& want, double tol, const char* what, int i)
{
  const double scale = std::max(1.0, std::sqrt(want.squaredLength()));
  EXPECT_NEAR(got.x, want.x, tol * scale) << what << " " << i;
  EXPECT_NEAR(got.y, want.y, tol * scale) << what << " " << i;
  EXPECT_NEAR(got.z, want.z, tol * scale) << what << " " << i;
}

/// A random mesh with valid indices, some repeated indices and a few collinear triangles.
KEXTriangleMeshBuffer randomValidMesh(std::mt19937& rng)
{
  RandomMeshOptions o;
  o.vertices = 20 + int(rng() % 60);
  o.triangles = 10 + int(rng() % 150);
  o.repeatedIndexRate = 0.1;
  KEXTriangleMeshBuffer b = makeRandomMesh(rng, o);
  // A collinear triangle: its middle point on the segment of two existing vertices.
  const int V = b.getVertexCount();
  Vec3 p = b.vertexList[0], q = b.vertexList[1];
  b.vertexList.append(Vec3((p.x + q.x) / 2, (p.y + q.y) / 2, (p.z + q.z) / 2));
  b.triangleList.append(KEXTriangle<int>(0, V, 1));
  return b;
}

} // namespace

TEST(TriangleNormals, MatchBruteForceOnRandomMeshes)
{
  std::mt19937 rng(11);
  for (int round = 0; round < 40; ++round) {
    KEXTriangleMeshBuffer b = randomValidMesh(rng);
    std::vector<D3> want = referenceTriangleNormals(b);
    ASSERT_TRUE(b.calculateTriangleNormals());
    ASSERT_EQ(b.triangleNormalList.getCount(), b.getTriangleCount());
    EXPECT_TRUE(b.hasVertexAdjacencyList()); // built on the way and kept
    for (int t = 0; t < b.getTriangleCount(); ++t)
      expectNear(b.triangleNormalList[t], want[size_t(t)], 1e-5, "triangle", t);
  }
}

TEST(VertexNormals, MatchAngleWeightedBruteForce)
{
  std::mt19937 rng(5);
  for (int round = 0; round < 40; ++round) {
    KEXTriangleMeshBuffer b = randomValidMesh(rng);
    b.vertexList.append(Vec3(3, 3, 3)); // used by no triangle
    ASSERT_TRUE(b.calculateVertexNormals());
    ASSERT_TRUE(b.hasVertexNormalList());
    ASSERT_TRUE(b.hasTriangleNormalList());
    ASSERT_TRUE(b.hasTriangleAngleList());
    ASSERT_TRUE(b.hasVertexAdjacencyList());
    std::vector<D3> want = referenceVertexNormals(b);
    for (int v = 0; v < b.getVertexCount(); ++v)
      expectNear(b.vertexNormalList[v], want[size_t(v)], 1e-5, "vertex", v);
    EXPECT_EQ(b.vertexNormalList[b.getVertexCount() - 1], Vec3(0, 0, 0));
  }
}

namespace {
Vec3 cornerEntry(const KEXValueList<KEXTriangleMeshBuffer::Page>& pages, int c)
{
  return pages[c / KEXTriangleMeshBuffer::PAGE_SIZE][c % KEXTriangleMeshBuffer::PAGE_SIZE];
}
int pageTotal(const KEXValueList<KEXTriangleMeshBuffer::Page>& pages)
{
  int n = 0;
  for (const auto& p : pages)
    n += p.getCount();
  return n;
}
} // namespace

TEST(CornerNormals, FoldSharperThanCreaseKeepsTwoNormals)
{
  // Two triangles folded at 90 degrees along the edge (0, 1).
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0.5f, 1, 0}, {0.5f, 0, 1}}, {{0, 1, 2}, {1, 0, 3}});
  ASSERT_TRUE(b.updateCornerNormals(30.0f));
  for (int c = 0; c < 6; ++c) {
    Vec3 own = b.triangleNormalList[c / 3];
    EXPECT_NEAR(d(cornerEntry(b.cornerNormalPages, c)).dot(d(own)), 1.0, 1e-6) << c;
  }
  // With a crease angle above the fold both triangles contribute to the corners on the shared
  // edge: their normals lie between the two face normals.
  ASSERT_TRUE(b.updateCornerNormals(100.0f));
  for (int c : {0, 1, 3, 4}) {
    Vec3 n = cornerEntry(b.cornerNormalPages, c);
    EXPECT_NEAR(n.length(), 1.0f, 1e-6f);
    EXPECT_GT(n.z, 0.5f) << c;
    EXPECT_GT(n.y, 0.5f) << c;
  }
}

// Each normal computation, under every allocation failure and every stop or abort point: it fails
// and leaves no half-built list of its own behind.
TEST(NormalsFailures, AllocationAndStopSweeps)
{
  struct Case {
    const char* name;
    KEXTriangleMeshBuffer mesh;
    std::function<bool(KEXTriangleMeshBuffer&)> op;
    std::function<bool(const KEXTriangleMeshBuffer&)> absent;
    bool stops = true; ///< a point cloud reports once, at its end: nothing to stop
  };
  KEXTriangleMeshBuffer torus = makeTorus(12, 8), cloud = makeBuffer({{1, 2, 3}, {4, 5, 6}}, {});
  torus.vertexList.append(Vec3(0.5f, 0.5f, 0.5f));
  torus.triangleList.append(KEXTriangle<int>(0, torus.getVertexCount() - 1, 0)); // degenerate
  cloud.vertexNormalList.setCount(2, Vec3(0, 1, 0));
  auto noCorners = [](const KEXTriangleMeshBuffer& b) { return pageTotal(b.cornerVertexPages) + pageTotal(b.cornerNormalPages) == 0; };
  auto corners = [](KEXTriangleMeshBuffer& b) { return b.updateCornerNormals(40.0f); };
  const Case cases[] = {
      {"triangle normals", torus, [](KEXTriangleMeshBuffer& b) { return b.calculateTriangleNormals(); },
       [](const KEXTriangleMeshBuffer& b) { return !b.hasTriangleNormalList(); }},
      {"vertex normals", torus, [](KEXTriangleMeshBuffer& b) { return b.calculateVertexNormals(); },
       [](const KEXTriangleMeshBuffer& b) { return !b.hasVertexNormalList(); }},
      {"corner normals", makeGrid(12, 12), corners, noCorners},
      {"corner normals of a point cloud", cloud, corners, noCorners, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto failed = [&](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor&) {
      EXPECT_FALSE(result);
      EXPECT_TRUE(c.absent(b));
    };
    EXPECT_GT(sweepAllocationFaults(c.mesh, c.op, failed), 0);
    for (auto kind : {KEXTaskMonitor::Stop, KEXTaskMonitor::Abort}) {
      auto stopped = [&](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor& m) {
        expectStopped(result, m, kind);
        EXPECT_TRUE(c.absent(b));
      };
      if (c.stops) {
        EXPECT_GT(sweepStops(c.mesh, c.op, stopped, kind), 0);
      }
    }
  }
}

