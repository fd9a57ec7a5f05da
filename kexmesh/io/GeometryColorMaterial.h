#pragma once
// KEXGeometryColorMaterial: draws a triangle mesh with plain colours, one side object for the
// front faces and one for the back faces. Its two parent-link properties FrontFace and BackFace
// each link to a KEXGeometryColorMaterialSide that the material creates by class name with its
// defaults: blue in front, red at the back, so that a patch whose triangles face inwards is seen
// at once.
#include "kex/Object.h"
#include "kex/Values.h"
#include "kexmesh/core/ClassRegistration.h"
#include "kexmesh/io/GeometryColorMaterialSide.h"

class KEXGeometryColorMaterial : public KEXGeometryMaterial {
  KEXMESH_DECLARE_CLASS(KEXGeometryColorMaterial)

public:
  /// The nine values a side gets when the material creates it.
  struct SideDefaults {
    KEXRGB<float> ambientColor, diffuseColor, specularColor, emissionColor;
    float ambientIntensity, diffuseIntensity, specularIntensity, emissionIntensity, shininess;
  };
  static const SideDefaults& frontDefaults();
  static const SideDefaults& backDefaults();

  /// Creates the link record and both sides with their defaults. A record that cannot be allocated,
  /// a link that cannot be registered or a side that cannot be created is reported as OutOfMemory
  /// for the material; a side that is not complete is dropped and leaves its link empty.
  KEXGeometryColorMaterial();
  /// Copies both links: the copy draws with the same side objects.
  KEXGeometryColorMaterial(const KEXGeometryColorMaterial& other);
  KEXGeometryColorMaterial& operator=(const KEXGeometryColorMaterial& other);
  ~KEXGeometryColorMaterial() override;

  /// Level 0: GeometryColorMaterial (registered under "kexmesh" with the vocabulary on first use);
  /// deeper levels ask KEXGeometryMaterial.
  KEXenum getObjectID(int level) const override;

  /// The side linked by FrontFace (BackFace), or null when the link is empty or holds another kind
  /// of object. The link keeps the side alive; take a reference to keep it longer.
  KEXGeometryColorMaterialSide* getFrontFace() const;
  KEXGeometryColorMaterialSide* getBackFace() const;

  /// Writes the nine defaults into side through the property interface; false when one is refused.
  static bool applyDefaults(KEXObject& side, const SideDefaults& defaults);

private:
  struct Private;
  bool registerLinks();
  void createSideDefault(KEXenum face, const SideDefaults& defaults);
  void copyLinks(const KEXGeometryColorMaterial& other);
  KEXGeometryColorMaterialSide* sideOf(KEXenum face) const;
  Private* m_private = nullptr;
};
