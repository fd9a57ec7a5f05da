// KEXGrid: sample storage (owned or attached), the per-axis position tables and the stamp that
// tells cached results when to recalculate. Layout changes are refused while a reader holds
// access, since readers keep raw pointers into the storage and the tables.
#include "kexgeometry/Grid.h"

#include "kex/Enum.h"
#include "kex/Error.h"
#include "kex/Memory.h"
#include "kexgeometry/internal/GridPrivate.h"
#include "kexgeometry/internal/GridSamples.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

using namespace kexgridinternal;

size_t kexSampleSize(KEXSampleType t)
{
  switch (t) {
  case KEXSampleType::UInt8: return 1;
  case KEXSampleType::Int16:
  case KEXSampleType::UInt16: return 2;
  case KEXSampleType::Float32: return 4;
  }
  return 0;
}


namespace {

// The storage and tables of a grid, moved out as one piece so a replacement is built completely
// before anything of the old layout is touched, and released after the lock is given up (a
// release callback may take its own locks).
struct Storage {
  KEXSampleType type = KEXSampleType::UInt8;
  int size[3] = {0, 0, 0};
  uint64_t count = 0;
  void* data = nullptr;
  size_t bytes = 0;
  bool owned = false;
  bool bigEndian = false;
  KEXGrid::ReleaseFunction release = nullptr;
  void* context = nullptr;
  double* positions[3] = {nullptr, nullptr, nullptr};
  bool uniform[3] = {true, true, true};

  void free()
  {
    if (owned)
      kexFree(data);
    else if (data && release)
      release(context, data, bytes);
    for (double*& p : positions) {
      kexFree(p);
      p = nullptr;
    }
    data = nullptr;
    release = nullptr;
  }
};

// Samples of a size, or 0 when refused (any axis below 1, the product above MAX_SAMPLES);
// checked step by step so the product never overflows.
uint64_t checkedCount(int nx, int ny, int nz)
{
  if (nx < 1 || ny < 1 || nz < 1)
    return 0;
  uint64_t n = uint64_t(nx);
  for (int f : {ny, nz}) {
    if (n > KEXGrid::MAX_SAMPLES / uint64_t(f))
      return 0;
    n *= uint64_t(f);
  }
  return n;
}

bool isValidType(KEXSampleType t) { return kexSampleSize(t) != 0; }

// Uniform tables 0, 1, 2, ... for the three axes; false (nothing allocated) when memory is short.
bool makeUnitTables(Storage& s)
{
  for (int a = 0; a < 3; ++a) {
    s.positions[a] = static_cast<double*>(kexMalloc(sizeof(double) * size_t(s.size[a])));
    if (!s.positions[a]) {
      for (double*& p : s.positions) {
        kexFree(p);
        p = nullptr;
      }
      return false;
    }
    for (int i = 0; i < s.size[a]; ++i)
      s.positions[a][i] = double(i);
    s.uniform[a] = true;
  }
  return true;
}

bool tableIsUniform(const double* p, int n)
{
  if (n < 3)
    return true;
  double h = p[1] - p[0];
  double tol = 1e-9 * std::max(std::fabs(h), std::max(std::fabs(p[0]), std::fabs(p[n - 1])));
  for (int i = 2; i < n; ++i)
    if (std::fabs((p[i] - p[i - 1]) - h) > tol)
      return false;
  return true;
}

class GridFactory : public KEXMetaClass::Factory {
public:
  KEXClass* create(void* place) const override
  {
    return place ? new (place) KEXGrid() : new (std::nothrow) KEXGrid();
  }
  KEXClass* clone(const KEXClass* source, void* place) const override
  {
    const KEXGrid* g = dynamic_cast<const KEXGrid*>(source);
    if (!g)
      return nullptr;
    return place ? new (place) KEXGrid(*g) : new (std::nothrow) KEXGrid(*g);
  }
  bool assign(KEXClass* target, const KEXClass* source) const override
  {
    KEXGrid* t = dynamic_cast<KEXGrid*>(target);
    const KEXGrid* s = dynamic_cast<const KEXGrid*>(source);
    if (!t || !s)
      return false;
    *t = *s;
    return true;
  }
  bool destruct(KEXClass* object, bool deleteIt) const override
  {
    KEXGrid* g = dynamic_cast<KEXGrid*>(object);
    if (!g)
      return false;
    if (deleteIt)
      delete g;
    else
      g->~KEXGrid();
    return true;
  }
};

} // namespace

// Moves the storage of p into s (p left empty, positions tables included).
template <class P>
static void takeStorage(P& p, Storage& s)
{
  s.type = p.type;
  for (int a = 0; a < 3; ++a) {
    s.size[a] = p.size[a];
    s.positions[a] = p.positions[a];
    s.uniform[a] = p.uniform[a];
    p.size[a] = 0;
    p.positions[a] = nullptr;
    p.uniform[a] = true;
  }
  s.count = p.count;
  s.data = p.data;
  s.bytes = p.bytes;
  s.owned = p.owned;
  s.bigEndian = p.bigEndian;
  s.release = p.release;
  s.context = p.context;
  p.count = 0;
  p.data = nullptr;
  p.bytes = 0;
  p.owned = false;
  p.bigEndian = false;
  p.release = nullptr;
  p.context = nullptr;
}

template <class P>
static void putStorage(P& p, Storage& s)
{
  p.type = s.type;
  for (int a = 0; a < 3; ++a) {
    p.size[a] = s.size[a];
    p.positions[a] = s.positions[a];
    p.uniform[a] = s.uniform[a];
    s.positions[a] = nullptr;
  }
  p.count = s.count;
  p.data = s.data;
  p.bytes = s.bytes;
  p.owned = s.owned;
  p.bigEndian = s.bigEndian;
  p.release = s.release;
  p.context = s.context;
  s.data = nullptr;
  s.release = nullptr;
}

// A deep copy of other's storage into owned memory in this machine's byte order; false when
// memory is short (nothing allocated).
template <class P>
static bool copyStorage(const P& o, Storage& s)
{
  s = Storage();
  if (o.count == 0)
    return true;
  s.type = o.type;
  for (int a = 0; a < 3; ++a)
    s.size[a] = o.size[a];
  s.count = o.count;
  s.bytes = size_t(o.count) * kexSampleSize(o.type);
  s.owned = true;
  s.data = kexMalloc(s.bytes);
  if (!s.data)
    return false;
  for (int a = 0; a < 3; ++a) {
    s.positions[a] = static_cast<double*>(kexMalloc(sizeof(double) * size_t(o.size[a])));
    if (!s.positions[a]) {
      s.free();
      return false;
    }
    std::memcpy(s.positions[a], o.positions[a], sizeof(double) * size_t(o.size[a]));
    s.uniform[a] = o.uniform[a];
  }
  const unsigned char* src = static_cast<const unsigned char*>(o.data);
  if (o.bigEndian != hostIsBigEndian() && kexSampleSize(o.type) > 1) {
    if (kexSampleSize(o.type) == 2) {
      uint16_t* d = static_cast<uint16_t*>(s.data);
      for (uint64_t i = 0; i < o.count; ++i)
        d[i] = readSample<uint16_t, true>(src, i);
    } else {
      uint32_t* d = static_cast<uint32_t*>(s.data);
      for (uint64_t i = 0; i < o.count; ++i)
        d[i] = readSample<uint32_t, true>(src, i);
    }
  } else {
    std::memcpy(s.data, src, s.bytes);
  }
  return true;
}

KEXGrid::KEXGrid() : m_private(new Private)
{
  m_private->stamp = KEXProperty::takeModificationTime();
}

KEXGrid::KEXGrid(const KEXGrid& other) : KEXObject(other), m_private(new Private)
{
  Storage s;
  if (copyStorage(*other.m_private, s))
    putStorage(*m_private, s);
  else
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
  m_private->transform = other.m_private->transform;
  m_private->stamp = KEXProperty::takeModificationTime();
}

KEXGrid& KEXGrid::operator=(const KEXGrid& other)
{
  if (this == &other)
    return *this;
  KEXObject::operator=(other);
  Storage s;
  if (!copyStorage(*other.m_private, s)) {
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
    return *this;
  }
  Storage old;
  {
    std::lock_guard<std::mutex> lock(m_private->mutex);
    if (m_private->readCount.load() > 0) {
      // Readers hold pointers into the current storage: the assignment cannot take effect.
      s.free();
      return *this;
    }
    takeStorage(*m_private, old);
    putStorage(*m_private, s);
    m_private->transform = other.m_private->transform;
    m_private->stamp = KEXProperty::takeModificationTime();
  }
  old.free();
  return *this;
}

KEXGrid::~KEXGrid()
{
  Storage old;
  takeStorage(*m_private, old);
  old.free();
  delete m_private;
}

const KEXMetaClass& KEXGrid::metaClass()
{
  // Leaky on purpose like every metaclass of this library: plug-ins may outlive static destructors.
  static const GridFactory* factory = new GridFactory;
  static const KEXMetaClass* meta = new KEXMetaClass("KEXGrid", sizeof(KEXGrid), &KEXObject::metaClass(), factory,
                                                     "kexgeometry", 0, 0, 0, nullptr, nullptr, false);
  return *meta;
}

const KEXMetaClass& KEXGrid::getMetaClass() const { return metaClass(); }

KEXenum KEXGrid::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXGrid", 0, "kexgeometry");
  return level == 0 ? id.get() : KEXObject::getObjectID(level - 1);
}

namespace {
[[maybe_unused]] const bool gridAtLoad = (KEXGrid::metaClass(), true);
}

bool KEXGrid::create(KEXSampleType t, int nx, int ny, int nz)
{
  uint64_t n = checkedCount(nx, ny, nz);
  if (n == 0 || !isValidType(t) || m_private->readCount.load() > 0)
    return false;
  Storage s;
  s.type = t;
  s.size[0] = nx;
  s.size[1] = ny;
  s.size[2] = nz;
  s.count = n;
  s.bytes = size_t(n) * kexSampleSize(t);
  s.owned = true;
  s.data = kexMalloc(s.bytes);
  if (!s.data || !makeUnitTables(s)) {
    s.free();
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
    return false;
  }
  std::memset(s.data, 0, s.bytes);
  Storage old;
  {
    std::lock_guard<std::mutex> lock(m_private->mutex);
    if (m_private->readCount.load() > 0) {
      s.free();
      return false;
    }
    takeStorage(*m_private, old);
    putStorage(*m_private, s);
    m_private->stamp = KEXProperty::takeModificationTime();
  }
  old.free();
  return true;
}

bool KEXGrid::attach(KEXSampleType t, int nx, int ny, int nz, const void* data, size_t bytes, bool bigEndian,
                     ReleaseFunction release, void* context)
{
  uint64_t n = checkedCount(nx, ny, nz);
  if (n == 0 || !isValidType(t) || !data || m_private->readCount.load() > 0)
    return false;
  if (uint64_t(bytes) / kexSampleSize(t) < n)
    return false;
  Storage s;
  s.type = t;
  s.size[0] = nx;
  s.size[1] = ny;
  s.size[2] = nz;
  s.count = n;
  s.bytes = bytes;
  s.owned = false;
  s.bigEndian = bigEndian;
  if (!makeUnitTables(s)) {
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
    return false;
  }
  // Only now does the grid answer for the caller's memory.
  s.data = const_cast<void*>(data);
  s.release = release;
  s.context = context;
  Storage old;
  {
    std::lock_guard<std::mutex> lock(m_private->mutex);
    if (m_private->readCount.load() > 0) {
      s.release = nullptr; // refused: the caller keeps its memory, no release
      s.free();
      return false;
    }
    takeStorage(*m_private, old);
    putStorage(*m_private, s);
    m_private->stamp = KEXProperty::takeModificationTime();
  }
  old.free();
  return true;
}

void KEXGrid::clear()
{
  Storage old;
  {
    std::lock_guard<std::mutex> lock(m_private->mutex);
    if (m_private->readCount.load() > 0 || m_private->count == 0)
      return;
    takeStorage(*m_private, old);
    m_private->stamp = KEXProperty::takeModificationTime();
  }
  old.free();
}

bool KEXGrid::isEmpty() const { return m_private->count == 0; }
KEXSampleType KEXGrid::getSampleType() const { return m_private->type; }
KEXVector3<int> KEXGrid::getSize() const { return {m_private->size[0], m_private->size[1], m_private->size[2]}; }
uint64_t KEXGrid::getSampleCount() const { return m_private->count; }
bool KEXGrid::isBigEndian() const { return m_private->bigEndian; }
const void* KEXGrid::getData() const { return m_private->data; }
void* KEXGrid::getWritableData() { return m_private->owned ? m_private->data : nullptr; }
void KEXGrid::samplesChanged() { m_private->stamp = KEXProperty::takeModificationTime(); }

bool KEXGrid::setUniformPositions(const KEXVector3<double>& origin, const KEXVector3<double>& spacing)
{
  for (int a = 0; a < 3; ++a)
    if (!std::isfinite(origin[a]) || !std::isfinite(spacing[a]) || !(spacing[a] > 0.0))
      return false;
  std::lock_guard<std::mutex> lock(m_private->mutex);
  if (m_private->readCount.load() > 0)
    return false;
  for (int a = 0; a < 3; ++a) {
    for (int i = 0; i < m_private->size[a]; ++i)
      m_private->positions[a][i] = origin[a] + double(i) * spacing[a];
    m_private->uniform[a] = true;
  }
  m_private->stamp = KEXProperty::takeModificationTime();
  return true;
}

bool KEXGrid::setPositions(int axis, const double* positions)
{
  if (axis < 0 || axis > 2 || !positions || m_private->count == 0)
    return false;
  int n = m_private->size[axis];
  for (int i = 0; i < n; ++i) {
    if (!std::isfinite(positions[i]))
      return false;
    if (i > 0 && !(positions[i] > positions[i - 1]))
      return false;
  }
  double* table = static_cast<double*>(kexMalloc(sizeof(double) * size_t(n)));
  if (!table) {
    KEXError::emitError(KEXError::Message(this, KEX::OutOfMemory));
    return false;
  }
  std::memcpy(table, positions, sizeof(double) * size_t(n));
  {
    std::lock_guard<std::mutex> lock(m_private->mutex);
    if (m_private->readCount.load() > 0) {
      kexFree(table);
      return false;
    }
    std::swap(table, m_private->positions[axis]);
    m_private->uniform[axis] = tableIsUniform(m_private->positions[axis], n);
    m_private->stamp = KEXProperty::takeModificationTime();
  }
  kexFree(table);
  return true;
}

double KEXGrid::getPosition(int axis, int i) const
{
  if (axis < 0 || axis > 2 || i < 0 || i >= m_private->size[axis])
    return std::numeric_limits<double>::quiet_NaN();
  return m_private->positions[axis][i];
}

const double* KEXGrid::getPositions(int axis) const
{
  if (axis < 0 || axis > 2)
    return nullptr;
  return m_private->positions[axis];
}

bool KEXGrid::isUniform() const
{
  return m_private->uniform[0] && m_private->uniform[1] && m_private->uniform[2];
}

KEXVector3<double> KEXGrid::getOrigin() const
{
  if (m_private->count == 0)
    return {0.0, 0.0, 0.0};
  return {m_private->positions[0][0], m_private->positions[1][0], m_private->positions[2][0]};
}

double KEXGrid::getSamplingDistance() const
{
  double best = std::numeric_limits<double>::infinity();
  for (int a = 0; a < 3; ++a)
    for (int i = 1; i < m_private->size[a]; ++i)
      best = std::min(best, m_private->positions[a][i] - m_private->positions[a][i - 1]);
  return std::isfinite(best) ? best : 1.0;
}

KEXInterval<KEXVector3<double>> KEXGrid::getExtent() const
{
  if (m_private->count == 0)
    return KEXInterval<KEXVector3<double>>();
  KEXVector3<double> lo, hi;
  for (int a = 0; a < 3; ++a) {
    lo[a] = m_private->positions[a][0];
    hi[a] = m_private->positions[a][m_private->size[a] - 1];
  }
  return KEXInterval<KEXVector3<double>>(lo, hi);
}

void KEXGrid::setGridToObjectTransform(const KEXMatrix4<double>& m)
{
  m_private->transform = m;
  m_private->stamp = KEXProperty::takeModificationTime();
}

const KEXMatrix4<double>& KEXGrid::getGridToObjectTransform() const { return m_private->transform; }

double KEXGrid::getSample(int i, int j, int k) const
{
  const Private& p = *m_private;
  if (p.count == 0 || i < 0 || j < 0 || k < 0 || i >= p.size[0] || j >= p.size[1] || k >= p.size[2])
    return 0.0;
  uint64_t index = uint64_t(i) + uint64_t(p.size[0]) * (uint64_t(j) + uint64_t(p.size[1]) * uint64_t(k));
  const unsigned char* d = static_cast<const unsigned char*>(p.data);
  bool swap = p.bigEndian != hostIsBigEndian();
  switch (p.type) {
  case KEXSampleType::UInt8: return double(d[index]);
  case KEXSampleType::Int16: return swap ? readSample<int16_t, true>(d, index) : readSample<int16_t, false>(d, index);
  case KEXSampleType::UInt16:
    return swap ? readSample<uint16_t, true>(d, index) : readSample<uint16_t, false>(d, index);
  case KEXSampleType::Float32: return swap ? readSample<float, true>(d, index) : readSample<float, false>(d, index);
  }
  return 0.0;
}

uint64_t KEXGrid::getModificationTime() const { return m_private->stamp; }

int KEXGrid::getReadAccessCount() const { return m_private->readCount.load(); }
