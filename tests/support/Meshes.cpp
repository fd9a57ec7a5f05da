// The mesh generators and perturbations declared in Meshes.h; all deterministic for a given rng.
#include "support/Meshes.h"
#include "support/MeshChecks.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>
#include <numbers>

namespace kexmeshtest {

KEXTriangleMeshBuffer makeBuffer(const std::vector<Vec3>& vs, const std::vector<Tri>& ts)
{
  KEXTriangleMeshBuffer b;
  b.vertexList.setCount(int(vs.size()));
  for (size_t i = 0; i < vs.size(); ++i)
    b.vertexList[int(i)] = vs[i];
  b.triangleList.setCount(int(ts.size()));
  for (size_t i = 0; i < ts.size(); ++i)
    b.triangleList[int(i)] = ts[i];
  return b;
}

std::vector<Vec3> vertices(const KEXTriangleMeshBuffer& b) { return {b.vertexList.begin(), b.vertexList.end()}; }
std::vector<Tri> triangles(const KEXTriangleMeshBuffer& b) { return {b.triangleList.begin(), b.triangleList.end()}; }

KEXTriangleMeshBuffer makeTetrahedron()
{
  return makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}});
}

KEXTriangleMeshBuffer makeCube()
{
  return makeBuffer({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}},
                    {{0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4},
                     {1, 2, 6}, {1, 6, 5}, {2, 3, 7}, {2, 7, 6}, {3, 0, 4}, {3, 4, 7}});
}

KEXTriangleMeshBuffer makeGrid(int nx, int ny)
{
  std::vector<Vec3> v;
  std::vector<Tri> t;
  for (int j = 0; j <= ny; ++j)
    for (int i = 0; i <= nx; ++i)
      v.push_back(Vec3(float(i), float(j), 0.0f));
  auto id = [nx](int i, int j) { return j * (nx + 1) + i; };
  for (int j = 0; j < ny; ++j)
    for (int i = 0; i < nx; ++i) {
      t.push_back(Tri(id(i, j), id(i + 1, j), id(i + 1, j + 1)));
      t.push_back(Tri(id(i, j), id(i + 1, j + 1), id(i, j + 1)));
    }
  return makeBuffer(v, t);
}

KEXTriangleMeshBuffer makeIcosphere(int subdivisions, Vec3 center, float radius)
{
  const double p = (1.0 + std::sqrt(5.0)) / 2.0;
  std::vector<KEXVector3<double>> v = {{-1, p, 0}, {1, p, 0}, {-1, -p, 0}, {1, -p, 0}, {0, -1, p}, {0, 1, p},
                                       {0, -1, -p}, {0, 1, -p}, {p, 0, -1}, {p, 0, 1}, {-p, 0, -1}, {-p, 0, 1}};
  std::vector<Tri> t = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
                        {11, 10, 2}, {10, 7, 6}, {7, 1, 8},  {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
                        {3, 8, 9},  {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
  for (auto& x : v)
    x = x * (1.0 / std::sqrt(x.squaredLength()));
  for (int s = 0; s < subdivisions; ++s) {
    std::map<std::pair<int, int>, int> mid;
    auto midpoint = [&](int a, int b) {
      auto key = std::minmax(a, b);
      auto it = mid.find(key);
      if (it != mid.end())
        return it->second;
      KEXVector3<double> m = (v[size_t(a)] + v[size_t(b)]) * 0.5;
      m = m * (1.0 / std::sqrt(m.squaredLength()));
      v.push_back(m);
      mid[key] = int(v.size()) - 1;
      return int(v.size()) - 1;
    };
    std::vector<Tri> next;
    for (const Tri& f : t) {
      int a = midpoint(f[0], f[1]), b = midpoint(f[1], f[2]), c = midpoint(f[2], f[0]);
      next.push_back(Tri(f[0], a, c));
      next.push_back(Tri(f[1], b, a));
      next.push_back(Tri(f[2], c, b));
      next.push_back(Tri(a, b, c));
    }
    t.swap(next);
  }
  std::vector<Vec3> vf;
  for (const auto& x : v)
    vf.push_back(Vec3(float(center.x + radius * x.x), float(center.y + radius * x.y), float(center.z + radius * x.z)));
  return makeBuffer(vf, t);
}

KEXTriangleMeshBuffer makeTorus(int nu, int nv, float R, float r)
{
  std::vector<Vec3> v;
  std::vector<Tri> t;
  const double pi = std::numbers::pi;
  for (int i = 0; i < nu; ++i)
    for (int j = 0; j < nv; ++j) {
      double u = 2 * pi * i / nu, w = 2 * pi * j / nv;
      v.push_back(Vec3(float((R + r * std::cos(w)) * std::cos(u)), float((R + r * std::cos(w)) * std::sin(u)),
                       float(r * std::sin(w))));
    }
  auto id = [nu, nv](int i, int j) { return ((i + nu) % nu) * nv + (j + nv) % nv; };
  for (int i = 0; i < nu; ++i)
    for (int j = 0; j < nv; ++j) {
      t.push_back(Tri(id(i, j), id(i + 1, j), id(i + 1, j + 1)));
      t.push_back(Tri(id(i, j), id(i + 1, j + 1), id(i, j + 1)));
    }
  return makeBuffer(v, t);
}

KEXTriangleMeshBuffer makeSphere(int rings, int sectors)
{
  std::vector<Vec3> v;
  std::vector<Tri> t;
  const double pi = std::numbers::pi;
  v.push_back(Vec3(0, 0, 1));
  for (int r = 1; r < rings; ++r)
    for (int s = 0; s < sectors; ++s) {
      double th = pi * r / rings, ph = 2 * pi * s / sectors;
      v.push_back(Vec3(float(std::sin(th) * std::cos(ph)), float(std::sin(th) * std::sin(ph)), float(std::cos(th))));
    }
  v.push_back(Vec3(0, 0, -1));
  int south = int(v.size()) - 1;
  auto id = [sectors](int r, int s) { return 1 + (r - 1) * sectors + (s % sectors); };
  for (int s = 0; s < sectors; ++s)
    t.push_back(Tri(0, id(1, s), id(1, s + 1)));
  for (int r = 1; r < rings - 1; ++r)
    for (int s = 0; s < sectors; ++s) {
      t.push_back(Tri(id(r, s), id(r + 1, s), id(r + 1, s + 1)));
      t.push_back(Tri(id(r, s), id(r + 1, s + 1), id(r, s + 1)));
    }
  for (int s = 0; s < sectors; ++s)
    t.push_back(Tri(id(rings - 1, s), south, id(rings - 1, s + 1)));
  return makeBuffer(v, t);
}

KEXTriangleMeshBuffer makeHemisphere(int rings, int sectors)
{
  const KEXTriangleMeshBuffer sphere = makeSphere(2 * rings, sectors);
  std::vector<bool> lower;
  for (const Tri& f : sphere.triangleList)
    lower.push_back(sphere.vertexList[f[0]].z + sphere.vertexList[f[1]].z + sphere.vertexList[f[2]].z < 0.0f);
  return withoutTriangles(sphere, lower);
}

KEXTriangleMeshBuffer withoutTriangles(const KEXTriangleMeshBuffer& mesh, const std::vector<bool>& remove)
{
  std::vector<Tri> kept;
  for (int t = 0; t < mesh.getTriangleCount(); ++t)
    if (!remove[size_t(t)])
      kept.push_back(mesh.triangleList[t]);
  return makeBuffer(vertices(mesh), kept);
}

KEXTriangleMeshBuffer toSoup(const KEXTriangleMeshBuffer& mesh)
{
  std::vector<Vec3> v;
  std::vector<Tri> t;
  for (const Tri& f : mesh.triangleList) {
    t.push_back(Tri(int(v.size()), int(v.size()) + 1, int(v.size()) + 2));
    v.insert(v.end(), {mesh.vertexList[f[0]], mesh.vertexList[f[1]], mesh.vertexList[f[2]]});
  }
  return makeBuffer(v, t);
}

void shuffleTriangles(KEXTriangleMeshBuffer& b, std::mt19937& rng)
{
  std::shuffle(b.triangleList.begin(), b.triangleList.end(), rng);
}

int flipRandomTriangles(KEXTriangleMeshBuffer& b, double p, std::mt19937& rng)
{
  std::bernoulli_distribution coin(p);
  int n = 0;
  for (Tri& f : b.triangleList)
    if (coin(rng)) {
      std::swap(f[1], f[2]);
      ++n;
    }
  return n;
}

void append(KEXTriangleMeshBuffer& a, const KEXTriangleMeshBuffer& b)
{
  int base = a.vertexList.getCount();
  for (const Vec3& p : b.vertexList)
    a.vertexList.append(p);
  for (const Tri& f : b.triangleList)
    a.triangleList.append(Tri(f[0] + base, f[1] + base, f[2] + base));
}

KEXTriangleMeshBuffer makeRandomMesh(std::mt19937& rng, const RandomMeshOptions& o)
{
  std::uniform_real_distribution<float> coord(-1.0f, 1.0f);
  std::uniform_int_distribution<int> vid(0, std::max(0, o.vertices - 1));
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<Vec3> v;
  for (int i = 0; i < o.vertices; ++i)
    v.push_back(Vec3(coord(rng), coord(rng), coord(rng)));
  std::vector<Tri> t;
  while (int(t.size()) < o.triangles) {
    if (!t.empty() && u(rng) < o.duplicateRate) {
      Tri f = t[size_t(rng() % t.size())];
      if (u(rng) < 0.5)
        std::swap(f[1], f[2]); // duplicate with the other orientation
      t.push_back(f);
      continue;
    }
    Tri f(vid(rng), vid(rng), vid(rng));
    if (u(rng) >= o.repeatedIndexRate)
      while (f[1] == f[0] || f[2] == f[0] || f[2] == f[1]) {
        if (o.vertices < 3)
          break;
        f = Tri(vid(rng), vid(rng), vid(rng));
      }
    if (u(rng) < o.invalidIndexRate)
      f[int(rng() % 3)] = (rng() % 2) ? -1 : o.vertices;
    t.push_back(f);
  }
  return makeBuffer(v, t);
}

double signedVolume(const KEXTriangleMeshBuffer& b) { return signedVolumeOf(b, 0, b.getVertexCount()); }

KEXTriangleMeshBuffer makeCone(int n, float height)
{
  const double pi = std::numbers::pi;
  std::vector<Vec3> v = {Vec3(0, 0, height)};
  std::vector<Tri> t;
  for (int i = 0; i < n; ++i)
    v.push_back(Vec3(float(std::cos(2 * pi * i / n)), float(std::sin(2 * pi * i / n)), 0.0f));
  v.push_back(Vec3(0, 0, 0));
  for (int i = 0; i < n; ++i) {
    const int r0 = 1 + i, r1 = 1 + (i + 1) % n;
    t.push_back(Tri(0, r0, r1));
    t.push_back(Tri(n + 1, r1, r0));
  }
  return makeBuffer(v, t);
}

double pointTriangleDistance(const KEXVector3<double>& p, const KEXVector3<double>& a, const KEXVector3<double>& b,
                             const KEXVector3<double>& c)
{
  using D = KEXVector3<double>;
  auto segment = [&p](const D& s, const D& e) {
    const D se = e - s;
    const double ll = se.squaredLength();
    const double f = ll > 0.0 ? std::clamp((p - s).dot(se) / ll, 0.0, 1.0) : 0.0;
    return std::sqrt((p - (s + se * f)).squaredLength());
  };
  double best = std::min(segment(a, b), std::min(segment(b, c), segment(c, a)));
  const D n = (b - a).cross(c - a);
  const double nn = n.squaredLength();
  if (nn > 0.0) {
    // The foot point in the plane, if it lies inside the triangle.
    const D q = p - n * ((p - a).dot(n) / nn);
    if ((b - a).cross(q - a).dot(n) >= 0.0 && (c - b).cross(q - b).dot(n) >= 0.0 && (a - c).cross(q - c).dot(n) >= 0.0)
      best = std::min(best, std::sqrt((p - q).squaredLength()));
  }
  return best;
}

double farthestVertexDistance(const KEXTriangleMeshBuffer& from, const KEXTriangleMeshBuffer& to)
{
  using D = KEXVector3<double>;
  std::vector<bool> used(size_t(from.getVertexCount()), false);
  for (const Tri& f : from.triangleList)
    for (int k = 0; k < 3; ++k)
      used[size_t(f[k])] = true;
  double worst = 0.0;
  for (int v = 0; v < from.getVertexCount(); ++v) {
    if (!used[size_t(v)])
      continue;
    double best = INFINITY;
    for (const Tri& f : to.triangleList) {
      best = std::min(best, pointTriangleDistance(D(from.vertexList[v]), D(to.vertexList[f[0]]), D(to.vertexList[f[1]]),
                                                  D(to.vertexList[f[2]])));
      if (best == 0.0)
        break;
    }
    worst = std::max(worst, best);
  }
  return worst;
}

KEXTriangleMeshBuffer jittered(KEXTriangleMeshBuffer b, std::mt19937& rng, float amount)
{
  std::uniform_real_distribution<float> u(-amount, amount);
  for (Vec3& p : b.vertexList)
    p += Vec3(u(rng), u(rng), u(rng));
  return b;
}

KEXTriangleMeshBuffer jitteredRoof(std::mt19937& rng, int nx, int ny, float roof)
{
  KEXTriangleMeshBuffer b = makeGrid(nx, ny);
  std::uniform_real_distribution<float> j(-0.45f, 0.45f);
  const float ridge = float(nx / 2);
  for (int v = 0; v < b.getVertexCount(); ++v) {
    Vec3& p = b.vertexList[v];
    const bool border = p.x == 0 || p.y == 0 || p.x == float(nx) || p.y == float(ny);
    if (!border) {
      if (p.x != ridge)
        p.x += j(rng);
      p.y += j(rng);
    }
    p.z = roof * std::fabs(p.x - ridge);
  }
  return b;
}

KEXTriangleMeshBuffer withoutStars(const KEXTriangleMeshBuffer& mesh, const std::set<int>& centres)
{
  std::vector<bool> remove(size_t(mesh.getTriangleCount()), false);
  for (int t = 0; t < mesh.getTriangleCount(); ++t)
    for (int k = 0; k < 3; ++k)
      remove[size_t(t)] = remove[size_t(t)] || centres.count(mesh.triangleList[t][k]) > 0;
  return withoutTriangles(mesh, remove);
}

void saltSliver(KEXTriangleMeshBuffer& b, int t)
{
  const KEXTriangle<int> tri = b.triangleList[t];
  const int u = tri[0], w = tri[1], x = tri[2], m = b.getVertexCount();
  b.vertexList.append((b.vertexList[u] + b.vertexList[w]) * 0.5f);
  b.triangleList[t] = KEXTriangle<int>(u, m, x);
  b.triangleList.append(KEXTriangle<int>(m, w, x));
  b.triangleList.append(KEXTriangle<int>(u, w, m));
}

void saltCoincident(KEXTriangleMeshBuffer& b, int t)
{
  KEXTriangle<int> tri = b.triangleList[t];
  const int m = b.getVertexCount();
  b.vertexList.append(b.vertexList[tri[0]]);
  b.triangleList[t] = KEXTriangle<int>(tri[0], tri[1], m);
  b.triangleList.append(KEXTriangle<int>(tri[1], tri[2], m));
  b.triangleList.append(KEXTriangle<int>(tri[2], tri[0], m));
}

} // namespace kexmeshtest
