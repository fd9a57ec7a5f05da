// The picture renderer against brute-force references: which triangle a ray through each sample
// centre meets first, which edges have one or three and more triangles, and what a PNG holds.
#include "PngFile.h"
#include "Renderer.h"

#include "kex/Testing.h"
#include "kex/Thread.h"
#include "kexmesh/io/GeometryColorMaterial.h"
#include "support/Meshes.h"
#include "support/ObjectsSweeps.h"
#include "support/TemporaryFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <tuple>

using namespace kexmeshtool;
using kexmeshtest::makeBuffer;
using Vec3 = KEXVector3<float>;
using Tri = KEXTriangle<int>;
using RGB = KEXRGB<float>;

namespace {

/// Emission only: a sample's colour is the emission colour exactly.
ShadingMaterial flatMaterial(const RGB& colour)
{
  ShadingMaterial m;
  for (ShadingSide* s : {&m.front, &m.back}) {
    s->ambientIntensity = s->diffuseIntensity = s->specularIntensity = 0.0f;
    s->emissionIntensity = 1.0f;
    s->emission = colour;
  }
  return m;
}

ShadingMaterial defaultMaterial()
{
  KEXGeometryColorMaterial material;
  ShadingMaterial m;
  EXPECT_TRUE(m.read(material));
  return m;
}

RenderSettings frontView(int w, int h)
{
  RenderSettings s;
  s.width = w, s.height = h, s.view = View::Front, s.background = RGB(0.0f, 0.0f, 0.0f);
  return s;
}

bool samePixel(const Image& im, int x, int y, const RGB& c)
{
  const unsigned char* p = im.at(x, y);
  return p[0] == kexdetail::colorToByte(c.r) && p[1] == kexdetail::colorToByte(c.g) && p[2] == kexdetail::colorToByte(c.b);
}

/// The front view's fit: the drawn vertices' extent centred, scaled to 90% of the tighter side.
struct FrontFit {
  double factor, cx, cy, w, h;
  FrontFit(const std::vector<Vec3>& points, int width, int height) : w(width), h(height)
  {
    double lx = 1e300, ly = 1e300, hx = -1e300, hy = -1e300;
    for (const Vec3& p : points)
      lx = std::min(lx, double(p.x)), hx = std::max(hx, double(p.x)), ly = std::min(ly, double(p.y)), hy = std::max(hy, double(p.y));
    factor = std::min(0.9 * width / (hx - lx), 0.9 * height / (hy - ly));
    cx = 0.5 * (lx + hx), cy = 0.5 * (ly + hy);
  }
  double px(double x) const { return 0.5 * w + (x - cx) * factor; }
  double py(double y) const { return 0.5 * h - (y - cy) * factor; }
};

/// The smallest signed distance (pixels, positive inside) of a point to a screen triangle's edges,
/// and the depth z interpolated there.
double insideDistance(const double (&x)[3], const double (&y)[3], const double (&z)[3], double px, double py, double& depth)
{
  const double area = (x[1] - x[0]) * (y[2] - y[0]) - (x[2] - x[0]) * (y[1] - y[0]);
  double d = 1e300;
  depth = 0.0;
  for (int k = 0; k < 3; ++k) {
    const int i = (k + 1) % 3, j = (k + 2) % 3;
    const double cross = (x[j] - x[i]) * (py - y[i]) - (y[j] - y[i]) * (px - x[i]);
    d = std::min(d, (area > 0 ? cross : -cross) / std::hypot(x[j] - x[i], y[j] - y[i]));
    depth += cross / area * z[k]; // the barycentric weight of corner k
  }
  return d;
}

RenderStatus render(const KEXTriangleMeshBuffer& mesh, const ShadingMaterial& m, const RenderSettings& s, Image& im)
{
  RenderStats stats;
  return renderMesh(mesh, m, s, im, stats);
}

} // namespace

// Against a brute-force ray cast: each sample clearly inside shows the nearest triangle's colour.
TEST(Renderer, TheDepthBufferShowsTheNearestTriangleAtEverySample)
{
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-2.0f, 2.0f), c(0.0f, 1.0f);
  for (int round = 0; round < 12; ++round) {
    const int n = 3 + int(rng() % 12);
    std::vector<Vec3> v;
    std::vector<Tri> t;
    RenderSettings s = frontView(70 + int(rng() % 40), 50 + int(rng() % 40));
    for (int i = 0; i < n; ++i) {
      for (int k = 0; k < 3; ++k)
        v.emplace_back(u(rng), u(rng), u(rng));
      t.emplace_back(3 * i, 3 * i + 1, 3 * i + 2);
      s.triangleColors.emplace_back(std::round(c(rng) * 255) / 255, std::round(c(rng) * 255) / 255, 0.5f);
    }
    const KEXTriangleMeshBuffer mesh = makeBuffer(v, t);
    // Both sides shaded with the triangle's own colour and front intensities: emission only.
    const ShadingMaterial material = flatMaterial(RGB());
    Image im;
    ASSERT_EQ(render(mesh, material, s, im), RenderStatus::Done);
    const FrontFit fit(v, s.width, s.height);
    int checked = 0;
    for (int py = 0; py < s.height; ++py)
      for (int px = 0; px < s.width; ++px) {
        // Front view: depth is -z; the nearest triangle has the largest z at the sample.
        double best = -1e300, second = -1e300;
        int winner = -1;
        bool ambiguous = false;
        for (int i = 0; i < n; ++i) {
          double x[3], y[3], z[3], zz;
          for (int k = 0; k < 3; ++k)
            x[k] = fit.px(v[3 * i + k].x), y[k] = fit.py(v[3 * i + k].y), z[k] = v[3 * i + k].z;
          const double d = insideDistance(x, y, z, px + 0.5, py + 0.5, zz);
          ambiguous = ambiguous || std::fabs(d) <= 0.01;
          if (d <= 0.01)
            continue;
          second = std::max(second, std::min(best, zz));
          std::tie(best, winner) = zz > best ? std::pair(zz, i) : std::pair(best, winner);
        }
        if (ambiguous || (winner >= 0 && best - second < 1e-4))
          continue;
        ++checked;
        const RGB expected = winner < 0 ? s.background : s.triangleColors[size_t(winner)];
        EXPECT_TRUE(samePixel(im, px, py, expected)) << "round " << round << " at " << px << "," << py;
      }
    EXPECT_GT(checked, s.width * s.height / 2);
  }
}

// The picture is the same for every thread count; the PNG file holds it exactly.
TEST(Renderer, PicturesAreTheSameForEveryThreadCountAndSurviveAPngFile)
{
  std::mt19937 rng(3);
  const KEXTriangleMeshBuffer mesh = kexmeshtest::makeRandomMesh(rng, {300, 900, 0.02});
  RenderSettings s = frontView(160, 120);
  s.view = View::Iso, s.wireframe = s.antialias = true;
  EdgeClasses edges;
  ASSERT_TRUE(classifyEdges(mesh, edges));
  for (const auto& e : edges.open)
    s.lines.push_back(OverlayLine{e.first, e.second, RGB(0.0f, 1.0f, 0.0f)});
  const ShadingMaterial material = defaultMaterial();
  Image reference;
  kexTest::setThreadCount(1);
  ASSERT_EQ(render(mesh, material, s, reference), RenderStatus::Done);
  for (int threads : {2, 3, 8}) {
    kexTest::setThreadCount(threads);
    Image im;
    ASSERT_TRUE(render(mesh, material, s, im) == RenderStatus::Done && kexTest::lastRunAllThreads() == threads);
    ASSERT_EQ(im.pixels.getCount(), reference.pixels.getCount());
    EXPECT_TRUE(std::equal(im.pixels.begin(), im.pixels.end(), reference.pixels.begin())) << threads;
  }
  kexTest::setThreadCount(0);

  const std::string path = kexmeshtest::tempPath("picture.png");
  std::string error;
  for (int size : {33, 17}) { // odd sizes: no row padding assumed
    s.width = size, s.height = 50 - size;
    Image im, back;
    ASSERT_EQ(render(mesh, material, s, im), RenderStatus::Done);
    ASSERT_TRUE(writePng(path, im, error)) << error;
    EXPECT_FALSE(kexmeshtest::exists(path + ".part") || kexmeshtest::temporaryLeft(path));
    ASSERT_TRUE(readPng(path, back, error)) << error;
    ASSERT_TRUE(back.width == s.width && back.height == s.height && back.pixels.getCount() == im.pixels.getCount());
    EXPECT_TRUE(std::equal(im.pixels.begin(), im.pixels.end(), back.pixels.begin()));
    std::remove(path.c_str());
  }
  Image none;
  EXPECT_FALSE(writePng(path, none, error) || kexmeshtest::exists(path));
}

// Nothing drawable gives the background; a NaN vertex costs only its own triangles.
TEST(Renderer, EmptyMeshesAndNonFiniteVerticesGiveTheBackgroundWhereNothingIsDrawn)
{
  const float nan = std::numeric_limits<float>::quiet_NaN();
  RenderSettings s = frontView(32, 24);
  s.background = RGB(0.2f, 0.4f, 0.6f);
  KEXTriangleMeshBuffer mixed = kexmeshtest::makeIcosphere(1);
  mixed.vertexList[0].y = nan;
  const int using0 = int(std::count_if(mixed.triangleList.begin(), mixed.triangleList.end(), [](const Tri& t) { return t[0] == 0 || t[1] == 0 || t[2] == 0; }));
  const KEXTriangleMeshBuffer meshes[] = {KEXTriangleMeshBuffer(), makeBuffer({{0, 0, 0}, {1, 0, 0}, {nan, 1, 0}}, {Tri(0, 1, 2), Tri(0, 1, 7)}), mixed};
  for (const KEXTriangleMeshBuffer& mesh : meshes) {
    const int skipped = &mesh == &meshes[2] ? using0 : mesh.getTriangleCount();
    Image im;
    RenderStats stats;
    ASSERT_EQ(renderMesh(mesh, defaultMaterial(), s, im, stats), RenderStatus::Done);
    EXPECT_TRUE(stats.skippedTriangles == skipped && stats.drawnTriangles == mesh.getTriangleCount() - skipped);
    for (int y = 0; y < 24 && stats.drawnTriangles == 0; ++y)
      for (int x = 0; x < 32; ++x)
        EXPECT_TRUE(samePixel(im, x, y, s.background));
  }
}

// Sizes beyond the limits are refused before allocating; a stop at any report and every failed
// allocation end without a picture, freeing everything.
TEST(Renderer, RefusedSizesStopsAndFailedAllocationsEndWithoutAPicture)
{
  const KEXTriangleMeshBuffer mesh = kexmeshtest::makeTorus(24, 12);
  const ShadingMaterial material = defaultMaterial();
  for (auto [w, h, antialias] : {std::tuple(0, 10, false), std::tuple(8193, 10, false), std::tuple(8192, 8192, true)}) {
    RenderSettings big = frontView(w, h);
    big.antialias = antialias;
    const long calls = kexTest::allocationCalls();
    Image im;
    EXPECT_EQ(render(mesh, material, big, im), RenderStatus::InvalidSize) << w << "x" << h;
    EXPECT_TRUE(kexTest::allocationCalls() == calls && im.width == 0);
  }
  RenderSettings s = frontView(40, 70); // 70 rows: 5 bands, 6 reports
  for (long n = 1; n <= 7; ++n) {
    kexTest::RecordingScope monitor;
    monitor.stopAfterReports(n);
    Image im;
    const RenderStatus status = render(mesh, material, s, im);
    EXPECT_TRUE(n <= 6 ? status == RenderStatus::Stopped && im.pixels.getCount() == 0 && monitor.rootStatus() == KEXTaskInfo::Stopped
                       : status == RenderStatus::Done && monitor.reportCount() == 6 && monitor.progressMonotone()) << n;
  }
  s.antialias = true;
  EXPECT_GE(kexmeshtest::sweepFaults([&](long n) {
    kexTest::RecordingScope monitor;
    Image im;
    kexTest::AllocationFault fault(n);
    const RenderStatus status = render(mesh, material, s, im);
    EXPECT_EQ(status, fault.fired() ? RenderStatus::OutOfMemory : RenderStatus::Done) << n;
    EXPECT_TRUE(!fault.fired() || (im.pixels.getCount() == 0 && monitor.rootCode() == KEX::OutOfMemory && monitor.hasDiagnostic("Out of memory")));
    return fault.fired();
  }), 6);
}

// Lines: drawn over the background and over the surface they lie on, hidden behind a nearer one.
TEST(Renderer, LinesAreDrawnWhereVisibleAndHiddenBehindNearerSurfaces)
{
  const RGB green(0.0f, 1.0f, 0.0f), grey(0.5f, 0.5f, 0.5f);
  // A square at z = 0, a line across it on it (z = 0) and one behind it (z = -1), and a line beside
  // the square over the background.
  std::vector<Vec3> v = {{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {0, 4, 0}, {1, 1, 0}, {3, 3, 0}, {1, 3, -1}, {3, 1, -1}, {4.15f, 0.5f, 0}, {4.15f, 3.5f, 0}};
  const KEXTriangleMeshBuffer mesh = makeBuffer(v, {Tri(0, 1, 2), Tri(0, 2, 3)});
  RenderSettings s = frontView(100, 100);
  for (int a : {4, 6, 8})
    s.lines.push_back(OverlayLine{a, a + 1, green});
  const ShadingMaterial material = flatMaterial(grey);
  Image im;
  ASSERT_EQ(render(mesh, material, s, im), RenderStatus::Done);
  const FrontFit fit({v.begin(), v.begin() + 4}, 100, 100); // the view fits the drawn triangles
  auto expectAt = [&](double x, double y, const RGB& c) { EXPECT_TRUE(samePixel(im, int(fit.px(x)), int(fit.py(y)), c)) << x << "," << y; };
  expectAt(2.0, 2.0, green), expectAt(4.15, 2.0, green); // on the square, beside it
  expectAt(2.5, 1.5, grey), expectAt(1.0, 2.0, grey);    // behind it, the square alone
}

TEST(Renderer, EdgeClassesMatchABruteForceCount)
{
  std::mt19937 rng(21);
  for (int round = 0; round < 30; ++round) {
    const int vertices = 10 + int(rng() % 40), triangles = 5 + int(rng() % 100);
    const KEXTriangleMeshBuffer mesh = kexmeshtest::makeRandomMesh(rng, {vertices, triangles, 0.05});
    std::map<std::pair<int, int>, int> count;
    for (const Tri& t : mesh.triangleList)
      if (t[0] != t[1] && t[1] != t[2] && t[0] != t[2] && mesh.isValidVertex(t[0]) && mesh.isValidVertex(t[1]) &&
          mesh.isValidVertex(t[2]))
        for (int k = 0; k < 3; ++k)
          ++count[{std::min(t[k], t[(k + 1) % 3]), std::max(t[k], t[(k + 1) % 3])}];
    EdgeClasses edges;
    ASSERT_TRUE(classifyEdges(mesh, edges));
    std::vector<KEXValuePair<int>> open, nonManifold;
    for (const auto& [e, n] : count)
      if (n == 1 || n >= 3)
        (n == 1 ? open : nonManifold).emplace_back(e.first, e.second);
    EXPECT_TRUE(edges.open == open && edges.nonManifold == nonManifold) << round;
  }
}
