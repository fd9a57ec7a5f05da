// Base of triangle mesh file handlers: registration, the private part, default buffer entry
// points that refuse, and the object entry points. The concrete formats are plug-ins.
//
// The object entry points convert between the mesh object's list properties and a buffer and let
// the format's buffer entry point do the file work. A write checks the list lengths first, so an
// inconsistent object never creates a file. A read keeps a copy of the object's former lists and
// puts them back when storing the new ones fails half way, so the object is never left with a mix
// of old and new lists.
#include "kexmesh/io/TriangleMeshIO.h"
#include "kexmesh/io/internal/HandlerTable.h"

#include "kex/Error.h"
#include "kex/Memory.h"
#include "kex/Object.h"
#include "kex/Properties.h"
#include "kexmesh/objects/LibraryInit.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <array>
#include <new>
#include <string>

KEXMESH_DEFINE_ABSTRACT_CLASS(KEXTriangleMeshIO, KEXGeometryIO)

KEXTriangleMeshIO::KEXTriangleMeshIO()
{
  setProtectedFlags(0x110100, 0);
  metaClass().applyDefaultFlags(this);
}

KEXTriangleMeshIO::KEXTriangleMeshIO(const KEXTriangleMeshIO& other) : KEXGeometryIO(other) {}

KEXTriangleMeshIO& KEXTriangleMeshIO::operator=(const KEXTriangleMeshIO& other)
{
  KEXGeometryIO::operator=(other);
  return *this;
}

KEXTriangleMeshIO::~KEXTriangleMeshIO() = default;

bool KEXTriangleMeshIO::readBuffer(const char* fileName, KEXTriangleMeshBuffer&, Report& report)
{
  return report.fail(Report::Unsupported, "%s: this handler cannot read files", fileName ? fileName : "");
}

bool KEXTriangleMeshIO::writeBuffer(const char* fileName, const KEXTriangleMeshBuffer&, Report& report)
{
  return report.fail(Report::Unsupported, "%s: this handler cannot write files", fileName ? fileName : "");
}

KEXenum KEXTriangleMeshIO::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXTriangleMeshIO", 0, "kexmesh");
  return level == 0 ? id.get() : KEXGeometryIO::getObjectID(level - 1);
}

namespace {

// One list property of a mesh object as the object entry points see it.
struct ListInfo {
  KEXenum name;
  const char* label;
  bool perTriangle;
  bool required;
  int bufferCount;
  bool (*takes)(const KEXObject&, KEXenum); // a writable list property of the right item type
};

template <class E>
bool takesList(const KEXObject& object, KEXenum name)
{
  const KEXProperty* p = object.getProperty(name);
  return dynamic_cast<const KEXValueArrayPropertyIF<E>*>(p) && !p->getExtension();
}

template <class E>
bool hasList(const KEXObject& object, KEXenum name)
{
  return dynamic_cast<const KEXValueArrayPropertyIF<E>*>(object.getProperty(name)) != nullptr;
}

// The eight lists in the order the conversions copy them, with the buffer's item counts.
std::array<ListInfo, 8> listsOf(const KEXTriangleMeshBuffer& b)
{
  return {{
      {KEX::VertexList, "vertex", false, true, b.vertexList.getCount(), &takesList<KEXVector3<float>>},
      {KEX::VertexNormalList, "vertex normal", false, false, b.vertexNormalList.getCount(),
       &takesList<KEXVector3<float>>},
      {KEX::VertexColorList, "vertex colour", false, false, b.vertexColorList.getCount(), &takesList<KEXRGBA<float>>},
      {KEX::VertexEdgeFlagList, "vertex edge flag", false, false, b.vertexEdgeFlagList.getCount(), &takesList<int>},
      {KEX::TextureCoordinateList, "texture coordinate", false, false, b.textureCoordinateList.getCount(),
       &takesList<KEXVector2<float>>},
      {KEX::TriangleList, "triangle", true, true, b.triangleList.getCount(), &takesList<KEXTriangle<int>>},
      {KEX::TriangleNormalList, "triangle normal", true, false, b.triangleNormalList.getCount(),
       &takesList<KEXVector3<float>>},
      {KEX::TriangleColorList, "triangle colour", true, false, b.triangleColorList.getCount(),
       &takesList<KEXRGBA<float>>},
  }};
}

bool isMeshObject(const KEXObject& object)
{
  return hasList<KEXVector3<float>>(object, KEX::VertexList) && hasList<KEXTriangle<int>>(object, KEX::TriangleList);
}

const char* nameOf(const char* fileName) { return fileName ? fileName : ""; }

} // namespace

bool KEXTriangleMeshIO::read(const char* fileName, KEXObject* geometry, Report& report)
{
  report.clear();
  if (!geometry || !isMeshObject(*geometry))
    return report.fail(Report::Unsupported, "%s: the target object holds no triangle mesh lists", nameOf(fileName));
  KEXTriangleMeshBuffer mesh;
  if (!readBuffer(fileName, mesh, report))
    return false;
  // Refuse before touching the object when it cannot hold what the file carries.
  for (const ListInfo& list : listsOf(mesh))
    if ((list.required || list.bufferCount > 0) && !list.takes(*geometry, list.name))
      return report.fail(Report::Unsupported,
                         "%s: the target object has no writable %s list for the file's %d %s items", nameOf(fileName),
                         list.label, list.bufferCount, list.label);
  KEXTriangleMeshBuffer former;
  if (!KEXTriangleMeshAction::bufferFromObject(&former, geometry))
    return report.fail(Report::OutOfMemory, "%s: out of memory while keeping the object's former mesh",
                       nameOf(fileName));
  if (KEXTriangleMeshAction::objectFromBuffer(geometry, &mesh))
    return true;
  if (KEXTriangleMeshAction::objectFromBuffer(geometry, &former))
    return report.fail(Report::OutOfMemory,
                       "%s: out of memory while storing the mesh in the object (it keeps its former mesh)",
                       nameOf(fileName));
  return report.fail(Report::OutOfMemory,
                     "%s: out of memory while storing the mesh in the object; its former mesh could not be "
                     "restored either",
                     nameOf(fileName));
}

bool KEXTriangleMeshIO::write(const char* fileName, const KEXObject* geometry, Report& report)
{
  report.clear();
  if (!geometry || !isMeshObject(*geometry))
    return report.fail(Report::Unsupported, "%s: the object to write holds no triangle mesh lists", nameOf(fileName));
  KEXTriangleMeshBuffer mesh;
  if (!KEXTriangleMeshAction::bufferFromObject(&mesh, geometry))
    return report.fail(Report::OutOfMemory, "%s: out of memory while taking the mesh from the object",
                       nameOf(fileName));
  const int vertices = mesh.getVertexCount(), triangles = mesh.getTriangleCount();
  for (const ListInfo& list : listsOf(mesh)) {
    const int expected = list.perTriangle ? triangles : vertices;
    if (!list.required && list.bufferCount != 0 && list.bufferCount != expected)
      return report.fail(Report::Malformed, "%s: the mesh's %s list has %d items for %d %s; nothing was written",
                         nameOf(fileName), list.label, list.bufferCount, expected,
                         list.perTriangle ? "triangles" : "vertices");
  }
  return writeBuffer(fileName, mesh, report);
}

bool KEXTriangleMeshIO::registerRole()
{
  static const bool done = kexmeshio_detail::registerHandlerRole("TriangleMeshIO", metaClass());
  return done;
}

namespace {
// Registered once when the library loads.
[[maybe_unused]] const bool roleAtLoad = KEXTriangleMeshIO::registerRole();
} // namespace

namespace {

// The formats the tool and hosts can name by file extension, in the order they are offered. The
// module of each handler class comes from the library's one plug-in table.
const kexmeshio_detail::HandlerEntry handlers[] = {
    {"ply", "KEXTriangleMeshIOPLY"},
    {"stl", "KEXTriangleMeshIOSTL"},
    {"off", "KEXTriangleMeshIOOFF"},
    {"obj", "KEXTriangleMeshIOOBJ"},
    {"xyz pwn", "KEXTriangleMeshIOXYZ"},
};

// "ply stl off obj xyz pwn", built once from the table.
const std::string& supportedExtensions()
{
  static const std::string all = kexmeshio_detail::joinExtensions(handlers);
  return all;
}

} // namespace

const char* KEXTriangleMeshIO::getSupportedExtensions() { return supportedExtensions().c_str(); }

KEXTriangleMeshIO* KEXTriangleMeshIO::create(const char* className)
{
  return kexmeshio_detail::createHandler<KEXTriangleMeshIO>(className);
}

KEXTriangleMeshIO* KEXTriangleMeshIO::createForFile(const char* fileName, Report& report)
{
  return kexmeshio_detail::createHandlerForFile<KEXTriangleMeshIO>(handlers, fileName, report, "file",
                                                                   getSupportedExtensions());
}

void KEXTriangleMeshIO::destroy(KEXTriangleMeshIO* handler)
{
  if (handler)
    handler->release();
}
