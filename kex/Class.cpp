#include "kex/Class.h"
#include "kex/Memory.h"
#include "kex/Testing.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {
struct ClassRegistry {
  std::recursive_mutex mutex;
  // Per name the live metaclasses in registration order; the newest one answers. A module that
  // registers a name again and is unloaded hands the name back to the earlier registration.
  std::map<std::string, std::vector<const KEXMetaClass*>> classes;
  const KEXMetaClass* lookup(const char* name) const
  {
    auto it = classes.find(name);
    return it == classes.end() ? nullptr : it->second.back();
  }
  std::vector<KEXMetaClass::LocateHook*> hooks;
  std::vector<kexTest::BindCall> bindLog;
  std::map<std::string, void*> loaded;
  std::vector<std::string> directories;
  std::set<const void*> parameterRecords;
};
// Leaky singleton: metaclasses of other libraries unregister during their own unload.
ClassRegistry& registry()
{
  static ClassRegistry* r = new ClassRegistry;
  return *r;
}

} // namespace

void KEXClass::flagsWillChange(unsigned int, unsigned int) {}
void KEXClass::flagsHaveChanged(unsigned int, unsigned int) {}

void KEXClass::setFlags(unsigned int set, unsigned int clear)
{
  unsigned int old = m_flags;
  unsigned int now = (old | set) & ~clear;
  flagsWillChange(old, now);
  m_flags = now;
  flagsHaveChanged(old, now);
}

const KEXMetaClass& KEXClass::metaClass()
{
  static const KEXMetaClass* m =
      new KEXMetaClass("KEXClass", sizeof(KEXClass), nullptr, &KEXAbstractFactory::instance(), "kex", 0, 0, 0, nullptr, nullptr, false);
  return *m;
}

const KEXMetaClass& KEXClass::getMetaClass() const { return metaClass(); }

KEXMetaClass::KEXMetaClass(const char* name, size_t instanceSize, const KEXMetaClass* parent, const Factory* factory,
                           const char* module, unsigned int, unsigned int defaultFlags, unsigned int, const void*,
                           const void*, bool singleton)
    : m_name(name), m_size(instanceSize), m_parent(parent), m_factory(factory), m_module(module),
      m_defaultFlags(defaultFlags), m_singleton(singleton)
{
  ClassRegistry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  r.classes[name ? name : ""].push_back(this);
}

KEXMetaClass::~KEXMetaClass()
{
  ClassRegistry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  auto it = r.classes.find(m_name ? m_name : "");
  if (it != r.classes.end()) {
    std::erase(it->second, this);
    if (it->second.empty())
      r.classes.erase(it);
  }
}

bool KEXMetaClass::isOfType(const KEXMetaClass& other) const
{
  for (const KEXMetaClass* m = this; m; m = m->m_parent)
    if (m == &other)
      return true;
  return false;
}

KEXClass* KEXMetaClass::create(void* place) const { return m_factory ? m_factory->create(place) : nullptr; }
KEXClass* KEXMetaClass::clone(const KEXClass* source, void* place) const
{
  return m_factory ? m_factory->clone(source, place) : nullptr;
}
bool KEXMetaClass::assign(KEXClass* target, const KEXClass* source) const
{
  return m_factory && m_factory->assign(target, source);
}
bool KEXMetaClass::destruct(KEXClass* object, bool deleteIt) const
{
  return m_factory && m_factory->destruct(object, deleteIt);
}
void KEXMetaClass::applyDefaultFlags(KEXClass* object) const
{
  if (object)
    object->setFlags(m_defaultFlags, 0);
}

const KEXMetaClass* KEXMetaClass::find(const char* className)
{
  if (!className)
    return nullptr;
  ClassRegistry& r = registry();
  std::vector<LocateHook*> hooks;
  {
    std::lock_guard<std::recursive_mutex> lock(r.mutex);
    if (const KEXMetaClass* m = r.lookup(className))
      return m;
    hooks = r.hooks;
  }
  // Hooks may load modules whose static metaclasses register themselves: call them unlocked.
  for (LocateHook* hook : hooks)
    hook->locate(className);
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  return r.lookup(className);
}

void KEXMetaClass::addLocateHook(LocateHook* hook)
{
  ClassRegistry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  r.hooks.push_back(hook);
}

void KEXMetaClass::removeLocateHook(LocateHook* hook)
{
  ClassRegistry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  std::erase(r.hooks, hook);
}

bool KEXPluginManager::bind(const char* module, const char* name, bool flag)
{
  ClassRegistry& r = registry();
  std::unique_lock<std::recursive_mutex> lock(r.mutex);
  r.bindLog.push_back({module ? module : "", name ? name : "", flag});
  if (!module)
    return false;
  auto it = r.loaded.find(module);
  if (it != r.loaded.end())
    return it->second != nullptr;
  std::vector<std::string> dirs = r.directories;
  dirs.push_back(KEX_PLUGIN_BUILD_DIR);
  dirs.push_back(KEX_PLUGIN_INSTALL_DIR);
  void* handle = nullptr;
  for (const std::string& d : dirs) {
    std::string path = d + "/lib" + module + ".so";
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (handle)
      break;
  }
  // A missing module is remembered too: asking again does not search again.
  r.loaded[module] = handle;
  return handle != nullptr;
}

void KEXPluginManager::addPluginDirectory(const char* directory)
{
  ClassRegistry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  if (directory)
    r.directories.insert(r.directories.begin(), directory);
}

void* KEXClassMember::operator new(size_t size) noexcept { return kexMalloc(size); }
void KEXClassMember::operator delete(void* p) noexcept { kexFree(p); }

bool KEXStructHeader::checkStruct(const void* p)
{
  if (!p)
    return false;
  ClassRegistry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  return r.parameterRecords.count(p) != 0;
}

KEXParameterClass::KEXParameterClass()
{
  ClassRegistry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  r.parameterRecords.insert(static_cast<const void*>(this));
}

KEXParameterClass::KEXParameterClass(const KEXParameterClass& other) : KEXClass(other)
{
  ClassRegistry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  r.parameterRecords.insert(static_cast<const void*>(this));
}

KEXParameterClass::~KEXParameterClass()
{
  ClassRegistry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  r.parameterRecords.erase(static_cast<const void*>(this));
}

const KEXMetaClass& KEXParameterClass::metaClass()
{
  static const KEXMetaClass* m = new KEXMetaClass("KEXParameterClass", sizeof(KEXParameterClass), &KEXClass::metaClass(),
                                                  &KEXAbstractFactory::instance(), "kex", 0, 0, 0, nullptr, nullptr, false);
  return *m;
}
const KEXMetaClass& KEXParameterClass::getMetaClass() const { return metaClass(); }

namespace kexTest {
std::vector<BindCall> pluginBindLog()
{
  ClassRegistry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  return r.bindLog;
}
void clearPluginBindLog()
{
  ClassRegistry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  r.bindLog.clear();
}
bool pluginLoaded(const char* module)
{
  ClassRegistry& r = registry();
  std::lock_guard<std::recursive_mutex> lock(r.mutex);
  auto it = r.loaded.find(module);
  return it != r.loaded.end() && it->second;
}
} // namespace kexTest

bool KEXAbstractFactory::destruct(KEXClass* object, bool deleteIt) const
{
  if (!object)
    return false;
  if (deleteIt)
    delete object;
  else
    object->~KEXClass();
  return true;
}

const KEXAbstractFactory& KEXAbstractFactory::instance()
{
  static const KEXAbstractFactory* f = new KEXAbstractFactory;
  return *f;
}
