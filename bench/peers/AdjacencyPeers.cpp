// Connectivity from index arrays, side by side: kexmesh builds its vertex and triangle adjacency
// lists, OpenMesh builds a TriMesh (vertices and faces added to a reserved mesh, which sets up its
// half-edge connectivity). Same closed mesh of two million triangles, in generator order and
// shuffled. Prints the ratio OpenMesh time / kexmesh time for each order.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/Meshes.h"
#include "RatioReporter.h"

#include <OpenMesh/Core/Mesh/TriMesh_ArrayKernelT.hh>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using OMesh = OpenMesh::TriMesh_ArrayKernelT<>;

const KEXTriangleMeshBuffer& closedMesh(bool shuffled)
{
  static const KEXTriangleMeshBuffer ordered = kexmeshtest::makeSphere(1001, 1000);
  static const KEXTriangleMeshBuffer mixed = [] {
    KEXTriangleMeshBuffer b = ordered;
    std::mt19937 rng(42);
    kexmeshtest::shuffleTriangles(b, rng);
    return b;
  }();
  return shuffled ? mixed : ordered;
}

void BM_Kexmesh(benchmark::State& state)
{
  const KEXTriangleMeshBuffer& mesh = closedMesh(state.range(0) != 0);
  for (auto _ : state) {
    state.PauseTiming();
    KEXTriangleMeshBuffer b;
    b.vertexList = mesh.vertexList;
    b.triangleList = mesh.triangleList;
    state.ResumeTiming();
    if (!b.createTriangleAdjacencyList())
      state.SkipWithError("build failed");
    state.PauseTiming();
    b.clear();
    state.ResumeTiming();
  }
}

void BM_OpenMesh(benchmark::State& state)
{
  const KEXTriangleMeshBuffer& mesh = closedMesh(state.range(0) != 0);
  const int V = mesh.getVertexCount(), T = mesh.getTriangleCount();
  for (auto _ : state) {
    state.PauseTiming();
    auto* m = new OMesh;
    m->reserve(size_t(V), size_t(3 * T / 2), size_t(T));
    state.ResumeTiming();
    std::vector<OMesh::VertexHandle> handles;
    handles.resize(size_t(V));
    for (int v = 0; v < V; ++v) {
      const KEXVector3<float>& p = mesh.vertexList[v];
      handles[size_t(v)] = m->add_vertex(OMesh::Point(p.x, p.y, p.z));
    }
    for (int t = 0; t < T; ++t) {
      const KEXTriangle<int>& f = mesh.triangleList[t];
      m->add_face(handles[size_t(f[0])], handles[size_t(f[1])], handles[size_t(f[2])]);
    }
    benchmark::DoNotOptimize(m->n_faces());
    state.PauseTiming();
    delete m;
    state.ResumeTiming();
  }
}

// Keeps the mean real time of every run so that the ratios can be printed at the end.
} // namespace

BENCHMARK(BM_Kexmesh)->ArgName("shuffled")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_OpenMesh)->ArgName("shuffled")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

int main(int argc, char** argv)
{
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // Run names carry the options ("BM_Kexmesh/shuffled:0/min_time:2.000/real_time"): match the prefix.
  auto timeOf = [&reporter](const std::string& prefix) {
    for (const auto& [name, time] : reporter.times)
      if (name.compare(0, prefix.size(), prefix) == 0)
        return time;
    return 0.0;
  };
  for (const char* order : {"shuffled:0", "shuffled:1"}) {
    const double ours = timeOf(std::string("BM_Kexmesh/") + order + "/");
    const double peer = timeOf(std::string("BM_OpenMesh/") + order + "/");
    if (ours > 0 && peer > 0)
      std::printf("adjacency %s  OpenMesh/kexmesh time ratio: %.2f\n", order, peer / ours);
  }
  return 0;
}
