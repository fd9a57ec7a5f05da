// Gap closing: one scan over the corners finds the border edges (corners without a partner in the
// triangle adjacency list). From each one the loop of border edges is traced: at the end vertex of
// the last border edge the walk turns around that vertex through its interior edges (each step
// crosses to the partner triangle) until it meets the next border edge. When the loop comes back to
// a vertex it passed, the part from that vertex on is a closed loop (the innermost one, should the
// walk have wandered into a smaller loop through a shared vertex) and is filled with the
// minimum-weight triangulation of the triangulation tools. A loop is given up at an inconsistently
// oriented neighbour or at a protected edge (both vertices carry the same non-zero edge flag).
//
// Cost: each loop vertex remembers its position in the loop, so recognising the return to a vertex
// costs one lookup; each border edge of a given-up trace is marked (its adjacency entry becomes -2,
// still a border entry): no later trace starts there, and a trace that reaches it is given up too,
// since it would follow the same path to the same obstacle. Together the scan is linear in the mesh size plus the cubic work of
// the loop triangulations. Corrupt adjacency cannot make the walk around a vertex cycle: it takes at
// most as many steps as the vertex has corners.
#include "kexmesh/repair/CloseGapsAlgorithm.h"

#include "kex/Task.h"
#include "kexmesh/reconstruct/TriangulationTools.h"

#include <algorithm>

KEXMESH_DEFINE_CLASS(KEXCloseGapsAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

using Buffer = KEXTriangleMeshBuffer;

constexpr int SCAN_CORNERS = 6144; // corners per progress report
constexpr int LOOP_BLOCK = 16;
constexpr int DEAD_BORDER = -2; // a border corner whose trace was given up

inline int nextCorner(int c) { return (c % 3 == 2) ? c - 2 : c + 1; }
inline int previousCorner(int c) { return (c % 3 == 0) ? c + 2 : c - 1; }
inline int cornerVertex(const Buffer& b, int c) { return b.triangleList[c / 3][c % 3]; }
inline int& adjacency(Buffer& b, int c) { return b.triangleAdjacencyList[c / 3][c % 3]; }

bool endRefused(KEXTask& task) { return task.wasAborted() ? task.aborted() : task.error(KEX::GenericError); }

bool endOutOfMemory(KEXTask& task)
{
  KEXTask::Diagnostics diagnostics(KEX::Error, "Out of memory");
  return task.error(KEX::OutOfMemory, &diagnostics);
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

enum class Trace { Skipped, Filled, Short, Oversized, Abandoned, OutOfMemory, FillFailed };

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
      m_position[cornerVertex(m_buffer, previousCorner(c))] = -1;
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
  Trace abandon() { return giveUp(0, Trace::Abandoned); }

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
  const int s0 = cornerVertex(b, previousCorner(c0)), e0 = cornerVertex(b, c0);
  if (!b.isValidVertex(s0) || !b.isValidVertex(e0) || isProtected(s0, e0))
    return Trace::Skipped;
  if (m_position.getCount() != b.getVertexCount() && !m_position.setCount(b.getVertexCount(), -1))
    return Trace::OutOfMemory;
  if (!m_loop.append(c0))
    return Trace::OutOfMemory;
  m_position[s0] = 0;
  int current = c0;
  for (;;) {
    // Turn around the end vertex w of the last border edge until the next border edge.
    const int w = cornerVertex(b, current);
    const int corners = 3 * b.getTriangleCount();
    const int limit = b.vertexAdjacencyList[w].getCount();
    int n = nextCorner(current);
    for (int steps = 0; adjacency(b, n) >= 0; ++steps) {
      const int p = adjacency(b, n);
      if (p >= corners || cornerVertex(b, p) != w || steps >= limit)
        return abandon(); // inconsistent neighbour (or adjacency that does not fit the triangles)
      n = nextCorner(p);
    }
    // n's edge runs from w to x and is the next border edge. Should a given-up trace have passed
    // it, this one would follow it to the same obstacle.
    const int x = cornerVertex(b, n);
    if (!b.isValidVertex(x) || adjacency(b, n) == DEAD_BORDER)
      return abandon();
    const int closing = m_position[x]; // the loop edge that starts where n's edge ends
    if (isProtected(w, x))
      return abandon();
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
    const int length = m_loop.getCount() - closing;
    loopLength = length;
    Trace result = Trace::Filled;
    if (length < 3)
      result = Trace::Short;
    else if (length > KEXCloseGapsAlgorithm::MAXIMUM_LOOP_LENGTH)
      return giveUp(closing, Trace::Oversized); // traced once: its edges start no other trace
    else if (!KEXTriangulationTools::clockwiseEdgeLoop(&b, m_loop.getData() + closing, length))
      result = Trace::FillFailed;
    reset();
    return result;
  }
}

} // namespace

bool KEXCloseGapsAlgorithm::run(void*)
{
  m_statistics = Statistics();
  const int V = m_buffer.getVertexCount(), T = m_buffer.getTriangleCount();
  KEXTask task("Closing gaps", double(V) + 2.0 * T + 1.0, 0x1010000, 0);
  if (!task.incProgress(1.0, true))
    return endRefused(task);

  KEXDerivedListScope vertexAdjacency = KEXDerivedListScope::vertexAdjacency(m_buffer, true);
  {
    KEXSubTask sub("Creating vertex adjacency list", double(V));
    if (!vertexAdjacency.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }
  KEXDerivedListScope triangleAdjacency = KEXDerivedListScope::triangleAdjacency(m_buffer, true);
  {
    KEXSubTask sub("Creating triangle adjacency list", double(T));
    if (!triangleAdjacency.ensure())
      return task.statusOf(sub, KEX::GenericError);
  }
  DeadBorderReset deadReset(m_buffer, triangleAdjacency.wasPresent());
  LoopTracer tracer(m_buffer);

  // Only the corners that exist now are scanned: the filling triangles are appended behind them
  // and pair with the loops' edges.
  const int corners = 3 * T;
  for (int first = 0; first < corners; first += SCAN_CORNERS) {
    const int end = std::min(corners, first + SCAN_CORNERS);
    for (int c = first; c < end; ++c) {
      if (adjacency(m_buffer, c) != -1)
        continue;
      int length = 0;
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
        break;
      case Trace::Short:
        ++m_statistics.shortLoops;
        break;
      case Trace::Oversized:
        ++m_statistics.oversizedLoops;
        m_statistics.largestOpenLoop = std::max(m_statistics.largestOpenLoop, length);
        break;
      case Trace::Abandoned:
        ++m_statistics.abandonedLoops;
        break;
      case Trace::OutOfMemory:
        return endOutOfMemory(task);
      case Trace::FillFailed:
        return task.error(KEX::GenericError);
      }
    }
    if (!task.incProgress(double(end - first) / 3.0, true))
      return endRefused(task);
  }
  if (m_statistics.oversizedLoops > 0)
    kexTaskDiagnostics(KEX::Warning, "Left %i holes of more than %i edges open", m_statistics.oversizedLoops,
                       MAXIMUM_LOOP_LENGTH);
  return task.ok();
}
