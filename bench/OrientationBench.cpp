// Orientation consolidation and bad-triangle repair on generated closed meshes of about two million
// triangles. Each iteration starts from a buffer holding only the vertex and triangle lists, so the
// adjacency lists the algorithms build are part of the time.
//  - Consolidate: 30% of the triangles flipped (in mesh order, and shuffled).
//  - RepairBadTriangles: 1% of the triangles replaced by a sliver with a flat corner next to its
//    neighbour, plus a few coincident-point splits; reports triangles per second.
//  - RemoveCapTriangles: a planar grid with jittered vertices (many caps).
#include "kexmesh/repair/ConsolidateOrientationAlgorithm.h"
#include "kexmesh/repair/RemoveCapTrianglesAlgorithm.h"
#include "kexmesh/repair/RepairBadTrianglesAlgorithm.h"
#include "support/Meshes.h"

#include <benchmark/benchmark.h>

#include <random>

namespace {

using kexmeshtest::Vec3;

KEXTriangleMeshBuffer flippedSphere(bool shuffled)
{
  KEXTriangleMeshBuffer m = kexmeshtest::makeSphere(1001, 1000);
  std::mt19937 rng(1);
  if (shuffled)
    kexmeshtest::shuffleTriangles(m, rng);
  kexmeshtest::flipRandomTriangles(m, 0.3, rng);
  return m;
}

const KEXTriangleMeshBuffer& flipped()
{
  static const KEXTriangleMeshBuffer m = flippedSphere(false);
  return m;
}

const KEXTriangleMeshBuffer& flippedShuffled()
{
  static const KEXTriangleMeshBuffer m = flippedSphere(true);
  return m;
}

/// Triangle t = (u, w, x) becomes (u, m, x), (m, w, x) and the sliver (u, w, m), m the midpoint of
/// u-w; the sliver keeps u-w's partner.
void saltSliver(KEXTriangleMeshBuffer& b, int t)
{
  KEXTriangle<int> tri = b.triangleList[t];
  const int m = b.getVertexCount();
  b.vertexList.append((b.vertexList[tri[0]] + b.vertexList[tri[1]]) * 0.5f);
  b.triangleList[t] = KEXTriangle<int>(tri[0], m, tri[2]);
  b.triangleList.append(KEXTriangle<int>(m, tri[1], tri[2]));
  b.triangleList.append(KEXTriangle<int>(tri[0], tri[1], m));
}

const KEXTriangleMeshBuffer& salted()
{
  static const KEXTriangleMeshBuffer m = [] {
    KEXTriangleMeshBuffer b = kexmeshtest::makeSphere(1001, 1000);
    const int T = b.getTriangleCount();
    // Every 300th triangle gets a sliver: 3 triangles each, so about 1% of the result is degenerate.
    for (int t = 0; t < T; t += 300)
      saltSliver(b, t);
    return b;
  }();
  return m;
}

const KEXTriangleMeshBuffer& jitteredGrid()
{
  static const KEXTriangleMeshBuffer m = [] {
    KEXTriangleMeshBuffer b = kexmeshtest::makeGrid(1000, 1000);
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> j(-0.45f, 0.45f);
    for (int v = 0; v < b.getVertexCount(); ++v) {
      Vec3& p = b.vertexList[v];
      if (p.x > 0 && p.y > 0 && p.x < 1000 && p.y < 1000) {
        p.x += j(rng);
        p.y += j(rng);
      }
    }
    return b;
  }();
  return m;
}

template <class Algorithm>
void runOn(benchmark::State& state, const KEXTriangleMeshBuffer& input)
{
  Algorithm algorithm;
  for (auto _ : state) {
    state.PauseTiming();
    KEXTriangleMeshBuffer b;
    b.vertexList = input.vertexList;
    b.triangleList = input.triangleList;
    state.ResumeTiming();
    algorithm.setBuffer(&b);
    if (!algorithm.execute(nullptr))
      state.SkipWithError("failed");
    algorithm.setBuffer(nullptr);
    state.PauseTiming();
    b.clear();
    state.ResumeTiming();
  }
  state.counters["triangles/s"] =
      benchmark::Counter(double(input.getTriangleCount()), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Consolidate(benchmark::State& state) { runOn<KEXConsolidateOrientationAlgorithm>(state, flipped()); }
void BM_ConsolidateShuffled(benchmark::State& state)
{
  runOn<KEXConsolidateOrientationAlgorithm>(state, flippedShuffled());
}
void BM_RepairBadTriangles(benchmark::State& state) { runOn<KEXRepairBadTrianglesAlgorithm>(state, salted()); }
void BM_RemoveCapTriangles(benchmark::State& state) { runOn<KEXRemoveCapTrianglesAlgorithm>(state, jitteredGrid()); }

} // namespace

BENCHMARK(BM_Consolidate)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ConsolidateShuffled)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RepairBadTriangles)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RemoveCapTriangles)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
