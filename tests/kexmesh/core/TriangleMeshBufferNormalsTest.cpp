// Normal computations of the buffer, checked against brute-force references on random meshes,
// and under injected allocation failures and stop requests.
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/AlgorithmSweeps.h"
#include "support/CoreSetup.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>

using namespace kexmeshtest;
using D3 = KEXVector3<double>;

namespace {

D3 unit(const D3& v) { return v * (1.0 / std::sqrt(v.squaredLength())); }

/// Brute force: cross products, then every degenerate triangle gets the normalised sum of the unit
/// normals of the distinct non-degenerate triangles sharing a vertex with it (original normals).
std::vector<D3> referenceTriangleNormals(const KEXTriangleMeshBuffer& b)
{
  const int T = b.getTriangleCount();
  std::vector<D3> n;
  double edges = 0.0;
  for (const KEXTriangle<int>& f : b.triangleList) {
    const D3 p0(b.vertexList[f[0]]), p1(b.vertexList[f[1]]), p2(b.vertexList[f[2]]);
    n.push_back((p1 - p0).cross(p2 - p0));
    edges += std::sqrt((p1 - p0).squaredLength()) + std::sqrt((p2 - p1).squaredLength()) + std::sqrt((p0 - p2).squaredLength());
  }
  const double L = edges / (3.0 * T), tau = L * L * L * L * 1e-6;
  std::vector<D3> out = n;
  for (int t = 0; t < T; ++t) {
    if (!(n[size_t(t)].squaredLength() < tau))
      continue;
    std::set<int> seen;
    D3 s;
    for (int u = 0; u < T; ++u)
      for (int i = 0; i < 9 && u != t && n[size_t(u)].squaredLength() >= tau; ++i)
        if (b.triangleList[t][i / 3] == b.triangleList[u][i % 3] && seen.insert(u).second)
          s += unit(n[size_t(u)]);
    out[size_t(t)] = s.squaredLength() > 0 ? unit(s) : D3();
  }
  return out;
}

/// Brute force of the angle-weighted vertex normals over the buffer's triangle normals.
std::vector<D3> referenceVertexNormals(const KEXTriangleMeshBuffer& b)
{
  std::vector<D3> sum(size_t(b.getVertexCount()));
  std::vector<double> w(sum.size(), 0.0);
  for (int t = 0; t < b.getTriangleCount(); ++t) {
    D3 a;
    const KEXTriangle<int>& f = b.triangleList[t];
    KEXTriangleCalculus3<float>::angles(a, b.vertexList[f[0]], b.vertexList[f[1]], b.vertexList[f[2]]);
    for (int k = 0; k < 3; ++k) {
      sum[size_t(f[k])] += D3(b.triangleNormalList[t]) * double(float(a[k]));
      w[size_t(f[k])] += double(float(a[k]));
    }
  }
  for (size_t v = 0; v < sum.size(); ++v)
    sum[v] = w[v] >= 2.220446049250313e-16 ? sum[v] * (1.0 / w[v]) : D3();
  return sum;
}

} // namespace

// On random meshes with repeated indices, a collinear triangle and an unused vertex: triangle
// normals alone, and vertex normals (which bring their triangle normals and angles along).
TEST(Normals, TriangleAndVertexNormalsMatchBruteForceOnRandomMeshes)
{
  std::mt19937 rng(11);
  for (int round = 0; round < 40; ++round) {
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, {20 + int(rng() % 60), 10 + int(rng() % 150), 0.0, 0.05, 0.1});
    const int V = b.getVertexCount();
    b.vertexList.append((b.vertexList[0] + b.vertexList[1]) * 0.5f); // on the segment 0-1
    b.triangleList.append(KEXTriangle<int>(0, V, 1));
    b.vertexList.append(Vec3(3, 3, 3)); // used by no triangle
    KEXTriangleMeshBuffer withVertexNormals(b);
    const std::vector<D3> triangles = referenceTriangleNormals(b);
    ASSERT_TRUE(b.calculateTriangleNormals() && withVertexNormals.calculateVertexNormals());
    const std::vector<D3> vertices = referenceVertexNormals(withVertexNormals);
    for (KEXTriangleMeshBuffer* m : {&b, &withVertexNormals}) {
      ASSERT_EQ(m->triangleNormalList.getCount(), m->getTriangleCount());
      EXPECT_TRUE(m->hasVertexAdjacencyList()); // built on the way and kept
      for (int t = 0; t < m->getTriangleCount(); ++t)
        EXPECT_TRUE(near3(m->triangleNormalList[t], triangles[size_t(t)], 1e-5)) << "triangle " << t;
    }
    EXPECT_FALSE(b.hasVertexNormalList());
    ASSERT_TRUE(withVertexNormals.hasVertexNormalList() && withVertexNormals.hasTriangleAngleList());
    for (int v = 0; v < withVertexNormals.getVertexCount(); ++v)
      EXPECT_TRUE(near3(withVertexNormals.vertexNormalList[v], vertices[size_t(v)], 1e-5)) << "vertex " << v;
    EXPECT_EQ(withVertexNormals.vertexNormalList[V + 1], Vec3(0, 0, 0));
  }
}

namespace {
using Pages = KEXValueList<KEXTriangleMeshBuffer::Page>;
Vec3 cornerEntry(const Pages& pages, int c) { return pages[c / KEXTriangleMeshBuffer::PAGE_SIZE][c % KEXTriangleMeshBuffer::PAGE_SIZE]; }
bool pagesEmpty(const Pages& pages)
{
  return std::all_of(pages.begin(), pages.end(), [](const auto& p) { return p.getCount() == 0; });
}
} // namespace

TEST(Normals, CornerNormalsSplitAtFoldsSharperThanTheCrease)
{
  // Two triangles folded at 90 degrees along the edge (0, 1).
  KEXTriangleMeshBuffer b = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0.5f, 1, 0}, {0.5f, 0, 1}}, {{0, 1, 2}, {1, 0, 3}});
  ASSERT_TRUE(b.updateCornerNormals(30.0f));
  for (int c = 0; c < 6; ++c)
    EXPECT_NEAR(D3(cornerEntry(b.cornerNormalPages, c)).dot(D3(b.triangleNormalList[c / 3])), 1.0, 1e-6) << c;
  // With a crease angle above the fold both triangles contribute to the corners on the shared
  // edge: their normals lie between the two face normals.
  ASSERT_TRUE(b.updateCornerNormals(100.0f));
  for (int c : {0, 1, 3, 4}) {
    const Vec3 n = cornerEntry(b.cornerNormalPages, c);
    EXPECT_TRUE(std::fabs(n.length() - 1.0f) < 1e-6f && n.z > 0.5f && n.y > 0.5f) << c;
  }
}

// Each normal computation, under every allocation failure and every stop or abort point: it fails
// and leaves no half-built list of its own behind.
TEST(Normals, AllocationAndStopSweeps)
{
  using Op = std::function<bool(KEXTriangleMeshBuffer&)>;
  using Absent = std::function<bool(const KEXTriangleMeshBuffer&)>;
  KEXTriangleMeshBuffer torus = makeTorus(12, 8), cloud = makeBuffer({{1, 2, 3}, {4, 5, 6}}, {});
  torus.vertexList.append(Vec3(0.5f, 0.5f, 0.5f));
  torus.triangleList.append(KEXTriangle<int>(0, torus.getVertexCount() - 1, 0)); // degenerate
  cloud.vertexNormalList.setCount(2, Vec3(0, 1, 0));
  Absent noCorners = [](const KEXTriangleMeshBuffer& b) { return pagesEmpty(b.cornerVertexPages) && pagesEmpty(b.cornerNormalPages); };
  Op corners = [](KEXTriangleMeshBuffer& b) { return b.updateCornerNormals(40.0f); };
  const struct {
    const char* name;
    KEXTriangleMeshBuffer mesh;
    Op op;
    Absent absent;
    bool stops; ///< a point cloud reports once, at its end: nothing to stop
  } cases[] = {
      {"triangle normals", torus, [](KEXTriangleMeshBuffer& b) { return b.calculateTriangleNormals(); },
       [](const KEXTriangleMeshBuffer& b) { return !b.hasTriangleNormalList(); }, true},
      {"vertex normals", torus, [](KEXTriangleMeshBuffer& b) { return b.calculateVertexNormals(); },
       [](const KEXTriangleMeshBuffer& b) { return !b.hasVertexNormalList(); }, true},
      {"corner normals", makeGrid(12, 12), corners, noCorners, true},
      {"corner normals of a point cloud", cloud, corners, noCorners, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_GT(sweepAllocationFaults(c.mesh, c.op, [&](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor&) {
      EXPECT_TRUE(!result && c.absent(b));
    }), 0);
    if (!c.stops)
      continue;
    for (auto kind : {KEXTaskMonitor::Stop, KEXTaskMonitor::Abort})
      EXPECT_GT(sweepStops(c.mesh, c.op, [&](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor& m) {
        expectStopped(result, m, kind);
        EXPECT_TRUE(c.absent(b));
      }, kind), 0);
  }
}
