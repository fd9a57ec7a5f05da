#pragma once
// Names of the framework: properties, actions, settings and error codes are identified by a
// KEXenum, a name compared by value. KEXRegisteredEnum registers a name under a module.
#include <cstddef>
#include <cstring>
#include <functional>
#include <initializer_list>

class KEXenum {
public:
  constexpr KEXenum() = default;
  constexpr explicit KEXenum(const char* name) : m_name(name) {}

  /// The name, or null for the default (invalid) enum.
  constexpr const char* getString() const { return m_name; }
  constexpr bool isValid() const { return m_name != nullptr; }

  bool operator==(const KEXenum& other) const
  {
    if (m_name == other.m_name)
      return true;
    return m_name && other.m_name && std::strcmp(m_name, other.m_name) == 0;
  }
  bool operator!=(const KEXenum& other) const { return !(*this == other); }

private:
  const char* m_name = nullptr;
};

template <>
struct std::hash<KEXenum> {
  size_t operator()(const KEXenum& e) const noexcept
  {
    size_t h = 1469598103934665603ull;
    for (const char* p = e.getString(); p && *p; ++p)
      h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
    return h;
  }
};

/// Registers a name under a module for the lifetime of this object (released in the destructor).
class KEXRegisteredEnum {
public:
  KEXRegisteredEnum(const char* name, unsigned int flag, const char* module);
  ~KEXRegisteredEnum();
  KEXRegisteredEnum(const KEXRegisteredEnum&) = delete;
  KEXRegisteredEnum& operator=(const KEXRegisteredEnum&) = delete;
  operator KEXenum() const { return KEXenum(m_name); }
  KEXenum get() const { return KEXenum(m_name); }

private:
  const char* m_name;
  const char* m_module;
};

/// An ordered set of enums, e.g. the accepted values of an enum-valued property.
class KEXEnumSet {
public:
  KEXEnumSet(const char* name, std::initializer_list<KEXenum> items);
  const char* getName() const { return m_name; }
  bool contains(const KEXenum& e) const;
  int getCount() const { return m_count; }
  KEXenum getItem(int i) const { return (i >= 0 && i < m_count) ? m_items[i] : KEXenum(); }

private:
  static constexpr int MaxItems = 16;
  const char* m_name;
  KEXenum m_items[MaxItems];
  int m_count = 0;
};

/// Registers the framework's own vocabulary; returns false when it could not.
bool __kex_enum_init();

// The framework's vocabulary. Constant-initialised, so usable from any static initialiser.
namespace KEX {
#define KEX_FRAMEWORK_ENUM(name) inline constexpr KEXenum name{#name};
KEX_FRAMEWORK_ENUM(NoError)
KEX_FRAMEWORK_ENUM(GenericError)
KEX_FRAMEWORK_ENUM(OutOfMemory)
KEX_FRAMEWORK_ENUM(InvalidValue)
KEX_FRAMEWORK_ENUM(InvalidIndex)
KEX_FRAMEWORK_ENUM(InvalidOperation)
KEX_FRAMEWORK_ENUM(Error)
KEX_FRAMEWORK_ENUM(Warning)
KEX_FRAMEWORK_ENUM(Unknown)
KEX_FRAMEWORK_ENUM(Unchanged)
KEX_FRAMEWORK_ENUM(VertexList)
KEX_FRAMEWORK_ENUM(BoundingBox)
KEX_FRAMEWORK_ENUM(OrientedBoundingBox)
KEX_FRAMEWORK_ENUM(MeanSamplingDistance)
KEX_FRAMEWORK_ENUM(GeometryRenderer)
KEX_FRAMEWORK_ENUM(GeometryMaterial)
KEX_FRAMEWORK_ENUM(TransformMatrix)
KEX_FRAMEWORK_ENUM(Geometry)
KEX_FRAMEWORK_ENUM(Filter)
KEX_FRAMEWORK_ENUM(FirstSource)
KEX_FRAMEWORK_ENUM(SecondSource)
KEX_FRAMEWORK_ENUM(FirstDestination)
KEX_FRAMEWORK_ENUM(SecondDestination)
KEX_FRAMEWORK_ENUM(PropertyMessage)
KEX_FRAMEWORK_ENUM(Quantity)
KEX_FRAMEWORK_ENUM(Length)
KEX_FRAMEWORK_ENUM(Angle)
KEX_FRAMEWORK_ENUM(Fastest)
KEX_FRAMEWORK_ENUM(Normal)
KEX_FRAMEWORK_ENUM(Advanced)
KEX_FRAMEWORK_ENUM(Nicest)
KEX_FRAMEWORK_ENUM(Linear)
KEX_FRAMEWORK_ENUM(Cubic)
KEX_FRAMEWORK_ENUM(Off)
KEX_FRAMEWORK_ENUM(IsoValue)
KEX_FRAMEWORK_ENUM(InterpolationMode)
KEX_FRAMEWORK_ENUM(SampleGrid)
KEX_FRAMEWORK_ENUM(SampleMaskList)
KEX_FRAMEWORK_ENUM(SampleTransferSpec)
KEX_FRAMEWORK_ENUM(Result)
KEX_FRAMEWORK_ENUM(Calculate)
KEX_FRAMEWORK_ENUM(NormalList)
KEX_FRAMEWORK_ENUM(CurvatureList)
KEX_FRAMEWORK_ENUM(GeometryIO)
KEX_FRAMEWORK_ENUM(AmbientColor)
KEX_FRAMEWORK_ENUM(DiffuseColor)
KEX_FRAMEWORK_ENUM(SpecularColor)
KEX_FRAMEWORK_ENUM(AmbientIntensity)
KEX_FRAMEWORK_ENUM(DiffuseIntensity)
KEX_FRAMEWORK_ENUM(SpecularIntensity)
KEX_FRAMEWORK_ENUM(EmissionIntensity)
KEX_FRAMEWORK_ENUM(Shininess)
#undef KEX_FRAMEWORK_ENUM
} // namespace KEX
