#pragma once
// Value types of the framework: vectors, 4x4 matrices, boxes, pairs, colours, strings.
#include "kex/Enum.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <type_traits>

template <class T>
struct KEXVector2 {
  T x{}, y{};
  constexpr KEXVector2() = default;
  constexpr KEXVector2(T x_, T y_) : x(x_), y(y_) {}
  template <class U>
  constexpr explicit KEXVector2(const KEXVector2<U>& o) : x(T(o.x)), y(T(o.y)) {}
  T& operator[](int i) { return i == 0 ? x : y; }
  const T& operator[](int i) const { return i == 0 ? x : y; }
  KEXVector2 operator+(const KEXVector2& o) const { return {x + o.x, y + o.y}; }
  KEXVector2 operator-(const KEXVector2& o) const { return {x - o.x, y - o.y}; }
  KEXVector2 operator*(T s) const { return {x * s, y * s}; }
  KEXVector2 operator/(T s) const { return {x / s, y / s}; }
  KEXVector2 operator-() const { return {-x, -y}; }
  KEXVector2& operator+=(const KEXVector2& o) { x += o.x; y += o.y; return *this; }
  KEXVector2& operator-=(const KEXVector2& o) { x -= o.x; y -= o.y; return *this; }
  T dot(const KEXVector2& o) const { return x * o.x + y * o.y; }
  T squaredLength() const { return dot(*this); }
  T length() const { return T(std::sqrt(double(squaredLength()))); }
  bool operator==(const KEXVector2& o) const { return x == o.x && y == o.y; }
  bool operator!=(const KEXVector2& o) const { return !(*this == o); }
};

template <class T>
struct KEXVector3 {
  T x{}, y{}, z{};
  static const KEXVector3 ZERO;
  constexpr KEXVector3() = default;
  constexpr KEXVector3(T x_, T y_, T z_) : x(x_), y(y_), z(z_) {}
  template <class U>
  constexpr explicit KEXVector3(const KEXVector3<U>& o) : x(T(o.x)), y(T(o.y)), z(T(o.z)) {}
  T& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
  const T& operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
  KEXVector3 operator+(const KEXVector3& o) const { return {x + o.x, y + o.y, z + o.z}; }
  KEXVector3 operator-(const KEXVector3& o) const { return {x - o.x, y - o.y, z - o.z}; }
  KEXVector3 operator*(T s) const { return {x * s, y * s, z * s}; }
  KEXVector3 operator/(T s) const { return {x / s, y / s, z / s}; }
  KEXVector3 operator-() const { return {-x, -y, -z}; }
  KEXVector3& operator+=(const KEXVector3& o) { x += o.x; y += o.y; z += o.z; return *this; }
  KEXVector3& operator-=(const KEXVector3& o) { x -= o.x; y -= o.y; z -= o.z; return *this; }
  KEXVector3& operator*=(T s) { x *= s; y *= s; z *= s; return *this; }
  T dot(const KEXVector3& o) const { return x * o.x + y * o.y + z * o.z; }
  KEXVector3 cross(const KEXVector3& o) const
  {
    return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x};
  }
  T squaredLength() const { return dot(*this); }
  T length() const { return T(std::sqrt(double(squaredLength()))); }
  /// Scales to the given length: multiplies by length / |v| computed in double. No zero guard: a
  /// zero vector becomes NaN, length 0 gives the zero vector (for a non-zero vector).
  KEXVector3& normalize(T length = T(1))
  {
    double f = double(length) / std::sqrt(double(x) * double(x) + double(y) * double(y) + double(z) * double(z));
    x = T(double(x) * f);
    y = T(double(y) * f);
    z = T(double(z) * f);
    return *this;
  }
  bool operator==(const KEXVector3& o) const { return x == o.x && y == o.y && z == o.z; }
  bool operator!=(const KEXVector3& o) const { return !(*this == o); }
};
template <class T>
const KEXVector3<T> KEXVector3<T>::ZERO{};

template <class T>
KEXVector3<T> operator*(T s, const KEXVector3<T>& v) { return v * s; }

template <class T>
struct KEXVector4 {
  T x{}, y{}, z{}, w{};
  constexpr KEXVector4() = default;
  constexpr KEXVector4(T x_, T y_, T z_, T w_) : x(x_), y(y_), z(z_), w(w_) {}
  T& operator[](int i) { return (&x)[i]; }
  const T& operator[](int i) const { return (&x)[i]; }
  bool operator==(const KEXVector4& o) const { return x == o.x && y == o.y && z == o.z && w == o.w; }
};

/// 4x4 matrix, element (row, column). Points transform as rows 0-2 times (x, y, z, 1): affine,
/// translation in column 3, no division by w.
template <class T>
class KEXMatrix4 {
public:
  KEXMatrix4() : KEXMatrix4(T(0)) {}
  /// s times the identity.
  explicit KEXMatrix4(T s)
  {
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c)
        m[r][c] = r == c ? s : T(0);
  }
  template <class U>
  explicit KEXMatrix4(const KEXMatrix4<U>& o)
  {
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c)
        m[r][c] = T(o(r, c));
  }
  static KEXMatrix4 createScaleMatrix(T sx, T sy, T sz)
  {
    KEXMatrix4 a(T(1));
    a.m[0][0] = sx;
    a.m[1][1] = sy;
    a.m[2][2] = sz;
    return a;
  }
  static KEXMatrix4 createTranslationMatrix(T tx, T ty, T tz)
  {
    KEXMatrix4 a(T(1));
    a.m[0][3] = tx;
    a.m[1][3] = ty;
    a.m[2][3] = tz;
    return a;
  }
  T& operator()(int r, int c) { return m[r][c]; }
  const T& operator()(int r, int c) const { return m[r][c]; }
  KEXMatrix4 operator*(const KEXMatrix4& o) const
  {
    KEXMatrix4 p;
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) {
        T s = T(0);
        for (int k = 0; k < 4; ++k)
          s += m[r][k] * o.m[k][c];
        p.m[r][c] = s;
      }
    return p;
  }
  bool operator==(const KEXMatrix4& o) const
  {
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c)
        if (m[r][c] != o.m[r][c])
          return false;
    return true;
  }
  bool operator!=(const KEXMatrix4& o) const { return !(*this == o); }
  KEXVector3<T> transformPoint(const KEXVector3<T>& p) const
  {
    return {m[0][0] * p.x + m[0][1] * p.y + m[0][2] * p.z + m[0][3],
            m[1][0] * p.x + m[1][1] * p.y + m[1][2] * p.z + m[1][3],
            m[2][0] * p.x + m[2][1] * p.y + m[2][2] * p.z + m[2][3]};
  }
  KEXMatrix4& transpose()
  {
    for (int r = 0; r < 4; ++r)
      for (int c = r + 1; c < 4; ++c)
        std::swap(m[r][c], m[c][r]);
    return *this;
  }
  T determinant() const
  {
    double a[4][4];
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c)
        a[r][c] = double(m[r][c]);
    double det = 1.0;
    for (int c = 0; c < 4; ++c) {
      int p = c;
      for (int r = c + 1; r < 4; ++r)
        if (std::fabs(a[r][c]) > std::fabs(a[p][c]))
          p = r;
      if (a[p][c] == 0.0)
        return T(0);
      if (p != c) {
        for (int k = 0; k < 4; ++k)
          std::swap(a[p][k], a[c][k]);
        det = -det;
      }
      det *= a[c][c];
      for (int r = c + 1; r < 4; ++r) {
        double f = a[r][c] / a[c][c];
        for (int k = c; k < 4; ++k)
          a[r][k] -= f * a[c][k];
      }
    }
    return T(det);
  }
  /// Inverts in place (Gauss-Jordan with partial pivoting, in double). False for a singular
  /// matrix, which is then left unchanged.
  bool invert()
  {
    double a[4][8];
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) {
        a[r][c] = double(m[r][c]);
        a[r][c + 4] = r == c ? 1.0 : 0.0;
      }
    for (int c = 0; c < 4; ++c) {
      int p = c;
      for (int r = c + 1; r < 4; ++r)
        if (std::fabs(a[r][c]) > std::fabs(a[p][c]))
          p = r;
      if (!(std::fabs(a[p][c]) > 0.0))
        return false;
      if (p != c)
        for (int k = 0; k < 8; ++k)
          std::swap(a[p][k], a[c][k]);
      double inv = 1.0 / a[c][c];
      for (int k = 0; k < 8; ++k)
        a[c][k] *= inv;
      for (int r = 0; r < 4; ++r)
        if (r != c) {
          double f = a[r][c];
          for (int k = 0; k < 8; ++k)
            a[r][k] -= f * a[c][k];
        }
    }
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c)
        m[r][c] = T(a[r][c + 4]);
    return true;
  }

private:
  T m[4][4];
};

template <class T>
struct KEXValuePair {
  T first{}, second{};
  constexpr KEXValuePair() = default;
  constexpr KEXValuePair(const T& a, const T& b) : first(a), second(b) {}
  bool operator==(const KEXValuePair& o) const { return first == o.first && second == o.second; }
  bool operator!=(const KEXValuePair& o) const { return !(*this == o); }
};

/// Axis-aligned box of points of type V. Starts empty; uniting compares, so NaN components never
/// enter.
template <class V>
class KEXInterval {
public:
  using Scalar = std::remove_cvref_t<decltype(V().x)>;
  KEXInterval() { makeEmpty(); }
  KEXInterval(const V& lo, const V& hi) : m_min(lo), m_max(hi) {}
  explicit KEXInterval(const KEXValuePair<V>& p) : m_min(p.first), m_max(p.second) {}

  void makeEmpty()
  {
    Scalar big = std::numeric_limits<Scalar>::max();
    m_min = V(big, big, big);
    m_max = V(-big, -big, -big);
  }
  bool isEmpty() const { return !(m_min.x <= m_max.x && m_min.y <= m_max.y && m_min.z <= m_max.z); }
  bool operator==(const KEXInterval& o) const { return m_min == o.m_min && m_max == o.m_max; }
  bool operator!=(const KEXInterval& o) const { return !(*this == o); }
  const V& getMin() const { return m_min; }
  const V& getMax() const { return m_max; }
  void unite(const V& p)
  {
    for (int i = 0; i < 3; ++i) {
      if (p[i] < m_min[i])
        m_min[i] = p[i];
      if (p[i] > m_max[i])
        m_max[i] = p[i];
    }
  }
  void unite(const KEXInterval& b)
  {
    if (b.isEmpty())
      return;
    unite(b.m_min);
    unite(b.m_max);
  }
  void enlarge(const V& v)
  {
    m_min -= v;
    m_max += v;
  }
  bool intersects(const KEXInterval& b) const
  {
    for (int i = 0; i < 3; ++i)
      if (b.m_max[i] < m_min[i] || b.m_min[i] > m_max[i])
        return false;
    return !isEmpty() && !b.isEmpty();
  }
  void intersect(const KEXInterval& b)
  {
    for (int i = 0; i < 3; ++i) {
      m_min[i] = std::max(m_min[i], b.m_min[i]);
      m_max[i] = std::min(m_max[i], b.m_max[i]);
    }
  }
  bool contains(const V& p) const
  {
    return p.x >= m_min.x && p.x <= m_max.x && p.y >= m_min.y && p.y <= m_max.y && p.z >= m_min.z && p.z <= m_max.z;
  }
  /// Size per axis (zero when empty). A float box near the float limits can be wider than the
  /// largest float: use getDiameter or compute in double where that matters.
  V getSize() const { return isEmpty() ? V() : m_max - m_min; }
  V getCenter() const
  {
    using T = decltype(m_min.x);
    return V(T((double(m_min.x) + m_max.x) / 2), T((double(m_min.y) + m_max.y) / 2),
             T((double(m_min.z) + m_max.z) / 2));
  }
  /// Length of the diagonal (0 when empty), in double so that it stays finite for any finite box.
  double getDiameter() const
  {
    if (isEmpty())
      return 0.0;
    const double x = double(m_max.x) - m_min.x, y = double(m_max.y) - m_min.y, z = double(m_max.z) - m_min.z;
    return std::sqrt(x * x + y * y + z * z);
  }
  KEXValuePair<V> toPair() const { return {m_min, m_max}; }
  operator KEXValuePair<V>() const { return toPair(); }

private:
  V m_min, m_max;
};

/// Colour without alpha (materials use KEXRGB<float>); default white.
template <class T = float>
struct KEXRGB {
  T r = T(1), g = T(1), b = T(1);
  constexpr KEXRGB() = default;
  constexpr KEXRGB(T r_, T g_, T b_) : r(r_), g(g_), b(b_) {}
  bool operator==(const KEXRGB& o) const { return r == o.r && g == o.g && b == o.b; }
  bool operator!=(const KEXRGB& o) const { return !(*this == o); }
};

template <class T>
struct KEXRGBA;

namespace kexdetail {
inline unsigned char colorToByte(float f)
{
  // Branch-free so that list conversions vectorise: NaN and negatives give 0, 1 and more 255; the
  // rounded value is positive, so truncation is floor.
  f = f > 0.0f ? f : 0.0f;
  f = f < 1.0f ? f : 1.0f;
  return static_cast<unsigned char>(static_cast<int>(f * 255.0f + 0.5f));
}
} // namespace kexdetail

template <>
struct KEXRGBA<float> {
  float r = 0, g = 0, b = 0, a = 0;
  static const KEXRGBA BLACK; // (0, 0, 0, 0): the zero of colour sums
  constexpr KEXRGBA() = default;
  constexpr KEXRGBA(float r_, float g_, float b_, float a_ = 1.0f) : r(r_), g(g_), b(b_), a(a_) {}
  inline explicit KEXRGBA(const KEXRGBA<unsigned char>& c);
  KEXRGBA operator+(const KEXRGBA& o) const { return {r + o.r, g + o.g, b + o.b, a + o.a}; }
  KEXRGBA operator*(float s) const { return {r * s, g * s, b * s, a * s}; }
  KEXRGBA& operator+=(const KEXRGBA& o) { r += o.r; g += o.g; b += o.b; a += o.a; return *this; }
  /// Clamps each channel to [0, 1]; NaN stays.
  KEXRGBA& clamp()
  {
    for (float* c : {&r, &g, &b, &a}) {
      if (*c < 0.0f)
        *c = 0.0f;
      else if (*c > 1.0f)
        *c = 1.0f;
    }
    return *this;
  }
  bool operator==(const KEXRGBA& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
  bool operator!=(const KEXRGBA& o) const { return !(*this == o); }
};
inline const KEXRGBA<float> KEXRGBA<float>::BLACK{0.0f, 0.0f, 0.0f, 0.0f};

template <>
struct KEXRGBA<unsigned char> {
  unsigned char r = 0, g = 0, b = 0, a = 0;
  constexpr KEXRGBA() = default;
  constexpr KEXRGBA(unsigned char r_, unsigned char g_, unsigned char b_, unsigned char a_ = 255)
      : r(r_), g(g_), b(b_), a(a_) {}
  /// Byte = floor(clamp01(f) * 255 + 0.5), NaN gives 0.
  explicit KEXRGBA(const KEXRGBA<float>& c)
      : r(kexdetail::colorToByte(c.r)), g(kexdetail::colorToByte(c.g)), b(kexdetail::colorToByte(c.b)),
        a(kexdetail::colorToByte(c.a)) {}
  bool operator==(const KEXRGBA& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
  bool operator!=(const KEXRGBA& o) const { return !(*this == o); }
};

inline KEXRGBA<float>::KEXRGBA(const KEXRGBA<unsigned char>& c)
    : r(c.r / 255.0f), g(c.g / 255.0f), b(c.b / 255.0f), a(c.a / 255.0f) {}

/// Owning C string whose memory comes from kexMalloc. Null until set.
class KEXCString {
public:
  KEXCString() = default;
  KEXCString(const KEXCString& other);
  KEXCString& operator=(const KEXCString& other);
  ~KEXCString();
  /// Copies s (null clears); false when memory is short (value unchanged).
  bool set(const char* s);
  const char* get() const { return m_text; }
  bool operator==(const KEXCString& other) const;

private:
  char* m_text = nullptr;
};

/// An oriented box as the matrix that maps the unit cube onto it.
class KEXOrientedBBox {
public:
  KEXOrientedBBox() : m_matrix(1.0f) {}
  explicit KEXOrientedBBox(const KEXValuePair<KEXVector3<float>>& box) : m_matrix(1.0f)
  {
    KEXVector3<float> size = box.second - box.first;
    m_matrix(0, 0) = size.x;
    m_matrix(1, 1) = size.y;
    m_matrix(2, 2) = size.z;
    m_matrix(0, 3) = box.first.x;
    m_matrix(1, 3) = box.first.y;
    m_matrix(2, 3) = box.first.z;
  }
  const KEXMatrix4<float>& getMatrix() const { return m_matrix; }

private:
  KEXMatrix4<float> m_matrix;
};

/// Unit conversion to the framework's internal units (angles: radians).
struct KEXQuantity {
  static double unitToInternal(double value, KEXenum quantity, KEXenum unit);
};

/// Bulk operations over points and vectors held as separate coordinate arrays (x[], y[], z[]).
/// transformPoints and unitePoints take any n >= 0 and any alignment. The vector operations are
/// meant for scratch arrays a caller lays out for them: n a multiple of 4 (pad with zeros) and
/// every array aligned to ALIGNMENT bytes, which lets the compiler process four elements per step
/// without a remainder loop. Arrays of one call must not overlap unless a function says so.
struct KEXMathKernel {
  static constexpr int ALIGNMENT = 32;
  /// Elements an aligned batch is padded to.
  static constexpr int WIDTH = 4;
  static constexpr int paddedCount(int n) { return (n + WIDTH - 1) / WIDTH * WIDTH; }

  /// out_i = m applied to (x_i, y_i, z_i, 1) (affine, no division by w). The output arrays may be
  /// the input arrays.
  static void transformPoints(const KEXMatrix4<float>& m, const float* xIn, const float* yIn, const float* zIn,
                              float* xOut, float* yOut, float* zOut, int n);
  /// Unites n points into box, component by component (a NaN component never enters).
  static void unitePoints(KEXInterval<KEXVector3<float>>& box, const float* x, const float* y, const float* z, int n);

  // --- aligned, n a multiple of WIDTH ---------------------------------------------------------
  /// d = b - a per element (float positions widened to double).
  static void subtract(const float* ax, const float* ay, const float* az, const float* bx, const float* by,
                       const float* bz, double* dx, double* dy, double* dz, int n);
  /// c = a x b per element.
  static void crossProducts(const double* ax, const double* ay, const double* az, const double* bx,
                            const double* by, const double* bz, double* cx, double* cy, double* cz, int n);
  /// d = a . b per element.
  static void dotProducts(const double* ax, const double* ay, const double* az, const double* bx, const double* by,
                          const double* bz, double* d, int n);
  /// l = |(x, y, z)| per element.
  static void lengths(const double* x, const double* y, const double* z, double* l, int n);
};
