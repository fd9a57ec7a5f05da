// The mesh analyzer. One calculation: the integrity check counts bad triangles before the
// measurement starts, then the workers claim items of 2000 triangles (6000 corners of the access object's
// corner pages) and measure them in batches of 48: the corners are gathered into aligned arrays,
// padded with zero triangles to a multiple of 4, and run through the bulk kernels (transform and
// box under the view transform; edge vectors, cross products, lengths and dot products in double
// on the untransformed positions). Each worker keeps its own box and histogram and merges them
// under the thread object's lock; the area of each item goes into that item's own slot and the
// slots are summed in item order afterwards, so the figures do not depend on which worker took
// which item nor on how many workers there are. The angles are binned from a polynomial arc cosine
// good to 2.2e-8; only a triangle with an angle that close to a bin edge is measured again with
// std::acos, so the histogram is exactly the one std::acos gives at a fraction of its cost.
//
// A triangle with a non-finite corner (a NaN or infinite vertex, or an index out of range, which
// the access object turns into NaN corners) adds nothing to any figure; the calculation says how
// many it left out in a warning, so a figure is never silently NaN nor silently short.
#include "kexmesh/repair/TriangleMeshAnalyzer.h"
#include "kexmesh/objects/internal/ObjectMembers.h"

#include "kex/Error.h"
#include "kex/Properties.h"
#include "kex/Thread.h"
#include "kex/Values.h"
#include "kexgeometry/CalculateAction.h"
#include "kexmesh/access/TriangleMeshAccessIF.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/core/internal/ScratchAllocator.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/CheckTriangleMeshAlgorithm.h"

#include <cmath>
#include <cstdint>
#include <numbers>

KEXMESH_DEFINE_CLASS(KEXTriangleMeshAnalyzer, KEXObject)
KEXMESH_DEFINE_NESTED_CLASS(KEXTriangleMeshAnalyzer::Result, KEXObject, "KEXTriangleMeshAnalyzer::Result",
                            KEXTriangleMeshAnalyzer_Result__ClassFactory)

namespace {
using Vec2 = KEXVector2<float>;
using Vec3 = KEXVector3<float>;
using Box = KEXInterval<Vec3>;
using Matrix = KEXMatrix4<float>;

using IntOP = KEXSingleValueOP<KEXSingleValuePropertyIF<int>, int>;
using FloatOP = KEXSingleValueOP<KEXSingleValuePropertyIF<float>, float>;
using VectorOP = KEXSingleValueOP<KEXSingleValuePropertyIF<Vec3>, Vec3>;
using MatrixOP = KEXSingleValueOP<KEXSingleValuePropertyIF<Matrix>, Matrix>;
using HistogramOP = KEXValueArrayOP<KEXValueArrayPropertyIF<Vec2>, KEXValueList<Vec2>>;

constexpr int BINS = KEXTriangleMeshAnalyzer::HISTOGRAM_BINS;
constexpr int ITEM_CORNERS = 3 * KEXTriangleMeshAnalyzer::ITEM_TRIANGLES;
constexpr int BATCH = KEXTriangleMeshAnalyzer::BATCH_TRIANGLES;
static_assert(BATCH % KEXMathKernel::WIDTH == 0, "a full batch needs no padding");
/// Bins per radian: 1800 bins over pi.
constexpr double BINS_PER_RADIAN = 572.9577951308232;

constexpr int UNKNOWN_COUNT = -1;
constexpr float UNKNOWN_AREA = -1.0f;
const Vec3 UNKNOWN_DIMENSIONS(-1.0f, -1.0f, -1.0f);

/// The bin at a position (an angle times bins per radian). An angle of exactly pi (a triangle
/// folded flat) belongs to the last bin, not one past it.
int binAt(double position)
{
  const int bin = int(position);
  return bin < BINS ? (bin < 0 ? 0 : bin) : BINS - 1;
}

int binOf(double angle) { return binAt(angle * BINS_PER_RADIAN); }

/// The cosine of an angle from a dot product and two lengths, clamped into [-1, 1]. A zero-length
/// edge gives NaN here; "c < 1 ? c : 1" turns that into 1, so the angle at a collapsed edge counts
/// as 0 and the third angle takes the rest (pi).
double cosineOf(double dot, double lengths)
{
  double c = dot / lengths;
  c = c < 1.0 ? c : 1.0;
  return c > -1.0 ? c : -1.0;
}

/// acos on [-1, 1] within 2.2e-8 (a minimax polynomial times sqrt(1 - |c|)), branch-free so that a
/// loop over a batch vectorises. It only ever decides a bin: see binsOf.
double roughAcos(double c)
{
  const double x = std::fabs(c);
  double p = -0.0012624911;
  p = p * x + 0.0066700901;
  p = p * x - 0.0170881256;
  p = p * x + 0.0308918810;
  p = p * x - 0.0501743046;
  p = p * x + 0.0889789874;
  p = p * x - 0.2145988016;
  p = p * x + 1.5707963050;
  const double r = std::sqrt(1.0 - x) * p;
  return c < 0.0 ? std::numbers::pi - r : r;
}

/// How far (in bins) a bin position computed from roughAcos may lie from the one computed from
/// std::acos: 2.2e-8 rad per angle, twice that for the third, times 573 bins per radian, with room
/// to spare. A position closer than this to a bin edge is decided by std::acos.
constexpr double ROUGH_MARGIN = 1e-4;

bool nearEdge(double position)
{
  return std::fabs(position - std::nearbyint(position)) < ROUGH_MARGIN;
}

bool finite(const Vec3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }
} // namespace

// --- result ------------------------------------------------------------------------------------------

struct KEXTriangleMeshAnalyzer::Result::Private : KEXClassMember {
  class BadEdgesAttr : public IntOP {
  public:
    BadEdgesAttr() : IntOP(UNKNOWN_COUNT) {}
  };
  class BadTrianglesAttr : public IntOP {
  public:
    BadTrianglesAttr() : IntOP(UNKNOWN_COUNT) {}
  };
  class SurfaceAreaAttr : public FloatOP {
  public:
    SurfaceAreaAttr() : FloatOP(UNKNOWN_AREA) {}
    unsigned int check(const float& value) const override
    {
      return value >= 0.0f || value == UNKNOWN_AREA ? KEX_CHECK_ACCEPTED : 0u;
    }
  };
  class DimensionsAttr : public VectorOP {
  public:
    DimensionsAttr() : VectorOP(UNKNOWN_DIMENSIONS) {}
  };
  class AngleHistogramAttr : public HistogramOP {
  public:
    AngleHistogramAttr() : HistogramOP(0, 0, 2048) {}
  };
  BadEdgesAttr badEdges;
  BadTrianglesAttr badTriangles;
  SurfaceAreaAttr surfaceArea;
  DimensionsAttr dimensions;
  AngleHistogramAttr angleHistogram;
};

KEXTriangleMeshAnalyzer::Result::Result() { construct(); }

KEXTriangleMeshAnalyzer::Result::Result(const Result& other) : KEXObject(other)
{
  construct();
  *this = other;
}

KEXTriangleMeshAnalyzer::Result& KEXTriangleMeshAnalyzer::Result::operator=(const Result& other)
{
  if (this == &other || !m_private || !other.m_private)
    return *this;
  KEXObject::operator=(other);
  const Private& o = *other.m_private;
  Private& p = *m_private;
  int n = 0;
  float f = 0.0f;
  Vec3 v;
  if (o.badEdges.getValue(n))
    p.badEdges.setValue(n);
  if (o.badTriangles.getValue(n))
    p.badTriangles.setValue(n);
  if (o.surfaceArea.getValue(f))
    p.surfaceArea.setValue(f);
  if (o.dimensions.getValue(v))
    p.dimensions.setValue(v);
  p.angleHistogram = o.angleHistogram;
  return *this;
}

KEXTriangleMeshAnalyzer::Result::~Result() { delete m_private; }

void KEXTriangleMeshAnalyzer::Result::construct()
{
  if (!kexmeshobjects::createPrivate(*this, m_private, KEX::GenericError))
    return;
  Private& p = *m_private;
  if (kexmeshobjects::addMembers(*this, {{KEX::BadEdges, &p.badEdges},
                                         {KEX::BadTriangles, &p.badTriangles},
                                         {KEX::SurfaceArea, &p.surfaceArea},
                                         {KEX::Dimensions, &p.dimensions},
                                         {KEX::AngleHistogram, &p.angleHistogram}}) != KEX::NoError)
    KEXError::emitError(KEXError::Message(this, KEX::GenericError));
}

KEXenum KEXTriangleMeshAnalyzer::Result::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXTriangleMeshAnalyzer::Result", 0, "kexmesh");
  return level == 0 ? id.get() : KEXObject::getObjectID(level - 1);
}

bool KEXTriangleMeshAnalyzer::Result::resetFigures()
{
  if (!m_private)
    return false;
  Private& p = *m_private;
  bool ok = p.badEdges.setValue(UNKNOWN_COUNT);
  ok = p.badTriangles.setValue(UNKNOWN_COUNT) && ok;
  ok = p.surfaceArea.setValue(UNKNOWN_AREA) && ok;
  ok = p.dimensions.setValue(UNKNOWN_DIMENSIONS) && ok;
  return p.angleHistogram.initArray(0, nullptr) && ok;
}

// --- the calculation ---------------------------------------------------------------------------------

namespace {
/// The five figures of a result, in the order they are published.
constexpr KEXenum FIGURES[5] = {KEX::BadEdges, KEX::BadTriangles, KEX::SurfaceArea, KEX::Dimensions,
                                KEX::AngleHistogram};

/// One worker's batch: the corners of up to BATCH triangles as coordinate arrays, corner k of
/// triangle i at k * BATCH + i, and the scratch the kernels write.
struct alignas(KEXMathKernel::ALIGNMENT) Batch {
  alignas(KEXMathKernel::ALIGNMENT) float x[3 * BATCH], y[3 * BATCH], z[3 * BATCH];
  alignas(KEXMathKernel::ALIGNMENT) float tx[3 * BATCH], ty[3 * BATCH], tz[3 * BATCH];
  alignas(KEXMathKernel::ALIGNMENT) double ex[3][BATCH], ey[3][BATCH], ez[3][BATCH];
  alignas(KEXMathKernel::ALIGNMENT) double cx[BATCH], cy[BATCH], cz[BATCH];
  alignas(KEXMathKernel::ALIGNMENT) double doubleArea[BATCH], length[3][BATCH], dot01[BATCH], dot02[BATCH];
  alignas(KEXMathKernel::ALIGNMENT) double position[3][BATCH]; // angle times bins per radian
  int count = 0;

  void add(const Vec3& a, const Vec3& b, const Vec3& c)
  {
    const Vec3* corners[3] = {&a, &b, &c};
    for (int k = 0; k < 3; ++k) {
      x[k * BATCH + count] = corners[k]->x;
      y[k * BATCH + count] = corners[k]->y;
      z[k * BATCH + count] = corners[k]->z;
    }
    ++count;
  }
};

/// What one worker gathers before it merges.
struct Partial {
  Box box;
  uint32_t histogram[BINS] = {};
  int skipped = 0;
};
} // namespace

struct KEXTriangleMeshAnalyzer::Private : KEXClassMember {
  class GeometryAttr : public KEXObjectHardLinkOP {
  public:
    GeometryAttr() : KEXObjectHardLinkOP(KEXObjectLink()) {}
  };
  class GeometryToCurrentViewTransformAttr : public MatrixOP {
  public:
    GeometryToCurrentViewTransformAttr() : MatrixOP(Matrix(1.0f)) {}
  };
  class ResultAttr : public KEXObjectHardLinkOP {
  public:
    ResultAttr() : KEXObjectHardLinkOP(KEXObjectLink()) {}
  };

  class CalculateActionAttr : public KEXCachedResultAction, public KEXMultiThread {
  public:
    CalculateActionAttr() : KEXCachedResultAction(KEX::Result) {}
    CalculateActionAttr(const CalculateActionAttr& other) : KEXCachedResultAction(other), KEXMultiThread(other) {}
    CalculateActionAttr& operator=(const CalculateActionAttr&) = delete;

  protected:
    bool isRecalculationNeeded() override;
    bool init(void* parameters) override;
    bool calculate(void* parameters) override;
    void cleanup(KEXenum status) override;
    bool run() override;

  private:
    bool checkBadElements();
    bool measure();
    bool publish(KEXObject& result);
    void measureBatch(Batch& batch, Partial& partial, double& area) const;
    bool readInputs(KEXObject*& geometry, Matrix& transform) const;

    // Inputs of the current calculation.
    const KEXTriangleMeshBuffer* m_buffer = nullptr;
    Matrix m_transform{1.0f};
    // What the last successful calculation used and published.
    bool m_current = false;
    const KEXObject* m_usedGeometry = nullptr;
    Matrix m_usedTransform{1.0f};
    uint64_t m_usedVertices = 0, m_usedTriangles = 0;
    uint64_t m_publishedStamps[5] = {};
    // Working values.
    int m_badEdges = 0, m_badTriangles = 0;
    double m_area = 0.0;
    Box m_box;
    KEXValueList<Vec2> m_histogram;
    uint32_t* m_counts = nullptr;   // shared histogram, merged under lock()
    double* m_itemAreas = nullptr;  // one slot per work item
    int m_skipped = 0;
  };

  GeometryAttr geometry;
  GeometryToCurrentViewTransformAttr transform;
  ResultAttr result;
  CalculateActionAttr calculate;
};

bool KEXTriangleMeshAnalyzer::Private::CalculateActionAttr::readInputs(KEXObject*& geometry, Matrix& transform) const
{
  KEXObject* owner = getOwner();
  KEXObjectLink link;
  if (!owner || !owner->getValue<KEXObjectLink>(KEX::Geometry, link) ||
      !owner->getValue<Matrix>(KEX::GeometryToCurrentViewTransform, transform))
    return false;
  geometry = link.get(); // the owner's link keeps it alive
  return true;
}

bool KEXTriangleMeshAnalyzer::Private::CalculateActionAttr::isRecalculationNeeded()
{
  KEXObject* geometry = nullptr;
  Matrix transform;
  if (!m_current || !readInputs(geometry, transform))
    return true;
  if (geometry != m_usedGeometry || transform != m_usedTransform)
    return true;
  if (kexmeshobjects::propertyStamp(geometry, KEX::VertexList) != m_usedVertices || kexmeshobjects::propertyStamp(geometry, KEX::TriangleList) != m_usedTriangles)
    return true;
  const KEXObject* result = getResult();
  for (int i = 0; i < 5; ++i)
    if (kexmeshobjects::propertyStamp(result, FIGURES[i]) != m_publishedStamps[i])
      return true;
  return false;
}

bool KEXTriangleMeshAnalyzer::Private::CalculateActionAttr::init(void*)
{
  m_current = false;
  m_buffer = nullptr;
  KEXObject* geometry = nullptr;
  if (!readInputs(geometry, m_transform) || !getResult())
    return taskError(KEX::GenericError);
  KEXTriangleMeshAccessIF* access = geometry ? KEXTriangleMeshAccessIF::find(*geometry) : nullptr;
  const KEXTriangleMeshBuffer* buffer = access ? access->getBuffer() : nullptr;
  if (!buffer) {
    KEXTask::Diagnostics d(KEX::Error, "Could not access the triangle mesh");
    return taskError(KEX::InvalidValue, &d);
  }
  if (buffer->getVertexCount() < 3 || buffer->getTriangleCount() == 0) {
    KEXTask::Diagnostics d(KEX::Error, "The triangle mesh has fewer than 3 vertices or no triangle");
    return taskError(KEX::InvalidValue, &d);
  }
  if (!buffer->isConsistent() || buffer->cornerVertexPages.getCount() == 0) {
    KEXTask::Diagnostics d(KEX::Error, "The triangle mesh is inconsistent");
    return taskError(KEX::InvalidValue, &d);
  }
  m_buffer = buffer;
  m_usedGeometry = geometry;
  m_usedTransform = m_transform;
  m_usedVertices = kexmeshobjects::propertyStamp(geometry, KEX::VertexList);
  m_usedTriangles = kexmeshobjects::propertyStamp(geometry, KEX::TriangleList);
  return true;
}

bool KEXTriangleMeshAnalyzer::Private::CalculateActionAttr::checkBadElements()
{
  KEXSubTask sub("Checking for bad elements", 0.5);
  const KEXMetaClass& meta = KEXCheckTriangleMeshAlgorithm::metaClass();
  auto* check = static_cast<KEXCheckTriangleMeshAlgorithm*>(meta.create());
  if (!check)
    return taskOutOfMemory();
  // The algorithm frame borrows the buffer's lists for the run and hands them back unchanged
  // (the check writes nothing); nothing else reads the buffer meanwhile.
  auto* buffer = const_cast<KEXTriangleMeshBuffer*>(m_buffer);
  bool attached = check->setBuffer(buffer);
  if (attached)
    check->execute(nullptr);
  check->setBuffer(nullptr);
  m_badTriangles = check->getInvalidTriangleCount() + check->getEmptyTriangleCount();
  m_badEdges = check->getBadEdgeCount();
  meta.destruct(check, true);
  // The check's verdict on the mesh does not end the measurement, but counts it could not take
  // for lack of memory would be published as if they were true.
  if (!attached || (sub.hasOutcome() && sub.getOutcomeStatus() == KEXTaskInfo::Failed &&
                    sub.getOutcomeCode() == KEX::OutOfMemory))
    return taskOutOfMemory();
  return true;
}

void KEXTriangleMeshAnalyzer::Private::CalculateActionAttr::measureBatch(Batch& b, Partial& partial,
                                                                        double& area) const
{
  const int n = b.count;
  const int padded = KEXMathKernel::paddedCount(n);
  for (int k = 0; k < 3; ++k)
    for (int i = n; i < padded; ++i)
      b.x[k * BATCH + i] = b.y[k * BATCH + i] = b.z[k * BATCH + i] = 0.0f;

  // Box: the transformed corners of the real triangles (a padding corner would add the
  // transform's image of the origin).
  KEXMathKernel::transformPoints(m_transform, b.x, b.y, b.z, b.tx, b.ty, b.tz, 3 * BATCH);
  for (int k = 0; k < 3; ++k)
    KEXMathKernel::unitePoints(partial.box, b.tx + k * BATCH, b.ty + k * BATCH, b.tz + k * BATCH, n);

  // Edges e0 = p1 - p0, e1 = p2 - p0, e2 = p2 - p1.
  const float *x0 = b.x, *y0 = b.y, *z0 = b.z;
  const float *x1 = b.x + BATCH, *y1 = b.y + BATCH, *z1 = b.z + BATCH;
  const float *x2 = b.x + 2 * BATCH, *y2 = b.y + 2 * BATCH, *z2 = b.z + 2 * BATCH;
  KEXMathKernel::subtract(x0, y0, z0, x1, y1, z1, b.ex[0], b.ey[0], b.ez[0], padded);
  KEXMathKernel::subtract(x0, y0, z0, x2, y2, z2, b.ex[1], b.ey[1], b.ez[1], padded);
  KEXMathKernel::subtract(x1, y1, z1, x2, y2, z2, b.ex[2], b.ey[2], b.ez[2], padded);
  KEXMathKernel::crossProducts(b.ex[0], b.ey[0], b.ez[0], b.ex[1], b.ey[1], b.ez[1], b.cx, b.cy, b.cz, padded);
  KEXMathKernel::lengths(b.cx, b.cy, b.cz, b.doubleArea, padded);
  for (int k = 0; k < 3; ++k)
    KEXMathKernel::lengths(b.ex[k], b.ey[k], b.ez[k], b.length[k], padded);
  KEXMathKernel::dotProducts(b.ex[0], b.ey[0], b.ez[0], b.ex[1], b.ey[1], b.ez[1], b.dot01, padded);
  KEXMathKernel::dotProducts(b.ex[0], b.ey[0], b.ez[0], b.ex[2], b.ey[2], b.ez[2], b.dot02, padded);

  // The bins of the three angles from roughAcos; a triangle with an angle near a bin edge is
  // measured again with std::acos, so every count is the one std::acos gives.
  constexpr double PI = std::numbers::pi;
  for (int i = 0; i < n; ++i) {
    // Corner 0 lies between e0 and e1, corner 1 between -e0 and e2.
    const double a0 = roughAcos(cosineOf(b.dot01[i], b.length[0][i] * b.length[1][i]));
    const double a1 = roughAcos(cosineOf(-b.dot02[i], b.length[0][i] * b.length[2][i]));
    b.position[0][i] = a0 * BINS_PER_RADIAN;
    b.position[1][i] = a1 * BINS_PER_RADIAN;
    b.position[2][i] = (PI - a0 - a1) * BINS_PER_RADIAN;
  }
  for (int i = 0; i < n; ++i) {
    area += 0.5 * b.doubleArea[i];
    if (!nearEdge(b.position[0][i]) && !nearEdge(b.position[1][i]) && !nearEdge(b.position[2][i])) {
      for (int k = 0; k < 3; ++k)
        ++partial.histogram[binAt(b.position[k][i])];
      continue;
    }
    const double a0 = std::acos(cosineOf(b.dot01[i], b.length[0][i] * b.length[1][i]));
    const double a1 = std::acos(cosineOf(-b.dot02[i], b.length[0][i] * b.length[2][i]));
    double a2 = PI - a0 - a1;
    a2 = a2 > 0.0 ? a2 : 0.0;
    ++partial.histogram[binOf(a0)];
    ++partial.histogram[binOf(a1)];
    ++partial.histogram[binOf(a2)];
  }
  b.count = 0;
}

bool KEXTriangleMeshAnalyzer::Private::CalculateActionAttr::run()
{
  const int P = KEXTriangleMeshBuffer::PAGE_SIZE;
  const KEXTriangleMeshBuffer& buffer = *m_buffer;
  const long long corners = 3LL * buffer.getTriangleCount();
  const double share = 1.0 / double(buffer.getTriangleCount());
  // Per worker: a few kilobytes of batch arrays and its histogram.
  Batch batch;
  Partial partial;
  for (;;) {
    const long long w = getAtomic();
    const long long first = w * ITEM_CORNERS;
    if (first >= corners)
      break;
    const long long end = std::min(corners, first + ITEM_CORNERS);
    double area = 0.0;
    // Walk the corners with a page and a slot: a triangle's corners may straddle two pages
    // (87381 is not a multiple of 3).
    int page = int(first / P), slot = int(first % P);
    const Vec3* corners = buffer.cornerVertexPages[page].getData();
    auto next = [&]() -> const Vec3& {
      if (slot == P) {
        corners = buffer.cornerVertexPages[++page].getData();
        slot = 0;
      }
      return corners[slot++];
    };
    for (long long c = first; c < end; c += 3) {
      const Vec3& a = next();
      const Vec3& b = next();
      const Vec3& d = next();
      if (!finite(a) || !finite(b) || !finite(d)) {
        ++partial.skipped;
        continue;
      }
      batch.add(a, b, d);
      if (batch.count == BATCH)
        measureBatch(batch, partial, area);
    }
    if (batch.count > 0)
      measureBatch(batch, partial, area);
    m_itemAreas[w] = area;
    if (!taskIncProgress(double(end - first) / 3.0 * share))
      return taskError(KEX::GenericError);
  }
  lock();
  m_box.unite(partial.box);
  for (int i = 0; i < BINS; ++i)
    m_counts[i] += partial.histogram[i];
  m_skipped += partial.skipped;
  unlock();
  return true;
}

bool KEXTriangleMeshAnalyzer::Private::CalculateActionAttr::measure()
{
  const long long corners = 3LL * m_buffer->getTriangleCount();
  const int items = int((corners + ITEM_CORNERS - 1) / ITEM_CORNERS);
  KEXScratchAllocator scratch;
  m_itemAreas = scratch.allocate<double>(size_t(items));
  m_counts = scratch.allocate<uint32_t>(BINS);
  if (!m_itemAreas || !m_counts)
    return taskOutOfMemory();
  for (int i = 0; i < BINS; ++i)
    m_counts[i] = 0;
  m_skipped = 0;
  resetAtomic();
  const bool ok = runAll(0);
  if (ok) {
    for (int w = 0; w < items; ++w)
      m_area += m_itemAreas[w];
    for (int i = 0; i < BINS; ++i)
      m_histogram[i].y = float(m_counts[i]);
    if (m_skipped == 1)
      kexTaskDiagnostics(KEX::Warning, "Left out a triangle with a non-finite corner");
    else if (m_skipped > 1)
      kexTaskDiagnostics(KEX::Warning, "Left out %i triangles with non-finite corners", m_skipped);
  }
  m_itemAreas = nullptr;
  m_counts = nullptr;
  return ok;
}

bool KEXTriangleMeshAnalyzer::Private::CalculateActionAttr::publish(KEXObject& result)
{
  const Vec3 size = m_box.getSize();
  bool ok = result.setValue<int>(KEX::BadEdges, m_badEdges) &&
            result.setValue<int>(KEX::BadTriangles, m_badTriangles) &&
            result.setValue<float>(KEX::SurfaceArea, float(m_area)) && result.setValue<Vec3>(KEX::Dimensions, size) &&
            result.initArray<Vec2>(KEX::AngleHistogram, BINS, m_histogram.getData());
  if (!ok)
    return taskError(KEX::GenericError);
  for (int i = 0; i < 5; ++i)
    m_publishedStamps[i] = kexmeshobjects::propertyStamp(&result, FIGURES[i]);
  return true;
}

bool KEXTriangleMeshAnalyzer::Private::CalculateActionAttr::calculate(void*)
{
  if (!taskBegin("Extracting surface area and bounding box", 1.5, 0x10000, 0))
    return false;
  m_badEdges = m_badTriangles = 0;
  m_area = 0.0;
  m_box.makeEmpty();
  m_histogram.setReleaseFlag(true);
  if (!m_histogram.setCount(BINS))
    return taskOutOfMemory();
  const double b = KEXQuantity::unitToInternal(0.1, KEX::Angle, KEX::Degree);
  for (int i = 0; i < BINS; ++i)
    m_histogram[i] = Vec2(float(i * b), 0.0f);

  if (!checkBadElements() || !measure())
    return false;
  KEXObject* result = getResult();
  if (!result || !publish(*result))
    return false;
  m_current = true;
  return true;
}

void KEXTriangleMeshAnalyzer::Private::CalculateActionAttr::cleanup(KEXenum status)
{
  m_buffer = nullptr;
  m_histogram.clear();
  if (status == KEX::NoError || status == KEX::Unchanged)
    return;
  m_current = false;
  // A failed calculation leaves no figure that could be taken for a measurement: the result
  // reads as never calculated.
  if (auto* result = dynamic_cast<Result*>(getResult()))
    result->resetFigures();
}

// --- the analyzer --------------------------------------------------------------------------------------

KEXMESH_DEFINE_OBJECT_COPIES(KEXTriangleMeshAnalyzer, KEXObject)

void KEXTriangleMeshAnalyzer::construct()
{
  if (!kexmeshobjects::createPrivate(*this, m_private, KEX::GenericError))
    return;
  Private& p = *m_private;
  const KEXenum code = kexmeshobjects::addMembers(
      *this, {{KEX::Geometry, &p.geometry}, {KEX::GeometryToCurrentViewTransform, &p.transform}, {KEX::Result, &p.result}},
      KEX::Calculate, &p.calculate);
  if (code != KEX::NoError) {
    KEXError::emitError(KEXError::Message(this, code));
    return;
  }
  kexmeshobjects::linkNewResult<Result>(*this, p.result);
}

void KEXTriangleMeshAnalyzer::copyValues(const KEXTriangleMeshAnalyzer& other)
{
  if (!m_private || !other.m_private)
    return;
  KEXObjectLink link;
  Matrix transform;
  if (other.m_private->geometry.getValue(link))
    m_private->geometry.setValue(link);
  if (other.m_private->transform.getValue(transform))
    m_private->transform.setValue(transform);
}

KEXenum KEXTriangleMeshAnalyzer::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXTriangleMeshAnalyzer", 0, "kexmesh");
  return level == 0 ? id.get() : KEXObject::getObjectID(level - 1);
}

bool KEXTriangleMeshAnalyzer::calculate() { return m_private && m_private->calculate.execute(nullptr); }
