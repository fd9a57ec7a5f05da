// Vertex normals side by side on the same closed mesh of two million triangles: kexmesh from a
// buffer without derived lists (it builds vertex adjacency, triangle normals and inner angles on
// the way), OpenMesh update_normals, Open3D ComputeVertexNormals, VTK vtkPolyDataNormals (no
// splitting, no consistency pass) and VTK vtkTriangleMeshPointNormals. Only the operation is timed:
// each peer's mesh is built beforehand and its previous normals are dropped outside the timing.
// Prints the ratio peer time / kexmesh time for each peer.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/Meshes.h"
#include "RatioReporter.h"
#include "VtkMesh.h"

#include <OpenMesh/Core/Mesh/TriMesh_ArrayKernelT.hh>
#include <benchmark/benchmark.h>
#include <open3d/geometry/TriangleMesh.h>
#include <vtkCellArray.h>
#include <vtkFloatArray.h>
#include <vtkNew.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkPolyDataNormals.h>
#include <vtkTriangleMeshPointNormals.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

const KEXTriangleMeshBuffer& mesh()
{
  static const KEXTriangleMeshBuffer m = kexmeshtest::makeSphere(1001, 1000);
  return m;
}

void BM_Kexmesh(benchmark::State& state)
{
  for (auto _ : state) {
    state.PauseTiming();
    KEXTriangleMeshBuffer b;
    b.vertexList = mesh().vertexList;
    b.triangleList = mesh().triangleList;
    state.ResumeTiming();
    if (!b.calculateVertexNormals())
      state.SkipWithError("failed");
    state.PauseTiming();
    b.clear();
    state.ResumeTiming();
  }
}

using OMesh = OpenMesh::TriMesh_ArrayKernelT<>;

void BM_OpenMesh(benchmark::State& state)
{
  const KEXTriangleMeshBuffer& m = mesh();
  OMesh om;
  om.reserve(size_t(m.getVertexCount()), size_t(3 * m.getTriangleCount() / 2), size_t(m.getTriangleCount()));
  std::vector<OMesh::VertexHandle> h;
  for (const KEXVector3<float>& p : m.vertexList)
    h.push_back(om.add_vertex(OMesh::Point(p.x, p.y, p.z)));
  for (const KEXTriangle<int>& f : m.triangleList)
    om.add_face(h[size_t(f[0])], h[size_t(f[1])], h[size_t(f[2])]);
  om.request_face_normals();
  om.request_vertex_normals();
  for (auto _ : state) {
    om.update_normals();
    benchmark::DoNotOptimize(om.normal(OMesh::VertexHandle(0)));
  }
}

void BM_Open3D(benchmark::State& state)
{
  const KEXTriangleMeshBuffer& m = mesh();
  open3d::geometry::TriangleMesh o;
  for (const KEXVector3<float>& p : m.vertexList)
    o.vertices_.emplace_back(p.x, p.y, p.z);
  for (const KEXTriangle<int>& f : m.triangleList)
    o.triangles_.emplace_back(f[0], f[1], f[2]);
  for (auto _ : state) {
    state.PauseTiming();
    o.triangle_normals_.clear();
    o.vertex_normals_.clear();
    state.ResumeTiming();
    o.ComputeVertexNormals(true);
    benchmark::DoNotOptimize(o.vertex_normals_.data());
  }
}

vtkPolyData* vtkMesh()
{
  static vtkSmartPointer<vtkPolyData> poly = toPolyData(mesh());
  return poly;
}

void BM_VtkPolyDataNormals(benchmark::State& state)
{
  vtkPolyData* poly = vtkMesh();
  for (auto _ : state) {
    state.PauseTiming();
    vtkNew<vtkPolyDataNormals> filter;
    filter->SetInputData(poly);
    filter->SplittingOff();
    filter->ConsistencyOff();
    filter->AutoOrientNormalsOff();
    filter->ComputePointNormalsOn();
    filter->ComputeCellNormalsOff();
    state.ResumeTiming();
    filter->Update();
    benchmark::DoNotOptimize(filter->GetOutput()->GetPointData());
  }
}

void BM_VtkTriangleMeshPointNormals(benchmark::State& state)
{
  vtkPolyData* poly = vtkMesh();
  for (auto _ : state) {
    state.PauseTiming();
    vtkNew<vtkTriangleMeshPointNormals> filter;
    filter->SetInputData(poly);
    state.ResumeTiming();
    filter->Update();
    benchmark::DoNotOptimize(filter->GetOutput()->GetPointData());
  }
}

} // namespace

BENCHMARK(BM_Kexmesh)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_OpenMesh)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Open3D)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_VtkPolyDataNormals)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_VtkTriangleMeshPointNormals)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

int main(int argc, char** argv)
{
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ours = reporter.times.find("BM_Kexmesh/min_time:2.000/real_time");
  if (ours == reporter.times.end())
    return 0;
  for (const auto& [name, time] : reporter.times)
    if (name != ours->first)
      std::printf("vertex normals  %-55s peer/kexmesh time ratio: %.2f\n", name.c_str(), time / ours->second);
  return 0;
}
