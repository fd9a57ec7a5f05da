// The triangle mesh geometry object: rendering properties, derived values and typed accessors of
// the list properties. The accessors look the lists up by name, so they work alike on a mesh that
// owns its lists and on a reference mesh given arbitrary list properties.
#include "kexmesh/objects/TriangleMesh.h"
#include "kex/Error.h"
#include "kexmesh/objects/internal/ObjectMembers.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/objects/TriangleArrayPropertyIF.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"

KEXMESH_DEFINE_ABSTRACT_CLASS(KEXTriangleMesh, KEXGeometry)

namespace {
constexpr unsigned int PROTECTED_ATTRIBUTE = 16;
constexpr unsigned int PERSISTENT = 0x80000000u;

using StringOP = KEXSingleValueOP<KEXSingleValuePropertyIF<const char*>, KEXCString>;
using BoxOP = KEXSingleValueOP<KEXSingleValuePropertyIF<KEXValuePair<KEXVector3<float>>>, KEXValuePair<KEXVector3<float>>>;
using MatrixOP = KEXSingleValueOP<KEXSingleValuePropertyIF<KEXMatrix4<float>>, KEXMatrix4<float>>;
using VectorOP = KEXSingleValueOP<KEXSingleValuePropertyIF<KEXVector3<float>>, KEXVector3<float>>;

template <class E>
const KEXValueArrayPropertyIF<E>* findList(const KEXObject& o, KEXenum name)
{
  return dynamic_cast<const KEXValueArrayPropertyIF<E>*>(o.getProperty(name));
}
template <class E>
KEXValueArrayPropertyIF<E>* findList(KEXObject& o, KEXenum name)
{
  return dynamic_cast<KEXValueArrayPropertyIF<E>*>(o.getProperty(name));
}

// Sets one list to count items; a null array empties it (a missing list is empty already).
template <class E>
bool initList(KEXObject& o, KEXenum name, int count, const E* items)
{
  KEXValueArrayPropertyIF<E>* p = findList<E>(o, name);
  if (!items)
    return !p || p->initArray(0, nullptr);
  return p && p->initArray(count, items);
}

template <class E>
bool setItems(KEXObject& o, KEXenum name, int first, int last, const E* items)
{
  KEXValueArrayPropertyIF<E>* p = findList<E>(o, name);
  return p && p->setItems(first, last, items);
}
template <class E>
bool getItems(const KEXObject& o, KEXenum name, int first, int last, E* items)
{
  const KEXValueArrayPropertyIF<E>* p = findList<E>(o, name);
  return p && p->getItems(first, last, items);
}
} // namespace

/// The attributes of the mesh object, each a property with its own default and reset.
struct KEXTriangleMesh::Private : KEXClassMember {
  /// Renderer and material names: reset restores the default, or falls back to no name.
  class GeometryRendererAttr : public StringOP {
  public:
    GeometryRendererAttr() : StringOP("KEXTriangleMeshDriverGL", PERSISTENT, PROTECTED_ATTRIBUTE) {}
  };
  class GeometryMaterialAttr : public StringOP {
  public:
    GeometryMaterialAttr() : StringOP("KEXGeometryColorMaterial", PERSISTENT, PROTECTED_ATTRIBUTE) {}
  };
  class BoundingBoxAttr : public BoxOP {
  public:
    BoundingBoxAttr() : BoxOP(KEXValuePair<KEXVector3<float>>(), 0, PROTECTED_ATTRIBUTE) {}
  };
  class OrientedBoundingBoxAttr : public MatrixOP {
  public:
    OrientedBoundingBoxAttr() : MatrixOP(KEXMatrix4<float>(1.0f), 0, PROTECTED_ATTRIBUTE) {}
  };
  class MeanSamplingDistanceAttr : public VectorOP {
  public:
    MeanSamplingDistanceAttr() : VectorOP(KEXVector3<float>(), 0, PROTECTED_ATTRIBUTE) {}
  };
  class GeometryAccessListAttr : public KEXObjectHardLinkListOP {
  public:
    GeometryAccessListAttr() : KEXObjectHardLinkListOP(PERSISTENT, PROTECTED_ATTRIBUTE) {}
  };

  GeometryRendererAttr renderer;
  GeometryMaterialAttr material;
  BoundingBoxAttr boundingBox;
  OrientedBoundingBoxAttr orientedBoundingBox;
  MeanSamplingDistanceAttr meanSamplingDistance;
  GeometryAccessListAttr accessList;
};

KEXTriangleMesh::KEXTriangleMesh() { registerProperties(); }

KEXTriangleMesh::KEXTriangleMesh(const KEXTriangleMesh& other) : KEXGeometry(other)
{
  registerProperties();
  if (m_private && other.m_private) {
    const char* s = nullptr;
    if (!(other.m_private->renderer.getValue(s) && m_private->renderer.setValue(s) &&
          other.m_private->material.getValue(s) && m_private->material.setValue(s)))
      KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
  }
}

KEXTriangleMesh& KEXTriangleMesh::operator=(const KEXTriangleMesh& other)
{
  if (this != &other) {
    KEXGeometry::operator=(other);
    if (m_private && other.m_private) {
      const char* s = nullptr;
      if (!(other.m_private->renderer.getValue(s) && m_private->renderer.setValue(s) &&
            other.m_private->material.getValue(s) && m_private->material.setValue(s)))
        KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
    }
  }
  return *this;
}

KEXTriangleMesh::~KEXTriangleMesh() { delete m_private; }

void KEXTriangleMesh::registerProperties()
{
  if (!kexmeshobjects::createPrivate(*this, m_private, KEX::OutOfMemory))
    return;
  Private& p = *m_private;
  if (!p.renderer.isInitialized() || !p.material.isInitialized() || !p.boundingBox.setMeta(KEX::Quantity, KEX::Length) ||
      !p.meanSamplingDistance.setMeta(KEX::Quantity, KEX::Length)) {
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
    return;
  }
  const struct {
    KEXenum name;
    KEXProperty* property;
  } table[] = {{KEX::GeometryRenderer, &p.renderer},
               {KEX::GeometryMaterial, &p.material},
               {KEX::BoundingBox, &p.boundingBox},
               {KEX::OrientedBoundingBox, &p.orientedBoundingBox},
               {KEX::MeanSamplingDistance, &p.meanSamplingDistance},
               {KEX::GeometryAccessList, &p.accessList}};
  for (const auto& entry : table) {
    KEXenum code = addProperty(entry.name, entry.property);
    if (code != KEX::NoError) {
      KEXError::emitError(KEXError::Message(this, code));
      return;
    }
  }
}

KEXenum KEXTriangleMesh::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXTriangleMesh", 0, "kexmesh");
  return level == 0 ? id.get() : KEXGeometry::getObjectID(level - 1);
}

int KEXTriangleMesh::listCount(KEXenum name) const
{
  const KEXProperty* p = getProperty(name);
  int first = 0, last = -1;
  // Every list property is an array of some element type; try the ones the mesh uses.
  if (auto* v3 = dynamic_cast<const KEXValueArrayPropertyIF<KEXVector3<float>>*>(p))
    v3->getIndexRange(first, last);
  else if (auto* c = dynamic_cast<const KEXValueArrayPropertyIF<KEXRGBA<float>>*>(p))
    c->getIndexRange(first, last);
  else if (auto* t = dynamic_cast<const KEXValueArrayPropertyIF<KEXTriangle<int>>*>(p))
    t->getIndexRange(first, last);
  else if (auto* v2 = dynamic_cast<const KEXValueArrayPropertyIF<KEXVector2<float>>*>(p))
    v2->getIndexRange(first, last);
  else if (auto* i = dynamic_cast<const KEXValueArrayPropertyIF<int>*>(p))
    i->getIndexRange(first, last);
  return last - first + 1;
}

int KEXTriangleMesh::getVertexCount() const { return listCount(KEX::VertexList); }

int KEXTriangleMesh::getNumberOfTriangles() const { return isValid() ? listCount(KEX::TriangleList) : -1; }

bool KEXTriangleMesh::isValid() const
{
  int v = listCount(KEX::VertexList);
  int t = listCount(KEX::TriangleList);
  auto fits = [this](KEXenum name, int n) {
    int c = listCount(name);
    return c == 0 || c == n;
  };
  bool valid = fits(KEX::VertexNormalList, v) && fits(KEX::VertexColorList, v) && fits(KEX::TextureCoordinateList, v) &&
               fits(KEX::TriangleNormalList, t) && fits(KEX::TriangleColorList, t);
  if (!valid)
    KEXError::emitError(KEXError::Message(this, KEX::InvalidTriangleMesh));
  return valid;
}

bool KEXTriangleMesh::initVertices(int count, const KEXVector3<float>* vertices, const KEXVector3<float>* normals,
                                   const int* edgeFlags, const KEXRGBA<float>* colors,
                                   const KEXVector2<float>* textureCoordinates)
{
  if (count < 0 || (count >= 1 && !vertices))
    return false;
  lock(KEX::PropertyMessage);
  KEXValueArrayPropertyIF<KEXVector3<float>>* list = findList<KEXVector3<float>>(*this, KEX::VertexList);
  bool ok = list && list->initArray(count, vertices);
  ok = initList(*this, KEX::VertexNormalList, count, normals) && ok;
  ok = initList(*this, KEX::VertexEdgeFlagList, count, edgeFlags) && ok;
  ok = initList(*this, KEX::VertexColorList, count, colors) && ok;
  ok = initList(*this, KEX::TextureCoordinateList, count, textureCoordinates) && ok;
  unlock(KEX::PropertyMessage);
  return ok;
}

bool KEXTriangleMesh::initTriangles(int count, const KEXTriangle<int>* triangles, const KEXVector3<float>* normals,
                                    const KEXRGBA<float>* colors)
{
  if (count < 0 || (count > 0 && !triangles)) {
    KEXError::emitError(KEXError::Message(this, KEX::InvalidValue));
    return false;
  }
  lock(KEX::PropertyMessage);
  KEXValueArrayPropertyIF<KEXTriangle<int>>* list = findList<KEXTriangle<int>>(*this, KEX::TriangleList);
  bool ok = list && list->initArray(count, triangles);
  ok = initList(*this, KEX::TriangleNormalList, count, normals) && ok;
  ok = initList(*this, KEX::TriangleColorList, count, colors) && ok;
  unlock(KEX::PropertyMessage);
  return ok;
}

bool KEXTriangleMesh::initVertexNormals(int count, const KEXVector3<float>* normals)
{
  return count >= 0 && initList(*this, KEX::VertexNormalList, count, normals);
}
bool KEXTriangleMesh::initTriangleNormals(int count, const KEXVector3<float>* normals)
{
  return count >= 0 && initList(*this, KEX::TriangleNormalList, count, normals);
}
bool KEXTriangleMesh::initVertexColors(int count, const KEXRGBA<float>* colors)
{
  return count >= 0 && initList(*this, KEX::VertexColorList, count, colors);
}
bool KEXTriangleMesh::initTriangleColors(int count, const KEXRGBA<float>* colors)
{
  return count >= 0 && initList(*this, KEX::TriangleColorList, count, colors);
}
bool KEXTriangleMesh::initTextureCoordinates(int count, const KEXVector2<float>* coordinates)
{
  return count >= 0 && initList(*this, KEX::TextureCoordinateList, count, coordinates);
}

bool KEXTriangleMesh::setVertexList(int first, int last, const KEXVector3<float>* items)
{
  return setItems(*this, KEX::VertexList, first, last, items);
}
bool KEXTriangleMesh::getVertexList(int first, int last, KEXVector3<float>* items) const
{
  return getItems(*this, KEX::VertexList, first, last, items);
}
bool KEXTriangleMesh::setVertexNormalList(int first, int last, const KEXVector3<float>* items)
{
  return setItems(*this, KEX::VertexNormalList, first, last, items);
}
bool KEXTriangleMesh::getVertexNormalList(int first, int last, KEXVector3<float>* items) const
{
  return getItems(*this, KEX::VertexNormalList, first, last, items);
}
bool KEXTriangleMesh::setVertexNormals(int first, int last, const KEXVector3<float>* items)
{
  return setVertexNormalList(first, last, items);
}
bool KEXTriangleMesh::getVertexNormals(int first, int last, KEXVector3<float>* items) const
{
  return getVertexNormalList(first, last, items);
}
bool KEXTriangleMesh::setVertexEdgeFlagList(int first, int last, const int* items)
{
  return setItems(*this, KEX::VertexEdgeFlagList, first, last, items);
}
bool KEXTriangleMesh::getVertexEdgeFlagList(int first, int last, int* items) const
{
  return getItems(*this, KEX::VertexEdgeFlagList, first, last, items);
}
bool KEXTriangleMesh::setTriangles(int first, int last, const KEXTriangle<int>* items)
{
  return setItems(*this, KEX::TriangleList, first, last, items);
}
bool KEXTriangleMesh::getTriangles(int first, int last, KEXTriangle<int>* items) const
{
  return getItems(*this, KEX::TriangleList, first, last, items);
}
bool KEXTriangleMesh::setTriangleNormals(int first, int last, const KEXVector3<float>* items)
{
  return setItems(*this, KEX::TriangleNormalList, first, last, items);
}
bool KEXTriangleMesh::getTriangleNormals(int first, int last, KEXVector3<float>* items) const
{
  return getItems(*this, KEX::TriangleNormalList, first, last, items);
}
bool KEXTriangleMesh::setVertexColors(int first, int last, const KEXRGBA<float>* items)
{
  return setItems(*this, KEX::VertexColorList, first, last, items);
}
bool KEXTriangleMesh::getVertexColors(int first, int last, KEXRGBA<float>* items) const
{
  return getItems(*this, KEX::VertexColorList, first, last, items);
}
bool KEXTriangleMesh::setTriangleColors(int first, int last, const KEXRGBA<float>* items)
{
  return setItems(*this, KEX::TriangleColorList, first, last, items);
}
bool KEXTriangleMesh::getTriangleColors(int first, int last, KEXRGBA<float>* items) const
{
  return getItems(*this, KEX::TriangleColorList, first, last, items);
}
bool KEXTriangleMesh::setTextureCoordinates(int first, int last, const KEXVector2<float>* items)
{
  return setItems(*this, KEX::TextureCoordinateList, first, last, items);
}
bool KEXTriangleMesh::getTextureCoordinates(int first, int last, KEXVector2<float>* items) const
{
  return getItems(*this, KEX::TextureCoordinateList, first, last, items);
}

bool KEXTriangleMesh::hasVertexNormals() const { return isValid() && listCount(KEX::VertexNormalList) > 0; }
bool KEXTriangleMesh::hasTriangleNormals() const { return isValid() && listCount(KEX::TriangleNormalList) > 0; }
bool KEXTriangleMesh::hasVertexColors() const { return isValid() && listCount(KEX::VertexColorList) > 0; }
bool KEXTriangleMesh::hasTriangleColors() const { return isValid() && listCount(KEX::TriangleColorList) > 0; }
bool KEXTriangleMesh::hasTextureCoordinates() const { return isValid() && listCount(KEX::TextureCoordinateList) > 0; }

bool KEXTriangleMesh::getBoundingBox(KEXValuePair<KEXVector3<float>>& box) const
{
  return getValue(KEX::BoundingBox, box);
}

bool KEXTriangleMesh::toBuffer(KEXTriangleMeshBuffer& buffer) const
{
  return KEXTriangleMeshAction::bufferFromObject(&buffer, this);
}

bool KEXTriangleMesh::fromBuffer(const KEXTriangleMeshBuffer& buffer)
{
  return KEXTriangleMeshAction::objectFromBuffer(this, &buffer);
}
