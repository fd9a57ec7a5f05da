// A two-sided colour material. The sides are separate objects reached through parent links so that
// a host can share one side between materials or replace it; the material only creates the
// defaults and keeps the links.
#include "kexmesh/io/GeometryColorMaterial.h"

#include "kex/Error.h"
#include "kex/Properties.h"
#include "kexmesh/objects/Vocabulary.h"

KEXMESH_DEFINE_CLASS(KEXGeometryColorMaterial, KEXGeometryMaterial)

struct KEXGeometryColorMaterial::Private : KEXClassMember {
  KEXObjectParentLinkOP frontFace;
  KEXObjectParentLinkOP backFace;
};

const KEXGeometryColorMaterial::SideDefaults& KEXGeometryColorMaterial::frontDefaults()
{
  static const SideDefaults d{{0.0f, 0.0f, 1.0f}, {0.0f, 0.2f, 1.0f}, {1.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 1.0f}, 0.2f,
                              0.7f,               0.5f,               0.2f,               80.0f};
  return d;
}

const KEXGeometryColorMaterial::SideDefaults& KEXGeometryColorMaterial::backDefaults()
{
  static const SideDefaults d{{1.0f, 0.0f, 0.0f}, {1.0f, 0.2f, 0.0f}, {1.0f, 1.0f, 1.0f}, {1.0f, 0.0f, 0.0f}, 0.2f,
                              0.7f,               0.5f,               0.2f,               80.0f};
  return d;
}

bool KEXGeometryColorMaterial::applyDefaults(KEXObject& side, const SideDefaults& d)
{
  bool ok = side.setValue(KEX::AmbientColor, d.ambientColor);
  ok = side.setValue(KEX::DiffuseColor, d.diffuseColor) && ok;
  ok = side.setValue(KEX::SpecularColor, d.specularColor) && ok;
  ok = side.setValue(KEX::EmissionColor, d.emissionColor) && ok;
  ok = side.setValue(KEX::AmbientIntensity, d.ambientIntensity) && ok;
  ok = side.setValue(KEX::DiffuseIntensity, d.diffuseIntensity) && ok;
  ok = side.setValue(KEX::SpecularIntensity, d.specularIntensity) && ok;
  ok = side.setValue(KEX::EmissionIntensity, d.emissionIntensity) && ok;
  return side.setValue(KEX::Shininess, d.shininess) && ok;
}

KEXGeometryColorMaterial::KEXGeometryColorMaterial()
{
  if (!registerLinks())
    return;
  createSideDefault(KEX::FrontFace, frontDefaults());
  createSideDefault(KEX::BackFace, backDefaults());
}

KEXGeometryColorMaterial::KEXGeometryColorMaterial(const KEXGeometryColorMaterial& other) : KEXGeometryMaterial(other)
{
  if (registerLinks())
    copyLinks(other);
}

KEXGeometryColorMaterial& KEXGeometryColorMaterial::operator=(const KEXGeometryColorMaterial& other)
{
  if (this != &other) {
    KEXGeometryMaterial::operator=(other);
    copyLinks(other);
  }
  return *this;
}

KEXGeometryColorMaterial::~KEXGeometryColorMaterial() { delete m_private; }

bool KEXGeometryColorMaterial::registerLinks()
{
  m_private = new Private;
  if (!m_private) {
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
    return false;
  }
  if (addProperty(KEX::FrontFace, &m_private->frontFace) != KEX::NoError ||
      addProperty(KEX::BackFace, &m_private->backFace) != KEX::NoError) {
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
    return false;
  }
  return true;
}

void KEXGeometryColorMaterial::createSideDefault(KEXenum face, const SideDefaults& defaults)
{
  // By class name, as a host would: a host may have replaced the side class.
  const KEXMetaClass* meta = KEXMetaClass::find("KEXGeometryColorMaterialSide");
  KEXClass* created = meta ? meta->create() : nullptr;
  auto* side = dynamic_cast<KEXObject*>(created);
  if (!side) {
    if (created)
      meta->destruct(created, true);
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
    return;
  }
  // The table passes every rule, so a refusal means the side could not register its properties:
  // a side without them would draw nothing sensible, so the link stays empty.
  if (!applyDefaults(*side, defaults)) {
    side->release();
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
    return;
  }
  setValue(face, KEXObjectLink(side, KEX::Unknown));
  side->release(); // the link holds the side now
}

void KEXGeometryColorMaterial::copyLinks(const KEXGeometryColorMaterial& other)
{
  if (!m_private || !other.m_private)
    return;
  KEXObjectLink link;
  if (other.m_private->frontFace.getValue(link))
    m_private->frontFace.setValue(link);
  if (other.m_private->backFace.getValue(link))
    m_private->backFace.setValue(link);
}

KEXGeometryColorMaterialSide* KEXGeometryColorMaterial::sideOf(KEXenum face) const
{
  KEXObjectLink link;
  if (!getValue(face, link))
    return nullptr;
  return dynamic_cast<KEXGeometryColorMaterialSide*>(link.get());
}

KEXGeometryColorMaterialSide* KEXGeometryColorMaterial::getFrontFace() const { return sideOf(KEX::FrontFace); }

KEXGeometryColorMaterialSide* KEXGeometryColorMaterial::getBackFace() const { return sideOf(KEX::BackFace); }

KEXenum KEXGeometryColorMaterial::getObjectID(int level) const
{
  // The name belongs to the library's vocabulary, which registers it once under "kexmesh".
  static const bool registered = __kexmesh_enum_init();
  (void)registered;
  return level == 0 ? KEX::GeometryColorMaterial : KEXGeometryMaterial::getObjectID(level - 1);
}
