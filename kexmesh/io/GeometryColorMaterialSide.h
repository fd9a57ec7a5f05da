#pragma once
// KEXGeometryColorMaterialSide: the colours a renderer uses for one side (front or back) of a
// triangle mesh under the Phong reflection model: four colours with their intensities and the
// specular exponent. Its state is nothing but its nine properties, in this order:
// AmbientColor, DiffuseColor, SpecularColor, EmissionColor (KEXRGB<float>, white),
// AmbientIntensity, DiffuseIntensity, SpecularIntensity, EmissionIntensity (float, 1) and
// Shininess (float, 4).
//
// Each property refuses values that would make a picture meaningless: colour components must be
// finite and within 0 ... 1, intensities finite, the shininess greater than 0.
#include "kex/Object.h"
#include "kex/Properties.h"
#include "kex/Values.h"
#include "kexmesh/core/ClassRegistration.h"

class KEXGeometryColorMaterialSide : public KEXObject {
  KEXMESH_DECLARE_CLASS(KEXGeometryColorMaterialSide)

public:
  /// A single-value property with a value rule. check() applies the rule to new values;
  /// setDefault() applies it to new defaults as well.
  template <class T>
  class CheckedValueAttr : public KEXSingleValueOP<KEXSingleValuePropertyIF<T>, T>, public KEXClassMember {
  public:
    using KEXClassMember::operator new;
    using KEXClassMember::operator delete;
    using Base = KEXSingleValueOP<KEXSingleValuePropertyIF<T>, T>;
    using Rule = bool (*)(const T&);
    CheckedValueAttr(const T& defaultValue, Rule rule) : Base(defaultValue), m_rule(rule) {}
    unsigned int check(const T& value) const override { return m_rule(value) ? KEX_CHECK_ACCEPTED : 0u; }
    /// Makes value the default restored by reset(). A value the rule refuses, or one that cannot be
    /// stored, leaves the default as it was and resets the property's data to it instead.
    /// \return false when the default was refused.
    bool setDefault(const T& value)
    {
      if (m_rule(value) && Base::setDefault(value))
        return true;
      this->reset();
      return false;
    }

  private:
    Rule m_rule;
  };
  using ColorAttr = CheckedValueAttr<KEXRGB<float>>;
  using FloatAttr = CheckedValueAttr<float>;

  /// A colour's rule: every component finite and within 0 ... 1.
  static bool isValidColor(const KEXRGB<float>& color);
  /// An intensity's rule: finite.
  static bool isValidIntensity(const float& intensity);
  /// The shininess rule: greater than 0.
  static bool isValidShininess(const float& shininess);

  /// The nine properties with their construction defaults. A missing private part is reported as
  /// OutOfMemory, a failed registration with its code; the object then lacks those properties.
  KEXGeometryColorMaterialSide();
  /// Copies the values of the nine properties.
  KEXGeometryColorMaterialSide(const KEXGeometryColorMaterialSide& other);
  KEXGeometryColorMaterialSide& operator=(const KEXGeometryColorMaterialSide& other);
  ~KEXGeometryColorMaterialSide() override;

  /// Level 0: GeometryColorMaterialSide (registered under "kexmesh" with the vocabulary on first
  /// use); deeper levels ask KEXObject.
  KEXenum getObjectID(int level) const override;

  /// The nine property names in registration order.
  static const KEXenum* propertyNames(int& count);

private:
  struct Private;
  void construct();
  void copyValues(const KEXGeometryColorMaterialSide& other);
  Private* m_private = nullptr;
};
