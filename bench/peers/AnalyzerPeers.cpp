// The whole analysis of a mesh side by side: kexmesh's KEXTriangleMeshAnalyzer driven as a host
// drives it (a mesh object with a direct access object, the analyzer created by class name, its
// Calculate action, the figures read from its result object) against what the peers offer for the
// same figures: CGAL PMP::area and PMP::bbox, Open3D GetSurfaceArea and
// GetAxisAlignedBoundingBox, VTK vtkMassProperties (area) with GetBounds, and a plain
// single-threaded loop that also bins the inner angles in 0.1-degree bins as the analyzer does.
// The analyzer does more than any peer (the histogram, bad triangles and bad edges); the peers'
// ratios are therefore lower bounds of what the same figures would cost them.
//
// Every run is a child process of its own (bench/PeerProcess.h); the mesh object, the peers' mesh
// types and the result read-out are made outside the clock. "kexmesh" builds the mesh access
// object's copy and corner pages inside the clock (cold memory), "kexmesh+" before it. A result is WRONG when its area or
// bounding-box size is off the plain loop's (in double) by more than 1e-5 relative, or (kexmesh
// and the loop) its histogram does not hold 3 angles per triangle or differs from the loop's in
// more than 1e-4 of the angles (a float angle may fall on the other side of a bin edge).
#include "../FixInputs.h"
#include "PeerMeshes.h"
#include "kex/Properties.h"
#include "kexmesh/access/TriangleMeshDirectAccess.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/TriangleMeshAnalyzer.h"
#include "support/OffReader.h"

#include <CGAL/Polygon_mesh_processing/bbox.h>
#include <CGAL/Polygon_mesh_processing/measure.h>

#ifdef KEXMESH_PEER_OPEN3D
#include <open3d/geometry/BoundingVolume.h>
#endif
#ifdef KEXMESH_PEER_VTK
#include <vtkMassProperties.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

namespace {

using namespace kexmeshbench;

constexpr int peerLimit = 120;
constexpr int runs = 3;
constexpr double slowRun = 20.0;
constexpr int bins = KEXTriangleMeshAnalyzer::HISTOGRAM_BINS;

/// The figures travel back in the run's vertex list: (area, 0, 0), the box size, then one
/// (count, 0, 0) per histogram bin when the tool makes one.
PeerOutput figures(double seconds, double area, const KEXVector3<double>& size, const std::vector<double>& histogram)
{
  PeerOutput out;
  out.seconds = seconds;
  out.vertices.emplace_back(float(area), 0.0f, 0.0f);
  out.vertices.emplace_back(float(size.x), float(size.y), float(size.z));
  for (double n : histogram)
    out.vertices.emplace_back(float(n), 0.0f, 0.0f);
  return out;
}

/// With `accessBuilt` the mesh's access object takes its copy and corner pages before the clock,
/// as a host that shows the mesh already has them (the peers' mesh types are made outside the
/// clock too); without it the timed calculation builds them.
PeerOutput runKexmesh(const KEXTriangleMeshBuffer& input, bool accessBuilt)
{
  const KEXMetaClass* meshClass = KEXMetaClass::find("KEXTriangleMeshData");
  const KEXMetaClass* analyzerClass = KEXMetaClass::find("KEXTriangleMeshAnalyzer");
  KEXObject* mesh = meshClass ? dynamic_cast<KEXTriangleMeshData*>(meshClass->create()) : nullptr;
  KEXObject* analyzer = analyzerClass ? dynamic_cast<KEXObject*>(analyzerClass->create()) : nullptr;
  auto* meshObject = dynamic_cast<KEXTriangleMeshData*>(mesh);
  KEXAction* calculate = analyzer ? analyzer->getAction(KEX::Calculate) : nullptr;
  KEXTriangleMeshDirectAccess* access = meshObject && meshObject->fromBuffer(input)
                                            ? KEXTriangleMeshDirectAccess::attach(*meshObject)
                                            : nullptr;
  bool ok = access && calculate && analyzer->setValue<KEXObjectLink>(KEX::Geometry, KEXObjectLink(mesh)) &&
            (!accessBuilt || access->getBuffer());
  const PeerClock::time_point start = PeerClock::now();
  ok = ok && calculate->execute(nullptr);
  const double seconds = secondsSince(start);
  PeerOutput out;
  KEXObjectLink link;
  float area = -1.0f;
  KEXVector3<float> size;
  std::vector<KEXVector2<float>> histogram;
  if (ok && analyzer->getValue<KEXObjectLink>(KEX::Result, link) && link.get()) {
    const KEXObject& r = *link.get();
    int first = 0, last = -1;
    ok = r.getValue<float>(KEX::SurfaceArea, area) && r.getValue<KEXVector3<float>>(KEX::Dimensions, size) &&
         r.getIndexRange<KEXVector2<float>>(KEX::AngleHistogram, first, last);
    if (ok && last >= 0) {
      histogram.resize(size_t(last + 1));
      ok = r.getArrayItems<KEXVector2<float>>(KEX::AngleHistogram, 0, last, histogram.data());
    }
  } else
    ok = false;
  link = KEXObjectLink();
  if (analyzer)
    analyzer->release();
  if (mesh)
    mesh->release();
  if (!ok)
    return out;
  std::vector<double> counts;
  for (const KEXVector2<float>& bin : histogram)
    counts.push_back(bin.y);
  return figures(seconds, area, KEXVector3<double>(size), counts);
}

/// Area, box and angle histogram in one single-threaded pass, in double.
PeerOutput runPlainLoop(const KEXTriangleMeshBuffer& input)
{
  using D = KEXVector3<double>;
  const PeerClock::time_point start = PeerClock::now();
  double area = 0.0;
  D lo(HUGE_VAL, HUGE_VAL, HUGE_VAL), hi(-HUGE_VAL, -HUGE_VAL, -HUGE_VAL);
  std::vector<double> histogram(bins, 0.0);
  const double toBin = 180.0 / std::numbers::pi / 0.1;
  for (const KEXTriangle<int>& t : input.triangleList) {
    const D p[3] = {D(input.vertexList[t[0]]), D(input.vertexList[t[1]]), D(input.vertexList[t[2]])};
    area += 0.5 * (p[1] - p[0]).cross(p[2] - p[0]).length();
    for (int k = 0; k < 3; ++k) {
      lo = D(std::min(lo.x, p[k].x), std::min(lo.y, p[k].y), std::min(lo.z, p[k].z));
      hi = D(std::max(hi.x, p[k].x), std::max(hi.y, p[k].y), std::max(hi.z, p[k].z));
      const D a = p[(k + 1) % 3] - p[k], b = p[(k + 2) % 3] - p[k];
      const double angle = std::atan2(a.cross(b).length(), a.dot(b));
      histogram[size_t(std::clamp(int(angle * toBin), 0, bins - 1))] += 1.0;
    }
  }
  const double seconds = secondsSince(start);
  return figures(seconds, area, hi - lo, histogram);
}

PeerOutput runCgal(const KEXTriangleMeshBuffer& input)
{
  const CgalMesh mesh = toCgal(input);
  const PeerClock::time_point start = PeerClock::now();
  const double area = CGAL::to_double(CGAL::Polygon_mesh_processing::area(mesh));
  const CGAL::Bbox_3 box = CGAL::Polygon_mesh_processing::bbox(mesh);
  const double seconds = secondsSince(start);
  return figures(seconds, area, KEXVector3<double>(box.xmax() - box.xmin(), box.ymax() - box.ymin(), box.zmax() - box.zmin()),
                 {});
}

#ifdef KEXMESH_PEER_OPEN3D
PeerOutput runOpen3D(const KEXTriangleMeshBuffer& input)
{
  const open3d::geometry::TriangleMesh o = toOpen3D(input);
  const PeerClock::time_point start = PeerClock::now();
  const double area = o.GetSurfaceArea();
  const auto box = o.GetAxisAlignedBoundingBox();
  const double seconds = secondsSince(start);
  const Eigen::Vector3d extent = box.GetExtent();
  return figures(seconds, area, KEXVector3<double>(extent.x(), extent.y(), extent.z()), {});
}
#endif

#ifdef KEXMESH_PEER_VTK
PeerOutput runVtk(const KEXTriangleMeshBuffer& input)
{
  vtkSmartPointer<vtkPolyData> poly = toPolyData(input);
  vtkNew<vtkMassProperties> mass;
  mass->SetInputData(poly);
  const PeerClock::time_point start = PeerClock::now();
  mass->Update();
  const double area = mass->GetSurfaceArea();
  double bounds[6];
  poly->GetBounds(bounds);
  const double seconds = secondsSince(start);
  return figures(seconds, area, KEXVector3<double>(bounds[1] - bounds[0], bounds[3] - bounds[2], bounds[5] - bounds[4]),
                 {});
}
#endif

struct Tool {
  const char* name;
  std::function<PeerOutput(const KEXTriangleMeshBuffer&)> run;
};

void compare(const char* name, const KEXTriangleMeshBuffer& input)
{
  std::vector<Tool> tools = {{"kexmesh", [](const KEXTriangleMeshBuffer& b) { return runKexmesh(b, false); }},
                             {"plain", runPlainLoop},
                             {"cgal", runCgal},
                             {"kexmesh+", [](const KEXTriangleMeshBuffer& b) { return runKexmesh(b, true); }}};
#ifdef KEXMESH_PEER_OPEN3D
  tools.push_back({"open3d", runOpen3D});
#endif
#ifdef KEXMESH_PEER_VTK
  tools.push_back({"vtk", runVtk});
#endif
  std::printf("\n%s: %d triangles\n", name, input.getTriangleCount());
  std::vector<PeerRun> results(tools.size());
  std::vector<int> made(tools.size(), 0);
  for (size_t i = 0; i < tools.size(); ++i)
    results[i] = runMedian(tools[i].name, [&] { return tools[i].run(input); }, runs, peerLimit, slowRun, made[i]);
  // The plain loop, in double, is the reference of every figure.
  const PeerRun& plain = results[1];
  if (plain.seconds < 0) {
    std::printf("  the plain loop failed: nothing to check against\n");
    return;
  }
  const std::vector<KEXVector3<float>>& ref = plain.output.vertices;
  std::printf("  %-9s %9s %5s %13s %14s %14s %28s %10s  %s\n", "tool", "time s", "runs", "peer/kexmesh",
              "peer/kexmesh+", "area", "box size", "hist off", "verdict");
  bool oursValid = false;
  for (size_t i = 0; i < tools.size(); ++i) {
    const PeerRun& r = results[i];
    if (r.seconds < 0) {
      std::printf("  %-9s %s\n", tools[i].name, r.stopped ? "stopped at the limit, no result" : "failed, no result");
      continue;
    }
    const std::vector<KEXVector3<float>>& f = r.output.vertices;
    auto close = [](double a, double b) { return std::fabs(a - b) <= 1e-5 * std::max(std::fabs(b), 1e-30); };
    bool valid = f.size() >= 2 && close(f[0].x, ref[0].x) && close(f[1].x, ref[1].x) && close(f[1].y, ref[1].y) &&
                 close(f[1].z, ref[1].z);
    char off[32] = "-";
    if (f.size() > 2) {
      double total = 0.0, differ = 0.0;
      for (size_t b = 2; b < f.size(); ++b) {
        total += f[b].x;
        differ += std::fabs(double(f[b].x) - (b < ref.size() ? double(ref[b].x) : 0.0));
      }
      // Each angle that changed bins counts twice in the difference.
      const double share = 0.5 * differ / (3.0 * input.getTriangleCount());
      valid = valid && total == 3.0 * input.getTriangleCount() && f.size() == ref.size() && (i == 1 || share <= 1e-4);
      std::snprintf(off, sizeof off, "%.1e", share);
    }
    if (i == 0)
      oursValid = valid;
    char ratio[32] = "-", ratioBuilt[32] = "-";
    if (i > 0 && results[0].seconds > 0)
      std::snprintf(ratio, sizeof ratio, "%.2f%s", r.seconds / results[0].seconds, oursValid && valid ? "" : " (n/a)");
    if (i != 3 && results[3].seconds > 0)
      std::snprintf(ratioBuilt, sizeof ratioBuilt, "%.2f%s", r.seconds / results[3].seconds, valid ? "" : " (n/a)");
    char box[64];
    std::snprintf(box, sizeof box, "%.6g x %.6g x %.6g", f.size() >= 2 ? f[1].x : 0.f, f.size() >= 2 ? f[1].y : 0.f,
                  f.size() >= 2 ? f[1].z : 0.f);
    std::printf("  %-9s %9.4f %5d %13s %14s %14.8g %28s %10s  %s\n", tools[i].name, r.seconds, made[i], ratio,
                ratioBuilt, f.empty() ? 0.0 : double(f[0].x), box, off, valid ? "VALID" : "WRONG");
  }
  std::fflush(stdout);
}

} // namespace

int main()
{
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::filesystem::path data = std::filesystem::path(KEXMESH_DATA_DIR) / "meshes";
  KEXTriangleMeshBuffer bunny, armadillo;
  if (kexmeshtest::readOff((data / "bunny00.off").string(), bunny))
    compare("bunny_1M", loopSubdivide(loopSubdivide(bunny)));
  else
    std::printf("bunny00.off: not found, run scripts/fetch-data\n");
  if (kexmeshtest::readOff((data / "armadillo.off").string(), armadillo))
    compare("armadillo", armadillo);
  compare("torus 2M", kexmeshtest::makeTorus(1000, 1000));
  return 0;
}
