#pragma once
// Stateless triangle geometry. Every computation runs in double precision; results are converted to
// the point type V. Arguments are the triangle's points a, b, c; results go to the first argument.
#include "kex/Values.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kexcalc {
inline constexpr double EPS = 2.220446049250313e-16;
inline constexpr double PI = std::numbers::pi;

template <class V>
struct Traits;
template <class S>
struct Traits<KEXVector3<S>> {
  static KEXVector3<double> toD(const KEXVector3<S>& v) { return {double(v.x), double(v.y), double(v.z)}; }
  static KEXVector3<S> fromD(const KEXVector3<double>& v) { return {S(v.x), S(v.y), S(v.z)}; }
};
template <class S>
struct Traits<KEXVector2<S>> {
  static KEXVector3<double> toD(const KEXVector2<S>& v) { return {double(v.x), double(v.y), 0.0}; }
  static KEXVector2<S> fromD(const KEXVector3<double>& v) { return {S(v.x), S(v.y)}; }
};
} // namespace kexcalc

template <class V, class T = double>
class KEXTriangleCalculus {
  using D = KEXVector3<double>;
  using Tr = kexcalc::Traits<V>;

public:
  KEXTriangleCalculus& operator=(const KEXTriangleCalculus&) = default;

  /// b + c - a: the fourth corner of the parallelogram opposite a.
  static void opposite(V& out, const V& a, const V& b, const V& c)
  {
    out = Tr::fromD(Tr::toD(b) + Tr::toD(c) - Tr::toD(a));
  }
  static void center(V& out, const V& a, const V& b, const V& c)
  {
    out = Tr::fromD((Tr::toD(a) + Tr::toD(b) + Tr::toD(c)) * 0.3333333333333333);
  }
  /// (|c - b|, |a - c|, |b - a|): the sides opposite a, b, c.
  static void lengths(KEXVector3<double>& out, const V& a, const V& b, const V& c)
  {
    D pa = Tr::toD(a), pb = Tr::toD(b), pc = Tr::toD(c);
    out = D(std::sqrt((pc - pb).squaredLength()), std::sqrt((pa - pc).squaredLength()), std::sqrt((pb - pa).squaredLength()));
  }
  /// Perimeter.
  static void extent(T& out, const V& a, const V& b, const V& c)
  {
    KEXVector3<double> l;
    lengths(l, a, b, c);
    out = T(l.x + l.y + l.z);
  }
  static void area(T& out, const V& a, const V& b, const V& c)
  {
    D u = Tr::toD(b) - Tr::toD(c);
    D w = Tr::toD(b) - Tr::toD(a);
    double uu = u.squaredLength();
    if (uu > kexcalc::EPS)
      w -= u * (w.dot(u) / uu);
    out = T(std::sqrt(w.squaredLength() * uu * 0.25));
  }
  /// Vector from a to its foot point on the line b-c.
  static void heightA(V& out, const V& a, const V& b, const V& c) { out = Tr::fromD(height(Tr::toD(a), Tr::toD(b), Tr::toD(c))); }
  static void heightB(V& out, const V& a, const V& b, const V& c) { out = Tr::fromD(height(Tr::toD(b), Tr::toD(c), Tr::toD(a))); }
  static void heightC(V& out, const V& a, const V& b, const V& c) { out = Tr::fromD(height(Tr::toD(c), Tr::toD(a), Tr::toD(b))); }

  /// Inner angles at a, b, c; they add up to exactly pi. Coincident points give fixed angles.
  static void angles(KEXVector3<double>& out, const V& a, const V& b, const V& c)
  {
    const double pi = kexcalc::PI;
    D pa = Tr::toD(a), pb = Tr::toD(b), pc = Tr::toD(c);
    D u = pb - pa, v = pc - pb, w = pa - pc;
    double su = u.squaredLength(), sv = v.squaredLength(), sw = w.squaredLength();
    bool zu = su < kexcalc::EPS, zv = sv < kexcalc::EPS, zw = sw < kexcalc::EPS;
    if (zu || zv || zw) {
      if (zu && zv && zw)
        out = D(pi / 3, pi / 3, pi / 3);
      else if (zu && zv)
        out = D(0, pi, 0);
      else if (zu && zw)
        out = D(pi, 0, 0);
      else if (zv && zw)
        out = D(0, 0, pi);
      else if (zu)
        out = D(pi / 2, pi / 2, 0);
      else if (zv)
        out = D(0, pi / 2, pi / 2);
      else
        out = D(pi / 2, 0, pi / 2);
      return;
    }
    u = u * (1.0 / std::sqrt(su));
    v = v * (1.0 / std::sqrt(sv));
    w = w * (1.0 / std::sqrt(sw));
    double ca = std::clamp(-(w.dot(u)), -1.0, 1.0);
    double cb = std::clamp(-(u.dot(v)), -1.0, 1.0);
    double cc = std::clamp(-(v.dot(w)), -1.0, 1.0);
    D r(std::acos(ca), std::acos(cb), std::acos(cc));
    double sum = r.x + r.y + r.z;
    out = D(r.x * pi / sum, r.y * pi / sum, r.z * pi / sum);
  }

private:
  // w = b - p minus its component along b - c (not projected for a degenerate base).
  static D height(const D& p, const D& b, const D& c)
  {
    D w = b - p;
    D base = b - c;
    double bb = base.squaredLength();
    if (bb >= kexcalc::EPS)
      w -= base * (w.dot(base) / bb);
    return w;
  }
};

template <class T>
class KEXTriangleCalculus2 : public KEXTriangleCalculus<KEXVector2<T>, double> {
public:
  KEXTriangleCalculus2& operator=(const KEXTriangleCalculus2&) = default;
};

template <class T>
class KEXTriangleCalculus3 : public KEXTriangleCalculus<KEXVector3<T>, double> {
public:
  KEXTriangleCalculus3& operator=(const KEXTriangleCalculus3&) = default;

  /// Cross product of the two edges meeting at the corner whose angle is closest to 90 degrees
  /// (not normalised: its length is twice the area). Computed in double.
  static void normalVector(KEXVector3<T>& out, const KEXVector3<T>& a, const KEXVector3<T>& b, const KEXVector3<T>& c)
  {
    using D = KEXVector3<double>;
    D pa(a), pb(b), pc(c);
    D ea = pa - pc, eb = pb - pa, ec = pc - pb;
    double la = ea.squaredLength(), lb = eb.squaredLength(), lc = ec.squaredLength();
    double m1 = ea.dot(eb) * ea.dot(eb) * lc;
    double m2 = eb.dot(ec) * eb.dot(ec) * la;
    double m3 = ec.dot(ea) * ec.dot(ea) * lb;
    D e1 = ea, e2 = eb;
    if (m2 < m1) {
      e1 = eb;
      e2 = ec;
    }
    if (m3 < m1) {
      e1 = ec;
      e2 = ea;
    }
    D n = e1.cross(e2);
    out = KEXVector3<T>(T(n.x), T(n.y), T(n.z));
  }
};
