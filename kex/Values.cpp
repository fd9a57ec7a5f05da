#include "kex/Values.h"
#include "kex/Memory.h"

#include <cstring>
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

void KEXMathKernel::transformPoints(const KEXMatrix4<float>& m, const float* xIn, const float* yIn, const float* zIn,
                                    float* xOut, float* yOut, float* zOut, int n)
{
  for (int i = 0; i < n; ++i) {
    // Read all three before writing: the output may alias the input.
    KEXVector3<float> p = m.transformPoint(KEXVector3<float>(xIn[i], yIn[i], zIn[i]));
    xOut[i] = p.x;
    yOut[i] = p.y;
    zOut[i] = p.z;
  }
}

void KEXMathKernel::unitePoints(KEXInterval<KEXVector3<float>>& box, const float* x, const float* y, const float* z,
                                int n)
{
  for (int i = 0; i < n; ++i)
    box.unite(KEXVector3<float>(x[i], y[i], z[i]));
}
