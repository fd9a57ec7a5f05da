// Surface reconstruction from oriented point clouds side by side: kexmesh's
// KEXConstructTriangulationAlgorithm with its defaults (the connection distance estimated from the
// cloud) against CGAL advancing_front_surface_reconstruction (its defaults) and, when built with
// them, Open3D ball pivoting, Open3D Poisson at depth 9 and PCL GreedyProjectionTriangulation.
//
// The peers that need a scale get it from the library's estimate m of the cloud's mean sampling
// distance (the mean of its three components), computed once per cloud and never timed: ball
// pivoting rolls balls of radii 1.5 m, 3 m and 6 m; the greedy projection searches 6 m around a
// point with mu 2.5, at most 100 neighbours, the usual angle limits (surface 45 degrees, triangle
// angles 10 to 120 degrees). Poisson gets the normals and depth 9 and keeps all it makes (no
// density trimming), which is why it closes what the others leave open and adds surface where
// there are no points.
//
// Inputs: the oriented clouds of data/ (kitten.xyz, oni.pwn, sphere_20k_normal.xyz, cube.pwn) and
// the standard 1M cloud sampled from bunny_1M (area-weighted, seed 7, the triangle's unit normal).
// Every run is a child process of its own that times only the reconstruction. Each result is
// judged by the same independent counts (tests/support MeshQuality): triangles, components,
// boundary edges, non-manifold edges; the distance of the input points to the result surface
// (the largest, in units of m: what the result misses); and, where the cloud was sampled from a
// known surface (bunny_1M), the two-sided sampled Hausdorff distance to it in units of the
// diagonal. The verdict: WRONG for no triangle, an index outside its vertices or a non-manifold
// edge (not a surface), else OPEN when boundary edges are left, else CLOSED. Ratios of WRONG
// results are marked n/a.
//
// Usage: kexmesh_peers_reconstruct [input ...]   (default: all; names as above, "bunny_1M" for the
// sampled cloud)
#include "../FixInputs.h"
#include "../PeerProcess.h"
#include "../SurfaceError.h"
#include "PeerClouds.h"
#include "PeerMeshes.h"
#include "kexmesh/reconstruct/ConstructTriangulationAlgorithm.h"
#include "support/MeshQuality.h"
#include "support/OffReader.h"

#include <CGAL/Advancing_front_surface_reconstruction.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>

#ifdef KEXMESH_PEER_OPEN3D
#include <open3d/geometry/PointCloud.h>
#include <open3d/geometry/TriangleMesh.h>
#endif
#ifdef KEXMESH_PEER_PCL
#include <pcl/kdtree/kdtree_flann.h>
#include <pcl/point_types.h>
#include <pcl/surface/gp3.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace kexmeshbench;
using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;

constexpr int peerLimit = 300; // Poisson takes minutes on the 1M cloud
constexpr int runs = 3;
constexpr double slowRun = 10.0;

PeerOutput runKexmesh(const Cloud& c)
{
  PeerOutput out;
  KEXTriangleMeshBuffer b = toBuffer(c);
  KEXConstructTriangulationAlgorithm construct;
  if (!construct.setBuffer(&b))
    return out;
  const PeerClock::time_point start = PeerClock::now();
  const bool ok = construct.execute(nullptr);
  const double seconds = secondsSince(start);
  construct.setBuffer(nullptr);
  if (!ok)
    return out;
  keep(b, out);
  out.seconds = seconds;
  return out;
}

PeerOutput runCgalAdvancingFront(const Cloud& c)
{
  std::vector<Kernel::Point_3> points;
  points.reserve(c.points.size());
  for (const KEXVector3<float>& p : c.points)
    points.emplace_back(p.x, p.y, p.z);
  std::vector<std::array<std::size_t, 3>> facets;
  const PeerClock::time_point start = PeerClock::now();
  CGAL::advancing_front_surface_reconstruction(points.begin(), points.end(), std::back_inserter(facets));
  PeerOutput out;
  out.seconds = secondsSince(start);
  out.vertices = c.points; // the facets index the input points
  for (const auto& f : facets)
    out.triangles.emplace_back(int(f[0]), int(f[1]), int(f[2]));
  return out;
}

#ifdef KEXMESH_PEER_OPEN3D
open3d::geometry::PointCloud open3dCloud(const Cloud& c)
{
  open3d::geometry::PointCloud cloud;
  cloud.points_.reserve(c.points.size());
  cloud.normals_.reserve(c.normals.size());
  for (size_t i = 0; i < c.points.size(); ++i) {
    cloud.points_.emplace_back(c.points[i].x, c.points[i].y, c.points[i].z);
    cloud.normals_.emplace_back(c.normals[i].x, c.normals[i].y, c.normals[i].z);
  }
  return cloud;
}

PeerOutput runOpen3DBallPivoting(const Cloud& c, double m)
{
  const open3d::geometry::PointCloud cloud = open3dCloud(c);
  const std::vector<double> radii = {1.5 * m, 3.0 * m, 6.0 * m};
  const PeerClock::time_point start = PeerClock::now();
  const auto mesh = open3d::geometry::TriangleMesh::CreateFromPointCloudBallPivoting(cloud, radii);
  const double seconds = secondsSince(start);
  PeerOutput out = fromOpen3D(*mesh);
  out.seconds = seconds;
  return out;
}

PeerOutput runOpen3DPoisson(const Cloud& c)
{
  const open3d::geometry::PointCloud cloud = open3dCloud(c);
  const PeerClock::time_point start = PeerClock::now();
  const auto result = open3d::geometry::TriangleMesh::CreateFromPointCloudPoisson(cloud, 9);
  const double seconds = secondsSince(start);
  PeerOutput out = fromOpen3D(*std::get<0>(result));
  out.seconds = seconds;
  return out;
}
#endif

#ifdef KEXMESH_PEER_PCL
PeerOutput runPclGreedy(const Cloud& c, double m)
{
  pcl::PointCloud<pcl::PointNormal>::Ptr in = toPclCloud(c);
  pcl::search::KdTree<pcl::PointNormal>::Ptr tree(new pcl::search::KdTree<pcl::PointNormal>);
  pcl::GreedyProjectionTriangulation<pcl::PointNormal> gp3;
  gp3.setSearchRadius(6.0 * m);
  gp3.setMu(2.5);
  gp3.setMaximumNearestNeighbors(100);
  gp3.setMaximumSurfaceAngle(M_PI / 4);
  gp3.setMinimumAngle(M_PI / 18);
  gp3.setMaximumAngle(2 * M_PI / 3);
  gp3.setNormalConsistency(false);
  pcl::PolygonMesh mesh;
  const PeerClock::time_point start = PeerClock::now();
  tree->setInputCloud(in); // the search structure is part of the method
  gp3.setInputCloud(in);
  gp3.setSearchMethod(tree);
  gp3.reconstruct(mesh);
  PeerOutput out;
  out.seconds = secondsSince(start);
  out.vertices = c.points; // the polygons index the input points
  for (const pcl::Vertices& poly : mesh.polygons)
    for (size_t k = 2; k < poly.vertices.size(); ++k)
      out.triangles.emplace_back(int(poly.vertices[0]), int(poly.vertices[k - 1]), int(poly.vertices[k]));
  return out;
}
#endif

bool validIndices(const PeerOutput& out)
{
  const size_t n = out.vertices.size();
  for (const KEXTriangle<int>& t : out.triangles)
    for (int k = 0; k < 3; ++k)
      if (t[k] < 0 || size_t(t[k]) >= n)
        return false;
  return !out.triangles.empty();
}

/// The largest distance from a point of the cloud to the surface, capped at limit.
double cloudDistance(const Cloud& c, const KEXTriangleMeshBuffer& surface, double m, double limit)
{
  const kexmeshtest::SurfaceDistance grid(surface);
  bool capped = false;
  double worst = 0.0;
  for (const KEXVector3<float>& p : c.points)
    worst = std::max(worst, distanceTo(grid, KEXVector3<double>(p), 0.25 * m, limit, capped));
  return worst;
}

void compare(const std::string& name, const Cloud& c, const KEXTriangleMeshBuffer* source)
{
  if (c.points.empty()) {
    std::printf("\n%s: not read (missing or not an oriented cloud)\n", name.c_str());
    return;
  }
  const KEXVector3<float> spacing = samplingDistance(c, peerLimit);
  const double m = (double(spacing.x) + spacing.y + spacing.z) / 3.0;
  KEXTriangleMeshBuffer asMesh = toBuffer(c);
  const double diag = diagonal(asMesh);
  std::printf("\n%s: %zu points, mean sampling distance m = %.4g, diagonal %.4g%s\n", name.c_str(), c.points.size(), m,
              diag, source ? ", sampled from a known surface" : "");
  if (!(m > 0.0)) {
    std::printf("  no sampling distance: skipped\n");
    return;
  }
  struct Tool {
    const char* name;
    std::function<PeerOutput()> run;
  };
  std::vector<Tool> tools = {
      {"kexmesh", [&] { return runKexmesh(c); }},
      {"cgal-afsr", [&] { return runCgalAdvancingFront(c); }},
#ifdef KEXMESH_PEER_OPEN3D
      {"o3d-bpa", [&] { return runOpen3DBallPivoting(c, m); }},
      {"o3d-poisson9", [&] { return runOpen3DPoisson(c); }},
#endif
#ifdef KEXMESH_PEER_PCL
      {"pcl-gp3", [&] { return runPclGreedy(c, m); }},
#endif
  };
  std::printf("  %-12s %9s %5s %13s %9s %10s %6s %9s %9s %11s %11s  %s\n", "tool", "time s", "runs", "peer/kexmesh",
              "peak MiB", "triangles", "comps", "boundary", "nonmanif", "cloud d/m", "hausdorff/d", "verdict");
  double oursSeconds = -1.0;
  bool oursValid = false;
  for (size_t i = 0; i < tools.size(); ++i) {
    int made = 0;
    const PeerRun r = runMedian(tools[i].name, tools[i].run, runs, peerLimit, slowRun, made);
    if (r.seconds < 0) {
      std::printf("  %-12s %s\n", tools[i].name, r.stopped ? "stopped at the limit, no result" : "failed, no result");
      continue;
    }
    bool valid = validIndices(r.output);
    bool closed = false;
    char quality[160] = "-";
    char cloudColumn[32] = "-", hausdorffColumn[32] = "-";
    if (valid) {
      const KEXTriangleMeshBuffer result = toBuffer(r.output);
      const kexmeshtest::MeshQuality q = kexmeshtest::measure(result);
      std::snprintf(quality, sizeof quality, "%10d %6d %9d %9d", q.triangles, q.components, q.borderEdges,
                    q.nonManifoldEdges);
      valid = q.nonManifoldEdges == 0;
      closed = q.borderEdges == 0;
      const double limit = 0.05 * diag;
      const double d = cloudDistance(c, result, m, limit);
      std::snprintf(cloudColumn, sizeof cloudColumn, "%s%.2f", d >= limit ? ">" : "", d / m);
      if (source) {
        const SurfaceError e = surfaceError(*source, result, diag);
        std::snprintf(hausdorffColumn, sizeof hausdorffColumn, "%s%.3e", e.capped ? ">" : "", e.hausdorff / diag);
      }
    }
    if (i == 0) {
      oursSeconds = r.seconds;
      oursValid = valid;
    }
    char ratio[32] = "-";
    if (i > 0 && oursSeconds > 0)
      std::snprintf(ratio, sizeof ratio, "%.2f%s", r.seconds / oursSeconds, oursValid && valid ? "" : " (n/a)");
    std::printf("  %-12s %9.3f %5d %13s %9.1f %s %11s %11s  %s\n", tools[i].name, r.seconds, made, ratio,
                double(r.peakKiB) / 1024.0, quality[0] != '-' ? quality : "         -      -         -         -",
                cloudColumn, hausdorffColumn, !valid ? "WRONG" : closed ? "CLOSED" : "OPEN");
  }
  std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  auto wanted = [&](const char* name) {
    if (argc < 2)
      return true;
    for (int i = 1; i < argc; ++i)
      if (std::strcmp(argv[i], name) == 0)
        return true;
    return false;
  };
  const std::filesystem::path data(KEXMESH_DATA_DIR);
  for (const char* file : {"kitten.xyz", "oni.pwn", "sphere_20k_normal.xyz", "cube.pwn"})
    if (wanted(file))
      compare(file, readCloud((data / file).string()), nullptr);
  if (wanted("bunny_1M")) {
    KEXTriangleMeshBuffer bunny;
    if (kexmeshtest::readOff((data / "meshes" / "bunny00.off").string(), bunny)) {
      const KEXTriangleMeshBuffer bunny1M = loopSubdivide(loopSubdivide(bunny));
      compare("bunny_1M sampled cloud", sampleCloud(bunny1M, 1000000, 7), &bunny1M);
    } else {
      std::printf("bunny00.off: not found, run scripts/fetch-data\n");
    }
  }
  return 0;
}
