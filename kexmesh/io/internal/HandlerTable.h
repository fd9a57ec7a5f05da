#pragma once
// Internal (not installed): what the two families of file handlers (meshes, volumes) share. Each
// keeps a table of its formats, file extensions to handler class, in the order they are offered;
// a handler is created by class name, which binds its plug-in module on first use; and each
// family registers its role under GeometryIO once.
#include "kex/Object.h"
#include "kexgeometry/GeometryIO.h"
#include "kexmesh/objects/LibraryInit.h"
#include "kexmesh/objects/Vocabulary.h"

#include <cstddef>
#include <string>

namespace kexmeshio_detail {

struct HandlerEntry {
  const char* extensions; ///< space separated, lower case ("inr inr.gz")
  const char* className;
};

/// Every extension of a table, space separated, in table order.
template <size_t N>
std::string joinExtensions(const HandlerEntry (&table)[N])
{
  std::string s;
  for (const HandlerEntry& e : table)
    s += (s.empty() ? "" : " ") + std::string(e.extensions);
  return s;
}

/// A new handler of class className when that class is a Handler (an unknown name reaches the
/// library's locate hook, which binds the module of a plug-in class); null otherwise.
template <class Handler>
Handler* createHandler(const char* className)
{
  const KEXMetaClass* meta = className ? KEXMetaClass::find(className) : nullptr;
  if (!meta || !meta->isOfType(Handler::metaClass()))
    return nullptr;
  return static_cast<Handler*>(meta->create());
}

/// The handler for fileName's extension, or null with Unsupported in report: the module of a
/// known extension cannot be loaded, or the extension is unknown (kind names the files in the
/// message: "file", "volume file").
template <class Handler, size_t N>
Handler* createHandlerForFile(const HandlerEntry (&table)[N], const char* fileName, KEXGeometryIO::Report& report,
                              const char* kind, const char* supported)
{
  const char* name = fileName ? fileName : "";
  for (const HandlerEntry& e : table) {
    if (!KEXGeometryIO::matchesExtension(fileName, e.extensions))
      continue;
    if (Handler* h = createHandler<Handler>(e.className))
      return h;
    const char* module = KEXMesh::LibraryInit::LocateHook::moduleFor(e.className);
    report.fail(KEXGeometryIO::Report::Unsupported, "%s: the file format plug-in %s cannot be loaded", name,
                module ? module : e.className);
    return nullptr;
  }
  const std::string ext = KEXGeometryIO::extensionOf(fileName);
  report.fail(KEXGeometryIO::Report::Unsupported, "%s: unknown %s extension \"%s\" (supported: %s)", name, kind,
              ext.c_str(), supported);
  return nullptr;
}

/// Registers roleName as a kind of GeometryIO with meta as its default class, once per role
/// (callers keep the result in a function-local static).
inline bool registerHandlerRole(const char* roleName, const KEXMetaClass& meta)
{
  __kexmesh_enum_init();
  const KEXenum role(roleName);
  if (!KEXObject::RoleManager::hasRole(KEX::GeometryIO))
    KEXObject::RoleManager::addRole(KEX::GeometryIO, KEXenum());
  const bool added = KEXObject::RoleManager::hasRole(role) || KEXObject::RoleManager::addRole(role, KEX::GeometryIO);
  const bool defaulted = KEXObject::RoleManager::addDefaultRole(&meta, role);
  const bool interfaced = KEXObject::RoleManager::setRoleInterface(role, KEXObject::RoleManager::RoleInterface());
  return added && defaulted && interfaced;
}

} // namespace kexmeshio_detail
