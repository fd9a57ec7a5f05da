#pragma once
// Internal (not installed): the definition of a mesh filter whose only member is its Filter
// action, a mesh action bound to one algorithm's metaclass (the smoothing and subdivision
// filters). The class declares the usual members (constructors, assignment, destructor,
// getObjectID, a private `struct Private`, `void construct()` and `Private* m_private`); this
// macro defines them all once.
#include "kex/Error.h"
#include "kexmesh/core/ClassRegistration.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshFilter.h"
#include "kexmesh/objects/Vocabulary.h"

#define KEXMESH_DEFINE_SINGLE_ACTION_FILTER(Class, Algorithm)                                                     \
  KEXMESH_DEFINE_CLASS(Class, KEXTriangleMeshFilter)                                                              \
  struct Class::Private : KEXClassMember {                                                                        \
    class FilterActionAttr : public KEXTriangleMeshActionAttr {                                                   \
    public:                                                                                                       \
      FilterActionAttr() : KEXTriangleMeshActionAttr(&Algorithm::metaClass(), 0, 0) {}                            \
    };                                                                                                            \
    FilterActionAttr filter;                                                                                      \
  };                                                                                                              \
  Class::Class() { construct(); }                                                                                 \
  Class::Class(const Class& other) : KEXTriangleMeshFilter(other) { construct(); }                                \
  Class& Class::operator=(const Class& other)                                                                     \
  {                                                                                                               \
    if (this != &other)                                                                                           \
      KEXTriangleMeshFilter::operator=(other);                                                                    \
    return *this;                                                                                                 \
  }                                                                                                               \
  Class::~Class() { delete m_private; }                                                                           \
  void Class::construct()                                                                                         \
  {                                                                                                               \
    m_private = new Private;                                                                                      \
    if (!m_private || addAction(KEX::Filter, &m_private->filter) != KEX::NoError)                                 \
      KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));                                             \
  }                                                                                                               \
  KEXenum Class::getObjectID(int level) const                                                                     \
  {                                                                                                               \
    static const KEXRegisteredEnum id(#Class, 0, "kexmesh");                                                      \
    return level == 0 ? id.get() : KEXTriangleMeshFilter::getObjectID(level - 1);                                 \
  }
