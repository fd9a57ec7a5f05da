// Object -> buffer -> object round trip of a two-million-triangle mesh with vertex and triangle
// normals and colours: what every filter pays to run its algorithms on a mesh object. The
// destination object keeps its lists between iterations and receives different content each time
// (two sources alternate), so every element is compared and written. The baseline copies the same
// payload bytes twice with memcpy (there and back). Counters: payload GB/s (both directions) and the
// round trip's time relative to the memcpy baseline ("x memcpy", lower is better).
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "support/Meshes.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Vec3 = KEXVector3<float>;

KEXTriangleMeshBuffer makeMesh(float shift)
{
  KEXTriangleMeshBuffer b = kexmeshtest::makeSphere(1001, 1000); // 2,000,000 triangles
  const int V = b.getVertexCount(), T = b.getTriangleCount();
  b.vertexNormalList.setCount(V);
  b.vertexColorList.setCount(V);
  b.triangleNormalList.setCount(T);
  b.triangleColorList.setCount(T);
  for (int i = 0; i < V; ++i) {
    b.vertexList[i].x += shift;
    b.vertexNormalList[i] = b.vertexList[i];
    b.vertexColorList[i] = KEXRGBA<float>(float(i % 256) / 255.0f, shift, 0.5f, 1.0f);
  }
  for (int t = 0; t < T; ++t) {
    b.triangleNormalList[t] = Vec3(float(t % 7), shift, 1.0f);
    b.triangleColorList[t] = KEXRGBA<float>(shift, float(t % 256) / 255.0f, 0.25f, 1.0f);
  }
  return b;
}

struct Fixture {
  KEXTriangleMeshData sources[2];
  KEXTriangleMeshData destination;
  double payloadBytes = 0.0; // bytes of the buffer's lists
  Fixture()
  {
    for (int k = 0; k < 2; ++k) {
      KEXTriangleMeshBuffer b = makeMesh(0.25f * float(k + 1));
      sources[k].fromBuffer(b);
      if (k == 0) {
        payloadBytes = double(b.getVertexCount()) * (sizeof(Vec3) * 2 + sizeof(KEXRGBA<float>)) +
                       double(b.getTriangleCount()) * (sizeof(KEXTriangle<int>) + sizeof(Vec3) + sizeof(KEXRGBA<float>));
        destination.fromBuffer(b);
      }
    }
  }
};

Fixture& fixture()
{
  static Fixture* f = new Fixture;
  return *f;
}

void BM_ObjectRoundTrip(benchmark::State& state)
{
  Fixture& f = fixture();
  KEXTriangleMeshBuffer buffer;
  int k = 0;
  for (auto _ : state) {
    k ^= 1;
    if (!KEXTriangleMeshAction::bufferFromObject(&buffer, &f.sources[k]) ||
        !KEXTriangleMeshAction::objectFromBuffer(&f.destination, &buffer))
      state.SkipWithError("copy failed");
    benchmark::ClobberMemory();
  }
  state.counters["GB/s"] = benchmark::Counter(2.0 * f.payloadBytes * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ObjectRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same payload moved twice with memcpy between preallocated blocks.
void BM_MemcpyBaseline(benchmark::State& state)
{
  Fixture& f = fixture();
  const size_t n = size_t(f.payloadBytes);
  std::unique_ptr<char[]> a(new char[n]), b(new char[n]), c(new char[n]);
  std::memset(a.get(), 1, n);
  std::memset(b.get(), 2, n);
  std::memset(c.get(), 3, n);
  for (auto _ : state) {
    std::memcpy(b.get(), a.get(), n);
    benchmark::ClobberMemory();
    std::memcpy(c.get(), b.get(), n);
    benchmark::ClobberMemory();
  }
  state.counters["GB/s"] = benchmark::Counter(2.0 * f.payloadBytes * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_MemcpyBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();

// Both in one run, so the ratio comes from the same machine state.
void BM_RoundTripVersusMemcpy(benchmark::State& state)
{
  Fixture& f = fixture();
  KEXTriangleMeshBuffer buffer;
  const size_t n = size_t(f.payloadBytes);
  std::unique_ptr<char[]> a(new char[n]), b(new char[n]), c(new char[n]);
  std::memset(a.get(), 1, n);
  std::memset(b.get(), 2, n);
  std::memset(c.get(), 3, n);
  double ours = 0.0, baseline = 0.0;
  int k = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    k ^= 1;
    KEXTriangleMeshAction::bufferFromObject(&buffer, &f.sources[k]);
    KEXTriangleMeshAction::objectFromBuffer(&f.destination, &buffer);
    benchmark::ClobberMemory();
    auto t1 = std::chrono::steady_clock::now();
    std::memcpy(b.get(), a.get(), n);
    benchmark::ClobberMemory();
    std::memcpy(c.get(), b.get(), n);
    benchmark::ClobberMemory();
    auto t2 = std::chrono::steady_clock::now();
    ours += std::chrono::duration<double>(t1 - t0).count();
    baseline += std::chrono::duration<double>(t2 - t1).count();
  }
  state.counters["x memcpy"] = baseline > 0.0 ? ours / baseline : 0.0;
}
BENCHMARK(BM_RoundTripVersusMemcpy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

} // namespace

BENCHMARK_MAIN();
