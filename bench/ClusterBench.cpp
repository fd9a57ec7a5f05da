// Vertex clustering on the welding benchmark input (see WeldSoup.h): a six-million-vertex soup of a
// two-million-triangle sphere, jittered copies welded at 1e-6 of the diagonal, and the exact soup
// welded at distance 0; with one worker thread and with all of them.
#include "WeldSoup.h"
#include "kex/Testing.h"
#include "kexmesh/repair/ClusterVerticesAlgorithm.h"

#include <benchmark/benchmark.h>

namespace {

void weld(benchmark::State& state, bool jittered)
{
  const kexmeshbench::WeldInput& in = kexmeshbench::weldInput(jittered);
  kexTest::setThreadCount(int(state.range(0)));
  KEXClusterVerticesAlgorithm algorithm(jittered ? float(in.tolerance) : 0.0f);
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
      state.SkipWithError("weld gave the wrong vertex count");
    b.clear();
    state.ResumeTiming();
  }
  kexTest::setThreadCount(0);
  state.counters["vertices"] = double(in.soup.getVertexCount());
}

void BM_WeldJittered(benchmark::State& state) { weld(state, true); }
void BM_WeldExact(benchmark::State& state) { weld(state, false); }

} // namespace

BENCHMARK(BM_WeldJittered)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_WeldExact)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
