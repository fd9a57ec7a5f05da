// Normal computations of the buffer, checked against brute-force references on random meshes,
// and under injected allocation failures and stop requests.
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/AlgorithmSweeps.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <cmath>
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

TEST(TriangleNormals, RepairedTriangleDoesNotServeAsNeighbour)
{
  // Two degenerate triangles sharing a vertex; only the first touches the tilted good triangle.
  // The second one must not pick up the first one's repaired normal.
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 1}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}},
                                       {{0, 1, 2}, {0, 3, 1}, {3, 4, 5}});
  ASSERT_TRUE(b.calculateTriangleNormals());
  EXPECT_GT(b.triangleNormalList[1].squaredLength(), 0.99f);
  EXPECT_EQ(b.triangleNormalList[2], Vec3(0, 0, 0));
}

TEST(TriangleNormals, InvalidIndexFailsAndKeepsTheList)
{
  for (int bad : {-1, 3}) {
    KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}, {0, bad, 2}});
    b.triangleNormalList.setCount(2, Vec3(7, 7, 7));
    kexTest::RecordingScope monitor;
    EXPECT_FALSE(b.calculateTriangleNormals());
    EXPECT_EQ(monitor.rootCode(), KEX::GenericError);
    EXPECT_EQ(b.triangleNormalList[1], Vec3(7, 7, 7));
  }
  KEXTriangleMeshBuffer empty = makeBuffer({{0, 0, 0}}, {});
  EXPECT_TRUE(empty.calculateTriangleNormals());
  EXPECT_EQ(empty.triangleNormalList.getCount(), 0);
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

TEST(VertexNormals, UseAGivenTriangleNormalListAsItIs)
{
  KEXTriangleMeshBuffer b = makeGrid(2, 2);
  b.triangleNormalList.setCount(b.getTriangleCount(), Vec3(0, 5, 0));
  ASSERT_TRUE(b.calculateVertexNormals());
  for (int v = 0; v < b.getVertexCount(); ++v) {
    EXPECT_NEAR(b.vertexNormalList[v].y, 5.0f, 1e-5f);
  }
}

TEST(VertexNormals, InvalidIndexWithGivenNormalsFailsSafely)
{
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}, {0, 1, 99}});
  b.triangleNormalList.setCount(2, Vec3(0, 0, 1));
  kexTest::RecordingScope monitor;
  EXPECT_FALSE(b.calculateVertexNormals());
  EXPECT_FALSE(b.hasVertexNormalList());
  EXPECT_FALSE(b.hasTriangleAngleList());
  EXPECT_TRUE(b.isConsistent());
}

TEST(HarmonizeNormals, ScaleToLengthAndRejectInvalid)
{
  KEXTriangleMeshBuffer b = makeIcosphere(1);
  ASSERT_TRUE(b.calculateVertexNormals());
  ASSERT_TRUE(b.harmonizeTriangleNormals(2.5f));
  for (const Vec3& n : b.triangleNormalList) {
    EXPECT_NEAR(n.length(), 2.5f, 1e-5f);
  }
  ASSERT_TRUE(b.harmonizeVertexNormals(0.5f));
  for (const Vec3& n : b.vertexNormalList) {
    EXPECT_NEAR(n.length(), 0.5f, 1e-6f);
  }

  {
    kexTest::RecordingScope monitor;
    EXPECT_FALSE(b.harmonizeVertexNormals(0.0f)); // fails on the first normal
    EXPECT_EQ(monitor.rootCode(), KEX::InvalidValue);
    EXPECT_TRUE(monitor.hasDiagnostic("Invalid vertex normal found"));
    EXPECT_EQ(b.vertexNormalList[1].length(), 0.5f);
  }
  KEXTriangleMeshBuffer c = makeGrid(1, 1);
  c.vertexList.append(Vec3(5, 5, 5));
  ASSERT_TRUE(c.calculateVertexNormals());
  kexTest::RecordingScope monitor;
  EXPECT_FALSE(c.harmonizeVertexNormals(1.0f)); // the unused vertex has a zero normal
  EXPECT_EQ(monitor.rootCode(), KEX::InvalidValue);
  ASSERT_EQ(monitor.diagnostics().size(), 1u);
  EXPECT_EQ(monitor.diagnostics()[0].severity, KEX::Error);

  KEXTriangleMeshBuffer none;
  kexTest::RecordingScope quiet;
  EXPECT_TRUE(none.harmonizeVertexNormals(1.0f));
  EXPECT_TRUE(quiet.begunMessages().empty()); // no task for an empty list
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

TEST(CornerNormals, FlatPatchHasOneNormalAndPagesSplit)
{
  KEXTriangleMeshBuffer b = makeGrid(150, 150); // 45000 triangles: two pages
  ASSERT_TRUE(b.updateCornerNormals(30.0f));
  const int C = 3 * b.getTriangleCount();
  ASSERT_EQ(b.cornerVertexPages.getCount(), 2);
  EXPECT_EQ(b.cornerVertexPages[0].getCount(), KEXTriangleMeshBuffer::PAGE_SIZE);
  EXPECT_EQ(pageTotal(b.cornerVertexPages), C);
  EXPECT_EQ(pageTotal(b.cornerNormalPages), C);
  EXPECT_TRUE(b.isConsistent());
  for (int c = 0; c < C; c += 7) {
    EXPECT_EQ(cornerEntry(b.cornerVertexPages, c), b.vertexList[b.cornerVertex(c)]);
    Vec3 n = cornerEntry(b.cornerNormalPages, c);
    EXPECT_NEAR(n.z, 1.0f, 1e-6f) << c;
  }
}

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
  // The corners off the shared edge see their own triangle only.
  EXPECT_NEAR(d(cornerEntry(b.cornerNormalPages, 2)).dot(d(b.triangleNormalList[0])), 1.0, 1e-6);
  EXPECT_NEAR(d(cornerEntry(b.cornerNormalPages, 5)).dot(d(b.triangleNormalList[1])), 1.0, 1e-6);
}

TEST(CornerNormals, SmoothSphereCornersAgreePerVertex)
{
  KEXTriangleMeshBuffer b = makeIcosphere(2);
  ASSERT_TRUE(b.updateCornerNormals(60.0f));
  // Every walk closes around the vertex, so all corners of a vertex get the same normal.
  for (int v = 0; v < b.getVertexCount(); ++v) {
    const KEXCompactIndexArray& corners = b.vertexAdjacencyList[v];
    Vec3 first = cornerEntry(b.cornerNormalPages, corners[0]);
    EXPECT_GT(d(first).dot(d(b.vertexList[v])), 0.99);
    for (int c : corners) {
      EXPECT_NEAR(d(cornerEntry(b.cornerNormalPages, c)).dot(d(first)), 1.0, 0.02) << v;
    }
  }
}

TEST(CornerNormals, PointCloudAndEdgeCases)
{
  KEXTriangleMeshBuffer cloud = makeBuffer({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, {});
  cloud.vertexNormalList.setCount(3, Vec3(0, 1, 0));
  ASSERT_TRUE(cloud.updateCornerNormals(30.0f));
  ASSERT_EQ(pageTotal(cloud.cornerVertexPages), 3);
  EXPECT_EQ(cornerEntry(cloud.cornerVertexPages, 2), Vec3(7, 8, 9));
  EXPECT_EQ(cornerEntry(cloud.cornerNormalPages, 1), Vec3(0, 1, 0));

  KEXTriangleMeshBuffer empty;
  EXPECT_TRUE(empty.updateCornerNormals(30.0f));
  KEXTriangleMeshBuffer inconsistent = makeGrid(1, 1);
  inconsistent.vertexNormalList.setCount(1);
  EXPECT_FALSE(inconsistent.updateCornerNormals(30.0f));

  KEXTriangleMeshBuffer invalid = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 5}});
  kexTest::RecordingScope monitor;
  EXPECT_FALSE(invalid.updateCornerNormals(30.0f));
  EXPECT_EQ(pageTotal(invalid.cornerVertexPages), 0);
  invalid.triangleNormalList.setCount(1, Vec3(0, 0, 1)); // a given list must not hide the bad index
  EXPECT_FALSE(invalid.updateCornerNormals(30.0f));
  EXPECT_EQ(pageTotal(invalid.cornerVertexPages), 0);
}

TEST(NormalsFailures, AllocationSweeps)
{
  KEXTriangleMeshBuffer mesh = makeTorus(12, 8);
  mesh.vertexList.append(Vec3(0.5f, 0.5f, 0.5f));
  mesh.triangleList.append(KEXTriangle<int>(0, mesh.getVertexCount() - 1, 0)); // degenerate
  int runs = sweepAllocationFaults(
      mesh, [](KEXTriangleMeshBuffer& b) { return b.calculateTriangleNormals(); },
      [](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor&) {
        EXPECT_FALSE(result);
        EXPECT_FALSE(b.hasTriangleNormalList());
      });
  EXPECT_GT(runs, 2);
  sweepAllocationFaults(
      mesh, [](KEXTriangleMeshBuffer& b) { return b.calculateVertexNormals(); },
      [](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor& m) {
        EXPECT_FALSE(result);
        EXPECT_FALSE(b.hasVertexNormalList());
        if (m.rootCode() == KEX::OutOfMemory) {
          EXPECT_TRUE(m.hasDiagnostic("Out of memory"));
        }
      });
  sweepAllocationFaults(
      mesh, [](KEXTriangleMeshBuffer& b) { return b.updateCornerNormals(40.0f); },
      [](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor&) {
        EXPECT_FALSE(result);
        EXPECT_EQ(pageTotal(b.cornerVertexPages), 0);
        EXPECT_EQ(pageTotal(b.cornerNormalPages), 0);
      });
  KEXTriangleMeshBuffer cloud = makeBuffer({{1, 2, 3}, {4, 5, 6}}, {});
  cloud.vertexNormalList.setCount(2, Vec3(0, 1, 0));
  sweepAllocationFaults(
      cloud, [](KEXTriangleMeshBuffer& b) { return b.updateCornerNormals(40.0f); },
      [](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor& m) {
        EXPECT_FALSE(result);
        EXPECT_EQ(m.rootCode(), KEX::OutOfMemory);
        EXPECT_EQ(pageTotal(b.cornerVertexPages), 0);
      });
}

TEST(NormalsFailures, StopSweeps)
{
  // Large enough for several blocks per loop.
  KEXTriangleMeshBuffer mesh = makeGrid(100, 100);
  for (auto kind : {KEXTaskMonitor::Stop, KEXTaskMonitor::Abort}) {
    long reports = sweepStops(
        mesh, [](KEXTriangleMeshBuffer& b) { return b.calculateTriangleNormals(); },
        [kind](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor& m) {
          expectStopped(result, m, kind);
          EXPECT_FALSE(b.hasTriangleNormalList());
        },
        kind);
    EXPECT_GT(reports, 4);
    sweepStops(
        mesh, [](KEXTriangleMeshBuffer& b) { return b.calculateVertexNormals(); },
        [kind](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor& m) {
          expectStopped(result, m, kind);
          EXPECT_FALSE(b.hasVertexNormalList());
        },
        kind);
    // Corner normals report about a hundred times per run: a small mesh keeps the sweep short.
    sweepStops(
        makeGrid(12, 12), [](KEXTriangleMeshBuffer& b) { return b.updateCornerNormals(30.0f); },
        [kind](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor& m) {
          expectStopped(result, m, kind);
          EXPECT_EQ(pageTotal(b.cornerNormalPages), 0);
        },
        kind);
  }
}
