// Measures of the triangle mesh buffer: the vertices' bounding box and the mean sampling distance
// estimate.
//
// The sampling distance is a per-axis length scale of the mesh: the mean absolute edge extent of
// its proper triangles, and the bounding box size divided by sqrt(V) (the spacing of V points spread
// evenly over the box's faces), whichever is smaller and still a normal float. Tolerances of the
// repair and simplification algorithms are expressed in it, so that they scale with the data.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/core/internal/Prefetch.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Task.h"

#include <cfloat>
#include <cmath>

namespace {

/// Unites the vertices into box under a task of its own; false after a stop.
bool boundingBox(const KEXVector3<float>* vertices, int V, KEXInterval<KEXVector3<float>>& box)
{
  KEXTask task("Calculating bounding box", double(V), 0x10000, 0);
  box.makeEmpty();
  const int BLOCK = 8192;
  for (int first = 0; first < V; first += BLOCK) {
    const int end = std::min(V, first + BLOCK);
    for (int i = first; i < end; ++i)
      box.unite(vertices[i]);
    if (!task.incProgress(end - first, true))
      return kexEndRefused(task);
  }
  return task.ok();
}

/// Takes value on each axis where it is a normal positive float below the current result.
void takeSmaller(KEXVector3<float>& result, const double value[3])
{
  for (int axis = 2; axis >= 0; --axis) {
    const float f = float(value[axis]);
    if (f > FLT_MIN && f < result[axis])
      result[axis] = f;
  }
}

} // namespace

bool KEXTriangleMeshBuffer::calculateBoundingBox(KEXInterval<KEXVector3<float>>& box) const
{
  return boundingBox(vertexList.getData(), getVertexCount(), box);
}

bool KEXTriangleMeshBuffer::calculateMeanSamplingDistance(KEXVector3<float>& result) const
{
  return calculateMeanSamplingDistance(vertexList.getData(), getVertexCount(), triangleList.getData(),
                                       getTriangleCount(), result);
}

bool KEXTriangleMeshBuffer::calculateMeanSamplingDistance(const KEXVector3<float>* vertices, int V,
                                                          const KEXTriangle<int>* triangles, int T,
                                                          KEXVector3<float>& result)
{
  if (V < 1 || !vertices)
    return false;
  result = KEXVector3<float>(FLT_MAX, FLT_MAX, FLT_MAX);
  if (T >= 1 && triangles) {
    double sum[3] = {0.0, 0.0, 0.0};
    long long count = 0;
    const unsigned uv = unsigned(V);
    for (int t = 0; t < T; ++t) {
      kexmeshcore::prefetchCorners(vertices, uv, triangles, t + kexmeshcore::PREFETCH_DISTANCE, T);
      const int a = triangles[t][0], b = triangles[t][1], c = triangles[t][2];
      if (a == b || a == c || b == c || unsigned(a) >= uv || unsigned(b) >= uv || unsigned(c) >= uv)
        continue;
      const KEXVector3<float>& pa = vertices[a];
      const KEXVector3<float>& pb = vertices[b];
      const KEXVector3<float>& pc = vertices[c];
      for (int i = 0; i < 3; ++i)
        sum[i] += std::fabs(double(pc[i]) - pb[i]) + std::fabs(double(pa[i]) - pc[i]) + std::fabs(double(pb[i]) - pa[i]);
      ++count;
    }
    const double f = 1.0 / (3.0 * double(count)); // no qualifying triangle: inf * 0 = NaN, ignored
    const double mean[3] = {sum[0] * f, sum[1] * f, sum[2] * f};
    takeSmaller(result, mean);
  }
  KEXInterval<KEXVector3<float>> box;
  if (boundingBox(vertices, V, box)) {
    // The extent in double: near the float limits it does not fit a float.
    const KEXVector3<float>& lo = box.getMin();
    const KEXVector3<float>& hi = box.getMax();
    const double f = 1.0 / std::sqrt(double(V));
    const double spread[3] = {(double(hi.x) - lo.x) * f, (double(hi.y) - lo.y) * f, (double(hi.z) - lo.z) * f};
    takeSmaller(result, spread);
  }
  return true;
}
