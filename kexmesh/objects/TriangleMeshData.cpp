// The mesh object that owns its lists. Three read-only providers compute the derived values from
// the lists when they are read; three change hooks announce the derived values when a list they
// depend on changes (VertexList -> BoundingBox, MeanSamplingDistance; TriangleList ->
// MeanSamplingDistance; BoundingBox -> OrientedBoundingBox), all under the object's
// PropertyMessage lock so that observers hear of each once.
#include "kexmesh/objects/TriangleMeshData.h"
#include "kex/Error.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/objects/EdgeFlagListOP.h"
#include "kexmesh/objects/RGBAListOP.h"
#include "kexmesh/objects/TriangleListOP.h"
#include "kexmesh/objects/Vector2ListOP.h"
#include "kexmesh/objects/Vector3ListOP.h"
#include "kexmesh/objects/Vocabulary.h"

KEXMESH_DEFINE_CLASS(KEXTriangleMeshData, KEXTriangleMesh)

namespace {
constexpr unsigned int PROTECTED_ATTRIBUTE = 16;
constexpr unsigned int PROTECTED_DATA_OBJECT = 0x110100;
using Box = KEXValuePair<KEXVector3<float>>;

class BoundingBoxProvider : public KEXValueProvider<Box> {
public:
  explicit BoundingBoxProvider(const KEXVector3ListOP& vertices) : m_vertices(vertices) {}
  bool provide(Box& box) const override
  {
    const KEXValueList<KEXVector3<float>>& list = m_vertices.getList();
    KEXInterval<KEXVector3<float>> interval;
    for (const KEXVector3<float>& p : list)
      interval.unite(p);
    box = interval.toPair();
    return true;
  }

private:
  const KEXVector3ListOP& m_vertices;
};

class OrientedBoundingBoxProvider : public KEXValueProvider<KEXMatrix4<float>> {
public:
  explicit OrientedBoundingBoxProvider(const KEXObject& object) : m_object(object) {}
  bool provide(KEXMatrix4<float>& matrix) const override
  {
    Box box;
    if (!m_object.getValue(KEX::BoundingBox, box))
      return false;
    matrix = KEXOrientedBBox(box).getMatrix();
    return true;
  }

private:
  const KEXObject& m_object;
};

class MeanSamplingDistanceProvider : public KEXValueProvider<KEXVector3<float>> {
public:
  MeanSamplingDistanceProvider(const KEXVector3ListOP& vertices, const KEXTriangleListOP& triangles)
      : m_vertices(vertices), m_triangles(triangles) {}
  bool provide(KEXVector3<float>& value) const override
  {
    const auto& v = m_vertices.getList();
    const auto& t = m_triangles.getList();
    return KEXTriangleMeshBuffer::calculateMeanSamplingDistance(v.getData(), v.getCount(), t.getData(), t.getCount(),
                                                                value);
  }

private:
  const KEXVector3ListOP& m_vertices;
  const KEXTriangleListOP& m_triangles;
};

/// Announces derived properties of the owner when the property it is attached to changes.
class DerivedValueHook : public KEXProperty::ChangeHook {
public:
  DerivedValueHook(KEXenum first, KEXenum second = KEXenum()) : m_first(first), m_second(second) {}
  void changed(KEXProperty& property) override
  {
    KEXObject* owner = property.getOwner();
    if (!owner)
      return;
    owner->lock(KEX::PropertyMessage);
    owner->notifyPropertyChanged(m_first);
    if (m_second.isValid())
      owner->notifyPropertyChanged(m_second);
    owner->unlock(KEX::PropertyMessage);
  }

private:
  KEXenum m_first, m_second;
};
} // namespace

struct KEXTriangleMeshData::Private : KEXClassMember {
  KEXVector3ListOP vertexList{0, PROTECTED_ATTRIBUTE};
  KEXVector3ListOP vertexNormalList{0, PROTECTED_ATTRIBUTE};
  KEXRGBAListOP vertexColorList{0, PROTECTED_ATTRIBUTE};
  KEXEdgeFlagListOP vertexEdgeFlagList{0, PROTECTED_ATTRIBUTE};
  KEXVector2ListOP textureCoordinateList{0, PROTECTED_ATTRIBUTE};
  KEXTriangleListOP triangleList{0, PROTECTED_ATTRIBUTE};
  KEXVector3ListOP triangleNormalList{0, PROTECTED_ATTRIBUTE};
  KEXRGBAListOP triangleColorList{0, PROTECTED_ATTRIBUTE};
  BoundingBoxProvider boundingBox{vertexList};
  OrientedBoundingBoxProvider orientedBoundingBox;
  MeanSamplingDistanceProvider meanSamplingDistance{vertexList, triangleList};
  DerivedValueHook vertexHook{KEX::BoundingBox, KEX::MeanSamplingDistance};
  DerivedValueHook triangleHook{KEX::MeanSamplingDistance};
  DerivedValueHook boundingBoxHook{KEX::OrientedBoundingBox};
  bool attached = false;

  explicit Private(const KEXObject& owner) : orientedBoundingBox(owner) {}

  /// Copies every list of other; false when one copy came out short (the lists copied so far stay).
  bool copyFrom(const Private& o)
  {
    return vertexList.setList(o.vertexList.getList()) && vertexNormalList.setList(o.vertexNormalList.getList()) &&
           vertexColorList.setList(o.vertexColorList.getList()) &&
           vertexEdgeFlagList.setList(o.vertexEdgeFlagList.getList()) &&
           textureCoordinateList.setList(o.textureCoordinateList.getList()) &&
           triangleList.setList(o.triangleList.getList()) && triangleNormalList.setList(o.triangleNormalList.getList()) &&
           triangleColorList.setList(o.triangleColorList.getList());
  }
};

KEXTriangleMeshData::KEXTriangleMeshData()
{
  setProtectedFlags(PROTECTED_DATA_OBJECT, 0);
  m_data = new Private(*this);
  if (!m_data) {
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
  } else {
    Private& d = *m_data;
    const struct {
      KEXenum name;
      KEXProperty* property;
    } lists[] = {{KEX::VertexList, &d.vertexList},
                 {KEX::VertexNormalList, &d.vertexNormalList},
                 {KEX::VertexColorList, &d.vertexColorList},
                 {KEX::VertexEdgeFlagList, &d.vertexEdgeFlagList},
                 {KEX::TextureCoordinateList, &d.textureCoordinateList},
                 {KEX::TriangleList, &d.triangleList},
                 {KEX::TriangleNormalList, &d.triangleNormalList},
                 {KEX::TriangleColorList, &d.triangleColorList}};
    bool ok = true;
    for (const auto& entry : lists)
      if (addProperty(entry.name, entry.property) != KEX::NoError) {
        ok = false;
        break;
      }
    KEXProperty* box = getProperty(KEX::BoundingBox);
    KEXProperty* oriented = getProperty(KEX::OrientedBoundingBox);
    KEXProperty* distance = getProperty(KEX::MeanSamplingDistance);
    if (ok && box && oriented && distance) {
      box->setExtension(&d.boundingBox);
      oriented->setExtension(&d.orientedBoundingBox);
      distance->setExtension(&d.meanSamplingDistance);
      d.attached = true;
      ok = box->attachHook(&d.boundingBoxHook) && d.vertexList.attachHook(&d.vertexHook) &&
           d.triangleList.attachHook(&d.triangleHook);
    } else {
      ok = false;
    }
    if (!ok)
      KEXError::emitError(KEXError::Message(this, KEX::GenericError));
  }
  metaClass().applyDefaultFlags(this);
}

KEXTriangleMeshData::KEXTriangleMeshData(const KEXTriangleMeshData& other) : KEXTriangleMeshData()
{
  KEXTriangleMesh::operator=(other);
  if (m_data && other.m_data && !m_data->copyFrom(*other.m_data))
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
}

KEXTriangleMeshData& KEXTriangleMeshData::operator=(const KEXTriangleMeshData& other)
{
  if (this != &other) {
    KEXTriangleMesh::operator=(other);
    if (m_data && other.m_data) {
      lock(KEX::PropertyMessage);
      if (!m_data->copyFrom(*other.m_data))
        KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
      unlock(KEX::PropertyMessage);
    }
  }
  return *this;
}

KEXTriangleMeshData::~KEXTriangleMeshData()
{
  if (!m_data)
    return;
  // The derived properties belong to the base class and outlive the providers and hooks.
  if (m_data->attached) {
    if (KEXProperty* box = getProperty(KEX::BoundingBox)) {
      box->setExtension(nullptr);
      box->detachHook(&m_data->boundingBoxHook);
    }
    if (KEXProperty* oriented = getProperty(KEX::OrientedBoundingBox))
      oriented->setExtension(nullptr);
    if (KEXProperty* distance = getProperty(KEX::MeanSamplingDistance))
      distance->setExtension(nullptr);
  }
  delete m_data;
}

KEXenum KEXTriangleMeshData::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXTriangleMeshData", 0, "kexmesh");
  return level == 0 ? id.get() : KEXTriangleMesh::getObjectID(level - 1);
}
