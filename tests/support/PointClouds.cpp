#include "support/PointClouds.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace kexmeshtest {

namespace {

using V3 = KEXVector3<float>;

bool sameBitsOf(const V3& a, const V3& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// One pass of the rule, decided in index order, on the points still alive.
int referencePass(const std::vector<V3>& pos, const std::vector<V3>& nrm, std::vector<int>& alive,
                  const double w[3], const ReductionParameters& p)
{
  const int n = int(alive.size());
  std::vector<char> keep(size_t(n), 1);
  const double r = 0.5 * std::cbrt(w[0] * w[1] * w[2]);
  const double r2 = r * r;
  const double b = std::cbrt(double(p.meanSamplingDistance.x) * p.meanSamplingDistance.y * p.meanSamplingDistance.z);
  const double f = 0.09 * b * b;
  const float half[3] = {float(w[0]) * 0.5f, float(w[1]) * 0.5f, float(w[2]) * 0.5f};
  auto finite = [](const V3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); };
  for (int a = 0; a < n; ++a) {
    const V3& q = pos[size_t(alive[size_t(a)])];
    const V3& m = nrm[size_t(alive[size_t(a)])];
    keep[size_t(a)] = 0;
    struct Cand {
      double dx, dy, dz, d2;
      bool valid;
    };
    std::vector<Cand> cands;
    for (int c = 0; c < n && finite(q); ++c) {
      const V3& o = pos[size_t(alive[size_t(c)])];
      if (c == a || !keep[size_t(c)] || !finite(o))
        continue;
      if (!(o.x >= q.x - half[0] && o.x <= q.x + half[0] && o.y >= q.y - half[1] && o.y <= q.y + half[1] &&
            o.z >= q.z - half[2] && o.z <= q.z + half[2]))
        continue;
      const double dx = double(o.x) - q.x, dy = double(o.y) - q.y, dz = double(o.z) - q.z;
      const double d2 = dx * dx + dy * dy + dz * dz;
      if (!(d2 <= r2))
        continue;
      const V3& k = nrm[size_t(alive[size_t(c)])];
      const double dot = double(m.x) * k.x + double(m.y) * k.y + double(m.z) * k.z;
      const bool valid = dot >= p.minNormalScalarProduct && std::fabs(dx * m.x + dy * m.y + dz * m.z) <= p.tolerance &&
                         std::fabs(dx * k.x + dy * k.y + dz * k.z) <= p.tolerance;
      cands.push_back({dx, dy, dz, d2, valid});
    }
    double limit = r2;
    for (const Cand& c : cands)
      if (!c.valid && c.d2 < limit)
        limit = c.d2;
    double sx = 0, sy = 0, sz = 0, g = 0;
    int count = 0;
    for (const Cand& c : cands)
      if (c.valid && c.d2 <= limit) {
        const double wt = r2 - c.d2;
        sx += c.dx * wt;
        sy += c.dy * wt;
        sz += c.dz * wt;
        g += wt;
        ++count;
      }
    keep[size_t(a)] = (count >= 2 && g * g * f > sx * sx + sy * sy + sz * sz) ? 0 : 1;
  }
  std::vector<int> next;
  for (int a = 0; a < n; ++a)
    if (keep[size_t(a)])
      next.push_back(alive[size_t(a)]);
  const int removed = n - int(next.size());
  alive.swap(next);
  return removed;
}

} // namespace

KEXTriangleMeshBuffer makeJitteredPlaneCloud(std::mt19937& rng, int nx, int ny, float h, float jitter)
{
  std::uniform_real_distribution<float> u(-jitter * h, jitter * h);
  KEXTriangleMeshBuffer b;
  for (int y = 0; y < ny; ++y)
    for (int x = 0; x < nx; ++x) {
      b.vertexList.append(V3(float(x) * h + u(rng), float(y) * h + u(rng), 0.0f));
      b.vertexNormalList.append(V3(0.0f, 0.0f, 1.0f));
    }
  return b;
}

KEXTriangleMeshBuffer makeCreaseCloud(std::mt19937& rng, int n, float h, float jitter, double angleDegrees)
{
  // Plane A: x <= 0 (z = 0, normal +z); plane B: x >= 0 turned about the ridge (the y axis).
  const double a = angleDegrees * std::numbers::pi / 180.0;
  std::uniform_real_distribution<float> u(-jitter * h, jitter * h);
  KEXTriangleMeshBuffer b;
  for (int side = 0; side < 2; ++side)
    for (int y = 0; y < n; ++y)
      for (int x = 0; x < n; ++x) {
        const double s = (double(x) + 0.5) * h + u(rng), t = double(y) * h + u(rng);
        if (side == 0) {
          b.vertexList.append(V3(float(-s), float(t), 0.0f));
          b.vertexNormalList.append(V3(0.0f, 0.0f, 1.0f));
        } else {
          b.vertexList.append(V3(float(s * std::cos(a)), float(t), float(s * std::sin(a))));
          b.vertexNormalList.append(V3(float(-std::sin(a)), 0.0f, float(std::cos(a))));
        }
      }
  return b;
}

KEXTriangleMeshBuffer makeSphereCloud(std::mt19937& rng, int count, double noiseDegrees)
{
  std::normal_distribution<double> g(0.0, 1.0);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  KEXTriangleMeshBuffer b;
  const double noise = std::tan(noiseDegrees * std::numbers::pi / 180.0);
  for (int i = 0; i < count; ++i) {
    double x = g(rng), y = g(rng), z = g(rng);
    const double l = std::sqrt(x * x + y * y + z * z);
    x /= l, y /= l, z /= l;
    double nx = x + noise * u(rng) * g(rng), ny = y + noise * u(rng) * g(rng), nz = z + noise * u(rng) * g(rng);
    const double nl = std::sqrt(nx * nx + ny * ny + nz * nz);
    b.vertexList.append(V3(float(x), float(y), float(z)));
    b.vertexNormalList.append(V3(float(nx / nl), float(ny / nl), float(nz / nl)));
  }
  return b;
}

void tagPoints(KEXTriangleMeshBuffer& b)
{
  const int V = b.getVertexCount();
  b.vertexColorList.clear();
  b.vertexScalarList.clear();
  b.vertexEdgeFlagList.clear();
  b.textureCoordinateList.clear();
  for (int v = 0; v < V; ++v) {
    b.vertexColorList.append(KEXRGBA<float>(float(v), float(v % 7), 0.5f, 1.0f));
    b.vertexScalarList.append(float(v));
    b.vertexEdgeFlagList.append(char(v % 3));
    b.textureCoordinateList.append(KEXVector2<float>(float(v), -float(v)));
  }
}

std::vector<int> referenceReduction(const KEXTriangleMeshBuffer& cloud, const ReductionParameters& p)
{
  const int V = cloud.getVertexCount();
  std::vector<int> alive;
  for (int v = 0; v < V; ++v)
    alive.push_back(v);
  if (!(p.tolerance > 0.0f) || V == 0)
    return alive;
  std::vector<V3> pos(cloud.vertexList.begin(), cloud.vertexList.end());
  std::vector<V3> nrm(cloud.vertexNormalList.begin(), cloud.vertexNormalList.end());
  double base[3];
  for (int k = 0; k < 3; ++k) {
    const double m = p.meanSamplingDistance[k];
    base[k] = std::min(std::max(2.0 * m + 3.0 * double(p.tolerance), 2.5 * m), 5.0 * m);
  }
  const double scale[3] = {0.5, 0.5 * std::sqrt(2.0), 1.0};
  for (int pass = 0; pass < 3;) {
    const double w[3] = {double(float(base[0] * scale[pass])), double(float(base[1] * scale[pass])),
                         double(float(base[2] * scale[pass]))};
    const int removed = referencePass(pos, nrm, alive, w, p);
    if (removed <= int(alive.size()) / 100)
      ++pass;
  }
  return alive;
}

std::vector<int> subsequenceIndices(const KEXTriangleMeshBuffer& reduced, const KEXTriangleMeshBuffer& input)
{
  std::vector<int> out;
  int j = 0;
  const bool normals = reduced.hasVertexNormalList();
  for (int i = 0; i < reduced.getVertexCount(); ++i) {
    while (j < input.getVertexCount() &&
           !(sameBitsOf(reduced.vertexList[i], input.vertexList[j]) &&
             (!normals || sameBitsOf(reduced.vertexNormalList[i], input.vertexNormalList[j]))))
      ++j;
    if (j == input.getVertexCount())
      return {};
    out.push_back(j++);
  }
  return out;
}

} // namespace kexmeshtest

namespace kexmeshtest {

KEXTriangleMeshBuffer makeTorusCloud(std::mt19937& rng, int count, double R, double r)
{
  std::uniform_real_distribution<double> u(0.0, 2.0 * std::numbers::pi), accept(0.0, 1.0);
  KEXTriangleMeshBuffer b;
  while (b.getVertexCount() < count) {
    const double s = u(rng), t = u(rng);
    // The area element grows with the distance from the axis: keep points in proportion to it.
    if (accept(rng) * (R + r) > R + r * std::cos(t))
      continue;
    const double nx = std::cos(t) * std::cos(s), ny = std::cos(t) * std::sin(s), nz = std::sin(t);
    b.vertexList.append(V3(float((R + r * std::cos(t)) * std::cos(s)), float((R + r * std::cos(t)) * std::sin(s)),
                           float(r * nz)));
    b.vertexNormalList.append(V3(float(nx), float(ny), float(nz)));
  }
  return b;
}

KEXTriangleMeshBuffer cloudOfMesh(const KEXTriangleMeshBuffer& mesh)
{
  KEXTriangleMeshBuffer b(mesh);
  if (!b.hasVertexNormalList())
    b.calculateVertexNormals();
  KEXTriangleMeshBuffer cloud;
  cloud.vertexList = b.vertexList;
  cloud.vertexNormalList = b.vertexNormalList;
  return cloud;
}

} // namespace kexmeshtest
