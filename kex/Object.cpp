// Objects, properties, actions and the framework's object bases.
//
// A property announces an effective change to its owner, which runs the property's change hooks at
// once (hooks may raise further notices: a vertex list hook announces the bounding box, whose own
// hook announces the oriented box) and then tells the observers. While the owner's PropertyMessage
// lock is held the observer notices are queued, each name once in the order of its first raise,
// and delivered at the outermost unlock, so a host redraws once after a bulk update.
#include "kex/Object.h"
#include "kex/Error.h"
#include "kex/Properties.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <string>

namespace {
std::atomic<uint64_t> g_stamp{0};

const KEXMetaClass* makeMeta(const char* name, size_t size, const KEXMetaClass& parent)
{
  return new KEXMetaClass(name, size, &parent, &KEXAbstractFactory::instance(), "kex", 0, 0, 0, nullptr, nullptr, false);
}

struct RoleRegistry {
  std::mutex mutex;
  std::map<std::string, std::string> parents; // role -> parent role ("" = none)
  std::map<std::string, bool> interfaces;
  std::map<const KEXMetaClass*, std::string> defaults;
};
RoleRegistry& roles()
{
  static RoleRegistry* r = new RoleRegistry;
  return *r;
}
std::string roleKey(KEXenum e) { return e.isValid() ? std::string(e.getString()) : std::string(); }
} // namespace

const KEXMetaClass::Factory& kexdetail::abstractPropertyFactory() { return KEXAbstractFactory::instance(); }

// --- KEXProperty -----------------------------------------------------------------------------------

void KEXProperty::ChangeHook::flagsChanged(KEXProperty& property, unsigned int, unsigned int) { changed(property); }

KEXProperty::KEXProperty(unsigned int flags, unsigned int protectedFlags) : KEXClass(flags), m_hooks(4, true), m_meta(4, true)
{
  setProtectedFlags(protectedFlags, 0);
}

KEXProperty::KEXProperty(const KEXProperty& other) : KEXClass(other), m_hooks(4, true), m_meta(4, true) {}

KEXProperty& KEXProperty::operator=(const KEXProperty& other)
{
  if (this != &other)
    KEXClass::operator=(other);
  return *this;
}

KEXProperty::~KEXProperty()
{
  if (m_owner)
    m_owner->forget(this);
}

const KEXMetaClass& KEXProperty::metaClass()
{
  static const KEXMetaClass* m = makeMeta("KEXProperty", sizeof(KEXProperty), KEXClass::metaClass());
  return *m;
}
const KEXMetaClass& KEXProperty::getMetaClass() const { return metaClass(); }

uint64_t KEXProperty::currentModificationTime() { return g_stamp.load(); }

uint64_t KEXProperty::takeModificationTime() { return ++g_stamp; }

bool KEXProperty::attachHook(ChangeHook* hook)
{
  if (!hook)
    return false;
  for (ChangeHook* h : m_hooks)
    if (h == hook)
      return false;
  return m_hooks.append(hook);
}

bool KEXProperty::detachHook(ChangeHook* hook)
{
  for (int i = 0; i < m_hooks.getCount(); ++i)
    if (m_hooks[i] == hook) {
      m_hooks.remove(i); // keeps the order in which the hooks run
      return true;
    }
  return false;
}

bool KEXProperty::setMeta(KEXenum key, KEXenum value)
{
  for (Meta& m : m_meta)
    if (m.key == key) {
      m.value = value;
      return true;
    }
  return m_meta.append(Meta{key, value});
}

KEXenum KEXProperty::getMeta(KEXenum key) const
{
  for (const Meta& m : m_meta)
    if (m.key == key)
      return m.value;
  return KEXenum();
}

bool KEXProperty::reset() { return true; }

void KEXProperty::runHooks()
{
  // A hook may detach itself or others while running: walk a snapshot by index and re-check.
  for (int i = 0; i < m_hooks.getCount(); ++i) {
    ChangeHook* hook = m_hooks[i];
    if (hook->m_ignoreNext) {
      hook->m_ignoreNext = false;
      continue;
    }
    hook->changed(*this);
  }
}

void KEXProperty::flagsHaveChanged(unsigned int oldFlags, unsigned int newFlags)
{
  if (((oldFlags ^ newFlags) & HOOK_FLAG) == 0)
    return;
  for (int i = 0; i < m_hooks.getCount(); ++i) {
    ChangeHook* hook = m_hooks[i];
    if (hook->m_ignoreNext) {
      hook->m_ignoreNext = false;
      continue;
    }
    hook->flagsChanged(*this, oldFlags, newFlags);
  }
}

void KEXProperty::valueChanged()
{
  m_stamp = ++g_stamp;
  if (m_owner)
    m_owner->notifyPropertyChanged(m_name);
  else
    runHooks();
}

// --- KEXObject -------------------------------------------------------------------------------------

KEXObject::KEXObject(unsigned int flags) : KEXClass(flags), m_properties(16, true), m_actions(16, true) {}

KEXObject::KEXObject(const KEXObject& other) : KEXClass(other), m_properties(16, true), m_actions(16, true) {}

KEXObject& KEXObject::operator=(const KEXObject& other)
{
  if (this != &other)
    KEXClass::operator=(other);
  return *this;
}

KEXObject::~KEXObject()
{
  // Members of derived classes have unregistered themselves already; what is left outlives us or
  // is ours to delete.
  for (Entry<KEXProperty>& e : m_properties) {
    e.item->m_owner = nullptr;
    if (e.owned)
      delete e.item;
  }
  for (Entry<KEXAction>& e : m_actions) {
    e.item->m_owner = nullptr;
    if (e.owned)
      delete e.item;
  }
}

void KEXObject::forget(const KEXProperty* property)
{
  for (int i = 0; i < m_properties.getCount(); ++i)
    if (m_properties[i].item == property) {
      m_properties.remove(i);
      return;
    }
}

void KEXObject::forget(const KEXAction* action)
{
  for (int i = 0; i < m_actions.getCount(); ++i)
    if (m_actions[i].item == action) {
      m_actions.remove(i);
      return;
    }
}

const KEXMetaClass& KEXObject::metaClass()
{
  static const KEXMetaClass* m = makeMeta("KEXObject", sizeof(KEXObject), KEXClass::metaClass());
  return *m;
}
const KEXMetaClass& KEXObject::getMetaClass() const { return metaClass(); }

void KEXObject::addRef() const { m_refs.fetch_add(1, std::memory_order_relaxed); }

void KEXObject::release() const
{
  if (m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    KEXObject* self = const_cast<KEXObject*>(this);
    if (!getMetaClass().destruct(self, true))
      delete self;
  }
}

KEXenum KEXObject::addProperty(KEXenum name, KEXProperty* property, bool owned)
{
  if (!property || !name.isValid() || getProperty(name))
    return KEX::InvalidValue;
  if (!m_properties.append(Entry<KEXProperty>{name, property, owned}))
    return KEX::OutOfMemory;
  property->m_owner = this;
  property->m_name = name;
  return KEX::NoError;
}

KEXenum KEXObject::replaceProperty(KEXenum name, KEXProperty* property, bool owned)
{
  if (!property || !name.isValid())
    return KEX::InvalidValue;
  for (Entry<KEXProperty>& e : m_properties)
    if (e.name == name) {
      if (e.item == property)
        return KEX::NoError;
      e.item->m_owner = nullptr;
      if (e.owned)
        delete e.item;
      e.item = property;
      e.owned = owned;
      property->m_owner = this;
      property->m_name = name;
      return KEX::NoError;
    }
  return addProperty(name, property, owned);
}

KEXProperty* KEXObject::getProperty(KEXenum name) const
{
  for (const Entry<KEXProperty>& e : m_properties)
    if (e.name == name)
      return e.item;
  return nullptr;
}

KEXenum KEXObject::getPropertyName(int index) const
{
  return index >= 0 && index < m_properties.getCount() ? m_properties[index].name : KEXenum();
}

KEXenum KEXObject::addAction(KEXenum name, KEXAction* action, bool owned)
{
  if (!action || !name.isValid() || getAction(name))
    return KEX::InvalidValue;
  if (!m_actions.append(Entry<KEXAction>{name, action, owned}))
    return KEX::OutOfMemory;
  action->m_owner = this;
  action->m_name = name;
  return KEX::NoError;
}

KEXAction* KEXObject::getAction(KEXenum name) const
{
  for (const Entry<KEXAction>& e : m_actions)
    if (e.name == name)
      return e.item;
  return nullptr;
}

KEXenum KEXObject::getActionName(int index) const
{
  return index >= 0 && index < m_actions.getCount() ? m_actions[index].name : KEXenum();
}

bool KEXObject::lock(KEXenum what)
{
  if (what != KEX::PropertyMessage)
    return false;
  ++m_messageLock;
  return true;
}

bool KEXObject::unlock(KEXenum what)
{
  if (what != KEX::PropertyMessage || m_messageLock == 0)
    return false;
  if (--m_messageLock == 0)
    deliverPending();
  return true;
}

bool KEXObject::isLocked(KEXenum what) const { return what == KEX::PropertyMessage && m_messageLock > 0; }

void KEXObject::notifyPropertyChanged(KEXenum name)
{
  // The notice is queued before the hooks run, so the observers hear of this property before the
  // ones its hooks announce.
  ++m_messageLock;
  if (std::find(m_pending.begin(), m_pending.end(), name) == m_pending.end())
    m_pending.push_back(name);
  if (KEXProperty* p = getProperty(name))
    p->runHooks();
  if (--m_messageLock == 0)
    deliverPending();
}

void KEXObject::deliverPending()
{
  std::vector<KEXenum> pending;
  pending.swap(m_pending);
  std::vector<Observer*> observers = m_observers;
  for (const KEXenum& name : pending)
    for (Observer* o : observers)
      o->propertyChanged(*this, name);
}

void KEXObject::addObserver(Observer* observer)
{
  if (observer && std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end())
    m_observers.push_back(observer);
}

void KEXObject::removeObserver(Observer* observer) { std::erase(m_observers, observer); }

KEXenum KEXObject::getObjectID(int level) const { return level == 0 ? KEXenum("KEXObject") : KEX::Unknown; }

// --- roles -----------------------------------------------------------------------------------------

bool KEXObject::RoleManager::addRole(KEXenum role, KEXenum parentRole)
{
  if (!role.isValid())
    return false;
  RoleRegistry& r = roles();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.parents.emplace(roleKey(role), roleKey(parentRole)).second;
}

bool KEXObject::RoleManager::addDefaultRole(const KEXMetaClass* metaClass, KEXenum role)
{
  RoleRegistry& r = roles();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!metaClass || !r.parents.count(roleKey(role)))
    return false;
  r.defaults[metaClass] = roleKey(role);
  return true;
}

bool KEXObject::RoleManager::setRoleInterface(KEXenum role, const RoleInterface&)
{
  RoleRegistry& r = roles();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!r.parents.count(roleKey(role)))
    return false;
  r.interfaces[roleKey(role)] = true;
  return true;
}

bool KEXObject::RoleManager::hasRole(KEXenum role)
{
  RoleRegistry& r = roles();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.parents.count(roleKey(role)) != 0;
}

KEXenum KEXObject::RoleManager::getParentRole(KEXenum role)
{
  RoleRegistry& r = roles();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.parents.find(roleKey(role));
  if (it == r.parents.end() || it->second.empty())
    return KEXenum();
  // The registry's strings live as long as the (leaked) registry.
  return KEXenum(it->second.c_str());
}

bool KEXObject::RoleManager::hasRoleInterface(KEXenum role)
{
  RoleRegistry& r = roles();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.interfaces.count(roleKey(role)) != 0;
}

KEXenum KEXObject::RoleManager::getDefaultRole(const KEXMetaClass* metaClass)
{
  RoleRegistry& r = roles();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (const KEXMetaClass* m = metaClass; m; m = m->getParent()) {
    auto it = r.defaults.find(m);
    if (it != r.defaults.end())
      return KEXenum(it->second.c_str());
  }
  return KEXenum();
}

// --- actions ---------------------------------------------------------------------------------------

const KEXMetaClass& KEXAction::metaClass()
{
  static const KEXMetaClass* m = makeMeta("KEXAction", sizeof(KEXAction), KEXClass::metaClass());
  return *m;
}
const KEXMetaClass& KEXAction::getMetaClass() const { return metaClass(); }
KEXAction::~KEXAction()
{
  if (m_owner)
    m_owner->forget(this);
}
KEXAction* KEXAction::clone(KEXenum) const { return nullptr; }
KEXenum KEXAction::checkAction(void*) { return KEX::NoError; }

const KEXMetaClass& KEXActionAttr::metaClass()
{
  static const KEXMetaClass* m = makeMeta("KEXActionAttr", sizeof(KEXActionAttr), KEXAction::metaClass());
  return *m;
}
const KEXMetaClass& KEXActionAttr::getMetaClass() const { return metaClass(); }

// --- geometry bases --------------------------------------------------------------------------------

const KEXMetaClass& KEXGeometry::metaClass()
{
  static const KEXMetaClass* m = makeMeta("KEXGeometry", sizeof(KEXGeometry), KEXObject::metaClass());
  return *m;
}
const KEXMetaClass& KEXGeometry::getMetaClass() const { return metaClass(); }
KEXenum KEXGeometry::getObjectID(int level) const
{
  return level == 0 ? KEXenum("KEXGeometry") : KEXObject::getObjectID(level - 1);
}

const KEXMetaClass& KEXGeometryMaterial::metaClass()
{
  static const KEXMetaClass* m = makeMeta("KEXGeometryMaterial", sizeof(KEXGeometryMaterial), KEXObject::metaClass());
  return *m;
}
const KEXMetaClass& KEXGeometryMaterial::getMetaClass() const { return metaClass(); }
KEXenum KEXGeometryMaterial::getObjectID(int level) const
{
  return level == 0 ? KEXenum("KEXGeometryMaterial") : KEXObject::getObjectID(level - 1);
}

// --- filters ---------------------------------------------------------------------------------------

KEXFilter::KEXFilter(unsigned int flags) : KEXObject(flags) { registerLinks(); }

KEXFilter::KEXFilter(const KEXFilter& other)
    : KEXObject(other), m_firstSource(other.m_firstSource), m_secondSource(other.m_secondSource),
      m_firstDestination(other.m_firstDestination), m_secondDestination(other.m_secondDestination)
{
  registerLinks();
}

KEXFilter& KEXFilter::operator=(const KEXFilter& other)
{
  if (this != &other) {
    KEXObject::operator=(other);
    KEXObjectLink link;
    other.m_firstSource.getValue(link);
    m_firstSource.setValue(link);
    other.m_secondSource.getValue(link);
    m_secondSource.setValue(link);
    other.m_firstDestination.getValue(link);
    m_firstDestination.setValue(link);
    other.m_secondDestination.getValue(link);
    m_secondDestination.setValue(link);
  }
  return *this;
}

KEXFilter::~KEXFilter() = default;

void KEXFilter::registerLinks()
{
  const KEXenum names[4] = {KEX::FirstSource, KEX::SecondSource, KEX::FirstDestination, KEX::SecondDestination};
  KEXObjectHardLinkOP* links[4] = {&m_firstSource, &m_secondSource, &m_firstDestination, &m_secondDestination};
  for (int i = 0; i < 4; ++i) {
    KEXenum code = addProperty(names[i], links[i]);
    if (code != KEX::NoError) {
      KEXError::emitError(KEXError::Message(this, code));
      return;
    }
  }
}

KEXObject* KEXFilter::getLinkTarget(KEXenum name) const
{
  // The link property keeps its target alive after the temporary link is gone.
  KEXObjectLink link;
  return getValue(name, link) ? link.get() : nullptr;
}

const KEXMetaClass& KEXFilter::metaClass()
{
  static const KEXMetaClass* m = makeMeta("KEXFilter", sizeof(KEXFilter), KEXObject::metaClass());
  return *m;
}
const KEXMetaClass& KEXFilter::getMetaClass() const { return metaClass(); }
KEXenum KEXFilter::getObjectID(int level) const
{
  return level == 0 ? KEXenum("KEXFilter") : KEXObject::getObjectID(level - 1);
}
