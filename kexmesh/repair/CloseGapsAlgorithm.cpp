// Gap closing: one scan over the corners finds the border edges: corners without a partner in the
// triangle adjacency list whose edge belongs to this one triangle alone (a missing partner also
// marks an edge of three or more triangles, which no fill may touch). From each one the loop of
// border edges is traced: at the end vertex of the last border edge the walk turns around that
// vertex through its interior edges (each step crosses to the partner triangle) until it meets the
// next border edge. When the loop comes back to a vertex it passed, the part from that vertex on is
// a closed loop (the innermost one, should the walk have wandered into a smaller loop through a
// shared vertex) and is filled with the minimum-weight triangulation of the triangulation tools,
// which refuses every fill that would reuse an edge or a triangle of the mesh. A loop is given up at
// an inconsistently oriented neighbour, at a protected edge (both vertices carry the same non-zero
// edge flag) or at an edge of several triangles.
//
// A hole fill makes a surface whole; it must not stand in for a surface that is not there. The
// outline of an open sheet is a loop too, and its fill lies on the sheet itself: the component
// comes out closed but with (nearly) no volume, a double layer. So after the scan every component
// that the run closed is measured once (one flood over the adjacency from the fills): when its
// volume is small against the area of its fills (SHEET_VOLUME_RATIO), its largest fill is taken
// out again. A closed component whose volume is negative faces inward (the orientation of an open
// surface could not be judged before it was closed) and is flipped.
//
// Cost: each loop vertex remembers its position in the loop, so recognising the return to a vertex
// costs one lookup; each border edge of a given-up trace is marked (its adjacency entry becomes -2,
// still a border entry): no later trace starts there, and a trace that reaches it is given up too,
// since it would follow the same path to the same obstacle. Telling a border edge from a
// non-manifold one reads the corner list of one vertex. Together the scan is linear in the mesh size
// plus the cubic work of the loop triangulations; the component pass is linear in the components
// that got fills. Corrupt adjacency cannot make the walk around a vertex cycle: it takes at most as
// many steps as the vertex has corners.
#include "kexmesh/repair/CloseGapsAlgorithm.h"
#include "kexmesh/core/internal/AdjacencyPreamble.h"
#include "kexmesh/core/internal/Corners.h"
#include "kexmesh/core/internal/TaskEnd.h"

#include "kex/Task.h"
#include "kexmesh/reconstruct/TriangulationTools.h"

#include <algorithm>
#include <cmath>

KEXMESH_DEFINE_CLASS(KEXCloseGapsAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using Buffer = KEXTriangleMeshBuffer;
using kexcorner::adjacency;
using Vec3d = KEXVector3<double>;

constexpr int SCAN_CORNERS = 6144; // corners per progress report
constexpr int LOOP_BLOCK = 16;
constexpr int DEAD_BORDER = -2; // a border corner whose trace was given up


// Whether the edge of corner c (from the previous corner's vertex s to its vertex a) belongs to
// this triangle alone. A negative adjacency entry does not tell: an edge of three or more triangles
// has none either. Reads the corner list of a once.
bool isBorderEdge(const Buffer& b, int c)
{
  const int a = b.cornerVertex(c), s = b.cornerVertex(Buffer::previousCorner(c));
  if (!b.isValidVertex(a) || !b.isValidVertex(s) || a == s)
    return false;
  int count = 0;
  for (int x : b.vertexAdjacencyList[a]) {
    count += b.cornerVertex(Buffer::nextCorner(x)) == s;     // x's triangle runs a -> s
    count += b.cornerVertex(Buffer::previousCorner(x)) == s; // x's triangle runs s -> a
    if (count > 1)
      return false;
  }
  return count == 1;
}

// Puts given-up border corners back to -1 when the run ends, should the adjacency list outlive it.
class DeadBorderReset {
public:
  DeadBorderReset(Buffer& b, bool keep) : m_buffer(b), m_keep(keep) {}
  ~DeadBorderReset()
  {
    if (!m_used || !m_keep || !m_buffer.hasTriangleAdjacencyList())
      return;
    for (KEXTriangle<int>& e : m_buffer.triangleAdjacencyList)
      for (int k = 0; k < 3; ++k)
        if (e[k] == DEAD_BORDER)
          e[k] = -1;
  }
  void used() { m_used = true; }

private:
  Buffer& m_buffer;
  bool m_keep;
  bool m_used = false;
};

enum class Trace { Skipped, Filled, Short, Oversized, Unfillable, Abandoned, NonManifold, OutOfMemory, FillFailed };

// The tracing state of one run: the loop being traced and, per vertex, its position in the loop as
// the start of a loop edge (-1: not in the loop).
class LoopTracer {
public:
  explicit LoopTracer(Buffer& b) : m_buffer(b), m_loop(LOOP_BLOCK), m_position(1024, true)
  {
    m_flags = b.hasVertexEdgeFlagList();
  }

  Trace trace(int c0, int& loopLength);
  bool markedDead() const { return m_markedDead; }

private:
  bool isProtected(int a, int b) const
  {
    if (!m_flags)
      return false;
    const char fa = m_buffer.vertexEdgeFlagList[a];
    return fa != 0 && fa == m_buffer.vertexEdgeFlagList[b];
  }
  // Forgets the loop: its vertices leave the position table, the list empties.
  void reset()
  {
    for (int c : m_loop)
      m_position[m_buffer.cornerVertex(Buffer::previousCorner(c))] = -1;
    m_loop.setCount(0);
  }
  // Marks the loop's edges from position `from` on as given up, then forgets the loop.
  Trace giveUp(int from, Trace result)
  {
    for (int i = from; i < m_loop.getCount(); ++i)
      if (adjacency(m_buffer, m_loop[i]) == -1)
        adjacency(m_buffer, m_loop[i]) = DEAD_BORDER;
    m_markedDead = true;
    reset();
    return result;
  }
  Trace abandon(Trace result = Trace::Abandoned) { return giveUp(0, result); }
  Trace fill(int closing, int length);

  Buffer& m_buffer;
  KEXValueList<int> m_loop;
  KEXValueList<int> m_position;
  bool m_flags = false;
  bool m_markedDead = false;
};

Trace LoopTracer::trace(int c0, int& loopLength)
{
  Buffer& b = m_buffer;
  loopLength = 0;
  const int s0 = b.cornerVertex(Buffer::previousCorner(c0)), e0 = b.cornerVertex(c0);
  if (!isBorderEdge(b, c0) || isProtected(s0, e0))
    return Trace::Skipped;
  if (m_position.getCount() != b.getVertexCount() && !m_position.setCount(b.getVertexCount(), -1))
    return Trace::OutOfMemory;
  if (!m_loop.append(c0))
    return Trace::OutOfMemory;
  m_position[s0] = 0;
  int current = c0;
  for (;;) {
    // Turn around the end vertex w of the last border edge until the next border edge.
    const int w = b.cornerVertex(current);
    const int corners = 3 * b.getTriangleCount();
    const int limit = b.vertexAdjacencyList[w].getCount();
    int n = Buffer::nextCorner(current);
    for (int steps = 0; adjacency(b, n) >= 0; ++steps) {
      const int p = adjacency(b, n);
      if (p >= corners || b.cornerVertex(p) != w || steps >= limit)
        return abandon(); // inconsistent neighbour (or adjacency that does not fit the triangles)
      n = Buffer::nextCorner(p);
    }
    // n's edge runs from w to x and is the next border edge. Should a given-up trace have passed
    // it, this one would follow it to the same obstacle.
    const int x = b.cornerVertex(n);
    if (!b.isValidVertex(x) || adjacency(b, n) == DEAD_BORDER || isProtected(w, x))
      return abandon();
    if (!isBorderEdge(b, n))
      return abandon(Trace::NonManifold);
    const int closing = m_position[x]; // the loop edge that starts where n's edge ends
    if (!m_loop.append(n)) {
      reset();
      return Trace::OutOfMemory;
    }
    if (closing < 0) {
      m_position[w] = m_loop.getLastIndex();
      current = n;
      continue;
    }
    // Closed: the loop from position `closing` on (earlier entries led into it).
    loopLength = m_loop.getCount() - closing;
    return fill(closing, loopLength);
  }
}

Trace LoopTracer::fill(int closing, int length)
{
  if (length < 3) {
    reset();
    return Trace::Short;
  }
  // A loop that is traced once and left open marks its edges: they start no other trace, which
  // would find the same loop again.
  if (length > KEXCloseGapsAlgorithm::MAXIMUM_LOOP_LENGTH)
    return giveUp(closing, Trace::Oversized);
  KEXTriangulationTools::EdgeLoopOutcome outcome;
  if (KEXTriangulationTools::clockwiseEdgeLoop(&m_buffer, m_loop.getData() + closing, length, outcome)) {
    reset();
    return Trace::Filled;
  }
  switch (outcome) {
  case KEXTriangulationTools::EdgeLoopOutcome::Unfillable:
    return giveUp(closing, Trace::Unfillable);
  case KEXTriangulationTools::EdgeLoopOutcome::OutOfMemory:
    reset();
    return Trace::OutOfMemory;
  default:
    reset();
    return Trace::FillFailed;
  }
}

// One fill of the run: its triangles first ... first + loopLength - 3, appended in one piece.
struct Fill {
  int first;
  int loopLength;
  int component;
  double area;
  bool takenOut;
};

// A component reached from the fills: its triangles order[begin ... end-1].
struct Component {
  int begin, end;
  bool closed;
  double volume;    // signed, relative to a vertex of the component
  double fillArea;  // of the fills in it
  int largestFill;  // index of its fill of the largest area
};

double triangleArea(const Buffer& b, int t)
{
  const KEXTriangle<int>& tri = b.triangleList[t];
  const Vec3d p(b.vertexList[tri[0]]), q(b.vertexList[tri[1]]), r(b.vertexList[tri[2]]);
  return 0.5 * std::sqrt((q - p).cross(r - p).squaredLength());
}

// Labels the components that hold fills by a flood over the triangle adjacency and measures them.
// A component is closed when every corner has a partner; its volume is summed relative to one of
// its vertices, so that far-off coordinates keep their precision.
bool measureComponents(const Buffer& b, KEXValueList<Fill>& fills, KEXValueList<Component>& components,
                       KEXValueList<int>& order)
{
  const int T = b.getTriangleCount(), corners = 3 * T;
  KEXValueList<int> label(1024, true);
  if (!label.setCount(T, -1))
    return false;
  const KEXTriangle<int>* adjacencyOf = b.triangleAdjacencyList.getData();
  for (Fill& f : fills) {
    if (label[f.first] < 0) {
      Component c{order.getCount(), 0, true, 0.0, 0.0, -1};
      const int id = components.getCount();
      if (!order.append(f.first))
        return false;
      label[f.first] = id;
      const Vec3d origin(b.vertexList[b.triangleList[f.first][0]]);
      for (int i = c.begin; i < order.getCount(); ++i) {
        const int t = order[i];
        const KEXTriangle<int>& tri = b.triangleList[t];
        if (!b.isValidVertex(tri[0]) || !b.isValidVertex(tri[1]) || !b.isValidVertex(tri[2])) {
          c.closed = false;
          continue;
        }
        const Vec3d p = Vec3d(b.vertexList[tri[0]]) - origin, q = Vec3d(b.vertexList[tri[1]]) - origin,
                    r = Vec3d(b.vertexList[tri[2]]) - origin;
        c.volume += p.dot(q.cross(r)) / 6.0;
        for (int k = 0; k < 3; ++k) {
          const int partner = adjacencyOf[t][k];
          if (partner < 0 || partner >= corners) {
            c.closed = false;
            continue;
          }
          if (label[partner / 3] < 0) {
            label[partner / 3] = id;
            if (!order.append(partner / 3))
              return false;
          }
        }
      }
      c.end = order.getCount();
      if (!components.append(c))
        return false;
    }
    f.component = label[f.first];
    f.area = 0.0;
    for (int t = f.first; t < f.first + f.loopLength - 2; ++t)
      f.area += triangleArea(b, t);
    Component& c = components[f.component];
    c.fillArea += f.area;
    if (c.largestFill < 0 || f.area > fills[c.largestFill].area)
      c.largestFill = int(&f - fills.getData());
  }
  return true;
}

// Judges the components the fills closed: the largest fill of one that encloses (nearly) no volume
// is taken out again, an inward-facing one is flipped. Flips keep every triangle in place; then the
// fills are taken out from the highest triangle down, each one swapped with the last: the last
// triangles are fills of the run, so no original triangle ever moves. False on a shortage, before
// anything changed.
bool settleFills(Buffer& b, KEXValueList<Fill>& fills, KEXCloseGapsAlgorithm::Statistics& s)
{
  KEXValueList<Component> components(64, true);
  KEXValueList<int> order(1024, true);
  if (!measureComponents(b, fills, components, order))
    return false;
  for (const Component& c : components) {
    if (!c.closed)
      continue;
    if (std::fabs(c.volume) < KEXCloseGapsAlgorithm::SHEET_VOLUME_RATIO * std::pow(c.fillArea, 1.5)) {
      fills[c.largestFill].takenOut = true;
      continue;
    }
    if (c.volume < 0.0) {
      for (int i = c.begin; i < c.end; ++i)
        b.flipTriangle(order[i], 0);
      ++s.reorientedComponents;
    }
  }
  s.largestFilledLoop = 0;
  for (int f = fills.getCount() - 1; f >= 0; --f) {
    const Fill& fill = fills[f];
    if (!fill.takenOut) {
      s.largestFilledLoop = std::max(s.largestFilledLoop, fill.loopLength);
      continue;
    }
    for (int t = fill.first + fill.loopLength - 3; t >= fill.first; --t)
      b.removeTriangle(t);
    --s.filledLoops;
    s.addedTriangles -= fill.loopLength - 2;
    ++s.sheetLoops;
  }
  return true;
}

} // namespace

bool KEXCloseGapsAlgorithm::run(void*)
{
  m_statistics = Statistics();
  const int V = m_buffer.getVertexCount(), T = m_buffer.getTriangleCount();
  KEXTask task("Closing gaps", double(V) + 2.0 * T + 1.0, 0x1010000, 0);
  if (!task.incProgress(1.0, true))
    return kexEndRefused(task);

  KEXDerivedListScope vertexAdjacency = KEXDerivedListScope::vertexAdjacency(m_buffer, true);
  KEXDerivedListScope triangleAdjacency = KEXDerivedListScope::triangleAdjacency(m_buffer, true);
  if (const std::optional<bool> ended = kexEnsureAdjacency(task, vertexAdjacency, triangleAdjacency, V, T))
    return *ended;
  DeadBorderReset deadReset(m_buffer, triangleAdjacency.wasPresent());
  LoopTracer tracer(m_buffer);
  KEXValueList<Fill> fills(64, true);
  // A run that fails takes its fills out again: only a finished run has judged them.
  auto fail = [&](bool outcome) {
    m_buffer.setTriangleCount(T);
    m_statistics.filledLoops = m_statistics.addedTriangles = m_statistics.largestFilledLoop = 0;
    return outcome;
  };

  // Only the corners that exist now are scanned: the filling triangles are appended behind them
  // and pair with the loops' edges.
  const int corners = 3 * T;
  for (int first = 0; first < corners; first += SCAN_CORNERS) {
    const int end = std::min(corners, first + SCAN_CORNERS);
    for (int c = first; c < end; ++c) {
      if (adjacency(m_buffer, c) != -1)
        continue;
      int length = 0;
      const int before = m_buffer.getTriangleCount();
      const Trace result = tracer.trace(c, length);
      if (tracer.markedDead())
        deadReset.used();
      switch (result) {
      case Trace::Skipped:
        break;
      case Trace::Filled:
        ++m_statistics.filledLoops;
        m_statistics.addedTriangles += length - 2;
        m_statistics.largestFilledLoop = std::max(m_statistics.largestFilledLoop, length);
        if (!fills.append(Fill{before, length, -1, 0.0, false}))
          return fail(kexEndOutOfMemory(task));
        break;
      case Trace::Short:
        ++m_statistics.shortLoops;
        break;
      case Trace::Oversized:
        ++m_statistics.oversizedLoops;
        m_statistics.largestOpenLoop = std::max(m_statistics.largestOpenLoop, length);
        break;
      case Trace::Unfillable:
        ++m_statistics.unfillableLoops;
        break;
      case Trace::Abandoned:
        ++m_statistics.abandonedLoops;
        break;
      case Trace::NonManifold:
        ++m_statistics.nonManifoldLoops;
        break;
      case Trace::OutOfMemory:
        return fail(kexEndOutOfMemory(task));
      case Trace::FillFailed:
        return fail(task.error(KEX::GenericError));
      }
    }
    if (!task.incProgress(double(end - first) / 3.0, true))
      return fail(kexEndRefused(task));
  }
  if (fills.getCount() > 0 && !settleFills(m_buffer, fills, m_statistics))
    return fail(kexEndOutOfMemory(task));
  if (m_statistics.oversizedLoops > 0)
    kexTaskDiagnostics(KEX::Warning, "Left %i holes of more than %i edges open", m_statistics.oversizedLoops,
                       MAXIMUM_LOOP_LENGTH);
  if (m_statistics.unfillableLoops > 0)
    kexTaskDiagnostics(KEX::Warning, "Left %i holes open that no fill closes without reusing an edge or a triangle",
                       m_statistics.unfillableLoops);
  if (m_statistics.sheetLoops > 0)
    kexTaskDiagnostics(KEX::Warning, "Left %i outlines of open sheets open", m_statistics.sheetLoops);
  return task.ok();
}
