// One smoothing pass on bunny_1M side by side, every output judged. Laplacian: kexmesh's
// KEXILPSmoothingAlgorithm (interior vertices to the mean of their ring, borders stay) against
// OpenMesh JacobiLaplaceSmootherT (uniform weights, tangential and normal, one step) and, when
// built with it, VTK vtkSmoothPolyDataFilter (one iteration, relaxation factor 1 so that a vertex
// goes all the way to its neighbours' mean, no boundary or feature-edge smoothing, no convergence
// stop). Arc: kexmesh's KEXCASmoothingAlgorithm against VTK vtkWindowedSincPolyDataFilter (one
// iteration, boundary smoothing off, normalized coordinates, otherwise its defaults; also 2 and
// 20 iterations for information).
//
// Every run is a child process of its own (bench/PeerProcess.h) that times only the pass.
// Smoothing moves vertices only: a result is WRONG when its triangle list differs from the input's,
// it has a non-finite vertex, or one pass moved the vertices by more than 1 % of the diagonal on
// average (the shape is gone; a pass on this dense mesh moves them by about 1e-4). The columns show how far each pass moved the vertices (largest
// and mean displacement, as fractions of the diagonal) and, against the plain umbrella operator
// computed here from the triangle list alone, how far the Laplacian results are from "every
// interior vertex at the mean of its ring's old positions".
#include "../FixInputs.h"
#include "PeerMeshes.h"
#include "kexmesh/simplify/CASmoothingAlgorithm.h"
#include "kexmesh/simplify/ILPSmoothingAlgorithm.h"
#include "support/OffReader.h"

#include <OpenMesh/Tools/Smoother/JacobiLaplaceSmootherT.hh>

#ifdef KEXMESH_PEER_VTK
#include <vtkSmoothPolyDataFilter.h>
#include <vtkWindowedSincPolyDataFilter.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
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
  Algorithm pass;
  pass.setBuffer(&b);
  const PeerClock::time_point start = PeerClock::now();
  const bool ok = pass.execute(nullptr);
  const double seconds = secondsSince(start);
  pass.setBuffer(nullptr);
  if (!ok)
    return out;
  keep(b, out);
  out.seconds = seconds;
  return out;
}

PeerOutput runOpenMesh(const KEXTriangleMeshBuffer& input)
{
  OMesh om;
  toOpenMesh(input, om);
  om.request_vertex_normals();
  om.request_face_normals();
  om.update_normals();
  const PeerClock::time_point start = PeerClock::now();
  OpenMesh::Smoother::JacobiLaplaceSmootherT<OMesh> smoother(om);
  smoother.initialize(OpenMesh::Smoother::JacobiLaplaceSmootherT<OMesh>::Tangential_and_Normal,
                      OpenMesh::Smoother::JacobiLaplaceSmootherT<OMesh>::C0);
  smoother.smooth(1);
  const double seconds = secondsSince(start);
  PeerOutput out = fromOpenMesh(om);
  out.seconds = seconds;
  return out;
}

#ifdef KEXMESH_PEER_VTK
PeerOutput runVtkLaplace(const KEXTriangleMeshBuffer& input)
{
  vtkSmartPointer<vtkPolyData> poly = toPolyData(input);
  vtkNew<vtkSmoothPolyDataFilter> filter;
  filter->SetInputData(poly);
  filter->SetNumberOfIterations(1);
  filter->SetRelaxationFactor(1.0);
  filter->SetConvergence(0.0);
  filter->FeatureEdgeSmoothingOff();
  filter->BoundarySmoothingOff();
  const PeerClock::time_point start = PeerClock::now();
  filter->Update();
  const double seconds = secondsSince(start);
  PeerOutput out = fromPolyData(filter->GetOutput());
  out.seconds = seconds;
  return out;
}

template <int iterations> PeerOutput runVtkSinc(const KEXTriangleMeshBuffer& input)
{
  vtkSmartPointer<vtkPolyData> poly = toPolyData(input);
  vtkNew<vtkWindowedSincPolyDataFilter> filter;
  filter->SetInputData(poly);
  filter->SetNumberOfIterations(iterations);
  filter->BoundarySmoothingOff();
  filter->NormalizeCoordinatesOn(); // recommended for numerical stability
  const PeerClock::time_point start = PeerClock::now();
  filter->Update();
  const double seconds = secondsSince(start);
  PeerOutput out = fromPolyData(filter->GetOutput());
  out.seconds = seconds;
  return out;
}
#endif

/// Every vertex whose edges all have two triangles at the mean of its ring's old positions; others
/// (border vertices, unused ones) stay. Only from the triangle list.
std::vector<KEXVector3<double>> umbrella(const KEXTriangleMeshBuffer& b)
{
  std::map<std::pair<int, int>, int> edgeUses;
  for (const KEXTriangle<int>& t : b.triangleList)
    for (int k = 0; k < 3; ++k)
      ++edgeUses[std::minmax(t[k], t[(k + 1) % 3])];
  const size_t V = size_t(b.getVertexCount());
  std::vector<KEXVector3<double>> sum(V, KEXVector3<double>(0, 0, 0)), out(V);
  std::vector<int> count(V, 0);
  std::vector<char> fixed(V, 0);
  for (const auto& [edge, uses] : edgeUses) {
    const auto [a, b2] = edge;
    sum[size_t(a)] = sum[size_t(a)] + KEXVector3<double>(b.vertexList[b2]);
    sum[size_t(b2)] = sum[size_t(b2)] + KEXVector3<double>(b.vertexList[a]);
    ++count[size_t(a)];
    ++count[size_t(b2)];
    if (uses != 2)
      fixed[size_t(a)] = fixed[size_t(b2)] = 1;
  }
  for (size_t v = 0; v < V; ++v)
    out[v] = count[v] && !fixed[v] ? sum[v] * (1.0 / count[v]) : KEXVector3<double>(b.vertexList[int(v)]);
  return out;
}

struct Tool {
  const char* name;
  std::function<PeerOutput(const KEXTriangleMeshBuffer&)> run;
};

void compare(const char* title, const KEXTriangleMeshBuffer& input, const std::vector<Tool>& tools,
             const std::vector<KEXVector3<double>>* reference)
{
  const double diag = diagonal(input);
  std::printf("\n%s on bunny_1M: %d vertices, %d triangles\n", title, input.getVertexCount(), input.getTriangleCount());
  std::printf("  %-9s %9s %5s %13s %12s %12s %14s  %s\n", "tool", "time s", "runs", "peer/kexmesh", "max move/d",
              "mean move/d", reference ? "max off mean/d" : "", "verdict");
  double ours = -1.0;
  bool oursValid = false;
  for (size_t i = 0; i < tools.size(); ++i) {
    int made = 0;
    const PeerRun r = runMedian(tools[i].name, [&] { return tools[i].run(input); }, runs, peerLimit, slowRun, made);
    if (r.seconds < 0) {
      std::printf("  %-9s %s\n", tools[i].name, r.stopped ? "stopped at the limit, no result" : "failed, no result");
      continue;
    }
    const PeerOutput& o = r.output;
    bool valid = o.vertices.size() == size_t(input.getVertexCount()) && o.triangles.size() == size_t(input.getTriangleCount());
    for (size_t t = 0; valid && t < o.triangles.size(); ++t)
      for (int k = 0; k < 3; ++k)
        valid = valid && o.triangles[t][k] == input.triangleList[int(t)][k];
    double maxMove = 0.0, sumMove = 0.0, offMean = 0.0;
    for (size_t v = 0; valid && v < o.vertices.size(); ++v) {
      const KEXVector3<double> p(o.vertices[v]);
      valid = std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
      const double move = (p - KEXVector3<double>(input.vertexList[int(v)])).length();
      maxMove = std::max(maxMove, move);
      sumMove += move;
      if (reference)
        offMean = std::max(offMean, (p - (*reference)[v]).length());
    }
    valid = valid && sumMove / double(std::max<size_t>(1, o.vertices.size())) <= 0.01 * diag;
    if (i == 0) {
      ours = r.seconds;
      oursValid = valid;
    }
    char ratio[32] = "-";
    if (i > 0 && ours > 0)
      std::snprintf(ratio, sizeof ratio, "%.2f%s", r.seconds / ours, oursValid && valid ? "" : " (n/a)");
    char off[32] = "";
    if (reference)
      std::snprintf(off, sizeof off, "%.3e", offMean / diag);
    std::printf("  %-9s %9.3f %5d %13s %12.3e %12.3e %14s  %s\n", tools[i].name, r.seconds, made, ratio, maxMove / diag,
                sumMove / double(std::max<size_t>(1, o.vertices.size())) / diag, off, valid ? "VALID" : "WRONG");
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
  const std::vector<KEXVector3<double>> mean = umbrella(bunny1M);
  std::vector<Tool> laplace = {{"kexmesh", runKexmesh<KEXILPSmoothingAlgorithm>}, {"openmesh", runOpenMesh}};
#ifdef KEXMESH_PEER_VTK
  laplace.push_back({"vtk", runVtkLaplace});
#endif
  compare("One Laplacian pass", bunny1M, laplace, &mean);
  std::vector<Tool> arc = {{"kexmesh", runKexmesh<KEXCASmoothingAlgorithm>}};
#ifdef KEXMESH_PEER_VTK
  arc.push_back({"vtk-sinc", runVtkSinc<1>});
  // One iteration is the pass asked for; VTK's filter is made for more, so two and its default 20
  // are shown as well, for information.
  arc.push_back({"vtk-sinc2", runVtkSinc<2>});
  arc.push_back({"vtk-sinc20", runVtkSinc<20>});
#endif
  compare("One arc pass", bunny1M, arc, nullptr);
  return 0;
}
