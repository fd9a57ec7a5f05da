// Building the buffer's adjacency lists for a closed mesh of two million triangles, in the
// generator's coherent triangle order and shuffled. Counters: triangles per second and the bytes
// per triangle the buffer holds with both adjacency lists present.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "support/Meshes.h"

#include <benchmark/benchmark.h>

#include <random>

namespace {

const KEXTriangleMeshBuffer& closedMesh(bool shuffled)
{
  static const KEXTriangleMeshBuffer ordered = kexmeshtest::makeSphere(1001, 1000); // 2,000,000 triangles
  static const KEXTriangleMeshBuffer mixed = [] {
    KEXTriangleMeshBuffer b = ordered;
    std::mt19937 rng(42);
    kexmeshtest::shuffleTriangles(b, rng);
    return b;
  }();
  return shuffled ? mixed : ordered;
}

// Bytes held by the buffer's vertex, triangle and adjacency lists, corner lists included.
double bufferBytes(const KEXTriangleMeshBuffer& b)
{
  double bytes = double(b.vertexList.getCapacity()) * sizeof(KEXVector3<float>) +
                 double(b.triangleList.getCapacity()) * sizeof(KEXTriangle<int>) +
                 double(b.triangleAdjacencyList.getCapacity()) * sizeof(KEXTriangle<int>) +
                 double(b.vertexAdjacencyList.getCapacity()) * sizeof(KEXCompactIndexArray);
  for (const KEXCompactIndexArray& a : b.vertexAdjacencyList)
    if (a.getData())
      bytes += 4.0 + 4.0 * KEXSmallArrayPool::capacity(a.getData()) +
               (KEXSmallArrayPool::isPooled(a.getData()) ? 0.0 : 4.0);
  return bytes;
}

void buildAdjacency(benchmark::State& state, bool shuffled, bool triangleAdjacency)
{
  const KEXTriangleMeshBuffer& mesh = closedMesh(shuffled);
  double bytes = 0.0;
  for (auto _ : state) {
    state.PauseTiming();
    KEXTriangleMeshBuffer b;
    b.vertexList = mesh.vertexList;
    b.triangleList = mesh.triangleList;
    state.ResumeTiming();
    bool ok = triangleAdjacency ? b.createTriangleAdjacencyList() : b.createVertexAdjacencyList();
    if (!ok)
      state.SkipWithError("build failed");
    state.PauseTiming();
    bytes = bufferBytes(b);
    b.clear();
    state.ResumeTiming();
  }
  const double T = mesh.getTriangleCount();
  state.counters["triangles/s"] = benchmark::Counter(T, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes/triangle"] = bytes / T;
}

void BM_VertexAdjacency(benchmark::State& s) { buildAdjacency(s, s.range(0) != 0, false); }
void BM_BothAdjacencyLists(benchmark::State& s) { buildAdjacency(s, s.range(0) != 0, true); }

} // namespace

BENCHMARK(BM_VertexAdjacency)->ArgName("shuffled")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BothAdjacencyLists)->ArgName("shuffled")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
