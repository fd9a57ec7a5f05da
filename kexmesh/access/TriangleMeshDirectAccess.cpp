// The plain mesh access object: a private copy of the mesh's positions and triangles plus one
// position per corner, so that a reader walks the corners of consecutive triangles in one pass
// without indirection. The copy is taken again whenever one of the two lists carries a newer
// modification stamp (or was replaced) than at the last build; the corner pages are filled on the
// worker threads.
#include "kexmesh/access/TriangleMeshDirectAccess.h"

#include "kex/Error.h"
#include "kex/Properties.h"
#include "kex/Thread.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/objects/TriangleMesh.h"
#include "kexmesh/objects/Vocabulary.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

KEXMESH_DEFINE_CLASS(KEXTriangleMeshDirectAccess, KEXTriangleMeshAccessIF)

namespace {
/// What a build was taken from: the list property and its stamp.
struct Source {
  const KEXProperty* property = nullptr;
  uint64_t stamp = 0;
  bool operator==(const Source& o) const { return property == o.property && stamp == o.stamp; }
};

Source sourceOf(const KEXTriangleMesh& mesh, KEXenum name)
{
  const KEXProperty* p = mesh.getProperty(name);
  return {p, p ? p->getModificationTime() : 0};
}

/// Sizes pages for total entries in pages of at most PAGE_SIZE; false when memory is short.
bool sizePages(KEXValueList<KEXTriangleMeshBuffer::Page>& pages, long long total)
{
  const int P = KEXTriangleMeshBuffer::PAGE_SIZE;
  const int count = int((total + P - 1) / P);
  pages.setReleaseFlag(true);
  if (!pages.setCount(count))
    return false;
  for (int p = 0; p < count; ++p) {
    pages[p].setBlockSize(1024);
    pages[p].setReleaseFlag(true);
    if (!pages[p].setCount(int(std::min<long long>(P, total - (long long)(p) * P))))
      return false;
  }
  return true;
}

/// Fills the corner pages of triangles [first, end) from the buffer's own vertex and triangle
/// lists: positions, and as normals each triangle's unit normal (zero for a degenerate one), which
/// is all a reader of this access needs and keeps the two page lists parallel as the buffer
/// requires. A triangle with an index out of range gets NaN at all three corners instead of a read
/// past the vertex list.
void fillCorners(KEXTriangleMeshBuffer& buffer, int first, int end)
{
  if (first >= end)
    return;
  const int P = KEXTriangleMeshBuffer::PAGE_SIZE;
  const unsigned V = unsigned(buffer.getVertexCount());
  const KEXVector3<float>* vertices = buffer.vertexList.getData();
  const KEXTriangle<int>* triangles = buffer.triangleList.getData();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const KEXVector3<float> unread(nan, nan, nan);
  long long corner = 3LL * first;
  int page = int(corner / P), slot = int(corner % P);
  KEXVector3<float>* positions = buffer.cornerVertexPages[page].getData();
  KEXVector3<float>* normals = buffer.cornerNormalPages[page].getData();
  for (int t = first; t < end; ++t) {
    const KEXTriangle<int>& tri = triangles[t];
    const bool valid = unsigned(tri[0]) < V && unsigned(tri[1]) < V && unsigned(tri[2]) < V;
    KEXVector3<float> normal = unread;
    if (valid) {
      const KEXVector3<double> a(vertices[tri[0]]), b(vertices[tri[1]]), c(vertices[tri[2]]);
      const KEXVector3<double> n = (b - a).cross(c - a);
      const double length = n.length();
      normal = length > 0.0 ? KEXVector3<float>(n / length) : KEXVector3<float>();
    }
    for (int k = 0; k < 3; ++k) {
      // A triangle's corners may straddle two pages (the page size is not a multiple of 3).
      if (slot == P) {
        ++page;
        slot = 0;
        positions = buffer.cornerVertexPages[page].getData();
        normals = buffer.cornerNormalPages[page].getData();
      }
      positions[slot] = valid ? vertices[tri[k]] : unread;
      normals[slot] = normal;
      ++slot;
    }
  }
}

/// Sizes the corner pages and fills them on the worker threads in blocks of triangles; every
/// block writes its own corners, so the pages are the same for any number of workers.
class CornerFill : public KEXMultiThread {
public:
  static constexpr int BLOCK = 16384;
  explicit CornerFill(KEXTriangleMeshBuffer& buffer) : m_buffer(buffer) {}
  bool fill()
  {
    const int T = m_buffer.getTriangleCount();
    if (!sizePages(m_buffer.cornerVertexPages, 3LL * T) || !sizePages(m_buffer.cornerNormalPages, 3LL * T))
      return false;
    if (T <= 2 * BLOCK || getNumberOfThreads() < 2) {
      fillCorners(m_buffer, 0, T);
      return true;
    }
    return runAll(0);
  }
  bool run() override
  {
    const int T = m_buffer.getTriangleCount();
    for (;;) {
      const long long first = (long long)getAtomic() * BLOCK;
      if (first >= T)
        return true;
      fillCorners(m_buffer, int(first), int(std::min<long long>(T, first + BLOCK)));
    }
  }

private:
  KEXTriangleMeshBuffer& m_buffer;
};
} // namespace

struct KEXTriangleMeshDirectAccess::Private : KEXClassMember {
  const KEXTriangleMesh* mesh = nullptr;
  KEXTriangleMeshBuffer buffer;
  bool built = false;
  Source vertices, triangles;
  int builds = 0;

  void invalidate()
  {
    buffer.clear();
    built = false;
  }

  /// Takes the copy again into the storage of the last one: a mesh whose size did not change
  /// gets its pages refilled, not allocated anew.
  bool rebuild()
  {
    built = false;
    const int V = mesh->getVertexCount();
    const int T = mesh->getNumberOfTriangles();
    if (T < 0)
      return false;
    const Source v = sourceOf(*mesh, KEX::VertexList), t = sourceOf(*mesh, KEX::TriangleList);
    buffer.vertexList.setReleaseFlag(true);
    buffer.triangleList.setReleaseFlag(true);
    bool ok = buffer.vertexList.setCount(V) && buffer.triangleList.setCount(T);
    ok = ok && (V == 0 || mesh->getVertexList(0, V - 1, buffer.vertexList.getData()));
    ok = ok && (T == 0 || mesh->getTriangles(0, T - 1, buffer.triangleList.getData()));
    ok = ok && CornerFill(buffer).fill();
    if (!ok) {
      invalidate();
      return false;
    }
    vertices = v;
    triangles = t;
    built = true;
    ++builds;
    return true;
  }
};

KEXTriangleMeshDirectAccess::KEXTriangleMeshDirectAccess()
{
  m_private = new Private;
  if (!m_private)
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
}

KEXTriangleMeshDirectAccess::KEXTriangleMeshDirectAccess(const KEXTriangleMeshDirectAccess& other)
    : KEXTriangleMeshDirectAccess()
{
  setMesh(other.getMesh());
}

KEXTriangleMeshDirectAccess& KEXTriangleMeshDirectAccess::operator=(const KEXTriangleMeshDirectAccess& other)
{
  if (this != &other) {
    KEXTriangleMeshAccessIF::operator=(other);
    setMesh(other.getMesh());
  }
  return *this;
}

KEXTriangleMeshDirectAccess::~KEXTriangleMeshDirectAccess() { delete m_private; }

KEXenum KEXTriangleMeshDirectAccess::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXTriangleMeshDirectAccess", 0, "kexmesh");
  return level == 0 ? id.get() : KEXTriangleMeshAccessIF::getObjectID(level - 1);
}

void KEXTriangleMeshDirectAccess::setMesh(const KEXTriangleMesh* mesh)
{
  if (!m_private)
    return;
  m_private->mesh = mesh;
  m_private->invalidate();
}

const KEXTriangleMesh* KEXTriangleMeshDirectAccess::getMesh() const { return m_private ? m_private->mesh : nullptr; }

int KEXTriangleMeshDirectAccess::getBuildCount() const { return m_private ? m_private->builds : 0; }

const KEXTriangleMeshBuffer* KEXTriangleMeshDirectAccess::getBuffer()
{
  if (!m_private || !m_private->mesh)
    return nullptr;
  Private& p = *m_private;
  const bool current = p.built && p.vertices == sourceOf(*p.mesh, KEX::VertexList) &&
                       p.triangles == sourceOf(*p.mesh, KEX::TriangleList);
  if (!current && !p.rebuild())
    return nullptr;
  return &p.buffer;
}

KEXTriangleMeshDirectAccess* KEXTriangleMeshDirectAccess::attach(KEXTriangleMesh& mesh)
{
  KEXClass* created = metaClass().create();
  auto* access = static_cast<KEXTriangleMeshDirectAccess*>(created);
  if (!access)
    return nullptr;
  if (!access->m_private) {
    access->release();
    return nullptr;
  }
  access->setMesh(&mesh);
  auto* list = dynamic_cast<KEXValueArrayPropertyIF<KEXObjectLink>*>(mesh.getProperty(KEX::GeometryAccessList));
  const bool ok = list && list->insertItem(list->getCount(), KEXObjectLink(access));
  access->release(); // the creator's reference: from here on the list's is the only one
  return ok ? access : nullptr;
}
