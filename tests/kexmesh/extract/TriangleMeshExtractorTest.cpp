// The iso-surface extractor: its case table and placement rule, and surfaces of analytic fields
// judged by an independent check (closed, manifold, outward, on the iso-surface), the same for any
// thread count and work range size, with masks, non-uniform spacing, caching and every failure.
#include "kex/Properties.h"
#include "kex/Testing.h"
#include "kexgeometry/CalculateAction.h"
#include "kexgeometry/Grid.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/extract/TriangleMeshExtractor.h"
#include "kexmesh/extract/internal/CellTables.h"
#include "kexmesh/objects/Vocabulary.h"
#include "support/Grids.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/ObjectsSweeps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace {
using namespace KEXMeshExtract;
using Vec3 = KEXVector3<float>;
using Field = std::function<double(double, double, double)>;
using Configure = std::function<void(KEXTriangleMeshExtractor&)>;
const KEXVector3<double> ORIGIN(0.0, 0.0, 0.0), UNIT(1.0, 1.0, 1.0);
const float NaN = std::numeric_limits<float>::quiet_NaN();

// --- the case table and the polygoniser ------------------------------------------------------------

std::vector<std::vector<int>> polygonsOf(int index)
{
  std::vector<std::vector<int>> polygons;
  const uint8_t* r = caseRecords()[index];
  for (const uint8_t* p = r + 1; p < r + 1 + r[0]; p += 1 + *p)
    polygons.emplace_back(p + 1, p + 1 + *p);
  return polygons;
}

/// Triangles the polygoniser makes for a case, with all values at the placement's defaults.
int trianglesOf(int index)
{
  Cell cell{};
  for (int c = 0; c < 8; ++c)
    cell.inside[c] = uint8_t((index >> c) & 1), cell.value[c] = cell.inside[c] ? 1.0f : 0.0f, cell.second[c] = 1.0f;
  cell.hi[0] = cell.hi[1] = cell.hi[2] = 1.0;
  int n = 0;
  polygonizeCell(cell, 0.5f, 0.0f, Placement::Linear, [&](const double*, const double*, const double*) { ++n; });
  return n;
}

TEST(ExtractorCaseTable, EveryCaseUsesEachCrossingEdgeOnceAndStripsMakeKMinusTwoTriangles)
{
  const uint8_t* const* records = caseRecords();
  EXPECT_TRUE(records[0] == CASE_TABLE && records[255] + 1 + records[255][0] == CASE_TABLE + CASE_TABLE_SIZE);
  for (int c = 0; c < 256; ++c) {
    std::vector<int> uses(12, 0);
    int expected = 0;
    for (const auto& poly : polygonsOf(c)) {
      EXPECT_TRUE(poly.size() >= 3u && poly.size() <= 7u) << "case " << c;
      expected += int(poly.size()) - 2;
      for (int e : poly)
        ++uses[e];
    }
    for (int e = 0; e < 12; ++e)
      EXPECT_EQ(uses[e], ((c >> EDGE_CORNERS[e][0]) & 1) != ((c >> EDGE_CORNERS[e][1]) & 1) ? 1 : 0) << "case " << c << " edge " << e;
    EXPECT_EQ(trianglesOf(c), expected) << "case " << c;
  }
  EXPECT_TRUE(polygonsOf(1) == (std::vector<std::vector<int>>{{0, 4, 1}}) && polygonsOf(105).size() == 4u);
  // Complementary cases need not agree: two triangles against one hexagon.
  EXPECT_EQ(polygonsOf(6).size(), 2u);
  EXPECT_EQ(polygonsOf(249), (std::vector<std::vector<int>>{{0, 1, 6, 5, 3, 2}}));
}

TEST(ExtractorCaseTable, PlacementFollowsTheIsoCrossingTheMaskCrossingOrTheFirstExit)
{
  const float iso = 0.5f, m = 0.0f;
  const float rows[][5] = {
      // s0, s1, m0, m1, expected
      {0.0f, 1.0f, 1.0f, 1.0f, 0.5f},      // both in the domain: the iso crossing
      {1.0f, 0.0f, 2.0f, 3.0f, 0.5f},      //
      {0.0f, 2.0f, 1.0f, 1.0f, 0.25f},     //
      {0.5f, 1.0f, 1.0f, 1.0f, EDGE_END},  // on a sample: just off it
      {1.0f, 2.0f, 1.0f, -1.0f, 0.5f},     // both samples inside: the mask crossing
      {1.0f, 2.0f, 3.0f, -1.0f, 0.75f},    //
      {0.0f, 1.0f, -1.0f, 1.0f, 0.5f},     // both cross at the middle
      {0.0f, 1.0f, -1.0f, 3.0f, 0.5f},     // both rise: the later crossing (iso 0.5, mask 0.25)
      {0.0f, 4.0f, -3.0f, 1.0f, 0.75f},    // both rise: the later crossing (iso 0.125, mask 0.75)
      {0.5f, 0.5f, 1.0f, 1.0f, 0.5f},      // no crossing computable: the middle
  };
  for (const auto& r : rows)
    EXPECT_FLOAT_EQ(edgePlacement(r[0], r[1], r[2], r[3], iso, m), r[4]) << r[0] << " " << r[1] << " " << r[2] << " " << r[3];
  // Whatever the numbers, the vertex stays on its edge.
  const float odd[] = {-1e30f, -1.0f, 0.0f, 0.5f, 1.0f, 1e30f, NaN};
  for (float a : odd)
    for (float b : odd)
      for (float c : odd) {
        const float t = edgePlacement(a, b, c, -c, iso, m);
        EXPECT_TRUE(t >= EDGE_END && t <= 1.0f - EDGE_END) << a << " " << b << " " << c;
      }
}

// --- surfaces of fields --------------------------------------------------------------------------------

struct Extraction {
  bool ok = false;
  KEXTriangleMeshBuffer mesh;
  int calculations = 0;
  bool empty = false; ///< all four result lists (triangles, vertices, normals, curvatures) empty
};

/// What an extractor holds after a calculation that returned ok.
Extraction resultOf(const KEXTriangleMeshExtractor& x, bool ok)
{
  Extraction e;
  e.ok = ok;
  const auto* action = dynamic_cast<const KEXCalculateAction*>(x.getAction(KEX::Calculate));
  e.calculations = action ? action->getCalculationCount() : -1;
  KEXObjectLink link;
  EXPECT_TRUE(x.getValue<KEXObjectLink>(KEX::Result, link) && link.get());
  KEXValueList<Vec3> normals;
  KEXValueList<float> curvatures;
  const KEXObject* r = link.get();
  EXPECT_TRUE(r && r->getArray(KEX::TriangleList, e.mesh.triangleList) && r->getArray(KEX::VertexList, e.mesh.vertexList) &&
              r->getArray(KEX::NormalList, normals) && r->getArray(KEX::CurvatureList, curvatures));
  e.empty = e.mesh.triangleList.getCount() + e.mesh.vertexList.getCount() + normals.getCount() + curvatures.getCount() == 0;
  return e;
}

/// An extractor on grid at iso, configured by setup, calculated once.
Extraction extract(KEXGrid& grid, float iso, const Configure& setup = {})
{
  KEXTriangleMeshExtractor x;
  EXPECT_TRUE(x.setValue<KEXObjectLink>(KEX::SampleGrid, KEXObjectLink(&grid)) && x.setValue<float>(KEX::IsoValue, iso));
  if (setup)
    setup(x);
  const bool ok = x.calculate();
  return resultOf(x, ok);
}

double sphere(double x, double y, double z) { return 6.0 - std::sqrt((x - 7.3) * (x - 7.3) + (y - 8.1) * (y - 8.1) + (z - 7.7) * (z - 7.7)); }
double torus(double x, double y, double z)
{
  const double q = std::sqrt((x - 8.2) * (x - 8.2) + (y - 7.9) * (y - 7.9)) - 5.0;
  return 2.2 - std::sqrt(q * q + (z - 8.1) * (z - 8.1));
}
double gyroid(double x, double y, double z)
{
  const double k = 2.0 * 3.141592653589793 / 8.0;
  return std::sin(k * x) * std::cos(k * y) + std::sin(k * y) * std::cos(k * z) + std::sin(k * z) * std::cos(k * x);
}

/// The independent verdict every extracted surface must pass: closed, manifold, consistently
/// oriented with all but `inward` components (cavities) enclosing positive volume, no duplicates,
/// `components` pieces (0: any), and each vertex within tolerance of the zero set of reference.
/// With caps (the sample counts of a unit grid at the origin), vertices on the faces of the box
/// half a spacing beyond the outer samples are exempt: there the surface is closed by caps.
void expectSound(const Extraction& e, const Field& reference, double tolerance, int components = 0,
                 const int* caps = nullptr, int inward = 0)
{
  ASSERT_TRUE(e.ok);
  ASSERT_GT(e.mesh.triangleList.getCount(), 0);
  const kexmeshtest::MeshQuality q = kexmeshtest::measure(e.mesh);
  EXPECT_TRUE(q.borderEdges + q.nonManifoldEdges + q.inconsistentEdges + q.duplicateTriangles == 0 && q.closedComponents == q.components &&
              q.usedVertices == q.vertices && (components == 0 || q.components == components) && q.inwardComponents == inward)
      << q.summary();
  double worst = 0.0;
  for (const Vec3& v : e.mesh.vertexList) {
    bool cap = false;
    for (int a = 0; a < 3 && caps; ++a)
      cap = cap || std::fabs(v[a] + 0.5) < 1e-4 || std::fabs(v[a] - (caps[a] - 0.5)) < 1e-4;
    if (!cap)
      worst = std::max(worst, std::fabs(reference(v.x, v.y, v.z)));
  }
  EXPECT_LE(worst, tolerance);
}

/// Makes grid an n[0] x n[1] x n[2] unit grid at the origin holding f.
bool unitGrid(KEXGrid& grid, const int (&n)[3], const Field& f) { return kexgeometrytest::makeFloatGrid(grid, n[0], n[1], n[2], ORIGIN, UNIT, f); }
/// Distance to the faces of the box half a spacing beyond the samples of an n-sample unit grid.
Field boxFaces(const int (&n)[3])
{
  return [=](double x, double y, double z) { return std::fabs(std::min({x + 0.5, n[0] - 0.5 - x, y + 0.5, n[1] - 0.5 - y, z + 0.5, n[2] - 0.5 - z})); };
}
Configure transfer(double scale, double offset)
{
  return [=](KEXTriangleMeshExtractor& x) { EXPECT_TRUE(x.setValue(KEX::SampleTransferSpec, KEXSampleTransferSpec{scale, offset})); };
}
Field sphereMinus(double by) { return [=](double x, double y, double z) { return sphere(x, y, z) - by; }; }

TEST(TriangleMeshExtractor, AnalyticFieldsGiveClosedOutwardSurfacesOnTheIsoSurface)
{
  struct Scene {
    const char* name;
    int n[3];
    Field field, reference; // the samples, and zero where the surface has to be
    float iso;
    Configure setup;
    double tolerance; // the interpolation error of the field on the grid
    int components;   // 0: any
    bool caps;        // vertices on the faces of the grid's box are caps, not the iso-surface
    int inward = 0;   // cavities
  };
  const Configure midpoint = [](KEXTriangleMeshExtractor& x) { EXPECT_TRUE(x.setValue<KEXenum>(KEX::InterpolationMode, KEX::Off)); };
  const KEXSampleMask slab(Vec3(-1.0f, -1.0f, 4.4f), Vec3(20.0f, 20.0f, 9.6f));
  const auto one = [](double, double, double) { return 1.0; };
  const Scene scenes[] = {
      {"sphere", {17, 16, 17}, sphere, sphere, 0.0f, {}, 0.03, 1, true},
      {"torus", {17, 16, 17}, torus, torus, 0.0f, {}, 0.06, 1, true},
      {"gyroid cut by all six faces", {17, 16, 17}, gyroid, gyroid, 0.0f, {}, 0.1, 0, true},
      // Midpoint placement: the same surfaces, their vertices half a cell from the crossing at most.
      {"sphere, midpoints", {17, 16, 17}, sphere, sphere, 0.0f, midpoint, 1.0, 1, true},
      {"torus, midpoints", {17, 16, 17}, torus, torus, 0.0f, midpoint, 1.0, 1, true},
      {"gyroid, midpoints", {17, 16, 17}, gyroid, gyroid, 0.0f, midpoint, 1.0, 0, true},
      // Every sample inside: one box half a spacing beyond the outer samples.
      {"all inside", {5, 4, 3}, one, boxFaces({5, 4, 3}), 0.5f, {}, 1e-6, 1, false},
      {"one sample", {1, 1, 1}, one, boxFaces({1, 1, 1}), 0.5f, {}, 1e-6, 1, false},
      // value = 2 * raw - 1: iso 1 on the values is iso 1 on the raw samples; value = raw + 0.5: 0.5.
      {"transfer 2, -1", {17, 16, 17}, sphere, sphereMinus(1.0), 1.0f, transfer(2.0, -1.0), 0.05, 1, false},
      {"transfer 1, 0.5", {17, 16, 17}, sphere, sphereMinus(0.5), 1.0f, transfer(1.0, 0.5), 0.05, 1, false},
      // A NaN sample is outside: a hole around the sphere's centre, closed like the sphere itself.
      {"NaN centre", {17, 16, 17}, [](double x, double y, double z) { return x == 8 && y == 8 && z == 8 ? NaN : sphere(x, y, z); },
       [](double x, double y, double z) { return std::hypot(x - 8, y - 8, z - 8) <= 1.0 ? 0.0 : sphere(x, y, z); },
       0.0f, {}, 0.03, 2, false, 1},
      // Inside the slab the sphere, on the slab's faces the caps: together one closed solid.
      {"slab mask", {17, 17, 17}, sphere,
       [](double x, double y, double z) {
         return z < 4.4 - 1e-4 || z > 9.6 + 1e-4 ? 1e9 : std::min({std::fabs(sphere(x, y, z)), std::fabs(z - 4.4), std::fabs(z - 9.6)});
       },
       0.0f, [&](KEXTriangleMeshExtractor& x) { EXPECT_TRUE(x.initArray<KEXSampleMask>(KEX::SampleMaskList, 1, &slab)); },
       0.05, 1, false},
  };
  for (const Scene& s : scenes) {
    SCOPED_TRACE(s.name);
    KEXGrid grid;
    ASSERT_TRUE(unitGrid(grid, s.n, s.field));
    expectSound(extract(grid, s.iso, s.setup), s.reference, s.tolerance, s.components, s.caps ? s.n : nullptr, s.inward);
  }
}

TEST(TriangleMeshExtractor, TheResultIsTheSameForAnyThreadCountAndWorkRangeSize)
{
  KEXGrid grid;
  ASSERT_TRUE(unitGrid(grid, {21, 19, 23}, gyroid));
  kexTest::setThreadCount(1);
  const Extraction reference = extract(grid, 0.1f);
  ASSERT_TRUE(reference.ok);
  for (int threads : {2, 7})
    for (int layers : {1, 3, 8, 100}) {
      kexTest::setThreadCount(threads);
      const Extraction e = extract(grid, 0.1f, [&](KEXTriangleMeshExtractor& x) { x.setWorkRangeLayers(layers); });
      EXPECT_TRUE(kexmeshtest::sameBuffer(reference.mesh, e.mesh)) << threads << " threads, " << layers << " layers";
    }
  kexTest::setThreadCount(0);
}

TEST(TriangleMeshExtractor, PositionTablesAndTransformsPlaceTheSameSurface)
{
  // Uniform spacing (2, 1, 0.5) given three ways: as uniform positions, as tables, and as a unit
  // grid scaled by the grid-to-object transform.
  const KEXVector3<double> spacing(2.0, 1.0, 0.5);
  auto scaled = [&](double x, double y, double z) { return sphere(x / spacing.x, y / spacing.y, z / spacing.z); };
  KEXGrid uniform, tables, unit, stretched;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(uniform, 16, 17, 16, ORIGIN, spacing, scaled));
  ASSERT_TRUE(unitGrid(tables, {16, 17, 16}, sphere) && unitGrid(unit, {16, 17, 16}, sphere) && unitGrid(stretched, {16, 17, 16}, sphere));
  KEXMatrix4<double> m(1.0);
  for (int a = 0; a < 3; ++a) {
    std::vector<double> p(size_t(tables.getSize()[a])), q(p.size());
    for (size_t i = 0; i < p.size(); ++i)
      p[i] = double(i) * spacing[a], q[i] = double(p.size() - 1) * std::pow(double(i) / double(p.size() - 1), 1.3 - 0.1 * a);
    ASSERT_TRUE(tables.setPositions(a, p.data()) && stretched.setPositions(a, q.data()));
    m(a, a) = spacing[a];
  }
  ASSERT_TRUE(kexgeometrytest::fillFloatGrid(tables, scaled) && kexgeometrytest::fillFloatGrid(stretched, sphere));
  unit.setGridToObjectTransform(m);
  const Extraction a = extract(uniform, 0.0f), b = extract(tables, 0.0f), c = extract(unit, 0.0f);
  expectSound(a, scaled, 0.05, 1);
  EXPECT_TRUE(kexmeshtest::sameBuffer(a.mesh, b.mesh));
  ASSERT_EQ(a.mesh.vertexList.getCount(), c.mesh.vertexList.getCount());
  for (int i = 0; i < a.mesh.vertexList.getCount(); ++i)
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(a.mesh.vertexList[i][k], c.mesh.vertexList[i][k], 1e-5);
  // A mirroring view transform keeps the surface outward; genuinely non-uniform positions still
  // give a sound surface.
  const KEXMatrix4<float> mirror = KEXMatrix4<float>::createScaleMatrix(-1.0f, 1.0f, 1.0f);
  expectSound(extract(unit, 0.0f, [&](KEXTriangleMeshExtractor& x) { EXPECT_TRUE(x.setValue(KEX::SampleGridToCurrentViewTransform, mirror)); }),
              [&](double x, double y, double z) { return scaled(-x, y, z); }, 0.05, 1);
  expectSound(extract(stretched, 0.0f), sphere, 0.1, 1);
}

// --- caching, bad input and failures ---------------------------------------------------------------

TEST(TriangleMeshExtractor, RecalculatesOnlyWhenAnInputOrThePublishedListsChanged)
{
  KEXGrid grid;
  ASSERT_TRUE(unitGrid(grid, {12, 12, 12}, [](double x, double y, double z) { return sphere(x + 1.3, y + 2.1, z + 1.7) - 2.0; }));
  KEXTriangleMeshExtractor x;
  ASSERT_TRUE(x.setValue<KEXObjectLink>(KEX::SampleGrid, KEXObjectLink(&grid)) && x.calculate() && x.calculate());
  EXPECT_GT(resultOf(x, true).mesh.triangleList.getCount(), 0);
  EXPECT_EQ(resultOf(x, true).calculations, 1) << "unchanged inputs";
  const KEXSampleMask box(Vec3(0, 0, 0), Vec3(8, 8, 8));
  const float curvature = 1.0f;
  KEXObjectLink result;
  ASSERT_TRUE(x.getValue<KEXObjectLink>(KEX::Result, result));
  const std::function<void()> changes[] = {
      [&] { x.setValue<float>(KEX::IsoValue, 0.25f); },
      [&] { x.setValue<KEXenum>(KEX::InterpolationMode, KEX::Off); },
      [&] { grid.samplesChanged(); },
      [&] { x.setValue<KEXSampleTransferSpec>(KEX::SampleTransferSpec, KEXSampleTransferSpec{1.0, 0.5}); },
      [&] { x.setValue<KEXMatrix4<float>>(KEX::SampleGridToCurrentViewTransform, KEXMatrix4<float>(2.0f)); },
      [&] { x.initArray<KEXSampleMask>(KEX::SampleMaskList, 1, &box); },
      [&] {
        result.get()->initArray<Vec3>(KEX::NormalList, 0, nullptr);
        result.get()->initArray<float>(KEX::CurvatureList, 1, &curvature);
      },
  };
  int expected = 1;
  for (const auto& change : changes) {
    change();
    ASSERT_TRUE(x.calculate());
    EXPECT_EQ(resultOf(x, true).calculations, ++expected);
    ASSERT_TRUE(x.calculate());
    EXPECT_EQ(resultOf(x, true).calculations, expected) << "a second run after a change";
  }
  // Refused values leave the properties as they were.
  EXPECT_FALSE(x.setValue<KEXenum>(KEX::InterpolationMode, KEX::Normal) || x.setValue<float>(KEX::IsoValue, NaN));
}

TEST(TriangleMeshExtractor, BadInputFailsOrWarnsAndFailuresEmptyTheResult)
{
  // No grid, an empty grid: InvalidValue, the lists empty.
  KEXGrid empty, grid;
  KEXTriangleMeshExtractor x;
  const auto* action = dynamic_cast<const KEXCalculateAction*>(x.getAction(KEX::Calculate));
  ASSERT_NE(action, nullptr);
  EXPECT_TRUE(!x.calculate() && action->getStatus() == KEX::InvalidValue);
  ASSERT_TRUE(x.setValue<KEXObjectLink>(KEX::SampleGrid, KEXObjectLink(&empty)));
  EXPECT_TRUE(!x.calculate() && action->getStatus() == KEX::InvalidValue && resultOf(x, false).empty);
  // An iso value beyond the data: success, an empty mesh and a warning; a mask outside the grid:
  // nothing to extract.
  ASSERT_TRUE(unitGrid(grid, {10, 10, 10}, [](double x, double, double) { return x; }));
  kexTest::RecordingScope monitor;
  const Extraction beyond = extract(grid, 100.0f);
  const auto& d = monitor.diagnostics();
  EXPECT_TRUE(beyond.ok && beyond.empty && std::any_of(d.begin(), d.end(), [](const auto& x) { return x.severity == KEX::Warning; }));
  const KEXSampleMask far(Vec3(100, 100, 100), Vec3(110, 110, 110));
  const Extraction masked = extract(grid, 4.5f, [&](KEXTriangleMeshExtractor& x) { EXPECT_TRUE(x.initArray<KEXSampleMask>(KEX::SampleMaskList, 1, &far)); });
  EXPECT_TRUE(masked.ok && masked.empty);
}

TEST(TriangleMeshExtractor, AllocationFailuresAndStopsInAnyPhaseLeaveNoResultAndNoLeak)
{
  KEXGrid grid;
  ASSERT_TRUE(unitGrid(grid, {9, 10, 11}, gyroid));
  kexTest::setThreadCount(2);
  const int triangles = extract(grid, 0.0f).mesh.triangleList.getCount();
  ASSERT_GT(triangles, 0);
  // A calculation that succeeded once, run again after a change of iso value with the fault-th
  // allocation failing or a stop at the stop-th report (0: none): the full surface or all four
  // lists empty. Returns whether it failed; fired says whether the fault was met.
  const auto rerun = [&](long fault, long stop, bool& fired) {
    KEXTriangleMeshExtractor x;
    EXPECT_TRUE(x.setValue<KEXObjectLink>(KEX::SampleGrid, KEXObjectLink(&grid)) && x.setValue<float>(KEX::IsoValue, 0.1f));
    EXPECT_TRUE(x.calculate() && x.setValue<float>(KEX::IsoValue, 0.0f));
    bool ok;
    {
      kexTest::RecordingScope monitor;
      monitor.stopAfterReports(stop);
      kexTest::AllocationFault f(fault);
      ok = x.calculate();
      fired = f.fired();
      EXPECT_TRUE(monitor.misuses().empty() && monitor.progressMonotone());
    }
    const Extraction e = resultOf(x, ok);
    EXPECT_TRUE(ok ? e.mesh.triangleList.getCount() == triangles : e.empty) << fault << " " << stop;
    return !ok;
  };
  bool fired = true;
  int failures = 0, stops = 0;
  kexmeshtest::sweepFaults([&](long n) { return failures += rerun(n, 0, fired), fired; });
  while (rerun(0, stops + 1, fired))
    ++stops;
  EXPECT_TRUE(failures > 10 && stops > 3) << failures << " failures, " << stops << " stops";
  kexTest::setThreadCount(0);
}
} // namespace

// Samples exactly at the iso value put surface vertices on (a hair beside) the samples, where
// neighbouring cells meet in slivers and specks: the extractor's repair step removes them, so the
// result holds no triangle degenerate by the repair's own measure (area at most that of a right
// isosceles triangle with legs of 1/64 of the sampling distance, or an angle ratio below 1/1024).
TEST(TriangleMeshExtractor, SamplesOnTheIsoValueLeaveNoDegenerateTriangle)
{
  KEXGrid grid;
  const int n[3] = {18, 18, 18};
  ASSERT_TRUE(unitGrid(grid, n, [](double x, double y, double z) { return std::round(2.0 * sphere(x, y, z)) / 2.0; }));
  const Extraction e = extract(grid, 1.0f);
  expectSound(e, sphereMinus(1.0), 0.75, 1);
  KEXVector3<float> msd;
  ASSERT_TRUE(e.mesh.calculateMeanSamplingDistance(msd));
  const double leg = std::min({msd.x, msd.y, msd.z}) / 64.0;
  int degenerate = 0;
  for (const KEXTriangle<int>& t : e.mesh.triangleList) {
    double area = 0.0;
    KEXVector3<double> a;
    const Vec3 &p = e.mesh.vertexList[t[0]], &q = e.mesh.vertexList[t[1]], &r = e.mesh.vertexList[t[2]];
    KEXTriangleCalculus3<float>::area(area, p, q, r), KEXTriangleCalculus3<float>::angles(a, p, q, r);
    degenerate += area <= 0.5 * leg * leg || std::min({a.x, a.y, a.z}) / std::max({a.x, a.y, a.z}) < 1.0 / 1024 ? 1 : 0;
  }
  EXPECT_EQ(degenerate, 0);
}
