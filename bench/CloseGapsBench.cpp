// Gap closing and loop triangulation. The standard input: a 1,001,112-triangle sphere with 500
// holes of 10 ... 200 edges, closed from plain vertex and triangle lists (the adjacency lists are
// built inside, as a filter run would) and with both adjacency lists prepared beforehand; one hole
// of 2000 edges; and the bare minimum-weight triangulation of circular loops of growing length,
// whose table memory is reported as a counter.
#include "HoleMeshes.h"
#include "kexmesh/reconstruct/TriangulationTools.h"
#include "kexmesh/repair/CloseGapsAlgorithm.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>

namespace {

KEXTriangleMeshBuffer plainCopy(const KEXTriangleMeshBuffer& m)
{
  KEXTriangleMeshBuffer b;
  b.vertexList = m.vertexList;
  b.triangleList = m.triangleList;
  return b;
}

void closeGaps(benchmark::State& state, const KEXTriangleMeshBuffer& input, bool prebuilt)
{
  KEXCloseGapsAlgorithm algorithm;
  for (auto _ : state) {
    state.PauseTiming();
    KEXTriangleMeshBuffer b = plainCopy(input);
    if (prebuilt)
      b.createTriangleAdjacencyList();
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
  state.counters["added"] = algorithm.getStatistics().addedTriangles;
}

void BM_CloseGaps500Holes(benchmark::State& state) { closeGaps(state, kexmeshbench::manyHoles().mesh, false); }
void BM_CloseGaps500HolesPrebuilt(benchmark::State& state) { closeGaps(state, kexmeshbench::manyHoles().mesh, true); }
void BM_CloseGapsHole2000(benchmark::State& state) { closeGaps(state, kexmeshbench::oneLargeHole(), false); }

void BM_VertexLoop(benchmark::State& state)
{
  const int n = int(state.range(0));
  KEXTriangleMeshBuffer points;
  KEXValueList<int> loop;
  points.vertexList.setCount(n);
  for (int i = 0; i < n; ++i) {
    const double a = 2.0 * std::numbers::pi * i / n;
    points.vertexList[i] = KEXVector3<float>(float(std::cos(a)), float(std::sin(a)), float(0.1 * std::sin(7 * a)));
    loop.append(i);
  }
  for (auto _ : state) {
    state.PauseTiming();
    KEXTriangleMeshBuffer b;
    b.vertexList = points.vertexList;
    state.ResumeTiming();
    if (!KEXTriangulationTools::clockwiseVertexLoop(&b, loop))
      state.SkipWithError("loop triangulation failed");
  }
  state.counters["tableMB"] = double(KEXTriangulationTools::loopTableBytes(n)) / (1024.0 * 1024.0);
}

} // namespace

BENCHMARK(BM_CloseGaps500Holes)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CloseGaps500HolesPrebuilt)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CloseGapsHole2000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_VertexLoop)->Arg(100)->Arg(200)->Arg(500)->Arg(1000)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
