// The library's class-location hook. The renderer and file-format classes of the mesh family live
// in plug-in modules; the framework asks the hook for class names it does not know, and the hook
// binds the module that defines the class. Names are compared exactly (including their end), so a
// longer name that merely starts with a listed one binds nothing.
#include "kexmesh/objects/LibraryInit.h"

#include <cstring>

namespace {
using ModuleEntry = KEXMesh::LibraryInit::ModuleEntry;
constexpr ModuleEntry g_modules[] = {
    {"KEXTriangleMeshDriverGL", "kexmeshddopengl"},
    {"KEXGeometryPlaneDriverGL", "kexmeshddopengl"},
    {"KEXColorMaterialDriverGL", "kexmeshddopengl"},
    {"KEXTwoSideColorMaterialDriverGL", "kexmeshddopengl"},
    {"KEXGeometryMaterialTexture2DIDriverGL", "kexmeshddopengl"},
    {"KEXTriangleMeshIOASC", "kexmeshioasc"},
    {"KEXTriangleMeshIOBIN", "kexmeshiobin"},
    {"KEXTriangleMeshIOCSV", "kexmeshiocsv"},
    {"KEXTriangleMeshIOSTL", "kexmeshiostl"},
    {"KEXTriangleMeshIOOFF", "kexmeshiooff"},
    {"KEXTriangleMeshIOWRL", "kexmeshiowrl"},
    {"KEXTriangleMeshIOPLY", "kexmeshioply"},
    {"KEXTriangleMeshIOOBJ", "kexmeshioobj"},
    {"KEXTriangleMeshIOXYZ", "kexmeshioxyz"},
    {"KEXTriangleMeshIOTXT", "kexmeshiotxt"},
    {"KEXTriangleMeshIOXML", "kexmeshioxml"},
    {"KEXGridIORAW", "kexmeshiovolume"},
    {"KEXGridIOINR", "kexmeshiovolume"},
    {"KEXGridIONRRD", "kexmeshiovolume"},
    {"KEXGridIOMetaImage", "kexmeshiovolume"},
    {"KEXP2V", "kexmeshp2v"},
    {"KEXP2VParameterHint", "kexmeshp2v"},
    {"KEXTriangleMeshMpr", "kexddtrianglemeshmpr"},
};

// The hook lives as long as the library is loaded.
KEXMesh::LibraryInit::LocateHook g_locateHook;
} // namespace

const KEXMesh::LibraryInit::ModuleEntry* KEXMesh::LibraryInit::moduleTable(int& count)
{
  count = int(sizeof(g_modules) / sizeof(g_modules[0]));
  return g_modules;
}

KEXMesh::LibraryInit::LocateHook::LocateHook() { KEXMetaClass::addLocateHook(this); }

KEXMesh::LibraryInit::LocateHook::~LocateHook() { KEXMetaClass::removeLocateHook(this); }

const char* KEXMesh::LibraryInit::LocateHook::moduleFor(const char* className)
{
  if (!className)
    return nullptr;
  for (const ModuleEntry& e : g_modules)
    if (std::strcmp(e.className, className) == 0)
      return e.module;
  return nullptr;
}

bool KEXMesh::LibraryInit::LocateHook::locate(const char* className)
{
  const char* module = moduleFor(className);
  if (!module)
    return false;
  KEXPluginManager::bind(module, nullptr, true);
  return true;
}
