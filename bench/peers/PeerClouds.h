#pragma once
// Oriented point clouds for the peer drivers that start from points (thinning, reconstruction):
// reading the clouds of data/, the standard cloud sampled from a mesh's triangles, and the
// library's estimate of the sampling distance. Every driver reads and samples the same way, so
// that figures compare across drivers.
#include "../PeerProcess.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

#ifdef KEXMESH_PEER_PCL
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#endif

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace kexmeshbench {

/// An oriented cloud: points and their normals.
struct Cloud {
  std::vector<KEXVector3<float>> points, normals;
};

/// x y z nx ny nz per line (.xyz, .pwn), or an ASCII PLY whose first six vertex properties are
/// those; empty when the file is anything else.
inline Cloud readCloud(const std::string& path)
{
  Cloud c;
  std::ifstream in(path);
  std::string line;
  if (path.size() > 4 && path.substr(path.size() - 4) == ".ply") {
    bool ascii = false;
    while (std::getline(in, line) && line.rfind("end_header", 0) != 0)
      ascii = ascii || line.rfind("format ascii", 0) == 0;
    if (!ascii)
      return Cloud();
  }
  while (std::getline(in, line)) {
    std::istringstream s(line);
    float v[6];
    if (s >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5]) {
      c.points.emplace_back(v[0], v[1], v[2]);
      c.normals.emplace_back(v[3], v[4], v[5]);
    }
  }
  return c;
}

/// count points on the triangles of mesh, area-weighted, each with its triangle's unit normal (the
/// standard 1M cloud is this on bunny_1M with seed 7).
inline Cloud sampleCloud(const KEXTriangleMeshBuffer& mesh, int count, unsigned seed)
{
  using D = KEXVector3<double>;
  std::vector<double> area;
  double total = 0.0;
  for (const KEXTriangle<int>& t : mesh.triangleList) {
    const D p0(mesh.vertexList[t[0]]), p1(mesh.vertexList[t[1]]), p2(mesh.vertexList[t[2]]);
    total += 0.5 * (p1 - p0).cross(p2 - p0).length();
    area.push_back(total);
  }
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Cloud c;
  while (int(c.points.size()) < count) {
    const size_t t = std::min(area.size() - 1, size_t(std::lower_bound(area.begin(), area.end(), u(rng) * total) - area.begin()));
    const KEXTriangle<int>& tri = mesh.triangleList[int(t)];
    const D p0(mesh.vertexList[tri[0]]), p1(mesh.vertexList[tri[1]]), p2(mesh.vertexList[tri[2]]);
    const D n = (p1 - p0).cross(p2 - p0);
    if (!(n.length() > 0.0))
      continue;
    double r1 = u(rng), r2 = u(rng);
    if (r1 + r2 > 1.0) {
      r1 = 1.0 - r1;
      r2 = 1.0 - r2;
    }
    const D p = p0 + (p1 - p0) * r1 + (p2 - p0) * r2, nu = n * (1.0 / n.length());
    c.points.emplace_back(float(p.x), float(p.y), float(p.z));
    c.normals.emplace_back(float(nu.x), float(nu.y), float(nu.z));
  }
  return c;
}

/// The cloud as a buffer: vertices and vertex normals, no triangles.
inline KEXTriangleMeshBuffer toBuffer(const Cloud& c)
{
  KEXTriangleMeshBuffer b;
  b.vertexList.setCount(int(c.points.size()));
  std::copy(c.points.begin(), c.points.end(), b.vertexList.getData());
  b.vertexNormalList.setCount(int(c.normals.size()));
  std::copy(c.normals.begin(), c.normals.end(), b.vertexNormalList.getData());
  return b;
}

/// The library's estimate of the sampling distance, computed in a child like every library run
/// (zero when it fails or takes longer than limit seconds).
inline KEXVector3<float> samplingDistance(const Cloud& c, int limit)
{
  const PeerRun r = runInChild(
      "sampling distance",
      [&] {
        PeerOutput out;
        KEXVector3<float> m;
        if (toBuffer(c).calculateMeanSamplingDistance(m)) {
          out.vertices.push_back(m);
          out.seconds = 0.0;
        }
        return out;
      },
      limit);
  return r.output.vertices.empty() ? KEXVector3<float>(0, 0, 0) : r.output.vertices[0];
}

#ifdef KEXMESH_PEER_PCL
/// The cloud as PCL points with normals (one row).
inline pcl::PointCloud<pcl::PointNormal>::Ptr toPclCloud(const Cloud& c)
{
  pcl::PointCloud<pcl::PointNormal>::Ptr in(new pcl::PointCloud<pcl::PointNormal>);
  in->points.resize(c.points.size());
  for (size_t i = 0; i < c.points.size(); ++i) {
    pcl::PointNormal& p = in->points[i];
    p.x = c.points[i].x;
    p.y = c.points[i].y;
    p.z = c.points[i].z;
    p.normal_x = c.normals[i].x;
    p.normal_y = c.normals[i].y;
    p.normal_z = c.normals[i].z;
  }
  in->width = uint32_t(in->points.size());
  in->height = 1;
  return in;
}
#endif

} // namespace kexmeshbench
