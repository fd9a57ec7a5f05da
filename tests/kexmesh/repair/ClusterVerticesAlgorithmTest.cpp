// Vertex clustering: the weld against brute-force single linkage for any worker count, and the
// repair mode's estimated distance on soups and on closed bodies that touch.
#include "kexmesh/repair/ClusterVerticesAlgorithm.h"
#include "kex/Testing.h"
#include "support/AlgorithmSweeps.h"
#include "support/CoreSetup.h"
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

// A random cloud on a lattice of step d / 2 (so that many pairs are exactly d apart), with chains
// of 0.9 d steps, exact duplicates, near misses just beyond d, and a NaN vertex; plus triangles.
KEXTriangleMeshBuffer makeCloud(std::mt19937& rng, int n, float d, bool attributes)
{
  std::vector<Vec3> v;
  std::uniform_int_distribution<int> lattice(0, 40);
  std::uniform_real_distribution<float> u(0.0f, 20.0f * d);
  while (int(v.size()) < n) {
    const unsigned kind = rng() % 7;
    if (kind < 2) {
      v.push_back(Vec3(float(lattice(rng)) * d * 0.5f, float(lattice(rng)) * d * 0.5f, 0.0f));
    } else if (kind == 3 && !v.empty()) {
      v.push_back(v[rng() % v.size()]);
    } else {
      Vec3 p(u(rng), u(rng), u(rng));
      if (kind == 2) // a chain
        for (int k = 0; k < 6 && int(v.size()) < n; ++k, p.x += 0.9f * d)
          v.push_back(p);
      else if (kind <= 4) // just beyond d
        v.insert(v.end(), {p, Vec3(std::nextafter(p.x + d, 1e30f), p.y, p.z)});
      else
        v.push_back(p);
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
      b.triangleNormalList.append(Vec3(c(rng), c(rng), c(rng)));
      b.triangleColorList.append(KEXRGBA<float>(c(rng), 0, 0, 1));
    }
  }
  return b;
}

} // namespace

// The central property: the clustering equals brute-force single linkage, bit for bit, whatever the
// thread count. Distance 0 and the extractor's vanishing distance take the hashed weld; clouds near
// zero put float values closer than that distance (pairs the hash must still find), and a cloud with
// too many of them sends the hashed weld back to the tree.
TEST(ClusterVerticesAlgorithm, EqualsBruteForceForAnyThreadCount)
{
  struct Sweep {
    float distance, cloudStep; // the weld distance, the cloud's lattice step
    float shift; // added to half the vertices (0: none), so tiny and ordinary coordinates mix
    int extra;   // vertices beyond the random count
  };
  const float vanishing = 1.1754943508222875e-37f;
  const Sweep sweeps[] = {{0.0f, 0.25f, 0.0f, 0},       {0.25f, 0.25f, 0.0f, 0},
                          {vanishing, 0.25f, 0.0f, 0},  {vanishing, 1e-38f, 0.0f, 0},
                          {vanishing, 1e-38f, 1.0f, 0}, {vanishing, 1e-38f, 0.0f, 3500}};
  std::mt19937 rng(7);
  for (int run = 0; run < 30; ++run) {
    const Sweep& s = sweeps[run % 6];
    const int n = 50 + int(rng() % 1200) + s.extra;
    KEXTriangleMeshBuffer input = makeCloud(rng, n, s.cloudStep, run % 2 == 0);
    if (s.shift != 0.0f)
      for (int i = 0; i < n; i += 2)
        input.vertexList[i].y += s.shift;
    if (run % 5 == 0) { // normals decide too
      std::uniform_real_distribution<float> c(-1.0f, 1.0f);
      for (int i = 0; i < n; ++i)
        input.vertexNormalList.append(Vec3(c(rng), c(rng), c(rng)));
    }
    const KEXTriangleMeshBuffer expected = referenceWeld(input, s.distance);
    for (int threads : {1, 2, 7}) {
      ThreadCount tc(threads);
      KEXTriangleMeshBuffer b(input);
      KEXClusterVerticesAlgorithm weld(s.distance);
      ASSERT_TRUE(runAlgorithm(b, weld) && b.isConsistent());
      ASSERT_TRUE(sameBuffer(b, expected)) << "run " << run << " threads " << threads;
    }
  }
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
    soup = jittered(soup, rng, 1e-6f * scale);
    ASSERT_TRUE(runAlgorithm(soup, repair)); // repair mode again, now on the soup
    EXPECT_TRUE(soup.getVertexCount() == V - 1 && soup.getTriangleCount() == mesh.getTriangleCount()) << round;
  }
}
