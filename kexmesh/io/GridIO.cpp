// Base of volume file handlers: registration, default entry points that refuse, the object entry
// point (a grid object only) and the table of formats by extension. The concrete formats are in
// the plug-in module kexmeshiovolume.
#include "kexmesh/io/GridIO.h"

#include "kex/Object.h"
#include "kexmesh/objects/LibraryInit.h"
#include "kexmesh/objects/Vocabulary.h"

#include <cstring>
#include <string>
#include <strings.h>

KEXMESH_DEFINE_ABSTRACT_CLASS(KEXGridIO, KEXGeometryIO)

KEXGridIO::KEXGridIO()
{
  setProtectedFlags(0x110100, 0);
  metaClass().applyDefaultFlags(this);
}

KEXGridIO::KEXGridIO(const KEXGridIO& other) : KEXGeometryIO(other) {}

KEXGridIO& KEXGridIO::operator=(const KEXGridIO& other)
{
  KEXGeometryIO::operator=(other);
  return *this;
}

KEXGridIO::~KEXGridIO() = default;

namespace {
const char* nameOf(const char* fileName) { return fileName ? fileName : ""; }
} // namespace

bool KEXGridIO::setRawLayout(const RawLayout&) { return false; }

bool KEXGridIO::readGrid(const char* fileName, KEXGrid&, Report& report)
{
  return report.fail(Report::Unsupported, "%s: this handler cannot read files", nameOf(fileName));
}

bool KEXGridIO::read(const char* fileName, KEXObject* geometry, Report& report)
{
  report.clear();
  KEXGrid* grid = dynamic_cast<KEXGrid*>(geometry);
  if (!grid)
    return report.fail(Report::Unsupported, "%s: the target object is not a grid", nameOf(fileName));
  return readGrid(fileName, *grid, report);
}

bool KEXGridIO::write(const char* fileName, const KEXObject*, Report& report)
{
  report.clear();
  return report.fail(Report::Unsupported, "%s: volume files can be read but not written", nameOf(fileName));
}

KEXenum KEXGridIO::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXGridIO", 0, "kexmesh");
  return level == 0 ? id.get() : KEXGeometryIO::getObjectID(level - 1);
}

bool KEXGridIO::registerRole()
{
  static const bool done = [] {
    __kexmesh_enum_init();
    const KEXenum role("GridIO");
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
[[maybe_unused]] const bool roleAtLoad = KEXGridIO::registerRole();

// The volume formats by extension, in the order they are offered. The module of each handler
// class comes from the library's one plug-in table.
struct HandlerEntry {
  const char* extensions;
  const char* className;
};

const HandlerEntry handlers[] = {
    {"raw", "KEXGridIORAW"},
    {"inr inr.gz", "KEXGridIOINR"},
    {"nrrd nhdr", "KEXGridIONRRD"},
    {"mha mhd", "KEXGridIOMetaImage"},
};

// Whether fileName ends in "." and one of extensions (space separated, without case). Unlike the
// base's test this takes extensions of two parts ("inr.gz") as a whole.
bool endsWithExtension(const char* fileName, const char* extensions)
{
  if (!fileName)
    return false;
  const size_t length = std::strlen(fileName);
  for (const char* p = extensions; *p;) {
    while (*p == ' ')
      ++p;
    const char* start = p;
    while (*p && *p != ' ')
      ++p;
    const size_t n = size_t(p - start);
    if (n > 0 && length > n && fileName[length - n - 1] == '.' && strncasecmp(fileName + length - n, start, n) == 0)
      return true;
  }
  return false;
}

const std::string& supportedExtensions()
{
  static const std::string all = [] {
    std::string s;
    for (const HandlerEntry& e : handlers)
      s += (s.empty() ? "" : " ") + std::string(e.extensions);
    return s;
  }();
  return all;
}
} // namespace

const char* KEXGridIO::getSupportedExtensions() { return supportedExtensions().c_str(); }

KEXGridIO* KEXGridIO::create(const char* className)
{
  if (!className)
    return nullptr;
  // An unknown name reaches the library's locate hook, which binds the module of a plug-in class.
  const KEXMetaClass* meta = KEXMetaClass::find(className);
  if (!meta || !meta->isOfType(metaClass()))
    return nullptr;
  KEXClass* object = meta->create();
  return object ? static_cast<KEXGridIO*>(object) : nullptr;
}

KEXGridIO* KEXGridIO::createForFile(const char* fileName, Report& report)
{
  for (const HandlerEntry& e : handlers) {
    if (!endsWithExtension(fileName, e.extensions))
      continue;
    if (KEXGridIO* h = create(e.className))
      return h;
    const char* module = KEXMesh::LibraryInit::LocateHook::moduleFor(e.className);
    report.fail(Report::Unsupported, "%s: the file format plug-in %s cannot be loaded", nameOf(fileName),
                module ? module : e.className);
    return nullptr;
  }
  std::string ext = extensionOf(fileName);
  report.fail(Report::Unsupported, "%s: unknown volume file extension \"%s\" (supported: %s)", nameOf(fileName),
              ext.c_str(), getSupportedExtensions());
  return nullptr;
}

void KEXGridIO::destroy(KEXGridIO* handler)
{
  if (handler)
    handler->release();
}
