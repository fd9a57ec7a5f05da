#pragma once
// A kexmesh buffer in each peer's mesh type and back, for the drivers that hand the same input to
// several peers and judge every result with the same checker. Conversions are never timed. Each
// peer's part is compiled only when the driver is built with that peer (KEXMESH_PEER_<NAME>).
#include "../PeerProcess.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <vector>

#ifdef KEXMESH_PEER_CGAL
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Surface_mesh.h>
#endif
#ifdef KEXMESH_PEER_OPENMESH
#include <OpenMesh/Core/Mesh/TriMesh_ArrayKernelT.hh>
#endif
#ifdef KEXMESH_PEER_VTK
#include "VtkMesh.h"
#endif
#ifdef KEXMESH_PEER_OPEN3D
#include <open3d/geometry/TriangleMesh.h>
#endif

namespace kexmeshbench {

#ifdef KEXMESH_PEER_CGAL
using CgalKernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using CgalPoint = CgalKernel::Point_3;
using CgalMesh = CGAL::Surface_mesh<CgalPoint>;

inline CgalMesh toCgal(const KEXTriangleMeshBuffer& b)
{
  CgalMesh mesh;
  mesh.reserve(CgalMesh::size_type(b.getVertexCount()), CgalMesh::size_type(3 * b.getTriangleCount() / 2),
               CgalMesh::size_type(b.getTriangleCount()));
  std::vector<CgalMesh::Vertex_index> v;
  v.reserve(size_t(b.getVertexCount()));
  for (const KEXVector3<float>& p : b.vertexList)
    v.push_back(mesh.add_vertex(CgalPoint(p.x, p.y, p.z)));
  for (const KEXTriangle<int>& t : b.triangleList)
    mesh.add_face(v[size_t(t[0])], v[size_t(t[1])], v[size_t(t[2])]);
  return mesh;
}

/// Faces of more than three corners (none is expected) are fanned, so that nothing is hidden.
inline PeerOutput fromCgal(CgalMesh& mesh)
{
  mesh.collect_garbage();
  PeerOutput out;
  out.vertices.reserve(mesh.number_of_vertices());
  for (CgalMesh::Vertex_index v : mesh.vertices()) {
    const CgalPoint& p = mesh.point(v);
    out.vertices.emplace_back(float(p.x()), float(p.y()), float(p.z()));
  }
  out.triangles.reserve(mesh.number_of_faces());
  std::vector<int> corners;
  for (CgalMesh::Face_index f : mesh.faces()) {
    corners.clear();
    for (CgalMesh::Vertex_index v : mesh.vertices_around_face(mesh.halfedge(f)))
      corners.push_back(int(v.idx()));
    for (size_t k = 2; k < corners.size(); ++k)
      out.triangles.emplace_back(corners[0], corners[k - 1], corners[k]);
  }
  return out;
}
#endif

#ifdef KEXMESH_PEER_OPENMESH
using OMesh = OpenMesh::TriMesh_ArrayKernelT<>;

inline void toOpenMesh(const KEXTriangleMeshBuffer& b, OMesh& om)
{
  std::vector<OMesh::VertexHandle> h;
  h.reserve(size_t(b.getVertexCount()));
  for (const KEXVector3<float>& p : b.vertexList)
    h.push_back(om.add_vertex(OMesh::Point(p.x, p.y, p.z)));
  for (const KEXTriangle<int>& f : b.triangleList)
    om.add_face(h[size_t(f[0])], h[size_t(f[1])], h[size_t(f[2])]);
}

inline PeerOutput fromOpenMesh(OMesh& om)
{
  if (om.has_vertex_status() || om.has_face_status() || om.has_edge_status())
    om.garbage_collection();
  PeerOutput out;
  out.vertices.reserve(om.n_vertices());
  for (OMesh::VertexHandle v : om.vertices()) {
    const OMesh::Point& p = om.point(v);
    out.vertices.emplace_back(float(p[0]), float(p[1]), float(p[2]));
  }
  out.triangles.reserve(om.n_faces());
  std::vector<int> corners;
  for (OMesh::FaceHandle f : om.faces()) {
    corners.clear();
    for (OMesh::VertexHandle v : om.fv_range(f))
      corners.push_back(v.idx());
    for (size_t k = 2; k < corners.size(); ++k)
      out.triangles.emplace_back(corners[0], corners[k - 1], corners[k]);
  }
  return out;
}
#endif

#ifdef KEXMESH_PEER_VTK
/// Polygons of more than three corners are fanned; lines, vertices and strips are left out.
inline PeerOutput fromPolyData(vtkPolyData* poly)
{
  PeerOutput out;
  vtkPoints* points = poly->GetPoints();
  const vtkIdType n = points ? points->GetNumberOfPoints() : 0;
  out.vertices.reserve(size_t(n));
  for (vtkIdType i = 0; i < n; ++i) {
    double p[3];
    points->GetPoint(i, p);
    out.vertices.emplace_back(float(p[0]), float(p[1]), float(p[2]));
  }
  vtkCellArray* polys = poly->GetPolys();
  if (!polys)
    return out;
  out.triangles.reserve(size_t(polys->GetNumberOfCells()));
  vtkIdType count = 0;
  const vtkIdType* ids = nullptr;
  for (polys->InitTraversal(); polys->GetNextCell(count, ids);)
    for (vtkIdType k = 2; k < count; ++k)
      out.triangles.emplace_back(int(ids[0]), int(ids[k - 1]), int(ids[k]));
  return out;
}
#endif

#ifdef KEXMESH_PEER_OPEN3D
inline open3d::geometry::TriangleMesh toOpen3D(const KEXTriangleMeshBuffer& b)
{
  open3d::geometry::TriangleMesh o;
  o.vertices_.reserve(size_t(b.getVertexCount()));
  for (const KEXVector3<float>& p : b.vertexList)
    o.vertices_.emplace_back(p.x, p.y, p.z);
  o.triangles_.reserve(size_t(b.getTriangleCount()));
  for (const KEXTriangle<int>& f : b.triangleList)
    o.triangles_.emplace_back(f[0], f[1], f[2]);
  return o;
}

inline PeerOutput fromOpen3D(const open3d::geometry::TriangleMesh& o)
{
  PeerOutput out;
  out.vertices.reserve(o.vertices_.size());
  for (const auto& p : o.vertices_)
    out.vertices.emplace_back(float(p.x()), float(p.y()), float(p.z()));
  out.triangles.reserve(o.triangles_.size());
  for (const auto& t : o.triangles_)
    out.triangles.emplace_back(t.x(), t.y(), t.z());
  return out;
}
#endif

} // namespace kexmeshbench
