// Welding a triangle soup, side by side (input: WeldSoup.h, a six-million-vertex soup of a
// two-million-triangle sphere). Tolerance welders on the jittered soup (1e-6 of the diagonal):
// kexmesh vertex clustering, Open3D MergeCloseVertices, VTK vtkCleanPolyData and
// vtkStaticCleanPolyData with an absolute tolerance. Exact welders on the exact soup: kexmesh at
// distance 0, CGAL merge_duplicate_points_in_polygon_soup and meshoptimizer's vertex remap.
// Conversion into each peer's types happens outside the timed region. Prints the ratios peer time /
// kexmesh time and the process's peak resident memory (run one benchmark per process, with
// --benchmark_filter, to read each welder's peak).
#include "../WeldSoup.h"
#include "kexmesh/repair/ClusterVerticesAlgorithm.h"
#include "RatioReporter.h"
#include "VtkMesh.h"

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Polygon_mesh_processing/repair_polygon_soup.h>
#include <benchmark/benchmark.h>
#include <meshoptimizer.h>
#include <open3d/geometry/TriangleMesh.h>
#include <vtkCellArray.h>
#include <vtkCleanPolyData.h>
#include <vtkNew.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkStaticCleanPolyData.h>

#include <sys/resource.h>

#include <cstdio>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using kexmeshbench::weldInput;

void BM_Kexmesh(benchmark::State& state)
{
  const kexmeshbench::WeldInput& in = weldInput(state.range(0) != 0);
  KEXClusterVerticesAlgorithm algorithm(state.range(0) ? float(in.tolerance) : 0.0f);
  for (auto _ : state) {
    state.PauseTiming();
    KEXTriangleMeshBuffer b;
    b.vertexList = in.soup.vertexList;
    b.triangleList = in.soup.triangleList;
    algorithm.setBuffer(&b);
    state.ResumeTiming();
    bool ok = algorithm.execute(nullptr);
    state.PauseTiming();
    algorithm.setBuffer(nullptr);
    if (!ok || b.getVertexCount() != in.meshVertices)
      state.SkipWithError("wrong vertex count");
    b.clear();
    state.ResumeTiming();
  }
}

void BM_Open3D(benchmark::State& state)
{
  const kexmeshbench::WeldInput& in = weldInput(true);
  open3d::geometry::TriangleMesh base;
  for (const KEXVector3<float>& p : in.soup.vertexList)
    base.vertices_.emplace_back(p.x, p.y, p.z);
  for (const KEXTriangle<int>& f : in.soup.triangleList)
    base.triangles_.emplace_back(f[0], f[1], f[2]);
  for (auto _ : state) {
    state.PauseTiming();
    open3d::geometry::TriangleMesh m(base);
    state.ResumeTiming();
    m.MergeCloseVertices(in.tolerance);
    state.PauseTiming();
    state.counters["vertices"] = double(m.vertices_.size());
    state.ResumeTiming();
  }
}

template <class Filter>
void runVTK(benchmark::State& state)
{
  const kexmeshbench::WeldInput& in = weldInput(true);
  vtkSmartPointer<vtkPolyData> poly = toPolyData(in.soup);
  for (auto _ : state) {
    state.PauseTiming();
    vtkNew<Filter> filter;
    filter->SetInputData(poly);
    filter->ToleranceIsAbsoluteOn();
    filter->SetAbsoluteTolerance(in.tolerance);
    if constexpr (std::is_same_v<Filter, vtkCleanPolyData>)
      filter->PointMergingOn(); // vtkStaticCleanPolyData always merges
    state.ResumeTiming();
    filter->Update();
    state.PauseTiming();
    state.counters["vertices"] = double(filter->GetOutput()->GetNumberOfPoints());
    state.ResumeTiming();
  }
}

void BM_VTKClean(benchmark::State& state) { runVTK<vtkCleanPolyData>(state); }
void BM_VTKStaticClean(benchmark::State& state) { runVTK<vtkStaticCleanPolyData>(state); }

void BM_CGALExact(benchmark::State& state)
{
  using K = CGAL::Exact_predicates_inexact_constructions_kernel;
  const kexmeshbench::WeldInput& in = weldInput(false);
  std::vector<K::Point_3> points;
  for (const KEXVector3<float>& p : in.soup.vertexList)
    points.emplace_back(p.x, p.y, p.z);
  std::vector<std::vector<std::size_t>> polygons;
  for (const KEXTriangle<int>& f : in.soup.triangleList)
    polygons.push_back({std::size_t(f[0]), std::size_t(f[1]), std::size_t(f[2])});
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<K::Point_3> pts(points);
    std::vector<std::vector<std::size_t>> polys(polygons);
    state.ResumeTiming();
    CGAL::Polygon_mesh_processing::merge_duplicate_points_in_polygon_soup(pts, polys);
    state.PauseTiming();
    state.counters["vertices"] = double(pts.size());
    state.ResumeTiming();
  }
}

void BM_MeshoptExact(benchmark::State& state)
{
  const kexmeshbench::WeldInput& in = weldInput(false);
  const size_t n = size_t(in.soup.getVertexCount());
  std::vector<unsigned int> remap(n), indices(n), outIndices(n);
  std::vector<float> outPositions(3 * n);
  for (size_t i = 0; i < n; ++i)
    indices[i] = unsigned(in.soup.triangleList[int(i / 3)][int(i % 3)]);
  for (auto _ : state) {
    size_t unique = meshopt_generateVertexRemap(remap.data(), indices.data(), n, in.soup.vertexList.getData(), n,
                                                sizeof(KEXVector3<float>));
    meshopt_remapIndexBuffer(outIndices.data(), indices.data(), n, remap.data());
    meshopt_remapVertexBuffer(outPositions.data(), in.soup.vertexList.getData(), n, sizeof(KEXVector3<float>),
                              remap.data());
    state.PauseTiming();
    state.counters["vertices"] = double(unique);
    state.ResumeTiming();
  }
}

} // namespace

BENCHMARK(BM_Kexmesh)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Open3D)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_VTKClean)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_VTKStaticClean)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Kexmesh)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CGALExact)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_MeshoptExact)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

int main(int argc, char** argv)
{
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto print = [&reporter](const char* ours, std::initializer_list<const char*> peers) {
    auto o = reporter.times.find(ours);
    if (o == reporter.times.end())
      return;
    for (const char* p : peers) {
      auto t = reporter.times.find(p);
      if (t != reporter.times.end())
        std::printf("weld  %-28s peer/kexmesh time ratio: %.2f\n", p, t->second / o->second);
    }
  };
  print("BM_Kexmesh/1/iterations:3/real_time", {"BM_Open3D/iterations:1/real_time", "BM_VTKClean/iterations:1/real_time",
                                                 "BM_VTKStaticClean/iterations:3/real_time"});
  print("BM_Kexmesh/0/iterations:3/real_time",
        {"BM_CGALExact/iterations:1/real_time", "BM_MeshoptExact/iterations:3/real_time"});
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident memory: %.0f MiB\n", double(usage.ru_maxrss) / 1024.0);
  return 0;
}
