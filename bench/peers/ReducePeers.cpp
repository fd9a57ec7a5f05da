// Point cloud thinning side by side: kexmesh's KEXReducePointCloudAlgorithm (tolerance half the
// cloud's mean sampling distance, normals within 0.9, the cloud's own sampling distance, as the
// CLI's reduce runs it with --tolerance) against CGAL grid_simplify_point_set and
// hierarchy_simplify_point_set and, when built with them, PCL VoxelGrid and Open3D
// VoxelDownSample.
//
// The peers decide by cells rather than by redundancy, so they are given the size that should
// keep about as many points as kexmesh kept: on a surface the kept count goes with one over the
// cell's area, so the cell edge is the mean sampling distance m times sqrt(input / kexmesh kept)
// (for hierarchy_simplify_point_set: clusters of at most input / kexmesh kept points, the default
// variation). The kept counts are printed; compare times at similar counts only.
//
// Inputs: 1M oriented points sampled from the bunny_1M triangles (area-weighted, fixed seed, the
// triangle's unit normal) and the largest oriented clouds of data/ (building.ply, cube.pwn,
// ball.ply, sphere_20k_normal.xyz). Every run is a child process of its own that times only the
// operation. A result is WRONG when it keeps no point, more points than the input, a non-finite
// point, or (for the tools that select input points: kexmesh and CGAL) a point that is not an
// input point, or when an input point is farther than 0.05 of the diagonal from every kept point.
// The coverage column is that largest distance in units of m. For the tools that keep input points,
// the surface error column reconstructs the kept points (kexmesh's reconstruction, the same for all)
// and gives the mean and the 99th percentile of the input points' distances from that surface, in m.
#include "../FixInputs.h"
#include "../PeerProcess.h"
#include "PeerClouds.h"
#include "kexmesh/reconstruct/ConstructTriangulationAlgorithm.h"
#include "kexmesh/reconstruct/ReducePointCloudAlgorithm.h"
#include "support/MeshQuality.h"
#include "support/OffReader.h"

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/grid_simplify_point_set.h>
#include <CGAL/hierarchy_simplify_point_set.h>

#ifdef KEXMESH_PEER_PCL
#include <pcl/filters/voxel_grid.h>
#include <pcl/point_types.h>
#endif
#ifdef KEXMESH_PEER_OPEN3D
#include <open3d/geometry/PointCloud.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace kexmeshbench;
using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;

constexpr int peerLimit = 120;
constexpr int runs = 3;
constexpr double slowRun = 20.0;

PeerOutput runKexmesh(const Cloud& c, const KEXVector3<float>& m, double)
{
  PeerOutput out;
  KEXTriangleMeshBuffer b = toBuffer(c);
  KEXReducePointCloudAlgorithm reduce;
  const float tolerance = 0.5f * (m.x + m.y + m.z) / 3.0f;
  if (!reduce.setTolerance(tolerance) || !reduce.setMinNormalScalarProduct(0.9f) || !reduce.setMeanSamplingDistance(m) ||
      !reduce.setBuffer(&b))
    return out;
  const PeerClock::time_point start = PeerClock::now();
  const bool ok = reduce.execute(nullptr);
  const double seconds = secondsSince(start);
  reduce.setBuffer(nullptr);
  if (!ok)
    return out;
  out.vertices.assign(b.vertexList.getData(), b.vertexList.getData() + b.getVertexCount());
  out.seconds = seconds;
  return out;
}

std::vector<Kernel::Point_3> cgalPoints(const Cloud& c)
{
  std::vector<Kernel::Point_3> points;
  points.reserve(c.points.size());
  for (const KEXVector3<float>& p : c.points)
    points.emplace_back(p.x, p.y, p.z);
  return points;
}

PeerOutput fromCgal(const std::vector<Kernel::Point_3>& points, std::vector<Kernel::Point_3>::iterator end, double seconds)
{
  PeerOutput out;
  for (auto it = points.begin(); it != std::vector<Kernel::Point_3>::const_iterator(end); ++it)
    out.vertices.emplace_back(float(it->x()), float(it->y()), float(it->z()));
  out.seconds = seconds;
  return out;
}

PeerOutput runCgalGrid(const Cloud& c, const KEXVector3<float>&, double cell)
{
  std::vector<Kernel::Point_3> points = cgalPoints(c);
  const PeerClock::time_point start = PeerClock::now();
  const auto end = CGAL::grid_simplify_point_set(points, cell);
  const double seconds = secondsSince(start);
  return fromCgal(points, end, seconds);
}

PeerOutput runCgalHierarchy(const Cloud& c, const KEXVector3<float>&, double cell, double clusterSize)
{
  std::vector<Kernel::Point_3> points = cgalPoints(c);
  (void)cell;
  const PeerClock::time_point start = PeerClock::now();
  const auto end = CGAL::hierarchy_simplify_point_set(
      points, CGAL::parameters::size(unsigned(std::max(1.0, std::ceil(clusterSize)))).maximum_variation(1.0 / 3.0));
  const double seconds = secondsSince(start);
  return fromCgal(points, end, seconds);
}

#ifdef KEXMESH_PEER_PCL
PeerOutput runPcl(const Cloud& c, const KEXVector3<float>&, double cell)
{
  pcl::PointCloud<pcl::PointNormal>::Ptr in = toPclCloud(c);
  pcl::PointCloud<pcl::PointNormal> kept;
  pcl::VoxelGrid<pcl::PointNormal> grid;
  grid.setInputCloud(in);
  grid.setLeafSize(float(cell), float(cell), float(cell));
  const PeerClock::time_point start = PeerClock::now();
  grid.filter(kept);
  const double seconds = secondsSince(start);
  PeerOutput out;
  for (const pcl::PointNormal& p : kept.points)
    out.vertices.emplace_back(p.x, p.y, p.z);
  out.seconds = seconds;
  return out;
}
#endif

#ifdef KEXMESH_PEER_OPEN3D
PeerOutput runOpen3D(const Cloud& c, const KEXVector3<float>&, double cell)
{
  open3d::geometry::PointCloud cloud;
  for (size_t i = 0; i < c.points.size(); ++i) {
    cloud.points_.emplace_back(c.points[i].x, c.points[i].y, c.points[i].z);
    cloud.normals_.emplace_back(c.normals[i].x, c.normals[i].y, c.normals[i].z);
  }
  const PeerClock::time_point start = PeerClock::now();
  const auto kept = cloud.VoxelDownSample(cell);
  const double seconds = secondsSince(start);
  PeerOutput out;
  for (const auto& p : kept->points_)
    out.vertices.emplace_back(float(p.x()), float(p.y()), float(p.z()));
  out.seconds = seconds;
  return out;
}
#endif

// What a thinning costs the surface: the kept points, with their input normals, are reconstructed
// (kexmesh's reconstruction with its defaults, the same for every tool) and every input point's
// distance from that surface is taken, capped at 10 m. Returns the mean and the 99th percentile in
// units of m; negative when the kept points are not input points or nothing was reconstructed.
std::pair<double, double> reconstructionError(const Cloud& c, const std::vector<KEXVector3<float>>& kept, double m)
{
  auto less = [&c](int a, int b) {
    const KEXVector3<float>&p = c.points[size_t(a)], &q = c.points[size_t(b)];
    return p.x != q.x ? p.x < q.x : p.y != q.y ? p.y < q.y : p.z < q.z;
  };
  std::vector<int> order(c.points.size());
  for (size_t i = 0; i < order.size(); ++i)
    order[i] = int(i);
  std::sort(order.begin(), order.end(), less);
  KEXTriangleMeshBuffer b;
  for (const KEXVector3<float>& p : kept) {
    const auto at = std::lower_bound(order.begin(), order.end(), p, [&c](int i, const KEXVector3<float>& q) {
      const KEXVector3<float>& o = c.points[size_t(i)];
      return o.x != q.x ? o.x < q.x : o.y != q.y ? o.y < q.y : o.z < q.z;
    });
    if (at == order.end() || !(c.points[size_t(*at)] == p))
      return {-1.0, -1.0};
    b.vertexList.append(p);
    b.vertexNormalList.append(c.normals[size_t(*at)]);
  }
  KEXConstructTriangulationAlgorithm construct;
  construct.setBuffer(&b);
  const bool ok = construct.execute(nullptr);
  construct.setBuffer(nullptr);
  if (!ok || b.getTriangleCount() == 0)
    return {-1.0, -1.0};
  const kexmeshtest::SurfaceDistance surface(b);
  std::vector<double> d;
  d.reserve(c.points.size());
  double sum = 0.0;
  for (const KEXVector3<float>& p : c.points) {
    const double e = std::min(surface.within(KEXVector3<double>(p), 10.0 * m), 10.0 * m) / m;
    d.push_back(e);
    sum += e;
  }
  std::nth_element(d.begin(), d.begin() + long(0.99 * double(d.size())), d.end());
  return {sum / double(d.size()), d[size_t(0.99 * double(d.size()))]};
}

bool allInputPoints(const std::vector<KEXVector3<float>>& kept, const Cloud& c)
{
  auto less = [](const KEXVector3<float>& a, const KEXVector3<float>& b) {
    return a.x != b.x ? a.x < b.x : a.y != b.y ? a.y < b.y : a.z < b.z;
  };
  std::vector<KEXVector3<float>> sorted = c.points;
  std::sort(sorted.begin(), sorted.end(), less);
  for (const KEXVector3<float>& p : kept)
    if (!std::binary_search(sorted.begin(), sorted.end(), p, less))
      return false;
  return true;
}

void compare(const std::string& name, const Cloud& c)
{
  if (c.points.empty()) {
    std::printf("\n%s: not read (missing or not an oriented cloud)\n", name.c_str());
    return;
  }
  const KEXVector3<float> m = samplingDistance(c, peerLimit);
  const double spacing = (double(m.x) + m.y + m.z) / 3.0;
  KEXTriangleMeshBuffer asMesh;
  asMesh.vertexList.setCount(int(c.points.size()));
  std::copy(c.points.begin(), c.points.end(), asMesh.vertexList.getData());
  const double diag = diagonal(asMesh);
  std::printf("\n%s: %zu points, mean sampling distance %.4g %.4g %.4g, diagonal %.4g\n", name.c_str(), c.points.size(),
              double(m.x), double(m.y), double(m.z), diag);
  if (!(spacing > 0.0)) {
    std::printf("  no sampling distance: skipped\n");
    return;
  }
  int made = 0, oursMade = 0;
  const PeerRun ours = runMedian("kexmesh", [&] { return runKexmesh(c, m, 0.0); }, runs, peerLimit, slowRun, oursMade);
  const double keptShare = ours.seconds >= 0 && !ours.output.vertices.empty()
                               ? double(ours.output.vertices.size()) / double(c.points.size())
                               : 0.5;
  const double cell = spacing / std::sqrt(keptShare), clusterSize = 1.0 / keptShare;
  std::printf("  peers' cell %.4g (%.3g m), hierarchy cluster size %.0f\n", cell, cell / spacing, std::ceil(clusterSize));
  struct Tool {
    const char* name;
    std::function<PeerOutput()> run;
    bool selects; // keeps input points
  };
  std::vector<Tool> tools = {
      {"cgal-grid", [&] { return runCgalGrid(c, m, cell); }, true},
      {"cgal-hier", [&] { return runCgalHierarchy(c, m, cell, clusterSize); }, true},
#ifdef KEXMESH_PEER_PCL
      {"pcl-voxel", [&] { return runPcl(c, m, cell); }, false},
#endif
#ifdef KEXMESH_PEER_OPEN3D
      {"open3d", [&] { return runOpen3D(c, m, cell); }, false},
#endif
  };
  std::printf("  %-10s %9s %5s %13s %10s %8s %11s %19s  %s\n", "tool", "time s", "runs", "peer/kexmesh", "kept",
              "kept %", "coverage/m", "surface err/m 99%", "verdict");
  bool oursValid = false;
  for (int i = -1; i < int(tools.size()); ++i) {
    const char* toolName = i < 0 ? "kexmesh" : tools[size_t(i)].name;
    const PeerRun r = i < 0 ? ours : runMedian(toolName, tools[size_t(i)].run, runs, peerLimit, slowRun, made);
    if (r.seconds < 0) {
      std::printf("  %-10s %s\n", toolName, r.stopped ? "stopped at the limit, no result" : "failed, no result");
      continue;
    }
    const std::vector<KEXVector3<float>>& kept = r.output.vertices;
    bool valid = !kept.empty() && kept.size() <= c.points.size();
    for (const KEXVector3<float>& p : kept)
      valid = valid && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
    if (valid && (i < 0 || tools[size_t(i)].selects))
      valid = allInputPoints(kept, c);
    const double cover = kexmeshtest::largestGap(c.points.data(), int(c.points.size()), kept.data(), int(kept.size()),
                                                 2.0 * cell, 0.05 * diag);
    valid = valid && cover <= 0.05 * diag;
    if (i < 0)
      oursValid = valid;
    char ratio[32] = "-";
    if (i >= 0 && ours.seconds > 0)
      std::snprintf(ratio, sizeof ratio, "%.2f%s", r.seconds / ours.seconds, oursValid && valid ? "" : " (n/a)");
    char error[40] = "-";
    if (valid && (i < 0 || tools[size_t(i)].selects)) {
      const auto [mean, p99] = reconstructionError(c, kept, spacing);
      if (mean >= 0.0)
        std::snprintf(error, sizeof error, "%.3f %.3f", mean, p99);
    }
    std::printf("  %-10s %9.4f %5d %13s %10zu %7.1f%% %11.2f %19s  %s\n", toolName, r.seconds, i < 0 ? oursMade : made,
                ratio, kept.size(), 100.0 * double(kept.size()) / double(c.points.size()), cover / spacing, error,
                valid ? "VALID" : "WRONG");
  }
  std::fflush(stdout);
}

} // namespace

int main()
{
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::filesystem::path data(KEXMESH_DATA_DIR);
  KEXTriangleMeshBuffer bunny;
  if (kexmeshtest::readOff((data / "meshes" / "bunny00.off").string(), bunny))
    compare("bunny_1M sampled cloud", sampleCloud(loopSubdivide(loopSubdivide(bunny)), 1000000, 7));
  else
    std::printf("bunny00.off: not found, run scripts/fetch-data\n");
  for (const char* file : {"building.ply", "cube.pwn", "ball.ply", "sphere_20k_normal.xyz"})
    compare(file, readCloud((data / file).string()));
  return 0;
}
