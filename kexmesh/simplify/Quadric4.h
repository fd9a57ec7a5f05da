#pragma once
// KEXQuadric4<T>: the symmetric 4x4 error quadric of surface simplification. Q(v) = v^T M v over
// homogeneous points v = (x, y, z, 1); built from planes, its value at a point is the sum of the
// squared (scaled) distances of the point from those planes. Only the lower triangle of M is kept,
// packed row by row: element (i, j), i >= j, at index i(i+1)/2 + j. With A the upper-left 3x3
// block (indices 0-5), b = (m30, m31, m32) (indices 6-8) and c = m33 (index 9),
// Q(p) = p^T A p + 2 b^T p + c.
//
// Every computation is done in double precision; the float instantiation rounds only when it
// stores a coefficient. The type is a plain aggregate of ten values (kept by the thousand in
// per-vertex arrays): no allocation, closed-form solves, nothing thrown.
#include "kex/Enum.h"
#include "kex/Values.h"

#include <type_traits>

template <class T>
class KEXQuadric4 {
  static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>, "KEXQuadric4 is float or double");

public:
  /// Bound below which a determinant or a segment's curvature counts as singular: the smallest
  /// positive normalised double.
  static constexpr double SINGULAR = 2.2250738585072014e-308;

  /// All ten coefficients 0.
  KEXQuadric4() : m{} {}
  static KEXQuadric4 ZERO() { return KEXQuadric4(); }

  /// The plane quadric of (a, b, c, d): every coefficient the product of two plane components. Not
  /// normalised: a normal of length l scales the quadric by l^2.
  template <class S, class = std::enable_if_t<std::is_arithmetic_v<S>>>
  KEXQuadric4(S a, S b, S c, S d)
  {
    setPlane(double(a), double(b), double(c), double(d));
  }
  template <class T2>
  explicit KEXQuadric4(const KEXVector4<T2>& plane)
  {
    setPlane(double(plane.x), double(plane.y), double(plane.z), double(plane.w));
  }
  /// The plane n . p + d = 0.
  template <class T2>
  KEXQuadric4(const KEXVector3<T2>& n, T2 d)
  {
    setPlane(double(n.x), double(n.y), double(n.z), double(d));
  }
  /// Replaces all ten coefficients by the plane quadric of n . p + d = 0.
  template <class T2>
  KEXQuadric4& setQuadric(const KEXVector3<T2>& n, T2 d)
  {
    setPlane(double(n.x), double(n.y), double(n.z), double(d));
    return *this;
  }

  KEXQuadric4(const KEXQuadric4&) = default;
  KEXQuadric4& operator=(const KEXQuadric4&) = default;
  /// From the other instantiation, element by element.
  template <class T2, class = std::enable_if_t<!std::is_same_v<T, T2>>>
  KEXQuadric4(const KEXQuadric4<T2>& o)
  {
    const T2* s = o.getComponentPtr();
    for (int i = 0; i < 10; ++i)
      m[i] = T(s[i]);
  }
  template <class T2, class = std::enable_if_t<!std::is_same_v<T, T2>>>
  KEXQuadric4& operator=(const KEXQuadric4<T2>& o)
  {
    const T2* s = o.getComponentPtr();
    for (int i = 0; i < 10; ++i)
      m[i] = T(s[i]);
    return *this;
  }

  // --- arithmetic -------------------------------------------------------------------------------
  template <class T2>
  KEXQuadric4& operator+=(const KEXQuadric4<T2>& o)
  {
    const T2* s = o.getComponentPtr();
    for (int i = 0; i < 10; ++i)
      m[i] = T(double(m[i]) + double(s[i]));
    return *this;
  }
  template <class T2>
  KEXQuadric4 operator+(const KEXQuadric4<T2>& o) const
  {
    KEXQuadric4 r(*this);
    return r += o;
  }
  KEXQuadric4& operator*=(double s)
  {
    for (T& v : m)
      v = T(double(v) * s);
    return *this;
  }
  KEXQuadric4 operator*(double s) const
  {
    KEXQuadric4 r(*this);
    return r *= s;
  }
  /// Multiplies by 1/s; a zero divisor is not caught.
  KEXQuadric4& operator/=(double s) { return *this *= 1.0 / s; }
  KEXQuadric4 operator/(double s) const { return *this * (1.0 / s); }

  /// Exact comparison of the ten coefficients (a quadric always equals itself, NaN or not).
  bool operator==(const KEXQuadric4& o) const
  {
    if (this == &o)
      return true;
    for (int i = 0; i < 10; ++i)
      if (m[i] != o.m[i])
        return false;
    return true;
  }
  bool operator!=(const KEXQuadric4& o) const { return !(*this == o); }

  /// The full symmetric matrix M.
  operator KEXMatrix4<T>() const
  {
    KEXMatrix4<T> r;
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j)
        r(i, j) = m[index(i, j)];
    return r;
  }
  /// The ten packed coefficients, in the order of the class comment.
  const T* getComponentPtr() const { return m; }

  // --- evaluation -------------------------------------------------------------------------------
  /// M v.
  template <class T2>
  KEXVector4<T2> transform(const KEXVector4<T2>& v) const
  {
    KEXVector4<T2> r;
    for (int i = 0; i < 4; ++i) {
      double s = 0.0;
      for (int j = 0; j < 4; ++j)
        s += double(m[index(i, j)]) * double(v[j]);
      r[i] = T2(s);
    }
    return r;
  }
  /// v^T M v.
  template <class T2>
  double evaluate(const KEXVector4<T2>& v) const
  {
    const KEXVector4<T2> mv = transform(v);
    return double(v.x) * double(mv.x) + double(v.y) * double(mv.y) + double(v.z) * double(mv.z) +
           double(v.w) * double(mv.w);
  }
  /// Q(p) for the point p = (x, y, z, 1).
  template <class T2>
  double evaluate(const KEXVector3<T2>& p) const
  {
    const double v[4] = {double(p.x), double(p.y), double(p.z), 1.0};
    double sum = 0.0;
    for (int i = 0; i < 4; ++i) {
      double row = 0.0;
      for (int j = 0; j < 4; ++j)
        row += double(m[index(i, j)]) * v[j];
      sum += row * v[i];
    }
    return sum;
  }

  /// Replaces Q by Q'(p) = Q(p + t): b' = A t + b, c' = c + b^T t + b'^T t.
  template <class T2>
  KEXQuadric4& translate(const KEXVector3<T2>& t)
  {
    const double tx = double(t.x), ty = double(t.y), tz = double(t.z);
    const double b0 = m[6], b1 = m[7], b2 = m[8];
    const double n0 = double(m[0]) * tx + double(m[1]) * ty + double(m[3]) * tz + b0;
    const double n1 = double(m[1]) * tx + double(m[2]) * ty + double(m[4]) * tz + b1;
    const double n2 = double(m[3]) * tx + double(m[4]) * ty + double(m[5]) * tz + b2;
    const double c = double(m[9]) + (b0 * tx + b1 * ty + b2 * tz) + (n0 * tx + n1 * ty + n2 * tz);
    m[6] = T(n0);
    m[7] = T(n1);
    m[8] = T(n2);
    m[9] = T(c);
    return *this;
  }

  /// The point where Q is least: A p = -b solved by Cramer's rule. False (p untouched) when the
  /// determinant of A is not above SINGULAR, which also refuses an indefinite A of negative
  /// determinant.
  bool findGlobalMinimum(KEXVector3<double>& p) const
  {
    const double m00 = m[0], m10 = m[1], m11 = m[2], m20 = m[3], m21 = m[4], m22 = m[5], m30 = m[6], m31 = m[7],
                 m32 = m[8];
    const double det = m00 * (m11 * m22 - m21 * m21) + m10 * (m21 * m20 - m22 * m10) + m20 * (m21 * m10 - m11 * m20);
    if (!(det > SINGULAR))
      return false;
    const double r = 1.0 / det;
    p.x = r * (m11 * m20 * m32 + m31 * m10 * m22 + m21 * m30 * m21 - m21 * m10 * m32 - m11 * m30 * m22 - m31 * m20 * m21);
    p.y = r * (m21 * m00 * m32 + m30 * m10 * m22 + m31 * m20 * m20 - m20 * m10 * m32 - m31 * m00 * m22 - m21 * m30 * m20);
    p.z = r * (m10 * m10 * m32 + m31 * m00 * m21 + m11 * m30 * m20 - m11 * m00 * m32 - m30 * m10 * m21 - m31 * m10 * m20);
    return true;
  }
  bool findGlobalMinimum(KEXVector3<float>& p) const
  {
    KEXVector3<double> d;
    if (!findGlobalMinimum(d))
      return false;
    p = KEXVector3<float>(d);
    return true;
  }

  /// The point of the segment p0-p1 where Q is least. False (p untouched) when d^T A d is not
  /// above SINGULAR for d = p1 - p0 (always so for a segment of zero length).
  template <class T2>
  bool findLinearMinimum(const KEXVector3<T2>& p0, const KEXVector3<T2>& p1, KEXVector3<T2>& p) const
  {
    const double d[3] = {double(p1.x) - double(p0.x), double(p1.y) - double(p0.y), double(p1.z) - double(p0.z)};
    const double q[3] = {double(p0.x), double(p0.y), double(p0.z)};
    double u[3];
    for (int i = 0; i < 3; ++i)
      u[i] = double(m[index(i, 0)]) * d[0] + double(m[index(i, 1)]) * d[1] + double(m[index(i, 2)]) * d[2];
    const double den = u[0] * d[0] + u[1] * d[1] + u[2] * d[2];
    if (!(den > SINGULAR))
      return false;
    const double bd = double(m[6]) * d[0] + double(m[7]) * d[1] + double(m[8]) * d[2];
    double s = -(bd + u[0] * q[0] + u[1] * q[1] + u[2] * q[2]) / den;
    if (s < 0.0)
      s = 0.0;
    if (s > 1.0)
      s = 1.0;
    p = KEXVector3<T2>(T2(q[0] + s * d[0]), T2(q[1] + s * d[1]), T2(q[2] + s * d[2]));
    return true;
  }

  /// The registered type name: "Quadric4f" or "Quadric4d".
  static KEXenum getTypeName();

private:
  static constexpr int index(int i, int j) { return i >= j ? i * (i + 1) / 2 + j : j * (j + 1) / 2 + i; }
  void setPlane(double a, double b, double c, double d)
  {
    const double v[4] = {a, b, c, d};
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j <= i; ++j)
        m[index(i, j)] = T(v[i] * v[j]);
  }

  T m[10];
};

template <>
KEXenum KEXQuadric4<float>::getTypeName();
template <>
KEXenum KEXQuadric4<double>::getTypeName();

extern template class KEXQuadric4<float>;
extern template class KEXQuadric4<double>;
