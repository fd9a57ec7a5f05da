// Normal computations and the check/discard chain on a generated closed mesh of two million
// triangles. The vertex normal benchmark starts from a buffer without any derived list, so it pays
// for the vertex adjacency, the triangle normals and the inner angles it builds; the breakdown
// benchmarks time each of those steps alone. The repair chain reports bytes of vertex and triangle
// data processed per second.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/repair/CheckTriangleMeshAlgorithm.h"
#include "kexmesh/repair/DiscardInfiniteVerticesAlgorithm.h"
#include "kexmesh/repair/DiscardInvalidTrianglesAlgorithm.h"
#include "kexmesh/repair/RemoveOrphanedTrianglesAlgorithm.h"
#include "kexmesh/repair/RemoveOrphanedVerticesAlgorithm.h"
#include "support/Meshes.h"

#include <benchmark/benchmark.h>

namespace {

const KEXTriangleMeshBuffer& mesh()
{
  static const KEXTriangleMeshBuffer m = kexmeshtest::makeSphere(1001, 1000);
  return m;
}

KEXTriangleMeshBuffer plainCopy()
{
  KEXTriangleMeshBuffer b;
  b.vertexList = mesh().vertexList;
  b.triangleList = mesh().triangleList;
  return b;
}

void setCounters(benchmark::State& state)
{
  state.counters["triangles"] = mesh().getTriangleCount();
}

void BM_VertexNormalsFromScratch(benchmark::State& state)
{
  for (auto _ : state) {
    state.PauseTiming();
    KEXTriangleMeshBuffer b = plainCopy();
    state.ResumeTiming();
    if (!b.calculateVertexNormals())
      state.SkipWithError("failed");
    state.PauseTiming();
    b.clear();
    state.ResumeTiming();
  }
  setCounters(state);
}

// The steps alone, each with what it needs already present.
void BM_Step_VertexAdjacency(benchmark::State& state)
{
  for (auto _ : state) {
    state.PauseTiming();
    KEXTriangleMeshBuffer b = plainCopy();
    state.ResumeTiming();
    b.createVertexAdjacencyList();
    state.PauseTiming();
    b.clear();
    state.ResumeTiming();
  }
}

void BM_Step_TriangleNormals(benchmark::State& state)
{
  KEXTriangleMeshBuffer b = plainCopy();
  b.createVertexAdjacencyList();
  for (auto _ : state)
    b.calculateTriangleNormals();
}

void BM_Step_TriangleAngles(benchmark::State& state)
{
  KEXTriangleMeshBuffer b = plainCopy();
  for (auto _ : state)
    b.createTriangleAngleList();
}

void BM_Step_VertexNormalsWithAllLists(benchmark::State& state)
{
  KEXTriangleMeshBuffer b = plainCopy();
  b.calculateVertexNormals();
  for (auto _ : state)
    b.calculateVertexNormals();
}

void BM_CornerNormals(benchmark::State& state)
{
  KEXTriangleMeshBuffer b = plainCopy();
  b.createTriangleAdjacencyList();
  for (auto _ : state)
    b.updateCornerNormals(30.0f);
}

template <class A>
bool run(KEXTriangleMeshBuffer& b)
{
  A a;
  a.setBuffer(&b);
  bool r = a.execute(nullptr);
  a.setBuffer(nullptr);
  return r;
}

/// Check, discard infinite vertices, discard invalid triangles (with orphans: the whole chain).
void BM_CheckDiscardChain(benchmark::State& state)
{
  const bool orphans = state.range(0) != 0;
  for (auto _ : state) {
    state.PauseTiming();
    KEXTriangleMeshBuffer b = plainCopy();
    state.ResumeTiming();
    run<KEXCheckTriangleMeshAlgorithm>(b);
    run<KEXDiscardInfiniteVerticesAlgorithm>(b);
    run<KEXDiscardInvalidTrianglesAlgorithm>(b);
    if (orphans) {
      run<KEXRemoveOrphanedTrianglesAlgorithm>(b);
      run<KEXRemoveOrphanedVerticesAlgorithm>(b);
    }
    state.PauseTiming();
    b.clear();
    state.ResumeTiming();
  }
  const int64_t bytes = int64_t(mesh().getVertexCount()) * 12 + int64_t(mesh().getTriangleCount()) * 12;
  state.SetBytesProcessed(int64_t(state.iterations()) * bytes);
}

} // namespace

BENCHMARK(BM_VertexNormalsFromScratch)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Step_VertexAdjacency)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Step_TriangleNormals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Step_TriangleAngles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Step_VertexNormalsWithAllLists)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CornerNormals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CheckDiscardChain)->ArgName("orphans")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
