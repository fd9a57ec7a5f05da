#pragma once
// Internal (not installed): what the two one-pass smoothing algorithms share. Both prepare the
// buffer the same way (adjacency lists, unit vertex normals, the colour and triangle normal lists
// emptied), walk the triangle fan around each vertex the same way, and compute every new position
// from the old ones into a copy that is exchanged in only at the end, so a failure or a stop leaves
// the positions as they were. Before the exchange, a closed component whose new positions would
// enclose a volume of the other sign keeps its old ones: on a coarse closed mesh (a tetrahedron, a
// box of twelve triangles) moving every vertex towards its neighbours at once can turn the whole
// component inside out, which no per-vertex rule sees.
#include "kex/Task.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/core/internal/AdjacencyPreamble.h"
#include "kexmesh/core/internal/TaskEnd.h"
#include "kexmesh/core/internal/ClosedParts.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace kexsmooth {

/// Vertices per progress report of the smoothing loop.
inline constexpr int VERTEX_BLOCK = 8192;

/// The derived lists of one smoothing run: adjacency lists and the vertex normal list are made
/// available and removed again when they were absent at the start; the triangle normal list (which
/// the vertex normals are computed from) and a triangle angle list built on the way are removed
/// again whatever happens, since they would describe the old positions.
class Lists {
public:
  explicit Lists(KEXTriangleMeshBuffer& b)
      : m_buffer(b), m_vertexAdjacency(KEXDerivedListScope::vertexAdjacency(b, true)),
        m_triangleAdjacency(KEXDerivedListScope::triangleAdjacency(b, true)),
        m_angles(KEXDerivedListScope::triangleAngles(b, true)), m_hadNormals(b.hasVertexNormalList())
  {
  }
  ~Lists()
  {
    if (!m_hadNormals)
      m_buffer.vertexNormalList.clear();
    m_buffer.triangleNormalList.clear();
  }
  Lists(const Lists&) = delete;
  Lists& operator=(const Lists&) = delete;

  /// Steps 2 to 4 of both passes under task (weight 1): empties the colour lists and the triangle
  /// normals, builds the adjacency lists and the vertex normals (0.05 each) and brings every vertex
  /// normal to unit length (0.05). Empty on success; otherwise task has ended with the failing
  /// step's outcome and the value is the result to return.
  std::optional<bool> prepare(KEXTask& task)
  {
    KEXTriangleMeshBuffer& b = m_buffer;
    b.vertexColorList.clear();
    b.triangleNormalList.clear();
    b.triangleColorList.clear();
    if (auto failed = kexEnsureAdjacency(task, m_vertexAdjacency, m_triangleAdjacency, 0.05, 0.05))
      return failed;
    {
      KEXSubTask sub("Creating vertex normal list", 0.05);
      if (!m_hadNormals) {
        if (!b.calculateVertexNormals())
          return task.statusOf(sub, KEX::GenericError);
        // A vertex that no triangle uses gets a zero normal, which the harmonization would refuse;
        // it never moves and its normal leaves with the list, so any unit vector will do.
        for (int v = 0; v < b.getVertexCount(); ++v)
          if (b.vertexAdjacencyList[v].getCount() == 0)
            b.vertexNormalList[v] = KEXVector3<float>(0.0f, 0.0f, 1.0f);
      }
    }
    {
      KEXSubTask sub("Harmonizing vertex normal list", 0.05);
      if (!b.harmonizeVertexNormals(1.0f))
        return task.statusOf(sub, KEX::GenericError);
    }
    return std::nullopt;
  }

  /// After the new positions are in: lists that hold values of the old positions go.
  void positionsChanged()
  {
    m_buffer.triangleAngleList.clear();
    m_buffer.cornerVertexPages.clear();
    m_buffer.cornerNormalPages.clear();
  }

private:
  KEXTriangleMeshBuffer& m_buffer;
  KEXDerivedListScope m_vertexAdjacency, m_triangleAdjacency, m_angles;
  bool m_hadNormals;
};

/// How the fan walk around a vertex ended.
enum class Fan {
  Isolated, ///< no triangle uses the vertex
  Closed,   ///< the walk came back to its first corner
  Open      ///< it met an edge without a partner: a border, an edge of more than two triangles, an
            ///< inconsistently oriented neighbour or adjacency that does not fit the triangles
};

/// Walks the fan of triangles around vertex i reached from its first corner s. visit(w) is called
/// for q0 (the vertex before s in its triangle), then for the vertex after i in each triangle of
/// the forward walk (except q0 again), and, when the forward walk met a border and backward is
/// set, for the vertex before i in each triangle of the backward walk. The visited indices may be
/// invalid (the caller checks). Each walk takes at most as many steps as i has corners, so
/// adjacency that does not fit the triangles cannot make it cycle.
/// \pre both adjacency lists are present.
template <class Visit>
Fan walkFan(const KEXTriangleMeshBuffer& b, int i, bool backward, Visit&& visit)
{
  using Buffer = KEXTriangleMeshBuffer;
  const KEXCompactIndexArray& corners = b.vertexAdjacencyList[i];
  const int limit = corners.getCount();
  if (limit == 0)
    return Fan::Isolated;
  const int C = 3 * b.getTriangleCount();
  const int* vert = b.triangleList.getData()->getComponentPtr();
  const int* adj = b.triangleAdjacencyList.getData()->getComponentPtr();
  // The partner of corner c when it is a corner of i's (the walk's next corner), else -1.
  auto partnerAtI = [&](int p) { return p >= 0 && p < C && vert[p] == i ? p : -1; };

  const int s = corners[0];
  const int q0 = vert[Buffer::previousCorner(s)];
  visit(q0);
  int c = s;
  for (int step = 0; step < limit; ++step) {
    const int m = Buffer::nextCorner(c);
    const int w = vert[m];
    if (w != q0)
      visit(w);
    const int p = partnerAtI(adj[m]);
    if (p < 0)
      break;
    if (p == s)
      return Fan::Closed;
    c = p;
  }
  if (!backward)
    return Fan::Open;
  c = s;
  for (int step = 0; step < limit; ++step) {
    const int p = adj[c];
    if (p < 0 || p >= C)
      break;
    const int before = partnerAtI(Buffer::previousCorner(p));
    if (before < 0 || before == s)
      break;
    c = before;
    visit(vert[Buffer::previousCorner(c)]);
  }
  return Fan::Open;
}

/// Puts the old positions back into out for every closed part whose signed volume would change
/// sign; the number of such parts, or -1 when memory is short.
inline int keepClosedPartsFacing(const KEXTriangleMeshBuffer& b, const KEXVector3<float>* old, KEXVector3<float>* out)
{
  const int V = b.getVertexCount(), T = b.getTriangleCount();
  KEXValueList<int> part(1024, true);
  KEXValueList<char> closed(64, true);
  KEXValueList<double> volumes(64, true); // per part: before and after
  const int count = kexmeshcore::labelParts(b, part, closed);
  if (count < 0 || !volumes.setCount(2 * count, 0.0))
    return -1;
  const KEXVector3<double> centre = kexmeshcore::boxCentre(old, V);
  for (int t = 0; t < T; ++t) {
    const KEXTriangle<int>& tri = b.triangleList[t];
    if (!kexmeshcore::indexesVertices(tri, V))
      continue;
    const int c = part[tri[0]];
    volumes[2 * c] += kexmeshcore::triangleVolume(old, tri, centre);
    volumes[2 * c + 1] += kexmeshcore::triangleVolume(out, tri, centre);
  }
  int kept = 0;
  for (int c = 0; c < count; ++c) {
    const bool turns = closed[c] && volumes[2 * c] != 0.0 && !(volumes[2 * c] * volumes[2 * c + 1] > 0.0);
    closed[c] = char(turns); // from here on: keep the part
    kept += turns ? 1 : 0;
  }
  for (int v = 0; v < V; ++v)
    if (closed[part[v]])
      out[v] = old[v];
  return kept;
}

/// Step 5 of both passes under sub-task "Smoothing vertex list" (0.8) of task: copies the vertex
/// list, lets position(i, old, out) write vertex i's new position from the unchanged old list
/// (blocks of VERTEX_BLOCK vertices, one progress report each) and exchanges the copy in. A failed
/// copy ends task with "Out of memory" and copyFailureCode; a stop ends it with the sub-task's
/// outcome. The positions change only on success. Empty on success, else the result to return.
template <class Position>
std::optional<bool> smoothVertices(KEXTask& task, KEXTriangleMeshBuffer& b, KEXenum copyFailureCode,
                                   Position&& position)
{
  const int V = b.getVertexCount();
  KEXSubTask sub("Smoothing vertex list", 0.8);
  KEXValueList<KEXVector3<float>> copy(1024, true);
  if (!copy.setCount(V))
    return kexEndOutOfMemory(task, copyFailureCode);
  const KEXVector3<float>* old = b.vertexList.getData();
  if (V > 0)
    std::memcpy(static_cast<void*>(copy.getData()), old, size_t(V) * sizeof(KEXVector3<float>));
  bool completed = true;
  {
    KEXTask pass("Smoothing vertex list", double(V) + 1.0, 0x10000, 0);
    pass.incProgress(1.0, true);
    KEXVector3<float>* out = copy.getData();
    for (int first = 0; first < V && completed; first += VERTEX_BLOCK) {
      const int end = std::min(V, first + VERTEX_BLOCK);
      for (int i = first; i < end; ++i)
        position(i, old, out[i]);
      completed = pass.incProgress(double(end - first), true);
    }
    if (completed)
      pass.ok();
    else
      kexEndRefused(pass);
  }
  if (!completed)
    return task.statusOf(sub, KEX::GenericError);
  const int kept = keepClosedPartsFacing(b, old, copy.getData());
  if (kept < 0)
    return kexEndOutOfMemory(task, copyFailureCode);
  if (kept > 0)
    kexTaskDiagnostics(KEX::Warning, "Kept %i closed parts unsmoothed: smoothing would have turned them inside out", kept);
  b.vertexList.swap(copy);
  return std::nullopt;
}

} // namespace kexsmooth
