// The triangle mesh object (validity, derived values, notifications, copies), mesh actions, the
// object <-> buffer copies, the Geometry view of filters and the sequence routine.
#include "kex/Error.h"
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "kexmesh/objects/ExecuteSequenceAction.h"
#include "kexmesh/objects/TriangleListOP.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/TriangleMeshFilter.h"
#include "kexmesh/objects/TriangleMeshReference.h"
#include "kexmesh/objects/Vector3ListOP.h"
#include "kexmesh/objects/Vocabulary.h"
#include "support/FilterChecks.h"
#include "support/MeshChecks.h"
#include "support/ObjectsSweeps.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

using Vec3 = KEXVector3<float>;
using Tri = KEXTriangle<int>;
using Color = KEXRGBA<float>;

// Test steps: a succeeding one moves every vertex by +1 in x, a failing one by +7 in y (it changes
// the buffer before it fails, so that a test sees whether that change is written back).
template <bool Succeeds>
class TestStep : public KEXTriangleMeshAlgorithmIF {
protected:
  bool run(void*) override
  {
    for (Vec3& v : m_buffer.vertexList)
      (Succeeds ? v.x : v.y) += Succeeds ? 1.0f : 7.0f;
    return Succeeds;
  }
};
class TestShiftAlgorithm : public TestStep<true> { KEXMESH_DECLARE_CLASS(TestShiftAlgorithm) };
class TestFailAlgorithm : public TestStep<false> { KEXMESH_DECLARE_CLASS(TestFailAlgorithm) };
KEXMESH_DEFINE_CLASS(TestShiftAlgorithm, KEXTriangleMeshAlgorithmIF)
KEXMESH_DEFINE_CLASS(TestFailAlgorithm, KEXTriangleMeshAlgorithmIF)

namespace {

constexpr KEXenum Shift{"TestShift"}, Fail{"TestFail"}, Sequence{"TestSequence"};

using ActionListOP = KEXValueArrayOP<KEXValueArrayPropertyIF<KEXenum>, KEXValueList<KEXenum>>;

// A concrete mesh filter with a few actions, as the library's filters declare them.
class TestFilter : public KEXTriangleMeshFilter {
public:
  TestFilter()
  {
    for (KEXenum code : {addAction(Shift, &shift), addAction(Fail, &fail), addAction(Sequence, &sequence), addProperty(KEX::ActionList, &actionList)})
      if (code != KEX::NoError)
        KEXError::emitError(KEXError::Message(this, code));
  }
  bool setActionList(std::vector<KEXenum> names) { return actionList.initArray(int(names.size()), names.data()); }
  bool run() { return getAction(Sequence)->execute(nullptr); }

  KEXTriangleMeshActionAttr shift{&TestShiftAlgorithm::metaClass(), 0, 0};
  KEXTriangleMeshActionAttr fail{&TestFailAlgorithm::metaClass(), 0, 0};
  KEXExecuteSequenceAction sequence;
  ActionListOP actionList;
};

struct Recorder : KEXObject::Observer {
  std::vector<std::string> names;
  void propertyChanged(KEXObject&, KEXenum p) override { names.push_back(p.getString()); }
  int count(const char* n) const { return int(std::count(names.begin(), names.end(), std::string(n))); }
};

// A vertex list that counts how often its range is asked for: every read of the object's lists
// through bufferFromObject asks exactly once.
struct CountingVertexList : KEXVector3ListOP {
  mutable int rangeReads = 0;
  bool getIndexRange(int& first, int& last) const override { return ++rangeReads, KEXVector3ListOP::getIndexRange(first, last); }
};

struct RandomLists {
  std::vector<Vec3> vertices, vertexNormals, triangleNormals;
  std::vector<Color> vertexColors, triangleColors;
  std::vector<int> edgeFlags;
  std::vector<KEXVector2<float>> texture;
  std::vector<Tri> triangles;
};

RandomLists randomLists(std::mt19937& rng, int v, int t)
{
  std::uniform_real_distribution<float> u(-5.0f, 5.0f), c(-0.2f, 1.2f);
  std::uniform_int_distribution<int> idx(0, std::max(0, v - 1)), flag(-3, 3);
  auto vec = [&] { return Vec3(u(rng), u(rng), u(rng)); };
  auto color = [&] { return Color(c(rng), c(rng), c(rng), c(rng)); };
  RandomLists r;
  for (int i = 0; i < v; ++i) {
    r.vertices.push_back(vec()), r.vertexNormals.push_back(vec()), r.vertexColors.push_back(color());
    r.edgeFlags.push_back(flag(rng)), r.texture.emplace_back(u(rng), u(rng));
  }
  for (int i = 0; i < t; ++i)
    r.triangles.emplace_back(idx(rng), idx(rng), idx(rng)), r.triangleNormals.push_back(vec()), r.triangleColors.push_back(color());
  return r;
}

void fill(KEXTriangleMesh& mesh, const RandomLists& r)
{
  ASSERT_TRUE(mesh.initVertices(int(r.vertices.size()), r.vertices.data(), r.vertexNormals.data(), r.edgeFlags.data(),
                                r.vertexColors.data(), r.texture.data()));
  ASSERT_TRUE(mesh.initTriangles(int(r.triangles.size()), r.triangles.data(), r.triangleNormals.data(), r.triangleColors.data()));
}

template <class E>
std::vector<E> read(const KEXObject& o, KEXenum name)
{
  int first = 0, last = -1;
  if (!o.getIndexRange<E>(name, first, last))
    return {};
  std::vector<E> items(size_t(last + 1));
  EXPECT_TRUE(last < 0 || o.getArrayItems<E>(name, 0, last, items.data()));
  return items;
}

std::vector<Vec3> vertices(const KEXObject& o) { return read<Vec3>(o, KEX::VertexList); }

using Box = KEXValuePair<Vec3>;

Box bruteForceBox(const std::vector<Vec3>& p)
{
  Box b(p[0], p[0]);
  for (const Vec3& v : p)
    for (int k = 0; k < 3; ++k)
      b.first[k] = std::min(b.first[k], v[k]), b.second[k] = std::max(b.second[k], v[k]);
  return b;
}

} // namespace

TEST(TriangleMeshAction, RoundTripOfRandomMeshesKeepsEveryList)
{
  std::mt19937 rng(5);
  for (int v : {0, 1, 64, 65, 85, 86, 87, 129, 260, 261, 1000})
    for (int t : {0, 1, 86, 87, 300}) {
      if (v == 0 && t > 0)
        continue;
      RandomLists r = randomLists(rng, v, t);
      KEXTriangleMeshData source, target;
      fill(source, r);
      KEXTriangleMeshBuffer buffer = kexmeshtest::makeTetrahedron(); // replaced entirely
      ASSERT_TRUE(KEXTriangleMeshAction::bufferFromObject(&buffer, &source));
      ASSERT_TRUE(buffer.getVertexCount() == v && buffer.getTriangleCount() == t);
      for (int i = 0; i < v; ++i)
        ASSERT_EQ(buffer.vertexColorList[i], Color(KEXRGBA<unsigned char>(r.vertexColors[i]))) << "colors are stored as bytes";
      EXPECT_EQ(buffer.vertexAdjacencyList.getCount(), 0) << "derived lists are never copied";
      Recorder rec;
      target.addObserver(&rec);
      ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&target, &buffer));
      for (const std::string& n : rec.names)
        EXPECT_EQ(rec.count(n.c_str()), 1) << n << " delivered more than once";
      EXPECT_EQ(rec.count("BoundingBox"), v > 0 ? 1 : 0);
      EXPECT_TRUE(vertices(target) == r.vertices && read<Vec3>(target, KEX::VertexNormalList) == r.vertexNormals);
      EXPECT_TRUE(read<int>(target, KEX::VertexEdgeFlagList) == r.edgeFlags && read<Tri>(target, KEX::TriangleList) == r.triangles);
      EXPECT_TRUE(read<Vec3>(target, KEX::TriangleNormalList) == r.triangleNormals &&
                  read<KEXVector2<float>>(target, KEX::TextureCoordinateList) == r.texture);
      for (KEXenum colors : {KEX::VertexColorList, KEX::TriangleColorList})
        EXPECT_EQ(read<Color>(target, colors), read<Color>(source, colors));
      // Writing the same content again changes nothing and announces nothing.
      rec.names.clear();
      const uint64_t stamp = target.getProperty(KEX::VertexColorList)->getModificationTime();
      ASSERT_TRUE(target.fromBuffer(buffer));
      EXPECT_TRUE(rec.names.empty() && target.getProperty(KEX::VertexColorList)->getModificationTime() == stamp);
      target.removeObserver(&rec);
    }
}

TEST(TriangleMeshAction, CopiesUnderAllocationFailureLeaveNoHalfBuffer)
{
  std::mt19937 rng(9);
  KEXTriangleMeshData source;
  fill(source, randomLists(rng, 300, 200));
  EXPECT_GT(kexmeshtest::sweepFaults([&](long n) {
    KEXTriangleMeshBuffer buffer = kexmeshtest::makeCube();
    kexTest::AllocationFault fault(n);
    const bool ok = KEXTriangleMeshAction::bufferFromObject(&buffer, &source);
    EXPECT_EQ(ok, !fault.fired());
    EXPECT_TRUE(ok || buffer.getVertexCount() + buffer.getTriangleCount() + buffer.vertexNormalList.getCount() +
                              buffer.triangleColorList.getCount() == 0) << n;
    return fault.fired();
  }), 2);
}

TEST(GeometryFilter, RegistrationFailuresAreReported)
{
  EXPECT_GT(kexmeshtest::sweepConstructionFaults<TestFilter>(), 0);
  EXPECT_EQ(KEXGeometryFilter::metaClass().create(), nullptr);
}

// Records every hook of the sequence observer with the buffer it was shown and that buffer's
// first vertex at that moment.
struct SequenceRecorder : KEXExecuteSequenceAction::Observer {
  // Hook ('b'egins, 'e'nds, 's'equence ends), step, action, the buffer's address (an address only:
  // in object mode the buffer is gone after the run), its first vertex, ok.
  using Call = std::tuple<char, int, KEXenum, std::uintptr_t, Vec3, bool>;
  std::vector<Call> calls;
  static std::uintptr_t address(const KEXTriangleMeshBuffer& b) { return reinterpret_cast<std::uintptr_t>(&b); }
  void add(char h, int i, KEXenum n, const KEXTriangleMeshBuffer& b, bool ok) { calls.emplace_back(h, i, n, address(b), b.vertexList[0], ok); }
  void stepBegins(int i, KEXenum n, const KEXTriangleMeshBuffer& b) override { add('b', i, n, b, true); }
  void stepEnds(int i, KEXenum n, const KEXTriangleMeshBuffer& b, bool ok) override { add('e', i, n, b, ok); }
  void sequenceEnds(const KEXTriangleMeshBuffer& b) override { add('s', -1, KEXenum(), b, true); }
};

TEST(ExecuteSequence, AnObserverSeesEveryStepWithTheSharedBufferAndChangesNothing)
{
  // A stop keeps the work done, an abort writes nothing. after: the answer to the first progress
  // report; stepsRun: the steps whose hooks are called.
  const struct {
    const char* what;
    std::vector<KEXenum> list;
    KEXTaskMonitor::Reply after;
    int stepsRun;
    bool succeeds;
    KEXTaskInfo::Status status;
  } cases[] = {{"all succeed", {Shift, Shift, Shift}, KEXTaskMonitor::Continue, 3, true, KEXTaskInfo::Succeeded},
               {"the middle one fails", {Shift, Fail, Shift}, KEXTaskMonitor::Continue, 2, false, KEXTaskInfo::Failed},
               {"a stop after the first", {Shift, Shift, Shift}, KEXTaskMonitor::Stop, 1, true, KEXTaskInfo::Stopped},
               {"an abort after the first", {Shift, Shift, Shift}, KEXTaskMonitor::Abort, 1, false, KEXTaskInfo::Aborted}};
  const KEXTriangleMeshBuffer cube = kexmeshtest::makeCube(), tetrahedron = kexmeshtest::makeTetrahedron();
  for (const auto& c : cases)
    for (bool bufferMode : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (bufferMode ? ", buffer mode" : ", object mode"));
      // The same run twice, watched and not: results, status and task records must agree.
      std::vector<Vec3> results[2];
      std::vector<std::string> begun[2];
      std::pair<KEXTaskInfo::Status, KEXenum> status[2];
      SequenceRecorder recorder;
      std::uintptr_t caller = 0;
      for (int watched = 0; watched < 2; ++watched) {
        // A source that counts the reads of its vertex range, a destination that records writes.
        TestFilter filter;
        KEXTriangleMeshReference source;
        CountingVertexList sourceVertices;
        KEXTriangleListOP sourceTriangles;
        source.addProperty(KEX::VertexList, &sourceVertices), source.addProperty(KEX::TriangleList, &sourceTriangles);
        KEXTriangleMeshData destination;
        Recorder written;
        ASSERT_TRUE(source.fromBuffer(cube) && destination.fromBuffer(tetrahedron) && filter.setActionList(c.list));
        filter.setValue(KEX::FirstSource, KEXObjectLink(&source)), filter.setValue(KEX::FirstDestination, KEXObjectLink(&destination));
        filter.sequence.setObserver(watched ? &recorder : nullptr);
        EXPECT_EQ(filter.sequence.getObserver(), watched ? &recorder : nullptr);
        KEXTriangleMeshBuffer buffer = cube;
        KEXTriangleMeshAction::Parameters record(&buffer, nullptr);
        caller = SequenceRecorder::address(buffer);
        const uint64_t stamp = destination.getProperty(KEX::VertexList)->getModificationTime();
        destination.addObserver(&written);
        sourceVertices.rangeReads = 0;
        kexTest::RecordingScope monitor;
        if (c.after != KEXTaskMonitor::Continue)
          monitor.stopAfterReports(1, c.after);
        EXPECT_EQ(filter.getAction(Sequence)->execute(bufferMode ? &record : nullptr), c.succeeds);
        results[watched] = bufferMode ? kexmeshtest::vertices(buffer) : vertices(destination);
        begun[watched] = monitor.begunMessages();
        status[watched] = {monitor.rootStatus(), monitor.rootCode()};
        EXPECT_TRUE(monitor.progressMonotone());
        destination.removeObserver(&written);
        // In object mode the source is read once, the destination written once.
        const int writes = c.succeeds ? 1 : 0;
        EXPECT_TRUE(bufferMode || (sourceVertices.rangeReads == 1 && written.count("VertexList") == writes && written.count("TriangleList") == writes));
        EXPECT_EQ(vertices(source), kexmeshtest::vertices(cube));
        EXPECT_TRUE(bufferMode || c.succeeds ||
                    (vertices(destination) == kexmeshtest::vertices(tetrahedron) && destination.getProperty(KEX::VertexList)->getModificationTime() == stamp))
            << "nothing is written back after a failed step or an abort";
        filter.setValue(KEX::FirstSource, KEXObjectLink()), filter.setValue(KEX::FirstDestination, KEXObjectLink());
      }
      EXPECT_TRUE(results[1] == results[0] && begun[1] == begun[0] && status[1] == status[0]);
      EXPECT_TRUE(status[0].first == c.status && (c.status != KEXTaskInfo::Failed || status[0].second == KEX::GenericError));
      // Steps in order, a begin and an end each, on one buffer: the caller's in buffer mode, the
      // one read from the source in object mode; each step sees what the one before left.
      ASSERT_FALSE(recorder.calls.empty());
      const std::uintptr_t shared = std::get<3>(recorder.calls[0]);
      EXPECT_EQ(shared == caller, bufferMode);
      Vec3 expected = cube.vertexList[0];
      std::vector<SequenceRecorder::Call> want;
      for (int i = 0; i < c.stepsRun; ++i) {
        const bool shift = c.list[i] == Shift;
        want.emplace_back('b', i, c.list[i], shared, expected, true);
        (shift ? expected.x : expected.y) += shift ? 1.0f : 7.0f;
        want.emplace_back('e', i, c.list[i], shared, expected, shift);
      }
      if (c.succeeds)
        want.emplace_back('s', -1, KEXenum(), shared, expected, true);
      EXPECT_EQ(recorder.calls, want);
      EXPECT_TRUE(!c.succeeds || results[0][0] == expected) << "what the steps run left is the result";
    }
}

// On the Geometry link: every allocation failure ends the run cleanly.
TEST(ExecuteSequence, AllocationFailuresEndCleanly)
{
  KEXTriangleMeshBuffer cube = kexmeshtest::makeCube();
  ASSERT_TRUE(cube.vertexNormalList.setCount(cube.getVertexCount(), Vec3(0, 0, 1)));
  TestFilter filter;
  KEXTriangleMeshData mesh;
  ASSERT_TRUE(mesh.fromBuffer(cube) && filter.setActionList({Shift, Shift}));
  filter.setValue(KEX::Geometry, KEXObjectLink(&mesh));
  const std::vector<Vec3> original = vertices(mesh);
  std::vector<Vec3> shifted = original;
  for (Vec3& v : shifted)
    v.x += 2.0f;
  // One undisturbed run first creates the step algorithms, which every run of the sweep reuses.
  ASSERT_TRUE(filter.run());
  EXPECT_GT(kexmeshtest::sweepFaults([&](long n) {
    EXPECT_TRUE(mesh.fromBuffer(cube));
    bool ok = false, fired = false;
    {
      kexTest::RecordingScope monitor;
      kexTest::AllocationFault fault(n);
      ok = filter.run(), fired = fault.fired();
      EXPECT_TRUE(monitor.misuses().empty() && (fired || ok)) << n;
    }
    // Nothing written, or (a failure while writing back) the lists written before it.
    const std::vector<Vec3> now = vertices(mesh);
    EXPECT_TRUE(ok ? now == shifted : (now == original || now == shifted)) << n;
    return fired;
  }), 2);
  filter.setValue(KEX::Geometry, KEXObjectLink());
  // A fault while the first run creates its step algorithms leaves none half made: the next
  // undisturbed run of the same filter succeeds.
  EXPECT_GT(kexmeshtest::sweepFaults([&](long n) {
    TestFilter fresh;
    EXPECT_TRUE(mesh.fromBuffer(cube) && fresh.setActionList({Shift, Shift}));
    fresh.setValue(KEX::Geometry, KEXObjectLink(&mesh));
    bool fired = false;
    {
      kexTest::RecordingScope monitor;
      kexTest::AllocationFault fault(n);
      fresh.run();
      fired = fault.fired();
    }
    EXPECT_TRUE(mesh.fromBuffer(cube) && fresh.run()) << n;
    EXPECT_EQ(vertices(mesh), shifted) << n;
    fresh.setValue(KEX::Geometry, KEXObjectLink());
    return fired;
  }), 2);
}

TEST(TriangleMesh, ValidityFollowsListLengths)
{
  KEXTriangleMeshData mesh;
  std::vector<Vec3> v = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}};
  std::vector<Tri> t = {{0, 1, 2}, {1, 3, 2}};
  std::vector<int> flags = {1, 0, 1, 0, 1, 1, 1};
  ASSERT_TRUE(mesh.initVertices(4, v.data(), nullptr, nullptr, nullptr, nullptr) && mesh.initTriangles(2, t.data(), nullptr, nullptr));
  ASSERT_TRUE(mesh.initArray<int>(KEX::VertexEdgeFlagList, 7, flags.data()));
  EXPECT_TRUE(mesh.isValid() && mesh.getNumberOfTriangles() == 2 && mesh.getVertexCount() == 4) << "the edge flag list is not checked";
  ASSERT_TRUE(mesh.initVertexNormals(3, std::vector<Vec3>(3, Vec3(0, 0, 1)).data()));
  kexTest::ErrorCapture errors;
  EXPECT_TRUE(!mesh.isValid() && errors.has(KEX::InvalidTriangleMesh, &mesh));
  EXPECT_TRUE(!mesh.hasVertexNormals() && mesh.getNumberOfTriangles() == -1);
  ASSERT_TRUE(mesh.initVertexNormals(4, std::vector<Vec3>(4, Vec3(0, 0, 1)).data()));
  EXPECT_TRUE(mesh.hasVertexNormals() && !mesh.hasTriangleNormals());
  ASSERT_TRUE(mesh.initTriangleColors(1, std::vector<Color>(1).data()));
  EXPECT_FALSE(mesh.hasVertexNormals()) << "any inconsistent list makes the mesh invalid";
  ASSERT_TRUE(mesh.initTriangleColors(2, std::vector<Color>(2).data()));
  EXPECT_TRUE(mesh.hasTriangleColors());
}

// Derived values follow a moved vertex and are announced once each; under the lock nothing is
// announced until it is released.
TEST(TriangleMesh, DerivedValuesFollowAMovedVertexAndAreAnnouncedOnce)
{
  const std::vector<std::string> vertexNames = {"VertexList", "BoundingBox", "OrientedBoundingBox", "MeanSamplingDistance"};
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    KEXTriangleMeshData mesh;
    Recorder rec;
    mesh.addObserver(&rec);
    const int n = 3 + int(rng() % 60);
    std::vector<Vec3> v = randomLists(rng, n, 0).vertices;
    std::vector<Tri> t;
    for (int i = 0; i + 2 < n; ++i)
      t.push_back(Tri(i, i + 1, i + 2));
    ASSERT_TRUE(mesh.initVertices(n, v.data(), nullptr, nullptr, nullptr, nullptr));
    for (const std::string& name : vertexNames)
      EXPECT_EQ(rec.count(name.c_str()), 1) << name;
    EXPECT_EQ(rec.names.front(), "VertexList");
    rec.names.clear();
    Box box;
    ASSERT_TRUE(mesh.initTriangles(int(t.size()), t.data(), nullptr, nullptr) && mesh.getBoundingBox(box));
    EXPECT_EQ(rec.names, (std::vector<std::string>{"TriangleList", "MeanSamplingDistance"}));
    EXPECT_EQ(box, bruteForceBox(v));
    rec.names.clear();
    mesh.lock(KEX::PropertyMessage);
    for (int moved : {int(rng() % unsigned(n)), int(rng() % unsigned(n))}) {
      v[size_t(moved)] = Vec3(100.0f + float(round), -50.0f, float(moved));
      ASSERT_TRUE(mesh.setVertexList(moved, moved, &v[size_t(moved)]) && mesh.setTriangles(0, 0, t.data()));
    }
    EXPECT_TRUE(rec.names.empty());
    mesh.unlock(KEX::PropertyMessage);
    EXPECT_EQ(rec.names, vertexNames);
    mesh.removeObserver(&rec);
    ASSERT_TRUE(mesh.getBoundingBox(box));
    EXPECT_EQ(box, bruteForceBox(v));
    KEXMatrix4<float> obb;
    ASSERT_TRUE(mesh.getValue(KEX::OrientedBoundingBox, obb));
    const Vec3 lo = obb.transformPoint(Vec3(0, 0, 0)), hi = obb.transformPoint(Vec3(1, 1, 1));
    for (int k = 0; k < 3; ++k) {
      EXPECT_FLOAT_EQ(lo[k], box.first[k]);
      EXPECT_NEAR(hi[k], box.second[k], 1e-4f);
    }
    Vec3 msd, expected;
    ASSERT_TRUE(mesh.getValue(KEX::MeanSamplingDistance, msd));
    ASSERT_TRUE(KEXTriangleMeshBuffer::calculateMeanSamplingDistance(v.data(), n, t.data(), int(t.size()), expected));
    EXPECT_EQ(msd, expected);
  }
  Vec3 msd;
  EXPECT_FALSE(KEXTriangleMeshData().getValue(KEX::MeanSamplingDistance, msd)) << "no vertices, no estimate";
}

// Copies and assignments carry every list with providers of their own; construction and copy
// report every failed allocation and leave a usable object.
TEST(TriangleMesh, CopiesCarryEveryListAndReportFailedAllocations)
{
  std::mt19937 rng(3);
  KEXTriangleMeshData source;
  fill(source, randomLists(rng, 20, 2));
  ASSERT_TRUE(source.setValue<const char*>(KEX::GeometryMaterial, "Mine"));
  EXPECT_GT(kexmeshtest::sweepFaults([&](long n) {
    kexTest::ErrorCapture errors;
    kexTest::AllocationFault fault(n);
    KEXTriangleMeshData mesh, copy(source);
    EXPECT_EQ(errors.count() >= 1u, fault.fired()) << "every failure is reported, n = " << n;
    for (const auto& e : errors.entries())
      EXPECT_TRUE(e.code == KEX::OutOfMemory || e.code == KEX::GenericError) << e.code.getString();
    Box box; // whatever state it ended in, the object stays usable
    mesh.getBoundingBox(box), mesh.isValid();
    return fault.fired();
  }), 2);
  KEXTriangleMeshData copy(source), assigned;
  assigned = source;
  KEXTriangleMeshBuffer want;
  ASSERT_TRUE(source.toBuffer(want));
  for (KEXTriangleMeshData* m : {&copy, &assigned}) {
    KEXTriangleMeshBuffer got;
    const char* text = nullptr;
    Box a, b;
    ASSERT_TRUE(m->toBuffer(got) && m->getValue(KEX::GeometryMaterial, text) && m->getBoundingBox(a) && source.getBoundingBox(b));
    EXPECT_TRUE(kexmeshtest::sameBuffer(got, want) && std::string(text) == "Mine");
    EXPECT_EQ(a, b) << "the copy has its own providers";
  }
}
