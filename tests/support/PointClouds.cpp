#include "support/PointClouds.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace kexmeshtest {

namespace {

using V3 = KEXVector3<float>;

bool sameBitsOf(const V3& a, const V3& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool finite(const V3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// One pass of the rule, decided in index order, on the points still alive; returns how many went.
int referencePass(const std::vector<V3>& pos, const std::vector<V3>& nrm, std::vector<int>& alive, const double w[3],
                  const ReductionParameters& p)
{
  const size_t n = alive.size();
  std::vector<char> keep(n, 1);
  const V3& m = p.meanSamplingDistance;
  const double r = 0.5 * std::cbrt(w[0] * w[1] * w[2]), r2 = r * r, b = std::cbrt(double(m.x) * m.y * m.z), f = 0.09 * b * b;
  const float half[3] = {float(w[0]) * 0.5f, float(w[1]) * 0.5f, float(w[2]) * 0.5f};
  struct Candidate {
    double d[3], d2;
    bool valid;
  };
  for (size_t a = 0; a < n; ++a) {
    const V3 &q = pos[size_t(alive[a])], &qn = nrm[size_t(alive[a])];
    keep[a] = 0;
    std::vector<Candidate> candidates;
    for (size_t c = 0; c < n && finite(q); ++c) {
      const V3& o = pos[size_t(alive[c])];
      bool inBox = c != a && keep[c] && finite(o);
      for (int k = 0; k < 3; ++k)
        inBox = inBox && o[k] >= q[k] - half[k] && o[k] <= q[k] + half[k];
      const double d[3] = {double(o.x) - q.x, double(o.y) - q.y, double(o.z) - q.z}, d2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
      if (!inBox || !(d2 <= r2))
        continue;
      const V3& k = nrm[size_t(alive[c])];
      const double dot = double(qn.x) * k.x + double(qn.y) * k.y + double(qn.z) * k.z;
      candidates.push_back({{d[0], d[1], d[2]}, d2,
                            dot >= p.minNormalScalarProduct && std::fabs(d[0] * qn.x + d[1] * qn.y + d[2] * qn.z) <= p.tolerance &&
                                std::fabs(d[0] * k.x + d[1] * k.y + d[2] * k.z) <= p.tolerance});
    }
    // The nearest incompatible neighbour limits the compatible ones taken into the weighted mean.
    double limit = r2, s[3] = {0, 0, 0}, g = 0;
    for (const Candidate& c : candidates)
      if (!c.valid && c.d2 < limit)
        limit = c.d2;
    int count = 0;
    for (const Candidate& c : candidates)
      if (c.valid && c.d2 <= limit) {
        for (int k = 0; k < 3; ++k)
          s[k] += c.d[k] * (r2 - c.d2);
        g += r2 - c.d2;
        ++count;
      }
    keep[a] = (count >= 2 && g * g * f > s[0] * s[0] + s[1] * s[1] + s[2] * s[2]) ? 0 : 1;
  }
  std::vector<int> next;
  for (size_t a = 0; a < n; ++a)
    if (keep[a])
      next.push_back(alive[a]);
  alive.swap(next);
  return int(next.size() - alive.size());
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
        b.vertexList.append(side == 0 ? V3(float(-s), float(t), 0.0f) : V3(float(s * std::cos(a)), float(t), float(s * std::sin(a))));
        b.vertexNormalList.append(side == 0 ? V3(0.0f, 0.0f, 1.0f) : V3(float(-std::sin(a)), 0.0f, float(std::cos(a))));
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
    b.vertexList.append(V3(float((R + r * std::cos(t)) * std::cos(s)), float((R + r * std::cos(t)) * std::sin(s)), float(r * nz)));
    b.vertexNormalList.append(V3(float(nx), float(ny), float(nz)));
  }
  return b;
}

KEXTriangleMeshBuffer cloudOfMesh(const KEXTriangleMeshBuffer& mesh)
{
  KEXTriangleMeshBuffer b(mesh), cloud;
  if (!b.hasVertexNormalList())
    b.calculateVertexNormals();
  cloud.vertexList = b.vertexList;
  cloud.vertexNormalList = b.vertexNormalList;
  return cloud;
}

KEXTriangleMeshBuffer cloudOf(const std::vector<V3>& points)
{
  KEXTriangleMeshBuffer b;
  for (const V3& p : points)
    b.vertexList.append(p), b.vertexNormalList.append(V3(0, 0, 1));
  return b;
}

void tagPoints(KEXTriangleMeshBuffer& b)
{
  b.vertexColorList.clear(), b.vertexScalarList.clear(), b.vertexEdgeFlagList.clear(), b.textureCoordinateList.clear();
  for (int v = 0; v < b.getVertexCount(); ++v) {
    b.vertexColorList.append(KEXRGBA<float>(float(v), float(v % 7), 0.5f, 1.0f));
    b.vertexScalarList.append(float(v));
    b.vertexEdgeFlagList.append(char(v % 3));
    b.textureCoordinateList.append(KEXVector2<float>(float(v), -float(v)));
  }
}

const SpoiledNormals spoiledNormals[4] = {
    {"no normals", [](KEXTriangleMeshBuffer& b) { b.vertexNormalList.clear(); }, "Triangle mesh reconstruction requires a vertex normal list"},
    {"fewer normals than points", [](KEXTriangleMeshBuffer& b) { b.vertexNormalList.setCount(b.getVertexCount() - 1); },
     "Triangle mesh reconstruction requires a vertex normal list"},
    {"a normal of no length", [](KEXTriangleMeshBuffer& b) { b.vertexNormalList[17] = V3(0, 0, 0); }, "Invalid vertex normal found"},
    {"a normal not a number", [](KEXTriangleMeshBuffer& b) { b.vertexNormalList[9].y = std::nanf(""); }, "Invalid vertex normal found"},
};

std::vector<int> referenceReduction(const KEXTriangleMeshBuffer& cloud, const ReductionParameters& p)
{
  std::vector<int> alive;
  for (int v = 0; v < cloud.getVertexCount(); ++v)
    alive.push_back(v);
  if (!(p.tolerance > 0.0f) || alive.empty())
    return alive;
  const std::vector<V3> pos(cloud.vertexList.begin(), cloud.vertexList.end()), nrm(cloud.vertexNormalList.begin(), cloud.vertexNormalList.end());
  double base[3];
  for (int k = 0; k < 3; ++k) {
    const double m = p.meanSamplingDistance[k];
    base[k] = std::min(std::max(2.0 * m + 3.0 * double(p.tolerance), 2.5 * m), 5.0 * m);
  }
  // Three window sizes, each repeated while a pass still removes more than one in a hundred.
  const double scale[3] = {0.5, 0.5 * std::sqrt(2.0), 1.0};
  for (int pass = 0; pass < 3;) {
    const double w[3] = {double(float(base[0] * scale[pass])), double(float(base[1] * scale[pass])), double(float(base[2] * scale[pass]))};
    if (referencePass(pos, nrm, alive, w, p) <= int(alive.size()) / 100)
      ++pass;
  }
  return alive;
}

std::vector<int> subsequenceIndices(const KEXTriangleMeshBuffer& reduced, const KEXTriangleMeshBuffer& input)
{
  std::vector<int> out;
  const bool normals = reduced.hasVertexNormalList();
  for (int i = 0, j = 0; i < reduced.getVertexCount(); ++i, ++j) {
    while (j < input.getVertexCount() && !(sameBitsOf(reduced.vertexList[i], input.vertexList[j]) &&
                                           (!normals || sameBitsOf(reduced.vertexNormalList[i], input.vertexNormalList[j]))))
      ++j;
    if (j == input.getVertexCount())
      return {};
    out.push_back(j);
  }
  return out;
}

} // namespace kexmeshtest
