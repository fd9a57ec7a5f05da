// The nine Phong properties of one side of a colour material. The object is only a holder: the
// rules live in the properties, so every writer (host, material defaults, the tool) meets the same
// checks.
#include "kexmesh/io/GeometryColorMaterialSide.h"

#include "kex/Error.h"
#include "kexmesh/objects/internal/ObjectMembers.h"
#include "kexmesh/objects/Vocabulary.h"

#include <cmath>

KEXMESH_DEFINE_CLASS(KEXGeometryColorMaterialSide, KEXObject)

bool KEXGeometryColorMaterialSide::isValidColor(const KEXRGB<float>& c)
{
  // Written as "within" tests so that NaN fails them.
  auto unit = [](float x) { return x >= 0.0f && x <= 1.0f; };
  return unit(c.r) && unit(c.g) && unit(c.b);
}

bool KEXGeometryColorMaterialSide::isValidIntensity(const float& intensity) { return std::isfinite(intensity); }

bool KEXGeometryColorMaterialSide::isValidShininess(const float& shininess) { return shininess > 0.0f; }

struct KEXGeometryColorMaterialSide::Private : KEXClassMember {
  ColorAttr ambientColor{KEXRGB<float>(), &isValidColor};
  ColorAttr diffuseColor{KEXRGB<float>(), &isValidColor};
  ColorAttr specularColor{KEXRGB<float>(), &isValidColor};
  ColorAttr emissionColor{KEXRGB<float>(), &isValidColor};
  FloatAttr ambientIntensity{1.0f, &isValidIntensity};
  FloatAttr diffuseIntensity{1.0f, &isValidIntensity};
  FloatAttr specularIntensity{1.0f, &isValidIntensity};
  FloatAttr emissionIntensity{1.0f, &isValidIntensity};
  FloatAttr shininess{4.0f, &isValidShininess};

  KEXProperty* at(int i)
  {
    KEXProperty* all[9] = {&ambientColor,     &diffuseColor,      &specularColor,     &emissionColor, &ambientIntensity,
                           &diffuseIntensity, &specularIntensity, &emissionIntensity, &shininess};
    return all[i];
  }
};

namespace {
const KEXenum g_names[9] = {KEX::AmbientColor,     KEX::DiffuseColor,      KEX::SpecularColor,
                            KEX::EmissionColor,    KEX::AmbientIntensity,  KEX::DiffuseIntensity,
                            KEX::SpecularIntensity, KEX::EmissionIntensity, KEX::Shininess};
} // namespace

const KEXenum* KEXGeometryColorMaterialSide::propertyNames(int& count)
{
  count = 9;
  return g_names;
}

KEXMESH_DEFINE_OBJECT_COPIES(KEXGeometryColorMaterialSide, KEXObject)

void KEXGeometryColorMaterialSide::construct()
{
  if (!kexmeshobjects::createPrivate(*this, m_private, KEX::OutOfMemory))
    return;
  for (int i = 0; i < 9; ++i) {
    KEXenum code = addProperty(g_names[i], m_private->at(i));
    if (code != KEX::NoError) {
      KEXError::emitError(KEXError::Message(this, code));
      return;
    }
  }
}

void KEXGeometryColorMaterialSide::copyValues(const KEXGeometryColorMaterialSide& other)
{
  if (!m_private || !other.m_private)
    return;
  // The source's values passed its own rules, which are ours, so every write is accepted.
  for (int i = 0; i < 4; ++i) {
    KEXRGB<float> c;
    if (other.getValue(g_names[i], c))
      setValue(g_names[i], c);
  }
  for (int i = 4; i < 9; ++i) {
    float f = 0.0f;
    if (other.getValue(g_names[i], f))
      setValue(g_names[i], f);
  }
}

KEXenum KEXGeometryColorMaterialSide::getObjectID(int level) const
{
  // The name belongs to the library's vocabulary, which registers it once under "kexmesh".
  static const bool registered = __kexmesh_enum_init();
  (void)registered;
  return level == 0 ? KEX::GeometryColorMaterialSide : KEXObject::getObjectID(level - 1);
}
