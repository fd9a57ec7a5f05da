// Hole filling side by side on the same holes: a 1,001,112-triangle sphere with 500 holes of
// 10 ... 200 edges, and one hole of 2000 edges. kexmesh closes every gap from plain vertex and
// triangle lists (building its adjacency lists inside); CGAL triangulate_hole is called once per
// border cycle of a Surface_mesh, with its defaults (2D constrained Delaunay for near-planar holes,
// else the 3D Delaunay search space) and with the full cubic search space, which minimises the
// same kind of weight as kexmesh; VTK vtkFillHolesFilter fills all holes in one update. Only the
// filling is timed: meshes are converted and the border cycles found beforehand.
// Prints the ratio peer time / kexmesh time for each peer.
#include "../HoleMeshes.h"
#include "kexmesh/repair/CloseGapsAlgorithm.h"
#include "RatioReporter.h"
#include "VtkMesh.h"

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Polygon_mesh_processing/triangulate_hole.h>
#include <CGAL/Surface_mesh.h>
#include <benchmark/benchmark.h>
#include <vtkCellArray.h>
#include <vtkFillHolesFilter.h>
#include <vtkNew.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

namespace PMP = CGAL::Polygon_mesh_processing;
using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using SurfaceMesh = CGAL::Surface_mesh<Kernel::Point_3>;
using Halfedge = SurfaceMesh::Halfedge_index;

const KEXTriangleMeshBuffer& input(int which)
{
  return which == 0 ? kexmeshbench::manyHoles().mesh : kexmeshbench::oneLargeHole();
}

void BM_Kexmesh(benchmark::State& state)
{
  const KEXTriangleMeshBuffer& m = input(int(state.range(0)));
  KEXCloseGapsAlgorithm algorithm;
  for (auto _ : state) {
    state.PauseTiming();
    KEXTriangleMeshBuffer b;
    b.vertexList = m.vertexList;
    b.triangleList = m.triangleList;
    algorithm.setBuffer(&b);
    state.ResumeTiming();
    if (!algorithm.execute(nullptr))
      state.SkipWithError("close gaps failed");
    state.PauseTiming();
    algorithm.setBuffer(nullptr);
    b.clear();
    state.ResumeTiming();
  }
  state.counters["filled"] = algorithm.getStatistics().filledLoops;
}

void toSurfaceMesh(const KEXTriangleMeshBuffer& m, SurfaceMesh& s, std::vector<Halfedge>& holes)
{
  s.clear();
  s.reserve(SurfaceMesh::size_type(m.getVertexCount()), SurfaceMesh::size_type(3 * m.getTriangleCount()),
            SurfaceMesh::size_type(m.getTriangleCount()));
  std::vector<SurfaceMesh::Vertex_index> v;
  v.reserve(size_t(m.getVertexCount()));
  for (const KEXVector3<float>& p : m.vertexList)
    v.push_back(s.add_vertex(Kernel::Point_3(p.x, p.y, p.z)));
  for (const KEXTriangle<int>& f : m.triangleList)
    s.add_face(v[size_t(f[0])], v[size_t(f[1])], v[size_t(f[2])]);
  holes.clear();
  std::vector<char> seen(s.number_of_halfedges(), 0);
  for (Halfedge h : s.halfedges()) {
    if (!s.is_border(h) || seen[size_t(h.idx())])
      continue;
    holes.push_back(h);
    for (Halfedge g = h; !seen[size_t(g.idx())]; g = s.next(g))
      seen[size_t(g.idx())] = 1;
  }
}

void cgal(benchmark::State& state, bool cubic)
{
  const KEXTriangleMeshBuffer& m = input(int(state.range(0)));
  SurfaceMesh s;
  std::vector<Halfedge> holes;
  size_t faces = 0;
  for (auto _ : state) {
    state.PauseTiming();
    toSurfaceMesh(m, s, holes);
    std::vector<SurfaceMesh::Face_index> patch;
    state.ResumeTiming();
    for (Halfedge h : holes) {
      if (cubic)
        PMP::triangulate_hole(s, h, std::back_inserter(patch),
                              CGAL::parameters::use_delaunay_triangulation(false)
                                  .use_2d_constrained_delaunay_triangulation(false));
      else
        PMP::triangulate_hole(s, h, std::back_inserter(patch));
    }
    faces = patch.size();
  }
  state.counters["added"] = double(faces);
}

void BM_CgalDefault(benchmark::State& state) { cgal(state, false); }
void BM_CgalCubic(benchmark::State& state) { cgal(state, true); }

void BM_VtkFillHoles(benchmark::State& state)
{
  const KEXTriangleMeshBuffer& m = input(int(state.range(0)));
  vtkSmartPointer<vtkPolyData> poly = toPolyData(m);
  vtkIdType cellsOut = 0;
  for (auto _ : state) {
    state.PauseTiming();
    vtkNew<vtkFillHolesFilter> filter;
    filter->SetInputData(poly);
    filter->SetHoleSize(1.0e30);
    state.ResumeTiming();
    filter->Update();
    cellsOut = filter->GetOutput()->GetNumberOfCells();
  }
  state.counters["added"] = double(cellsOut - m.getTriangleCount());
}

} // namespace

BENCHMARK(BM_Kexmesh)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CgalDefault)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CgalCubic)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_VtkFillHoles)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

int main(int argc, char** argv)
{
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const char* inputs[2] = {"500 holes", "2000-edge hole"};
  for (int which = 0; which < 2; ++which) {
    const std::string suffix = "/" + std::to_string(which);
    auto key = [&](const char* name) {
      for (const auto& [n, t] : reporter.times)
        if (n.rfind(std::string(name) + suffix + "/", 0) == 0)
          return n;
      return std::string();
    };
    const std::string ours = key("BM_Kexmesh");
    if (ours.empty())
      continue;
    for (const char* peer : {"BM_CgalDefault", "BM_CgalCubic", "BM_VtkFillHoles"}) {
      const std::string k = key(peer);
      if (!k.empty())
        std::printf("close gaps %-15s %-18s peer/kexmesh time ratio: %.2f\n", inputs[which], peer,
                    reporter.times[k] / reporter.times[ours]);
    }
  }
  return 0;
}
