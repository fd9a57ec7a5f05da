// The default repair sequence on a damaged soup of a generated 2M-triangle torus (and of the
// largest real mesh in data/ when present) through the filter's Filter action in buffer mode,
// with each step's time (from a KEXFixReport watching one more run) as a counter (seconds) next to
// the whole.
#include "FixInputs.h"
#include "kexmesh/objects/ExecuteSequenceAction.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/repair/FixReport.h"
#include "kexmesh/repair/FixTriangleMesh.h"
#include "support/OffReader.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

namespace {

void runSequence(benchmark::State& state, const KEXTriangleMeshBuffer& soup)
{
  KEXFixTriangleMesh filter;
  for (auto _ : state) {
    state.PauseTiming();
    KEXTriangleMeshBuffer b;
    b.vertexList = soup.vertexList;
    b.triangleList = soup.triangleList;
    KEXTriangleMeshAction::Parameters record(&b, nullptr);
    state.ResumeTiming();
    // Without an observer nothing is counted: the timed work is the repair alone.
    if (!filter.executeSequence(&record))
      state.SkipWithError("repair failed");
  }
  KEXTriangleMeshBuffer b;
  b.vertexList = soup.vertexList;
  b.triangleList = soup.triangleList;
  KEXTriangleMeshAction::Parameters record(&b, nullptr);
  KEXFixReport report(&filter);
  auto* sequence = dynamic_cast<KEXExecuteSequenceAction*>(filter.getAction(KEX::Filter));
  if (sequence) {
    sequence->setObserver(&report);
    sequence->execute(&record);
    sequence->setObserver(nullptr);
  }
  for (int i = 0; i < report.steps.getCount(); ++i)
    state.counters[std::to_string(i + 1) + "." + report.steps[i].name.getString()] = report.steps[i].seconds;
  state.counters["holesBefore"] = report.holesBefore;
  state.counters["holesAfter"] = report.holesAfter;
  state.counters["triangles"] = b.getTriangleCount();
}

void BM_FixGenerated(benchmark::State& state) { runSequence(state, kexmeshbench::generatedSoup()); }
BENCHMARK(BM_FixGenerated)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_FixShark(benchmark::State& state)
{
  const std::string path = (std::filesystem::path(__FILE__).parent_path().parent_path() / "data/meshes/mech-holes-shark.off").string();
  KEXTriangleMeshBuffer mesh;
  if (!std::filesystem::exists(path) || !kexmeshtest::readOff(path, mesh)) {
    state.SkipWithError("data/meshes/mech-holes-shark.off missing: run scripts/fetch-data");
    for (auto _ : state) {
    }
    return;
  }
  runSequence(state, kexmeshbench::damagedSoup(mesh, 0, 3, 5));
}
BENCHMARK(BM_FixShark)->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace

BENCHMARK_MAIN();
