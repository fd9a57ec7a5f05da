#pragma once
// Start-up of the library: the class-location hook that binds the plug-in module of a renderer or
// file-format class of this library's family when the framework is asked for it by name.
#include "kex/Class.h"

namespace KEXMesh {
class LibraryInit {
public:
  /// A class of the library's family that lives in a plug-in module.
  struct ModuleEntry {
    const char* className;
    const char* module;
  };
  /// The one table of plug-in classes and their modules (count entries).
  static const ModuleEntry* moduleTable(int& count);

  class LocateHook : public KEXMetaClass::LocateHook {
  public:
    /// Adds itself to the framework's locate hooks.
    LocateHook();
    /// Removes itself again.
    ~LocateHook() override;
    LocateHook(const LocateHook&) = delete;
    LocateHook& operator=(const LocateHook&) = delete;
    /// For a name of the table (compared exactly), binds its module with
    /// KEXPluginManager::bind(module, null, true) and answers true whatever bind returns; any
    /// other name answers false.
    bool locate(const char* className) override;
    /// The module that serves className, or null.
    static const char* moduleFor(const char* className);
  };
};
} // namespace KEXMesh
