// Orientation consolidation side by side on the same closed mesh of two million triangles with 30%
// of its triangles flipped: kexmesh (KEXConsolidateOrientationAlgorithm from a buffer without
// derived lists, so building its adjacency is timed), CGAL (orient_polygon_soup, then the soup is
// turned into a Surface_mesh and orient_to_bound_a_volume makes it face outward: the conversion is
// part of CGAL's way there and is timed), Open3D (TriangleMesh::OrientTriangles: consistency only,
// no outward rule) and VTK (vtkPolyDataNormals with consistency and auto-orientation, no
// splitting). Each peer's input is built beforehand; a fresh copy of the triangles is made outside
// the timing for every iteration. Prints the ratio peer time / kexmesh time for each peer.
#include "kexmesh/repair/ConsolidateOrientationAlgorithm.h"
#include "support/Meshes.h"
#include "RatioReporter.h"
#include "VtkMesh.h"

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Polygon_mesh_processing/orient_polygon_soup.h>
#include <CGAL/Polygon_mesh_processing/orientation.h>
#include <CGAL/Polygon_mesh_processing/polygon_soup_to_polygon_mesh.h>
#include <CGAL/Surface_mesh.h>
#include <benchmark/benchmark.h>
#include <open3d/geometry/TriangleMesh.h>
#include <vtkCellArray.h>
#include <vtkNew.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkPolyDataNormals.h>

#include <array>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

const KEXTriangleMeshBuffer& mesh()
{
  static const KEXTriangleMeshBuffer m = [] {
    KEXTriangleMeshBuffer b = kexmeshtest::makeSphere(1001, 1000);
    std::mt19937 rng(1);
    kexmeshtest::flipRandomTriangles(b, 0.3, rng);
    return b;
  }();
  return m;
}

void BM_Kexmesh(benchmark::State& state)
{
  KEXConsolidateOrientationAlgorithm algorithm;
  for (auto _ : state) {
    state.PauseTiming();
    KEXTriangleMeshBuffer b;
    b.vertexList = mesh().vertexList;
    b.triangleList = mesh().triangleList;
    state.ResumeTiming();
    algorithm.setBuffer(&b);
    if (!algorithm.execute(nullptr))
      state.SkipWithError("failed");
    algorithm.setBuffer(nullptr);
    state.PauseTiming();
    if (kexmeshtest::signedVolume(b) <= 0.0)
      state.SkipWithError("not outward");
    b.clear();
    state.ResumeTiming();
  }
}

using K = CGAL::Exact_predicates_inexact_constructions_kernel;
using SurfaceMesh = CGAL::Surface_mesh<K::Point_3>;
namespace PMP = CGAL::Polygon_mesh_processing;

void BM_CGAL(benchmark::State& state)
{
  const KEXTriangleMeshBuffer& m = mesh();
  std::vector<K::Point_3> points;
  for (const KEXVector3<float>& p : m.vertexList)
    points.emplace_back(p.x, p.y, p.z);
  std::vector<std::vector<std::size_t>> soup;
  for (const KEXTriangle<int>& f : m.triangleList)
    soup.push_back({std::size_t(f[0]), std::size_t(f[1]), std::size_t(f[2])});
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<K::Point_3> pts(points);
    std::vector<std::vector<std::size_t>> polygons(soup);
    SurfaceMesh sm;
    state.ResumeTiming();
    PMP::orient_polygon_soup(pts, polygons);
    PMP::polygon_soup_to_polygon_mesh(pts, polygons, sm);
    PMP::orient_to_bound_a_volume(sm);
    benchmark::DoNotOptimize(sm.number_of_faces());
    state.PauseTiming();
    sm.clear();
    state.ResumeTiming();
  }
}

void BM_Open3D(benchmark::State& state)
{
  const KEXTriangleMeshBuffer& m = mesh();
  open3d::geometry::TriangleMesh base;
  for (const KEXVector3<float>& p : m.vertexList)
    base.vertices_.emplace_back(p.x, p.y, p.z);
  for (const KEXTriangle<int>& f : m.triangleList)
    base.triangles_.emplace_back(f[0], f[1], f[2]);
  for (auto _ : state) {
    state.PauseTiming();
    open3d::geometry::TriangleMesh o(base);
    state.ResumeTiming();
    benchmark::DoNotOptimize(o.OrientTriangles());
  }
}

void BM_VTK(benchmark::State& state)
{
  const KEXTriangleMeshBuffer& m = mesh();
  vtkSmartPointer<vtkPolyData> poly = toPolyData(m);
  for (auto _ : state) {
    state.PauseTiming();
    vtkNew<vtkPolyDataNormals> filter;
    filter->SetInputData(poly);
    filter->SplittingOff();
    filter->ConsistencyOn();
    filter->AutoOrientNormalsOn();
    state.ResumeTiming();
    filter->Update();
    benchmark::DoNotOptimize(filter->GetOutput()->GetNumberOfCells());
  }
}

} // namespace

BENCHMARK(BM_Kexmesh)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CGAL)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_Open3D)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_VTK)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

int main(int argc, char** argv)
{
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ours = reporter.byFunction.find("BM_Kexmesh");
  if (ours == reporter.byFunction.end())
    return 0;
  for (const auto& [name, time] : reporter.byFunction)
    if (name != ours->first)
      std::printf("orientation  %-12s peer/kexmesh time ratio: %.2f\n", name.c_str(), time / ours->second);
  return 0;
}
