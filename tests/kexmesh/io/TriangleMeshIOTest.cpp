// Handlers as framework objects: extensions and reports, reference counting, the object entry
// points (round trip, inconsistent objects refused, failed reads and writes leaving things as they were).
#include "kexmesh/io/TriangleMeshIO.h"

#include "kex/Object.h"
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "support/FilterChecks.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"
#include "support/TemporaryFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <tuple>
#include <random>
#include <string>
#include <vector>

namespace {

using Vec3 = KEXVector3<float>;
using Colour = KEXRGBA<float>;
using Report = KEXGeometryIO::Report;
using kexmeshtest::exists;
using kexmeshtest::sameBuffer;
using kexmeshtest::tempPath;

// The base is abstract: a handler of its own shows what every handler inherits.
class NullHandler : public KEXTriangleMeshIO {};

using ObjectPtr = std::unique_ptr<KEXObject, decltype([](KEXObject* o) { o->release(); })>;
using HandlerPtr = std::unique_ptr<KEXTriangleMeshIO, decltype([](KEXTriangleMeshIO* h) { KEXTriangleMeshIO::destroy(h); })>;

// A mesh object made by class name, the way a host makes one.
ObjectPtr newMeshObject()
{
  const KEXMetaClass* cls = KEXMetaClass::find("KEXTriangleMeshData");
  KEXClass* c = cls ? cls->create() : nullptr;
  EXPECT_NE(c, nullptr);
  return ObjectPtr(static_cast<KEXTriangleMeshData*>(c));
}

// Every list of a mesh object (colours as the object keeps them: bytes), for whole comparisons.
KEXTriangleMeshBuffer snapshot(const KEXObject& o) { return kexmeshtest::bufferOf(static_cast<const KEXTriangleMeshData&>(o)); }

// A random mesh with vertex normals, vertex colours and triangle colours (any float in [0, 1], so
// that they travel through the file as bytes), put into a mesh object through its own accessors.
void fillRandom(KEXObject& object, std::mt19937& rng, int vertices, int triangles)
{
  const KEXTriangleMeshBuffer b = kexmeshtest::makeRandomMesh(rng, {vertices, triangles, 0.0, 0.05, 0.0});
  std::uniform_real_distribution<float> unit(0.0f, 1.0f), coordinate(-1000.0f, 1000.0f);
  std::vector<Vec3> points, normals;
  std::vector<Colour> vertexColours, triangleColours;
  for (int i = 0; i < b.getVertexCount(); ++i) {
    points.emplace_back(coordinate(rng), coordinate(rng), coordinate(rng));
    normals.emplace_back(unit(rng) - 0.5f, unit(rng) - 0.5f, unit(rng) - 0.5f);
    vertexColours.emplace_back(unit(rng), unit(rng), unit(rng), unit(rng));
  }
  for (int t = 0; t < b.getTriangleCount(); ++t)
    triangleColours.emplace_back(unit(rng), unit(rng), unit(rng), 1.0f);
  auto& mesh = static_cast<KEXTriangleMesh&>(object);
  EXPECT_TRUE(mesh.initVertices(int(points.size()), points.data(), normals.data(), nullptr, vertexColours.data(), nullptr));
  EXPECT_TRUE(mesh.initTriangles(b.getTriangleCount(), b.triangleList.begin(), nullptr, triangleColours.data()));
}

bool has(const Report& r, const char* text) { return r.message.find(text) != std::string::npos; }

HandlerPtr handlerFor(const std::string& path)
{
  Report report;
  HandlerPtr h(KEXTriangleMeshIO::createForFile(path.c_str(), report));
  EXPECT_NE(h, nullptr) << report.message;
  return h;
}

TEST(TriangleMeshIO, ExtensionsAndReports)
{
  for (auto [path, list, matches] : {std::tuple("a/b.c/mesh.PLY", "ply", true), std::tuple("m.pwn", "xyz pwn", true), std::tuple("m.pw", "xyz pwn", false),
                                      std::tuple("ply", "ply", false), std::tuple("dir.ply/mesh", "ply", false)})
    EXPECT_EQ(KEXGeometryIO::matchesExtension(path, list), matches) << path;
  EXPECT_EQ(KEXGeometryIO::extensionOf(".hidden"), "");
  Report r;
  EXPECT_FALSE(r.fail(Report::Malformed, "%s:%d: first", "f", 3));
  r.fail(Report::Unreadable, "second");
  EXPECT_TRUE(r.kind == Report::Malformed && r.message == "f:3: first"); // the first failure wins
  for (int i = 0; i < 30; ++i)
    r.warn("w%d", i);
  EXPECT_EQ(r.warnings.size(), 20u);
}

TEST(TriangleMeshIO, HandlersAreReferenceCountedObjects)
{
  NullHandler h;
  KEXTriangleMeshBuffer b;
  Report r;
  EXPECT_FALSE(h.readBuffer("x.ply", b, r) || h.writeBuffer("x.ply", b, r)); // the base reads and writes nothing
  EXPECT_EQ(r.kind, Report::Unsupported);
  h.setEncoding(KEXGeometryIO::Ascii);
  h.addRef();
  NullHandler copy(h); // a new object: its own count, the source's settings
  EXPECT_TRUE(copy.getRefCount() == 1 && copy.getEncoding() == KEXGeometryIO::Ascii);
  h.release();
  EXPECT_EQ(h.getRefCount(), 1);

  // destroy() drops the creator's reference: a host holding another one keeps the handler alive.
  KEXTriangleMeshIO* ply = KEXTriangleMeshIO::createForFile("shared.ply", r);
  ASSERT_NE(ply, nullptr) << r.message;
  ply->addRef();
  KEXTriangleMeshIO::destroy(ply);
  EXPECT_TRUE(ply->getRefCount() == 1 && std::string(ply->getFormatName()) == "PLY");
  ply->release(); // the last reference destroys it through its metaclass (LeakSanitizer checks)
  KEXTriangleMeshIO::destroy(nullptr);
}

TEST(TriangleMeshIO, MeshObjectsSurviveAFileRoundTrip)
{
  std::mt19937 rng(71);
  const std::string path = tempPath("roundtrip.ply");
  HandlerPtr h = handlerFor(path);
  ASSERT_NE(h, nullptr);
  for (int round = 0; round < 12; ++round) {
    ObjectPtr source = newMeshObject(), target = newMeshObject();
    ASSERT_TRUE(source && target);
    fillRandom(*source, rng, 3 + int(rng() % 150), int(rng() % 300));
    const KEXTriangleMeshBuffer written = snapshot(*source);
    // The target starts with a mesh of its own, with lists the file does not carry (edge flags).
    fillRandom(*target, rng, 5, 4);
    const std::vector<int> flags(size_t(snapshot(*target).getVertexCount()), 1);
    ASSERT_TRUE(target->initArray<int>(KEX::VertexEdgeFlagList, int(flags.size()), flags.data()));
    h->setEncoding(round % 3 == 0 ? KEXGeometryIO::Ascii : KEXGeometryIO::DefaultEncoding);
    Report report;
    ASSERT_TRUE(h->write(path.c_str(), source.get(), report)) << report.message;
    EXPECT_TRUE(report.isOk() && sameBuffer(snapshot(*source), written)) << "writing leaves the object as it was";
    ASSERT_TRUE(h->read(path.c_str(), target.get(), report)) << report.message;
    // The target's lists that the file does not carry are emptied.
    EXPECT_TRUE(sameBuffer(snapshot(*target), written)) << "round " << round;
  }
  std::remove(path.c_str());
}

TEST(TriangleMeshIO, InconsistentAndForeignObjectsAreRefused)
{
  std::mt19937 rng(5);
  const std::string path = tempPath("inconsistent.ply");
  std::remove(path.c_str());
  HandlerPtr h = handlerFor(path);
  ASSERT_NE(h, nullptr);
  // Each damage sets one list to a count that fits neither the vertices nor the triangles.
  using Damage = bool (*)(KEXTriangleMesh&, const KEXTriangleMeshBuffer&);
  using B = const KEXTriangleMeshBuffer&;
  static const Vec3 one(0, 0, 1);
  const std::pair<const char*, Damage> cases[] = {
      {"vertex normal list has", [](KEXTriangleMesh& m, B b) { return m.initVertexNormals(b.getVertexCount() - 1, b.vertexNormalList.begin()); }},
      {"vertex colour list has", [](KEXTriangleMesh& m, B b) {
         return m.initVertexColors(b.getVertexCount() + 1, std::vector<Colour>(size_t(b.getVertexCount() + 1), Colour(0, 0, 0)).data()); }},
      {"triangle colour list has", [](KEXTriangleMesh& m, B b) { return m.initTriangleColors(b.getTriangleCount() - 1, b.triangleColorList.begin()); }},
      {"triangle normal list has", [](KEXTriangleMesh& m, B b) { return b.getTriangleCount() != 1 && m.initTriangleNormals(1, &one); }},
  };
  for (const auto& [list, damage] : cases) {
    ObjectPtr mesh = newMeshObject();
    ASSERT_NE(mesh, nullptr);
    fillRandom(*mesh, rng, 20, 30);
    ASSERT_TRUE(damage(static_cast<KEXTriangleMesh&>(*mesh), snapshot(*mesh))) << list;
    Report report;
    EXPECT_FALSE(h->write(path.c_str(), mesh.get(), report)) << list;
    EXPECT_TRUE(report.kind == Report::Malformed && has(report, list) && has(report, path.c_str())) << report.message;
    EXPECT_FALSE(exists(path) || kexmeshtest::temporaryLeft(path));
  }
  // Objects that are no meshes are refused by both entry points; the base's entry points refuse,
  // as the buffer ones do.
  KEXObject plain;
  KEXGeometryIO base;
  ObjectPtr mesh = newMeshObject();
  const std::pair<KEXGeometryIO*, KEXObject*> refused[] = {{h.get(), &plain}, {h.get(), nullptr}, {&base, mesh.get()}};
  for (const auto& [io, object] : refused) {
    Report write, read;
    EXPECT_FALSE(io->write(path.c_str(), object, write) || io->read(path.c_str(), object, read));
    EXPECT_TRUE(write.kind == Report::Unsupported && read.kind == Report::Unsupported);
    EXPECT_FALSE(exists(path));
  }
}

TEST(TriangleMeshIO, FailedReadsAndWritesLeaveObjectsAndFilesAsTheyWere)
{
  std::mt19937 rng(9);
  const std::string path = tempPath("damaged.ply"), written = tempPath("written.ply");
  HandlerPtr h = handlerFor(path);
  ObjectPtr mesh = newMeshObject(), other = newMeshObject(), big = newMeshObject();
  ASSERT_TRUE(h && mesh && other && big);
  fillRandom(*mesh, rng, 40, 60);
  const KEXTriangleMeshBuffer before = snapshot(*mesh);
  // Malformed files (a count larger than the data, a face that names a missing vertex, garbage)
  // and no file at all (null).
  const std::string vertices = "property float x\nproperty float y\nproperty float z\n";
  const std::string files[] = {"ply\nformat ascii 1.0\nelement vertex 4\n" + vertices + "end_header\n0 0 0\n1 0 0\n",
                               "ply\nformat ascii 1.0\nelement vertex 3\n" + vertices +
                                   "element face 1\nproperty list uchar int vertex_indices\nend_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 7\n",
                               "not a mesh at all\n", ""};
  Report report;
  for (const std::string& text : files) { // the empty one: no file at all
    std::remove(path.c_str());
    if (!text.empty())
      kexmeshtest::writeFile(path, text);
    EXPECT_FALSE(h->read(path.c_str(), mesh.get(), report)) << text;
    EXPECT_TRUE((text.empty() ? report.kind == Report::Unreadable : report.kind != Report::Ok) && !report.message.empty()) << report.message;
    EXPECT_TRUE(sameBuffer(snapshot(*mesh), before));
  }

  // A valid file with colours, while the object's colour list is read-only: refused untouched.
  // (The file's mesh is larger than the lists' first block, so storing it has to allocate.)
  fillRandom(*other, rng, 1500, 2000);
  ASSERT_TRUE(h->write(path.c_str(), other.get(), report)) << report.message;
  const KEXTriangleMeshBuffer fromFile = snapshot(*other);
  KEXProperty* colours = mesh->getProperty(KEX::VertexColorList);
  ASSERT_NE(colours, nullptr);
  KEXProperty::Extension readOnly;
  colours->setExtension(&readOnly);
  EXPECT_FALSE(h->read(path.c_str(), mesh.get(), report));
  colours->setExtension(nullptr);
  EXPECT_TRUE(report.kind == Report::Unsupported && has(report, "vertex colour")) << report.message;
  EXPECT_TRUE(sameBuffer(snapshot(*mesh), before));

  // Memory running short anywhere in a read: the object holds either the file's mesh or its own.
  // Memory gone for good from some point on (sticky): a failed read says when the object could not
  // be restored; otherwise it holds its own mesh. (The big object has more vertices but fewer
  // triangles than the file: storing shrinks one list before another fails to grow, and growing it
  // back fails too.)
  kexTest::ErrorCapture errors;
  bool sawFailure = false, sawRestore = false, sawNoRestore = false, fired = true;
  fillRandom(*big, rng, 3200, 3);
  for (bool sticky : {false, true})
    for (long n = 1; n == 1 || fired; ++n) {
      ObjectPtr target = newMeshObject();
      if (sticky)
        static_cast<KEXTriangleMeshData&>(*target) = static_cast<const KEXTriangleMeshData&>(*big);
      else
        fillRandom(*target, rng, 7, 5);
      const KEXTriangleMeshBuffer own = snapshot(*target);
      kexTest::AllocationFault fault(n, sticky);
      const bool ok = h->read(path.c_str(), target.get(), report);
      fired = fault.fired();
      kexTest::clearAllocationFaults();
      const KEXTriangleMeshBuffer now = snapshot(*target);
      EXPECT_TRUE(ok || fired) << n;
      if (ok) {
        EXPECT_TRUE(sameBuffer(now, fromFile) && (!sticky || !fired)) << n;
      } else if (sticky && has(report, "could not be restored")) {
        sawNoRestore = true;
      } else {
        sawFailure = true, sawRestore |= has(report, "keeps its former mesh");
        EXPECT_TRUE(sameBuffer(now, own)) << "fault at allocation " << n << ": " << report.message;
      }
    }
  EXPECT_TRUE(sawFailure && sawNoRestore && sawRestore) << "a fault while storing the new lists must have been met";

  // Writing with memory short: either a complete file or none, and a reason.
  bool sawTakeFailure = false;
  for (long n = 1; n == 1 || fired; ++n) {
    std::remove(written.c_str());
    kexTest::AllocationFault fault(n);
    const bool ok = h->write(written.c_str(), other.get(), report);
    fired = fault.fired();
    kexTest::clearAllocationFaults();
    EXPECT_TRUE(ok || fired);
    EXPECT_TRUE(ok || !(exists(written) || kexmeshtest::temporaryLeft(written) || report.message.empty())) << n << ": a failed write leaves no file";
    sawTakeFailure |= !ok && has(report, "taking the mesh from the object");
  }
  EXPECT_TRUE(sawTakeFailure);
  ObjectPtr back = newMeshObject();
  ASSERT_TRUE(h->read(written.c_str(), back.get(), report)) << report.message;
  EXPECT_TRUE(sameBuffer(snapshot(*back), fromFile));
  std::remove(written.c_str());
  std::remove(path.c_str());
}

} // namespace
