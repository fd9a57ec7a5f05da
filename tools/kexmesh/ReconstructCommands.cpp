// The surface reconstruction subcommand: reconstruct. Reads an oriented point cloud (or a mesh,
// whose vertices with their normals become the cloud), optionally thins it first with the point
// cloud reduction, grows a triangle surface over it with the library's construction algorithm and
// writes the surface. The closing line says how much of the surface stayed open, since a sparse or
// noisy scan leaves holes that the user may want to close or rescan.
#include "Commands.h"
#include "Session.h"

#include <CLI/CLI.hpp>

#include "kexmesh/reconstruct/ConstructTriangulationAlgorithm.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

namespace kexmeshtool {

namespace {

struct ReconstructSettings {
  double maxDistance = -1.0; ///< negative: estimated from the cloud
  double minDot = 0.5;
  bool holes = false;
  double reduceTolerance = -1.0; ///< negative: no reduction first
};

bool usableNormal(const KEXVector3<float>& n)
{
  const double x = n.x, y = n.y, z = n.z;
  const double squared = x * x + y * y + z * z;
  return std::isfinite(squared) && squared > 0.0;
}

/// Turns what was read into the cloud the reconstruction grows over: the points and their normals
/// (and the edge flags that label inner holes). A mesh without normals gets them from its
/// triangles; its vertices that no triangle uses have no direction then and are left out. The
/// triangles are dropped: the surface is rebuilt from the points alone.
int toPointCloud(KEXTriangleMeshBuffer& b, const std::string& path)
{
  const int n = b.getVertexCount();
  const bool hadTriangles = b.getTriangleCount() > 0;
  const bool computed = b.vertexNormalList.getCount() != n && hadTriangles;
  if (computed && !b.calculateVertexNormals()) {
    printError("could not compute the vertex normals of %s", path.c_str());
    return OperationFailed;
  }
  if (b.vertexNormalList.getCount() != n) {
    printError("%s has no normals: reconstruction needs one normal per point (XYZ or PWN with six numbers a "
               "line, PLY with nx ny nz, or a mesh whose triangles give them)",
               path.c_str());
    return BadInput;
  }
  KEXTriangleMeshBuffer cloud;
  const bool flags = b.vertexEdgeFlagList.getCount() == n;
  int dropped = 0;
  for (int v = 0; v < n; ++v) {
    if (computed && !usableNormal(b.vertexNormalList[v])) {
      ++dropped;
      continue;
    }
    if (!cloud.vertexList.append(b.vertexList[v]) || !cloud.vertexNormalList.append(b.vertexNormalList[v]) ||
        (flags && !cloud.vertexEdgeFlagList.append(b.vertexEdgeFlagList[v]))) {
      printError("out of memory while reading the cloud of %s", path.c_str());
      return OperationFailed;
    }
  }
  if (hadTriangles)
    printNote("using the %d vertices of %s as the cloud (%s normals%s), its %d triangles dropped", cloud.getVertexCount(),
              path.c_str(), computed ? "computed" : "its own", dropped ? ", unused vertices left out" : "",
              b.getTriangleCount());
  b.clear();
  b.vertexList.swap(cloud.vertexList);
  b.vertexNormalList.swap(cloud.vertexNormalList);
  b.vertexEdgeFlagList.swap(cloud.vertexEdgeFlagList);
  return Success;
}

int reconstructBuffer(KEXTriangleMeshBuffer& b, const std::string& path, const ReconstructSettings& s)
{
  const auto start = std::chrono::steady_clock::now();
  if (int code = toPointCloud(b, path))
    return code;
  if (s.reduceTolerance >= 0.0) {
    ReduceSettings reduce;
    reduce.tolerance = s.reduceTolerance;
    if (int code = reduceBuffer(b, reduce))
      return code;
  }
  const int points = b.getVertexCount();
  int rounds = 0;
  int code = step(
      b, "KEXConstructTriangulationAlgorithm", "reconstruct",
      [&](KEXTriangleMeshAlgorithmIF& a) {
        auto& construct = static_cast<KEXConstructTriangulationAlgorithm&>(a);
        return construct.setMaximumDistance(float(s.maxDistance)) && construct.setMinimumDotProduct(float(s.minDot)) &&
               construct.setTransientFlag(s.holes);
      },
      [&](KEXTriangleMeshAlgorithmIF& a) { rounds = static_cast<KEXConstructTriangulationAlgorithm&>(a).getRoundCount(); });
  if (code != Success)
    return code;
  const MeshStats stats = computeStats(b);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printNote("reconstructed %d points: %lld triangles, %lld boundary loops left, %d rounds, %.2fs", points,
            stats.triangles, stats.boundaryLoops, rounds, seconds);
  if (stats.triangles == 0)
    printWarning("no triangles: the points may be too far apart for the maximum distance, or their normals disagree");
  return Success;
}

} // namespace

void addReconstructCommands(CLI::App& app, Options& o)
{
  auto s = std::make_shared<ReconstructSettings>();
  CLI::App* reconstruct =
      app.add_subcommand("reconstruct", "Reconstruct a triangle surface from an oriented point cloud");
  reconstruct
      ->add_option("input", o.input,
                   "Point cloud with normals (XYZ or PWN with six numbers a line, PLY), or a mesh whose vertices "
                   "become the cloud")
      ->required();
  reconstruct->add_option("output", o.output, "Mesh file to write")->required();
  reconstruct
      ->add_option("--max-distance", s->maxDistance,
                   "Greatest distance between connected points (default: estimated from the cloud)")
      ->check(CLI::PositiveNumber);
  reconstruct
      ->add_option("--min-dot", s->minDot,
                   "Least dot product of neighbouring normals in the first round (later rounds relax it)")
      ->capture_default_str()
      ->check(CLI::Range(-1.0, 1.0));
  reconstruct->add_flag("--holes", s->holes,
                        "Keep the inner holes labelled in the vertex edge flags (1 to 254) open");
  reconstruct
      ->add_option("--reduce", s->reduceTolerance,
                   "Thin the cloud first: largest distance of a neighbour from a point's tangent plane")
      ->check(CLI::NonNegativeNumber);
  reconstruct->callback([&o, s] {
    o.run = [&o, s] {
      return transformFile(o.input, o.output, o.ascii,
                           [&](KEXTriangleMeshBuffer& b) { return reconstructBuffer(b, o.input, *s); });
    };
  });
}

} // namespace kexmeshtool
