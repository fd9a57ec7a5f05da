// Base of volume file handlers: registration, default entry points that refuse, the object entry
// point (a grid object only) and the table of formats by extension. The concrete formats are in
// the plug-in module kexmeshiovolume.
#include "kexmesh/io/GridIO.h"
#include "kexmesh/io/internal/HandlerTable.h"

#include "kex/Object.h"
#include "kexmesh/objects/LibraryInit.h"
#include "kexmesh/objects/Vocabulary.h"

#include <cstring>
#include <string>

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
  static const bool done = kexmeshio_detail::registerHandlerRole("GridIO", metaClass());
  return done;
}

namespace {
// Registered once when the library loads.
[[maybe_unused]] const bool roleAtLoad = KEXGridIO::registerRole();

// The volume formats by extension, in the order they are offered. The module of each handler
// class comes from the library's one plug-in table.
const kexmeshio_detail::HandlerEntry handlers[] = {
    {"raw", "KEXGridIORAW"},
    {"inr inr.gz", "KEXGridIOINR"},
    {"nrrd nhdr", "KEXGridIONRRD"},
    {"mha mhd", "KEXGridIOMetaImage"},
};

const std::string& supportedExtensions()
{
  static const std::string all = kexmeshio_detail::joinExtensions(handlers);
  return all;
}
} // namespace

const char* KEXGridIO::getSupportedExtensions() { return supportedExtensions().c_str(); }

KEXGridIO* KEXGridIO::create(const char* className) { return kexmeshio_detail::createHandler<KEXGridIO>(className); }

KEXGridIO* KEXGridIO::createForFile(const char* fileName, Report& report)
{
  return kexmeshio_detail::createHandlerForFile<KEXGridIO>(handlers, fileName, report, "volume file",
                                                           getSupportedExtensions());
}

void KEXGridIO::destroy(KEXGridIO* handler)
{
  if (handler)
    handler->release();
}
