// Laplacian smoothing in one pass: an interior vertex goes to the mean of its one-ring, computed
// from the old positions of all vertices (a Jacobi step, so the result does not depend on the
// vertex order). A vertex whose fan walk from its first corner does not close is on a border, at an
// edge of more than two triangles or next to an inconsistently oriented triangle; it keeps its
// position, so the outline of an open surface stays where it is. The vertex normals play no part
// in the move, but they are brought to unit length as in the circular-arc pass, so both passes
// fail and succeed on the same inputs.
#include "kexmesh/simplify/ILPSmoothingAlgorithm.h"
#include "kexmesh/simplify/internal/SmoothingPass.h"

KEXMESH_DEFINE_CLASS(KEXILPSmoothingAlgorithm, KEXTriangleMeshAlgorithmIF)

bool KEXILPSmoothingAlgorithm::run(void*)
{
  using Vec3f = KEXVector3<float>;
  KEXTask task("Smoothing triangle mesh", 1.0, 0x1010000, 0);
  KEXTriangleMeshBuffer& b = m_buffer;
  kexsmooth::Lists lists(b);
  if (auto failed = lists.prepare(task))
    return *failed;

  auto position = [&](int i, const Vec3f* old, Vec3f& out) {
    double x = 0.0, y = 0.0, z = 0.0;
    int count = 0;
    bool valid = true;
    const kexsmooth::Fan fan = kexsmooth::walkFan(b, i, false, [&](int w) {
      if (!b.isValidVertex(w)) {
        valid = false;
        return;
      }
      x += old[w].x;
      y += old[w].y;
      z += old[w].z;
      ++count;
    });
    if (fan != kexsmooth::Fan::Closed || !valid || count == 0)
      return;
    out = Vec3f(float(x / count), float(y / count), float(z / count));
  };
  if (auto failed = kexsmooth::smoothVertices(task, b, KEX::GenericError, position))
    return *failed;
  lists.positionsChanged();
  return task.ok();
}
