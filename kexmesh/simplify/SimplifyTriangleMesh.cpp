// The simplification filter. Its Filter action hands the filter's limits, quality and error limit
// to the contraction in prepare(), before every run or check: a value the user sets must take
// effect, and because an untouched filter forwards exactly the contraction's own defaults (vertex
// limit 1000, triangle limit 2000, Nicest, maximum error 0.01), the default run is the standard one.
#include "kexmesh/simplify/SimplifyTriangleMesh.h"
#include "kexmesh/objects/internal/ObjectMembers.h"
#include "kex/Error.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/simplify/ContractVertexPairsAlgorithm.h"

#include <cmath>

KEXMESH_DEFINE_CLASS(KEXSimplifyTriangleMesh, KEXTriangleMeshFilter)

namespace {
using FloatOP = KEXSingleValueOP<KEXSingleValuePropertyIF<float>, float>;
using IntOP = KEXSingleValueOP<KEXSingleValuePropertyIF<int>, int>;
using EnumOP = KEXSingleValueOP<KEXSingleValuePropertyIF<KEXenum>, KEXenum>;

/// A float property accepted when finite and in [low, high].
class RangeAttr : public FloatOP, public KEXClassMember {
public:
  using KEXClassMember::operator new;
  using KEXClassMember::operator delete;
  RangeAttr(float defaultValue, float low, float high) : FloatOP(defaultValue), m_low(low), m_high(high) {}
  unsigned int check(const float& v) const override
  {
    return std::isfinite(v) && v >= m_low && v <= m_high ? KEX_CHECK_ACCEPTED : 0u;
  }

private:
  float m_low, m_high;
};
} // namespace

const KEXEnumSet& KEXSimplifyTriangleMesh::getQualityEnums()
{
  static const KEXEnumSet set("QualityEnums_kexmesh_simplifytrianglemesh",
                              {KEX::Fastest, KEX::Normal, KEX::Advanced, KEX::Nicest});
  return set;
}

struct KEXSimplifyTriangleMesh::Private : KEXClassMember {
  class KEXMaximumDistanceAttr : public RangeAttr {
  public:
    KEXMaximumDistanceAttr() : RangeAttr(DEFAULT_MAXIMUM_DISTANCE, 0.0f, INFINITY) {}
  };
  class KEXBorderWeightingAttr : public RangeAttr {
  public:
    KEXBorderWeightingAttr() : RangeAttr(DEFAULT_BORDER_WEIGHTING, 0.0f, 1.0f) {}
  };
  class KEXShapeWeightingAttr : public RangeAttr {
  public:
    KEXShapeWeightingAttr() : RangeAttr(DEFAULT_SHAPE_WEIGHTING, 0.0f, 1.0f) {}
  };
  class KEXVectorLengthAttr : public RangeAttr {
  public:
    KEXVectorLengthAttr() : RangeAttr(DEFAULT_VECTOR_LENGTH, 0.0f, INFINITY) {}
  };
  class KEXErrorLimitAttr : public RangeAttr {
  public:
    KEXErrorLimitAttr() : RangeAttr(DEFAULT_ERROR_LIMIT, 0.0f, INFINITY) {}
  };
  class CountAttr : public IntOP, public KEXClassMember {
  public:
    using KEXClassMember::operator new;
    using KEXClassMember::operator delete;
    explicit CountAttr(int defaultValue) : IntOP(defaultValue) {}
    unsigned int check(const int& v) const override { return v >= 0 ? KEX_CHECK_ACCEPTED : 0u; }
  };
  class KEXVertexLimitAttr : public CountAttr {
  public:
    KEXVertexLimitAttr() : CountAttr(DEFAULT_VERTEX_LIMIT) {}
  };
  class KEXTriangleLimitAttr : public CountAttr {
  public:
    KEXTriangleLimitAttr() : CountAttr(DEFAULT_TRIANGLE_LIMIT) {}
  };
  class KEXMethodQualityAttr : public EnumOP, public KEXClassMember {
  public:
    using KEXClassMember::operator new;
    using KEXClassMember::operator delete;
    KEXMethodQualityAttr() : EnumOP(KEX::Nicest) {}
    unsigned int check(const KEXenum& q) const override
    {
      return getQualityEnums().contains(q) ? KEX_CHECK_ACCEPTED : 0u;
    }
    bool reset() override { return setValue(KEX::Nicest) || setValue(getQualityEnums().getItem(0)); }
  };
  /// Runs the contraction with the owner's limits, quality and error limit.
  class FilterActionAttr : public KEXTriangleMeshActionAttr {
  public:
    FilterActionAttr() : KEXTriangleMeshActionAttr(&KEXContractVertexPairsAlgorithm::metaClass(), 0, 0) {}
    bool prepare(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters) override;
  };

  KEXMaximumDistanceAttr maximumDistance;
  KEXBorderWeightingAttr borderWeighting;
  KEXShapeWeightingAttr shapeWeighting;
  KEXVectorLengthAttr vectorLength;
  KEXErrorLimitAttr errorLimit;
  KEXVertexLimitAttr vertexLimit;
  KEXTriangleLimitAttr triangleLimit;
  KEXMethodQualityAttr quality;
  FilterActionAttr filter;
};

bool KEXSimplifyTriangleMesh::Private::FilterActionAttr::prepare(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters)
{
  if (!KEXTriangleMeshActionAttr::prepare(algorithm, parameters))
    return false;
  auto* contraction = dynamic_cast<KEXContractVertexPairsAlgorithm*>(algorithm);
  if (!contraction)
    return false;
  const KEXObject* owner = getOwner();
  if (!owner)
    return true;
  int vertices = DEFAULT_VERTEX_LIMIT, triangles = DEFAULT_TRIANGLE_LIMIT;
  float error = DEFAULT_ERROR_LIMIT;
  KEXenum quality = KEX::Nicest;
  owner->getValue(KEX::VertexLimit, vertices);
  owner->getValue(KEX::TriangleLimit, triangles);
  owner->getValue(KEX::ErrorLimit, error);
  owner->getValue(KEX::Quality, quality);
  if (triangles > 0)
    contraction->setTriangleLimit(triangles);
  else
    contraction->setVertexLimit(vertices);
  contraction->setMaximumError(error * ERROR_LIMIT_SCALE);
  // The property only takes the four qualities, which the contraction accepts.
  return contraction->setQuality(quality);
}

KEXMESH_DEFINE_OBJECT_COPIES(KEXSimplifyTriangleMesh, KEXTriangleMeshFilter)

void KEXSimplifyTriangleMesh::construct()
{
  if (!kexmeshobjects::createPrivate(*this, m_private, KEX::OutOfMemory))
    return;
  Private& p = *m_private;
  const bool ok = kexmeshobjects::addMembers(*this,
                                             {{KEX::MaximumDistance, &p.maximumDistance},
                                              {KEX::BorderWeighting, &p.borderWeighting},
                                              {KEX::ShapeWeighting, &p.shapeWeighting},
                                              {KEX::VectorLength, &p.vectorLength},
                                              {KEX::ErrorLimit, &p.errorLimit},
                                              {KEX::VertexLimit, &p.vertexLimit},
                                              {KEX::TriangleLimit, &p.triangleLimit},
                                              {KEX::Quality, &p.quality}},
                                             KEX::Filter, &p.filter) == KEX::NoError;
  if (!ok)
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
}

void KEXSimplifyTriangleMesh::copyValues(const KEXSimplifyTriangleMesh& other)
{
  if (!m_private || !other.m_private)
    return;
  Private& p = *m_private;
  const Private& o = *other.m_private;
  // Values a live property of the same kind holds are always accepted.
  float f = 0.0f;
  if (o.maximumDistance.getValue(f))
    p.maximumDistance.setValue(f);
  if (o.borderWeighting.getValue(f))
    p.borderWeighting.setValue(f);
  if (o.shapeWeighting.getValue(f))
    p.shapeWeighting.setValue(f);
  if (o.vectorLength.getValue(f))
    p.vectorLength.setValue(f);
  if (o.errorLimit.getValue(f))
    p.errorLimit.setValue(f);
  int n = 0;
  if (o.vertexLimit.getValue(n))
    p.vertexLimit.setValue(n);
  if (o.triangleLimit.getValue(n))
    p.triangleLimit.setValue(n);
  KEXenum q;
  if (o.quality.getValue(q))
    p.quality.setValue(q);
}

KEXenum KEXSimplifyTriangleMesh::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXSimplifyTriangleMesh", 0, "kexmesh");
  return level == 0 ? id.get() : KEXTriangleMeshFilter::getObjectID(level - 1);
}

namespace {
template <class Attr, class T>
T valueOr(const Attr* attr, T fallback)
{
  T v = fallback;
  return attr && attr->getValue(v) ? v : fallback;
}
} // namespace

#define KEXMESH_SIMPLIFY_ACCESSORS(Name, member, Type, fallback)                                                       \
  bool KEXSimplifyTriangleMesh::set##Name(Type v) { return m_private && m_private->member.setValue(v); }              \
  Type KEXSimplifyTriangleMesh::get##Name() const                                                                      \
  {                                                                                                                    \
    return valueOr(m_private ? &m_private->member : nullptr, Type(fallback));                                          \
  }
KEXMESH_SIMPLIFY_ACCESSORS(MaximumDistance, maximumDistance, float, DEFAULT_MAXIMUM_DISTANCE)
KEXMESH_SIMPLIFY_ACCESSORS(BorderWeighting, borderWeighting, float, DEFAULT_BORDER_WEIGHTING)
KEXMESH_SIMPLIFY_ACCESSORS(ShapeWeighting, shapeWeighting, float, DEFAULT_SHAPE_WEIGHTING)
KEXMESH_SIMPLIFY_ACCESSORS(VectorLength, vectorLength, float, DEFAULT_VECTOR_LENGTH)
KEXMESH_SIMPLIFY_ACCESSORS(ErrorLimit, errorLimit, float, DEFAULT_ERROR_LIMIT)
KEXMESH_SIMPLIFY_ACCESSORS(VertexLimit, vertexLimit, int, DEFAULT_VERTEX_LIMIT)
KEXMESH_SIMPLIFY_ACCESSORS(TriangleLimit, triangleLimit, int, DEFAULT_TRIANGLE_LIMIT)
#undef KEXMESH_SIMPLIFY_ACCESSORS

bool KEXSimplifyTriangleMesh::setMethodQuality(KEXenum q) { return m_private && m_private->quality.setValue(q); }

KEXenum KEXSimplifyTriangleMesh::getMethodQuality() const
{
  return valueOr(m_private ? &m_private->quality : nullptr, KEXenum(KEX::Nicest));
}

bool KEXSimplifyTriangleMesh::simplify() { return m_private && m_private->filter.execute(nullptr); }
