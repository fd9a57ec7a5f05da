// The reconstruct filter: created by class name as a host does, its Filter action on a mesh object
// gives exactly what the construction algorithm gives on a buffer (triangles, duplicates merged),
// clouds without usable normals are refused with the algorithm's code and message and leave the
// object as it was, copies carry their own action, the factory refuses objects of other classes,
// and every failed allocation while constructing is reported.
#include "kexmesh/reconstruct/ReconstructTriangleMesh.h"

#include "kex/Testing.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/reconstruct/ConstructTriangulationAlgorithm.h"
#include "kexmesh/simplify/LoopSubdivision.h"
#include "support/AlgorithmSweeps.h"
#include "support/CoreSetup.h"
#include "support/FilterChecks.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/PointClouds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

using namespace kexmeshtest;

namespace {

constexpr double MERGE_DISTANCE = 1.1920929e-07;

// The filter as a host gets it: through its metaclass, by name.
KEXReconstructTriangleMesh* createByName()
{
  const KEXMetaClass* meta = KEXMetaClass::find("KEXReconstructTriangleMesh");
  EXPECT_TRUE(meta && meta->isOfType(KEXTriangleMeshFilter::metaClass()));
  return meta ? static_cast<KEXReconstructTriangleMesh*>(meta->create()) : nullptr;
}

double distance(const KEXVector3<float>& a, const KEXVector3<float>& b) { return (KEXVector3<double>(a) - KEXVector3<double>(b)).length(); }

struct FilterRun {
  bool ok = false;
  KEXTriangleMeshBuffer result;
};

// Runs the filter's action on a mesh object holding in.
FilterRun runFilter(KEXReconstructTriangleMesh& f, const KEXTriangleMeshBuffer& in, kexTest::RecordingMonitor* monitor)
{
  FilterRun r;
  KEXTriangleMeshData mesh;
  EXPECT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &in) && f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  {
    KEXTaskMonitorScope scope(monitor);
    r.ok = f.getAction(KEX::Filter)->execute(nullptr);
  }
  r.result = bufferOf(mesh);
  f.setValue(KEX::Geometry, KEXObjectLink());
  return r;
}

} // namespace

TEST(ReconstructTriangleMesh, IsARegisteredMeshFilterBoundToTheConstructionAlgorithm)
{
  KEXReconstructTriangleMesh* f = createByName();
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(f->getObjectID(0).getString(), "KEXReconstructTriangleMesh");
  for (int level = 1; level < 4; ++level)
    EXPECT_EQ(f->getObjectID(level), f->KEXTriangleMeshFilter::getObjectID(level - 1)) << level;
  EXPECT_STREQ(KEXReconstructTriangleMesh::metaClass().getParent()->getClassName(), "KEXTriangleMeshFilter");
  EXPECT_STREQ(KEXReconstructTriangleMesh::metaClass().getModule(), "kexmesh");
  EXPECT_EQ(f->getProtectedFlags() & KEXReconstructTriangleMesh::CLEARED_PROTECTED_FLAGS, 0u);
  auto* action = dynamic_cast<KEXTriangleMeshAction*>(f->getAction(KEX::Filter));
  ASSERT_NE(action, nullptr);
  EXPECT_EQ(action->getAlgorithmClass(), &KEXConstructTriangulationAlgorithm::metaClass());
  {
    kexTest::ErrorCapture errors;
    kexTest::RecordingScope monitor;
    EXPECT_FALSE(action->execute(nullptr) || f->reconstruct()); // no mesh linked
  }
  f->release();
}

// On random spheres with duplicated points (exact ones and ones a float step away, far below the
// merge distance): the object's lists after the filter are those of the algorithm run on the same
// buffer with its defaults, and the duplicates are gone while every input point keeps a vertex at
// its place (brute force over all pairs).
TEST(ReconstructTriangleMesh, FilterMatchesTheAlgorithmAndMergesDuplicates)
{
  std::mt19937 rng(41);
  struct Case {
    int points, stride;
    double noiseDegrees;
  };
  KEXReconstructTriangleMesh* f = createByName();
  ASSERT_NE(f, nullptr);
  for (const Case& c : {Case{400, 7, 0.0}, Case{700, 3, 2.0}, Case{1000, 11, 5.0}, Case{600, 1, 0.0}}) {
    SCOPED_TRACE(::testing::Message() << c.points << " points, every " << c.stride << "th duplicated");
    KEXTriangleMeshBuffer in = makeSphereCloud(rng, c.points, c.noiseDegrees);
    int duplicates = 0;
    for (int v = 0; v < c.points; v += c.stride, ++duplicates) {
      KEXVector3<float> p = in.vertexList[v];
      if (duplicates % 2)
        p.x = std::nextafter(p.x, 2.0f);
      ASSERT_TRUE(in.vertexList.append(p) && in.vertexNormalList.append(KEXVector3<float>(in.vertexNormalList[v])));
    }
    KEXTriangleMeshBuffer expected(in);
    ASSERT_TRUE(runAlgorithm<KEXConstructTriangulationAlgorithm>(expected));
    kexTest::RecordingMonitor monitor;
    const FilterRun run = runFilter(*f, in, &monitor);
    const KEXTriangleMeshBuffer& out = run.result;
    ASSERT_TRUE(run.ok && sameGeometry(out, expected));
    const std::vector<std::string> begun = monitor.begunMessages();
    EXPECT_NE(std::find(begun.begin(), begun.end(), "Constructing triangulation"), begun.end());
    EXPECT_TRUE(out.getTriangleCount() > 0 && out.getVertexCount() == in.getVertexCount() - duplicates);
    EXPECT_TRUE(allIndicesValid(out) && measure(out).duplicateTriangles == 0) << measure(out).summary();
    for (const KEXTriangle<int>& t : out.triangleList)
      ASSERT_TRUE(t[0] != t[1] && t[1] != t[2] && t[2] != t[0]);
    for (int a = 0; a < out.getVertexCount(); ++a)
      for (int b = a + 1; b < out.getVertexCount(); ++b)
        ASSERT_GE(distance(out.vertexList[a], out.vertexList[b]), MERGE_DISTANCE) << a << " " << b;
    for (int v = 0; v < in.getVertexCount(); ++v) {
      double nearest = INFINITY;
      for (int w = 0; w < out.getVertexCount(); ++w)
        nearest = std::min(nearest, distance(in.vertexList[v], out.vertexList[w]));
      ASSERT_LE(nearest, 2.0 * MERGE_DISTANCE) << v;
    }
  }
  f->release();
}

// Clouds whose normals are missing, short or without direction: the filter fails with the
// algorithm's code and message, and the object keeps its lists.
TEST(ReconstructTriangleMesh, CloudsWithoutUsableNormalsAreRefusedAndLeftAsTheyWere)
{
  std::mt19937 rng(9);
  KEXReconstructTriangleMesh* f = createByName();
  ASSERT_NE(f, nullptr);
  for (const SpoiledNormals& row : spoiledNormals) {
    SCOPED_TRACE(row.name);
    KEXTriangleMeshBuffer in = makeSphereCloud(rng, 300, 0.0);
    row.spoil(in);
    kexTest::RecordingMonitor monitor;
    const FilterRun run = runFilter(*f, in, &monitor);
    bool failedInvalid = false;
    for (const auto& e : monitor.endings())
      failedInvalid = failedInvalid || (e.code == KEX::InvalidValue && e.status != KEXTaskInfo::Succeeded);
    EXPECT_TRUE(!run.ok && failedInvalid && monitor.hasDiagnostic(row.message));
    EXPECT_TRUE(run.result.getTriangleCount() == 0 && sameGeometry(run.result, in));
  }
  f->release();
}

// A copy (constructed or assigned) has an action of its own, bound to the same algorithm, and
// reconstructs the same surface; the factory clones and assigns only reconstruct filters: null
// stays null without a report, any other class is refused with InvalidOperation.
TEST(ReconstructTriangleMesh, CopiesHaveTheirOwnActionAndOtherClassesAreRefused)
{
  std::mt19937 rng(3);
  const KEXTriangleMeshBuffer in = makeSphereCloud(rng, 500, 1.0);
  KEXReconstructTriangleMesh original, assigned;
  const FilterRun reference = runFilter(original, in, nullptr); // the action now holds an algorithm
  ASSERT_TRUE(reference.ok);
  const KEXMetaClass& meta = KEXReconstructTriangleMesh::metaClass();
  kexTest::ErrorCapture errors;
  auto* cloned = static_cast<KEXReconstructTriangleMesh*>(meta.clone(&original));
  ASSERT_NE(cloned, nullptr);
  EXPECT_TRUE(meta.assign(&assigned, &original));
  EXPECT_EQ(errors.count(), 0u);
  for (KEXReconstructTriangleMesh* copy : {cloned, &assigned}) {
    auto* action = dynamic_cast<KEXTriangleMeshAction*>(copy->getAction(KEX::Filter));
    ASSERT_NE(action, nullptr);
    EXPECT_NE(action, original.getAction(KEX::Filter));
    EXPECT_EQ(action->getAlgorithmClass(), &KEXConstructTriangulationAlgorithm::metaClass());
    const FilterRun run = runFilter(*copy, in, nullptr);
    EXPECT_TRUE(run.ok && sameGeometry(run.result, reference.result));
  }
  EXPECT_TRUE(meta.destruct(cloned, true) && meta.clone(nullptr) == nullptr && errors.count() == 0u);
  KEXLoopSubdivision other;
  EXPECT_EQ(meta.clone(&other), nullptr);
  EXPECT_FALSE(meta.assign(&original, &other) || meta.assign(&other, &original) || meta.destruct(&other, false));
  EXPECT_EQ(errors.count(), 4u);
  for (const auto& e : errors.entries())
    EXPECT_EQ(e.code, KEX::InvalidOperation);
}

// Every allocation of the constructor failing in turn: reported on the error channel with this
// filter (OutOfMemory for the action itself, GenericError when registering it fails), never a
// crash or leak, and a filter without its action refuses to run.
TEST(ReconstructTriangleMesh, EveryFailedAllocationWhileConstructingIsReported)
{
  NoLeakScope noLeak;
  bool actionLost = false, registrationLost = false;
  const int faults = sweepConstructionFaults<KEXReconstructTriangleMesh>([&](KEXReconstructTriangleMesh& f, const kexTest::ErrorCapture& errors) {
    EXPECT_TRUE(errors.has(KEX::OutOfMemory) || errors.has(KEX::GenericError));
    actionLost = actionLost || errors.has(KEX::OutOfMemory, &f);
    registrationLost = registrationLost || errors.has(KEX::GenericError, &f);
    kexTest::RecordingScope monitor;
    EXPECT_TRUE(f.getAction(KEX::Filter) || !f.reconstruct());
  });
  EXPECT_GT(faults, 0);
  EXPECT_TRUE(actionLost) << "no sweep step failed the action's own allocation";
  EXPECT_TRUE(registrationLost) << "no sweep step failed the action's registration";
}
