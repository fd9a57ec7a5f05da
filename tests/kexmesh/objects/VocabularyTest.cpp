// Library registration: the vocabulary, its initialisation, the class registry and the locate hook.
#include "kex/Testing.h"
#include "kexmesh/objects/LibraryInit.h"
#include "kexmesh/objects/Vocabulary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

TEST(Vocabulary, EveryNameIsRegisteredOnceUnderTheLibraryModule)
{
  ASSERT_TRUE(__kexmesh_enum_init());
  ASSERT_TRUE(__kexmesh_enum_init());
  std::set<std::string> seen;
  for (int i = 0; i < KEXMesh::VOCABULARY_SIZE; ++i) {
    const char* name = KEXMesh::vocabularyName(i);
    ASSERT_NE(name, nullptr);
    EXPECT_TRUE(seen.insert(name).second) << name;
    EXPECT_EQ(kexTest::enumRegistrationCount(name, "kexmesh"), 1) << name;
    EXPECT_TRUE(kexTest::enumRegistered(name, "kexmesh")) << name;
  }
  EXPECT_EQ(seen.size(), 110u);
  EXPECT_EQ(KEXMesh::vocabularyName(110), nullptr);
  EXPECT_EQ(KEXMesh::vocabularyName(-1), nullptr);
  EXPECT_STREQ(KEXMesh::vocabularyName(0), "ActionList");
  EXPECT_STREQ(KEXMesh::vocabularyName(96), "Normalize");
  EXPECT_STREQ(KEXMesh::vocabularyName(109), "VolumeCapacity");
  // The framework's own names are not the library's to register.
  for (const char* name : {"VertexList", "BoundingBox", "Geometry", "PropertyMessage", "NoError", "Unknown"}) {
    EXPECT_EQ(kexTest::enumRegistrationCount(name, "kexmesh"), 0) << name;
  }
}

TEST(Vocabulary, ConstantsCompareByName)
{
  static_assert(KEX::TriangleList.getString() != nullptr);
  EXPECT_EQ(KEX::TriangleList, KEXenum("TriangleList"));
  EXPECT_NE(KEX::TriangleList, KEX::TriangleNormalList);
  EXPECT_STREQ(KEX::Degree.getString(), "Degree");
  std::string copy = "InvalidTriangleMesh";
  EXPECT_EQ(KEX::InvalidTriangleMesh, KEXenum(copy.c_str())) << "equal by name, not by address";
}

TEST(Vocabulary, InitialisationRetriesAfterAFailedDependency)
{
  ASSERT_TRUE(KEXMesh::testing::enumInitDone());
  KEXMesh::testing::forgetEnumInitDone();
  kexTest::failNextKexEnumInit();
  EXPECT_TRUE(__kexmesh_enum_init()) << "always true";
  EXPECT_FALSE(KEXMesh::testing::enumInitDone()) << "a failed dependency leaves the flag clear";
  // The next call runs the dependencies again: it consumes this pending failure.
  kexTest::failNextKexEnumInit();
  EXPECT_TRUE(__kexmesh_enum_init());
  EXPECT_TRUE(__kex_enum_init()) << "the dependency was asked again";
  EXPECT_TRUE(__kexmesh_enum_init());
  EXPECT_TRUE(KEXMesh::testing::enumInitDone());
  for (int i = 0; i < KEXMesh::VOCABULARY_SIZE; ++i) {
    EXPECT_EQ(kexTest::enumRegistrationCount(KEXMesh::vocabularyName(i), "kexmesh"), 1);
  }
}

TEST(ClassRegistry, RegisteredClassesKnowTheirParentsAndModule)
{
  const struct {
    const char* name;
    const char* parent;
    bool required; // classes of this folder; the others are checked when they exist
  } classes[] = {
      {"KEXTriangleMeshAlgorithmIF", "KEXClass", true},
      {"KEXTriangleMesh", "KEXGeometry", true},
      {"KEXTriangleMeshData", "KEXTriangleMesh", true},
      {"KEXTriangleMeshReference", "KEXTriangleMesh", true},
      {"KEXTriangleArrayPropertyIF", "KEXProperty", true},
      {"KEXTriangleListOP", "KEXTriangleArrayPropertyIF", true},
      {"KEXVector2ListOP", "KEXValueArrayPropertyIF<KEXVector2<float>>", true},
      {"KEXVector3ListOP", "KEXValueArrayPropertyIF<KEXVector3<float>>", true},
      {"KEXRGBAListOP", "KEXValueArrayPropertyIF<KEXRGBA<float>>", true},
      {"KEXEdgeFlagListOP", "KEXValueArrayPropertyIF<int>", true},
      {"KEXTriangleMeshAction", "KEXAction", true},
      {"KEXTriangleMeshAction::Parameters", "KEXParameterClass", true},
      {"KEXGeometryFilter", "KEXFilter", true},
      {"KEXTriangleMeshFilter", "KEXGeometryFilter", true},
      {"KEXCalculateTriangleNormalsAlgorithm", "KEXTriangleMeshAlgorithmIF", false},
      {"KEXCalculateVertexNormalsAlgorithm", "KEXTriangleMeshAlgorithmIF", false},
      {"KEXFlipOrientationAlgorithm", "KEXTriangleMeshAlgorithmIF", false},
      {"KEXHarmonizeTriangleNormalsAlgorithm", "KEXTriangleMeshAlgorithmIF", false},
      {"KEXHarmonizeVertexNormalsAlgorithm", "KEXTriangleMeshAlgorithmIF", false},
      {"KEXTransformVertexListAlgorithm", "KEXTriangleMeshAlgorithmIF", false},
      {"KEXCheckTriangleMeshAlgorithm", "KEXTriangleMeshAlgorithmIF", false},
      {"KEXClusterVerticesAlgorithm", "KEXTriangleMeshAlgorithmIF", false},
      {"KEXFixTriangleMesh", "KEXTriangleMeshFilter", false},
      {"KEXTriangleMeshIO", "KEXGeometryIO", false},
  };
  for (const auto& c : classes) {
    const KEXMetaClass* m = KEXMetaClass::find(c.name);
    if (!m) {
      EXPECT_FALSE(c.required) << c.name << " is not registered";
      continue;
    }
    ASSERT_NE(m->getParent(), nullptr) << c.name;
    EXPECT_STREQ(m->getParent()->getClassName(), c.parent) << c.name;
    EXPECT_STREQ(m->getModule(), "kexmesh") << c.name;
    EXPECT_FALSE(m->isSingleton()) << c.name;
  }
}

TEST(LocateHook, ExactNamesBindTheirModule)
{
  KEXMesh::LibraryInit::LocateHook hook; // a second hook of the same kind, asked directly
  kexTest::clearPluginBindLog();
  EXPECT_TRUE(hook.locate("KEXTriangleMeshIOSTL"));
  std::vector<kexTest::BindCall> log = kexTest::pluginBindLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].module, "kexmeshiostl");
  EXPECT_EQ(log[0].name, "");
  EXPECT_TRUE(log[0].flag);

  kexTest::clearPluginBindLog();
  EXPECT_FALSE(hook.locate("KEXTriangleMeshIOSTLX"));
  EXPECT_FALSE(hook.locate("KEXTriangleMeshIOST"));
  EXPECT_FALSE(hook.locate("kextrianglemeshiostl"));
  EXPECT_FALSE(hook.locate(""));
  EXPECT_FALSE(hook.locate(nullptr));
  EXPECT_TRUE(kexTest::pluginBindLog().empty()) << "near misses bind nothing";

  // Every class of the one table is found by its exact name; spot checks pin a few modules.
  int count = 0;
  const KEXMesh::LibraryInit::ModuleEntry* table = KEXMesh::LibraryInit::moduleTable(count);
  EXPECT_GE(count, 17);
  for (int i = 0; i < count; ++i) {
    EXPECT_STREQ(KEXMesh::LibraryInit::LocateHook::moduleFor(table[i].className), table[i].module)
        << table[i].className;
  }
  EXPECT_STREQ(KEXMesh::LibraryInit::LocateHook::moduleFor("KEXTriangleMeshIOPLY"), "kexmeshioply");
  EXPECT_STREQ(KEXMesh::LibraryInit::LocateHook::moduleFor("KEXTriangleMeshIOXYZ"), "kexmeshioxyz");
  EXPECT_STREQ(KEXMesh::LibraryInit::LocateHook::moduleFor("KEXTriangleMeshMpr"), "kexddtrianglemeshmpr");
}

TEST(LocateHook, TheLibraryHookAnswersTheFramework)
{
  // A name no module defines: the framework asks the library's hook, which binds the module once
  // per request; the plug-in manager loads (or misses) it once.
  kexTest::clearPluginBindLog();
  EXPECT_EQ(KEXMetaClass::find("KEXTriangleMeshIOXML"), nullptr);
  std::vector<kexTest::BindCall> log = kexTest::pluginBindLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].module, "kexmeshioxml");
  EXPECT_FALSE(kexTest::pluginLoaded("kexmeshioxml"));

  kexTest::clearPluginBindLog();
  EXPECT_EQ(KEXMetaClass::find("KEXTriangleMeshIOXMLs"), nullptr);
  EXPECT_TRUE(kexTest::pluginBindLog().empty());

  // The STL handler: whether or not its module is built, exactly one bind names it.
  kexTest::clearPluginBindLog();
  KEXMetaClass::find("KEXTriangleMeshIOSTL");
  log = kexTest::pluginBindLog();
  ASSERT_LE(log.size(), 1u);
  if (!log.empty()) {
    EXPECT_EQ(log[0].module, "kexmeshiostl");
  } else {
    EXPECT_NE(KEXMetaClass::find("KEXTriangleMeshIOSTL"), nullptr) << "only a known class skips the hook";
  }
}

} // namespace
