#include "kexmesh/objects/TriangleMeshFilter.h"
#include "kex/Error.h"
#include "kexmesh/objects/Vocabulary.h"

KEXMESH_DEFINE_ABSTRACT_CLASS(KEXTriangleMeshFilter, KEXGeometryFilter)

namespace {
class TriangleMeshAttr : public KEXObjectLinkPropertyIF, public KEXClassMember {
public:
  using KEXClassMember::operator new;
  using KEXClassMember::operator delete;
  TriangleMeshAttr() : KEXObjectLinkPropertyIF(KEXGeometryFilter::VIEW_FLAGS, KEXGeometryFilter::VIEW_PROTECTED_FLAGS) {}

  unsigned int check(const KEXObjectLink& value) const override
  {
    const KEXObjectLinkPropertyIF* g = geometry();
    return g ? g->check(value) : 0;
  }
  bool setValue(const KEXObjectLink& value) override
  {
    KEXObjectLinkPropertyIF* g = geometry();
    return g && g->setValue(value);
  }
  bool getValue(KEXObjectLink& value) const override
  {
    const KEXObjectLinkPropertyIF* g = geometry();
    return g && g->getValue(value);
  }

private:
  KEXObjectLinkPropertyIF* geometry() const
  {
    KEXObject* owner = getOwner();
    return owner ? dynamic_cast<KEXObjectLinkPropertyIF*>(owner->getProperty(KEX::Geometry)) : nullptr;
  }
};
} // namespace

KEXTriangleMeshFilter::KEXTriangleMeshFilter() { registerTriangleMesh(); }

KEXTriangleMeshFilter::KEXTriangleMeshFilter(const KEXTriangleMeshFilter& other) : KEXGeometryFilter(other)
{
  registerTriangleMesh();
}

KEXTriangleMeshFilter& KEXTriangleMeshFilter::operator=(const KEXTriangleMeshFilter& other)
{
  KEXGeometryFilter::operator=(other);
  return *this;
}

KEXTriangleMeshFilter::~KEXTriangleMeshFilter() = default;

void KEXTriangleMeshFilter::registerTriangleMesh()
{
  auto* property = new TriangleMeshAttr;
  if (!property) {
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
    return;
  }
  KEXenum code = addProperty(KEX::TriangleMesh, property, true);
  if (code != KEX::NoError) {
    delete property;
    KEXError::emitError(KEXError::Message(this, code));
  }
}

KEXenum KEXTriangleMeshFilter::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXTriangleMeshFilter", 0, "kexmesh");
  return level == 0 ? id.get() : KEXGeometryFilter::getObjectID(level - 1);
}
