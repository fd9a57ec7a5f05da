// The Geometry view of a filter's four links. check() asks the links whether they would accept the
// geometry (first source and destination) and the null link (second ones), keeping only the check
// bits; set() writes the four links in order and stops at the first refusal; get() answers only
// while the filter reads from and writes to the same single geometry.
#include "kexmesh/objects/GeometryFilter.h"
#include "kex/Error.h"

KEXMESH_DEFINE_ABSTRACT_CLASS(KEXGeometryFilter, KEXFilter)

namespace {
KEXObjectLinkPropertyIF* link(KEXObject* owner, KEXenum name)
{
  return owner ? dynamic_cast<KEXObjectLinkPropertyIF*>(owner->getProperty(name)) : nullptr;
}

class GeometryAttr : public KEXObjectLinkPropertyIF, public KEXClassMember {
public:
  using KEXClassMember::operator new;
  using KEXClassMember::operator delete;
  GeometryAttr() : KEXObjectLinkPropertyIF(KEXGeometryFilter::VIEW_FLAGS, KEXGeometryFilter::VIEW_PROTECTED_FLAGS) {}

  unsigned int check(const KEXObjectLink& value) const override
  {
    KEXObject* owner = getOwner();
    KEXObjectLinkPropertyIF* fs = link(owner, KEX::FirstSource);
    KEXObjectLinkPropertyIF* ss = link(owner, KEX::SecondSource);
    KEXObjectLinkPropertyIF* fd = link(owner, KEX::FirstDestination);
    KEXObjectLinkPropertyIF* sd = link(owner, KEX::SecondDestination);
    if (!fs || !ss || !fd || !sd)
      return 0;
    const KEXObjectLink none;
    return fs->check(value) & fd->check(value) & ss->check(none) & sd->check(none) & KEX_CHECK_MASK;
  }

  bool setValue(const KEXObjectLink& value) override
  {
    KEXObject* owner = getOwner();
    KEXObjectLinkPropertyIF* fs = link(owner, KEX::FirstSource);
    KEXObjectLinkPropertyIF* ss = link(owner, KEX::SecondSource);
    KEXObjectLinkPropertyIF* fd = link(owner, KEX::FirstDestination);
    KEXObjectLinkPropertyIF* sd = link(owner, KEX::SecondDestination);
    if (!fs || !ss || !fd || !sd)
      return false;
    const KEXObjectLink none;
    owner->lock(KEX::PropertyMessage);
    bool ok = fs->setValue(value) && ss->setValue(none) && fd->setValue(value) && sd->setValue(none);
    if (ok)
      owner->notifyPropertyChanged(getName());
    owner->unlock(KEX::PropertyMessage);
    return ok;
  }

  bool getValue(KEXObjectLink& value) const override
  {
    KEXObject* owner = getOwner();
    KEXObjectLinkPropertyIF* fs = link(owner, KEX::FirstSource);
    KEXObjectLinkPropertyIF* ss = link(owner, KEX::SecondSource);
    KEXObjectLinkPropertyIF* fd = link(owner, KEX::FirstDestination);
    KEXObjectLinkPropertyIF* sd = link(owner, KEX::SecondDestination);
    KEXObjectLink first, second, destination, secondDestination;
    if (!fs || !ss || !fd || !sd || !fs->getValue(first) || !ss->getValue(second) || !fd->getValue(destination) ||
        !sd->getValue(secondDestination))
      return false;
    if (!second.isNull() || !secondDestination.isNull() || destination != first)
      return false;
    value = first;
    return true;
  }
};
} // namespace

KEXGeometryFilter::KEXGeometryFilter() { registerGeometry(); }

KEXGeometryFilter::KEXGeometryFilter(const KEXGeometryFilter& other) : KEXFilter(other) { registerGeometry(); }

KEXGeometryFilter& KEXGeometryFilter::operator=(const KEXGeometryFilter& other)
{
  KEXFilter::operator=(other);
  return *this;
}

KEXGeometryFilter::~KEXGeometryFilter() = default;

void KEXGeometryFilter::registerGeometry()
{
  auto* geometry = new GeometryAttr;
  if (!geometry) {
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
    return;
  }
  KEXenum code = addProperty(KEX::Geometry, geometry, true);
  if (code != KEX::NoError) {
    delete geometry;
    KEXError::emitError(KEXError::Message(this, code));
  }
}

KEXenum KEXGeometryFilter::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXGeometryFilter", 0, "kexmesh");
  return level == 0 ? id.get() : KEXFilter::getObjectID(level - 1);
}
