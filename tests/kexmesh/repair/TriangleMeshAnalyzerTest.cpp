// The mesh analyzer: the figures of random and damaged meshes (degenerate triangles, indices out of
// range and non-finite vertices among them) against a plain double-precision loop, independence of
// the thread count, when it measures again, unusable input, allocation failures and stops.
#include "kex/Testing.h"
#include "kexgeometry/CalculateAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/TriangleMeshAnalyzer.h"
#include "support/AlgorithmSweeps.h"
#include "support/AnalyzerSetup.h"
#include "support/CoreSetup.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <random>

using namespace kexmeshtest;

namespace {

using Matrix = KEXMatrix4<float>;

AnalyzerFigures analyse(const KEXTriangleMeshBuffer& b, const Matrix& m = Matrix(1.0f))
{
  AnalyzedMesh a(b);
  EXPECT_TRUE(a.ok() && a.setTransform(m) && a.calculate());
  return a.figures();
}

void expectMatchesReference(const AnalyzerFigures& f, const ReferenceFigures& r, int triangles)
{
  EXPECT_NEAR(f.surfaceArea, r.area, 1e-6 * std::max(1.0, r.area));
  EXPECT_EQ(f.dimensions, r.box.getSize());
  ASSERT_EQ(f.histogram.size(), 1800u);
  for (int i = 0; i < 1800; ++i) {
    EXPECT_EQ(long(f.histogram[size_t(i)].y), r.histogram[size_t(i)]) << "bin " << i;
    EXPECT_FLOAT_EQ(f.histogram[size_t(i)].x, float(i * 0.1 * std::numbers::pi / 180.0)) << "bin " << i;
  }
  EXPECT_EQ(f.angleCount(), 3.0 * (triangles - r.leftOut));
}

} // namespace

TEST(TriangleMeshAnalyzer, RandomAndDamagedMeshesMatchAPlainLoopForAnyThreadCount)
{
  // Indices out of range are never read (the address sanitizer would see it) and NaN or infinite
  // vertices do not turn the figures into NaN: their triangles are left out with a warning.
  std::mt19937 rng(20261207);
  std::uniform_real_distribution<float> u(-2.0f, 2.0f);
  for (int round = 0; round < 32; ++round) {
    SCOPED_TRACE(round);
    KEXTriangleMeshBuffer b;
    switch (round % 4) {
    case 0: b = makeRandomMesh(rng, {60, 300, 0.0, 0.05, 0.02}); break;
    case 1: b = toSoup(makeTorus(40 + round, 30)); break; // several work items
    case 2: b = makeGrid(130 + round, 120); break;        // corners across two pages
    default:
      b = makeRandomMesh(rng, {80, 400, round % 8 == 3 ? 0.05 : 0.0, 0.05, 0.02});
      for (int i = round % 5; i < b.getVertexCount(); i += 17)
        b.vertexList[i][i % 3] = (i % 2) ? NAN : INFINITY;
    }
    Matrix m(1.0f);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 4; ++c)
        m(r, c) = u(rng);
    const ReferenceFigures reference = referenceFigures(b, m);
    AnalyzerFigures first;
    for (int threads : {1, 2, 7}) {
      ThreadCount count(threads);
      kexTest::RecordingScope monitor;
      const AnalyzerFigures f = analyse(b, m);
      EXPECT_EQ(monitor.hasDiagnostic("Left out %i triangles with non-finite corners"), reference.leftOut > 0);
      expectMatchesReference(f, reference, b.getTriangleCount());
      if (threads == 1)
        first = f;
      // Bit for bit, whichever worker measured which item.
      EXPECT_TRUE(std::memcmp(&f.surfaceArea, &first.surfaceArea, sizeof(float)) == 0 && f.badTriangles == first.badTriangles &&
                  f.histogram == first.histogram) << threads;
    }
    EXPECT_EQ(reference.leftOut > 1, round % 4 == 3);
  }
  // The check's invalid triangles count as bad ones.
  KEXTriangleMeshBuffer b = makeGrid(4, 4);
  b.triangleList[3][1] = 99;
  b.triangleList[5][0] = -7;
  const AnalyzerFigures f = analyse(b);
  EXPECT_TRUE(f.badTriangles == 2 && f.angleCount() == 3.0 * (b.getTriangleCount() - 2));
}

TEST(TriangleMeshAnalyzer, MeasuresAgainOnlyWhenSomethingChanged)
{
  AnalyzedMesh a(makeIcosphere(2));
  ASSERT_TRUE(a.ok());
  KEXCalculateAction& action = a.action();
  ASSERT_TRUE(a.calculate() && a.calculate());
  EXPECT_TRUE(action.getStatus() == KEX::Unchanged && action.getCalculationCount() == 1);
  const float area = a.figures().surfaceArea;
  Vec3 v(0.0f, 0.0f, 5.0f);
  Tri t(2, 1, 0);
  KEXObjectLink result; // the result object, whose figures someone else may set
  ASSERT_TRUE(a.analyzer().getValue<KEXObjectLink>(KEX::Result, result));
  const std::pair<const char*, std::function<bool()>> changes[] = {
      {"transform", [&] { return a.setTransform(Matrix::createScaleMatrix(2, 2, 2)); }},
      {"vertex list", [&] { return a.mesh().setVertexList(0, 0, &v); }},
      {"triangle list", [&] { return a.mesh().setTriangles(0, 0, &t); }},
      {"a figure set from outside", [&] { return result.get()->setValue<int>(KEX::BadEdges, 7); }},
      {"forced", [&] { return action.forceRecalculation(), true; }},
  };
  int expected = 1;
  for (const auto& [what, apply] : changes) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(apply() && a.calculate());
    EXPECT_TRUE(action.getStatus() == KEX::NoError && action.getCalculationCount() == ++expected);
    EXPECT_EQ(a.figures().badEdges, 0);
    ASSERT_TRUE(a.calculate());
    EXPECT_EQ(action.getCalculationCount(), expected);
  }
  EXPECT_NE(a.figures().surfaceArea, area); // the moved vertex changed the surface
}

TEST(TriangleMeshAnalyzer, UnusableInputFailsWithInvalidValueAndTheUnknownFigures)
{
  const struct Case {
    const char* what;
    KEXTriangleMeshBuffer mesh;
    bool withAccess;
  } cases[] = {
      {"no triangle", makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {}), true},
      {"two vertices", makeBuffer({{0, 0, 0}, {1, 0, 0}}, {{0, 1, 1}}), true},
      {"no access object", makeTetrahedron(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AnalyzedMesh a(c.mesh, c.withAccess);
    ASSERT_TRUE(a.ok());
    kexTest::RecordingScope monitor;
    EXPECT_FALSE(a.calculate());
    EXPECT_TRUE(a.action().getStatus() == KEX::InvalidValue && isUnknown(a.figures()));
  }
  // A measured mesh that loses its triangles takes its figures back.
  AnalyzedMesh a(makeTetrahedron());
  ASSERT_TRUE(a.calculate() && !isUnknown(a.figures()));
  ASSERT_TRUE(a.mesh().initTriangles(0, nullptr, nullptr, nullptr));
  kexTest::RecordingScope monitor;
  EXPECT_FALSE(a.calculate());
  EXPECT_TRUE(isUnknown(a.figures()));
  EXPECT_TRUE(monitor.hasDiagnostic("The triangle mesh has fewer than 3 vertices or no triangle"));
}

TEST(TriangleMeshAnalyzer, AllocationFailuresAndStopsLeaveTheUnknownFigures)
{
  // Each run builds the mesh object, its access object and the analyzer, so the sweep reaches
  // every allocation of the whole path; a run that failed must publish nothing measured.
  const KEXTriangleMeshBuffer input = toSoup(makeTorus(60, 40)); // 4800 triangles: 3 work items
  bool calculated = false;
  AnalyzerFigures figures;
  auto op = [&](KEXTriangleMeshBuffer& b) {
    AnalyzedMesh a(b);
    if (!(calculated = a.ok()))
      return false;
    const bool result = a.calculate();
    figures = a.figures();
    return result;
  };
  KEXTriangleMeshBuffer warm(input);
  ASSERT_TRUE(op(warm)); // first-use tables of the framework are no leak of a faulted run
  const int faults = sweepAllocationFaults(input, op, [&](const KEXTriangleMeshBuffer&, bool result, const auto&) {
    EXPECT_TRUE(!calculated || result || isUnknown(figures));
  });
  EXPECT_GT(faults, 5);
  for (KEXTaskMonitor::Reply kind : {KEXTaskMonitor::Stop, KEXTaskMonitor::Abort}) {
    const long reports = sweepStops(
        input, op,
        [&](const KEXTriangleMeshBuffer&, bool result, const kexTest::RecordingMonitor& monitor) {
          expectStopped(result, monitor, kind);
          EXPECT_TRUE(isUnknown(figures));
        },
        kind);
    EXPECT_GT(reports, 3);
  }
  ASSERT_TRUE(op(warm));
  expectMatchesReference(figures, referenceFigures(input, Matrix(1.0f)), input.getTriangleCount());
}
