// The iso-surface extractor on every real volume of data/ (INRIA files, plain and gzipped), judged
// by an independent check: the surface is closed, manifold and consistently oriented, and every
// vertex inside the sample range lies on a cell edge whose samples straddle the iso value, at the
// linearly interpolated crossing (clamped off the edge's ends), with the normal of its triangle fan
// pointing from the edge's inside sample to its outside one. (Cavities are closed components of
// negative volume, rightly: the orientation is judged against the samples, not by volume signs.)
#include "kex/Properties.h"
#include "kexgeometry/Grid.h"
#include "kexmesh/extract/TriangleMeshExtractor.h"
#include "kexmesh/io/GridIO.h"
#include "kexmesh/objects/Vocabulary.h"
#include "support/MeshQuality.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::vector<std::string> volumeFiles()
{
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(KEXMESH_DATA_DIR, error)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && (name.ends_with(".inr") || name.ends_with(".inr.gz")))
      files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool extract(KEXGrid& grid, double iso, KEXTriangleMeshBuffer& mesh)
{
  KEXTriangleMeshExtractor x;
  KEXObjectLink link;
  return x.setValue<KEXObjectLink>(KEX::SampleGrid, KEXObjectLink(&grid)) &&
         x.setValue<float>(KEX::IsoValue, float(iso)) && x.calculate() &&
         x.getValue<KEXObjectLink>(KEX::Result, link) && link.get() &&
         link.get()->getArray(KEX::TriangleList, mesh.triangleList) &&
         link.get()->getArray(KEX::VertexList, mesh.vertexList);
}

/// How many vertices strictly inside the sample range are not at the clamped linear crossing of
/// a straddling cell edge, or whose fan normal does not point to the edge's outside sample (the
/// caps beyond the outer samples are left out).
int verticesOffTheCrossings(const KEXGrid& grid, double iso, const KEXTriangleMeshBuffer& mesh, std::string& first)
{
  constexpr double ON_GRID = 1e-3, END = 1.0 / 256.0;
  const KEXVector3<int> n = grid.getSize();
  std::vector<KEXVector3<double>> fan(size_t(mesh.vertexList.getCount()), KEXVector3<double>(0, 0, 0));
  for (const KEXTriangle<int>& t : mesh.triangleList) {
    KEXVector3<double> p[3];
    for (int c = 0; c < 3; ++c)
      for (int a = 0; a < 3; ++a)
        p[c][a] = mesh.vertexList[t[c]][a];
    const KEXVector3<double> normal = (p[1] - p[0]).cross(p[2] - p[0]);
    for (int c = 0; c < 3; ++c)
      fan[size_t(t[c])] += normal;
  }
  int off = 0;
  for (int v = 0; v < mesh.vertexList.getCount(); ++v) {
    double g[3];
    bool inRange = true;
    for (int a = 0; a < 3; ++a) {
      const double spacing = n[a] > 1 ? grid.getPosition(a, 1) - grid.getPosition(a, 0) : 1.0;
      g[a] = (double(mesh.vertexList[v][a]) - grid.getPosition(a, 0)) / spacing;
      inRange = inRange && g[a] > -ON_GRID && g[a] < n[a] - 1 + ON_GRID;
    }
    if (!inRange)
      continue;
    int along = -1, fractional = 0;
    int i[3];
    for (int a = 0; a < 3; ++a) {
      i[a] = int(std::lround(g[a]));
      if (std::fabs(g[a] - i[a]) > ON_GRID) {
        along = a;
        ++fractional;
        i[a] = int(std::floor(g[a]));
      }
    }
    bool sound = fractional == 1;
    if (sound) {
      const double f0 = grid.getSample(i[0], i[1], i[2]);
      ++i[along];
      const double f1 = grid.getSample(i[0], i[1], i[2]);
      const double t = std::clamp((iso - f0) / (f1 - f0), END, 1.0 - END);
      // Outward is towards the outside sample: against the edge when its far end is inside.
      const bool outwardAlong = f0 >= iso;
      sound = (f0 >= iso) != (f1 >= iso) && std::fabs(g[along] - (i[along] - 1) - t) <= ON_GRID &&
              (fan[size_t(v)][along] > 0) == outwardAlong;
    }
    if (!sound && off++ == 0)
      first = "vertex " + std::to_string(v) + " at grid " + std::to_string(g[0]) + " " + std::to_string(g[1]) +
              " " + std::to_string(g[2]);
  }
  return off;
}

TEST(RealVolumes, ExtractedSurfacesAreClosedOutwardAndOnTheIsoSurface)
{
  const std::vector<std::string> files = volumeFiles();
  if (files.empty())
    GTEST_SKIP() << "no volumes in " << KEXMESH_DATA_DIR;
  int surfaces = 0;
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    KEXGeometryIO::Report report;
    KEXGridIO* io = KEXGridIO::createForFile(path.c_str(), report);
    ASSERT_NE(io, nullptr) << report.message;
    KEXGrid grid;
    const bool read = io->readGrid(path.c_str(), grid, report);
    KEXGridIO::destroy(io);
    ASSERT_TRUE(read) << report.message;
    double lo = grid.getSample(0, 0, 0), hi = lo;
    const KEXVector3<int> n = grid.getSize();
    for (int k = 0; k < n.z; ++k)
      for (int j = 0; j < n.y; ++j)
        for (int i = 0; i < n.x; ++i) {
          lo = std::min(lo, grid.getSample(i, j, k));
          hi = std::max(hi, grid.getSample(i, j, k));
        }
    // A quarter and half of the range, and the value the skull's file is named after.
    std::vector<double> isos = {lo + 0.25 * (hi - lo), lo + 0.5 * (hi - lo)};
    if (path.find("skull_2.9") != std::string::npos)
      isos.push_back(2.9);
    for (double iso : isos) {
      SCOPED_TRACE("iso " + std::to_string(iso));
      KEXTriangleMeshBuffer mesh;
      ASSERT_TRUE(extract(grid, iso, mesh));
      if (hi > lo) {
        ASSERT_GT(mesh.triangleList.getCount(), 0);
      }
      const kexmeshtest::MeshQuality q = kexmeshtest::measure(mesh);
      EXPECT_EQ(q.borderEdges, 0) << q.summary();
      EXPECT_EQ(q.nonManifoldEdges, 0) << q.summary();
      EXPECT_EQ(q.inconsistentEdges, 0) << q.summary();
      EXPECT_EQ(q.duplicateTriangles, 0) << q.summary();
      EXPECT_EQ(q.closedComponents, q.components) << q.summary();
      EXPECT_EQ(q.usedVertices, q.vertices) << q.summary();
      std::string first;
      EXPECT_EQ(verticesOffTheCrossings(grid, iso, mesh, first), 0) << first;
      surfaces += mesh.triangleList.getCount() > 0;
    }
  }
  EXPECT_GT(surfaces, 0);
}

} // namespace
