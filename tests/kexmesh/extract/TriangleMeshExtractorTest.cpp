// The iso-surface extractor: its case table and placement rule, and surfaces of analytic fields
// judged by an independent check (closed, manifold, outward, on the iso-surface), the same for any
// thread count and work range size, with masks, non-uniform spacing, caching and every failure.
#include "kex/Properties.h"
#include "kex/Testing.h"
#include "kexgeometry/CalculateAction.h"
#include "kexgeometry/Grid.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/extract/TriangleMeshExtractor.h"
#include "kexmesh/extract/internal/CellTables.h"
#include "kexmesh/objects/Vocabulary.h"
#include "support/Grids.h"
#include "support/MeshQuality.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace {
using namespace KEXMeshExtract;
using Vec3 = KEXVector3<float>;
using Field = std::function<double(double, double, double)>;
const KEXVector3<double> ORIGIN(0.0, 0.0, 0.0), UNIT(1.0, 1.0, 1.0);

// --- the case table and the polygoniser ------------------------------------------------------------

/// Triangles the polygoniser makes for a case, with all values at the placement's defaults.
std::vector<std::vector<int>> polygonsOf(int index)
{
  std::vector<std::vector<int>> polygons;
  const uint8_t* r = caseRecords()[index];
  for (const uint8_t* p = r + 1; p < r + 1 + r[0]; p += 1 + *p)
    polygons.emplace_back(p + 1, p + 1 + *p);
  return polygons;
}

int trianglesOf(int index)
{
  Cell cell{};
  for (int c = 0; c < 8; ++c) {
    cell.inside[c] = uint8_t((index >> c) & 1);
    cell.value[c] = cell.inside[c] ? 1.0f : 0.0f;
    cell.second[c] = 1.0f;
  }
  for (int a = 0; a < 3; ++a) {
    cell.lo[a] = 0.0;
    cell.hi[a] = 1.0;
  }
  int n = 0;
  polygonizeCell(cell, 0.5f, 0.0f, Placement::Linear, [&](const double*, const double*, const double*) { ++n; });
  return n;
}

TEST(ExtractorCaseTable, EveryCaseUsesEachCrossingEdgeOnceAndStripsMakeKMinusTwoTriangles)
{
  const uint8_t* const* records = caseRecords();
  EXPECT_EQ(records[0], CASE_TABLE);
  EXPECT_EQ(records[255] + 1 + records[255][0], CASE_TABLE + CASE_TABLE_SIZE);
  for (int c = 0; c < 256; ++c) {
    std::vector<int> uses(12, 0);
    int expected = 0;
    for (const auto& poly : polygonsOf(c)) {
      EXPECT_GE(poly.size(), 3u);
      EXPECT_LE(poly.size(), 7u);
      expected += int(poly.size()) - 2;
      for (int e : poly)
        ++uses[e];
    }
    for (int e = 0; e < 12; ++e) {
      const bool crossing = ((c >> EDGE_CORNERS[e][0]) & 1) != ((c >> EDGE_CORNERS[e][1]) & 1);
      EXPECT_EQ(uses[e], crossing ? 1 : 0) << "case " << c << " edge " << e;
    }
    EXPECT_EQ(trianglesOf(c), expected) << "case " << c;
  }
  EXPECT_EQ(trianglesOf(0), 0);
  EXPECT_EQ(trianglesOf(255), 0);
  EXPECT_EQ(polygonsOf(1), (std::vector<std::vector<int>>{{0, 4, 1}}));
  EXPECT_EQ(polygonsOf(105).size(), 4u);
  EXPECT_EQ(trianglesOf(105), 4);
  // Complementary cases need not agree: two triangles against one hexagon.
  EXPECT_EQ(polygonsOf(6).size(), 2u);
  EXPECT_EQ(polygonsOf(249), (std::vector<std::vector<int>>{{0, 1, 6, 5, 3, 2}}));
}

TEST(ExtractorCaseTable, PlacementFollowsTheIsoCrossingTheMaskCrossingOrTheFirstExit)
{
  struct Row {
    float s0, s1, m0, m1, expected;
  };
  const float iso = 0.5f, m = 0.0f;
  const Row rows[] = {
      {0.0f, 1.0f, 1.0f, 1.0f, 0.5f},    // both in the domain: the iso crossing
      {1.0f, 0.0f, 2.0f, 3.0f, 0.5f},
      {0.0f, 2.0f, 1.0f, 1.0f, 0.25f},
      {0.5f, 1.0f, 1.0f, 1.0f, EDGE_END},  // on a sample: just off it
      {1.0f, 2.0f, 1.0f, -1.0f, 0.5f},   // both samples inside: the mask crossing
      {1.0f, 2.0f, 3.0f, -1.0f, 0.75f},
      {0.0f, 1.0f, -1.0f, 1.0f, 0.5f},   // both cross at the middle
      {0.0f, 1.0f, -1.0f, 3.0f, 0.5f},   // both rise: the later crossing (iso 0.5, mask 0.25)
      {0.0f, 4.0f, -3.0f, 1.0f, 0.75f},  // both rise: the later crossing (iso 0.125, mask 0.75)
      {0.5f, 0.5f, 1.0f, 1.0f, 0.5f},    // no crossing computable: the middle
  };
  for (const Row& r : rows)
    EXPECT_FLOAT_EQ(edgePlacement(r.s0, r.s1, r.m0, r.m1, iso, m), r.expected)
        << r.s0 << " " << r.s1 << " " << r.m0 << " " << r.m1;
  // Whatever the numbers, the vertex stays on its edge.
  const float odd[] = {-1e30f, -1.0f, 0.0f, 0.5f, 1.0f, 1e30f, std::numeric_limits<float>::quiet_NaN()};
  for (float a : odd)
    for (float b : odd)
      for (float c : odd) {
        const float t = edgePlacement(a, b, c, -c, iso, m);
        EXPECT_TRUE(t >= EDGE_END && t <= 1.0f - EDGE_END) << a << " " << b << " " << c;
      }
}
} // namespace

// --- surfaces of fields --------------------------------------------------------------------------------

namespace {
struct Extraction {
  bool ok = false;
  KEXTriangleMeshBuffer mesh;
  int calculations = 0;
};

/// The extractor's result lists as a mesh.
void readResult(const KEXTriangleMeshExtractor& x, KEXTriangleMeshBuffer& mesh)
{
  KEXObjectLink link;
  ASSERT_TRUE(x.getValue<KEXObjectLink>(KEX::Result, link));
  ASSERT_NE(link.get(), nullptr);
  ASSERT_TRUE(link.get()->getArray(KEX::TriangleList, mesh.triangleList));
  ASSERT_TRUE(link.get()->getArray(KEX::VertexList, mesh.vertexList));
}

int listCount(const KEXTriangleMeshExtractor& x, KEXenum name)
{
  KEXObjectLink link;
  int first = 0, last = -1;
  if (!x.getValue<KEXObjectLink>(KEX::Result, link) || !link.get())
    return -1;
  if (name == KEX::CurvatureList)
    link.get()->getIndexRange<float>(name, first, last);
  else if (name == KEX::TriangleList)
    link.get()->getIndexRange<KEXTriangle<int>>(name, first, last);
  else
    link.get()->getIndexRange<Vec3>(name, first, last);
  return last - first + 1;
}

int calculationsOf(const KEXTriangleMeshExtractor& x)
{
  const auto* action = dynamic_cast<const KEXCalculateAction*>(x.getAction(KEX::Calculate));
  return action ? action->getCalculationCount() : -1;
}

/// An extractor on grid at iso, configured by setup, calculated once.
Extraction extract(KEXGrid& grid, float iso, const std::function<void(KEXTriangleMeshExtractor&)>& setup = {})
{
  Extraction e;
  KEXTriangleMeshExtractor x;
  EXPECT_TRUE(x.setValue<KEXObjectLink>(KEX::SampleGrid, KEXObjectLink(&grid)));
  EXPECT_TRUE(x.setValue<float>(KEX::IsoValue, iso));
  if (setup)
    setup(x);
  e.ok = x.calculate();
  readResult(x, e.mesh);
  e.calculations = calculationsOf(x);
  return e;
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
/// oriented with every component enclosing positive volume, no duplicates, and each vertex within
/// tolerance of the iso-surface of field, except on the border of the domain (within `border`
/// of which the surface is closed by caps).
void expectSound(const Extraction& e, const Field& field, double tolerance,
                 const KEXInterval<KEXVector3<double>>& border = {})
{
  ASSERT_TRUE(e.ok);
  ASSERT_GT(e.mesh.triangleList.getCount(), 0);
  const kexmeshtest::MeshQuality q = kexmeshtest::measure(e.mesh);
  EXPECT_EQ(q.borderEdges, 0) << q.summary();
  EXPECT_EQ(q.nonManifoldEdges, 0) << q.summary();
  EXPECT_EQ(q.inconsistentEdges, 0) << q.summary();
  EXPECT_EQ(q.duplicateTriangles, 0) << q.summary();
  EXPECT_EQ(q.closedComponents, q.components) << q.summary();
  EXPECT_EQ(q.inwardComponents, 0) << q.summary();
  EXPECT_EQ(q.usedVertices, q.vertices) << q.summary();
  double worst = 0.0;
  for (const Vec3& v : e.mesh.vertexList) {
    bool cap = false;
    for (int a = 0; a < 3 && !border.isEmpty(); ++a)
      cap = cap || std::fabs(v[a] - border.getMin()[a]) < 1e-4 || std::fabs(v[a] - border.getMax()[a]) < 1e-4;
    if (!cap)
      worst = std::max(worst, std::fabs(field(v.x, v.y, v.z)));
  }
  EXPECT_LE(worst, tolerance);
}

/// Bit-identical meshes (same vertices in the same order, same triangles).
void expectIdentical(const KEXTriangleMeshBuffer& a, const KEXTriangleMeshBuffer& b)
{
  ASSERT_EQ(a.vertexList.getCount(), b.vertexList.getCount());
  ASSERT_EQ(a.triangleList.getCount(), b.triangleList.getCount());
  for (int i = 0; i < a.vertexList.getCount(); ++i)
    ASSERT_TRUE(a.vertexList[i] == b.vertexList[i]) << i;
  for (int i = 0; i < a.triangleList.getCount(); ++i)
    ASSERT_TRUE(a.triangleList[i] == b.triangleList[i]) << i;
}

struct FieldCase {
  const char* name;
  double (*field)(double, double, double);
  double tolerance; // the linear interpolation error of the field on a unit grid
};
const FieldCase FIELDS[] = {{"sphere", sphere, 0.03}, {"torus", torus, 0.06}, {"gyroid", gyroid, 0.1}};

TEST(TriangleMeshExtractor, AnalyticFieldsGiveClosedOutwardSurfacesOnTheIsoSurface)
{
  for (const FieldCase& f : FIELDS) {
    SCOPED_TRACE(f.name);
    KEXGrid grid;
    ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 17, 16, 17, ORIGIN, UNIT, f.field));
    const KEXInterval<KEXVector3<double>> border(KEXVector3<double>(-0.5, -0.5, -0.5), KEXVector3<double>(16.5, 15.5, 16.5));
    expectSound(extract(grid, 0.0f), f.field, f.tolerance, border);
    // Midpoint placement: the same surface, its vertices half a cell from the crossing at most.
    Extraction mid = extract(grid, 0.0f, [](KEXTriangleMeshExtractor& x) {
      EXPECT_TRUE(x.setValue<KEXenum>(KEX::InterpolationMode, KEX::Off));
    });
    expectSound(mid, f.field, 1.0, border);
  }
}

TEST(TriangleMeshExtractor, SurfacesReachingTheBorderCloseBeyondTheOuterSamples)
{
  // Every sample inside: one box half a spacing outside the samples.
  KEXGrid grid;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 5, 4, 3, ORIGIN, UNIT, [](double, double, double) { return 1.0; }));
  Extraction e = extract(grid, 0.5f);
  expectSound(e, [](double x, double y, double z) {
    const double d = std::min({x + 0.5, 4.5 - x, y + 0.5, 3.5 - y, z + 0.5, 2.5 - z});
    return std::fabs(d);
  }, 1e-6);
  // A grid of one sample, and a gyroid cut by all six faces of its grid.
  KEXGrid one;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(one, 1, 1, 1, ORIGIN, UNIT, [](double, double, double) { return 1.0; }));
  Extraction single = extract(one, 0.5f);
  EXPECT_TRUE(single.ok);
  EXPECT_EQ(kexmeshtest::measure(single.mesh).closedComponents, 1);
  KEXGrid cut;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(cut, 13, 11, 12, ORIGIN, UNIT, gyroid));
  Extraction g = extract(cut, 0.0f);
  const kexmeshtest::MeshQuality q = kexmeshtest::measure(g.mesh);
  EXPECT_EQ(q.borderEdges + q.nonManifoldEdges + q.inconsistentEdges + q.inwardComponents, 0) << q.summary();
}

TEST(TriangleMeshExtractor, TheResultIsTheSameForAnyThreadCountAndWorkRangeSize)
{
  KEXGrid grid;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 21, 19, 23, ORIGIN, UNIT, gyroid));
  kexTest::setThreadCount(1);
  const Extraction reference = extract(grid, 0.1f);
  ASSERT_TRUE(reference.ok);
  for (int threads : {2, 7})
    for (int layers : {1, 3, 8, 100}) {
      SCOPED_TRACE(testing::Message() << threads << " threads, " << layers << " layers");
      kexTest::setThreadCount(threads);
      const Extraction e = extract(grid, 0.1f, [&](KEXTriangleMeshExtractor& x) { x.setWorkRangeLayers(layers); });
      expectIdentical(reference.mesh, e.mesh);
    }
  kexTest::setThreadCount(0);
}

TEST(TriangleMeshExtractor, PositionTablesAndTransformsPlaceTheSameSurface)
{
  // Uniform spacing (2, 1, 0.5) given three ways: as uniform positions, as tables, and as a unit
  // grid scaled by the grid-to-object transform.
  const KEXVector3<double> spacing(2.0, 1.0, 0.5);
  auto scaled = [&](double x, double y, double z) { return sphere(x / spacing.x, y / spacing.y, z / spacing.z); };
  KEXGrid uniform, tables, unit;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(uniform, 16, 17, 16, ORIGIN, spacing, scaled));
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(tables, 16, 17, 16, ORIGIN, spacing, scaled));
  for (int a = 0; a < 3; ++a) {
    std::vector<double> p(size_t(tables.getSize()[a]));
    for (size_t i = 0; i < p.size(); ++i)
      p[i] = double(i) * spacing[a];
    ASSERT_TRUE(tables.setPositions(a, p.data()));
  }
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(unit, 16, 17, 16, ORIGIN, UNIT, sphere));
  KEXMatrix4<double> m(1.0);
  for (int a = 0; a < 3; ++a)
    m(a, a) = spacing[a];
  unit.setGridToObjectTransform(m);
  const Extraction a = extract(uniform, 0.0f), b = extract(tables, 0.0f), c = extract(unit, 0.0f);
  expectSound(a, scaled, 0.05);
  expectIdentical(a.mesh, b.mesh);
  ASSERT_EQ(a.mesh.vertexList.getCount(), c.mesh.vertexList.getCount());
  for (int i = 0; i < a.mesh.vertexList.getCount(); ++i)
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(a.mesh.vertexList[i][k], c.mesh.vertexList[i][k], 1e-5);
  // A mirroring view transform keeps the surface outward.
  KEXMatrix4<float> mirror(1.0f);
  mirror(0, 0) = -1.0f;
  const Extraction d = extract(unit, 0.0f, [&](KEXTriangleMeshExtractor& x) {
    EXPECT_TRUE(x.setValue<KEXMatrix4<float>>(KEX::SampleGridToCurrentViewTransform, mirror));
  });
  expectSound(d, [&](double x, double y, double z) { return scaled(-x, y, z); }, 0.05);
  // Genuinely non-uniform positions still give a sound surface.
  KEXGrid stretched;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(stretched, 16, 17, 16, ORIGIN, UNIT, sphere));
  std::vector<double> p(16);
  for (int i = 0; i < 16; ++i)
    p[size_t(i)] = 15.0 * std::pow(i / 15.0, 1.3);
  ASSERT_TRUE(stretched.setPositions(0, p.data()));
  ASSERT_TRUE(kexgeometrytest::fillFloatGrid(stretched, sphere));
  expectSound(extract(stretched, 0.0f), sphere, 0.1);
}

TEST(TriangleMeshExtractor, MasksCutTheSurfaceAtTheirFacesAndKeepItClosed)
{
  KEXGrid grid;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 17, 17, 17, ORIGIN, UNIT, sphere));
  const KEXSampleMask box(Vec3(-1.0f, -1.0f, 4.4f), Vec3(20.0f, 20.0f, 9.6f));
  const Extraction e = extract(grid, 0.0f, [&](KEXTriangleMeshExtractor& x) {
    EXPECT_TRUE(x.initArray<KEXSampleMask>(KEX::SampleMaskList, 1, &box));
  });
  // Inside the slab the sphere, on the slab's faces the caps: both together one closed solid.
  expectSound(e, [&](double x, double y, double z) {
    return std::min({std::fabs(sphere(x, y, z)), std::fabs(z - 4.4), std::fabs(z - 9.6)});
  }, 0.05);
  for (const Vec3& v : e.mesh.vertexList)
    EXPECT_TRUE(v.z >= 4.4f - 1e-4f && v.z <= 9.6f + 1e-4f) << v.z;
  EXPECT_EQ(kexmeshtest::measure(e.mesh).components, 1);
}

TEST(TriangleMeshExtractor, NaNSamplesAreOutsideAndTheTransferRuleMovesTheIsoValue)
{
  KEXGrid grid;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 17, 16, 17, ORIGIN, UNIT, sphere));
  auto* samples = static_cast<float*>(grid.getWritableData());
  samples[8 + 17 * (8 + 16 * 8)] = std::numeric_limits<float>::quiet_NaN(); // the sphere's centre
  grid.samplesChanged();
  const Extraction e = extract(grid, 0.0f);
  ASSERT_TRUE(e.ok);
  const kexmeshtest::MeshQuality q = kexmeshtest::measure(e.mesh);
  EXPECT_EQ(q.components, 2) << "the sphere and the hole around its centre";
  EXPECT_EQ(q.closedComponents, 2) << q.summary();
  // value = 2 * raw - 1: iso 1 on the values is iso 1 on the raw samples.
  KEXGrid plain;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(plain, 17, 16, 17, ORIGIN, UNIT, sphere));
  const Extraction raw = extract(plain, 1.0f);
  const Extraction transferred = extract(plain, 1.0f, [](KEXTriangleMeshExtractor& x) {
    EXPECT_TRUE(x.setValue<KEXSampleTransferSpec>(KEX::SampleTransferSpec, KEXSampleTransferSpec{2.0, -1.0}));
  });
  expectSound(transferred, [](double x, double y, double z) { return sphere(x, y, z) - 1.0; }, 0.05);
  EXPECT_EQ(raw.mesh.vertexList.getCount(), transferred.mesh.vertexList.getCount());
  const Extraction lower = extract(plain, 1.0f, [](KEXTriangleMeshExtractor& x) {
    EXPECT_TRUE(x.setValue<KEXSampleTransferSpec>(KEX::SampleTransferSpec, KEXSampleTransferSpec{1.0, 0.5}));
  });
  expectSound(lower, [](double x, double y, double z) { return sphere(x, y, z) - 0.5; }, 0.05);
}

// --- caching, bad input and failures ---------------------------------------------------------------

TEST(TriangleMeshExtractor, RecalculatesOnlyWhenAnInputOrThePublishedListsChanged)
{
  KEXGrid grid;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 12, 12, 12, ORIGIN, UNIT, [](double x, double y, double z) {
    return 4.0 - std::sqrt((x - 6) * (x - 6) + (y - 6) * (y - 6) + (z - 6) * (z - 6));
  }));
  KEXTriangleMeshExtractor x;
  ASSERT_TRUE(x.setValue<KEXObjectLink>(KEX::SampleGrid, KEXObjectLink(&grid)));
  ASSERT_TRUE(x.calculate());
  const int first = listCount(x, KEX::TriangleList);
  EXPECT_GT(first, 0);
  ASSERT_TRUE(x.calculate());
  EXPECT_EQ(calculationsOf(x), 1) << "unchanged inputs";
  const std::function<void()> changes[] = {
      [&] { x.setValue<float>(KEX::IsoValue, 0.25f); },
      [&] { x.setValue<KEXenum>(KEX::InterpolationMode, KEX::Off); },
      [&] { grid.samplesChanged(); },
      [&] { x.setValue<KEXSampleTransferSpec>(KEX::SampleTransferSpec, KEXSampleTransferSpec{1.0, 0.5}); },
      [&] { x.setValue<KEXMatrix4<float>>(KEX::SampleGridToCurrentViewTransform, KEXMatrix4<float>(2.0f)); },
      [&] {
        const KEXSampleMask box(Vec3(0, 0, 0), Vec3(8, 8, 8));
        x.initArray<KEXSampleMask>(KEX::SampleMaskList, 1, &box);
      },
      [&] {
        KEXObjectLink link;
        x.getValue<KEXObjectLink>(KEX::Result, link);
        link.get()->initArray<Vec3>(KEX::NormalList, 0, nullptr);
        link.get()->initArray<float>(KEX::CurvatureList, 1, std::vector<float>{1.0f}.data());
      },
  };
  int expected = 1;
  for (const auto& change : changes) {
    change();
    ASSERT_TRUE(x.calculate());
    EXPECT_EQ(calculationsOf(x), ++expected);
    ASSERT_TRUE(x.calculate());
    EXPECT_EQ(calculationsOf(x), expected) << "a second run after a change";
  }
  // Refused values leave the properties as they were.
  EXPECT_FALSE(x.setValue<KEXenum>(KEX::InterpolationMode, KEX::Normal));
  EXPECT_FALSE(x.setValue<float>(KEX::IsoValue, std::numeric_limits<float>::quiet_NaN()));
}

TEST(TriangleMeshExtractor, BadInputFailsOrWarnsAndFailuresEmptyTheResult)
{
  KEXGrid grid;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 10, 10, 10, ORIGIN, UNIT, [](double x, double, double) { return x; }));
  {
    // No grid, an empty grid: InvalidValue, the lists empty.
    KEXGrid empty;
    KEXTriangleMeshExtractor x;
    EXPECT_FALSE(x.calculate());
    const auto* action = dynamic_cast<const KEXCalculateAction*>(x.getAction(KEX::Calculate));
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->getStatus(), KEX::InvalidValue);
    ASSERT_TRUE(x.setValue<KEXObjectLink>(KEX::SampleGrid, KEXObjectLink(&empty)));
    EXPECT_FALSE(x.calculate());
    EXPECT_EQ(action->getStatus(), KEX::InvalidValue);
    for (KEXenum list : {KEX::TriangleList, KEX::VertexList, KEX::NormalList, KEX::CurvatureList})
      EXPECT_EQ(listCount(x, list), 0);
  }
  {
    // An iso value beyond the data: success, an empty mesh and a warning.
    kexTest::RecordingScope monitor;
    const Extraction e = extract(grid, 100.0f);
    EXPECT_TRUE(e.ok);
    EXPECT_EQ(e.mesh.triangleList.getCount(), 0);
    bool warned = false;
    for (const auto& d : monitor.diagnostics())
      warned = warned || d.severity == KEX::Warning;
    EXPECT_TRUE(warned);
  }
  {
    // A mask outside the grid: nothing to extract.
    const KEXSampleMask far(Vec3(100, 100, 100), Vec3(110, 110, 110));
    const Extraction e = extract(grid, 4.5f, [&](KEXTriangleMeshExtractor& x) {
      EXPECT_TRUE(x.initArray<KEXSampleMask>(KEX::SampleMaskList, 1, &far));
    });
    EXPECT_TRUE(e.ok);
    EXPECT_EQ(e.mesh.triangleList.getCount(), 0);
  }
}

/// Runs a calculation that succeeded once, after a change of iso value, under hook; it must either
/// succeed with the full surface or fail with all four lists empty.
template <class Hook>
void expectAllOrNothing(KEXGrid& grid, int triangles, Hook&& hook, bool& failed)
{
  KEXTriangleMeshExtractor x;
  ASSERT_TRUE(x.setValue<KEXObjectLink>(KEX::SampleGrid, KEXObjectLink(&grid)));
  ASSERT_TRUE(x.setValue<float>(KEX::IsoValue, 0.1f));
  ASSERT_TRUE(x.calculate());
  ASSERT_TRUE(x.setValue<float>(KEX::IsoValue, 0.0f));
  failed = !hook(x);
  if (failed)
    for (KEXenum list : {KEX::TriangleList, KEX::VertexList, KEX::NormalList, KEX::CurvatureList})
      EXPECT_EQ(listCount(x, list), 0);
  else
    EXPECT_EQ(listCount(x, KEX::TriangleList), triangles);
}

TEST(TriangleMeshExtractor, AllocationFailuresAndStopsInAnyPhaseLeaveNoResultAndNoLeak)
{
  KEXGrid grid;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 9, 10, 11, ORIGIN, UNIT, gyroid));
  kexTest::setThreadCount(2);
  const int triangles = extract(grid, 0.0f).mesh.triangleList.getCount();
  ASSERT_GT(triangles, 0);
  int faults = 0;
  for (long n = 1;; ++n) {
    const long baseline = kexTest::liveAllocations();
    bool failed = false, fired = false;
    expectAllOrNothing(grid, triangles, [&](KEXTriangleMeshExtractor& x) {
      kexTest::AllocationFault fault(n);
      const bool ok = x.calculate();
      fired = fault.fired();
      return ok;
    }, failed);
    EXPECT_EQ(kexTest::liveAllocations(), baseline) << "leak after fault " << n;
    if (!fired)
      break;
    faults += failed;
  }
  EXPECT_GT(faults, 10);
  long stops = 0;
  for (long n = 1;; ++n) {
    bool failed = false;
    expectAllOrNothing(grid, triangles, [&](KEXTriangleMeshExtractor& x) {
      kexTest::RecordingScope monitor;
      monitor.stopAfterReports(n);
      const bool ok = x.calculate();
      EXPECT_TRUE(monitor.misuses().empty());
      EXPECT_TRUE(monitor.progressMonotone());
      return ok;
    }, failed);
    if (!failed)
      break;
    ++stops;
  }
  EXPECT_GT(stops, 3);
  kexTest::setThreadCount(0);
}
} // namespace
