#pragma once
// Inputs of the repair benchmarks: a closed mesh turned into what a scanner or an STL export
// delivers: a shuffled triangle soup with 1% flipped triangles, a few NaN vertices and small holes
// cut out (single triangles, apart from each other, so every hole is a simple loop).
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/Meshes.h"

#include <cmath>
#include <random>
#include <vector>

namespace kexmeshbench {

inline KEXTriangleMeshBuffer damagedSoup(const KEXTriangleMeshBuffer& mesh, int holes, int nanVertices, unsigned seed)
{
  std::mt19937 rng(seed);
  KEXTriangleMeshBuffer cut;
  cut.vertexList = mesh.vertexList;
  cut.triangleList = mesh.triangleList;
  std::vector<char> used(size_t(mesh.getVertexCount()), 0);
  std::uniform_int_distribution<int> pick(0, mesh.getTriangleCount() - 1);
  for (int removed = 0, tries = 0; removed < holes && tries < 100 * holes; ++tries) {
    const int t = pick(rng);
    if (t >= cut.getTriangleCount())
      continue;
    const KEXTriangle<int> tri = cut.triangleList[t];
    if (unsigned(tri[0]) >= used.size() || unsigned(tri[1]) >= used.size() || unsigned(tri[2]) >= used.size() ||
        used[size_t(tri[0])] || used[size_t(tri[1])] || used[size_t(tri[2])])
      continue;
    for (int k = 0; k < 3; ++k)
      used[size_t(tri[k])] = 1;
    cut.triangleList[t] = cut.triangleList[cut.getTriangleCount() - 1];
    cut.triangleList.setCount(cut.getTriangleCount() - 1);
    ++removed;
  }
  KEXTriangleMeshBuffer soup = kexmeshtest::toSoup(cut);
  kexmeshtest::shuffleTriangles(soup, rng);
  kexmeshtest::flipRandomTriangles(soup, 0.01, rng);
  std::uniform_int_distribution<int> vpick(0, soup.getVertexCount() - 1);
  for (int i = 0; i < nanVertices; ++i)
    soup.vertexList[vpick(rng)].x = std::nanf("");
  return soup;
}

/// The generated 2M-triangle input: a torus of 1000 x 1000 quads with 1000 holes.
inline const KEXTriangleMeshBuffer& generatedSoup()
{
  static const KEXTriangleMeshBuffer soup = damagedSoup(kexmeshtest::makeTorus(1000, 1000), 1000, 5, 17);
  return soup;
}

} // namespace kexmeshbench
