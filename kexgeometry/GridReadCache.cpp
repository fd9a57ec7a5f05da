// KEXGridReadCache: converts lines of grid samples to floats with their domain distance. All
// per-axis quantities (positions and distances including the padding indices) are tabulated in
// setSource, so fetchLines only reads the cache and any number of workers may call it at once
// with their own Lines.
#include "kexgeometry/GridReadCache.h"

#include "kex/Memory.h"
#include "kexgeometry/internal/GridSamples.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>

using namespace kexgridinternal;

struct KEXGridReadCache::Private {
  const KEXGrid* grid = nullptr;
  const void* data = nullptr;
  KEXSampleType type = KEXSampleType::UInt8;
  int size[3] = {0, 0, 0};
  bool swap = false;
  bool identity = true;
  float scale = 1.0f;
  float offset = 0.0f;
  KEXSampleMask* masks = nullptr;
  int maskCount = 0;
  // Per axis, n + 2 entries for the indices -1 .. n (entry i + 1 for index i).
  double* positions[3] = {nullptr, nullptr, nullptr};
  double* distances[3] = {nullptr, nullptr, nullptr};

  ~Private()
  {
    kexFree(masks);
    for (int a = 0; a < 3; ++a) {
      kexFree(positions[a]);
      kexFree(distances[a]);
    }
  }
};

namespace {

// The cache's state lives in framework memory so that its allocation can fail like any other.
template <class P>
P* newInFrameworkMemory()
{
  void* memory = kexMalloc(sizeof(P));
  return memory ? new (memory) P : nullptr;
}

template <class P>
void deleteFromFrameworkMemory(P* p)
{
  if (!p)
    return;
  p->~P();
  kexFree(p);
}

} // namespace

KEXGridReadCache::~KEXGridReadCache() { deleteFromFrameworkMemory(m_private); }

bool KEXGridReadCache::setSource(const KEXGrid& grid, const KEXSampleTransferSpec& transfer, const KEXSampleMask* masks,
                                 int maskCount)
{
  Private* p = newInFrameworkMemory<Private>();
  if (!p)
    return false;
  p->grid = &grid;
  p->data = grid.getData();
  p->type = grid.getSampleType();
  KEXVector3<int> s = grid.getSize();
  p->swap = grid.isBigEndian() != hostIsBigEndian();
  p->identity = transfer.isIdentity();
  p->scale = float(transfer.scale);
  p->offset = float(transfer.offset);
  if (masks && maskCount > 0) {
    p->masks = static_cast<KEXSampleMask*>(kexMalloc(sizeof(KEXSampleMask) * size_t(maskCount)));
    if (!p->masks) {
      deleteFromFrameworkMemory(p);
      return false;
    }
    std::memcpy(static_cast<void*>(p->masks), masks, sizeof(KEXSampleMask) * size_t(maskCount));
    p->maskCount = maskCount;
  }
  for (int a = 0; a < 3; ++a) {
    int n = grid.isEmpty() ? 0 : s[a];
    p->size[a] = n;
    if (n == 0)
      continue;
    p->positions[a] = static_cast<double*>(kexMalloc(sizeof(double) * size_t(n + 2)));
    p->distances[a] = static_cast<double*>(kexMalloc(sizeof(double) * size_t(n + 2)));
    if (!p->positions[a] || !p->distances[a]) {
      deleteFromFrameworkMemory(p);
      return false;
    }
    const double* t = grid.getPositions(a);
    double h0 = n > 1 ? t[1] - t[0] : 1.0;
    double hl = n > 1 ? t[n - 1] - t[n - 2] : 1.0;
    double* pos = p->positions[a];
    pos[0] = t[0] - h0;
    for (int i = 0; i < n; ++i)
      pos[i + 1] = t[i];
    pos[n + 1] = t[n - 1] + hl;
    // The domain reaches half a spacing beyond the outer samples.
    double lo = t[0] - 0.5 * h0, hi = t[n - 1] + 0.5 * hl;
    for (int i = 0; i < n + 2; ++i)
      p->distances[a][i] = std::min(pos[i] - lo, hi - pos[i]);
  }
  deleteFromFrameworkMemory(m_private);
  m_private = p;
  return true;
}

bool KEXGridReadCache::allocLines(Lines& lines, int lineLength, int lineCount)
{
  if (lineLength < 1 || lineCount < 1)
    return false;
  size_t n = size_t(lineLength) * size_t(lineCount);
  float* v = static_cast<float*>(kexMalloc(n * sizeof(float)));
  float* s = static_cast<float*>(kexMalloc(n * sizeof(float)));
  if (!v || !s) {
    kexFree(v);
    kexFree(s);
    return false;
  }
  releaseData(lines);
  lines.values = v;
  lines.seconds = s;
  lines.lineLength = lineLength;
  lines.lineCount = lineCount;
  return true;
}

namespace {

template <class T>
inline float convert(T raw)
{
  if constexpr (std::is_same_v<T, float>)
    return std::isnan(raw) ? -FLT_MAX : raw;
  else
    return float(raw);
}

// One line of samples x0 .. x0 + length - 1 of a row: the interior is a straight conversion, the
// padding ends (at most one sample each) repeat the outer samples.
template <class T, bool Swap>
void convertLine(const unsigned char* row, int x0, int length, int nx, bool identity, float scale, float offset,
                 float* out)
{
  int left = x0 < 0 ? 1 : 0;
  int right = x0 + length - 1 >= nx ? 1 : 0;
  int end = length - right;
  for (int i = left; i < end; ++i)
    out[i] = convert(readSample<T, Swap>(row, uint64_t(x0 + i)));
  if (left)
    out[0] = convert(readSample<T, Swap>(row, 0));
  if (right)
    out[length - 1] = convert(readSample<T, Swap>(row, uint64_t(nx - 1)));
  if (identity)
    return;
  if constexpr (std::is_same_v<T, float>) {
    // NaN samples stay -FLT_MAX whatever the transfer rule: they are outside in every reading.
    for (int i = 0; i < length; ++i)
      out[i] = out[i] == -FLT_MAX ? out[i] : out[i] * scale + offset;
  } else {
    for (int i = 0; i < length; ++i)
      out[i] = out[i] * scale + offset;
  }
}

template <class T>
void convertLineOrdered(bool swap, const unsigned char* row, int x0, int length, int nx, bool identity, float scale,
                        float offset, float* out)
{
  if (swap)
    convertLine<T, true>(row, x0, length, nx, identity, scale, offset, out);
  else
    convertLine<T, false>(row, x0, length, nx, identity, scale, offset, out);
}

// Signed distance of p inside [lo, hi]: positive inside, negative outside.
inline double inside(double p, float lo, float hi) { return std::min(p - double(lo), double(hi) - p); }

} // namespace

bool KEXGridReadCache::fetchLines(const KEXGridFilterAction::ReadAccessHandle& access, Lines& lines, int x0, int y0,
                                  int z)
{
  const Private* p = m_private;
  if (!p || !p->grid || access.getGrid() != p->grid || p->grid->getReadAccessCount() < 1)
    return false;
  const KEXGrid& grid = *p->grid;
  // The layout may have been replaced between setSource and the access being opened.
  KEXVector3<int> gs = grid.getSize();
  if (grid.getData() != p->data || gs.x != p->size[0] || gs.y != p->size[1] || gs.z != p->size[2] ||
      grid.getSampleType() != p->type)
    return false;
  if (!lines.values || !lines.seconds || lines.lineLength < 1 || lines.lineCount < 1)
    return false;
  const int nx = p->size[0], ny = p->size[1], nz = p->size[2];
  const int L = lines.lineLength;
  if (x0 < -1 || x0 + L - 1 > nx || y0 < -1 || y0 + lines.lineCount - 1 > ny || z < -1 || z > nz)
    return false;
  const size_t ss = kexSampleSize(p->type);
  const unsigned char* base = static_cast<const unsigned char*>(p->data);
  const int sz = std::clamp(z, 0, nz - 1);
  const double* dx = p->distances[0] + (x0 + 1);
  const double* px = p->positions[0] + (x0 + 1);
  const double dz = p->distances[2][z + 1];
  const double pz = p->positions[2][z + 1];
  for (int l = 0; l < lines.lineCount; ++l) {
    const int y = y0 + l;
    const int sy = std::clamp(y, 0, ny - 1);
    const unsigned char* row = base + (uint64_t(sy) + uint64_t(ny) * uint64_t(sz)) * uint64_t(nx) * ss;
    float* out = lines.values + size_t(l) * size_t(L);
    float* sec = lines.seconds + size_t(l) * size_t(L);
    switch (p->type) {
    case KEXSampleType::UInt8:
      convertLine<uint8_t, false>(row, x0, L, nx, p->identity, p->scale, p->offset, out);
      break;
    case KEXSampleType::Int16:
      convertLineOrdered<int16_t>(p->swap, row, x0, L, nx, p->identity, p->scale, p->offset, out);
      break;
    case KEXSampleType::UInt16:
      convertLineOrdered<uint16_t>(p->swap, row, x0, L, nx, p->identity, p->scale, p->offset, out);
      break;
    case KEXSampleType::Float32:
      convertLineOrdered<float>(p->swap, row, x0, L, nx, p->identity, p->scale, p->offset, out);
      break;
    }
    const double dyz = std::min(p->distances[1][y + 1], dz);
    if (p->maskCount == 0) {
      for (int i = 0; i < L; ++i)
        sec[i] = float(std::min(dx[i], dyz));
    } else {
      // Mask by mask over the line, so the y and z terms of a mask are taken once per line; the
      // running maximum in float equals the rounded maximum in double (rounding is monotone).
      const double py = p->positions[1][y + 1];
      for (int i = 0; i < L; ++i)
        sec[i] = -FLT_MAX;
      for (int m = 0; m < p->maskCount; ++m) {
        const KEXSampleMask& mk = p->masks[m];
        const double myz =
            std::min(inside(py, mk.getMin().y, mk.getMax().y), inside(pz, mk.getMin().z, mk.getMax().z));
        const float mlo = mk.getMin().x, mhi = mk.getMax().x;
        for (int i = 0; i < L; ++i)
          sec[i] = std::max(sec[i], float(std::min(myz, inside(px[i], mlo, mhi))));
      }
      for (int i = 0; i < L; ++i)
        sec[i] = std::min(sec[i], float(std::min(dx[i], dyz)));
    }
  }
  return true;
}

bool KEXGridReadCache::storeData(const Lines& lines, KEXGrid& grid, int x0, int y0, int z) const
{
  if (grid.getSampleType() != KEXSampleType::Float32 || grid.isEmpty() || !lines.values)
    return false;
  float* data = static_cast<float*>(grid.getWritableData());
  if (!data)
    return false;
  KEXVector3<int> s = grid.getSize();
  if (x0 < 0 || y0 < 0 || z < 0 || z >= s.z || lines.lineLength < 1 || lines.lineCount < 1 ||
      x0 + lines.lineLength > s.x || y0 + lines.lineCount > s.y)
    return false;
  for (int l = 0; l < lines.lineCount; ++l) {
    uint64_t start = uint64_t(x0) + uint64_t(s.x) * (uint64_t(y0 + l) + uint64_t(s.y) * uint64_t(z));
    std::memcpy(data + start, lines.values + size_t(l) * size_t(lines.lineLength),
                sizeof(float) * size_t(lines.lineLength));
  }
  grid.samplesChanged();
  return true;
}

void KEXGridReadCache::releaseData(Lines& lines)
{
  kexFree(lines.values);
  kexFree(lines.seconds);
  lines = Lines();
}

double KEXGridReadCache::getPosition(int axis, int i) const
{
  if (!m_private || axis < 0 || axis > 2 || i < -1 || i > m_private->size[axis] || m_private->size[axis] == 0)
    return 0.0;
  return m_private->positions[axis][i + 1];
}
