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
#include <functional>
#include <random>
#include <string>

using namespace kexmeshtest;

namespace {

constexpr double MERGE_DISTANCE = 1.1920929e-07;

// The filter as a host gets it: through its metaclass, by name.
KEXReconstructTriangleMesh* createByName()
{
  const KEXMetaClass* meta = KEXMetaClass::find("KEXReconstructTriangleMesh");
  EXPECT_NE(meta, nullptr);
  if (!meta)
    return nullptr;
  EXPECT_TRUE(meta->isOfType(KEXTriangleMeshFilter::metaClass()));
  return static_cast<KEXReconstructTriangleMesh*>(meta->create());
}

double distance(const KEXVector3<float>& a, const KEXVector3<float>& b)
{
  const double x = double(a.x) - b.x, y = double(a.y) - b.y, z = double(a.z) - b.z;
  return std::sqrt(x * x + y * y + z * z);
}

// Appends copies of every stride-th point: exact ones and ones moved by a tenth of the merge
// distance, with the point's normal. Returns how many were added.
int addDuplicates(KEXTriangleMeshBuffer& b, int stride)
{
  const int n = b.getVertexCount();
  int added = 0;
  for (int v = 0; v < n; v += stride, ++added) {
    KEXVector3<float> p = b.vertexList[v];
    if (added % 2)
      p.x = std::nextafter(p.x, 2.0f); // one float step: far below the merge distance at |x| <= 1
    EXPECT_TRUE(b.vertexList.append(p) && b.vertexNormalList.append(KEXVector3<float>(b.vertexNormalList[v])));
  }
  return added;
}

// Runs the filter's action on mesh; ok tells whether it succeeded.
struct FilterRun {
  bool ok = false;
  KEXTriangleMeshBuffer result;
};

FilterRun runFilter(KEXReconstructTriangleMesh& f, const KEXTriangleMeshBuffer& in, kexTest::RecordingMonitor* monitor)
{
  FilterRun r;
  KEXTriangleMeshData mesh;
  EXPECT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &in));
  EXPECT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  {
    KEXTaskMonitorScope scope(monitor);
    r.ok = f.getAction(KEX::Filter)->execute(nullptr);
  }
  r.result = bufferOf(mesh);
  f.setValue(KEX::Geometry, KEXObjectLink());
  return r;
}

bool endedWith(const kexTest::RecordingMonitor& monitor, KEXenum code)
{
  for (const auto& e : monitor.endings())
    if (e.code == code && e.status != KEXTaskInfo::Succeeded)
      return true;
  return false;
}

} // namespace

TEST(ReconstructTriangleMesh, IsARegisteredMeshFilterBoundToTheConstructionAlgorithm)
{
  KEXReconstructTriangleMesh* f = createByName();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::string(f->getObjectID(0).getString()), "KEXReconstructTriangleMesh");
  for (int level = 1; level < 4; ++level)
    EXPECT_EQ(f->getObjectID(level), f->KEXTriangleMeshFilter::getObjectID(level - 1)) << level;
  EXPECT_EQ(std::string(KEXReconstructTriangleMesh::metaClass().getParent()->getClassName()), "KEXTriangleMeshFilter");
  EXPECT_EQ(std::string(KEXReconstructTriangleMesh::metaClass().getModule()), "kexmesh");
  EXPECT_EQ(f->getProtectedFlags() & KEXReconstructTriangleMesh::CLEARED_PROTECTED_FLAGS, 0u);
  auto* action = dynamic_cast<KEXTriangleMeshAction*>(f->getAction(KEX::Filter));
  ASSERT_NE(action, nullptr);
  EXPECT_EQ(action->getAlgorithmClass(), &KEXConstructTriangulationAlgorithm::metaClass());
  {
    kexTest::ErrorCapture errors;
    kexTest::RecordingScope monitor;
    EXPECT_FALSE(action->execute(nullptr)); // no mesh linked
    EXPECT_FALSE(f->reconstruct());
  }
  f->release();
}

// On several random spheres with duplicated points: the object's lists after the filter are those
// of the algorithm run on the same buffer with its defaults, they hold triangles over valid
// vertices, and the duplicates are gone while every input point keeps a vertex at its place.
TEST(ReconstructTriangleMesh, FilterMatchesTheAlgorithmAndMergesDuplicates)
{
  std::mt19937 rng(41);
  struct Case {
    int points, stride;
    double noiseDegrees;
  };
  const Case cases[] = {{400, 7, 0.0}, {700, 3, 2.0}, {1000, 11, 5.0}, {600, 1, 0.0}};
  KEXReconstructTriangleMesh* f = createByName();
  ASSERT_NE(f, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.points << " points, every " << c.stride << "th duplicated");
    KEXTriangleMeshBuffer in = makeSphereCloud(rng, c.points, c.noiseDegrees);
    const int duplicates = addDuplicates(in, c.stride);
    KEXTriangleMeshBuffer expected(in);
    ASSERT_TRUE(runAlgorithm<KEXConstructTriangulationAlgorithm>(expected));

    kexTest::RecordingMonitor monitor;
    const FilterRun run = runFilter(*f, in, &monitor);
    ASSERT_TRUE(run.ok);
    EXPECT_TRUE(sameGeometry(run.result, expected));
    const std::vector<std::string> begun = monitor.begunMessages();
    EXPECT_NE(std::find(begun.begin(), begun.end(), "Constructing triangulation"), begun.end());

    const KEXTriangleMeshBuffer& out = run.result;
    EXPECT_GT(out.getTriangleCount(), 0);
    EXPECT_EQ(out.getVertexCount(), in.getVertexCount() - duplicates);
    const MeshQuality q = measure(out);
    EXPECT_EQ(q.duplicateTriangles, 0) << q.summary();
    for (int t = 0; t < out.getTriangleCount(); ++t) {
      const KEXTriangle<int>& tri = out.triangleList[t];
      for (int k = 0; k < 3; ++k)
        ASSERT_TRUE(tri[k] >= 0 && tri[k] < out.getVertexCount() && tri[k] != tri[(k + 1) % 3]) << t;
    }
    // Brute force over all pairs: no two vertices left closer than the merge distance, and every
    // input point (duplicates included) has a vertex within it.
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
  struct Row {
    const char* name;
    std::function<void(KEXTriangleMeshBuffer&)> spoil;
    const char* message;
  };
  const Row rows[] = {
      {"no normals", [](KEXTriangleMeshBuffer& b) { b.vertexNormalList.clear(); },
       "Triangle mesh reconstruction requires a vertex normal list"},
      {"fewer normals than points", [](KEXTriangleMeshBuffer& b) { b.vertexNormalList.setCount(b.getVertexCount() / 2); },
       "Triangle mesh reconstruction requires a vertex normal list"},
      {"one normal of no length", [](KEXTriangleMeshBuffer& b) { b.vertexNormalList[17] = KEXVector3<float>(0, 0, 0); },
       "Invalid vertex normal found"},
      {"one normal not a number", [](KEXTriangleMeshBuffer& b) { b.vertexNormalList[3].y = NAN; },
       "Invalid vertex normal found"},
  };
  std::mt19937 rng(9);
  KEXReconstructTriangleMesh* f = createByName();
  ASSERT_NE(f, nullptr);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    KEXTriangleMeshBuffer in = makeSphereCloud(rng, 300, 0.0);
    row.spoil(in);
    kexTest::RecordingMonitor monitor;
    const FilterRun run = runFilter(*f, in, &monitor);
    EXPECT_FALSE(run.ok);
    std::string said;
    for (const auto& d : monitor.diagnostics())
      said += "'" + d.text + "' ";
    EXPECT_TRUE(monitor.hasDiagnostic(row.message)) << said;
    EXPECT_TRUE(endedWith(monitor, KEX::InvalidValue)) << said;
    EXPECT_EQ(run.result.getTriangleCount(), 0);
    EXPECT_TRUE(sameGeometry(run.result, in));
  }
  f->release();
}

// A copy (constructed or assigned) has an action of its own, bound to the same algorithm, and
// reconstructs the same surface; the factory clones and assigns only reconstruct filters.
TEST(ReconstructTriangleMesh, CopiesHaveTheirOwnActionAndOtherClassesAreRefused)
{
  std::mt19937 rng(3);
  const KEXTriangleMeshBuffer in = makeSphereCloud(rng, 500, 1.0);
  KEXReconstructTriangleMesh original;
  const FilterRun reference = runFilter(original, in, nullptr); // the action now holds an algorithm
  ASSERT_TRUE(reference.ok);

  const KEXMetaClass& meta = KEXReconstructTriangleMesh::metaClass();
  kexTest::ErrorCapture errors;
  auto* cloned = static_cast<KEXReconstructTriangleMesh*>(meta.clone(&original));
  ASSERT_NE(cloned, nullptr);
  KEXReconstructTriangleMesh assigned;
  EXPECT_TRUE(meta.assign(&assigned, &original));
  EXPECT_EQ(errors.count(), 0u);
  for (KEXReconstructTriangleMesh* copy : {cloned, &assigned}) {
    auto* action = dynamic_cast<KEXTriangleMeshAction*>(copy->getAction(KEX::Filter));
    ASSERT_NE(action, nullptr);
    EXPECT_NE(action, original.getAction(KEX::Filter));
    EXPECT_EQ(action->getAlgorithmClass(), &KEXConstructTriangulationAlgorithm::metaClass());
    const FilterRun run = runFilter(*copy, in, nullptr);
    EXPECT_TRUE(run.ok);
    EXPECT_TRUE(sameGeometry(run.result, reference.result));
  }
  EXPECT_TRUE(meta.destruct(cloned, true));

  // Null stays null without a report; any other class is refused with InvalidOperation.
  EXPECT_EQ(meta.clone(nullptr), nullptr);
  EXPECT_EQ(errors.count(), 0u);
  KEXLoopSubdivision other;
  EXPECT_EQ(meta.clone(&other), nullptr);
  EXPECT_FALSE(meta.assign(&original, &other));
  EXPECT_FALSE(meta.assign(&other, &original));
  EXPECT_FALSE(meta.destruct(&other, false));
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
  const int faults = sweepConstructionFaults<KEXReconstructTriangleMesh>(
      [&](KEXReconstructTriangleMesh& f, const kexTest::ErrorCapture& errors) {
        EXPECT_TRUE(errors.has(KEX::OutOfMemory) || errors.has(KEX::GenericError));
        actionLost = actionLost || errors.has(KEX::OutOfMemory, &f);
        registrationLost = registrationLost || errors.has(KEX::GenericError, &f);
        if (!f.getAction(KEX::Filter)) {
          kexTest::RecordingScope monitor;
          EXPECT_FALSE(f.reconstruct());
        }
      });
  EXPECT_GT(faults, 0);
  EXPECT_TRUE(actionLost) << "no sweep step failed the action's own allocation";
  EXPECT_TRUE(registrationLost) << "no sweep step failed the action's registration";
}
