#pragma once
// How every registered class of the library gets its metaclass and class factory.
//
// In the class body:            KEXMESH_DECLARE_CLASS(KEXFlipOrientationAlgorithm)
// In the class's .cpp file:     KEXMESH_DEFINE_CLASS(KEXFlipOrientationAlgorithm, KEXTriangleMeshAlgorithmIF)
//                         or:   KEXMESH_DEFINE_ABSTRACT_CLASS(KEXTriangleMeshAlgorithmIF, KEXClass)
//
// The definition creates the factory class <Class>__ClassFactory and a static record holding the
// metaclass and the factory, each with a marker byte: 0 before construction, 204 once constructed,
// 221 once destroyed at unload. Whoever needs the metaclass first constructs it, so it works from
// any static initialiser; the library also constructs every metaclass at load so that the
// framework can find them by name.
#include "kex/Class.h"
#include "kex/Error.h"

#include <new>
#include <type_traits>

namespace kexmeshdetail {

/// Cast check of the factories: null stays null; an object of class C (or derived) is returned;
/// anything else reports InvalidOperation and gives null.
template <class C>
C* checkedCast(const KEXClass* object)
{
  if (!object)
    return nullptr;
  if (object->getMetaClass().isOfType(C::metaClass()))
    return static_cast<C*>(const_cast<KEXClass*>(object));
  KEXError::emitError(KEXError::Message(KEX::InvalidOperation));
  return nullptr;
}

/// Destruction of the factories: with deleteIt any object is deleted (virtual destructor); in place
/// only an object of class C (or derived) is destroyed, anything else is reported by checkedCast.
template <class C>
bool checkedDestruct(KEXClass* object, bool deleteIt)
{
  if (!object)
    return false;
  if (deleteIt) {
    delete object;
    return true;
  }
  C* c = checkedCast<C>(object);
  if (!c)
    return false;
  c->~C();
  return true;
}

template <class C>
class ConcreteFactory : public KEXMetaClass::Factory {
public:
  KEXClass* create(void* place) const override
  {
    if (place)
      return new (place) C();
    return new (std::nothrow) C();
  }
  KEXClass* clone(const KEXClass* source, void* place) const override
  {
    const C* s = checkedCast<C>(source);
    if (!s)
      return nullptr;
    if (place)
      return new (place) C(*s);
    return new (std::nothrow) C(*s);
  }
  bool assign(KEXClass* target, const KEXClass* source) const override
  {
    C* t = checkedCast<C>(target);
    const C* s = checkedCast<C>(source);
    if (!t || !s)
      return false;
    *t = *s;
    return true;
  }
  bool destruct(KEXClass* object, bool deleteIt) const override { return checkedDestruct<C>(object, deleteIt); }
};

/// The framework's abstract factory, destroying in place only objects of class C (or derived).
template <class C>
class AbstractFactory : public KEXAbstractFactory {
public:
  bool destruct(KEXClass* object, bool deleteIt) const override { return checkedDestruct<C>(object, deleteIt); }
};

inline constexpr unsigned char MARKER_CONSTRUCTED = 204;
inline constexpr unsigned char MARKER_DESTROYED = 221;

/// Static storage of one class's metaclass and factory. Constant-initialised (all zero), so it is
/// usable before dynamic initialisation; its destructor runs at unload.
template <class Factory>
class ClassRecord {
public:
  constexpr ClassRecord() = default;
  ~ClassRecord()
  {
    if (m_metaMarker == MARKER_CONSTRUCTED) {
      meta()->~KEXMetaClass();
      m_metaMarker = MARKER_DESTROYED;
    }
    if (m_factoryMarker == MARKER_CONSTRUCTED) {
      factory()->~Factory();
      m_factoryMarker = MARKER_DESTROYED;
    }
  }
  const KEXMetaClass& get(const char* name, size_t size, const KEXMetaClass& parent, unsigned int flags = 0)
  {
    if (m_factoryMarker == 0) {
      new (m_factoryStorage) Factory();
      m_factoryMarker = MARKER_CONSTRUCTED;
    }
    if (m_metaMarker == 0) {
      new (m_metaStorage) KEXMetaClass(name, size, &parent, factory(), "kexmesh", 0, flags, 0, nullptr, nullptr,
                                       parent.isSingleton());
      m_metaMarker = MARKER_CONSTRUCTED;
    }
    return *meta();
  }
  unsigned char metaMarker() const { return m_metaMarker; }
  unsigned char factoryMarker() const { return m_factoryMarker; }

private:
  KEXMetaClass* meta() { return std::launder(reinterpret_cast<KEXMetaClass*>(m_metaStorage)); }
  Factory* factory() { return std::launder(reinterpret_cast<Factory*>(m_factoryStorage)); }
  alignas(KEXMetaClass) unsigned char m_metaStorage[sizeof(KEXMetaClass)] = {};
  alignas(Factory) unsigned char m_factoryStorage[sizeof(Factory)] = {};
  unsigned char m_metaMarker = 0;
  unsigned char m_factoryMarker = 0;
};

} // namespace kexmeshdetail

/// Declares the metaclass accessors of Class. Put it in the class body; note that it opens a
/// `public:` section, so members written after it are public unless another access specifier
/// follows (write `private:` or `protected:` after the macro where that is meant).
#define KEXMESH_DECLARE_CLASS(Class)                                                                                   \
public:                                                                                                                \
  static const KEXMetaClass& metaClass();                                                                              \
  const KEXMetaClass& getMetaClass() const override;

#define KEXMESH_DEFINE_CLASS_IMPL(Class, Parent, FactoryBase, Name, FactoryName, Flags)                               \
  class FactoryName : public kexmeshdetail::FactoryBase<Class> {};                                                     \
  namespace {                                                                                                          \
  constinit kexmeshdetail::ClassRecord<FactoryName> FactoryName##_record;                                              \
  [[maybe_unused]] const bool FactoryName##_atLoad = (Class::metaClass(), true);                                       \
  }                                                                                                                    \
  const KEXMetaClass& Class::metaClass()                                                                               \
  {                                                                                                                    \
    return FactoryName##_record.get(Name, sizeof(Class), Parent::metaClass(), Flags);                                  \
  }                                                                                                                    \
  const KEXMetaClass& Class::getMetaClass() const { return metaClass(); }

/// Registers Class (a concrete class with default and copy constructors and assignment).
#define KEXMESH_DEFINE_CLASS(Class, Parent)                                                                            \
  KEXMESH_DEFINE_CLASS_IMPL(Class, Parent, ConcreteFactory, #Class, Class##__ClassFactory, 0)
/// Registers an abstract Class: its factory creates nothing.
#define KEXMESH_DEFINE_ABSTRACT_CLASS(Class, Parent)                                                                   \
  KEXMESH_DEFINE_CLASS_IMPL(Class, Parent, AbstractFactory, #Class, Class##__ClassFactory, 0)
/// Registers a nested class under its qualified name, e.g. ("KEXTriangleMeshAction::Parameters").
#define KEXMESH_DEFINE_NESTED_CLASS(Class, Parent, Name, FactoryName)                                                  \
  KEXMESH_DEFINE_CLASS_IMPL(Class, Parent, ConcreteFactory, Name, FactoryName, 0)
