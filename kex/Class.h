#pragma once
// Classes and metaclasses of the framework. Every registered class has a KEXMetaClass that names
// it, knows its parent and creates, copies and destroys instances through a Factory. Unknown class
// names are offered to locate hooks, which may bind a plug-in module that defines them.
#include <cstddef>
#include <new>

class KEXMetaClass;

/// Base of every framework class: a public and a protected flag word, and the metaclass.
class KEXClass {
public:
  explicit KEXClass(unsigned int flags = 0) : m_flags(flags) {}
  KEXClass(const KEXClass& other) = default;
  KEXClass& operator=(const KEXClass& other) = default;
  virtual ~KEXClass() = default;
  /// Called before and after every change of the flag word.
  virtual void flagsWillChange(unsigned int oldFlags, unsigned int newFlags);
  virtual void flagsHaveChanged(unsigned int oldFlags, unsigned int newFlags);
  virtual const KEXMetaClass& getMetaClass() const;
  static const KEXMetaClass& metaClass();

  unsigned int getFlags() const { return m_flags; }
  /// Sets the bits of set and clears those of clear.
  void setFlags(unsigned int set, unsigned int clear);
  unsigned int getProtectedFlags() const { return m_protectedFlags; }
  void setProtectedFlags(unsigned int set, unsigned int clear) { m_protectedFlags = (m_protectedFlags | set) & ~clear; }

private:
  unsigned int m_flags = 0;
  unsigned int m_protectedFlags = 0;
};

class KEXMetaClass {
public:
  class Factory {
  public:
    virtual ~Factory() = default;
    /// Constructs a default object (in place when place is given). Null for abstract classes.
    virtual KEXClass* create(void* place) const = 0;
    /// Copy-constructs source, which must be of the factory's class; null otherwise.
    virtual KEXClass* clone(const KEXClass* source, void* place) const = 0;
    virtual bool assign(KEXClass* target, const KEXClass* source) const = 0;
    /// Destroys object; with deleteIt it is also freed.
    virtual bool destruct(KEXClass* object, bool deleteIt) const = 0;
  };

  class LocateHook {
  public:
    virtual ~LocateHook() = default;
    /// Asked for a class name the framework does not know; true when it did something about it.
    virtual bool locate(const char* className) = 0;
  };

  KEXMetaClass(const char* name, size_t instanceSize, const KEXMetaClass* parent, const Factory* factory,
               const char* module, unsigned int flags1, unsigned int defaultFlags, unsigned int flags2,
               const void* reserved1, const void* reserved2, bool singleton);
  ~KEXMetaClass();
  KEXMetaClass(const KEXMetaClass&) = delete;
  KEXMetaClass& operator=(const KEXMetaClass&) = delete;

  const char* getClassName() const { return m_name; }
  const char* getModule() const { return m_module; }
  size_t getInstanceSize() const { return m_size; }
  const KEXMetaClass* getParent() const { return m_parent; }
  bool isSingleton() const { return m_singleton; }
  unsigned int getDefaultFlags() const { return m_defaultFlags; }
  /// True for this class and every class derived from it.
  bool isOfType(const KEXMetaClass& other) const;

  KEXClass* create(void* place = nullptr) const;
  KEXClass* clone(const KEXClass* source, void* place = nullptr) const;
  bool assign(KEXClass* target, const KEXClass* source) const;
  bool destruct(KEXClass* object, bool deleteIt) const;
  /// Sets this class's default flags on object's flag word.
  void applyDefaultFlags(KEXClass* object) const;

  /// The registered metaclass of that name; unknown names are offered to the locate hooks first.
  static const KEXMetaClass* find(const char* className);
  static void addLocateHook(LocateHook* hook);
  static void removeLocateHook(LocateHook* hook);

private:
  const char* m_name;
  size_t m_size;
  const KEXMetaClass* m_parent;
  const Factory* m_factory;
  const char* m_module;
  unsigned int m_defaultFlags;
  bool m_singleton;
};

/// Factory of an abstract class: creates, clones and assigns nothing; destroys any object handed to
/// it through its virtual destructor. One instance serves every abstract class of every library.
class KEXAbstractFactory : public KEXMetaClass::Factory {
public:
  KEXClass* create(void*) const override { return nullptr; }
  KEXClass* clone(const KEXClass*, void*) const override { return nullptr; }
  bool assign(KEXClass*, const KEXClass*) const override { return false; }
  bool destruct(KEXClass* object, bool deleteIt) const override;
  /// The shared instance; never destroyed, since metaclasses of other libraries unregister during
  /// their own unload, possibly after this library's static destructors.
  static const KEXAbstractFactory& instance();
};

/// Loads plug-in modules (shared libraries lib<module>.so) from the plug-in directories.
class KEXPluginManager {
public:
  /// Records the call and loads the module once; true when the module is loaded.
  static bool bind(const char* module, const char* name, bool flag);
  /// Adds a directory searched before the built-in ones.
  static void addPluginDirectory(const char* directory);
};

/// Mixin for classes allocated through the framework's memory (operator new returns null when
/// memory is short).
class KEXClassMember {
public:
  static void* operator new(size_t size) noexcept;
  static void* operator new(size_t, void* place) noexcept { return place; }
  /// new (std::nothrow) T, as generic factories write it: the same as plain new here.
  static void* operator new(size_t size, const std::nothrow_t&) noexcept { return operator new(size); }
  static void operator delete(void* p) noexcept;
  static void operator delete(void*, void*) noexcept {}
  static void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }
};

/// Tag by which a void* is recognised as a parameter record.
struct KEXStructHeader {
  /// True when p is the address of a live KEXParameterClass (never dereferences p).
  static bool checkStruct(const void* p);
};

/// Base of parameter records handed through void* (single inheritance required).
class KEXParameterClass : public KEXClass {
public:
  KEXParameterClass();
  KEXParameterClass(const KEXParameterClass& other);
  KEXParameterClass& operator=(const KEXParameterClass& other) = default;
  ~KEXParameterClass() override;
  const KEXMetaClass& getMetaClass() const override;
  static const KEXMetaClass& metaClass();
};
