// One failure sweep over every registered algorithm class, each created by its class name: every
// possible allocation failure and every possible stop or abort point, each on a fresh copy of a
// small input made to reach the algorithm's work. After each disturbed run: false (OutOfMemory,
// or the stop's ending), the buffer consistent, no derived list left behind that was absent
// before, and the buffer either unchanged or exactly the undisturbed result; algorithms that work
// in committed blocks instead keep a stated invariant. The sweeps also catch leaks and task misuse.
#include "kex/Class.h"
#include "kexmesh/core/TransformListAlgorithmBase.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "kexmesh/reconstruct/ConstructTriangulationAlgorithm.h"
#include "kexmesh/reconstruct/ReducePointCloudAlgorithm.h"
#include "kexmesh/repair/ClusterVerticesAlgorithm.h"
#include "kexmesh/simplify/ContractVertexPairsAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/PointClouds.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

using namespace kexmeshtest;

namespace {

using Invariant = std::function<void(const KEXTriangleMeshBuffer& now, const KEXTriangleMeshBuffer& input)>;

struct Row {
  const char* className;
  std::function<KEXTriangleMeshBuffer()> input;
  std::function<void(KEXTriangleMeshAlgorithmIF&)> configure = nullptr;
  /// Null: all or nothing. Otherwise what a run cut short in a later block still keeps.
  Invariant partial = nullptr;
  /// How a stop request (not an abort) ends: false with GenericError, true (an early end is a
  /// result), or aborted.
  enum StopEnd { StopFails, StopSucceeds, StopAborts } stopEnd = StopFails;
  int minFaults = 0;  ///< allocation sweeps must reach more than this many failure points
  long minReports = 1; ///< an undisturbed run reports progress more often than this
  /// The normal calculations end a late allocation failure with GenericError and leave the vertex
  /// adjacency list they built; only result, consistency and the lists they own are checked there.
  bool leavesAdjacency = false;
};

KEXTriangleMeshBuffer withNormals(KEXTriangleMeshBuffer b)
{
  EXPECT_TRUE(b.calculateVertexNormals() && b.calculateTriangleNormals());
  return b;
}
KEXTriangleMeshBuffer withVertexAdjacency(KEXTriangleMeshBuffer b)
{
  EXPECT_TRUE(b.createVertexAdjacencyList());
  return b;
}

// Grid with NaN vertices, invalid indices, loose triangles and unused vertices over several blocks.
KEXTriangleMeshBuffer damagedGrid()
{
  KEXTriangleMeshBuffer b = makeGrid(200, 100);
  for (int i = 0; i < b.getVertexCount(); i += 997)
    b.vertexList[i].x = NAN;
  for (int t = 0; t < b.getTriangleCount(); t += 1009)
    b.triangleList[t][1] = -1;
  for (int i = 0; i < 12; ++i) {
    const int V = b.getVertexCount();
    b.vertexList.append(Vec3(float(500 + i), 0, 0));
    b.vertexList.append(Vec3(float(500 + i), 1, 0));
    b.vertexList.append(Vec3(float(500 + i), 0, 1));
    b.vertexList.append(Vec3(float(600 + i), 0, 1));
    b.triangleList.append(KEXTriangle<int>(V, V + 1, V + 2));
    std::swap(b.triangleList[b.getTriangleCount() - 1], b.triangleList[i * 3000 + 1]);
  }
  return b;
}

KEXTriangleMeshBuffer saltedSphere()
{
  std::mt19937 rng(71);
  KEXTriangleMeshBuffer b = makeIcosphere(2);
  for (int i = 0; i < 4; ++i)
    saltSliver(b, int(rng() % 320u));
  for (int t : {10, 30, 50})
    saltCoincident(b, t);
  return b;
}

KEXTriangleMeshBuffer flippedSphere()
{
  std::mt19937 rng(29);
  KEXTriangleMeshBuffer b = makeIcosphere(2);
  flipRandomTriangles(b, 0.4, rng);
  return b;
}

// Holes in a sphere and a mix reaching the component pass of gap closing: a hemisphere, a sheet
// and a lone triangle.
KEXTriangleMeshBuffer holesAndSheets()
{
  KEXTriangleMeshBuffer b = withoutStars(makeIcosphere(2), {0, 7, 30});
  append(b, makeHemisphere(2, 8));
  append(b, makeGrid(3, 3));
  append(b, makeBuffer({{5, 5, 5}, {6, 5, 5}, {5, 6, 5}}, {{0, 1, 2}}));
  return b;
}

// A jittered soup of a sphere with normals: float-noise copies to weld.
KEXTriangleMeshBuffer noisySoup()
{
  std::mt19937 rng(10);
  return withNormals(jittered(toSoup(makeIcosphere(3)), rng, 1e-4f));
}

KEXTriangleMeshBuffer roof()
{
  std::mt19937 rng(53);
  return jitteredRoof(rng, 12, 8, 0.0f);
}

// A tagged plane cloud of three blocks: reduction passes commit one after the other.
KEXTriangleMeshBuffer planeCloud()
{
  std::mt19937 rng(61);
  KEXTriangleMeshBuffer b = makeJitteredPlaneCloud(rng, 110, 100, 0.01f, 0.2f);
  tagPoints(b);
  return b;
}

void reduceSettings(KEXTriangleMeshAlgorithmIF& a)
{
  auto& r = dynamic_cast<KEXReducePointCloudAlgorithm&>(a);
  EXPECT_TRUE(r.setMeanSamplingDistance(KEXVector3<float>(0.01f, 0.01f, 0.01f)) && r.setTolerance(0.01f) &&
              r.setMinNormalScalarProduct(0.99f));
}

// Each finished pass compacts the cloud: what is left is an ordered subsequence of the input, every
// point with its own attributes.
void keptInOrder(const KEXTriangleMeshBuffer& b, const KEXTriangleMeshBuffer& in)
{
  const std::vector<int> from = subsequenceIndices(b, in);
  ASSERT_EQ(int(from.size()), b.getVertexCount());
  ASSERT_TRUE(b.hasVertexScalarList() && b.hasVertexColorList());
  for (int i = 0; i < b.getVertexCount(); ++i) {
    EXPECT_EQ(b.vertexScalarList[i], in.vertexScalarList[from[size_t(i)]]);
    EXPECT_TRUE(b.vertexColorList[i] == in.vertexColorList[from[size_t(i)]]);
  }
}

// A sphere whose unit vertex normals scatter: many edges worth flipping.
KEXTriangleMeshBuffer scatteredNormalsSphere()
{
  std::mt19937 rng(5);
  std::normal_distribution<float> g(0.0f, 0.5f);
  KEXTriangleMeshBuffer b = withNormals(makeIcosphere(3));
  for (Vec3& n : b.vertexNormalList)
    n = (n.normalize(1.0f) + Vec3(g(rng), g(rng), g(rng))).normalize(1.0f);
  return b;
}

// A torus of 9000 vertices (two blocks of the smoothing passes), off its ideal shape.
KEXTriangleMeshBuffer jitteredTorus()
{
  std::mt19937 rng(17);
  return jittered(makeTorus(150, 60), rng, 0.02f);
}

void scale123(KEXTriangleMeshAlgorithmIF& a)
{
  EXPECT_TRUE(dynamic_cast<KEXTransformListAlgorithmBase&>(a).setTransformMatrix(
      KEXMatrix4<float>::createScaleMatrix(1, 2, 3)));
}

// The discarding algorithms commit block by block: lists only shrink, and whatever is left keeps
// its vertex positions (each kept vertex is one of the input's).
void shrinksOnly(const KEXTriangleMeshBuffer& b, const KEXTriangleMeshBuffer& in)
{
  EXPECT_LE(b.getVertexCount(), in.getVertexCount());
  EXPECT_LE(b.getTriangleCount(), in.getTriangleCount());
  EXPECT_GE(b.getVertexCount(), in.getVertexCount() - 12 - (in.getVertexCount() + 996) / 997);
}

// Colouring and normal work commit block by block but never touch the geometry.
void sameGeometryAsInput(const KEXTriangleMeshBuffer& b, const KEXTriangleMeshBuffer& in) { EXPECT_TRUE(sameGeometry(b, in)); }

const Row rows[] = {
    {"KEXCalculateTriangleNormalsAlgorithm", [] { return makeGrid(120, 120); }, nullptr, nullptr, Row::StopFails, 0, 1, true},
    {"KEXCalculateVertexNormalsAlgorithm", [] { return makeGrid(120, 120); }, nullptr, nullptr, Row::StopFails, 0, 1, true},
    {"KEXHarmonizeTriangleNormalsAlgorithm", [] { return withNormals(makeGrid(120, 120)); }},
    {"KEXHarmonizeVertexNormalsAlgorithm", [] { return withNormals(makeGrid(120, 120)); }},
    // Transforms work in committed blocks: each vertex is either as it was or transformed.
    {"KEXTransformVertexListAlgorithm", [] { return withNormals(makeGrid(100, 100)); }, scale123,
     [](const KEXTriangleMeshBuffer& b, const KEXTriangleMeshBuffer& in) {
       for (int v = 0; v < b.getVertexCount(); ++v) {
         const Vec3 p = in.vertexList[v], q = b.vertexList[v];
         EXPECT_TRUE(q == p || q == Vec3(p.x, 2 * p.y, 3 * p.z)) << v;
       }
     }},
    {"KEXTransformVertexNormalListAlgorithm", [] { return withNormals(makeGrid(100, 100)); }, scale123,
     sameGeometryAsInput},
    {"KEXTransformTriangleNormalListAlgorithm", [] { return withNormals(makeGrid(100, 100)); }, scale123,
     sameGeometryAsInput},
    {"KEXFlipOrientationAlgorithm", [] { return makeIcosphere(1); }},
    // With an adjacency list given, the flip commits block by block and keeps the list exact.
    {"KEXFlipOrientationAlgorithm", [] { return withVertexAdjacency(makeGrid(350, 200)); }, nullptr,
     [](const KEXTriangleMeshBuffer& b, const KEXTriangleMeshBuffer& in) {
       EXPECT_EQ(unorientedSet(b), unorientedSet(in));
       EXPECT_TRUE(vertexAdjacencyMatches(b));
     }},
    {"KEXCheckTriangleMeshAlgorithm", [] { return makeGrid(150, 150); }, nullptr, nullptr, Row::StopAborts, 0, 6},
    {"KEXDiscardInfiniteVerticesAlgorithm", damagedGrid, nullptr, shrinksOnly, Row::StopFails, 0, 2},
    {"KEXDiscardInvalidTrianglesAlgorithm", [] { return withVertexAdjacency(damagedGrid()); }, nullptr,
     shrinksOnly, Row::StopFails, 0, 2},
    {"KEXRemoveOrphanedTrianglesAlgorithm", damagedGrid, nullptr, shrinksOnly, Row::StopFails, 0, 2},
    {"KEXRemoveOrphanedVerticesAlgorithm", damagedGrid, nullptr, shrinksOnly, Row::StopFails, 0, 2},
    {"KEXDyeBadTrianglesAlgorithm", [] { return makeGrid(120, 80); }, nullptr, sameGeometryAsInput, Row::StopFails, 0, 3},
    {"KEXConsolidateOrientationAlgorithm", flippedSphere},
    {"KEXCloseGapsAlgorithm", holesAndSheets, nullptr, nullptr, Row::StopFails, 5, 2},
    {"KEXCloseGapsAlgorithm", [] { return withVertexAdjacency(holesAndSheets()); }, nullptr, nullptr,
     Row::StopFails, 5, 2},
    {"KEXClusterVerticesAlgorithm", noisySoup,
     [](KEXTriangleMeshAlgorithmIF& a) { EXPECT_TRUE(dynamic_cast<KEXClusterVerticesAlgorithm&>(a).setMaximumDistance(1e-3f)); },
     nullptr, Row::StopFails, 4, 1},
    // The weld of exact copies hashes instead of building a tree; a small sphere next to zero gives
    // it coordinates closer together than the distance, matched pair by pair.
    {"KEXClusterVerticesAlgorithm", [] {
       KEXTriangleMeshBuffer b = toSoup(makeIcosphere(3));
       KEXTriangleMeshBuffer tiny = toSoup(makeIcosphere(2));
       for (Vec3& p : tiny.vertexList)
         p *= 1e-36f;
       append(b, tiny);
       return b;
     },
     [](KEXTriangleMeshAlgorithmIF& a) {
       EXPECT_TRUE(dynamic_cast<KEXClusterVerticesAlgorithm&>(a).setMaximumDistance(1.1754943508222875e-37f));
     },
     nullptr, Row::StopFails, 4, 1},
    // Repair mode estimates its distance and marks closed fans first: a closed sphere beside the
    // soup of another. A stop while estimating ends the run stopped with nothing changed.
    {"KEXClusterVerticesAlgorithm", [] {
       KEXTriangleMeshBuffer b = makeIcosphere(1);
       append(b, toSoup(makeIcosphere(1, Vec3(3, 0, 0))));
       return b;
     },
     [](KEXTriangleMeshAlgorithmIF& a) { dynamic_cast<KEXClusterVerticesAlgorithm&>(a).setRepairMode(true); },
     nullptr, Row::StopSucceeds, 4, 0},
    // Bad-triangle repair and cap removal commit each repair as they go: the surface stays a valid
    // mesh over valid vertices, never gains a triangle, and keeps its edges consistent.
    {"KEXRepairBadTrianglesAlgorithm", saltedSphere, nullptr,
     [](const KEXTriangleMeshBuffer& b, const KEXTriangleMeshBuffer& in) {
       EXPECT_TRUE(b.getTriangleCount() <= in.getTriangleCount() && allIndicesValid(b));
     }},
    {"KEXRemoveCapTrianglesAlgorithm", roof, nullptr,
     [](const KEXTriangleMeshBuffer& b, const KEXTriangleMeshBuffer& in) {
       EXPECT_TRUE(manifoldEdgesConsistent(b));
       EXPECT_EQ(b.getTriangleCount(), in.getTriangleCount());
     },
     Row::StopSucceeds},
    {"KEXReducePointCloudAlgorithm", planeCloud, reduceSettings, keptInOrder, Row::StopFails, 6, 6},
    // Reconstruction: a failure empties the triangles and keeps the points; a stop keeps the rounds
    // that finished, a manifold patch over the same points.
    {"KEXConstructTriangulationAlgorithm", [] {
       std::mt19937 rng(12);
       return makeSphereCloud(rng, 150, 0.0);
     },
     nullptr,
     [](const KEXTriangleMeshBuffer& b, const KEXTriangleMeshBuffer& in) {
       EXPECT_EQ(b.getVertexCount(), in.getVertexCount());
       EXPECT_TRUE(manifoldEdgesConsistent(b) && allIndicesValid(b));
     },
     Row::StopSucceeds, 5, 5},
    // The contraction commits contraction by contraction: a run cut short keeps a valid mesh
    // between the input and the result.
    {"KEXContractVertexPairsAlgorithm", [] { return withNormals(makeTorus(40, 24)); },
     [](KEXTriangleMeshAlgorithmIF& a) {
       auto& c = dynamic_cast<KEXContractVertexPairsAlgorithm&>(a);
       c.setTriangleLimit(300); c.setMaximumError(10.0f);
     },
     [](const KEXTriangleMeshBuffer& b, const KEXTriangleMeshBuffer& in) {
       EXPECT_TRUE(b.getTriangleCount() <= in.getTriangleCount() && manifoldEdgesConsistent(b) && allIndicesValid(b));
     },
     Row::StopFails, 5, 2},
    {"KEXSmoothTriangulationAlgorithm", scatteredNormalsSphere, nullptr,
     [](const KEXTriangleMeshBuffer& b, const KEXTriangleMeshBuffer& in) {
       EXPECT_TRUE(manifoldEdgesConsistent(b));
       EXPECT_EQ(b.getTriangleCount(), in.getTriangleCount());
     }},
    // Smoothing computes every position into a copy exchanged in at the end: all or nothing.
    {"KEXCASmoothingAlgorithm", jitteredTorus},
    {"KEXILPSmoothingAlgorithm", jitteredTorus},
    {"KEXILPSmoothingAlgorithm", [] { return withVertexAdjacency(jitteredTorus()); }},
    // Subdivision writes behind the old elements and overwrites them only once nothing can fail:
    // all or nothing, also for the attribute lists it empties or carries.
    {"KEXLoopSubdivisionAlgorithm", [] { return withNormals(withoutStars(makeIcosphere(4), {0, 100, 900})); }, nullptr,
     nullptr, Row::StopFails, 5, 4},
    {"KEXLoopSubdivisionAlgorithm", [] { return withVertexAdjacency(makeTorus(40, 30)); }, nullptr, nullptr,
     Row::StopFails, 5, 4},
    {"KEXMBFSubdivisionAlgorithm", [] { return withNormals(withoutStars(makeIcosphere(4), {0, 100, 900})); }, nullptr,
     nullptr, Row::StopFails, 5, 4},
    {"KEXMBFSubdivisionAlgorithm", [] { return withVertexAdjacency(makeTorus(40, 30)); }, nullptr, nullptr,
     Row::StopFails, 5, 4},
};

class EveryAlgorithm : public ::testing::TestWithParam<int> {
protected:
  const Row& row() const { return rows[GetParam()]; }

  // Created by class name; the attachment cell is allocated here, outside the faults.
  KEXTriangleMeshAlgorithmIF* create()
  {
    const KEXMetaClass* meta = KEXMetaClass::find(row().className);
    EXPECT_TRUE(meta && meta->isOfType(KEXTriangleMeshAlgorithmIF::metaClass())) << row().className;
    if (!meta)
      return nullptr;
    auto* a = static_cast<KEXTriangleMeshAlgorithmIF*>(meta->create());
    if (a && row().configure)
      row().configure(*a);
    return a;
  }

  // Unchanged, or exactly done, or (blockwise algorithms) the row's invariant; and no derived list
  // the input lacked.
  void expectOutcome(const KEXTriangleMeshBuffer& b, const KEXTriangleMeshBuffer& input,
                     const KEXTriangleMeshBuffer& done)
  {
    if (row().leavesAdjacency) {
      EXPECT_TRUE(sameGeometry(b, input));
      return;
    }
    EXPECT_TRUE(input.hasVertexAdjacencyList() || !b.hasVertexAdjacencyList());
    EXPECT_TRUE(input.hasTriangleAdjacencyList() || !b.hasTriangleAdjacencyList());
    if (row().partial) {
      row().partial(b, input);
      return;
    }
    KEXTriangleMeshBuffer emptied(input); // an algorithm may empty the derived lists up front
    emptied.vertexAdjacencyList.clear();
    emptied.triangleAdjacencyList.clear();
    auto unchanged = sameBuffer(b, input), finished = sameBuffer(b, done);
    if (!unchanged)
      unchanged = sameBuffer(b, emptied);
    EXPECT_TRUE(unchanged || finished) << "neither unchanged (" << unchanged.message() << ") nor done ("
                                       << finished.message() << ")";
  }
};

TEST_P(EveryAlgorithm, AllocationFailuresAndStopsLeaveNothingHalfDone)
{
  SCOPED_TRACE(row().className);
  const KEXTriangleMeshBuffer input = row().input();
  KEXTriangleMeshAlgorithmIF* algorithm = create();
  ASSERT_NE(algorithm, nullptr);
  auto op = [&](KEXTriangleMeshBuffer& b) { return runAlgorithm(b, *algorithm); };
  KEXTriangleMeshBuffer done(input);
  ASSERT_TRUE(op(done));

  int call = 0;
  const int faults = sweepAllocationFaults(input, op, [&](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor& m) {
    ++call;
    SCOPED_TRACE(::testing::Message() << "fault " << call << " code " << (m.hasRootEnding() ? m.rootCode().getString() : "-"));
    if (result) { // a failure the algorithm could work around (e.g. fewer threads)
      EXPECT_TRUE(sameBuffer(b, done));
      return;
    }
    if (m.hasRootEnding()) {
      EXPECT_EQ(m.rootStatus(), KEXTaskInfo::Failed);
      // A failure inside a sub-task reaches the root as the sub-task's status (GenericError).
      EXPECT_TRUE(m.rootCode() == KEX::OutOfMemory || m.rootCode() == KEX::GenericError);
      EXPECT_TRUE(m.rootCode() != KEX::OutOfMemory || m.hasDiagnostic("Out of memory"));
    }
    expectOutcome(b, input, done);
  });
  EXPECT_GT(faults, row().minFaults);

  for (auto kind : {KEXTaskMonitor::Stop, KEXTaskMonitor::Abort}) {
    long stopAt = 0;
    const long reports = sweepStops(
        input, op,
        [&](KEXTriangleMeshBuffer& b, bool result, const kexTest::RecordingMonitor& m) {
          ++stopAt;
          if (result && !(m.rootStatus() == KEXTaskInfo::Stopped && row().stopEnd == Row::StopSucceeds)) {
            // Only when the refused report was the last one: a run that goes on after it ignored it.
            EXPECT_EQ(m.reportCount(), stopAt) << "kept going after a refused report";
            EXPECT_TRUE(sameBuffer(b, done));
            return;
          }
          if (result) {
            EXPECT_EQ(kind, KEXTaskMonitor::Stop); // an abort never counts as a result
          } else if (kind == KEXTaskMonitor::Stop && row().stopEnd == Row::StopAborts) {
            EXPECT_EQ(m.rootStatus(), KEXTaskInfo::Aborted);
          } else {
            expectStopped(result, m, kind);
            EXPECT_FALSE(m.hasDiagnostic("Out of memory")); // a stop is no shortage of memory
          }
          expectOutcome(b, input, done);
        },
        kind);
    EXPECT_GT(reports, row().minReports);
  }
  algorithm->getMetaClass().destruct(algorithm, true);
}

INSTANTIATE_TEST_SUITE_P(Table, EveryAlgorithm, ::testing::Range(0, int(std::size(rows))),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(rows[info.param].className + 3) + "_" + std::to_string(info.param);
                         });

} // namespace
