// Convex polyhedron under clipping: random parallelepipeds cut by random planes against a brute-force
// half-space intersection (every feasible intersection of three planes; faces and volume from the
// feasible points on each plane), plus the closed, outward-oriented face structure, the face ids,
// the epsilon shift, refused and ineffective planes, both dumps read back, allocation faults at
// every point and the allocation-free steady state.
#include "kexmesh/reconstruct/Polyhedron.h"

#include "kex/Testing.h"
#include "support/TemporaryFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <utility>
#include <vector>

using namespace kexmeshtest;
using V3f = KEXVector3<float>;
using V3 = KEXVector3<double>;

namespace {

struct Plane {
  V3 n; // unit, kept: n·x >= offset
  double offset;
  int id;
};
struct Cut {
  V3f point, normal;
  int id;
};
struct Scene {
  V3f corner, edges[3];
  std::vector<Cut> cuts;
};

// The six box planes (outward faces as inward half-spaces), then the cuts.
std::vector<Plane> planesOf(const Scene& s)
{
  std::vector<Plane> planes;
  for (int a = 0; a < 3; ++a) {
    V3 n = V3(s.edges[(a + 1) % 3]).cross(V3(s.edges[(a + 2) % 3]));
    n = (n.dot(V3(s.edges[a])) < 0 ? -n : n).normalize();
    planes.push_back({n, n.dot(V3(s.corner)), -1 - 2 * a});
    planes.push_back({-n, (-n).dot(V3(s.corner) + V3(s.edges[a])), -2 - 2 * a});
  }
  for (const Cut& c : s.cuts) {
    const V3 n = V3(c.normal).normalize();
    planes.push_back({n, V3(c.point).dot(n), c.id});
  }
  return planes;
}

struct Reference {
  std::vector<V3> vertices;
  std::map<int, double> faceArea; // by plane id
  double volume = 0;
};

// Brute force: every feasible point where three planes meet; a plane's face is the convex polygon of
// the feasible points on it, ordered by angle about their centroid.
Reference bruteForce(const std::vector<Plane>& planes, double tol)
{
  Reference r;
  const size_t m = planes.size();
  for (size_t i = 0; i < m; ++i)
    for (size_t j = i + 1; j < m; ++j)
      for (size_t k = j + 1; k < m; ++k) {
        const V3 &a = planes[i].n, &b = planes[j].n, &c = planes[k].n;
        const double det = a.dot(b.cross(c));
        if (std::fabs(det) < 1e-9)
          continue;
        const V3 x = (b.cross(c) * planes[i].offset + c.cross(a) * planes[j].offset + a.cross(b) * planes[k].offset) / det;
        bool keep = true;
        for (const Plane& p : planes)
          keep = keep && p.n.dot(x) >= p.offset - tol;
        for (const V3& y : r.vertices)
          keep = keep && (x - y).length() >= tol;
        if (keep)
          r.vertices.push_back(x);
      }
  V3 centre;
  for (const V3& x : r.vertices)
    centre += x * (1.0 / double(r.vertices.size()));
  for (const Plane& p : planes) {
    std::vector<V3> on;
    V3 c;
    for (const V3& x : r.vertices)
      if (std::fabs(p.n.dot(x) - p.offset) < tol)
        on.push_back(x);
    for (const V3& x : on)
      c += x * (1.0 / double(on.size()));
    if (on.size() < 3)
      continue;
    const V3 u = (on[0] - c).normalize(), w = p.n.cross(u);
    auto angle = [&](const V3& x) { return std::atan2((x - c).dot(w), (x - c).dot(u)); };
    std::sort(on.begin(), on.end(), [&](const V3& x, const V3& y) { return angle(x) < angle(y); });
    double area = 0;
    for (size_t q = 0; q < on.size(); ++q)
      area += 0.5 * (on[q] - c).cross(on[(q + 1) % on.size()] - c).length();
    r.faceArea[p.id] += area;
    r.volume += area * (centre.dot(p.n) - p.offset) / 3;
  }
  return r;
}

double volumeOf(const KEXPolyhedron& p)
{
  double v = 0;
  auto x = [&](int f, int k) { return p.getVertex(p.getFaceVertex(f, k)); };
  for (int f = 0; f < p.getFaceCount(); ++f)
    for (int k = 1; k + 1 < p.getFaceSize(f); ++k)
      v += x(f, 0).dot(x(f, k).cross(x(f, k + 1))) / 6;
  return v;
}

// Closed and consistently oriented: every directed edge once and its reverse once; Euler
// characteristic 2; every face's normal points away from the vertex centroid.
void expectClosedOutward(const KEXPolyhedron& p)
{
  std::map<std::pair<int, int>, int> edges;
  V3 centre;
  for (int i = 0; i < p.getVertexCount(); ++i)
    centre += p.getVertex(i) * (1.0 / p.getVertexCount());
  for (int f = 0; f < p.getFaceCount(); ++f) {
    const int size = p.getFaceSize(f);
    ASSERT_GE(size, 3);
    V3 normal, c;
    for (int k = 0; k < size; ++k) {
      const int a = p.getFaceVertex(f, k), b = p.getFaceVertex(f, (k + 1) % size);
      ASSERT_TRUE(a >= 0 && a < p.getVertexCount() && b >= 0 && b < p.getVertexCount());
      ++edges[{a, b}];
      normal += p.getVertex(a).cross(p.getVertex(b));
      c += p.getVertex(a);
    }
    EXPECT_GT(normal.dot(c * (1.0 / size) - centre), 0) << "face " << f;
  }
  for (const auto& [e, n] : edges)
    EXPECT_TRUE(n == 1 && edges.count({e.second, e.first}) == 1);
  EXPECT_EQ(p.getVertexCount() - int(edges.size()) / 2 + p.getFaceCount(), 2);
}

// The vertices, and each face as its id followed by its vertices.
using Snapshot = std::pair<std::vector<V3>, std::vector<std::vector<int>>>;
Snapshot snapshot(const KEXPolyhedron& p)
{
  Snapshot s;
  for (int i = 0; i < p.getVertexCount(); ++i)
    s.first.push_back(p.getVertex(i));
  for (int f = 0; f < p.getFaceCount(); ++f) {
    s.second.push_back({p.getFaceId(f)});
    for (int k = 0; k < p.getFaceSize(f); ++k)
      s.second.back().push_back(p.getFaceVertex(f, k));
  }
  return s;
}

// Largest distance from a point of a to its nearest point in b, or of b to a.
double hausdorff(const std::vector<V3>& a, const std::vector<V3>& b)
{
  double farthest = 0;
  for (int pass = 0; pass < 2; ++pass)
    for (const V3& x : pass ? b : a) {
      double nearest = 1e300;
      for (const V3& y : pass ? a : b)
        nearest = std::min(nearest, (x - y).length());
      farthest = std::max(farthest, nearest);
    }
  return farthest;
}

// A skewed box of either handedness around a random centre, and cuts whose kept side holds the
// centre (so no cut removes everything), some reaching beyond the box and so cutting nothing.
Scene randomScene(std::mt19937& rng, int cutCount)
{
  std::uniform_real_distribution<float> u(-1, 1);
  auto random = [&] { return V3f(u(rng), u(rng), u(rng)); };
  Scene s;
  const V3f centre = random() * 5;
  s.edges[0] = V3f(1.5f, 0, 0) + random() * 0.3f;
  s.edges[1] = V3f(0, 1.0f, 0) + random() * 0.3f;
  s.edges[2] = V3f(0, 0, 2.0f) + random() * 0.3f;
  if (rng() % 2)
    std::swap(s.edges[1], s.edges[2]);
  s.corner = centre - (s.edges[0] + s.edges[1] + s.edges[2]) * 0.5f;
  for (int i = 0; i < cutCount; ++i) {
    V3f n = random();
    while (n.squaredLength() < 0.01f)
      n = random();
    s.cuts.push_back({centre + n.normalize() * (-1.2f * (u(rng) + 1) / 2), n, 100 + i});
  }
  return s;
}

bool build(KEXPolyhedron& p, const Scene& s, float epsilon)
{
  bool ok = p.createCube(s.corner, s.edges[0], s.edges[1], s.edges[2]);
  for (const Cut& c : s.cuts)
    ok = p.applyClippingPlane(c.point, c.normal, c.id, epsilon) && ok;
  return ok;
}

std::vector<int> faceList(const KEXPolyhedron& p, int minimumId, int capacity = 1000)
{
  std::vector<int> ids(size_t(std::max(capacity, 1)));
  ids.resize(size_t(p.getFaceList(ids.data(), capacity, minimumId)));
  return ids;
}

} // namespace

TEST(Polyhedron, RandomCutsMatchBruteForceIntersection)
{
  std::mt19937 rng(11);
  KEXPolyhedron p; // one object for every scene: storage is reused
  int compared = 0;
  const double tol = 1e-4;
  for (int trial = 0; trial < 300; ++trial) {
    const Scene s = randomScene(rng, 1 + trial % 30);
    ASSERT_TRUE(build(p, s, trial % 2 ? 1e-6f : 0.0f));
    const std::vector<Plane> planes = planesOf(s);
    Reference r = bruteForce(planes, 1e-7);
    expectClosedOutward(p);
    EXPECT_NEAR(volumeOf(p), r.volume, tol * r.volume) << trial;
    const std::vector<V3> vertices = snapshot(p).first;
    for (const V3& x : vertices) {
      int on = 0;
      for (const Plane& q : planes) {
        EXPECT_GE(q.n.dot(x), q.offset - tol) << trial;
        on += std::fabs(q.n.dot(x) - q.offset) < tol;
      }
      EXPECT_GE(on, 3) << trial;
    }
    EXPECT_LT(hausdorff(vertices, r.vertices), tol) << trial;
    // Face ids in creation order: box faces -1 ... -6, then the cuts in order. Scenes with a sliver
    // face (area near the tolerance) are left out of this comparison.
    std::vector<int> expected;
    bool sliver = false;
    for (const Plane& q : planes) {
      const double area = r.faceArea[q.id];
      sliver = sliver || (area > 0 && area < 1e-4);
      if (area >= 1e-4)
        expected.push_back(q.id);
    }
    if (sliver)
      continue;
    ++compared;
    EXPECT_EQ(faceList(p, INT_MIN), expected) << trial;
    EXPECT_EQ(faceList(p, 100), std::vector<int>(std::find_if(expected.begin(), expected.end(), [](int id) { return id >= 100; }), expected.end()));
    EXPECT_EQ(p.getFaceCount(), int(expected.size()));
    const int capacity = int(expected.size()) / 2;
    EXPECT_EQ(faceList(p, INT_MIN, capacity), std::vector<int>(expected.begin(), expected.begin() + capacity));
  }
  EXPECT_GT(compared, 250);
}

// A plane with a vertex within epsilon is moved by epsilon into the kept side and classified anew,
// again while still within epsilon: planes beside the face x = 0.5 of a half cube end just beyond
// 0.5 + epsilon; planes beyond the cell, or moved beyond it, change nothing.
TEST(Polyhedron, PlaneNearAVertexMovesByEpsilon)
{
  const float eps = 1e-3f;
  for (float o : {-0.9f, -0.5f, -0.2f, 0.3f, 0.9f}) {
    KEXPolyhedron p;
    ASSERT_TRUE(p.createCube({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}) && p.applyClippingPlane({0.5f, 0, 0}, {1, 0, 0}, 1, eps) &&
                p.applyClippingPlane({0.5f + o * eps, 0, 0}, {1, 0, 0}, 2, eps));
    double minimum = 1;
    for (int i = 0; i < p.getVertexCount(); ++i)
      minimum = std::min(minimum, p.getVertex(i).x);
    double moved = o; // in units of epsilon; a plane still within epsilon moves again
    while (std::fabs(moved) <= 1)
      moved += 1;
    EXPECT_NEAR(minimum, 0.5 + moved * eps, 1e-6) << o;
    EXPECT_EQ(faceList(p, 0), std::vector<int>{2});
    expectClosedOutward(p);
    const Snapshot before = snapshot(p);
    ASSERT_TRUE(p.applyClippingPlane({0.5f, 0, 0}, {-1, 0, 0}, 3, eps) && // behind the whole cell
                p.applyClippingPlane({1 - 0.5f * eps, 0, 0}, {1, 0, 0}, 4, eps));
    EXPECT_TRUE(snapshot(p) == before) << o;
  }
}

// Refused normals and non-finite input fail and leave the polyhedron; a plane keeping all or
// nothing succeeds and changes nothing; both handedness of the box give the same solid.
TEST(Polyhedron, RefusedAndIneffectivePlanesAndDistinctFaceIds)
{
  KEXPolyhedron p;
  const float nan = std::nanf("");
  EXPECT_FALSE(p.createCube({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}));
  EXPECT_FALSE(p.createCube({nan, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}));
  EXPECT_EQ(p.getVertexCount(), 0);
  ASSERT_TRUE(p.createCube({0, 0, 0}, {2, 0, 0}, {0, 0, 3}, {0, 1, 0}));
  EXPECT_NEAR(volumeOf(p), 6, 1e-12);
  expectClosedOutward(p);
  EXPECT_FALSE(p.createCube({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 0}));
  const Snapshot box = snapshot(p);
  const std::pair<V3f, V3f> refused[] = {{{1, 1, 1}, {0, 0, 0}}, {{1, 1, 1}, {0.7f, 0, 0}}, {{1, 1, 1}, {nan, 1, 0}}, {{nan, 1, 1}, {1, 0, 0}}};
  for (const auto& [point, normal] : refused)
    EXPECT_FALSE(p.applyClippingPlane(point, normal, 1, 1e-6f));
  for (float s : {-1.0f, 1.0f})
    EXPECT_TRUE(p.applyClippingPlane({s * 10, 0, 0}, {1, 0, 0}, 2, 1e-6f) && p.applyClippingPlane({1, 1, 1 + s * 5}, {0.6f, 0, 0.8f}, 3, 1e-6f));
  EXPECT_TRUE(snapshot(p) == box);
  EXPECT_TRUE(p.applyClippingPlane({1, 0, 0}, {0.8f, 0, 0}, 4, 1e-6f)); // long enough: taken as unit
  EXPECT_NEAR(volumeOf(p), 3, 1e-9);
  // Two cuts with one id bound the cell: the id is listed once, at its first face.
  ASSERT_TRUE(p.createCube({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}) && p.applyClippingPlane({0.2f, 0, 0}, {1, 0, 0}, 7, 1e-6f) &&
              p.applyClippingPlane({0, 0.3f, 0}, {0, 1, 0}, 8, 1e-6f) && p.applyClippingPlane({0.8f, 0, 0}, {-1, 0, 0}, 7, 1e-6f));
  EXPECT_EQ(faceList(p, INT_MIN), (std::vector<int>{-4, -5, -6, 7, 8})); // -1, -2, -3 cut away
  EXPECT_EQ(faceList(p, 8), std::vector<int>{8});
  int id = 0;
  EXPECT_TRUE(p.getFaceList(nullptr, 4, 0) == 0 && p.getFaceList(&id, 0, 0) == 0);
}

TEST(Polyhedron, DumpsReadBack)
{
  std::mt19937 rng(5);
  KEXPolyhedron p;
  ASSERT_TRUE(build(p, randomScene(rng, 12), 1e-6f));
  const std::string prefix = tempPath("cell"), ascii = tempPath("cell.txt");
  const int V = p.getVertexCount();
  ASSERT_TRUE(p.writeOFF(prefix.c_str(), 7) && p.writeASCII(ascii.c_str()));
  // The OFF text must be exactly what the accessors give in its line formats.
  std::string expected = "OFF\n" + std::to_string(V) + " " + std::to_string(p.getFaceCount()) + " 0\n";
  char line[256];
  for (int i = 0; i < V; ++i) {
    std::snprintf(line, sizeof line, "%f %f %f\n", p.getVertex(i).x, p.getVertex(i).y, p.getVertex(i).z);
    expected += line;
  }
  for (int f = 0; f < p.getFaceCount(); ++f) {
    expected += std::to_string(p.getFaceSize(f));
    for (int k = 0; k < p.getFaceSize(f); ++k)
      expected += " " + std::to_string(p.getFaceVertex(f, k));
    expected += "\n";
  }
  EXPECT_EQ(readFile(prefix + "0007.off"), expected);
  // The ASCII dump: counts, the vertices, then the fan triangles enclosing the same volume.
  std::istringstream in(readFile(ascii));
  int counts[7] = {};
  for (int& c : counts)
    in >> c;
  EXPECT_EQ(std::vector<int>(counts, counts + 7), (std::vector<int>{V, p.getTriangleCount(), 0, 0, 0, 0, 0}));
  std::vector<V3> x(static_cast<size_t>(std::max(counts[0], 0)));
  for (V3& y : x)
    in >> y.x >> y.y >> y.z;
  double volume = 0;
  int triangles = 0, a, b, c;
  for (; in >> a >> b >> c; ++triangles) {
    ASSERT_TRUE(a >= 0 && b >= 0 && c >= 0 && a < V && b < V && c < V);
    volume += x[size_t(a)].dot(x[size_t(b)].cross(x[size_t(c)])) / 6;
  }
  EXPECT_TRUE(triangles == counts[1] && in.eof());
  EXPECT_NEAR(volume, volumeOf(p), 1e-4);
  EXPECT_FALSE(p.writeOFF("/nonexistent-folder/cell", 1) || p.writeASCII("/nonexistent-folder/cell.txt"));
  EXPECT_FALSE(exists("/nonexistent-folder/cell0001.off"));
  std::remove((prefix + "0007.off").c_str());
  std::remove(ascii.c_str());
}

// A fault at every allocation of a cell's life: the failing call returns false and leaves the
// polyhedron as it was, the same call then succeeds, and the cell equals one built without faults.
// Once the storage has grown, building another cell allocates nothing.
TEST(Polyhedron, AllocationFaultsAndSteadyState)
{
  std::mt19937 rng(9);
  const Scene s = randomScene(rng, 30);
  KEXPolyhedron reference;
  ASSERT_TRUE(build(reference, s, 1e-6f));
  int faults = 0;
  for (long n = 1;; ++n) {
    KEXPolyhedron p;
    bool fired = false;
    {
      kexTest::AllocationFault fault(n);
      if (!p.createCube(s.corner, s.edges[0], s.edges[1], s.edges[2])) {
        ASSERT_TRUE(fault.fired() && p.getVertexCount() == 0 && p.getFaceCount() == 0);
      }
      for (const Cut& c : s.cuts) {
        const Snapshot before = snapshot(p);
        const bool firedBefore = fault.fired();
        const bool ok = p.applyClippingPlane(c.point, c.normal, c.id, 1e-6f);
        EXPECT_EQ(ok, firedBefore || !fault.fired()) << "a fault inside the call must fail it";
        if (!ok) {
          EXPECT_TRUE(snapshot(p) == before);
          ++faults;
          kexTest::clearAllocationFaults();
          ASSERT_TRUE(p.applyClippingPlane(c.point, c.normal, c.id, 1e-6f));
        }
      }
      fired = fault.fired();
    }
    if (!fired)
      break;
    if (p.getVertexCount() == 0) { // the fault hit the box: build it again
      ++faults;
      ASSERT_TRUE(build(p, s, 1e-6f));
    }
    EXPECT_TRUE(snapshot(p) == snapshot(reference)) << n;
  }
  EXPECT_GT(faults, 0);
  const long calls = kexTest::allocationCalls();
  for (int trial = 0; trial < 20; ++trial)
    ASSERT_TRUE(build(reference, s, 1e-6f));
  EXPECT_EQ(kexTest::allocationCalls(), calls);
}
