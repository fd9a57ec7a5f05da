// The triangle quality filter: the cap-removal and degenerate-repair steps of the repair filter,
// offered on their own with the same limits (and the same forwarding of them to the algorithm).
#include "kexmesh/repair/EnhanceTriangleMesh.h"
#include "kex/Error.h"
#include "kexmesh/objects/internal/ObjectMembers.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/FixTriangleMesh.h"
#include "kexmesh/repair/RepairBadTrianglesAlgorithm.h"

KEXMESH_DEFINE_CLASS(KEXEnhanceTriangleMesh, KEXTriangleMeshFilter)

struct KEXEnhanceTriangleMesh::Private : KEXClassMember {
  using LimitsAttr = KEXFixTriangleMesh::LimitsAttr;
  using RemoveCapTrianglesActionAttr = KEXFixTriangleMesh::RemoveCapTrianglesActionAttr;
  class RemoveDegenerateTrianglesActionAttr : public KEXTriangleMeshActionAttr {
  public:
    RemoveDegenerateTrianglesActionAttr() : KEXTriangleMeshActionAttr(&KEXRepairBadTrianglesAlgorithm::metaClass(), 0, 0) {}
  };

  LimitsAttr angleLimits{KEXFixTriangleMesh::DEFAULT_ANGLE_LIMITS, KEXFixTriangleMesh::ANGLE_LIMITS_RANGE.first,
                         KEXFixTriangleMesh::ANGLE_LIMITS_RANGE.second};
  LimitsAttr capAngleLimits{KEXFixTriangleMesh::DEFAULT_CAP_ANGLE_LIMITS, KEXFixTriangleMesh::CAP_ANGLE_LIMITS_RANGE.first,
                            KEXFixTriangleMesh::CAP_ANGLE_LIMITS_RANGE.second};
  LimitsAttr needleAngleLimits{KEXFixTriangleMesh::DEFAULT_NEEDLE_ANGLE_LIMITS,
                               KEXFixTriangleMesh::NEEDLE_ANGLE_LIMITS_RANGE.first,
                               KEXFixTriangleMesh::NEEDLE_ANGLE_LIMITS_RANGE.second};
  RemoveCapTrianglesActionAttr removeCapTriangles;
  RemoveDegenerateTrianglesActionAttr removeDegenerateTriangles;
};

KEXMESH_DEFINE_OBJECT_COPIES(KEXEnhanceTriangleMesh, KEXTriangleMeshFilter)

void KEXEnhanceTriangleMesh::construct()
{
  if (!kexmeshobjects::createPrivate(*this, m_private, KEX::OutOfMemory))
    return;
  Private& p = *m_private;
  bool ok = addProperty(KEX::AngleLimits, &p.angleLimits) == KEX::NoError;
  ok = addProperty(KEX::CapAngleLimits, &p.capAngleLimits) == KEX::NoError && ok;
  ok = addProperty(KEX::NeedleAngleLimits, &p.needleAngleLimits) == KEX::NoError && ok;
  ok = addAction(KEX::RemoveCapTriangles, &p.removeCapTriangles) == KEX::NoError && ok;
  ok = addAction(KEX::RemoveDegenerateTriangles, &p.removeDegenerateTriangles) == KEX::NoError && ok;
  if (!ok)
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
}

void KEXEnhanceTriangleMesh::copyValues(const KEXEnhanceTriangleMesh& other)
{
  if (!m_private || !other.m_private)
    return;
  KEXValuePair<float> limits;
  // Values of a live property of the same kind are always accepted.
  if (other.m_private->angleLimits.getValue(limits))
    m_private->angleLimits.setValue(limits);
  if (other.m_private->capAngleLimits.getValue(limits))
    m_private->capAngleLimits.setValue(limits);
  if (other.m_private->needleAngleLimits.getValue(limits))
    m_private->needleAngleLimits.setValue(limits);
}

KEXenum KEXEnhanceTriangleMesh::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXEnhanceTriangleMesh", 0, "kexmesh");
  return level == 0 ? id.get() : KEXTriangleMeshFilter::getObjectID(level - 1);
}

bool KEXEnhanceTriangleMesh::removeCapTriangles() { return m_private && m_private->removeCapTriangles.execute(nullptr); }

bool KEXEnhanceTriangleMesh::removeDegenerateTriangles()
{
  return m_private && m_private->removeDegenerateTriangles.execute(nullptr);
}
