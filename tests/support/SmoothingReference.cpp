#include "support/SmoothingReference.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <set>

namespace kexmeshtest {

namespace {

using Vec3f = KEXVector3<float>;

struct ReferenceFan {
  std::vector<int> neighbours;
  bool closed = false;
};

bool twoOpposite(const std::map<std::pair<int, int>, int>& count, int a, int w)
{
  const auto ab = count.find({a, w}), ba = count.find({w, a});
  return ab != count.end() && ab->second == 1 && ba != count.end() && ba->second == 1;
}

// Per vertex its triangles in ascending order (the first holds the vertex's smallest corner).
std::vector<std::vector<int>> trianglesOfVertices(const KEXTriangleMeshBuffer& b)
{
  std::vector<std::vector<int>> of(size_t(b.getVertexCount()));
  for (int t = 0; t < b.getTriangleCount(); ++t)
    for (int k = 0; k < 3; ++k) {
      const int v = b.triangleList[t][k];
      if (b.isValidVertex(v) && (of[size_t(v)].empty() || of[size_t(v)].back() != t))
        of[size_t(v)].push_back(t);
    }
  return of;
}

ReferenceFan fanOf(const KEXTriangleMeshBuffer& b, int i, const std::map<std::pair<int, int>, int>& count,
                   const std::vector<int>& fan)
{
  ReferenceFan r;
  if (fan.empty())
    return r;
  // Grow the group from the first triangle through good edges at i.
  std::vector<bool> in(fan.size(), false);
  in[0] = true;
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t a = 0; a < fan.size(); ++a)
      for (size_t c = 0; c < fan.size(); ++c) {
        if (!in[a] || in[c])
          continue;
        for (int k = 0; k < 3; ++k) {
          const int w = b.triangleList[fan[a]][k];
          if (w == i || !twoOpposite(count, i, w))
            continue;
          const KEXTriangle<int>& o = b.triangleList[fan[c]];
          if (o[0] == w || o[1] == w || o[2] == w) {
            in[c] = grew = true;
            break;
          }
        }
      }
  }
  std::set<int> neighbours;
  r.closed = true;
  for (size_t a = 0; a < fan.size(); ++a) {
    if (!in[a])
      continue;
    for (int k = 0; k < 3; ++k) {
      const int w = b.triangleList[fan[a]][k];
      if (w == i)
        continue;
      neighbours.insert(w);
      r.closed = r.closed && twoOpposite(count, i, w);
    }
  }
  r.neighbours.assign(neighbours.begin(), neighbours.end());
  return r;
}

// The fans of all vertices.
std::vector<ReferenceFan> allFans(const KEXTriangleMeshBuffer& b)
{
  const auto count = halfEdges(b);
  const auto of = trianglesOfVertices(b);
  std::vector<ReferenceFan> fans;
  for (int i = 0; i < b.getVertexCount(); ++i)
    fans.push_back(fanOf(b, i, count, of[size_t(i)]));
  return fans;
}

} // namespace

std::vector<Vec3f> referenceLaplace(const KEXTriangleMeshBuffer& b)
{
  std::vector<Vec3f> out = vertices(b);
  const std::vector<ReferenceFan> fans = allFans(b);
  for (int i = 0; i < b.getVertexCount(); ++i) {
    const ReferenceFan& fan = fans[size_t(i)];
    if (!fan.closed || fan.neighbours.empty())
      continue;
    double s[3] = {0, 0, 0};
    for (int w : fan.neighbours)
      for (int a = 0; a < 3; ++a)
        s[a] += b.vertexList[w][a];
    const double n = double(fan.neighbours.size());
    out[i] = Vec3f(float(s[0] / n), float(s[1] / n), float(s[2] / n));
  }
  return out;
}

std::vector<Vec3f> referenceArc(const KEXTriangleMeshBuffer& b, const std::vector<Vec3f>& normals)
{
  std::vector<Vec3f> out = vertices(b);
  const std::vector<ReferenceFan> fans = allFans(b);
  for (int i = 0; i < b.getVertexCount(); ++i) {
    const ReferenceFan& fan = fans[size_t(i)];
    if (fan.neighbours.empty())
      continue;
    const KEXVector3<double> P(b.vertexList[i]), n(normals[size_t(i)]);
    double sum = 0.0;
    for (int w : fan.neighbours) {
      const KEXVector3<double> Q(b.vertexList[w]), m(normals[size_t(w)]);
      const KEXVector3<double> d(Q.x - P.x, Q.y - P.y, Q.z - P.z);
      const double length = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
      const float gamma = float((std::numbers::pi - std::acos(n.x * m.x + n.y * m.y + n.z * m.z)) / 2);
      const float beta = float(std::acos((d.x * m.x + d.y * m.y + d.z * m.z) / length));
      const float h = float(length * std::sin(double(beta) - gamma) / std::sin(double(gamma)));
      sum += std::isfinite(h) ? h : 0.0;
    }
    const double f = sum / (2.0 * double(fan.neighbours.size()));
    out[i] = Vec3f(float(P.x - f * n.x), float(P.y - f * n.y), float(P.z - f * n.z));
  }
  return out;
}

std::vector<Vec3f> unitVertexNormals(const KEXTriangleMeshBuffer& b)
{
  KEXTriangleMeshBuffer c(b);
  c.calculateVertexNormals();
  for (int v = 0; v < c.getVertexCount(); ++v)
    if (c.vertexAdjacencyList[v].getCount() == 0)
      c.vertexNormalList[v] = Vec3f(0, 0, 1);
  c.harmonizeVertexNormals(1.0f);
  return {c.vertexNormalList.begin(), c.vertexNormalList.end()};
}

KEXTriangleMeshBuffer randomSurface(std::mt19937& rng, int index)
{
  KEXTriangleMeshBuffer b;
  switch (index % 3) {
  case 0: b = makeIcosphere(2 + index % 2); break;
  case 1: b = makeTorus(12 + index % 5, 8 + index % 4); break;
  default: b = makeGrid(6 + index % 7, 5 + index % 3); break;
  }
  b = jittered(b, rng, 0.03f);
  const int damage = (index / 3) % 4; // 0 intact, 1 holes, 2 flips, 3 holes, flips and unused vertices
  if (damage == 1 || damage == 3) {
    std::bernoulli_distribution drop(0.08);
    std::vector<bool> remove(size_t(b.getTriangleCount()));
    for (size_t t = 0; t < remove.size(); ++t)
      remove[t] = drop(rng);
    b = withoutTriangles(b, remove);
  }
  if (damage >= 2)
    flipRandomTriangles(b, 0.05, rng);
  if (damage == 3)
    for (int k = 0; k < 3; ++k)
      b.vertexList.append(Vec3f(float(k), 9.0f, 9.0f));
  shuffleTriangles(b, rng);
  return b;
}

void expectNearPositions(const KEXTriangleMeshBuffer& b, const std::vector<Vec3f>& expected, double tolerance)
{
  ASSERT_EQ(size_t(b.getVertexCount()), expected.size());
  for (int v = 0; v < b.getVertexCount(); ++v) {
    for (int a = 0; a < 3; ++a)
      EXPECT_NEAR(b.vertexList[v][a], expected[size_t(v)][a], tolerance) << "vertex " << v << " axis " << a;
  }
}

} // namespace kexmeshtest
