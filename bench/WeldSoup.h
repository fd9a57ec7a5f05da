#pragma once
// The welding benchmark input: a closed sphere of about two million triangles in shuffled triangle
// order, turned into a triangle soup (six million vertices, every triangle with its own three).
// Each copy of a vertex is jittered by at most 1e-7 of the bounding-box diagonal; the tolerance is
// 1e-6 of the diagonal, so welding must give back the sphere's vertices. The exact variant keeps the
// copies bitwise equal (for welders that only merge identical points).
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/Meshes.h"

#include <cmath>
#include <random>

namespace kexmeshbench {

struct WeldInput {
  KEXTriangleMeshBuffer soup;
  int meshVertices = 0;
  double tolerance = 0.0;
};

inline const WeldInput& weldInput(bool jittered)
{
  static const KEXTriangleMeshBuffer mesh = [] {
    KEXTriangleMeshBuffer m = kexmeshtest::makeSphere(1001, 1000);
    std::mt19937 rng(42);
    kexmeshtest::shuffleTriangles(m, rng);
    return m;
  }();
  auto make = [](bool jitter) {
    WeldInput in;
    in.soup = kexmeshtest::toSoup(mesh);
    in.meshVertices = mesh.getVertexCount();
    KEXInterval<KEXVector3<float>> box;
    for (const KEXVector3<float>& p : mesh.vertexList)
      box.unite(p);
    const double diagonal = box.getDiameter();
    in.tolerance = 1e-6 * diagonal;
    if (jitter) {
      const float j = float(1e-7 * diagonal / std::sqrt(3.0));
      std::mt19937 rng(7);
      std::uniform_real_distribution<float> u(-j, j);
      for (KEXVector3<float>& p : in.soup.vertexList)
        p += KEXVector3<float>(u(rng), u(rng), u(rng));
    }
    return in;
  };
  if (jittered) {
    static const WeldInput in = make(true);
    return in;
  }
  static const WeldInput in = make(false);
  return in;
}

} // namespace kexmeshbench
