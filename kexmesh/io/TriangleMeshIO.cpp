// Base of triangle mesh file handlers: registration, the private part and default entry points
// that refuse. The concrete formats are plug-ins.
#include "kexmesh/io/TriangleMeshIO.h"

#include "kex/Error.h"
#include "kex/Memory.h"
#include "kex/Object.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <new>
#include <string>

KEXMESH_DEFINE_ABSTRACT_CLASS(KEXTriangleMeshIO, KEXGeometryIO)

struct KEXTriangleMeshIO::Private {
  int reserved = 0;
};

namespace {

KEXTriangleMeshIO::Private* newPrivate()
{
  void* p = kexMalloc(sizeof(KEXTriangleMeshIO::Private));
  if (!p) {
    KEXError::emitError(KEXError::Message(KEX::OutOfMemory));
    return nullptr;
  }
  return new (p) KEXTriangleMeshIO::Private();
}

} // namespace

KEXTriangleMeshIO::KEXTriangleMeshIO() : m_private(newPrivate())
{
  setProtectedFlags(0x110100, 0);
  metaClass().applyDefaultFlags(this);
}

KEXTriangleMeshIO::KEXTriangleMeshIO(const KEXTriangleMeshIO& other) : KEXGeometryIO(other), m_private(newPrivate()) {}

KEXTriangleMeshIO& KEXTriangleMeshIO::operator=(const KEXTriangleMeshIO& other)
{
  KEXGeometryIO::operator=(other);
  return *this;
}

KEXTriangleMeshIO::~KEXTriangleMeshIO() { kexFree(m_private); }

bool KEXTriangleMeshIO::readBuffer(const char* fileName, KEXTriangleMeshBuffer&, Report& report)
{
  return report.fail(Report::Unsupported, "%s: this handler cannot read files", fileName ? fileName : "");
}

bool KEXTriangleMeshIO::writeBuffer(const char* fileName, const KEXTriangleMeshBuffer&, Report& report)
{
  return report.fail(Report::Unsupported, "%s: this handler cannot write files", fileName ? fileName : "");
}

bool KEXTriangleMeshIO::registerRole()
{
  static const bool done = [] {
    __kexmesh_enum_init();
    const KEXenum role("TriangleMeshIO");
    if (!KEXObject::RoleManager::hasRole(KEX::GeometryIO))
      KEXObject::RoleManager::addRole(KEX::GeometryIO, KEXenum());
    bool added = KEXObject::RoleManager::hasRole(role) || KEXObject::RoleManager::addRole(role, KEX::GeometryIO);
    bool defaulted = KEXObject::RoleManager::addDefaultRole(&metaClass(), role);
    bool interfaced = KEXObject::RoleManager::setRoleInterface(role, KEXObject::RoleManager::RoleInterface());
    return added && defaulted && interfaced;
  }();
  return done;
}

namespace {
// Registered once when the library loads.
[[maybe_unused]] const bool roleAtLoad = KEXTriangleMeshIO::registerRole();
} // namespace

namespace {

struct HandlerEntry {
  const char* extensions;
  const char* className;
  const char* anchorClass; // class whose lookup binds the module
  const char* module;
};

const HandlerEntry handlers[] = {
    {"ply", "KEXTriangleMeshIOPLY", "KEXTriangleMeshIOPLY", "kexmeshioply"},
    {"stl", "KEXTriangleMeshIOSTL", "KEXTriangleMeshIOSTL", "kexmeshiostl"},
    {"off", "KEXTriangleMeshIOOFF", "KEXTriangleMeshIOOFF", "kexmeshiooff"},
    {"obj", "KEXTriangleMeshIOOBJ", "KEXTriangleMeshIOOBJ", "kexmeshioobj"},
    {"xyz pwn", "KEXTriangleMeshIOXYZ", "KEXTriangleMeshIOPLY", "kexmeshioply"},
};

const KEXMetaClass* findHandlerClass(const HandlerEntry& e)
{
  if (const KEXMetaClass* m = KEXMetaClass::find(e.className))
    return m;
  // Classes that live beside another one in a module are found once that module is bound.
  KEXMetaClass::find(e.anchorClass);
  if (const KEXMetaClass* m = KEXMetaClass::find(e.className))
    return m;
  KEXPluginManager::bind(e.module, nullptr, true);
  return KEXMetaClass::find(e.className);
}

} // namespace

const char* KEXTriangleMeshIO::getSupportedExtensions() { return "ply stl off obj xyz pwn"; }

KEXTriangleMeshIO* KEXTriangleMeshIO::create(const char* className)
{
  if (!className)
    return nullptr;
  const KEXMetaClass* meta = nullptr;
  for (const HandlerEntry& e : handlers)
    if (std::string(e.className) == className)
      meta = findHandlerClass(e);
  if (!meta)
    meta = KEXMetaClass::find(className);
  if (!meta || !meta->isOfType(metaClass()))
    return nullptr;
  KEXClass* object = meta->create();
  if (!object)
    return nullptr;
  KEXTriangleMeshIO* handler = static_cast<KEXTriangleMeshIO*>(object);
  if (!handler->isValid()) {
    meta->destruct(object, true);
    return nullptr;
  }
  return handler;
}

KEXTriangleMeshIO* KEXTriangleMeshIO::createForFile(const char* fileName, Report& report)
{
  for (const HandlerEntry& e : handlers) {
    if (!matchesExtension(fileName, e.extensions))
      continue;
    if (KEXTriangleMeshIO* h = create(e.className))
      return h;
    report.fail(Report::Unsupported, "%s: the file format plug-in %s cannot be loaded", fileName ? fileName : "",
                e.module);
    return nullptr;
  }
  std::string ext = extensionOf(fileName);
  report.fail(Report::Unsupported, "%s: unknown file extension \"%s\" (supported: %s)", fileName ? fileName : "",
              ext.c_str(), getSupportedExtensions());
  return nullptr;
}

void KEXTriangleMeshIO::destroy(KEXTriangleMeshIO* handler)
{
  if (handler)
    handler->getMetaClass().destruct(handler, true);
}
