// The repair filter. Each step action is a plain mesh action bound to its algorithm class, except
// the welding and cap-removal steps, which copy the filter's distance and angle limits into their
// algorithm in prepare(): a value the user sets on the filter must take effect, and because the
// properties' defaults equal the algorithms' own defaults, an untouched filter runs exactly the
// standard repair. The sequence itself is the shared sequence routine: one buffer read from the
// source, every step on it, one write to the destination, nothing written after a failure.
#include "kexmesh/repair/FixTriangleMesh.h"
#include "kex/Error.h"
#include "kexmesh/objects/internal/ObjectMembers.h"
#include "kexmesh/core/CalculateTriangleNormalsAlgorithm.h"
#include "kexmesh/core/CalculateVertexNormalsAlgorithm.h"
#include "kexmesh/core/FlipOrientationAlgorithm.h"
#include "kexmesh/core/HarmonizeTriangleNormalsAlgorithm.h"
#include "kexmesh/core/HarmonizeVertexNormalsAlgorithm.h"
#include "kexmesh/objects/ExecuteSequenceAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/ActionListAttr.h"
#include "kexmesh/repair/CheckTriangleMeshAlgorithm.h"
#include "kexmesh/repair/CloseGapsAlgorithm.h"
#include "kexmesh/repair/ClusterVerticesAlgorithm.h"
#include "kexmesh/repair/ConsolidateOrientationAlgorithm.h"
#include "kexmesh/repair/DiscardInfiniteVerticesAlgorithm.h"
#include "kexmesh/repair/DiscardInvalidTrianglesAlgorithm.h"
#include "kexmesh/repair/DyeBadTrianglesAlgorithm.h"
#include "kexmesh/repair/RemoveCapTrianglesAlgorithm.h"
#include "kexmesh/repair/RemoveOrphanedTrianglesAlgorithm.h"
#include "kexmesh/repair/RemoveOrphanedVerticesAlgorithm.h"
#include "kexmesh/repair/RepairBadTrianglesAlgorithm.h"

#include <cmath>

KEXMESH_DEFINE_CLASS(KEXFixTriangleMesh, KEXTriangleMeshFilter)

namespace {
using FloatOP = KEXSingleValueOP<KEXSingleValuePropertyIF<float>, float>;
using IntOP = KEXSingleValueOP<KEXSingleValuePropertyIF<int>, int>;
} // namespace

// --- properties ------------------------------------------------------------------------------------
KEXFixTriangleMesh::LimitsAttr::LimitsAttr(const KEXValuePair<float>& defaultValue, float low, float high)
    : LimitsOP(defaultValue), m_low(low), m_high(high)
{
}

unsigned int KEXFixTriangleMesh::LimitsAttr::check(const KEXValuePair<float>& value) const
{
  return m_low <= value.first && value.first <= value.second && value.second <= m_high ? KEX_CHECK_ACCEPTED : 0u;
}

struct KEXFixTriangleMesh::Private : KEXClassMember {
  /// The welding distance: any finite value (negative: guess it).
  class MaximumDistanceAttr : public FloatOP, public KEXClassMember {
  public:
    using KEXClassMember::operator new;
    using KEXClassMember::operator delete;
    MaximumDistanceAttr() : FloatOP(DEFAULT_MAXIMUM_DISTANCE) {}
    unsigned int check(const float& value) const override { return std::isfinite(value) ? KEX_CHECK_ACCEPTED : 0u; }
  };
  /// Held for hosts that set it; no step reads it.
  class ComponentProxyAttr : public IntOP, public KEXClassMember {
  public:
    using KEXClassMember::operator new;
    using KEXClassMember::operator delete;
    ComponentProxyAttr() : IntOP(DEFAULT_COMPONENT_PROXY) {}
  };

#define KEXMESH_FIX_STEP(Step, Algorithm)                                                                              \
  class Step##ActionAttr : public KEXTriangleMeshActionAttr {                                                          \
  public:                                                                                                              \
    Step##ActionAttr() : KEXTriangleMeshActionAttr(&Algorithm::metaClass(), 0, 0) {}                                   \
  };
  KEXMESH_FIX_STEP(CalculateTriangleNormals, KEXCalculateTriangleNormalsAlgorithm)
  KEXMESH_FIX_STEP(CalculateVertexNormals, KEXCalculateVertexNormalsAlgorithm)
  KEXMESH_FIX_STEP(Check, KEXCheckTriangleMeshAlgorithm)
  KEXMESH_FIX_STEP(ConsolidateOrientation, KEXConsolidateOrientationAlgorithm)
  KEXMESH_FIX_STEP(DiscardInfiniteVertices, KEXDiscardInfiniteVerticesAlgorithm)
  KEXMESH_FIX_STEP(DiscardInvalidTriangles, KEXDiscardInvalidTrianglesAlgorithm)
  KEXMESH_FIX_STEP(DyeBadTriangles, KEXDyeBadTrianglesAlgorithm)
  KEXMESH_FIX_STEP(FlipOrientation, KEXFlipOrientationAlgorithm)
  KEXMESH_FIX_STEP(HarmonizeTriangleNormals, KEXHarmonizeTriangleNormalsAlgorithm)
  KEXMESH_FIX_STEP(HarmonizeVertexNormals, KEXHarmonizeVertexNormalsAlgorithm)
  KEXMESH_FIX_STEP(RemoveOrphanedTriangles, KEXRemoveOrphanedTrianglesAlgorithm)
  KEXMESH_FIX_STEP(RemoveOrphanedVertices, KEXRemoveOrphanedVerticesAlgorithm)
#undef KEXMESH_FIX_STEP

  /// A step whose algorithm counts what its run did: the step keeps a copy of the last counts.
  template <class Algorithm>
  class CountingStepAttr : public KEXTriangleMeshActionAttr {
  public:
    CountingStepAttr() : KEXTriangleMeshActionAttr(&Algorithm::metaClass(), 0, 0) {}
    bool run(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters) override
    {
      const bool ok = KEXTriangleMeshActionAttr::run(algorithm, parameters);
      if (auto* counting = dynamic_cast<Algorithm*>(algorithm))
        last = counting->getStatistics();
      return ok;
    }
    typename Algorithm::Statistics last;
  };
  using CloseGapsActionAttr = CountingStepAttr<KEXCloseGapsAlgorithm>;
  using RemoveDegenerateTrianglesActionAttr = CountingStepAttr<KEXRepairBadTrianglesAlgorithm>;

  KEXActionListAttr actionList{getDefaultSequence(), DEFAULT_SEQUENCE_COUNT};
  LimitsAttr angleLimits{DEFAULT_ANGLE_LIMITS, ANGLE_LIMITS_RANGE.first, ANGLE_LIMITS_RANGE.second};
  LimitsAttr capAngleLimits{DEFAULT_CAP_ANGLE_LIMITS, CAP_ANGLE_LIMITS_RANGE.first, CAP_ANGLE_LIMITS_RANGE.second};
  LimitsAttr needleAngleLimits{DEFAULT_NEEDLE_ANGLE_LIMITS, NEEDLE_ANGLE_LIMITS_RANGE.first,
                               NEEDLE_ANGLE_LIMITS_RANGE.second};
  MaximumDistanceAttr maximumDistance;
  ComponentProxyAttr componentProxy;
  KEXExecuteSequenceAction filter;
  CalculateTriangleNormalsActionAttr calculateTriangleNormals;
  CalculateVertexNormalsActionAttr calculateVertexNormals;
  CheckActionAttr check;
  CloseGapsActionAttr closeGaps;
  ClusterVerticesActionAttr clusterVertices;
  ConsolidateOrientationActionAttr consolidateOrientation;
  DiscardInfiniteVerticesActionAttr discardInfiniteVertices;
  DiscardInvalidTrianglesActionAttr discardInvalidTriangles;
  DyeBadTrianglesActionAttr dyeBadTriangles;
  FlipOrientationActionAttr flipOrientation;
  HarmonizeTriangleNormalsActionAttr harmonizeTriangleNormals;
  HarmonizeVertexNormalsActionAttr harmonizeVertexNormals;
  RemoveCapTrianglesActionAttr removeCapTriangles;
  RemoveDegenerateTrianglesActionAttr removeDegenerateTriangles;
  RemoveOrphanedTrianglesActionAttr removeOrphanedTriangles;
  RemoveOrphanedVerticesActionAttr removeOrphanedVertices;
};

// --- step actions that read the filter's properties ----------------------------------------------
KEXFixTriangleMesh::ClusterVerticesActionAttr::ClusterVerticesActionAttr()
    : KEXTriangleMeshActionAttr(&KEXClusterVerticesAlgorithm::metaClass(), 0, 0)
{
}

bool KEXFixTriangleMesh::ClusterVerticesActionAttr::prepare(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters)
{
  if (!KEXTriangleMeshActionAttr::prepare(algorithm, parameters))
    return false;
  auto* cluster = dynamic_cast<KEXClusterVerticesAlgorithm*>(algorithm);
  if (!cluster)
    return false;
  cluster->setRepairMode(true);
  float distance = DEFAULT_MAXIMUM_DISTANCE;
  const KEXObject* owner = getOwner();
  if (owner && owner->getValue(KEX::MaximumDistance, distance))
    return cluster->setMaximumDistance(distance);
  return true;
}

bool KEXFixTriangleMesh::ClusterVerticesActionAttr::run(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters)
{
  const bool ok = KEXTriangleMeshActionAttr::run(algorithm, parameters);
  if (auto* cluster = dynamic_cast<KEXClusterVerticesAlgorithm*>(algorithm))
    m_usedDistance = cluster->getUsedDistance();
  return ok;
}

KEXFixTriangleMesh::RemoveCapTrianglesActionAttr::RemoveCapTrianglesActionAttr()
    : KEXTriangleMeshActionAttr(&KEXRemoveCapTrianglesAlgorithm::metaClass(), 0, 0)
{
}

bool KEXFixTriangleMesh::RemoveCapTrianglesActionAttr::prepare(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters)
{
  if (!KEXTriangleMeshActionAttr::prepare(algorithm, parameters))
    return false;
  auto* caps = dynamic_cast<KEXRemoveCapTrianglesAlgorithm*>(algorithm);
  if (!caps)
    return false;
  const KEXObject* owner = getOwner();
  if (!owner)
    return true;
  // The properties' ranges lie inside what the algorithm accepts, so a value the property took is
  // never refused here; a refusal still fails the step rather than running with stale limits.
  KEXValuePair<float> limits;
  if (owner->getValue(KEX::AngleLimits, limits) && !caps->setAngleLimits(limits))
    return false;
  if (owner->getValue(KEX::CapAngleLimits, limits) && !caps->setCapAngleLimits(limits))
    return false;
  if (owner->getValue(KEX::NeedleAngleLimits, limits) && !caps->setNeedleAngleLimits(limits))
    return false;
  return true;
}

// --- the filter --------------------------------------------------------------------------------------
float KEXFixTriangleMesh::getLastWeldDistance() const
{
  return m_private ? m_private->clusterVertices.getUsedDistance() : -1.0f;
}

KEXCloseGapsAlgorithm::Statistics KEXFixTriangleMesh::getLastGapStatistics() const
{
  return m_private ? m_private->closeGaps.last : KEXCloseGapsAlgorithm::Statistics();
}

KEXRepairBadTrianglesAlgorithm::Statistics KEXFixTriangleMesh::getLastDegenerateStatistics() const
{
  return m_private ? m_private->removeDegenerateTriangles.last : KEXRepairBadTrianglesAlgorithm::Statistics();
}

const KEXenum* KEXFixTriangleMesh::getDefaultSequence()
{
  static const KEXenum table[DEFAULT_SEQUENCE_COUNT] = {
      KEX::DiscardInfiniteVertices,   KEX::DiscardInvalidTriangles, KEX::ClusterVertices,
      KEX::RemoveOrphanedVertices,    KEX::RemoveDegenerateTriangles, KEX::ConsolidateOrientation,
      KEX::CloseGaps,                 KEX::RemoveDegenerateTriangles, KEX::RemoveCapTriangles,
      KEX::RemoveDegenerateTriangles, KEX::Check};
  return table;
}

KEXMESH_DEFINE_OBJECT_COPIES(KEXFixTriangleMesh, KEXTriangleMeshFilter)

void KEXFixTriangleMesh::construct()
{
  if (!kexmeshobjects::createPrivate(*this, m_private, KEX::OutOfMemory))
    return;
  Private& p = *m_private;
  bool ok = p.actionList.reset();
  const struct {
    KEXenum name;
    KEXProperty* property;
  } properties[] = {{KEX::ActionList, &p.actionList},         {KEX::MaximumDistance, &p.maximumDistance},
                    {KEX::AngleLimits, &p.angleLimits},       {KEX::CapAngleLimits, &p.capAngleLimits},
                    {KEX::NeedleAngleLimits, &p.needleAngleLimits}, {KEX::ComponentProxy, &p.componentProxy}};
  for (const auto& e : properties)
    ok = addProperty(e.name, e.property) == KEX::NoError && ok;
  const struct {
    KEXenum name;
    KEXAction* action;
  } actions[] = {{KEX::CalculateTriangleNormals, &p.calculateTriangleNormals},
                 {KEX::CalculateVertexNormals, &p.calculateVertexNormals},
                 {KEX::Check, &p.check},
                 {KEX::CloseGaps, &p.closeGaps},
                 {KEX::ClusterVertices, &p.clusterVertices},
                 {KEX::ConsolidateOrientation, &p.consolidateOrientation},
                 {KEX::DiscardInfiniteVertices, &p.discardInfiniteVertices},
                 {KEX::DiscardInvalidTriangles, &p.discardInvalidTriangles},
                 {KEX::DyeBadTriangles, &p.dyeBadTriangles},
                 {KEX::Filter, &p.filter},
                 {KEX::FlipOrientation, &p.flipOrientation},
                 {KEX::HarmonizeTriangleNormals, &p.harmonizeTriangleNormals},
                 {KEX::HarmonizeVertexNormals, &p.harmonizeVertexNormals},
                 {KEX::RemoveCapTriangles, &p.removeCapTriangles},
                 {KEX::RemoveDegenerateTriangles, &p.removeDegenerateTriangles},
                 {KEX::RemoveOrphanedTriangles, &p.removeOrphanedTriangles},
                 {KEX::RemoveOrphanedVertices, &p.removeOrphanedVertices}};
  for (const auto& e : actions)
    ok = addAction(e.name, e.action) == KEX::NoError && ok;
  // Registration can only fail for want of memory: the names are fixed and distinct.
  if (!ok)
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
}

void KEXFixTriangleMesh::copyValues(const KEXFixTriangleMesh& other)
{
  if (!m_private || !other.m_private)
    return;
  Private& p = *m_private;
  const Private& o = *other.m_private;
  const KEXValueList<KEXenum>& names = o.actionList.getList();
  bool ok = p.actionList.initArray(names.getCount(), names.getData());
  KEXValuePair<float> limits;
  ok = o.angleLimits.getValue(limits) && p.angleLimits.setValue(limits) && ok;
  ok = o.capAngleLimits.getValue(limits) && p.capAngleLimits.setValue(limits) && ok;
  ok = o.needleAngleLimits.getValue(limits) && p.needleAngleLimits.setValue(limits) && ok;
  float distance = 0.0f;
  ok = o.maximumDistance.getValue(distance) && p.maximumDistance.setValue(distance) && ok;
  int proxy = 0;
  ok = o.componentProxy.getValue(proxy) && p.componentProxy.setValue(proxy) && ok;
  if (!ok)
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
}

KEXenum KEXFixTriangleMesh::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXFixTriangleMesh", 0, "kexmesh");
  return level == 0 ? id.get() : KEXTriangleMeshFilter::getObjectID(level - 1);
}

bool KEXFixTriangleMesh::setSequenceList(const KEXenum* list, int count)
{
  if (!m_private || count < 0 || (!list && count > 0))
    return false;
  return m_private->actionList.initArray(count, list);
}

KEXenum KEXFixTriangleMesh::getSequenceID(int i) const
{
  KEXenum name;
  if (!m_private || !m_private->actionList.readItem(i, name))
    return KEX::Unknown;
  return name;
}

int KEXFixTriangleMesh::getSequenceCount() const { return m_private ? m_private->actionList.getCount() : 0; }

bool KEXFixTriangleMesh::preprocessing()
{
  if (!m_private)
    return false;
  return KEXExecuteSequenceAction::executeSequence(this, getDefaultSequence(), DEFAULT_SEQUENCE_COUNT, nullptr);
}

bool KEXFixTriangleMesh::executeSequence(void* parameters)
{
  return m_private && m_private->filter.execute(parameters);
}
