// One subdivision step on bunny_1M side by side, every output judged. Loop: kexmesh's
// KEXLoopSubdivisionAlgorithm against CGAL Subdivision_method_3::Loop_subdivision, OpenMesh LoopT
// and, when built with it, VTK vtkLoopSubdivisionFilter. Modified butterfly: kexmesh's
// KEXMBFSubdivisionAlgorithm against OpenMesh ModifiedButterflyT and VTK
// vtkButterflySubdivisionFilter.
//
// Every run is a child process of its own (bench/PeerProcess.h) that times only the step; its peak
// resident memory above the child's start (ru_maxrss at the end minus the resident size at the
// start of the child, which holds the input already) is reported. Conversions into a peer's mesh
// type happen in the child before the clock starts and count towards its peak.
//
// A result is WRONG when it does not have four times the input's triangles, or has more
// non-manifold or boundary edges than the input (kexmeshtest::measure). The distance column is
// the two-sided sampled Hausdorff distance (bench/SurfaceError.h, as a fraction of the diagonal)
// to a reference: for Loop the bench's own independent Loop step (bench/FixInputs.h), for the
// butterfly step kexmesh's result (there is no independent butterfly step in the bench), so that
// column shows how far the peers' rules differ, not who is right.
#include "../FixInputs.h"
#include "../SurfaceError.h"
#include "PeerMeshes.h"
#include "kexmesh/simplify/LoopSubdivisionAlgorithm.h"
#include "kexmesh/simplify/MBFSubdivisionAlgorithm.h"
#include "support/MeshQuality.h"
#include "support/OffReader.h"

#include <CGAL/subdivision_method_3.h>

#include <OpenMesh/Tools/Subdivider/Uniform/LoopT.hh>
#include <OpenMesh/Tools/Subdivider/Uniform/ModifiedButterFlyT.hh>

#ifdef KEXMESH_PEER_VTK
#include <vtkButterflySubdivisionFilter.h>
#include <vtkLoopSubdivisionFilter.h>
#endif

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace kexmeshbench;

constexpr int peerLimit = 120;
constexpr int runs = 3;
constexpr double slowRun = 20.0;

template <class Algorithm> PeerOutput runKexmesh(const KEXTriangleMeshBuffer& input)
{
  PeerOutput out;
  KEXTriangleMeshBuffer b;
  b.vertexList = input.vertexList;
  b.triangleList = input.triangleList;
  Algorithm step;
  step.setBuffer(&b);
  const PeerClock::time_point start = PeerClock::now();
  const bool ok = step.execute(nullptr);
  const double seconds = secondsSince(start);
  step.setBuffer(nullptr);
  if (!ok)
    return out;
  keep(b, out);
  out.seconds = seconds;
  return out;
}

PeerOutput runCgalLoop(const KEXTriangleMeshBuffer& input)
{
  CgalMesh mesh = toCgal(input);
  const PeerClock::time_point start = PeerClock::now();
  CGAL::Subdivision_method_3::Loop_subdivision(mesh, CGAL::parameters::number_of_iterations(1));
  const double seconds = secondsSince(start);
  PeerOutput out = fromCgal(mesh);
  out.seconds = seconds;
  return out;
}

template <class Subdivider> PeerOutput runOpenMesh(const KEXTriangleMeshBuffer& input)
{
  OMesh om;
  toOpenMesh(input, om);
  const PeerClock::time_point start = PeerClock::now();
  Subdivider subdivider;
  bool ok = subdivider.attach(om) && subdivider(1);
  subdivider.detach();
  const double seconds = secondsSince(start);
  if (!ok)
    return PeerOutput();
  PeerOutput out = fromOpenMesh(om);
  out.seconds = seconds;
  return out;
}

#ifdef KEXMESH_PEER_VTK
template <class Filter> PeerOutput runVtk(const KEXTriangleMeshBuffer& input)
{
  vtkSmartPointer<vtkPolyData> poly = toPolyData(input);
  vtkNew<Filter> filter;
  filter->SetInputData(poly);
  filter->SetNumberOfSubdivisions(1);
  const PeerClock::time_point start = PeerClock::now();
  filter->Update();
  const double seconds = secondsSince(start);
  PeerOutput out = fromPolyData(filter->GetOutput());
  out.seconds = seconds;
  return out;
}
#endif

struct Tool {
  const char* name;
  std::function<PeerOutput(const KEXTriangleMeshBuffer&)> run;
};

void compare(const char* title, const KEXTriangleMeshBuffer& input, const std::vector<Tool>& tools,
             const KEXTriangleMeshBuffer* reference, const char* referenceName)
{
  const kexmeshtest::MeshQuality inQ = kexmeshtest::measure(input);
  const double diag = diagonal(input);
  std::printf("\n%s on bunny_1M: %d triangles; input: %s\n", title, input.getTriangleCount(), inQ.summary().c_str());
  struct Row {
    PeerRun run;
    int made = 0;
    kexmeshtest::MeshQuality q;
    SurfaceError e;
    bool valid = false;
  };
  std::vector<Row> rows(tools.size());
  KEXTriangleMeshBuffer ours;
  for (size_t i = 0; i < tools.size(); ++i) {
    Row& row = rows[i];
    const Tool& tool = tools[i];
    row.run = runMedian(tool.name, [&] { return tool.run(input); }, runs, peerLimit, slowRun, row.made);
    if (row.run.seconds < 0)
      continue;
    KEXTriangleMeshBuffer out = toBuffer(row.run.output);
    row.run.output = PeerOutput();
    row.q = kexmeshtest::measure(out);
    row.valid = row.q.triangles == 4 * input.getTriangleCount() && row.q.nonManifoldEdges <= inQ.nonManifoldEdges &&
                row.q.borderEdges <= inQ.borderEdges;
    if (i == 0 && !reference) {
      ours = std::move(out);
      continue;
    }
    row.e = surfaceError(reference ? *reference : ours, out, diag, 50000);
  }
  std::printf("  %-9s %9s %5s %13s %12s %10s %8s %8s %14s  %s\n", "tool", "time s", "runs", "peer/kexmesh", "peak MiB",
              "triangles", "non-man", "border", "hausdorff/d", "verdict");
  std::printf("  (distance to %s)\n", referenceName);
  for (size_t i = 0; i < tools.size(); ++i) {
    const Row& row = rows[i];
    if (row.run.seconds < 0) {
      std::printf("  %-9s %s\n", tools[i].name, row.run.stopped ? "stopped at the limit, no result" : "failed, no result");
      continue;
    }
    char ratio[32] = "-";
    if (i > 0 && rows[0].run.seconds > 0)
      std::snprintf(ratio, sizeof ratio, "%.2f%s", row.run.seconds / rows[0].run.seconds,
                    rows[0].valid && row.valid ? "" : " (n/a)");
    char distance[32] = "-";
    if (reference || i > 0)
      std::snprintf(distance, sizeof distance, "%.3e%s", row.e.hausdorff / diag, row.e.capped ? "+" : "");
    std::printf("  %-9s %9.3f %5d %13s %12.1f %10d %8d %8d %14s  %s\n", tools[i].name, row.run.seconds, row.made, ratio,
                double(row.run.peakKiB) / 1024.0, row.q.triangles, row.q.nonManifoldEdges, row.q.borderEdges, distance,
                row.valid ? "VALID" : "WRONG");
  }
  std::fflush(stdout);
}

} // namespace

int main()
{
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::filesystem::path data = std::filesystem::path(KEXMESH_DATA_DIR) / "meshes";
  KEXTriangleMeshBuffer bunny;
  if (!kexmeshtest::readOff((data / "bunny00.off").string(), bunny)) {
    std::printf("bunny00.off: not found, run scripts/fetch-data\n");
    return 0;
  }
  const KEXTriangleMeshBuffer bunny1M = loopSubdivide(loopSubdivide(bunny));
  {
    std::vector<Tool> loop = {{"kexmesh", runKexmesh<KEXLoopSubdivisionAlgorithm>},
                              {"cgal", runCgalLoop},
                              {"openmesh", runOpenMesh<OpenMesh::Subdivider::Uniform::LoopT<OMesh>>}};
#ifdef KEXMESH_PEER_VTK
    loop.push_back({"vtk", runVtk<vtkLoopSubdivisionFilter>});
#endif
    const KEXTriangleMeshBuffer reference = loopSubdivide(bunny1M);
    compare("One Loop step", bunny1M, loop, &reference, "the bench's own Loop step");
  }
  std::vector<Tool> butterfly = {{"kexmesh", runKexmesh<KEXMBFSubdivisionAlgorithm>},
                                 {"openmesh", runOpenMesh<OpenMesh::Subdivider::Uniform::ModifiedButterflyT<OMesh>>}};
#ifdef KEXMESH_PEER_VTK
  butterfly.push_back({"vtk", runVtk<vtkButterflySubdivisionFilter>});
#endif
  compare("One modified butterfly step", bunny1M, butterfly, nullptr, "kexmesh's result");
  return 0;
}
