// Iso-surface extraction side by side on the gyroid sin x cos y + sin y cos z + sin z cos x (two
// periods per axis, iso 0) at 256^3 and 512^3 float samples: kexmesh's KEXTriangleMeshExtractor
// (threaded; its output welded and repaired, closed at the grid's border) against VTK
// vtkFlyingEdges3D (threaded; its output shares edge vertices, so it is welded too) and
// vtkMarchingCubes. Every run is a child process of its own (bench/PeerProcess.h) that times only
// the extraction; peak memory is what the child added to the volume it inherited. Each output is
// judged from its triangle list alone (tests/support/MeshQuality): triangles, components, border
// and non-manifold edges, inconsistent edges.
//
// Usage: kexmesh_peers_extract [size ...]   (default: 256 512)
#include "../PeerProcess.h"
#include "kex/Properties.h"
#include "kex/Thread.h"
#include "kexgeometry/Grid.h"
#include "kexmesh/extract/TriangleMeshExtractor.h"
#include "kexmesh/objects/Vocabulary.h"
#include "support/MeshQuality.h"

#include <vtkFlyingEdges3D.h>
#include <vtkFloatArray.h>
#include <vtkImageData.h>
#include <vtkMarchingCubes.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkPolyData.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {
using namespace kexmeshbench;

constexpr int peerLimit = 300;
constexpr int runs = 3;
constexpr double slowRun = 30.0;

float gyroidAt(int i, int j, int k, int n)
{
  const double s = 4.0 * M_PI / double(n - 1); // two periods over the axis
  const double x = i * s, y = j * s, z = k * s;
  return float(std::sin(x) * std::cos(y) + std::sin(y) * std::cos(z) + std::sin(z) * std::cos(x));
}

PeerOutput runKexmesh(KEXGrid& grid)
{
  PeerOutput out;
  KEXTriangleMeshExtractor x;
  x.setValue<KEXObjectLink>(KEX::SampleGrid, KEXObjectLink(&grid));
  x.setValue<float>(KEX::IsoValue, 0.0f);
  const PeerClock::time_point start = PeerClock::now();
  const bool ok = x.calculate();
  const double seconds = secondsSince(start);
  KEXObjectLink link;
  int first = 0, lt = -1, lv = -1;
  if (!ok || !x.getValue<KEXObjectLink>(KEX::Result, link) ||
      !link.get()->getIndexRange<KEXTriangle<int>>(KEX::TriangleList, first, lt) ||
      !link.get()->getIndexRange<KEXVector3<float>>(KEX::VertexList, first, lv))
    return out;
  out.triangles.resize(size_t(lt + 1));
  out.vertices.resize(size_t(lv + 1));
  link.get()->getArrayItems<KEXTriangle<int>>(KEX::TriangleList, 0, lt, out.triangles.data());
  link.get()->getArrayItems<KEXVector3<float>>(KEX::VertexList, 0, lv, out.vertices.data());
  out.seconds = seconds;
  return out;
}

PeerOutput fromVtk(vtkPolyData* poly)
{
  PeerOutput out;
  const vtkIdType nv = poly->GetNumberOfPoints();
  out.vertices.resize(size_t(nv));
  for (vtkIdType i = 0; i < nv; ++i) {
    double p[3];
    poly->GetPoint(i, p);
    out.vertices[size_t(i)] = KEXVector3<float>(float(p[0]), float(p[1]), float(p[2]));
  }
  vtkCellArray* polys = poly->GetPolys();
  out.triangles.reserve(size_t(polys->GetNumberOfCells()));
  polys->InitTraversal();
  vtkIdType n = 0;
  const vtkIdType* ids = nullptr;
  while (polys->GetNextCell(n, ids))
    if (n == 3)
      out.triangles.push_back(KEXTriangle<int>(int(ids[0]), int(ids[1]), int(ids[2])));
  return out;
}

template <class Filter> PeerOutput runVtk(vtkImageData* image)
{
  vtkNew<Filter> filter;
  filter->SetInputData(image);
  filter->SetValue(0, 0.0);
  filter->ComputeNormalsOff();
  filter->ComputeGradientsOff();
  filter->ComputeScalarsOff();
  const PeerClock::time_point start = PeerClock::now();
  filter->Update();
  const double seconds = secondsSince(start);
  PeerOutput out = fromVtk(filter->GetOutput());
  out.seconds = seconds;
  return out;
}

void compare(int n)
{
  KEXGrid grid;
  if (!grid.create(KEXSampleType::Float32, n, n, n)) {
    std::printf("gyroid %d^3: cannot allocate the volume\n", n);
    return;
  }
  auto* samples = static_cast<float*>(grid.getWritableData());
  vtkNew<vtkImageData> image;
  image->SetDimensions(n, n, n);
  vtkNew<vtkFloatArray> scalars;
  scalars->SetNumberOfTuples(vtkIdType(n) * n * n);
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        const size_t at = size_t(i) + size_t(n) * (size_t(j) + size_t(n) * size_t(k));
        samples[at] = gyroidAt(i, j, k, n);
        scalars->SetValue(vtkIdType(at), samples[at]);
      }
  grid.samplesChanged();
  image->GetPointData()->SetScalars(scalars);

  struct Tool {
    const char* name;
    std::function<PeerOutput()> run;
  };
  const Tool tools[] = {{"kexmesh", [&] { return runKexmesh(grid); }},
                        {"vtkFE3D", [&] { return runVtk<vtkFlyingEdges3D>(image); }},
                        {"vtkMC", [&] { return runVtk<vtkMarchingCubes>(image); }}};
  std::printf("\ngyroid %d^3 (%.0f MiB of float samples), iso 0\n", n, double(n) * n * n * 4.0 / 1048576.0);
  std::printf("  %-8s %8s %5s %13s %9s %10s %6s %7s %7s %7s\n", "tool", "time s", "runs", "peer/kexmesh", "peak MiB",
              "triangles", "comps", "border", "nonman", "incons");
  double ours = -1.0;
  for (const Tool& t : tools) {
    int made = 0;
    const PeerRun r = runMedian(t.name, t.run, runs, peerLimit, slowRun, made);
    if (r.seconds < 0) {
      std::printf("  %-8s %s\n", t.name, r.stopped ? "stopped at the limit" : "failed");
      continue;
    }
    if (ours < 0)
      ours = r.seconds;
    const kexmeshtest::MeshQuality q = kexmeshtest::measure(toBuffer(r.output));
    std::printf("  %-8s %8.3f %5d %13.2f %9.0f %10d %6d %7d %7d %7d\n", t.name, r.seconds, made, r.seconds / ours,
                double(r.peakKiB) / 1024.0, q.triangles, q.components, q.borderEdges, q.nonManifoldEdges,
                q.inconsistentEdges);
  }
}
} // namespace

int main(int argc, char** argv)
{
  // (vtkSMPTools.h does not compile as C++20, so VTK's own thread pool is left at its default.)
  std::printf("threads: kexmesh %d\n", KEXMultiThread::getDefaultNumberOfThreads());
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i)
    sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty())
    sizes = {256, 512};
  for (int n : sizes)
    compare(n);
  return 0;
}
