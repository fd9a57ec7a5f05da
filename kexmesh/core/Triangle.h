#pragma once
// KEXTriangle<T>: three vertex indices, corners 0, 1, 2. Corner k of triangle t has the corner
// index c = 3t + k; the edge of corner c runs from the vertex of corner (k+2)%3 to that of corner k.
#include <cstdint>

template <class T>
class KEXTriangle {
public:
  /// Components left undefined.
  KEXTriangle() = default;
  constexpr KEXTriangle(T a, T b, T c) : m_v{a, b, c} {}
  explicit KEXTriangle(const T* p) : m_v{p[0], p[1], p[2]} {}
  KEXTriangle(const KEXTriangle&) = default;
  KEXTriangle& operator=(const KEXTriangle&) = default;

  /// All three components equal, in order (a rotated triangle is not equal).
  bool operator==(const KEXTriangle& o) const { return m_v[0] == o.m_v[0] && m_v[1] == o.m_v[1] && m_v[2] == o.m_v[2]; }
  bool operator!=(const KEXTriangle& o) const { return !(*this == o); }
  /// No range check.
  T& operator[](int i) { return m_v[i]; }
  const T& operator[](int i) const { return m_v[i]; }
  T* getComponentPtr() { return m_v; }
  const T* getComponentPtr() const { return m_v; }

private:
  T m_v[3];
};

extern template class KEXTriangle<int>;
extern template class KEXTriangle<unsigned int>;
extern template class KEXTriangle<int64_t>;
extern template class KEXTriangle<uint64_t>;
