#include "support/Reference.h"
#include "support/Meshes.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <set>
#include <map>
#include <utility>

namespace kexmeshtest {

namespace {
int vertexOf(const KEXTriangleMeshBuffer& b, int c) { return b.triangleList[c / 3][c % 3]; }
int previousOf(int c) { return c % 3 == 0 ? c + 2 : c - 1; }
int nextOf(int c) { return c % 3 == 2 ? c - 2 : c + 1; }
using D = KEXVector3<double>;
D at(const KEXTriangleMeshBuffer& b, int v) { return D(b.vertexList[v]); }
bool valid(const KEXTriangleMeshBuffer& b, int v) { return v >= 0 && v < b.vertexList.getCount(); }
} // namespace

std::vector<std::vector<int>> referenceVertexAdjacency(const KEXTriangleMeshBuffer& b)
{
  std::vector<std::vector<int>> lists(size_t(b.vertexList.getCount()));
  for (int c = 0; c < 3 * b.triangleList.getCount(); ++c)
    if (valid(b, vertexOf(b, c)))
      lists[size_t(vertexOf(b, c))].push_back(c);
  return lists;
}

std::vector<int> referenceTriangleAdjacency(const KEXTriangleMeshBuffer& b)
{
  const int corners = 3 * b.triangleList.getCount();
  // Every corner under the unordered pair of its edge's vertices.
  std::map<std::pair<int, int>, std::vector<int>> edges;
  for (int c = 0; c < corners; ++c) {
    int a = vertexOf(b, c), s = vertexOf(b, previousOf(c));
    if (valid(b, a) && valid(b, s) && a != s)
      edges[std::minmax(a, s)].push_back(c);
  }
  std::vector<int> partner(size_t(corners), -1);
  for (const auto& [key, list] : edges)
    if (list.size() == 2) {
      partner[size_t(list[0])] = list[1];
      partner[size_t(list[1])] = list[0];
    }
  return partner;
}

bool referenceContainsTriangle(const KEXTriangleMeshBuffer& b, const KEXTriangle<int>& t)
{
  if (!valid(b, t[0]))
    return false;
  for (const KEXTriangle<int>& f : b.triangleList)
    for (int r = 0; r < 3; ++r) {
      int a = f[r], x = f[(r + 1) % 3], y = f[(r + 2) % 3];
      if (a == t[0] && ((x == t[1] && y == t[2]) || (x == t[2] && y == t[1])))
        return true;
    }
  return false;
}

::testing::AssertionResult vertexAdjacencyMatches(const KEXTriangleMeshBuffer& b)
{
  auto ref = referenceVertexAdjacency(b);
  if (b.vertexAdjacencyList.getCount() != int(ref.size()))
    return ::testing::AssertionFailure() << "vertex adjacency has " << b.vertexAdjacencyList.getCount()
                                         << " entries, expected " << ref.size();
  for (size_t v = 0; v < ref.size(); ++v) {
    const KEXCompactIndexArray& a = b.vertexAdjacencyList[int(v)];
    std::vector<int> got(a.begin(), a.end());
    if (got != ref[v])
      return ::testing::AssertionFailure() << "vertex " << v << ": got " << ::testing::PrintToString(got)
                                           << ", expected " << ::testing::PrintToString(ref[v]);
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult triangleAdjacencyMatches(const KEXTriangleMeshBuffer& b)
{
  auto ref = referenceTriangleAdjacency(b);
  if (b.triangleAdjacencyList.getCount() * 3 != int(ref.size()))
    return ::testing::AssertionFailure() << "triangle adjacency has " << b.triangleAdjacencyList.getCount()
                                         << " entries, expected " << ref.size() / 3;
  for (size_t c = 0; c < ref.size(); ++c)
    if (const int got = b.triangleAdjacencyList[int(c / 3)][int(c % 3)]; got != ref[c])
      return ::testing::AssertionFailure() << "corner " << c << ": partner " << got << ", expected " << ref[c];
  return ::testing::AssertionSuccess();
}

EdgeCorners edgeCorners(const KEXTriangleMeshBuffer& b)
{
  EdgeCorners edges;
  for (int c = 0; c < 3 * b.getTriangleCount(); ++c)
    edges[std::minmax(vertexOf(b, c), vertexOf(b, previousOf(c)))].push_back(c);
  return edges;
}

std::vector<int> referenceEdgeNumbers(const KEXTriangleMeshBuffer& b, const EdgeCorners& edges)
{
  const int corners = 3 * b.getTriangleCount();
  std::vector<int> edgeOf(size_t(corners), -1);
  int next = b.getVertexCount();
  for (int c = 0; c < corners; ++c) {
    const int a = vertexOf(b, previousOf(c)), e = vertexOf(b, c);
    const std::vector<int>& list = edges.at(std::minmax(a, e));
    if (list.size() != 2) {
      edgeOf[size_t(c)] = next++;
      continue;
    }
    const int other = list[0] == c ? list[1] : list[0];
    if (e < a || (e == a && c < other)) {
      edgeOf[size_t(c)] = edgeOf[size_t(other)] = next++;
    }
  }
  return edgeOf;
}

std::vector<KEXTriangle<int>> referenceSplit(const KEXTriangleMeshBuffer& b, const std::vector<int>& edgeOf)
{
  const int T = b.getTriangleCount();
  std::vector<KEXTriangle<int>> out(size_t(4 * T));
  for (int t = 0; t < T; ++t) {
    const KEXTriangle<int>& a = b.triangleList[t];
    const int e0 = edgeOf[size_t(3 * t)], e1 = edgeOf[size_t(3 * t + 1)], e2 = edgeOf[size_t(3 * t + 2)];
    out[size_t(t)] = KEXTriangle<int>(a[0], e1, e0);
    out[size_t(T + 3 * t)] = KEXTriangle<int>(e1, a[1], e2);
    out[size_t(T + 3 * t + 1)] = KEXTriangle<int>(e0, e2, a[2]);
    out[size_t(T + 3 * t + 2)] = KEXTriangle<int>(e2, e0, e1);
  }
  return out;
}

KEXTriangleMeshBuffer referenceLoop(const KEXTriangleMeshBuffer& b)
{
  const int V = b.getVertexCount();
  const EdgeCorners edges = edgeCorners(b);
  std::vector<std::set<int>> neighbours(static_cast<size_t>(V));
  std::vector<std::vector<int>> borderNeighbours(static_cast<size_t>(V));
  for (const auto& [key, list] : edges) {
    neighbours[size_t(key.first)].insert(key.second);
    neighbours[size_t(key.second)].insert(key.first);
    if (list.size() == 1) {
      borderNeighbours[size_t(key.first)].push_back(key.second);
      borderNeighbours[size_t(key.second)].push_back(key.first);
    }
  }
  auto onBorder = [&](int v) { return !borderNeighbours[size_t(v)].empty(); };
  auto gamma = [&](int v) {
    const double n = double(neighbours[size_t(v)].size());
    return 0.5 - 0.25 * std::cos(std::numbers::pi / (n - 1));
  };
  const std::vector<int> edgeOf = referenceEdgeNumbers(b, edges);
  int E = 0;
  for (int e : edgeOf)
    E = std::max(E, e + 1 - V);
  std::vector<D> out(size_t(V + E));
  for (int v = 0; v < V; ++v) {
    const auto& ring = neighbours[size_t(v)];
    const D p = at(b, v);
    if (ring.empty()) {
      out[size_t(v)] = p;
    } else if (onBorder(v)) {
      const auto& bn = borderNeighbours[size_t(v)];
      out[size_t(v)] = p * 0.75 + (at(b, bn[0]) + at(b, bn[1])) * 0.125;
    } else {
      const double n = double(ring.size());
      const double beta = n == 3 ? 0.1875 : n == 6 ? 0.0625 : 3.0 / (8.0 * n);
      D sum(0, 0, 0);
      for (int q : ring)
        sum += at(b, q);
      out[size_t(v)] = p * (1.0 - n * beta) + sum * beta;
    }
  }
  for (int c = 0; c < 3 * b.getTriangleCount(); ++c) {
    const int a = vertexOf(b, previousOf(c)), e = vertexOf(b, c);
    const std::vector<int>& list = edges.at(std::minmax(a, e));
    if (list.size() != 2) {
      out[size_t(edgeOf[size_t(c)])] = (at(b, a) + at(b, e)) * 0.5;
      continue;
    }
    const int other = list[0] == c ? list[1] : list[0];
    const D opposite = at(b, vertexOf(b, nextOf(c))) + at(b, vertexOf(b, nextOf(other)));
    double we = 0.375, wa = 0.375;
    if (const int sides = int(onBorder(a)) + int(onBorder(e))) {
      // One-sided rule from each border end, averaged when both are on the border.
      we = ((onBorder(e) ? 0.75 - gamma(e) : 0.0) + (onBorder(a) ? gamma(a) : 0.0)) / sides;
      wa = ((onBorder(a) ? 0.75 - gamma(a) : 0.0) + (onBorder(e) ? gamma(e) : 0.0)) / sides;
    }
    out[size_t(edgeOf[size_t(c)])] = at(b, e) * we + at(b, a) * wa + opposite * 0.125;
  }
  KEXTriangleMeshBuffer r;
  for (const D& p : out)
    r.vertexList.append(KEXVector3<float>(p));
  for (const KEXTriangle<int>& t : referenceSplit(b, edgeOf))
    r.triangleList.append(t);
  return r;
}

std::map<std::pair<int, int>, int> oppositeOfHalfEdge(const KEXTriangleMeshBuffer& b)
{
  std::map<std::pair<int, int>, int> m;
  for (const KEXTriangle<int>& t : b.triangleList)
    for (int k = 0; k < 3; ++k)
      m[{t[k], t[(k + 1) % 3]}] = t[(k + 2) % 3];
  return m;
}

KEXTriangleMeshBuffer randomManifoldMesh(std::mt19937& rng)
{
  KEXTriangleMeshBuffer b;
  switch (rng() % 8) {
  case 0: b = makeIcosphere(int(rng() % 3)); break;
  case 1: b = makeTorus(6 + int(rng() % 8), 4 + int(rng() % 6)); break;
  case 2: b = makeGrid(1 + int(rng() % 7), 1 + int(rng() % 6)); break;
  case 3: b = makeHemisphere(2 + int(rng() % 3), 5 + int(rng() % 8)); break;
  case 4: b = makeCone(3 + int(rng() % 9), 0.5f + float(rng() % 4)); break;
  case 5: {
    // Holes around vertices of the base icosahedron: four edges apart, so no two holes touch and
    // every vertex keeps a single fan.
    const int first = int(rng() % 12);
    b = withoutStars(makeIcosphere(2), {first, (first + 1 + int(rng() % 11)) % 12});
    break;
  }
  case 6: b = makeCube(); break;
  default: b = makeTetrahedron(); break;
  }
  b = jittered(b, rng, 0.05f);
  shuffleTriangles(b, rng);
  for (KEXTriangle<int>& t : b.triangleList) {
    const int r = int(rng() % 3); // a rotation keeps the orientation
    t = KEXTriangle<int>(t[r], t[(r + 1) % 3], t[(r + 2) % 3]);
  }
  return b;
}

double largestDifference(const KEXTriangleMeshBuffer& a, const KEXTriangleMeshBuffer& b)
{
  if (a.getVertexCount() != b.getVertexCount())
    return std::numeric_limits<double>::infinity();
  double worst = 0;
  for (int v = 0; v < a.getVertexCount(); ++v) {
    const D d = D(a.vertexList[v]) - D(b.vertexList[v]);
    worst = std::max({worst, std::fabs(d.x), std::fabs(d.y), std::fabs(d.z)});
    if (std::isnan(d.x) || std::isnan(d.y) || std::isnan(d.z))
      return std::numeric_limits<double>::infinity();
  }
  return worst;
}

} // namespace kexmeshtest
