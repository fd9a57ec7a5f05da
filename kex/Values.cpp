#include "kex/Values.h"
#include "kex/Memory.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

KEXCString::KEXCString(const KEXCString& other) { set(other.m_text); }

KEXCString& KEXCString::operator=(const KEXCString& other)
{
  if (this != &other)
    set(other.m_text);
  return *this;
}

KEXCString::~KEXCString() { kexFree(m_text); }

bool KEXCString::set(const char* s)
{
  if (!s) {
    kexFree(m_text);
    m_text = nullptr;
    return true;
  }
  size_t n = std::strlen(s) + 1;
  char* copy = static_cast<char*>(kexMalloc(n));
  if (!copy)
    return false;
  std::memcpy(copy, s, n);
  kexFree(m_text);
  m_text = copy;
  return true;
}

bool KEXCString::operator==(const KEXCString& other) const
{
  if (!m_text || !other.m_text)
    return m_text == other.m_text;
  return std::strcmp(m_text, other.m_text) == 0;
}

double KEXQuantity::unitToInternal(double value, KEXenum, KEXenum unit)
{
  if (unit.isValid() && std::strcmp(unit.getString(), "Degree") == 0)
    return value * std::numbers::pi / 180.0;
  return value;
}

// The kernels below run in groups of WIDTH with a fixed inner loop and __restrict arrays: that
// shape is what the compiler turns into vector instructions at -O2, whose cheap cost model takes
// no loop that would need a remainder loop or a run-time overlap test. An in-place transform
// (which may not promise __restrict) takes the plain loop.
namespace {
constexpr int W = KEXMathKernel::WIDTH;

void transformSeparate(float m00, float m01, float m02, float m03, float m10, float m11, float m12, float m13,
                       float m20, float m21, float m22, float m23, const float* __restrict xIn,
                       const float* __restrict yIn, const float* __restrict zIn, float* __restrict xOut,
                       float* __restrict yOut, float* __restrict zOut, int n)
{
  const int body = n / W * W;
  for (int i = 0; i < body; i += W)
    for (int j = i; j < i + W; ++j) {
      const float x = xIn[j], y = yIn[j], z = zIn[j];
      xOut[j] = m00 * x + m01 * y + m02 * z + m03;
      yOut[j] = m10 * x + m11 * y + m12 * z + m13;
      zOut[j] = m20 * x + m21 * y + m22 * z + m23;
    }
  for (int i = body; i < n; ++i) {
    const float x = xIn[i], y = yIn[i], z = zIn[i];
    xOut[i] = m00 * x + m01 * y + m02 * z + m03;
    yOut[i] = m10 * x + m11 * y + m12 * z + m13;
    zOut[i] = m20 * x + m21 * y + m22 * z + m23;
  }
}
} // namespace

void KEXMathKernel::transformPoints(const KEXMatrix4<float>& m, const float* xIn, const float* yIn, const float* zIn,
                                    float* xOut, float* yOut, float* zOut, int n)
{
  const float m00 = m(0, 0), m01 = m(0, 1), m02 = m(0, 2), m03 = m(0, 3);
  const float m10 = m(1, 0), m11 = m(1, 1), m12 = m(1, 2), m13 = m(1, 3);
  const float m20 = m(2, 0), m21 = m(2, 1), m22 = m(2, 2), m23 = m(2, 3);
  const bool inPlace = xOut == xIn || yOut == yIn || zOut == zIn;
  if (!inPlace) {
    transformSeparate(m00, m01, m02, m03, m10, m11, m12, m13, m20, m21, m22, m23, xIn, yIn, zIn, xOut, yOut, zOut, n);
    return;
  }
  for (int i = 0; i < n; ++i) {
    // Read all three before writing: the output is the input.
    const float x = xIn[i], y = yIn[i], z = zIn[i];
    xOut[i] = m00 * x + m01 * y + m02 * z + m03;
    yOut[i] = m10 * x + m11 * y + m12 * z + m13;
    zOut[i] = m20 * x + m21 * y + m22 * z + m23;
  }
}

void KEXMathKernel::unitePoints(KEXInterval<KEXVector3<float>>& box, const float* x, const float* y, const float* z,
                                int n)
{
  // Four running minima and maxima per axis; "v < lo ? v : lo" keeps lo for a NaN v, which is the
  // box's own rule and maps onto the vector min/max instructions.
  const float* axis[3] = {x, y, z};
  KEXVector3<float> lo = box.getMin(), hi = box.getMax();
  const int body = n / W * W;
  for (int a = 0; a < 3; ++a) {
    const float* v = axis[a];
    float l[W], h[W];
    for (int j = 0; j < W; ++j) {
      l[j] = lo[a];
      h[j] = hi[a];
    }
    for (int i = 0; i < body; i += W)
      for (int j = 0; j < W; ++j) {
        const float c = v[i + j];
        l[j] = c < l[j] ? c : l[j];
        h[j] = c > h[j] ? c : h[j];
      }
    for (int i = body; i < n; ++i) {
      l[0] = v[i] < l[0] ? v[i] : l[0];
      h[0] = v[i] > h[0] ? v[i] : h[0];
    }
    for (int j = 0; j < W; ++j) {
      lo[a] = l[j] < lo[a] ? l[j] : lo[a];
      hi[a] = h[j] > hi[a] ? h[j] : hi[a];
    }
  }
  // Uniting the two corners gives the same box as uniting every point, axis by axis. An axis
  // that saw no number (lo > hi there) must stay untouched: NaN components never enter.
  for (int a = 0; a < 3; ++a)
    if (lo[a] > hi[a])
      lo[a] = hi[a] = std::numeric_limits<float>::quiet_NaN();
  box.unite(lo);
  box.unite(hi);
}

void KEXMathKernel::subtract(const float* __restrict ax, const float* __restrict ay, const float* __restrict az,
                             const float* __restrict bx, const float* __restrict by, const float* __restrict bz,
                             double* __restrict dx, double* __restrict dy, double* __restrict dz, int n)
{
  for (int i = 0; i < n; i += W)
    for (int j = i; j < i + W; ++j) {
      dx[j] = double(bx[j]) - double(ax[j]);
      dy[j] = double(by[j]) - double(ay[j]);
      dz[j] = double(bz[j]) - double(az[j]);
    }
}

void KEXMathKernel::crossProducts(const double* __restrict ax, const double* __restrict ay, const double* __restrict az,
                                  const double* __restrict bx, const double* __restrict by, const double* __restrict bz,
                                  double* __restrict cx, double* __restrict cy, double* __restrict cz, int n)
{
  for (int i = 0; i < n; i += W)
    for (int j = i; j < i + W; ++j) {
      const double x = ay[j] * bz[j] - az[j] * by[j];
      const double y = az[j] * bx[j] - ax[j] * bz[j];
      const double z = ax[j] * by[j] - ay[j] * bx[j];
      cx[j] = x;
      cy[j] = y;
      cz[j] = z;
    }
}

void KEXMathKernel::dotProducts(const double* __restrict ax, const double* __restrict ay, const double* __restrict az,
                                const double* __restrict bx, const double* __restrict by, const double* __restrict bz,
                                double* __restrict d, int n)
{
  for (int i = 0; i < n; i += W)
    for (int j = i; j < i + W; ++j)
      d[j] = ax[j] * bx[j] + ay[j] * by[j] + az[j] * bz[j];
}

// The products and sums vectorise; std::sqrt itself stays one call per element unless the build
// allows the vector square root (-fno-math-errno), since it may set errno.
void KEXMathKernel::lengths(const double* __restrict x, const double* __restrict y, const double* __restrict z,
                            double* __restrict l, int n)
{
  for (int i = 0; i < n; i += W)
    for (int j = i; j < i + W; ++j)
      l[j] = std::sqrt(x[j] * x[j] + y[j] * y[j] + z[j] * z[j]);
}
