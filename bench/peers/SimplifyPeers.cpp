// Quadric simplification side by side, every output judged: kexmesh's simplification filter (its
// Filter action on a plain buffer, quality Nicest, a triangle limit and no error limit, as the CLI
// runs it) against CGAL edge_collapse with the Garland-Heckbert plane policies and an edge count
// ratio, OpenMesh DecimaterT with ModQuadricT (no error bound), and, when built with them, VTK
// vtkQuadricDecimation, Open3D SimplifyQuadricDecimation and meshoptimizer meshopt_simplify.
//
// Inputs: bunny_1M (bunny00.off Loop-subdivided twice) to 10 % and 1 % of its triangles and
// armadillo.off to 10 %. Every run is a child process of its own (bench/PeerProcess.h) that times
// only the operation; a run that takes longer than the limit is killed and reported.
//
// A fast wrong answer must not win: every output goes through the test suite's independent counts
// (kexmeshtest::measure). A result is WRONG when it has more non-manifold or more boundary edges
// than its input, or no triangles. The error columns are the two-sided sampled Hausdorff and RMS
// distances to the input (bench/SurfaceError.h) as fractions of the input's bounding-box diagonal.
#include "../FixInputs.h"
#include "../SurfaceError.h"
#include "PeerMeshes.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/simplify/SimplifyTriangleMesh.h"
#include "support/MeshQuality.h"
#include "support/OffReader.h"

#include <CGAL/Surface_mesh_simplification/Policies/Edge_collapse/Count_ratio_stop_predicate.h>
#include <CGAL/Surface_mesh_simplification/Policies/Edge_collapse/GarlandHeckbert_plane_policies.h>
#include <CGAL/Surface_mesh_simplification/edge_collapse.h>

#include <OpenMesh/Tools/Decimater/DecimaterT.hh>
#include <OpenMesh/Tools/Decimater/ModQuadricT.hh>

#ifdef KEXMESH_PEER_VTK
#include <vtkQuadricDecimation.h>
#endif
#ifdef KEXMESH_PEER_MESHOPTIMIZER
#include <meshoptimizer.h>
#endif

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace kexmeshbench;
namespace SMS = CGAL::Surface_mesh_simplification;

/// Seconds a tool may take on one input.
constexpr int peerLimit = 120;
/// Runs per tool; a tool slower than this many seconds is run once only.
constexpr int runs = 3;
constexpr double slowRun = 20.0;

PeerOutput runKexmesh(const KEXTriangleMeshBuffer& input, int target)
{
  PeerOutput out;
  KEXSimplifyTriangleMesh filter;
  KEXTriangleMeshBuffer b;
  b.vertexList = input.vertexList;
  b.triangleList = input.triangleList;
  KEXAction* action = filter.getAction(KEX::Filter);
  if (!action || !filter.setMethodQuality(KEX::Nicest) || !filter.setTriangleLimit(target) ||
      !filter.setErrorLimit(FLT_MAX))
    return out;
  KEXTriangleMeshAction::Parameters record(&b, nullptr);
  const PeerClock::time_point start = PeerClock::now();
  const bool ok = action->execute(&record);
  const double seconds = secondsSince(start);
  if (!ok)
    return out;
  keep(b, out);
  out.seconds = seconds;
  return out;
}

PeerOutput runCgal(const KEXTriangleMeshBuffer& input, int target)
{
  CgalMesh mesh = toCgal(input);
  using Policies = SMS::GarlandHeckbert_plane_policies<CgalMesh, CgalKernel>;
  const PeerClock::time_point start = PeerClock::now();
  Policies policies(mesh);
  // The stop counts edges; on a closed mesh the edge share is the triangle share.
  SMS::Count_ratio_stop_predicate<CgalMesh> stop(double(target) / double(input.getTriangleCount()));
  SMS::edge_collapse(mesh, stop, CGAL::parameters::get_cost(policies.get_cost()).get_placement(policies.get_placement()));
  const double seconds = secondsSince(start);
  PeerOutput out = fromCgal(mesh);
  out.seconds = seconds;
  return out;
}

PeerOutput runOpenMesh(const KEXTriangleMeshBuffer& input, int target)
{
  OMesh om;
  toOpenMesh(input, om);
  const PeerClock::time_point start = PeerClock::now();
  OpenMesh::Decimater::DecimaterT<OMesh> decimater(om);
  OpenMesh::Decimater::ModQuadricT<OMesh>::Handle quadric;
  decimater.add(quadric);
  decimater.module(quadric).unset_max_err();
  if (!decimater.initialize())
    return PeerOutput();
  decimater.decimate_to_faces(0, size_t(target));
  om.garbage_collection();
  const double seconds = secondsSince(start);
  PeerOutput out = fromOpenMesh(om);
  out.seconds = seconds;
  return out;
}

#ifdef KEXMESH_PEER_VTK
PeerOutput runVtk(const KEXTriangleMeshBuffer& input, int target)
{
  vtkSmartPointer<vtkPolyData> poly = toPolyData(input);
  vtkNew<vtkQuadricDecimation> filter;
  filter->SetInputData(poly);
  filter->SetTargetReduction(1.0 - double(target) / double(input.getTriangleCount()));
  const PeerClock::time_point start = PeerClock::now();
  filter->Update();
  const double seconds = secondsSince(start);
  PeerOutput out = fromPolyData(filter->GetOutput());
  out.seconds = seconds;
  return out;
}
#endif

#ifdef KEXMESH_PEER_OPEN3D
PeerOutput runOpen3D(const KEXTriangleMeshBuffer& input, int target)
{
  const open3d::geometry::TriangleMesh o = toOpen3D(input);
  const PeerClock::time_point start = PeerClock::now();
  const auto simplified = o.SimplifyQuadricDecimation(target, HUGE_VAL, 1.0);
  const double seconds = secondsSince(start);
  PeerOutput out = fromOpen3D(*simplified);
  out.seconds = seconds;
  return out;
}
#endif

#ifdef KEXMESH_PEER_MESHOPTIMIZER
PeerOutput runMeshoptimizer(const KEXTriangleMeshBuffer& input, int target)
{
  std::vector<unsigned> indices;
  indices.reserve(3 * size_t(input.getTriangleCount()));
  for (const KEXTriangle<int>& t : input.triangleList)
    for (int k = 0; k < 3; ++k)
      indices.push_back(unsigned(t[k]));
  std::vector<unsigned> kept(indices.size());
  const PeerClock::time_point start = PeerClock::now();
  // A relative error of 1 (the whole extent) lets the triangle target alone end the run.
  const size_t n = meshopt_simplify(kept.data(), indices.data(), indices.size(), &input.vertexList[0].x,
                                    size_t(input.getVertexCount()), sizeof(KEXVector3<float>), 3 * size_t(target),
                                    1.0f, 0, nullptr);
  const double seconds = secondsSince(start);
  PeerOutput out;
  out.vertices.assign(input.vertexList.getData(), input.vertexList.getData() + input.getVertexCount());
  for (size_t i = 0; i + 2 < n; i += 3)
    out.triangles.emplace_back(int(kept[i]), int(kept[i + 1]), int(kept[i + 2]));
  out.seconds = seconds;
  return out;
}
#endif

struct Tool {
  const char* name;
  std::function<PeerOutput(const KEXTriangleMeshBuffer&, int)> run;
};

void compare(const char* name, const KEXTriangleMeshBuffer& input, double share)
{
  const int target = int(std::lround(share * input.getTriangleCount()));
  const kexmeshtest::MeshQuality inQ = kexmeshtest::measure(input);
  const double diag = diagonal(input);
  std::printf("\n%s to %g %%: %d -> %d triangles; input: %s\n", name, 100.0 * share, input.getTriangleCount(), target,
              inQ.summary().c_str());
  std::vector<Tool> tools = {{"kexmesh", runKexmesh}, {"cgal", runCgal}, {"openmesh", runOpenMesh}};
#ifdef KEXMESH_PEER_VTK
  tools.push_back({"vtk", runVtk});
#endif
#ifdef KEXMESH_PEER_OPEN3D
  tools.push_back({"open3d", runOpen3D});
#endif
#ifdef KEXMESH_PEER_MESHOPTIMIZER
  tools.push_back({"meshopt", runMeshoptimizer});
#endif
  struct Row {
    PeerRun run;
    int made = 0;
    kexmeshtest::MeshQuality q;
    SurfaceError e;
    bool valid = false;
  };
  std::vector<Row> rows(tools.size());
  for (size_t i = 0; i < tools.size(); ++i) {
    Row& row = rows[i];
    const Tool& tool = tools[i];
    row.run = runMedian(tool.name, [&] { return tool.run(input, target); }, runs, peerLimit, slowRun, row.made);
    if (row.run.seconds < 0)
      continue;
    const KEXTriangleMeshBuffer out = toBuffer(row.run.output);
    row.q = kexmeshtest::measure(out);
    row.e = surfaceError(input, out, diag);
    row.valid = row.q.triangles > 0 && row.q.nonManifoldEdges <= inQ.nonManifoldEdges &&
                row.q.borderEdges <= inQ.borderEdges;
  }
  std::printf("  %-9s %9s %5s %13s %10s %8s %8s %12s %12s  %s\n", "tool", "time s", "runs", "peer/kexmesh", "triangles",
              "non-man", "border", "hausdorff/d", "rms/d", "verdict");
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
    std::printf("  %-9s %9.3f %5d %13s %10d %8d %8d %12.3e %12.3e  %s%s\n", tools[i].name, row.run.seconds, row.made,
                ratio, row.q.triangles, row.q.nonManifoldEdges, row.q.borderEdges, row.e.hausdorff / diag,
                row.e.rms / diag, row.valid ? "VALID" : "WRONG", row.e.capped ? " (distance capped at 0.05 d)" : "");
  }
  std::fflush(stdout);
}

} // namespace

int main()
{
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::filesystem::path data = std::filesystem::path(KEXMESH_DATA_DIR) / "meshes";
  KEXTriangleMeshBuffer bunny, armadillo;
  if (kexmeshtest::readOff((data / "bunny00.off").string(), bunny)) {
    const KEXTriangleMeshBuffer bunny1M = loopSubdivide(loopSubdivide(bunny));
    compare("bunny_1M", bunny1M, 0.10);
    compare("bunny_1M", bunny1M, 0.01);
  } else
    std::printf("bunny00.off: not found, run scripts/fetch-data\n");
  if (kexmeshtest::readOff((data / "armadillo.off").string(), armadillo))
    compare("armadillo", armadillo, 0.10);
  else
    std::printf("armadillo.off: not found, run scripts/fetch-data\n");
  return 0;
}
