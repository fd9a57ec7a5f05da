// Dyeing of bad triangles: a quick visual check of a mesh's topology. A triangle whose three edges
// each have exactly one partner in the triangle adjacency list is good (green); a border edge, an
// edge shared by more than two triangles or an edge with an invalid vertex index makes it bad (red).
#include "kexmesh/repair/DyeBadTrianglesAlgorithm.h"
#include "kexmesh/core/internal/AdjacencyPreamble.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Task.h"

#include <algorithm>

KEXMESH_DEFINE_CLASS(KEXDyeBadTrianglesAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {
constexpr int BLOCK = 16384;
} // namespace

const KEXRGBA<float>& KEXDyeBadTrianglesAlgorithm::goodColor()
{
  static const KEXRGBA<float> color(0.0f, 1.0f, 0.0f);
  return color;
}

const KEXRGBA<float>& KEXDyeBadTrianglesAlgorithm::badColor()
{
  static const KEXRGBA<float> color(1.0f, 0.0f, 0.0f);
  return color;
}

bool KEXDyeBadTrianglesAlgorithm::run(void*)
{
  KEXTriangleMeshBuffer& b = m_buffer;
  const int V = b.getVertexCount();
  const int T = b.getTriangleCount();
  const KEXRGBA<float> good = goodColor(), bad = badColor();
  KEXTask task("Dyeing bad triangles", double(V) + 2.0 * double(T) + 1.0, 0x1010000, 0);
  task.incProgress(1.0, true);

  KEXDerivedListScope vertexAdjacency = KEXDerivedListScope::vertexAdjacency(b, true);
  KEXDerivedListScope triangleAdjacency = KEXDerivedListScope::triangleAdjacency(b, true);
  if (const std::optional<bool> ended = kexEnsureAdjacency(task, vertexAdjacency, triangleAdjacency, V, T))
    return *ended;
  if (!b.triangleColorList.setCount(T))
    return task.error(KEX::GenericError);

  const bool hasAdjacency = b.hasTriangleAdjacencyList();
  for (int first = 0; first < T; first += BLOCK) {
    const int end = std::min(T, first + BLOCK);
    for (int t = first; t < end; ++t) {
      bool isGood = hasAdjacency;
      if (isGood) {
        const KEXTriangle<int>& a = b.triangleAdjacencyList[t];
        isGood = a[0] >= 0 && a[1] >= 0 && a[2] >= 0;
      }
      b.triangleColorList[t] = isGood ? good : bad;
    }
    if (!task.incProgress(double(end - first), true))
      return kexEndRefused(task);
  }
  return task.ok();
}
