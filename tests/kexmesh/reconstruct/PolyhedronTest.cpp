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
#include <iterator>
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

Plane planeOf(const Cut& c)
{
  V3 n(c.normal);
  n.normalize();
  return {n, V3(c.point).dot(n), c.id};
}

// The six planes of the box, outward faces turned into inward half-spaces.
std::vector<Plane> boxPlanes(const V3f& corner, const V3f e[3])
{
  std::vector<Plane> planes;
  for (int a = 0; a < 3; ++a) {
    V3 n = V3(e[(a + 1) % 3]).cross(V3(e[(a + 2) % 3]));
    if (n.dot(V3(e[a])) < 0)
      n = -n;
    n.normalize();
    planes.push_back({n, n.dot(V3(corner)), -1 - 2 * a});
    planes.push_back({-n, (-n).dot(V3(corner) + V3(e[a])), -2 - 2 * a});
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
  const int m = int(planes.size());
  for (int i = 0; i < m; ++i)
    for (int j = i + 1; j < m; ++j)
      for (int k = j + 1; k < m; ++k) {
        const V3 &a = planes[i].n, &b = planes[j].n, &c = planes[k].n;
        const double det = a.dot(b.cross(c));
        if (std::fabs(det) < 1e-9)
          continue;
        const V3 x = (b.cross(c) * planes[i].offset + c.cross(a) * planes[j].offset + a.cross(b) * planes[k].offset) / det;
        bool feasible = true;
        for (const Plane& p : planes)
          feasible = feasible && p.n.dot(x) >= p.offset - tol;
        bool known = false;
        for (const V3& y : r.vertices)
          known = known || (x - y).length() < tol;
        if (feasible && !known)
          r.vertices.push_back(x);
      }
  V3 centre;
  for (const V3& x : r.vertices)
    centre += x * (1.0 / double(r.vertices.size()));
  for (const Plane& p : planes) {
    std::vector<V3> on;
    for (const V3& x : r.vertices)
      if (std::fabs(p.n.dot(x) - p.offset) < tol)
        on.push_back(x);
    if (on.size() < 3)
      continue;
    V3 c;
    for (const V3& x : on)
      c += x * (1.0 / double(on.size()));
    const V3 u = (on[0] - c).normalize(), w = p.n.cross(u);
    std::sort(on.begin(), on.end(), [&](const V3& x, const V3& y) {
      return std::atan2((x - c).dot(w), (x - c).dot(u)) < std::atan2((y - c).dot(w), (y - c).dot(u));
    });
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
  for (int f = 0; f < p.getFaceCount(); ++f)
    for (int k = 1; k + 1 < p.getFaceSize(f); ++k)
      v += p.getVertex(p.getFaceVertex(f, 0)).dot(p.getVertex(p.getFaceVertex(f, k)).cross(p.getVertex(p.getFaceVertex(f, k + 1)))) / 6;
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
    ASSERT_GE(p.getFaceSize(f), 3);
    V3 normal, c;
    for (int k = 0; k < p.getFaceSize(f); ++k) {
      const int a = p.getFaceVertex(f, k), b = p.getFaceVertex(f, (k + 1) % p.getFaceSize(f));
      ASSERT_TRUE(a >= 0 && a < p.getVertexCount() && b >= 0 && b < p.getVertexCount());
      ++edges[{a, b}];
      normal += p.getVertex(a).cross(p.getVertex(b));
      c += p.getVertex(a);
    }
    EXPECT_GT(normal.dot(c * (1.0 / p.getFaceSize(f)) - centre), 0) << "face " << f;
  }
  for (const auto& [e, n] : edges) {
    EXPECT_EQ(n, 1);
    EXPECT_EQ(edges.count({e.second, e.first}), 1u);
  }
  EXPECT_EQ(p.getVertexCount() - int(edges.size()) / 2 + p.getFaceCount(), 2);
}

struct Snapshot {
  std::vector<V3> vertices;
  std::vector<std::vector<int>> faces;
  bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const KEXPolyhedron& p)
{
  Snapshot s;
  for (int i = 0; i < p.getVertexCount(); ++i)
    s.vertices.push_back(p.getVertex(i));
  for (int f = 0; f < p.getFaceCount(); ++f) {
    s.faces.push_back({p.getFaceId(f)});
    for (int k = 0; k < p.getFaceSize(f); ++k)
      s.faces.back().push_back(p.getFaceVertex(f, k));
  }
  return s;
}

// Largest distance from a point of a to its nearest point in b.
double farthestFromNearest(const std::vector<V3>& a, const std::vector<V3>& b)
{
  double farthest = 0;
  for (const V3& x : a) {
    double nearest = 1e300;
    for (const V3& y : b)
      nearest = std::min(nearest, (x - y).length());
    farthest = std::max(farthest, nearest);
  }
  return farthest;
}

struct Scene {
  V3f corner, edges[3];
  std::vector<Cut> cuts;
};

// A skewed box of either handedness around a random centre, and cuts whose kept side holds the
// centre (so no cut removes everything), some reaching beyond the box and so cutting nothing.
Scene randomScene(std::mt19937& rng, int cutCount)
{
  std::uniform_real_distribution<float> u(-1, 1);
  Scene s;
  const V3f centre(u(rng) * 5, u(rng) * 5, u(rng) * 5);
  s.edges[0] = V3f(1.5f, 0, 0) + V3f(u(rng), u(rng), u(rng)) * 0.3f;
  s.edges[1] = V3f(0, 1.0f, 0) + V3f(u(rng), u(rng), u(rng)) * 0.3f;
  s.edges[2] = V3f(0, 0, 2.0f) + V3f(u(rng), u(rng), u(rng)) * 0.3f;
  if (rng() % 2)
    std::swap(s.edges[1], s.edges[2]);
  s.corner = centre - (s.edges[0] + s.edges[1] + s.edges[2]) * 0.5f;
  for (int i = 0; i < cutCount; ++i) {
    V3f n(u(rng), u(rng), u(rng));
    while (n.squaredLength() < 0.01f)
      n = V3f(u(rng), u(rng), u(rng));
    n.normalize();
    const float reach = -1.2f * (u(rng) + 1) / 2;
    s.cuts.push_back({centre + n * reach, n, 100 + i});
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
  for (int trial = 0; trial < 300; ++trial) {
    const Scene s = randomScene(rng, 1 + trial % 30);
    const float epsilon = trial % 2 ? 1e-6f : 0.0f;
    ASSERT_TRUE(build(p, s, epsilon));
    std::vector<Plane> planes = boxPlanes(s.corner, s.edges);
    for (const Cut& c : s.cuts)
      planes.push_back(planeOf(c));
    const double tol = 1e-4;
    const Reference r = bruteForce(planes, 1e-7);
    expectClosedOutward(p);
    EXPECT_NEAR(volumeOf(p), r.volume, tol * r.volume) << trial;
    const std::vector<V3> vertices = snapshot(p).vertices;
    for (const V3& x : vertices) {
      int on = 0;
      for (const Plane& q : planes) {
        EXPECT_GE(q.n.dot(x), q.offset - tol) << trial;
        on += std::fabs(q.n.dot(x) - q.offset) < tol;
      }
      EXPECT_GE(on, 3) << trial;
    }
    EXPECT_LT(farthestFromNearest(vertices, r.vertices), tol) << trial;
    EXPECT_LT(farthestFromNearest(r.vertices, vertices), tol) << trial;
    // Face ids in creation order: box faces -1 ... -6, then the cuts in order. Scenes with a sliver
    // face (area near the tolerance) are left out of this comparison.
    std::vector<int> expected;
    bool sliver = false;
    for (const Plane& q : planes) {
      const auto it = r.faceArea.find(q.id);
      const double area = it == r.faceArea.end() ? 0 : it->second;
      sliver = sliver || (area > 0 && area < 1e-4);
      if (area >= 1e-4)
        expected.push_back(q.id);
    }
    if (sliver)
      continue;
    ++compared;
    EXPECT_EQ(faceList(p, INT_MIN), expected) << trial;
    std::vector<int> cutIds;
    std::copy_if(expected.begin(), expected.end(), std::back_inserter(cutIds), [](int id) { return id >= 100; });
    EXPECT_EQ(faceList(p, 100), cutIds) << trial;
    EXPECT_EQ(p.getFaceCount(), int(expected.size()));
    const int capacity = int(expected.size()) / 2;
    EXPECT_EQ(faceList(p, INT_MIN, capacity), std::vector<int>(expected.begin(), expected.begin() + capacity));
  }
  EXPECT_GT(compared, 250);
}

// Two cuts with one id bound the cell: the id is listed once, at its first face.
TEST(Polyhedron, FaceListIsDistinct)
{
  KEXPolyhedron p;
  ASSERT_TRUE(p.createCube({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}));
  ASSERT_TRUE(p.applyClippingPlane({0.2f, 0, 0}, {1, 0, 0}, 7, 1e-6f));
  ASSERT_TRUE(p.applyClippingPlane({0, 0.3f, 0}, {0, 1, 0}, 8, 1e-6f));
  ASSERT_TRUE(p.applyClippingPlane({0.8f, 0, 0}, {-1, 0, 0}, 7, 1e-6f));
  EXPECT_EQ(faceList(p, INT_MIN), (std::vector<int>{-4, -5, -6, 7, 8})); // -1, -2, -3 cut away
  EXPECT_EQ(faceList(p, 8), std::vector<int>{8});
  EXPECT_EQ(p.getFaceList(nullptr, 4, 0), 0);
  int id = 0;
  EXPECT_EQ(p.getFaceList(&id, 0, 0), 0);
}

// A plane with a vertex within epsilon is moved by epsilon into the kept side and classified anew,
// again while still within epsilon: planes beside the face x = 0.5 of a half cube end just beyond
// 0.5 + epsilon; planes beyond the cell, or moved beyond it, change nothing.
TEST(Polyhedron, PlaneNearAVertexMovesByEpsilon)
{
  const float eps = 1e-3f;
  const float offsets[] = {-0.9f, -0.5f, -0.2f, 0.3f, 0.9f};
  for (float o : offsets) {
    KEXPolyhedron p;
    ASSERT_TRUE(p.createCube({0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}));
    ASSERT_TRUE(p.applyClippingPlane({0.5f, 0, 0}, {1, 0, 0}, 1, eps));
    ASSERT_TRUE(p.applyClippingPlane({0.5f + o * eps, 0, 0}, {1, 0, 0}, 2, eps));
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
    ASSERT_TRUE(p.applyClippingPlane({0.5f, 0, 0}, {-1, 0, 0}, 3, eps)); // behind the whole cell
    ASSERT_TRUE(p.applyClippingPlane({1 - 0.5f * eps, 0, 0}, {1, 0, 0}, 4, eps));
    EXPECT_TRUE(snapshot(p) == before) << o;
  }
}

// Refused normals and non-finite input fail and leave the polyhedron; a plane keeping all or
// nothing succeeds and changes nothing; both handedness of the box give the same solid.
TEST(Polyhedron, RefusedAndIneffectivePlanes)
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
  const std::vector<std::pair<V3f, V3f>> refused = {
      {{1, 1, 1}, {0, 0, 0}}, {{1, 1, 1}, {0.7f, 0, 0}}, {{1, 1, 1}, {nan, 1, 0}}, {{nan, 1, 1}, {1, 0, 0}}};
  for (const auto& [point, normal] : refused)
    EXPECT_FALSE(p.applyClippingPlane(point, normal, 1, 1e-6f));
  for (float s : {-1.0f, 1.0f}) {
    EXPECT_TRUE(p.applyClippingPlane({s * 10, 0, 0}, {1, 0, 0}, 2, 1e-6f));
    EXPECT_TRUE(p.applyClippingPlane({1, 1, 1 + s * 5}, {0.6f, 0, 0.8f}, 3, 1e-6f));
  }
  EXPECT_TRUE(snapshot(p) == box);
  EXPECT_TRUE(p.applyClippingPlane({1, 0, 0}, {0.8f, 0, 0}, 4, 1e-6f)); // long enough: taken as unit
  EXPECT_NEAR(volumeOf(p), 3, 1e-9);
}

TEST(Polyhedron, DumpsReadBack)
{
  std::mt19937 rng(5);
  KEXPolyhedron p;
  ASSERT_TRUE(build(p, randomScene(rng, 12), 1e-6f));
  const std::string prefix = tempPath("cell");
  ASSERT_TRUE(p.writeOFF(prefix.c_str(), 7));
  // The OFF text must be exactly what the accessors give in its line formats.
  std::string expected = "OFF\n" + std::to_string(p.getVertexCount()) + " " + std::to_string(p.getFaceCount()) + " 0\n";
  char line[256];
  for (int i = 0; i < p.getVertexCount(); ++i) {
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
  const int v = p.getVertexCount();

  const std::string ascii = tempPath("cell.txt");
  ASSERT_TRUE(p.writeASCII(ascii.c_str()));
  std::istringstream in(readFile(ascii));
  int counts[7] = {};
  for (int& c : counts)
    in >> c;
  EXPECT_EQ(counts[0], p.getVertexCount());
  EXPECT_EQ(counts[1], p.getTriangleCount());
  EXPECT_EQ(std::vector<int>(counts + 2, counts + 7), std::vector<int>(5, 0));
  std::vector<V3> x(static_cast<size_t>(counts[0]));
  for (V3& y : x)
    in >> y.x >> y.y >> y.z;
  double volume = 0;
  int triangles = 0, a, b, c;
  while (in >> a >> b >> c) {
    ASSERT_TRUE(a >= 0 && b >= 0 && c >= 0 && a < v && b < v && c < v);
    volume += x[size_t(a)].dot(x[size_t(b)].cross(x[size_t(c)])) / 6;
    ++triangles;
  }
  EXPECT_EQ(triangles, counts[1]);
  EXPECT_NEAR(volume, volumeOf(p), 1e-4);
  EXPECT_TRUE(in.eof());

  EXPECT_FALSE(p.writeOFF("/nonexistent-folder/cell", 1));
  EXPECT_FALSE(p.writeASCII("/nonexistent-folder/cell.txt"));
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
      const Snapshot empty = snapshot(p);
      if (!p.createCube(s.corner, s.edges[0], s.edges[1], s.edges[2])) {
        EXPECT_TRUE(snapshot(p) == empty);
        ASSERT_TRUE(fault.fired());
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
