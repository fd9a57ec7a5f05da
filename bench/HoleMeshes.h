#pragma once
// Meshes with holes for the gap-closing benchmarks: a closed latitude/longitude sphere of about a
// million triangles with disc-shaped holes cut into it, each grown breadth-first from a random
// triangle until its border has the requested number of edges. Holes share no vertex, so each one
// has a border loop of its own. Deterministic for a given seed.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/Meshes.h"

#include <deque>
#include <random>
#include <vector>

namespace kexmeshbench {

struct HoledMesh {
  KEXTriangleMeshBuffer mesh;
  std::vector<int> borderLengths; ///< per hole the edges of its border
};

/// sphere: the closed mesh to cut (a triangle adjacency list is built on a copy). Each hole gets a
/// border of at least minEdges + (random share up to maxEdges - minEdges) edges.
inline HoledMesh cutHoles(const KEXTriangleMeshBuffer& sphere, int holes, int minEdges, int maxEdges, unsigned seed)
{
  KEXTriangleMeshBuffer m(sphere);
  m.createTriangleAdjacencyList();
  const int T = m.getTriangleCount(), V = m.getVertexCount();
  std::vector<int> owner(size_t(V), -1);
  std::vector<char> removed(size_t(T), 0);
  std::vector<int> patch;
  std::mt19937 rng(seed);
  HoledMesh result;
  auto eligible = [&](int t, int id) {
    if (removed[size_t(t)])
      return false;
    for (int k = 0; k < 3; ++k) {
      const int v = m.triangleList[t][k];
      if (v == 0 || v == V - 1 || (owner[size_t(v)] != -1 && owner[size_t(v)] != id))
        return false; // not at the poles, and never touching another hole
    }
    return true;
  };
  for (int id = 0; id < holes; ++id) {
    const int target = minEdges + int(rng() % unsigned(maxEdges - minEdges + 1));
    for (int attempt = 0; attempt < 100; ++attempt) {
      const int seedTriangle = int(rng() % unsigned(T));
      if (!eligible(seedTriangle, id))
        continue;
      patch.clear();
      std::deque<int> queue = {seedTriangle};
      int border = 0;
      while (!queue.empty() && border < target) {
        const int t = queue.front();
        queue.pop_front();
        if (!eligible(t, id))
          continue;
        int inside = 0;
        for (int k = 0; k < 3; ++k)
          inside += removed[size_t(m.triangleAdjacencyList[t][k] / 3)] != 0;
        removed[size_t(t)] = 1;
        patch.push_back(t);
        border += 3 - 2 * inside;
        for (int k = 0; k < 3; ++k) {
          owner[size_t(m.triangleList[t][k])] = id;
          queue.push_back(m.triangleAdjacencyList[t][k] / 3);
        }
      }
      if (border >= target) {
        result.borderLengths.push_back(border);
        break;
      }
      for (int t : patch) { // blocked before reaching its size: undo and try elsewhere
        removed[size_t(t)] = 0;
        for (int k = 0; k < 3; ++k)
          owner[size_t(m.triangleList[t][k])] = -1;
      }
    }
  }
  std::vector<KEXTriangle<int>> kept;
  kept.reserve(size_t(T));
  for (int t = 0; t < T; ++t)
    if (!removed[size_t(t)])
      kept.push_back(m.triangleList[t]);
  result.mesh = kexmeshtest::makeBuffer(kexmeshtest::vertices(m), kept);
  return result;
}

/// The standard input: a 1,001,112-triangle sphere with 500 holes of 10 ... 200 edges.
inline const HoledMesh& manyHoles()
{
  static const HoledMesh h = cutHoles(kexmeshtest::makeSphere(708, 708), 500, 10, 200, 2026);
  return h;
}

/// A sphere of 2000 sectors whose cap above the first ring of quads is cut off: one hole with a
/// border of exactly 2000 edges (the cap's vertices stay, unused).
inline const KEXTriangleMeshBuffer& oneLargeHole()
{
  static const KEXTriangleMeshBuffer h = [] {
    const int sectors = 2000, rings = 200;
    KEXTriangleMeshBuffer s = kexmeshtest::makeSphere(rings, sectors);
    std::vector<KEXTriangle<int>> kept;
    // Triangles 0 ... sectors-1 are the cone at the north pole, the next 2*sectors the first band.
    for (int t = 3 * sectors; t < s.getTriangleCount(); ++t)
      kept.push_back(s.triangleList[t]);
    return kexmeshtest::makeBuffer(kexmeshtest::vertices(s), kept);
  }();
  return h;
}

} // namespace kexmeshbench
