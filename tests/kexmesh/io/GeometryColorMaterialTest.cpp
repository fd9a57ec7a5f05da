// The material and its sides: the value rules against an independent statement, refused defaults,
// shared sides in copies, and construction when memory runs short.
#include "kexmesh/io/GeometryColorMaterial.h"

#include "kex/Testing.h"
#include "kexmesh/objects/Vocabulary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace {

using RGB = KEXRGB<float>;
using Side = KEXGeometryColorMaterialSide;
using Material = KEXGeometryColorMaterial;

RGB colorOf(const KEXObject& o, KEXenum name)
{
  RGB c(-1.0f, -1.0f, -1.0f);
  EXPECT_TRUE(o.getValue(name, c)) << name.getString();
  return c;
}

float floatOf(const KEXObject& o, KEXenum name)
{
  float f = -1.0f;
  EXPECT_TRUE(o.getValue(name, f)) << name.getString();
  return f;
}

void expectSide(const KEXObject& side, const Material::SideDefaults& d)
{
  EXPECT_EQ(colorOf(side, KEX::AmbientColor), d.ambientColor);
  EXPECT_EQ(colorOf(side, KEX::DiffuseColor), d.diffuseColor);
  EXPECT_EQ(colorOf(side, KEX::SpecularColor), d.specularColor);
  EXPECT_EQ(colorOf(side, KEX::EmissionColor), d.emissionColor);
  EXPECT_EQ(floatOf(side, KEX::AmbientIntensity), d.ambientIntensity);
  EXPECT_EQ(floatOf(side, KEX::DiffuseIntensity), d.diffuseIntensity);
  EXPECT_EQ(floatOf(side, KEX::SpecularIntensity), d.specularIntensity);
  EXPECT_EQ(floatOf(side, KEX::EmissionIntensity), d.emissionIntensity);
  EXPECT_EQ(floatOf(side, KEX::Shininess), d.shininess);
}

// Independent statement of the rules, to compare the properties against.
bool unitComponent(float x) { return !std::isnan(x) && x >= 0.0f && x <= 1.0f; }

} // namespace

TEST(GeometryColorMaterialSide, PropertiesAcceptExactlyTheValuesTheirRulesAllow)
{
  Side side;
  const float specials[] = {0.0f, 1.0f, 0.5f, -0.0f, -1e-7f, 1.0000001f, 2.0f, -3.0f,
                            std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), 1e-30f, 80.0f};
  std::mt19937 rng(7);
  auto pick = [&] { return specials[rng() % (sizeof(specials) / sizeof(specials[0]))]; };
  for (int round = 0; round < 400; ++round) {
    // Colours: the value is stored exactly when every component is finite and in 0 ... 1.
    for (KEXenum name : {KEX::AmbientColor, KEX::DiffuseColor, KEX::SpecularColor, KEX::EmissionColor}) {
      const RGB before = colorOf(side, name), value(pick(), pick(), pick());
      const bool expected = unitComponent(value.r) && unitComponent(value.g) && unitComponent(value.b);
      EXPECT_EQ(side.setValue(name, value), expected);
      EXPECT_EQ(colorOf(side, name), expected ? value : before);
    }
    // Intensities: finite. Shininess: greater than 0.
    for (KEXenum name : {KEX::AmbientIntensity, KEX::DiffuseIntensity, KEX::SpecularIntensity,
                         KEX::EmissionIntensity, KEX::Shininess}) {
      const float before = floatOf(side, name), value = pick();
      const bool expected = name == KEX::Shininess ? value > 0.0f : std::isfinite(value);
      EXPECT_EQ(side.setValue(name, value), expected);
      const float now = floatOf(side, name);
      EXPECT_TRUE(expected ? now == value : (now == before || (std::isnan(now) && std::isnan(before))));
    }
  }
}

TEST(GeometryColorMaterialSide, ARefusedDefaultResetsTheDataToTheFormerDefault)
{
  Side side;
  auto* shininess = dynamic_cast<Side::FloatAttr*>(side.getProperty(KEX::Shininess));
  auto* diffuse = dynamic_cast<Side::ColorAttr*>(side.getProperty(KEX::DiffuseColor));
  ASSERT_NE(shininess, nullptr);
  ASSERT_NE(diffuse, nullptr);

  ASSERT_TRUE(shininess->setValue(12.0f));
  EXPECT_FALSE(shininess->setDefault(0.0f));
  EXPECT_EQ(floatOf(side, KEX::Shininess), 4.0f);
  EXPECT_TRUE(shininess->setDefault(30.0f));
  ASSERT_TRUE(shininess->setValue(2.0f));
  ASSERT_TRUE(shininess->reset());
  EXPECT_EQ(floatOf(side, KEX::Shininess), 30.0f);

  ASSERT_TRUE(diffuse->setValue(RGB(0.1f, 0.2f, 0.3f)));
  EXPECT_FALSE(diffuse->setDefault(RGB(0.5f, std::numeric_limits<float>::quiet_NaN(), 0.5f)));
  EXPECT_EQ(colorOf(side, KEX::DiffuseColor), RGB());
}

TEST(GeometryColorMaterial, CopyingCopiesBothLinks)
{
  auto* original = new Material;
  Side* front = original->getFrontFace();
  Side* back = original->getBackFace();
  ASSERT_NE(front, nullptr);
  Material copy(*original);
  Material assigned;
  Side* ownFront = assigned.getFrontFace();
  ASSERT_NE(ownFront, front);
  assigned = *original;
  for (const Material* m : {&copy, &assigned}) {
    EXPECT_EQ(m->getFrontFace(), front);
    EXPECT_EQ(m->getBackFace(), back);
  }
  EXPECT_EQ(front->getRefCount(), 3);
  // A change through one material is seen through the other: the side is shared.
  ASSERT_TRUE(front->setValue(KEX::DiffuseColor, RGB(0.0f, 1.0f, 0.0f)));
  original->release();
  EXPECT_EQ(front->getRefCount(), 2);
  EXPECT_EQ(colorOf(*copy.getFrontFace(), KEX::DiffuseColor), RGB(0.0f, 1.0f, 0.0f));
}

// Every allocation of a construction fails once in turn: the object reports OutOfMemory (or is not
// created at all), what it holds stays usable, and nothing leaks.
TEST(GeometryColorMaterial, EveryAllocationFailureIsReportedAndLeavesNothingBehind)
{
  for (const char* className : {"KEXGeometryColorMaterial", "KEXGeometryColorMaterialSide"}) {
    const KEXMetaClass* meta = KEXMetaClass::find(className);
    ASSERT_NE(meta, nullptr);
    int failures = 0;
    for (long n = 1; n < 200; ++n) {
      const long live = kexTest::liveAllocations();
      kexTest::ErrorCapture errors;
      bool fired = false;
      KEXObject* object = nullptr;
      {
        kexTest::AllocationFault fault(n);
        object = dynamic_cast<KEXObject*>(meta->create());
        fired = fault.fired();
      }
      if (!fired) {
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(errors.count(), 0u) << className;
        object->release();
        break;
      }
      ++failures;
      if (object) {
        EXPECT_TRUE(errors.has(KEX::OutOfMemory, object)) << className << " fault " << n;
        if (auto* material = dynamic_cast<Material*>(object)) {
          // A side that is linked is complete.
          if (Side* s = material->getFrontFace())
            expectSide(*s, Material::frontDefaults());
          if (Side* s = material->getBackFace())
            expectSide(*s, Material::backDefaults());
        }
        object->release();
      }
      EXPECT_EQ(kexTest::liveAllocations(), live) << className << " fault " << n;
    }
    EXPECT_GE(failures, 2) << className;
  }
}
