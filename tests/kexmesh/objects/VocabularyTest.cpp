// Library registration: the vocabulary, its initialisation, the class registry and the locate hook.
#include "kex/Testing.h"
#include "kexmesh/objects/LibraryInit.h"
#include "kexmesh/objects/Vocabulary.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(Vocabulary, EveryNameIsRegisteredOnceUnderTheLibraryModule)
{
  ASSERT_TRUE(__kexmesh_enum_init() && __kexmesh_enum_init());
  std::set<std::string> seen;
  for (int i = 0; i < KEXMesh::VOCABULARY_SIZE; ++i) {
    const char* name = KEXMesh::vocabularyName(i);
    ASSERT_NE(name, nullptr);
    EXPECT_TRUE(seen.insert(name).second && kexTest::enumRegistrationCount(name, "kexmesh") == 1 && kexTest::enumRegistered(name, "kexmesh")) << name;
  }
  EXPECT_TRUE(seen.size() == 110u && KEXMesh::vocabularyName(110) == nullptr && KEXMesh::vocabularyName(-1) == nullptr);
  // The framework's own names are not the library's to register.
  for (const char* name : {"VertexList", "BoundingBox", "Geometry", "PropertyMessage", "NoError", "Unknown"})
    EXPECT_EQ(kexTest::enumRegistrationCount(name, "kexmesh"), 0) << name;
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
  EXPECT_TRUE(__kexmesh_enum_init() && KEXMesh::testing::enumInitDone());
  for (int i = 0; i < KEXMesh::VOCABULARY_SIZE; ++i)
    EXPECT_EQ(kexTest::enumRegistrationCount(KEXMesh::vocabularyName(i), "kexmesh"), 1);
}

} // namespace
