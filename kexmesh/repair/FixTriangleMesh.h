#pragma once
// KEXFixTriangleMesh: the repair filter. It declares one mesh action per repair step and the
// sequence action Filter, which runs the steps named by its ActionList property on one shared
// buffer (by default an eleven-step repair of a raw mesh: drop non-finite vertices and invalid
// triangles, weld, drop orphans, repair degenerate triangles, orient, close holes, clean the new
// triangles, check). The properties MaximumDistance and the three angle limits reach the welding
// and cap-removal steps; with their defaults the steps behave exactly as their algorithms' own
// defaults.
#include "kex/Properties.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshFilter.h"
#include "kexmesh/repair/CloseGapsAlgorithm.h"
#include "kexmesh/repair/RepairBadTrianglesAlgorithm.h"

class KEXFixTriangleMesh : public KEXTriangleMeshFilter {
  KEXMESH_DECLARE_CLASS(KEXFixTriangleMesh)

public:
  /// The ClusterVertices step: hands the owner's MaximumDistance (when it has one) to the welding
  /// algorithm before every run or check and welds in repair mode: without a distance of its own
  /// the step estimates one that joins float-noise copies but never the two ends of an edge, and
  /// vertices with a closed fan stay out (see KEXClusterVerticesAlgorithm::setRepairMode).
  class ClusterVerticesActionAttr : public KEXTriangleMeshActionAttr {
  public:
    ClusterVerticesActionAttr();
    bool prepare(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters) override;
    bool run(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters) override;
    /// The distance the last run welded with; -1 before the first.
    float getUsedDistance() const { return m_usedDistance; }

  private:
    float m_usedDistance = -1.0f;
  };
  /// The RemoveCapTriangles step: hands the owner's AngleLimits, CapAngleLimits and
  /// NeedleAngleLimits (those it has) to the cap-removal algorithm before every run or check.
  class RemoveCapTrianglesActionAttr : public KEXTriangleMeshActionAttr {
  public:
    RemoveCapTrianglesActionAttr();
    bool prepare(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters) override;
  };

  using LimitsOP = KEXSingleValueOP<KEXSingleValuePropertyIF<KEXValuePair<float>>, KEXValuePair<float>>;
  /// A pair of angle limits in degrees, accepted when low <= first <= second <= high (NaN is
  /// refused); reset() restores the default. Used for AngleLimits, CapAngleLimits and
  /// NeedleAngleLimits here and in the enhance filter.
  class LimitsAttr : public LimitsOP, public KEXClassMember {
  public:
    using KEXClassMember::operator new;
    using KEXClassMember::operator delete;
    LimitsAttr(const KEXValuePair<float>& defaultValue, float low, float high);
    unsigned int check(const KEXValuePair<float>& value) const override;

  private:
    float m_low, m_high;
  };
  /// Defaults and accepted ranges of the limits (degrees).
  static constexpr KEXValuePair<float> DEFAULT_ANGLE_LIMITS{0.0f, 1.0f};
  static constexpr KEXValuePair<float> DEFAULT_CAP_ANGLE_LIMITS{135.0f, 180.0f};
  static constexpr KEXValuePair<float> DEFAULT_NEEDLE_ANGLE_LIMITS{0.0f, 10.0f};
  static constexpr KEXValuePair<float> ANGLE_LIMITS_RANGE{0.0f, 90.0f};
  static constexpr KEXValuePair<float> CAP_ANGLE_LIMITS_RANGE{90.0f, 180.0f};
  static constexpr KEXValuePair<float> NEEDLE_ANGLE_LIMITS_RANGE{0.0f, 22.5f};
  /// Default of MaximumDistance: negative, i.e. the welding step guesses its distance.
  static constexpr float DEFAULT_MAXIMUM_DISTANCE = -1.0f;
  static constexpr int DEFAULT_COMPONENT_PROXY = -1;

  /// Number of steps of the default sequence.
  static constexpr int DEFAULT_SEQUENCE_COUNT = 11;
  /// The default sequence: one process-wide table of DEFAULT_SEQUENCE_COUNT names, built on first
  /// use.
  static const KEXenum* getDefaultSequence();

  /// Registers the properties (ActionList holding the default sequence) and the actions. A failed
  /// allocation or registration is reported as OutOfMemory with this filter on the error channel;
  /// the filter then lacks what could not be made.
  KEXFixTriangleMesh();
  /// A filter of its own with the other's links and property values.
  KEXFixTriangleMesh(const KEXFixTriangleMesh& other);
  /// Assigns the links and the property values (actions keep their own algorithm instances).
  KEXFixTriangleMesh& operator=(const KEXFixTriangleMesh& other);
  ~KEXFixTriangleMesh() override;

  /// "KEXFixTriangleMesh" at level 0, the base filter's identity (level - 1) deeper.
  KEXenum getObjectID(int level) const override;

  /// Replaces ActionList by list[0 ... count-1].
  /// \return false (list unchanged) when the property is missing, count is negative, list is null
  ///         for a positive count, or memory is short.
  bool setSequenceList(const KEXenum* list, int count);
  /// Item i of ActionList; KEX::Unknown when it cannot be read.
  KEXenum getSequenceID(int i) const;
  /// Number of items of ActionList (0 when the property is missing).
  int getSequenceCount() const;
  /// Runs the default sequence (not the current ActionList) from the source to the destination
  /// object through the sequence routine. \return false when a step fails or a name is not an
  /// action of this filter (nothing is written then); true also after a stop request.
  bool preprocessing();
  /// The distance the last ClusterVertices step welded with (the given MaximumDistance, or the
  /// estimate when it was negative); -1 when no welding step ran yet.
  float getLastWeldDistance() const;
  /// What the last CloseGaps step and the last RemoveDegenerateTriangles step did (all zero before
  /// the first run), for a report of what a repair left.
  KEXCloseGapsAlgorithm::Statistics getLastGapStatistics() const;
  KEXRepairBadTrianglesAlgorithm::Statistics getLastDegenerateStatistics() const;
  /// Executes Filter (the steps of ActionList) with parameters: null for object mode, or a
  /// KEXTriangleMeshAction::Parameters record whose buffer is repaired in place.
  /// \return false when the private record is missing or the sequence fails.
  bool executeSequence(void* parameters);

private:
  struct Private;
  void construct();
  void copyValues(const KEXFixTriangleMesh& other);
  Private* m_private = nullptr;
};
