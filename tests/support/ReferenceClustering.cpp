#include "support/ReferenceClustering.h"

#include <cmath>
#include <utility>

namespace kexmeshtest {

namespace {
template <class T>
void swapEntries(KEXValueList<T>& list, int i, int j, int count)
{
  if (list.getCount() == count && count > 0)
    std::swap(list[i], list[j]);
}

// The pair rule of vertex clustering: squared distance in double at most d * d; with vertex
// normals also a dot product of at least cos(90.01 degrees).
bool linked(const KEXTriangleMeshBuffer& b, int i, int j, double limit, bool normals)
{
  const KEXVector3<float>&p = b.vertexList[i], &q = b.vertexList[j];
  double dx = double(q.x) - p.x, dy = double(q.y) - p.y, dz = double(q.z) - p.z;
  if (!(dx * dx + dy * dy + dz * dz <= limit))
    return false;
  if (!normals)
    return true;
  const KEXVector3<float>&m = b.vertexNormalList[i], &n = b.vertexNormalList[j];
  return double(m.x) * n.x + double(m.y) * n.y + double(m.z) * n.z >= std::cos(1.5709708597200962);
}

// Single linkage by its definition: a cluster is a connected component of the "linked" graph. Each
// component is grown from its smallest vertex by scanning every vertex against every member.
std::vector<int> referenceClusterMinima(const KEXTriangleMeshBuffer& b, float distance)
{
  const int V = b.getVertexCount();
  const bool normals = b.vertexNormalList.getCount() == V && V > 0;
  const double limit = double(distance) * double(distance);
  std::vector<int> minima(size_t(V), -1);
  for (int s = 0; s < V; ++s) {
    if (minima[size_t(s)] >= 0)
      continue;
    std::vector<int> members = {s};
    minima[size_t(s)] = s;
    for (size_t m = 0; m < members.size(); ++m)
      for (int j = s + 1; j < V; ++j)
        if (minima[size_t(j)] < 0 && linked(b, members[m], j, limit, normals)) {
          minima[size_t(j)] = s;
          members.push_back(j);
        }
  }
  return minima;
}

// Per old vertex its new index (vertices of one cluster share it).
std::vector<int> referenceNewIndices(const std::vector<int>& minima)
{
  std::vector<int> index(minima.size(), -1);
  int next = 0;
  for (size_t v = 0; v < minima.size(); ++v)
    index[v] = minima[v] == int(v) ? next++ : index[size_t(minima[v])];
  return index;
}
} // namespace

KEXTriangleMeshBuffer referenceWeld(const KEXTriangleMeshBuffer& input, float distance)
{
  KEXTriangleMeshBuffer b(input);
  const int V = b.getVertexCount();
  auto clearIfWrong = [V](auto& list) {
    if (list.getCount() != V)
      list.clear();
  };
  clearIfWrong(b.vertexNormalList);
  clearIfWrong(b.vertexColorList);
  clearIfWrong(b.vertexScalarList);
  b.vertexAdjacencyList.clear();
  b.triangleAdjacencyList.clear();
  if (V <= 1)
    return b;
  const std::vector<int> minima = referenceClusterMinima(b, distance);
  const std::vector<int> index = referenceNewIndices(minima);
  int K = 0;
  for (int v = 0; v < V; ++v)
    K = std::max(K, index[size_t(v)] + 1);
  const bool nrm = b.hasVertexNormalList(), col = b.hasVertexColorList(), sca = b.hasVertexScalarList();
  const bool tex = b.hasTextureCoordinateList(), flg = b.hasVertexEdgeFlagList();
  std::vector<KEXVector3<float>> pos(static_cast<size_t>(K)), nsum(static_cast<size_t>(K));
  std::vector<KEXRGBA<float>> csum(size_t(K), KEXRGBA<float>::BLACK);
  std::vector<float> ssum(size_t(K), 0.0f);
  std::vector<int> count(size_t(K), 0);
  std::vector<KEXVector2<float>> texOut(static_cast<size_t>(K));
  std::vector<char> flagOut(size_t(K), 0);
  for (int v = 0; v < V; ++v) { // ascending, as the algorithm sums
    size_t t = size_t(index[size_t(v)]);
    pos[t] += b.vertexList[v];
    if (nrm)
      nsum[t] += b.vertexNormalList[v];
    if (col)
      csum[t] += b.vertexColorList[v];
    if (sca)
      ssum[t] += b.vertexScalarList[v];
    if (count[t]++ == 0) {
      if (tex)
        texOut[t] = b.textureCoordinateList[v];
      if (flg)
        flagOut[t] = b.vertexEdgeFlagList[v];
    }
  }
  b.vertexList.setCount(K);
  auto cut = [K](bool present, auto& list) {
    if (present)
      list.setCount(K);
  };
  cut(nrm, b.vertexNormalList);
  cut(col, b.vertexColorList);
  cut(sca, b.vertexScalarList);
  cut(tex, b.textureCoordinateList);
  cut(flg, b.vertexEdgeFlagList);
  for (int t = 0; t < K; ++t) {
    const double f = 1.0 / count[size_t(t)];
    const KEXVector3<float> p = pos[size_t(t)];
    b.vertexList[t] = count[size_t(t)] > 1 ? KEXVector3<float>(float(p.x * f), float(p.y * f), float(p.z * f)) : p;
    if (nrm) {
      KEXVector3<float> n = nsum[size_t(t)];
      if (n != KEXVector3<float>::ZERO)
        n.normalize(1.0f);
      b.vertexNormalList[t] = n;
    }
    if (col)
      b.vertexColorList[t] = count[size_t(t)] > 1 ? csum[size_t(t)] * float(f) : csum[size_t(t)];
    if (sca)
      b.vertexScalarList[t] = count[size_t(t)] > 1 ? float(ssum[size_t(t)] * f) : ssum[size_t(t)];
    if (tex)
      b.textureCoordinateList[t] = texOut[size_t(t)];
    if (flg)
      b.vertexEdgeFlagList[t] = flagOut[size_t(t)];
  }
  const int T = b.getTriangleCount();
  int kept = T;
  for (int t = T - 1; t >= 0; --t) {
    KEXTriangle<int>& tri = b.triangleList[t];
    for (int k = 0; k < 3; ++k)
      if (tri[k] >= 0 && tri[k] < V)
        tri[k] = index[size_t(tri[k])];
    if (tri[0] == tri[1] || tri[1] == tri[2] || tri[0] == tri[2]) {
      --kept;
      std::swap(b.triangleList[t], b.triangleList[kept]);
      swapEntries(b.triangleNormalList, t, kept, T);
      swapEntries(b.triangleColorList, t, kept, T);
      swapEntries(b.triangleAngleList, t, kept, T);
    }
  }
  auto cutTo = [T, kept](auto& list) {
    if (list.getCount() == T)
      list.setCount(kept);
  };
  cutTo(b.triangleNormalList);
  cutTo(b.triangleColorList);
  cutTo(b.triangleAngleList);
  b.triangleList.setCount(kept);
  return b;
}

} // namespace kexmeshtest
