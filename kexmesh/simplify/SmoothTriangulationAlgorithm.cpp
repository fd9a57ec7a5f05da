// Smooth triangulation by normal-guided edge flips.
//
// On a simplified or scanned surface many edges cut across a crease: their two endpoints lie on
// either side while the opposite vertices sit on the crease itself. The vertex normals tell: the
// endpoints' normals disagree, the opposite vertices' agree. Flipping such an edge onto the
// opposite vertices lets the triangulation follow the crease. A flip changes the four outer edges
// of its quadrilateral, so they are tested next, depth first, before the scan goes on with the
// following corner. Every flip replaces an edge by one whose normals are at least 30 degrees
// closer, so the flips cannot cycle.
//
// The depth-first order is kept on an explicit stack of corners (pushed in reverse so that they
// pop in visiting order): a cascade of flips along a long crease would overflow the call stack of
// a recursive version. The flip test refuses every flip the buffer's flipEdge would refuse for the
// mesh's sake (an inconsistently oriented partner, repeated vertices, a diagonal that exists
// already), so a failing flipEdge means memory ran out, and only that ends the run.
#include "kexmesh/simplify/SmoothTriangulationAlgorithm.h"
#include "kexmesh/core/internal/Corners.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Task.h"
#include "kex/ValueList.h"
#include "kexmesh/core/TriangleCalculus.h"

#include <cmath>

KEXMESH_DEFINE_CLASS(KEXSmoothTriangulationAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using Buffer = KEXTriangleMeshBuffer;
using D = KEXVector3<double>;

constexpr double QUARTER_PI = 0.7853981633974483;
constexpr double SIXTH_PI = 0.5235987755982988;
constexpr double TWELFTH_PI = 0.2617993877991494;
constexpr double PI = 3.141592653589793;

double clampedDot(const KEXVector3<float>& a, const KEXVector3<float>& b)
{
  const double d = double(a.x) * double(b.x) + double(a.y) * double(b.y) + double(a.z) * double(b.z);
  return d < -1.0 ? -1.0 : (d > 1.0 ? 1.0 : d);
}

D anglesOf(const Buffer& b, int i, int j, int k)
{
  D a;
  KEXTriangleCalculus3<float>::angles(a, b.vertexList[i], b.vertexList[j], b.vertexList[k]);
  return a;
}

} // namespace

int KEXSmoothTriangulationAlgorithm::flipPartner(const Buffer& b, int c)
{
  const int q = b.partnerCorner(c);
  if (q < 0 || q / 3 == c / 3)
    return -1;
  const int p = b.cornerVertex(Buffer::previousCorner(c));
  const int v = b.cornerVertex(c);
  const int n = b.cornerVertex(Buffer::nextCorner(c));
  const int o = b.cornerVertex(Buffer::nextCorner(q));
  if (b.cornerVertex(Buffer::previousCorner(q)) != v || b.cornerVertex(q) != p)
    return -1;
  if (!b.isValidVertex(p) || !b.isValidVertex(v) || !b.isValidVertex(n) || !b.isValidVertex(o))
    return -1;
  if (o == n || n == p || n == v || o == p || o == v || p == v)
    return -1;

  const double d1 = clampedDot(b.vertexNormalList[n], b.vertexNormalList[o]);
  const double d2 = clampedDot(b.vertexNormalList[p], b.vertexNormalList[v]);
  if (!(d1 > d2))
    return -1;
  const double a1 = std::acos(d1);
  if (!(a1 < QUARTER_PI))
    return -1;
  const double a2 = std::acos(d2);
  if (!(a2 > a1 + SIXTH_PI))
    return -1;

  // Convex at both ends of the edge: (n, p, v) and (o, v, p) meet at p and at v.
  const D t1 = anglesOf(b, n, p, v); // angles at n, p, v
  const D t2 = anglesOf(b, o, v, p); // angles at o, v, p
  if (!(t1.y + t2.z < PI) || !(t1.z + t2.y < PI))
    return -1;
  // The new triangles (o, n, p) and (n, o, v) keep 15 degrees at n and o (a NaN angle passes).
  const D n1 = anglesOf(b, o, n, p);
  const D n2 = anglesOf(b, n, o, v);
  if (n1.x < TWELFTH_PI || n1.y < TWELFTH_PI || n2.x < TWELFTH_PI || n2.y < TWELFTH_PI)
    return -1;
  // The new diagonal must not exist elsewhere: it would become an edge of more than two triangles.
  if (kexcorner::shareTriangle(b.vertexAdjacencyList[n], b.vertexAdjacencyList[o]))
    return -1;
  return q;
}

bool KEXSmoothTriangulationAlgorithm::run(void*)
{
  Buffer& b = m_buffer;
  const int T = b.getTriangleCount();
  if (b.getVertexCount() == 0 || T <= 1 || !b.hasVertexNormalList())
    return true;
  KEXTask task("Smooth triangulation", 2.0 * double(T) + 1.0, 0x1030000);
  // Partners are looked up through the vertex corner lists from here on; flips keep those exact.
  b.removeTriangleAdjacencyList();
  if (!task.incProgress(1.0, true))
    return kexEndRefused(task);
  KEXDerivedListScope adjacency = KEXDerivedListScope::vertexAdjacency(b, true);
  {
    KEXSubTask sub(nullptr, double(T));
    if (!adjacency.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }

  KEXValueList<int> stack(256, false); // keeps its block while it empties and refills
  const int corners = 3 * T;
  for (int start = 0; start < corners; start += BLOCK_CORNERS) {
    const int end = start + BLOCK_CORNERS < corners ? start + BLOCK_CORNERS : corners;
    for (int c = start; c < end; ++c) {
      if (!stack.append(c))
        return kexEndOutOfMemory(task);
      while (!stack.isEmpty()) {
        const int x = stack[stack.getCount() - 1];
        stack.setCount(stack.getCount() - 1);
        const int q = flipPartner(b, x);
        if (q < 0)
          continue;
        if (!b.flipEdge(x))
          return kexEndOutOfMemory(task);
        // Visited next, in this order: x, the corner before x, q, the corner before q.
        const int next[4] = {Buffer::previousCorner(q), q, Buffer::previousCorner(x), x};
        for (int e : next)
          if (!stack.append(e))
            return kexEndOutOfMemory(task);
      }
    }
    if (!task.incProgress(double(end - start) / 3.0, true))
      return kexEndRefused(task);
  }
  return task.ok();
}
