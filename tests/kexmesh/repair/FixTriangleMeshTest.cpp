// The repair filter: properties (ranges, defaults, resets), the default sequence and custom lists,
// failures that must leave the mesh untouched, forwarding of the distance and limits, allocation
// failures while constructing, and whole repairs of damaged generated and real meshes.
#include "kexmesh/repair/FixTriangleMesh.h"
#include "kex/Error.h"
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/ClusterVerticesAlgorithm.h"
#include "kexmesh/repair/RemoveCapTrianglesAlgorithm.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"
#include "support/OffReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace kexmeshtest;
using Pair = KEXValuePair<float>;

namespace {

void toObject(const KEXTriangleMeshBuffer& b, KEXTriangleMeshData& mesh)
{
  ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &b));
}

KEXTriangleMeshBuffer fromObject(const KEXTriangleMeshData& mesh)
{
  KEXTriangleMeshBuffer b;
  EXPECT_TRUE(KEXTriangleMeshAction::bufferFromObject(&b, &mesh));
  return b;
}

std::vector<KEXenum> sequence(const KEXFixTriangleMesh& f)
{
  std::vector<KEXenum> names;
  for (int i = 0; i < f.getSequenceCount(); ++i)
    names.push_back(f.getSequenceID(i));
  return names;
}

std::vector<std::string> names(const std::vector<KEXenum>& list)
{
  std::vector<std::string> s;
  for (KEXenum e : list)
    s.emplace_back(e.getString() ? e.getString() : "<invalid>");
  return s;
}

int countBegun(const kexTest::RecordingMonitor& m, const std::string& message)
{
  auto b = m.begunMessages();
  return int(std::count(b.begin(), b.end(), message));
}

// --- damaged meshes ---------------------------------------------------------------------------
struct Damaged {
  KEXTriangleMeshBuffer original; // the clean surface
  KEXTriangleMeshBuffer soup;     // what the filter gets
};

/// The mesh as a shuffled soup with about 1% flipped triangles, a few NaN vertices and `holes`
/// triangles cut out (each a simple hole: cut triangles share no vertex).
Damaged damage(const KEXTriangleMeshBuffer& mesh, int holes, int nanVertices, std::mt19937& rng)
{
  Damaged d;
  d.original = mesh;
  KEXTriangleMeshBuffer cut = mesh;
  std::vector<char> used(size_t(mesh.getVertexCount()), 0);
  std::uniform_int_distribution<int> pick(0, mesh.getTriangleCount() - 1);
  int removed = 0;
  for (int tries = 0; removed < holes && tries < 100 * holes; ++tries) {
    int t = pick(rng);
    if (t >= cut.getTriangleCount())
      continue;
    KEXTriangle<int> tri = cut.triangleList[t];
    if (used[size_t(tri[0])] || used[size_t(tri[1])] || used[size_t(tri[2])])
      continue;
    // Keep cut triangles apart (no shared vertex, no shared neighbour vertex through the ring is
    // not needed: the hole loops stay simple as long as the cut triangles share no vertex).
    for (int k = 0; k < 3; ++k)
      used[size_t(tri[k])] = 1;
    cut.triangleList[t] = cut.triangleList[cut.getTriangleCount() - 1];
    cut.triangleList.setCount(cut.getTriangleCount() - 1);
    ++removed;
  }
  d.soup = toSoup(cut);
  shuffleTriangles(d.soup, rng);
  flipRandomTriangles(d.soup, 0.01, rng);
  std::uniform_int_distribution<int> vpick(0, d.soup.getVertexCount() - 1);
  for (int i = 0; i < nanVertices; ++i)
    d.soup.vertexList[vpick(rng)].x = std::numeric_limits<float>::quiet_NaN();
  return d;
}

/// Largest distance from any point of a to its nearest point of b (brute force over a grid hash).
double directedDistance(const std::vector<KEXVector3<float>>& a, const std::vector<KEXVector3<float>>& b)
{
  double worst = 0.0;
  for (const auto& p : a) {
    double best = std::numeric_limits<double>::infinity();
    for (const auto& q : b) {
      double dx = double(p.x) - q.x, dy = double(p.y) - q.y, dz = double(p.z) - q.z;
      best = std::min(best, dx * dx + dy * dy + dz * dz);
    }
    worst = std::max(worst, std::sqrt(best));
  }
  return worst;
}

std::vector<KEXVector3<float>> usedVertices(const KEXTriangleMeshBuffer& b)
{
  std::vector<char> used(size_t(b.getVertexCount()), 0);
  for (const auto& t : b.triangleList)
    for (int k = 0; k < 3; ++k)
      used[size_t(t[k])] = 1;
  std::vector<KEXVector3<float>> out;
  for (int v = 0; v < b.getVertexCount(); ++v)
    if (used[size_t(v)])
      out.push_back(b.vertexList[v]);
  return out;
}

/// Runs Filter on the damaged soup and checks the result against the original surface.
void repairAndCheck(const Damaged& d, const char* what)
{
  SCOPED_TRACE(what);
  KEXTriangleMeshData mesh;
  toObject(d.soup, mesh);
  KEXFixTriangleMesh filter;
  ASSERT_TRUE(filter.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  ASSERT_TRUE(filter.executeSequence(nullptr)) << "the final check fails the sequence when bad elements remain";
  KEXTriangleMeshBuffer out = fromObject(mesh);
  filter.setValue(KEX::Geometry, KEXObjectLink());

  ASSERT_GT(out.getTriangleCount(), 0);
  EXPECT_TRUE(closedAndConsistent(out));
  EXPECT_EQ(measure(out).inwardComponents, 0) << "every component is oriented outward";
  for (const auto& p : out.vertexList) {
    ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
  }
  // Soup copies coincide exactly, so welding moves nothing: every vertex of the result is a vertex
  // of the original surface (up to the weld distance, guessed as 2^-14 of the sampling distance)
  // and every original vertex that kept a triangle is still there.
  double extent = 0.0;
  for (const auto& p : d.original.vertexList)
    extent = std::max({extent, std::fabs(double(p.x)), std::fabs(double(p.y)), std::fabs(double(p.z))});
  const double tolerance = 1e-4 * extent;
  std::vector<KEXVector3<float>> outVertices = usedVertices(out), original = usedVertices(d.original);
  EXPECT_LE(directedDistance(outVertices, original), tolerance);
  // Only vertices of NaN triangles and of repaired degenerate triangles may vanish.
  EXPECT_LE(out.getVertexCount(), int(original.size()));
  EXPECT_GE(out.getVertexCount(), int(original.size()) * 49 / 50 - 16);
  if (original.size() <= 6000) {
    int missing = 0;
    for (const auto& p : original)
      missing += directedDistance({p}, outVertices) > tolerance;
    EXPECT_LE(missing, int(original.size()) / 50 + 16) << "no part of the surface went missing";
  }
}

std::string dataFile(const char* name)
{
  return (std::filesystem::path(KEXMESH_DATA_DIR) / "meshes" / name).string();
}

} // namespace

// --- properties and sequence ----------------------------------------------------------------------
TEST(FixTriangleMesh, NewFilterHoldsTheDefaultSequenceAndTables)
{
  KEXFixTriangleMesh f;
  EXPECT_EQ(f.getSequenceCount(), 11);
  EXPECT_EQ(f.getSequenceID(2), KEX::ClusterVertices);
  EXPECT_EQ(f.getSequenceID(11), KEX::Unknown);
  EXPECT_EQ(f.getSequenceID(-1), KEX::Unknown);
  EXPECT_EQ(names(sequence(f)),
            names({KEX::DiscardInfiniteVertices, KEX::DiscardInvalidTriangles, KEX::ClusterVertices,
                   KEX::RemoveOrphanedVertices, KEX::RemoveDegenerateTriangles, KEX::ConsolidateOrientation,
                   KEX::CloseGaps, KEX::RemoveDegenerateTriangles, KEX::RemoveCapTriangles,
                   KEX::RemoveDegenerateTriangles, KEX::Check}));
  EXPECT_EQ(KEXFixTriangleMesh::getDefaultSequence(), KEXFixTriangleMesh::getDefaultSequence()) << "one table";

  std::vector<std::string> props;
  for (int i = 0; i < f.getPropertyCount(); ++i)
    props.emplace_back(f.getPropertyName(i).getString());
  std::vector<std::string> own(props.end() - 6, props.end());
  EXPECT_EQ(own, (std::vector<std::string>{"ActionList", "MaximumDistance", "AngleLimits", "CapAngleLimits",
                                            "NeedleAngleLimits", "ComponentProxy"}));
  std::vector<std::string> actions;
  for (int i = 0; i < f.getActionCount(); ++i)
    actions.emplace_back(f.getActionName(i).getString());
  EXPECT_EQ(actions, (std::vector<std::string>{
                         "CalculateTriangleNormals", "CalculateVertexNormals", "Check", "CloseGaps", "ClusterVertices",
                         "ConsolidateOrientation", "DiscardInfiniteVertices", "DiscardInvalidTriangles",
                         "DyeBadTriangles", "Filter", "FlipOrientation", "HarmonizeTriangleNormals",
                         "HarmonizeVertexNormals", "RemoveCapTriangles", "RemoveDegenerateTriangles",
                         "RemoveOrphanedTriangles", "RemoveOrphanedVertices"}));
  EXPECT_STREQ(f.getObjectID(0).getString(), "KEXFixTriangleMesh");
  EXPECT_STREQ(f.getObjectID(1).getString(), "KEXTriangleMeshFilter");
  EXPECT_STREQ(f.getMetaClass().getClassName(), "KEXFixTriangleMesh");
}

TEST(FixTriangleMesh, LimitsAreCheckedAndResetToTheirDefaults)
{
  KEXFixTriangleMesh f;
  Pair p;
  ASSERT_TRUE(f.getValue(KEX::CapAngleLimits, p));
  EXPECT_EQ(p, Pair(135, 180));
  EXPECT_FALSE(f.setValue(KEX::CapAngleLimits, Pair(80, 180)));
  ASSERT_TRUE(f.getValue(KEX::CapAngleLimits, p));
  EXPECT_EQ(p, Pair(135, 180)) << "a refused value keeps the old one";
  EXPECT_TRUE(f.setValue(KEX::CapAngleLimits, Pair(90, 170)));
  EXPECT_FALSE(f.setValue(KEX::CapAngleLimits, Pair(170, 160)));
  EXPECT_FALSE(f.setValue(KEX::CapAngleLimits, Pair(90, 180.5f)));
  ASSERT_TRUE(f.getValue(KEX::CapAngleLimits, p));
  EXPECT_EQ(p, Pair(90, 170));
  EXPECT_FALSE(f.setValue(KEX::NeedleAngleLimits, Pair(0, 30)));
  EXPECT_TRUE(f.setValue(KEX::NeedleAngleLimits, Pair(0, 22.5f)));
  EXPECT_FALSE(f.setValue(KEX::AngleLimits, Pair(-1, 1)));
  EXPECT_FALSE(f.setValue(KEX::AngleLimits, Pair(0, 91)));
  EXPECT_FALSE(f.setValue(KEX::AngleLimits, Pair(std::nanf(""), 1)));
  EXPECT_TRUE(f.setValue(KEX::AngleLimits, Pair(0, 90)));

  float d = 0;
  ASSERT_TRUE(f.getValue(KEX::MaximumDistance, d));
  EXPECT_EQ(d, -1.0f);
  EXPECT_FALSE(f.setValue(KEX::MaximumDistance, std::numeric_limits<float>::infinity()));
  EXPECT_FALSE(f.setValue(KEX::MaximumDistance, std::nanf("")));
  EXPECT_TRUE(f.setValue(KEX::MaximumDistance, 0.5f));
  EXPECT_TRUE(f.setValue(KEX::MaximumDistance, -3.0f));
  int proxy = 0;
  ASSERT_TRUE(f.getValue(KEX::ComponentProxy, proxy));
  EXPECT_EQ(proxy, -1);
  EXPECT_TRUE(f.setValue(KEX::ComponentProxy, 12345));

  const KEXenum custom[] = {KEX::FlipOrientation};
  ASSERT_TRUE(f.setSequenceList(custom, 1));
  EXPECT_FALSE(f.setSequenceList(nullptr, 2));
  EXPECT_FALSE(f.setSequenceList(custom, -1));
  EXPECT_EQ(f.getSequenceCount(), 1);

  for (KEXenum name : {KEX::ActionList, KEX::MaximumDistance, KEX::AngleLimits, KEX::CapAngleLimits,
                       KEX::NeedleAngleLimits, KEX::ComponentProxy})
    ASSERT_TRUE(f.getProperty(name)->reset()) << name.getString();
  EXPECT_EQ(f.getSequenceCount(), 11);
  ASSERT_TRUE(f.getValue(KEX::CapAngleLimits, p));
  EXPECT_EQ(p, Pair(135, 180));
  ASSERT_TRUE(f.getValue(KEX::NeedleAngleLimits, p));
  EXPECT_EQ(p, Pair(0, 10));
  ASSERT_TRUE(f.getValue(KEX::AngleLimits, p));
  EXPECT_EQ(p, Pair(0, 1));
  ASSERT_TRUE(f.getValue(KEX::MaximumDistance, d));
  EXPECT_EQ(d, -1.0f);
  ASSERT_TRUE(f.getValue(KEX::ComponentProxy, proxy));
  EXPECT_EQ(proxy, -1);
}

TEST(FixTriangleMesh, CopiesAreIndependentFiltersWithTheSameValues)
{
  KEXFixTriangleMesh f;
  const KEXenum custom[] = {KEX::FlipOrientation, KEX::Check};
  ASSERT_TRUE(f.setSequenceList(custom, 2));
  ASSERT_TRUE(f.setValue(KEX::MaximumDistance, 0.25f));
  ASSERT_TRUE(f.setValue(KEX::CapAngleLimits, Pair(100, 170)));
  KEXFixTriangleMesh copy(f);
  EXPECT_EQ(names(sequence(copy)), names({KEX::FlipOrientation, KEX::Check}));
  float d = 0;
  ASSERT_TRUE(copy.getValue(KEX::MaximumDistance, d));
  EXPECT_EQ(d, 0.25f);
  EXPECT_EQ(copy.getActionCount(), 17);
  EXPECT_NE(copy.getAction(KEX::Filter), f.getAction(KEX::Filter));
  EXPECT_EQ(copy.getAction(KEX::Filter)->getOwner(), &copy);

  KEXFixTriangleMesh assigned;
  assigned = f;
  Pair p;
  ASSERT_TRUE(assigned.getValue(KEX::CapAngleLimits, p));
  EXPECT_EQ(p, Pair(100, 170));
  EXPECT_EQ(assigned.getSequenceCount(), 2);
  ASSERT_TRUE(f.setValue(KEX::MaximumDistance, 0.75f));
  ASSERT_TRUE(assigned.getValue(KEX::MaximumDistance, d));
  EXPECT_EQ(d, 0.25f);
}

TEST(FixTriangleMesh, CustomListFlipsAndChecksWhilePreprocessingRunsTheDefault)
{
  KEXTriangleMeshBuffer sphere = makeIcosphere(2);
  KEXTriangleMeshData mesh;
  toObject(sphere, mesh);
  KEXFixTriangleMesh f;
  ASSERT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  const KEXenum custom[] = {KEX::FlipOrientation, KEX::Check};
  ASSERT_TRUE(f.setSequenceList(custom, 2));
  {
    kexTest::RecordingScope monitor;
    ASSERT_TRUE(f.executeSequence(nullptr));
    EXPECT_EQ(countBegun(monitor, "Executing operation sequence"), 1);
  }
  KEXTriangleMeshBuffer flipped = fromObject(mesh);
  ASSERT_EQ(flipped.getTriangleCount(), sphere.getTriangleCount());
  for (int t = 0; t < sphere.getTriangleCount(); ++t) {
    const auto &a = sphere.triangleList[t], &b = flipped.triangleList[t];
    ASSERT_EQ(rotated(KEXTriangle<int>(b[0], b[2], b[1])), rotated(a)) << "triangle " << t << " reversed";
  }
  EXPECT_LT(signedVolume(flipped), 0.0);

  // The default sequence turns it outward again; the custom list stays.
  kexTest::RecordingScope monitor;
  ASSERT_TRUE(f.preprocessing());
  EXPECT_EQ(countBegun(monitor, "Clustering vertices") > 0, true);
  EXPECT_GT(signedVolume(fromObject(mesh)), 0.0);
  EXPECT_EQ(f.getSequenceCount(), 2);
  f.setValue(KEX::Geometry, KEXObjectLink());
}

TEST(FixTriangleMesh, UnknownOrForeignActionFailsBeforeAnyStep)
{
  KEXTriangleMeshBuffer sphere = makeIcosphere(1);
  KEXTriangleMeshData mesh;
  toObject(sphere, mesh);
  KEXFixTriangleMesh f;
  ASSERT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  for (KEXenum bad : {KEXenum("NoSuchStep"), KEX::Filter, KEX::ActionList}) {
    SCOPED_TRACE(bad.getString());
    const KEXenum list[] = {KEX::FlipOrientation, bad, KEX::Check};
    ASSERT_TRUE(f.setSequenceList(list, 3));
    kexTest::ErrorCapture errors;
    kexTest::RecordingScope monitor;
    EXPECT_FALSE(f.executeSequence(nullptr));
    EXPECT_TRUE(errors.has(KEX::InvalidValue, &f));
    EXPECT_EQ(countBegun(monitor, "Executing operation sequence"), 1);
    EXPECT_EQ(monitor.begunMessages().size(), 1u) << "no step opened its task";
    EXPECT_EQ(triangles(fromObject(mesh)), triangles(sphere));
  }
  f.setValue(KEX::Geometry, KEXObjectLink());
}

TEST(FixTriangleMesh, FailingStepWritesNothingBack)
{
  KEXTriangleMeshBuffer broken = makeIcosphere(1);
  broken.vertexList[3].y = std::numeric_limits<float>::infinity();
  KEXTriangleMeshData mesh;
  toObject(broken, mesh);
  KEXFixTriangleMesh f;
  ASSERT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
  const KEXenum list[] = {KEX::FlipOrientation, KEX::Check};
  ASSERT_TRUE(f.setSequenceList(list, 2));
  EXPECT_FALSE(f.executeSequence(nullptr)) << "the check finds the infinite vertex";
  EXPECT_EQ(triangles(fromObject(mesh)), triangles(broken)) << "the flip was not written";
  f.setValue(KEX::Geometry, KEXObjectLink());
}

TEST(FixTriangleMesh, StopEndsAfterTheCurrentStepAndLeavesTheSourceUnchanged)
{
  std::mt19937 rng(3);
  Damaged d = damage(makeIcosphere(3), 4, 0, rng);
  KEXTriangleMeshData source, destination;
  toObject(d.soup, source);
  KEXFixTriangleMesh f;
  ASSERT_TRUE(f.setValue(KEX::FirstSource, KEXObjectLink(&source)));
  ASSERT_TRUE(f.setValue(KEX::FirstDestination, KEXObjectLink(&destination)));
  kexTest::RecordingScope monitor;
  monitor.stopWhenEnded("Clustering vertices");
  EXPECT_TRUE(f.executeSequence(nullptr)) << "a stop keeps the work done";
  EXPECT_EQ(countBegun(monitor, "Removing degenerate triangles"), 0) << "no step after the stopped one";
  EXPECT_EQ(triangles(fromObject(source)), triangles(d.soup));
  EXPECT_EQ(vertices(fromObject(source)).size(), vertices(d.soup).size());
  KEXTriangleMeshBuffer partial = fromObject(destination);
  EXPECT_TRUE(partial.isConsistent());
  EXPECT_LT(partial.getVertexCount(), d.soup.getVertexCount()) << "the welding step finished";
  f.setValue(KEX::FirstSource, KEXObjectLink());
  f.setValue(KEX::FirstDestination, KEXObjectLink());
}

// --- the properties reach the algorithms ------------------------------------------------------------
TEST(FixTriangleMesh, SetDistanceAndLimitsReachTheirSteps)
{
  KEXFixTriangleMesh f;
  auto* cluster = static_cast<KEXTriangleMeshAction*>(f.getAction(KEX::ClusterVertices));
  auto* caps = static_cast<KEXTriangleMeshAction*>(f.getAction(KEX::RemoveCapTriangles));
  ASSERT_TRUE(cluster && caps);
  ASSERT_TRUE(f.setValue(KEX::MaximumDistance, 0.5f));
  ASSERT_TRUE(f.setValue(KEX::AngleLimits, Pair(0, 10)));
  ASSERT_TRUE(f.setValue(KEX::CapAngleLimits, Pair(95, 175)));
  ASSERT_TRUE(f.setValue(KEX::NeedleAngleLimits, Pair(1, 20)));
  cluster->checkExecute(nullptr); // prepares (and creates) the algorithm
  caps->checkExecute(nullptr);
  auto* c = dynamic_cast<KEXClusterVerticesAlgorithm*>(cluster->getAlgorithm());
  auto* r = dynamic_cast<KEXRemoveCapTrianglesAlgorithm*>(caps->getAlgorithm());
  ASSERT_TRUE(c && r);
  EXPECT_EQ(c->getMaximumDistance(), 0.5f);
  EXPECT_EQ(r->getAngleLimits(), Pair(0, 10));
  EXPECT_EQ(r->getCapAngleLimits(), Pair(95, 175));
  EXPECT_EQ(r->getNeedleAngleLimits(), Pair(1, 20));
}

TEST(FixTriangleMesh, SetMaximumDistanceIsTheWeldDistance)
{
  // Two unit triangles side by side whose shared edge is stored twice, 0.4 apart: the guessed
  // distance (2^-14 of the sampling distance) keeps them apart, a set distance of 0.5 welds them.
  KEXTriangleMeshBuffer pair = makeBuffer({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1.4f, 0, 0}, {0.4f, 1, 0}, {1.4f, 1, 0}},
                                          {{0, 1, 2}, {3, 5, 4}});
  const KEXenum list[] = {KEX::ClusterVertices};
  for (float distance : {-1.0f, 0.5f, 0.3f}) {
    SCOPED_TRACE(distance);
    KEXTriangleMeshData mesh;
    toObject(pair, mesh);
    KEXFixTriangleMesh f;
    ASSERT_TRUE(f.setValue(KEX::Geometry, KEXObjectLink(&mesh)));
    ASSERT_TRUE(f.setSequenceList(list, 1));
    ASSERT_TRUE(f.setValue(KEX::MaximumDistance, distance));
    ASSERT_TRUE(f.executeSequence(nullptr));
    EXPECT_EQ(fromObject(mesh).getVertexCount(), distance == 0.5f ? 4 : 6);
    f.setValue(KEX::Geometry, KEXObjectLink());
  }
}

// --- construction under memory shortage ---------------------------------------------------------
TEST(FixTriangleMesh, EveryFailedAllocationWhileConstructingIsReported)
{
  int faults = 0;
  for (long n = 1; n < 400; ++n) {
    kexTest::ErrorCapture errors;
    bool fired = false;
    {
      kexTest::AllocationFault fault(n);
      KEXFixTriangleMesh f;
      fired = fault.fired();
      if (fired) {
        EXPECT_TRUE(errors.has(KEX::OutOfMemory)) << "allocation " << n;
        EXPECT_LE(f.getSequenceCount(), 11);
      }
    }
    if (!fired)
      break;
    ++faults;
  }
  EXPECT_GT(faults, 3);

  KEXFixTriangleMesh source;
  const KEXenum list[] = {KEX::Check};
  ASSERT_TRUE(source.setSequenceList(list, 1));
  for (long n = 1; n < 400; ++n) {
    kexTest::ErrorCapture errors;
    kexTest::AllocationFault fault(n);
    KEXFixTriangleMesh copy(source);
    if (!fault.fired())
      break;
    EXPECT_TRUE(errors.has(KEX::OutOfMemory)) << "allocation " << n;
  }
}

// --- whole repairs ----------------------------------------------------------------------------------
TEST(FixTriangleMesh, RepairsDamagedGeneratedMeshes)
{
  std::mt19937 rng(11);
  {
    Damaged d = damage(makeIcosphere(3), 6, 3, rng);
    repairAndCheck(d, "icosphere");
  }
  {
    Damaged d = damage(makeTorus(40, 20), 6, 3, rng);
    repairAndCheck(d, "torus");
  }
  {
    // Two separate bodies, one of them entirely flipped before it became a soup.
    KEXTriangleMeshBuffer two = makeIcosphere(2);
    KEXTriangleMeshBuffer other = makeIcosphere(2, Vec3(5, 0, 0), 0.5f);
    for (auto& t : other.triangleList)
      std::swap(t[1], t[2]);
    append(two, other);
    Damaged d = damage(two, 4, 2, rng);
    repairAndCheck(d, "two bodies");
  }
}

TEST(FixTriangleMesh, RepairsRealMeshesWithHoles)
{
  for (const char* name : {"elephant-with-holes.off", "mech-holes-shark.off"}) {
    SCOPED_TRACE(name);
    KEXTriangleMeshBuffer original;
    if (!std::filesystem::exists(dataFile(name)))
      GTEST_SKIP() << dataFile(name) << " not found: run scripts/fetch-data to test on real meshes";
    ASSERT_TRUE(readOff(dataFile(name), original));
    std::mt19937 rng(7);
    Damaged d = damage(original, 0, 3, rng);
    repairAndCheck(d, name);
  }
}
