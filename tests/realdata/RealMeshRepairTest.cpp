// The repair filter on every real mesh of data/meshes (fetched by scripts/fetch-data) and on soups
// made from some of them, judged by an independent count (support/MeshQuality): the repair may
// leave a problem it cannot solve, but it must never make a mesh worse.
#include "kex/Class.h"
#include "kexmesh/io/TriangleMeshIO.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/FixTriangleMesh.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"
#include "support/RealData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

using namespace kexmeshtest;

namespace {

/// The fix filter's Filter action on b in place, as a host holding a buffer runs it.
bool fix(KEXTriangleMeshBuffer& b)
{
  auto* filter = static_cast<KEXFixTriangleMesh*>(KEXMetaClass::find("KEXFixTriangleMesh")->create());
  KEXTriangleMeshAction::Parameters record(&b, nullptr);
  const bool ok = filter->getAction(KEX::Filter)->execute(&record);
  filter->release();
  return ok;
}

double diagonal(const KEXTriangleMeshBuffer& b)
{
  KEXInterval<KEXVector3<float>> box;
  return b.calculateBoundingBox(box) && !box.isEmpty() ? double(box.getDiameter()) : 0.0;
}

/// How far the repair may move the surface: welding float-noise copies (up to 1e-5 of the
/// diagonal) or collapsing a degenerate triangle (1/64 of the sampling distance), plus rounding.
double allowedMove(const KEXTriangleMeshBuffer& b)
{
  KEXVector3<float> s;
  const double sampling = b.calculateMeanSamplingDistance(s) ? double(std::min({s.x, s.y, s.z})) : 0.0;
  return std::max(1e-5 * diagonal(b), sampling / 64.0) * 1.01 + 1e-6 * diagonal(b);
}

int distinctPositions(const KEXTriangleMeshBuffer& b)
{
  std::vector<std::array<float, 3>> p;
  for (const KEXTriangle<int>& t : b.triangleList)
    for (int k = 0; k < 3; ++k)
      p.push_back({b.vertexList[t[k]].x, b.vertexList[t[k]].y, b.vertexList[t[k]].z});
  std::sort(p.begin(), p.end());
  return int(std::unique(p.begin(), p.end()) - p.begin());
}

void expectNotWorse(const MeshQuality& in, const MeshQuality& out, const std::string& name)
{
  EXPECT_LE(out.nonManifoldEdges, in.nonManifoldEdges) << name;
  EXPECT_LE(out.duplicateTriangles, in.duplicateTriangles) << name;
  EXPECT_LE(out.inwardComponents, in.inwardComponents) << name;
  EXPECT_LE(out.inconsistentEdges, in.inconsistentEdges) << name;
}

} // namespace

TEST(RealMeshRepair, FixMakesNoMeshWorse)
{
  const std::vector<std::string> files = meshFiles();
  if (files.empty())
    GTEST_SKIP() << meshFolder() << " holds no meshes: run scripts/fetch-data to test on real meshes";
  for (const std::string& path : files) {
    const std::string name = std::filesystem::path(path).filename().string();
    SCOPED_TRACE(name);
    KEXTriangleMeshBuffer in;
    ASSERT_TRUE(readMesh(path, in));
    KEXTriangleMeshBuffer out = in;
    const MeshQuality before = measure(in);
    ASSERT_TRUE(fix(out));
    const MeshQuality after = measure(out);
    std::printf("%-34s before: %s\n%-34s after:  %s\n", name.c_str(), before.summary().c_str(), "",
                after.summary().c_str());
    expectNotWorse(before, after, name);
    double worst = 0.0;
    const double r = allowedMove(in);
    EXPECT_EQ(SurfaceDistance(out).countFarther(in, r, worst), 0) << "input vertices off the output surface";
  }
}

TEST(RealMeshRepair, JitteredShuffledSoupsComeBackClosedAndOutward)
{
  int tested = 0;
  for (const char* file : {"elephant.off", "armadillo.off", "bunny00.off", "cow.off", "bones.off"}) {
    const std::string path = (meshFolder() / file).string();
    SCOPED_TRACE(file);
    KEXTriangleMeshBuffer mesh;
    if (!readMesh(path, mesh))
      continue;
    ++tested;
    const MeshQuality original = measure(mesh);
    std::mt19937 rng(41);
    KEXTriangleMeshBuffer soup = toSoup(mesh);
    shuffleTriangles(soup, rng);
    flipRandomTriangles(soup, 0.3, rng);
    const double jitter = 1e-6 * diagonal(mesh);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (KEXVector3<float>& p : soup.vertexList) {
      KEXVector3<double> d(unit(rng), unit(rng), unit(rng));
      const double length = d.length();
      if (length > 0)
        d *= jitter * unit(rng) / length;
      p = KEXVector3<float>(float(p.x + d.x), float(p.y + d.y), float(p.z + d.z));
    }
    ASSERT_TRUE(fix(soup));
    const MeshQuality repaired = measure(soup);
    // Coincident vertices of the mesh cannot be told apart once it is a soup: they come back as one.
    EXPECT_EQ(repaired.vertices, distinctPositions(mesh));
    EXPECT_EQ(repaired.triangles, original.triangles);
    EXPECT_EQ(repaired.closedComponents, original.closedComponents);
    EXPECT_EQ(repaired.borderEdges, original.borderEdges);
    EXPECT_EQ(repaired.inwardComponents, 0);
    EXPECT_EQ(repaired.nonManifoldEdges, original.nonManifoldEdges);
  }
  if (tested == 0)
    GTEST_SKIP() << meshFolder() << " holds none of the soup meshes: run scripts/fetch-data";
}
