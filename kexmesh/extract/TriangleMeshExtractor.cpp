// The iso-surface extractor. One calculation:
// 1. The region of interest: the grid's cells (one layer of padding cells on every side, so the
//    surface closes at the border) intersected with the cells the masks touch.
// 2. The workers take the work ranges (slabs of cell layers) in turn. For a range a worker reads
//    the sample planes one after the other through the read cache (two planes in memory), marks
//    each sample inside or outside, and polygonises every cell that is neither all inside nor all
//    outside through the case table. Each range's triangles go, as three separate vertices each,
//    into that range's own soup; the soups are joined in range order, so the merged mesh does not
//    depend on which worker took which range nor on how many there are.
// 3. Clustering at a vanishing distance merges the copies of each edge vertex (neighbouring cells
//    compute a shared edge's vertex from the same six numbers, so the copies are bit-identical),
//    and the bad-triangle repair removes what the placement rule made degenerate.
// 4. The triangle and vertex lists are published in the result object.
#include "kexmesh/extract/TriangleMeshExtractor.h"
#include "kexmesh/objects/internal/ObjectMembers.h"

#include "kex/Error.h"
#include "kex/Properties.h"
#include "kex/Thread.h"
#include "kex/Values.h"
#include "kexgeometry/CalculateAction.h"
#include "kexgeometry/GridFilterAction.h"
#include "kexgeometry/GridReadCache.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/core/internal/ScratchAllocator.h"
#include "kexmesh/extract/internal/CellTables.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/ClusterVerticesAlgorithm.h"
#include "kexmesh/repair/RepairBadTrianglesAlgorithm.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

KEXMESH_DEFINE_CLASS(KEXTriangleMeshExtractor, KEXObject)
KEXMESH_DEFINE_NESTED_CLASS(KEXTriangleMeshExtractor::Result, KEXObject, "KEXTriangleMeshExtractor::Result",
                            KEXTriangleMeshExtractor_Result__ClassFactory)

namespace KEXMeshExtract {
const uint8_t* const* caseRecords()
{
  static const uint8_t* records[256];
  static std::once_flag once;
  std::call_once(once, [] {
    const uint8_t* p = CASE_TABLE;
    for (int c = 0; c < 256; ++c) {
      records[c] = p;
      p += 1 + *p;
    }
  });
  return records;
}
} // namespace KEXMeshExtract

namespace {
using Vec3 = KEXVector3<float>;
using Matrix = KEXMatrix4<float>;
using Matrixd = KEXMatrix4<double>;
using Triangle = KEXTriangle<int>;
using CellBox = KEXGridFilterAction::CellBox;
using Lines = KEXGridReadCache::Lines;

using FloatOP = KEXSingleValueOP<KEXSingleValuePropertyIF<float>, float>;
using EnumOP = KEXSingleValueOP<KEXSingleValuePropertyIF<KEXenum>, KEXenum>;
using MatrixOP = KEXSingleValueOP<KEXSingleValuePropertyIF<Matrix>, Matrix>;
using TransferOP = KEXSingleValueOP<KEXSingleValuePropertyIF<KEXSampleTransferSpec>, KEXSampleTransferSpec>;
using MaskListOP = KEXValueArrayOP<KEXValueArrayPropertyIF<KEXSampleMask>, KEXValueList<KEXSampleMask>>;
using TriangleListOP = KEXValueArrayOP<KEXValueArrayPropertyIF<Triangle>, KEXValueList<Triangle>>;
using VectorListOP = KEXValueArrayOP<KEXValueArrayPropertyIF<Vec3>, KEXValueList<Vec3>>;
using ScalarListOP = KEXValueArrayOP<KEXValueArrayPropertyIF<float>, KEXValueList<float>>;

/// The result's lists, in the order they are published and compared.
constexpr KEXenum RESULT_LISTS[4] = {KEX::TriangleList, KEX::VertexList, KEX::NormalList, KEX::CurvatureList};
/// The extractor's inputs whose change asks for a new calculation.
constexpr KEXenum INPUTS[6] = {KEX::IsoValue,           KEX::InterpolationMode,
                               KEX::SampleGrid,         KEX::SampleMaskList,
                               KEX::SampleTransferSpec, KEX::SampleGridToCurrentViewTransform};

/// Shares of the task's weight (7.5 per cell of the region): extraction, clustering, repair.
constexpr double EXTRACT_SHARE = 4.5, CLUSTER_SHARE = 1.0, REPAIR_SHARE = 2.0;
/// Soups grow in blocks of this many vertices.
constexpr int SOUP_BLOCK = 1 << 15;
/// Bit k of a four-bit column code moved to bit 2k: the column's corners in the cell case.
constexpr uint8_t SPREAD[16] = {0x00, 0x01, 0x04, 0x05, 0x10, 0x11, 0x14, 0x15,
                                0x40, 0x41, 0x44, 0x45, 0x50, 0x51, 0x54, 0x55};

using kexmeshobjects::propertyStamp;

/// The first index of the sorted table whose position is at least x (n when none).
int lowerIndex(const double* positions, int n, double x) { return int(std::lower_bound(positions, positions + n, x) - positions); }

/// The cells a box in grid coordinates reaches: every cell with a corner sample inside it and the
/// cells beside them (a mask face between two samples cuts the cells on both sides of it).
CellBox cellsOf(const KEXGrid& grid, const KEXSampleMask& box)
{
  KEXVector3<int> lo, hi;
  const KEXVector3<int> size = grid.getSize();
  for (int a = 0; a < 3; ++a) {
    const double* p = grid.getPositions(a);
    lo[a] = lowerIndex(p, size[a], double(box.getMin()[a])) - 2;
    hi[a] = lowerIndex(p, size[a], double(box.getMax()[a])) + 1;
  }
  return CellBox(lo, hi);
}

double determinant3(const Matrixd& m)
{
  return m(0, 0) * (m(1, 1) * m(2, 2) - m(1, 2) * m(2, 1)) - m(0, 1) * (m(1, 0) * m(2, 2) - m(1, 2) * m(2, 0)) +
         m(0, 2) * (m(1, 0) * m(2, 1) - m(1, 1) * m(2, 0));
}
} // namespace

// --- result ------------------------------------------------------------------------------------------

struct KEXTriangleMeshExtractor::Result::Private : KEXClassMember {
  class TriangleListAttr : public TriangleListOP {};
  class VertexListAttr : public VectorListOP {};
  class NormalListAttr : public VectorListOP {};
  class CurvatureListAttr : public ScalarListOP {};
  TriangleListAttr triangles;
  VertexListAttr vertices;
  NormalListAttr normals;
  CurvatureListAttr curvatures;
};

KEXTriangleMeshExtractor::Result::Result() { construct(); }

KEXTriangleMeshExtractor::Result::Result(const Result& other) : KEXObject(other)
{
  construct();
  *this = other;
}

KEXTriangleMeshExtractor::Result& KEXTriangleMeshExtractor::Result::operator=(const Result& other)
{
  if (this == &other || !m_private || !other.m_private)
    return *this;
  KEXObject::operator=(other);
  m_private->triangles = other.m_private->triangles;
  m_private->vertices = other.m_private->vertices;
  m_private->normals = other.m_private->normals;
  m_private->curvatures = other.m_private->curvatures;
  return *this;
}

KEXTriangleMeshExtractor::Result::~Result() { delete m_private; }

void KEXTriangleMeshExtractor::Result::construct()
{
  if (!kexmeshobjects::createPrivate(*this, m_private, KEX::GenericError))
    return;
  Private& p = *m_private;
  if (kexmeshobjects::addMembers(*this, {{KEX::TriangleList, &p.triangles},
                                         {KEX::VertexList, &p.vertices},
                                         {KEX::NormalList, &p.normals},
                                         {KEX::CurvatureList, &p.curvatures}}) != KEX::NoError)
    KEXError::emitError(KEXError::Message(this, KEX::GenericError));
}

KEXenum KEXTriangleMeshExtractor::Result::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXTriangleMeshExtractor::Result", 0, "kexmesh");
  return level == 0 ? id.get() : KEXObject::getObjectID(level - 1);
}

bool KEXTriangleMeshExtractor::Result::clearLists()
{
  if (!m_private)
    return false;
  Private& p = *m_private;
  bool ok = p.triangles.initArray(0, nullptr);
  ok = p.vertices.initArray(0, nullptr) && ok;
  ok = p.normals.initArray(0, nullptr) && ok;
  return p.curvatures.initArray(0, nullptr) && ok;
}

// --- the calculation ---------------------------------------------------------------------------------

namespace {
/// What one worker holds across its ranges: two planes of lines, their inside flags and the
/// positions of the region's samples.
struct WorkerPlanes {
  KEXGridReadCache* cache = nullptr;
  Lines planes[2];
  uint8_t* flags[2] = {nullptr, nullptr};
  uint8_t* codes = nullptr; ///< per sample column of a row pair: its four inside flags
  double* positions[3] = {nullptr, nullptr, nullptr};
  int length = 0, rows = 0;

  ~WorkerPlanes()
  {
    for (Lines& l : planes)
      if (cache)
        cache->releaseData(l);
    for (uint8_t* f : flags)
      kexFree(f);
    kexFree(codes);
    for (double* p : positions)
      kexFree(p);
  }
};
} // namespace

struct KEXTriangleMeshExtractor::Private : KEXClassMember {
  class IsoValueAttr : public FloatOP {
  public:
    IsoValueAttr() : FloatOP(0.5f) {}
    unsigned int check(const float& value) const override { return std::isfinite(value) ? KEX_CHECK_ACCEPTED : 0u; }
  };
  class InterpolationModeAttr : public EnumOP {
  public:
    InterpolationModeAttr() : EnumOP(KEX::Linear) {}
    unsigned int check(const KEXenum& value) const override
    {
      return value == KEX::Linear || value == KEX::Cubic || value == KEX::Off ? KEX_CHECK_ACCEPTED : 0u;
    }
  };
  class SampleGridAttr : public KEXObjectHardLinkOP {
  public:
    SampleGridAttr() : KEXObjectHardLinkOP(KEXObjectLink()) {}
  };
  class SampleMaskListAttr : public MaskListOP {};
  class SampleTransferSpecAttr : public TransferOP {
  public:
    SampleTransferSpecAttr() : TransferOP(KEXSampleTransferSpec()) {}
    unsigned int check(const KEXSampleTransferSpec& value) const override
    {
      return std::isfinite(value.scale) && std::isfinite(value.offset) ? KEX_CHECK_ACCEPTED : 0u;
    }
  };
  class SampleGridToCurrentViewTransformAttr : public MatrixOP {
  public:
    SampleGridToCurrentViewTransformAttr() : MatrixOP(Matrix(1.0f)) {}
  };
  class ResultAttr : public KEXObjectHardLinkOP {
  public:
    ResultAttr() : KEXObjectHardLinkOP(KEXObjectLink()) {}
  };

  class CalculateActionAttr : public KEXCachedResultAction, public KEXMultiThread {
  public:
    CalculateActionAttr() : KEXCachedResultAction(KEX::Result)
    {
      KEXMeshExtract::caseRecords(); // built once, before any worker runs
      setSyncEnabled(true);
    }
    CalculateActionAttr(const CalculateActionAttr& other)
        : KEXCachedResultAction(other), KEXMultiThread(other), m_layers(other.m_layers)
    {
    }
    CalculateActionAttr& operator=(const CalculateActionAttr&) = delete;

    int m_layers = 8;

  protected:
    bool isRecalculationNeeded() override;
    bool init(void* parameters) override;
    bool calculate(void* parameters) override;
    void cleanup(KEXenum status) override;
    bool run() override;

  private:
    bool setRegionOfInterest();
    bool extractRange(WorkerPlanes& w, const CellBox& region, KEXValueList<Vec3>& soup);
    bool fetchPlane(WorkerPlanes& w, int slot, const CellBox& region, int z,
                    const KEXGridFilterAction::ReadAccessHandle& access);
    bool merge();
    bool runNested(KEXTriangleMeshAlgorithmIF* algorithm, const char* message, double share);
    bool publish(KEXObject& result);
    bool fail(const char* message) const;

    // Inputs of the current calculation.
    KEXGrid* m_grid = nullptr;
    float m_iso = 0.5f;
    KEXMeshExtract::Placement m_placement = KEXMeshExtract::Placement::Linear;
    KEXSampleTransferSpec m_transfer;
    KEXValueList<KEXSampleMask> m_masks{16, true};
    Matrixd m_transform{1.0};
    bool m_mirrored = false;
    // What the last successful calculation used and published.
    bool m_current = false;
    const KEXObject* m_usedGrid = nullptr;
    uint64_t m_usedGridStamp = 0;
    uint64_t m_inputStamps[6] = {};
    uint64_t m_publishedStamps[4] = {};
    // Working state.
    KEXGridFilterAction::WorkDispatcher m_dispatcher;
    KEXGridReadCache m_cache;
    KEXValueList<KEXValueList<Vec3>> m_soups{16, true};
    KEXTriangleMeshBuffer m_buffer;
    double m_area = 0.0;
  };

  IsoValueAttr iso;
  InterpolationModeAttr mode;
  SampleGridAttr grid;
  SampleMaskListAttr masks;
  SampleTransferSpecAttr transfer;
  SampleGridToCurrentViewTransformAttr transform;
  ResultAttr result;
  CalculateActionAttr calculate;
};



bool KEXTriangleMeshExtractor::Private::CalculateActionAttr::fail(const char* message) const
{
  kexTaskDiagnostics(KEX::Error, "%s", message);
  return const_cast<CalculateActionAttr*>(this)->taskError(KEX::GenericError);
}

bool KEXTriangleMeshExtractor::Private::CalculateActionAttr::isRecalculationNeeded()
{
  const KEXObject* owner = getOwner();
  if (!m_current || !owner)
    return true;
  KEXObjectLink link;
  if (!owner->getValue<KEXObjectLink>(KEX::SampleGrid, link) || link.get() != m_usedGrid)
    return true;
  const auto* grid = dynamic_cast<const KEXGrid*>(link.get());
  if (!grid || grid->getModificationTime() != m_usedGridStamp)
    return true;
  for (int i = 0; i < 6; ++i)
    if (propertyStamp(owner, INPUTS[i]) != m_inputStamps[i])
      return true;
  const KEXObject* result = getResult();
  for (int i = 0; i < 4; ++i)
    if (propertyStamp(result, RESULT_LISTS[i]) != m_publishedStamps[i])
      return true;
  return false;
}

bool KEXTriangleMeshExtractor::Private::CalculateActionAttr::init(void*)
{
  m_current = false;
  m_grid = nullptr;
  KEXObject* owner = getOwner();
  KEXObjectLink link;
  KEXenum mode;
  Matrix view;
  int masks = 0;
  if (!owner || !getResult() || !owner->getValue<KEXObjectLink>(KEX::SampleGrid, link) ||
      !owner->getValue<float>(KEX::IsoValue, m_iso) || !owner->getValue<KEXenum>(KEX::InterpolationMode, mode) ||
      !owner->getValue<KEXSampleTransferSpec>(KEX::SampleTransferSpec, m_transfer) ||
      !owner->getValue<Matrix>(KEX::SampleGridToCurrentViewTransform, view))
    return taskError(KEX::GenericError);
  auto* grid = dynamic_cast<KEXGrid*>(link.get());
  if (!grid || grid->isEmpty()) {
    KEXTask::Diagnostics d(KEX::Error, "The sample grid is missing or empty");
    return taskError(KEX::InvalidValue, &d);
  }
  const KEXProperty* maskProperty = owner->getProperty(KEX::SampleMaskList);
  if (const auto* list = dynamic_cast<const KEXValueArrayPropertyIF<KEXSampleMask>*>(maskProperty)) {
    int first = 0, last = -1;
    list->getIndexRange(first, last);
    masks = last - first + 1;
    if (!m_masks.setCount(masks) || (masks > 0 && !list->getItems(first, last, m_masks.getData())))
      return taskOutOfMemory();
  }
  m_placement = mode == KEX::Off ? KEXMeshExtract::Placement::Midpoint : KEXMeshExtract::Placement::Linear;
  if (mode == KEX::Cubic)
    kexTaskDiagnostics(KEX::Warning, "Cubic interpolation is computed as linear interpolation");
  m_transform = Matrixd(view) * grid->getGridToObjectTransform();
  m_mirrored = determinant3(m_transform) < 0.0;
  m_grid = grid;
  m_usedGrid = grid;
  m_usedGridStamp = grid->getModificationTime();
  for (int i = 0; i < 6; ++i)
    m_inputStamps[i] = propertyStamp(owner, INPUTS[i]);
  return true;
}

bool KEXTriangleMeshExtractor::Private::CalculateActionAttr::setRegionOfInterest()
{
  m_dispatcher.setGrid(*m_grid);
  m_dispatcher.setRangeLayers(m_layers);
  const KEXVector3<int> size = m_grid->getSize();
  KEXGridFilterAction::BoundingBoxList boxes(16, true);
  if (!boxes.append(CellBox(KEXVector3<int>(-1, -1, -1), KEXVector3<int>(size.x - 1, size.y - 1, size.z - 1))) ||
      !m_dispatcher.addRegionOfInterest(boxes))
    return taskOutOfMemory();
  if (m_masks.getCount() > 0) {
    boxes.setCount(0);
    for (const KEXSampleMask& m : m_masks)
      if (!m.isEmpty() && !boxes.append(cellsOf(*m_grid, m)))
        return taskOutOfMemory();
    if (!m_dispatcher.intersectRegionOfInterest(boxes))
      return taskOutOfMemory();
  }
  m_area = m_dispatcher.getRegionOfInterestArea();
  return true;
}

bool KEXTriangleMeshExtractor::Private::CalculateActionAttr::fetchPlane(WorkerPlanes& w, int slot, const CellBox& region, int z,
                        const KEXGridFilterAction::ReadAccessHandle& access)
{
  Lines& l = w.planes[slot];
  if (!m_cache.fetchLines(access, l, region.getMin().x, region.getMin().y, z))
    return fail("Could not access source");
  const float iso = m_iso;
  const int n = l.lineLength * l.lineCount;
  // Local restricted pointers: a byte store may alias anything, which would keep the loop scalar.
  const float* __restrict values = l.values;
  const float* __restrict seconds = l.seconds;
  uint8_t* __restrict f = w.flags[slot];
  for (int i = 0; i < n; ++i)
    f[i] = uint8_t(values[i] >= iso) & uint8_t(seconds[i] > KEXTriangleMeshExtractor::MASK_THRESHOLD);
  return true;
}

bool KEXTriangleMeshExtractor::Private::CalculateActionAttr::extractRange(WorkerPlanes& w, const CellBox& region, KEXValueList<Vec3>& soup)
{
  const KEXVector3<int> lo = region.getMin(), hi = region.getMax();
  const int length = hi.x - lo.x + 2, rows = hi.y - lo.y + 2;
  if (length > w.length || rows > w.rows) {
    // The region's width is the same for every range: this happens once per worker.
    for (Lines& l : w.planes)
      m_cache.releaseData(l);
    for (uint8_t*& f : w.flags) {
      kexFree(f);
      f = static_cast<uint8_t*>(kexMalloc(size_t(length) * size_t(rows)));
    }
    kexFree(w.codes);
    w.codes = static_cast<uint8_t*>(kexMalloc(size_t(length) + 8)); // 8 more for the word-wise scan
    for (int a = 0; a < 2; ++a) {
      kexFree(w.positions[a]);
      w.positions[a] = static_cast<double*>(kexMalloc(sizeof(double) * size_t(a == 0 ? length : rows)));
    }
    w.length = w.rows = 0;
    if (!w.flags[0] || !w.flags[1] || !w.codes || !w.positions[0] || !w.positions[1] ||
        !m_cache.allocLines(w.planes[0], length, rows) || !m_cache.allocLines(w.planes[1], length, rows))
      return taskOutOfMemory();
    w.length = length;
    w.rows = rows;
  }
  for (int i = 0; i < length; ++i)
    w.positions[0][i] = m_cache.getPosition(0, lo.x + i);
  for (int j = 0; j < rows; ++j)
    w.positions[1][j] = m_cache.getPosition(1, lo.y + j);

  KEXGridFilterAction::ReadAccessHandle access;
  if (!access.beginAccess(*m_grid))
    return fail("Could not access source");
  if (!fetchPlane(w, 0, region, lo.z, access))
    return false;

  const Matrixd& m = m_transform;
  const bool mirrored = m_mirrored;
  bool grown = true;
  auto emit = [&](const double* a, const double* b, const double* c) {
    const double* corners[3] = {a, mirrored ? c : b, mirrored ? b : c};
    for (const double* p : corners) {
      const Vec3 v(float(m(0, 0) * p[0] + m(0, 1) * p[1] + m(0, 2) * p[2] + m(0, 3)),
                   float(m(1, 0) * p[0] + m(1, 1) * p[1] + m(1, 2) * p[2] + m(1, 3)),
                   float(m(2, 0) * p[0] + m(2, 1) * p[1] + m(2, 2) * p[2] + m(2, 3)));
      grown = soup.append(v) && grown;
    }
  };

  KEXMeshExtract::Cell cell;
  int cur = 0;
  for (int z = lo.z; z <= hi.z; ++z) {
    const int next = 1 - cur;
    if (!fetchPlane(w, next, region, z + 1, access))
      return false;
    cell.lo[2] = m_cache.getPosition(2, z);
    cell.hi[2] = m_cache.getPosition(2, z + 1);
    const uint8_t* f0 = w.flags[cur];
    const uint8_t* f1 = w.flags[next];
    const Lines& p0 = w.planes[cur];
    const Lines& p1 = w.planes[next];
    for (int j = 0; j + 1 < rows; ++j) {
      const int r0 = j * length, r1 = r0 + length;
      cell.lo[1] = w.positions[1][j];
      cell.hi[1] = w.positions[1][j + 1];
      // A column's code holds its corners' flags (this row and the next, this plane and the next)
      // in bits 0 to 3; a cell's case interleaves the codes of its two columns.
      uint8_t* __restrict q = w.codes;
      for (int i = 0; i < length; ++i)
        q[i] = uint8_t(f0[r0 + i] | f0[r1 + i] << 1 | f1[r0 + i] << 2 | f1[r1 + i] << 3);
      std::memset(q + length, 0xFF, 8); // never equal to a code: the word-wise skip stops there
      for (int i = 0; i + 1 < length; ++i) {
        // Skip eight cells at once where both columns of each are all outside or all inside.
        uint64_t x, y;
        std::memcpy(&x, q + i, 8);
        std::memcpy(&y, q + i + 1, 8);
        if (x == y && (x == 0 || x == 0x0F0F0F0F0F0F0F0Full)) {
          i += 7;
          continue;
        }
        const int a = q[i], b = q[i + 1];
        if (a == b && (a == 0 || a == 15))
          continue;
        const int index = SPREAD[a] | SPREAD[b] << 1;
        const int k[8] = {r0 + i, r0 + i + 1, r1 + i, r1 + i + 1, r0 + i, r0 + i + 1, r1 + i, r1 + i + 1};
        for (int c = 0; c < 8; ++c) {
          const Lines& plane = c < 4 ? p0 : p1;
          cell.inside[c] = uint8_t((index >> c) & 1);
          cell.value[c] = plane.values[k[c]];
          cell.second[c] = plane.seconds[k[c]];
        }
        cell.lo[0] = w.positions[0][i];
        cell.hi[0] = w.positions[0][i + 1];
        KEXMeshExtract::polygonizeCell(cell, m_iso, KEXTriangleMeshExtractor::MASK_THRESHOLD, m_placement, emit);
        if (!grown)
          return taskOutOfMemory();
      }
    }
    cur = next;
  }
  return true;
}

bool KEXTriangleMeshExtractor::Private::CalculateActionAttr::run()
{
  WorkerPlanes w;
  w.cache = &m_cache;
  for (;;) {
    KEXGridFilterAction::WorkRange range;
    const auto request = m_dispatcher.requestWorkRange(range);
    if (request == KEXGridFilterAction::WorkDispatcher::Finished)
      return true;
    if (request != KEXGridFilterAction::WorkDispatcher::Granted || range.index < 0 ||
        range.index >= m_soups.getCount())
      return fail("Could not request work range");
    CellBox region;
    if (!m_dispatcher.getRegion(range, region))
      return fail("Could not calculate region of interest");
    if (!region.isEmpty() && !extractRange(w, region, m_soups[range.index]))
      return false;
    const KEXVector3<int> s = region.isEmpty() ? KEXVector3<int>(0, 0, 0) : region.getSize() + KEXVector3<int>(1, 1, 1);
    if (!taskIncProgress(EXTRACT_SHARE * double(s.x) * double(s.y) * double(s.z)))
      return taskError(KEX::GenericError);
  }
}

bool KEXTriangleMeshExtractor::Private::CalculateActionAttr::merge()
{
  long long total = 0;
  for (const KEXValueList<Vec3>& soup : m_soups)
    total += soup.getCount();
  if (total > INT_MAX - 2) {
    KEXTask::Diagnostics d(KEX::Error, "The surface has more vertices than a mesh can hold");
    return taskError(KEX::OutOfMemory, &d);
  }
  const int n = int(total);
  m_buffer.vertexList.setReleaseFlag(true);
  m_buffer.triangleList.setReleaseFlag(true);
  if (!m_buffer.vertexList.setCount(n) || !m_buffer.triangleList.setCount(n / 3))
    return taskOutOfMemory();
  int at = 0;
  for (KEXValueList<Vec3>& soup : m_soups) {
    if (soup.getCount() > 0)
      std::memcpy(static_cast<void*>(m_buffer.vertexList.getData() + at), soup.getData(),
                  sizeof(Vec3) * size_t(soup.getCount()));
    at += soup.getCount();
    soup.clear(); // the soups' memory goes before the clustering needs its own
  }
  Triangle* t = m_buffer.triangleList.getData();
  for (int i = 0; i < n / 3; ++i)
    t[i] = Triangle(3 * i, 3 * i + 1, 3 * i + 2);
  return true;
}

bool KEXTriangleMeshExtractor::Private::CalculateActionAttr::runNested(KEXTriangleMeshAlgorithmIF* algorithm, const char* message, double share)
{
  KEXSubTask sub(message, share * m_area);
  if (!algorithm->setBuffer(&m_buffer)) {
    KEXError::emitError(KEXError::Message(KEX::GenericError));
    return fail("Internal error");
  }
  const bool ok = algorithm->execute(nullptr);
  algorithm->setBuffer(nullptr);
  return ok || taskStatusOf(sub, KEX::GenericError);
}

bool KEXTriangleMeshExtractor::Private::CalculateActionAttr::publish(KEXObject& result)
{
  const int nt = m_buffer.triangleList.getCount(), nv = m_buffer.vertexList.getCount();
  if (!result.initArray<Triangle>(KEX::TriangleList, nt, m_buffer.triangleList.getData()) ||
      !result.initArray<Vec3>(KEX::VertexList, nv, m_buffer.vertexList.getData()) ||
      !result.initArray<Vec3>(KEX::NormalList, 0, nullptr) || !result.initArray<float>(KEX::CurvatureList, 0, nullptr))
    return taskError(KEX::GenericError);
  for (int i = 0; i < 4; ++i)
    m_publishedStamps[i] = propertyStamp(&result, RESULT_LISTS[i]);
  return true;
}

bool KEXTriangleMeshExtractor::Private::CalculateActionAttr::calculate(void*)
{
  if (!setRegionOfInterest())
    return false;
  if (!taskBegin("Extracting triangles", 7.5 * m_area, 0x10000, 0))
    return false;
  if (!m_cache.setSource(*m_grid, m_transfer, m_masks.getData(), m_masks.getCount()))
    return taskOutOfMemory();
  const int ranges = m_dispatcher.getRangeCount();
  m_soups.clear();
  if (!m_soups.setCount(ranges))
    return taskOutOfMemory();
  for (KEXValueList<Vec3>& soup : m_soups) {
    soup.setBlockSize(SOUP_BLOCK);
    soup.setReleaseFlag(true);
  }
  m_dispatcher.reset();
  resetAtomic();
  if (!runAll(0) || !merge())
    return false;

  if (m_buffer.triangleList.getCount() > 0) {
    const KEXMetaClass& cluster = KEXClusterVerticesAlgorithm::metaClass();
    const KEXMetaClass& repair = KEXRepairBadTrianglesAlgorithm::metaClass();
    auto* c = static_cast<KEXClusterVerticesAlgorithm*>(cluster.create());
    if (!c)
      return taskOutOfMemory();
    c->setMaximumDistance(KEXTriangleMeshExtractor::MERGE_DISTANCE);
    const bool clustered = runNested(c, "Clustering vertices", CLUSTER_SHARE);
    cluster.destruct(c, true);
    if (!clustered)
      return false;
    auto* r = static_cast<KEXTriangleMeshAlgorithmIF*>(repair.create());
    if (!r)
      return taskOutOfMemory();
    const bool repaired = runNested(r, "Repairing mesh", REPAIR_SHARE);
    repair.destruct(r, true);
    if (!repaired)
      return false;
  }
  if (m_buffer.triangleList.getCount() == 0)
    kexTaskDiagnostics(KEX::Warning, "No surface at the iso value %g: every sample is on one side of it", double(m_iso));
  KEXObject* result = getResult();
  if (!result || !publish(*result))
    return false;
  m_current = true;
  return true;
}

void KEXTriangleMeshExtractor::Private::CalculateActionAttr::cleanup(KEXenum status)
{
  m_buffer.clear();
  m_soups.clear();
  m_masks.clear();
  m_grid = nullptr;
  if (status == KEX::NoError || status == KEX::Unchanged)
    return;
  m_current = false;
  if (auto* result = dynamic_cast<KEXTriangleMeshExtractor::Result*>(getResult()))
    result->clearLists();
}

// --- the extractor -------------------------------------------------------------------------------------

KEXMESH_DEFINE_OBJECT_COPIES(KEXTriangleMeshExtractor, KEXObject)

void KEXTriangleMeshExtractor::construct()
{
  if (!kexmeshobjects::createPrivate(*this, m_private, KEX::GenericError))
    return;
  Private& p = *m_private;
  const KEXenum code = kexmeshobjects::addMembers(*this,
                                                  {{KEX::IsoValue, &p.iso},
                                                   {KEX::InterpolationMode, &p.mode},
                                                   {KEX::SampleGrid, &p.grid},
                                                   {KEX::SampleMaskList, &p.masks},
                                                   {KEX::SampleTransferSpec, &p.transfer},
                                                   {KEX::SampleGridToCurrentViewTransform, &p.transform},
                                                   {KEX::Result, &p.result}},
                                                  KEX::Calculate, &p.calculate);
  if (code != KEX::NoError) {
    KEXError::emitError(KEXError::Message(this, code));
    return;
  }
  kexmeshobjects::linkNewResult<Result>(*this, p.result);
}

void KEXTriangleMeshExtractor::copyValues(const KEXTriangleMeshExtractor& other)
{
  if (!m_private || !other.m_private)
    return;
  Private& p = *m_private;
  const Private& o = *other.m_private;
  float iso = 0.0f;
  KEXenum mode;
  KEXObjectLink link;
  KEXSampleTransferSpec transfer;
  Matrix transform;
  if (o.iso.getValue(iso))
    p.iso.setValue(iso);
  if (o.mode.getValue(mode))
    p.mode.setValue(mode);
  if (o.grid.getValue(link))
    p.grid.setValue(link);
  p.masks = o.masks;
  if (o.transfer.getValue(transfer))
    p.transfer.setValue(transfer);
  if (o.transform.getValue(transform))
    p.transform.setValue(transform);
  p.calculate.m_layers = o.calculate.m_layers;
}

KEXenum KEXTriangleMeshExtractor::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXTriangleMeshExtractor", 0, "kexmesh");
  return level == 0 ? id.get() : KEXObject::getObjectID(level - 1);
}

void KEXTriangleMeshExtractor::setWorkRangeLayers(int layers)
{
  if (m_private)
    m_private->calculate.m_layers = layers < 1 ? 1 : layers;
}

int KEXTriangleMeshExtractor::getWorkRangeLayers() const { return m_private ? m_private->calculate.m_layers : 8; }

bool KEXTriangleMeshExtractor::calculate() { return m_private && m_private->calculate.execute(nullptr); }
