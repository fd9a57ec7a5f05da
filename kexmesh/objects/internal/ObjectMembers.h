#pragma once
// Internal (not installed): what the library's objects do alike when they are built and when they
// decide whether a cached result is still current. Each object registers its properties, in a
// fixed order, and its action; an object with a result creates the result object and hands it to
// its link property; a cached result compares the modification stamps of the properties it read.
#include "kex/Error.h"
#include "kex/Object.h"
#include "kex/Properties.h"

#include <cstdint>
#include <initializer_list>

namespace kexmeshobjects {

/// Creates an object's private part into slot; a failure goes to the framework's error channel
/// with the object and code. False when there is none.
template <class P>
bool createPrivate(KEXObject& owner, P*& slot, KEXenum code)
{
  slot = new P;
  if (!slot)
    KEXError::emitError(KEXError::Message(&owner, code));
  return slot != nullptr;
}

struct Member {
  KEXenum name;
  KEXProperty* property;
};

/// Registers the properties in order, then the action under actionName when action is not null.
/// The code of the first registration that failed (the rest are not tried), or NoError.
inline KEXenum addMembers(KEXObject& object, std::initializer_list<Member> properties, KEXenum actionName = KEX::NoError,
                          KEXAction* action = nullptr)
{
  for (const Member& m : properties)
    if (KEXenum code = object.addProperty(m.name, m.property); code != KEX::NoError)
      return code;
  return action ? object.addAction(actionName, action) : KEXenum(KEX::NoError);
}

/// Creates a new result object of class R and hands it to link, which holds it from then on.
/// False, with an error emitted for owner, when it cannot be created.
template <class R> bool linkNewResult(KEXObject& owner, KEXObjectHardLinkOP& link)
{
  auto* result = static_cast<R*>(R::metaClass().create());
  if (!result) {
    KEXError::emitError(KEXError::Message(&owner, KEX::GenericError));
    return false;
  }
  link.setValue(KEXObjectLink(result));
  result->release();
  return true;
}

/// The modification stamp of object's property name; 0 when either is missing.
inline uint64_t propertyStamp(const KEXObject* object, KEXenum name)
{
  const KEXProperty* p = object ? object->getProperty(name) : nullptr;
  return p ? p->getModificationTime() : 0;
}

} // namespace kexmeshobjects

/// The constructors, assignment and destructor of an object class Class (derived from Base) whose
/// members live in a private part made by construct() and whose values copyValues(other) takes
/// over: a copy is a fresh object with the other's values, never a shared private part.
#define KEXMESH_DEFINE_OBJECT_COPIES(Class, Base)                                                              \
  Class::Class() { construct(); }                                                                              \
  Class::Class(const Class& other) : Base(other)                                                               \
  {                                                                                                            \
    construct();                                                                                               \
    copyValues(other);                                                                                         \
  }                                                                                                            \
  Class& Class::operator=(const Class& other)                                                                  \
  {                                                                                                            \
    if (this != &other) {                                                                                      \
      Base::operator=(other);                                                                                  \
      copyValues(other);                                                                                       \
    }                                                                                                          \
    return *this;                                                                                              \
  }                                                                                                            \
  Class::~Class() { delete m_private; }
