// Circular-arc smoothing. Two neighbouring points of a smooth surface with their unit normals n
// and m fix, approximately, a circular arc through the neighbour Q that meets both normals at right
// angles; were P on that arc, the chord from P to Q would make the angle gamma = (pi - angle(n, m))
// / 2 with m. The actual angle beta between the chord and m tells how far P lies off the arc:
// h = |PQ| sin(beta - gamma) / sin(gamma), measured along n. Each vertex moves by minus half the
// mean of these offsets over its neighbours, along its own normal only, so a sphere with radial
// normals and a plane with equal normals are fixed points and a single raised vertex sinks back
// towards its surroundings. All offsets are taken from the old positions; angles and offsets are
// rounded to float as the stored values are, so the result does not depend on how a compiler
// keeps intermediate doubles. Neighbours come from the fan walk shared with the Laplacian pass.
#include "kexmesh/simplify/CASmoothingAlgorithm.h"
#include "kexmesh/simplify/internal/SmoothingPass.h"

#include <cmath>
#include <numbers>

KEXMESH_DEFINE_CLASS(KEXCASmoothingAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using Vec3f = KEXVector3<float>;

// The offset of P (unit normal n) off the arc through Q (unit normal m), or 0 where the formula
// gives no finite value (coincident points, an arccos argument outside [-1, 1], parallel normals
// facing each other).
double arcOffset(const Vec3f& P, const Vec3f& n, const Vec3f& Q, const Vec3f& m)
{
  const double dx = double(Q.x) - P.x, dy = double(Q.y) - P.y, dz = double(Q.z) - P.z;
  const double length = std::sqrt(dx * dx + dy * dy + dz * dz);
  const double nm = double(n.x) * m.x + double(n.y) * m.y + double(n.z) * m.z;
  const double um = (dx * m.x + dy * m.y + dz * m.z) / length;
  const float gamma = float((std::numbers::pi - std::acos(nm)) / 2.0);
  const float beta = float(std::acos(um));
  const float h = float(length * std::sin(double(beta) - double(gamma)) / std::sin(double(gamma)));
  return std::isfinite(h) ? double(h) : 0.0;
}

} // namespace

bool KEXCASmoothingAlgorithm::run(void*)
{
  KEXTask task("Smoothing triangle mesh", 1.0, 0x1010000, 0);
  KEXTriangleMeshBuffer& b = m_buffer;
  kexsmooth::Lists lists(b);
  if (auto failed = lists.prepare(task))
    return *failed;

  const Vec3f* normal = b.vertexNormalList.getData();
  auto position = [&](int i, const Vec3f* old, Vec3f& out) {
    const Vec3f P = old[i], n = normal[i];
    double sum = 0.0;
    int count = 0;
    kexsmooth::walkFan(b, i, true, [&](int w) {
      if (!b.isValidVertex(w))
        return;
      sum += arcOffset(P, n, old[w], normal[w]);
      ++count;
    });
    if (count == 0)
      return;
    const double f = sum / (2.0 * count);
    out = Vec3f(float(P.x - f * n.x), float(P.y - f * n.y), float(P.z - f * n.z));
  };
  if (auto failed = kexsmooth::smoothVertices(task, b, KEX::GenericError, position))
    return *failed;
  lists.positionsChanged();
  return task.ok();
}
