#pragma once
// Objects of the framework. A KEXObject is reference counted and keeps named properties and
// actions (keyed by KEXenum, in registration order). A KEXProperty carries flags, a modification
// time stamp, change hooks, an optional read-only provider (Extension) and meta data. Changes are
// announced to the owner, which runs the property's hooks at once and tells its observers, or
// queues the notices while its PropertyMessage lock is held and delivers each name once at the
// outermost unlock.
#include "kex/Class.h"
#include "kex/Enum.h"
#include "kex/ValueList.h"

#include <atomic>
#include <cstdint>
#include <vector>

class KEXObject;

/// Base of every property. Flags are opaque except bit 64: a change of it runs the change hooks.
class KEXProperty : public KEXClass {
public:
  /// Flag bit whose change counts as a property change for the hooks.
  static constexpr unsigned int HOOK_FLAG = 64;

  /// A read-only provider of a property's value: while attached it answers every read and the
  /// property refuses writes. Typed providers derive from KEXValueProvider<T> (kex/Properties.h).
  class Extension {
  public:
    virtual ~Extension() = default;
  };

  /// Told about changes of the properties it is attached to. setIgnoreNext(true) makes the next
  /// event only clear the flag.
  class ChangeHook {
  public:
    virtual ~ChangeHook() = default;
    virtual void changed(KEXProperty& property) = 0;
    virtual void flagsChanged(KEXProperty& property, unsigned int oldFlags, unsigned int newFlags);
    void setIgnoreNext(bool ignore) { m_ignoreNext = ignore; }
    bool getIgnoreNext() const { return m_ignoreNext; }

  private:
    friend class KEXProperty;
    bool m_ignoreNext = false;
  };

  explicit KEXProperty(unsigned int flags = 0, unsigned int protectedFlags = 0);
  /// Copies the flags only: owner, name, hooks, provider and meta data stay with the source.
  KEXProperty(const KEXProperty& other);
  KEXProperty& operator=(const KEXProperty& other);
  ~KEXProperty() override;
  const KEXMetaClass& getMetaClass() const override;
  static const KEXMetaClass& metaClass();

  KEXObject* getOwner() const { return m_owner; }
  KEXenum getName() const { return m_name; }

  /// Stamp of the last effective change (0: never changed). Stamps come from one process-wide
  /// counter, so a later change always has a larger stamp.
  uint64_t getModificationTime() const { return m_stamp; }
  /// The current value of the process-wide stamp counter.
  static uint64_t currentModificationTime();
  /// Advances the process-wide stamp counter and returns the new stamp, for objects that keep
  /// their own modification time outside properties.
  static uint64_t takeModificationTime();

  /// Attaches a provider (null detaches). The property does not own it.
  void setExtension(Extension* extension) { m_extension = extension; }
  Extension* getExtension() const { return m_extension; }

  /// Attaches a hook (not owned). False when memory is short or it is attached already.
  bool attachHook(ChangeHook* hook);
  bool detachHook(ChangeHook* hook);

  /// Meta data: a value enum per key enum (e.g. Quantity = Length). False when memory is short.
  bool setMeta(KEXenum key, KEXenum value);
  /// The value for key, or the invalid enum.
  KEXenum getMeta(KEXenum key) const;

  /// Back to the property's initial state. Base: true, nothing to do.
  virtual bool reset();

  /// Runs the change hooks (honouring their suppression flags); called by the owner.
  void runHooks();

  void flagsHaveChanged(unsigned int oldFlags, unsigned int newFlags) override;

protected:
  /// To be called after every effective change: new stamp, hooks and the owner's notification.
  void valueChanged();

private:
  friend class KEXObject;
  struct Meta {
    KEXenum key, value;
  };
  KEXObject* m_owner = nullptr;
  KEXenum m_name;
  uint64_t m_stamp = 0;
  Extension* m_extension = nullptr;
  KEXValueList<ChangeHook*> m_hooks;
  KEXValueList<Meta> m_meta;
};

class KEXAction;

/// Reference-counted object with properties and actions.
class KEXObject : public KEXClass {
public:
  /// Watches property changes of objects (delivered after the PropertyMessage lock is released).
  class Observer {
  public:
    virtual ~Observer() = default;
    virtual void propertyChanged(KEXObject& object, KEXenum property) = 0;
  };

  /// Role names of objects (e.g. GeometryIO), their hierarchy and the default role of a class.
  class RoleManager {
  public:
    struct RoleInterface {};
    /// Declares role with its parent role (invalid enum: none). False when it exists already.
    static bool addRole(KEXenum role, KEXenum parentRole);
    /// The default role of objects of metaClass. False for a null class or an unknown role.
    static bool addDefaultRole(const KEXMetaClass* metaClass, KEXenum role);
    /// Attaches the interface record of role; false for an unknown role.
    static bool setRoleInterface(KEXenum role, const RoleInterface& roleInterface);
    static bool hasRole(KEXenum role);
    static KEXenum getParentRole(KEXenum role);
    static bool hasRoleInterface(KEXenum role);
    /// The default role of metaClass or of its nearest registered ancestor.
    static KEXenum getDefaultRole(const KEXMetaClass* metaClass);
  };

  /// Starts with reference count 1 (the creator's).
  explicit KEXObject(unsigned int flags = 0);
  /// Copies the flags only; the copy starts with empty tables and count 1.
  KEXObject(const KEXObject& other);
  /// Assigns the flags only.
  KEXObject& operator=(const KEXObject& other);
  ~KEXObject() override;
  const KEXMetaClass& getMetaClass() const override;
  static const KEXMetaClass& metaClass();

  void addRef() const;
  /// Drops one reference; at zero the object is destroyed through its metaclass.
  void release() const;
  int getRefCount() const { return m_refs.load(); }

  // --- properties -------------------------------------------------------------------------------
  /// Registers property under name and makes this object its owner. owned: deleted with the object.
  /// \return NoError; InvalidValue for a null property, an invalid or duplicate name; OutOfMemory.
  KEXenum addProperty(KEXenum name, KEXProperty* property, bool owned = false);
  /// Replaces the property registered under name (an owned old one is deleted), or adds it.
  KEXenum replaceProperty(KEXenum name, KEXProperty* property, bool owned = false);
  /// The property of that name, or null.
  KEXProperty* getProperty(KEXenum name) const;
  int getPropertyCount() const { return m_properties.getCount(); }
  KEXenum getPropertyName(int index) const;

  // --- actions ----------------------------------------------------------------------------------
  KEXenum addAction(KEXenum name, KEXAction* action, bool owned = false);
  KEXAction* getAction(KEXenum name) const;
  int getActionCount() const { return m_actions.getCount(); }
  KEXenum getActionName(int index) const;

  // --- typed access (kex/Properties.h); false for a missing or mistyped property ----------------
  template <class T>
  bool getValue(KEXenum name, T& value) const;
  template <class T>
  bool setValue(KEXenum name, const T& value);
  template <class E>
  bool getIndexRange(KEXenum name, int& first, int& last) const;
  template <class E>
  bool setIndexRange(KEXenum name, int first, int last);
  template <class E>
  bool getArrayItems(KEXenum name, int first, int last, E* items) const;
  template <class E>
  bool setArrayItems(KEXenum name, int first, int last, const E* items);
  template <class E>
  bool initArray(KEXenum name, int count, const E* items);
  /// The whole array property into list (resized to its item count); false, list unspecified,
  /// for a missing or mistyped property or when memory is short.
  template <class E>
  bool getArray(KEXenum name, KEXValueList<E>& list) const;

  // --- notifications ----------------------------------------------------------------------------
  /// Locks PropertyMessage (nested): change notices to observers are held back until the
  /// outermost unlock. Other enums are refused.
  bool lock(KEXenum what);
  bool unlock(KEXenum what);
  bool isLocked(KEXenum what) const;
  /// Runs the hooks of that property now and notifies the observers (or queues the notice while
  /// locked; each name once, in the order of its first raise).
  void notifyPropertyChanged(KEXenum name);
  void addObserver(Observer* observer);
  void removeObserver(Observer* observer);

  /// Identity of the object's class: "KEXObject" at level 0, Unknown deeper.
  virtual KEXenum getObjectID(int level) const;

private:
  template <class P>
  struct Entry {
    KEXenum name;
    P* item;
    bool owned;
  };
  void deliverPending();
  friend class KEXProperty;
  friend class KEXAction;
  void forget(const KEXProperty* property);
  void forget(const KEXAction* action);

  mutable std::atomic<int> m_refs{1};
  KEXValueList<Entry<KEXProperty>> m_properties;
  KEXValueList<Entry<KEXAction>> m_actions;
  int m_messageLock = 0;
  std::vector<KEXenum> m_pending;
  std::vector<Observer*> m_observers;
};

/// An operation of an object. execute runs action(), checkExecute runs checkAction().
class KEXAction : public KEXClass {
public:
  explicit KEXAction(unsigned int flags = 0) : KEXClass(flags) {}
  /// Copies the flags; the copy has no owner.
  KEXAction(const KEXAction& other) : KEXClass(other) {}
  KEXAction& operator=(const KEXAction& other)
  {
    KEXClass::operator=(other);
    return *this;
  }
  /// Unregisters from its owner.
  ~KEXAction() override;
  const KEXMetaClass& getMetaClass() const override;
  static const KEXMetaClass& metaClass();

  /// Runs the action; nothing else (no task, no check).
  bool execute(void* parameters) { return action(parameters); }
  /// Whether the action could run: NoError or a reason.
  KEXenum checkExecute(void* parameters) { return checkAction(parameters); }
  /// A copy for another owner. Default: none.
  virtual KEXAction* clone(KEXenum name) const;
  KEXObject* getOwner() const { return m_owner; }
  KEXenum getName() const { return m_name; }

protected:
  virtual bool action(void* parameters) = 0;
  virtual KEXenum checkAction(void* parameters);

private:
  friend class KEXObject;
  KEXObject* m_owner = nullptr;
  KEXenum m_name;
};

/// An action declared as a member of its owner's class, allocated through the framework's memory.
class KEXActionAttr : public KEXAction, public KEXClassMember {
public:
  using KEXClassMember::operator new;
  using KEXClassMember::operator delete;
  explicit KEXActionAttr(unsigned int flags = 0) : KEXAction(flags) {}
  KEXActionAttr(const KEXActionAttr& other) = default;
  KEXActionAttr& operator=(const KEXActionAttr& other) = default;
  const KEXMetaClass& getMetaClass() const override;
  static const KEXMetaClass& metaClass();
};

/// Base of geometry objects.
class KEXGeometry : public KEXObject {
public:
  explicit KEXGeometry(unsigned int flags = 0) : KEXObject(flags) {}
  KEXGeometry(const KEXGeometry& other) = default;
  KEXGeometry& operator=(const KEXGeometry& other) = default;
  const KEXMetaClass& getMetaClass() const override;
  static const KEXMetaClass& metaClass();
  KEXenum getObjectID(int level) const override;
};

/// Base of materials.
class KEXGeometryMaterial : public KEXObject {
public:
  explicit KEXGeometryMaterial(unsigned int flags = 0) : KEXObject(flags) {}
  KEXGeometryMaterial(const KEXGeometryMaterial& other) = default;
  KEXGeometryMaterial& operator=(const KEXGeometryMaterial& other) = default;
  const KEXMetaClass& getMetaClass() const override;
  static const KEXMetaClass& metaClass();
  KEXenum getObjectID(int level) const override;
};
