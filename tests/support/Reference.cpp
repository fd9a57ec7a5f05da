#include "support/Reference.h"

#include <algorithm>
#include <map>
#include <utility>

namespace kexmeshtest {

namespace {
int vertexOf(const KEXTriangleMeshBuffer& b, int c) { return b.triangleList[c / 3][c % 3]; }
int previousOf(int c) { return c % 3 == 0 ? c + 2 : c - 1; }
bool valid(const KEXTriangleMeshBuffer& b, int v) { return v >= 0 && v < b.vertexList.getCount(); }
} // namespace

std::vector<std::vector<int>> referenceVertexAdjacency(const KEXTriangleMeshBuffer& b)
{
  std::vector<std::vector<int>> lists(size_t(b.vertexList.getCount()));
  for (int c = 0; c < 3 * b.triangleList.getCount(); ++c) {
    int v = vertexOf(b, c);
    if (valid(b, v))
      lists[size_t(v)].push_back(c);
  }
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
  for (size_t c = 0; c < ref.size(); ++c) {
    int got = b.triangleAdjacencyList[int(c / 3)][int(c % 3)];
    if (got != ref[c])
      return ::testing::AssertionFailure() << "corner " << c << ": partner " << got << ", expected " << ref[c];
  }
  return ::testing::AssertionSuccess();
}

} // namespace kexmeshtest
