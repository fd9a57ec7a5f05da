// Random exact sample values and their byte encodings (see Volumes.h).
#include "support/Volumes.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace kexmeshtest {

double randomSample(std::mt19937& rng, KEXSampleType t, double floatRange, int nanOneIn)
{
  switch (t) {
  case KEXSampleType::UInt8: return std::uniform_int_distribution<int>(0, 255)(rng);
  case KEXSampleType::Int16: return std::uniform_int_distribution<int>(-32768, 32767)(rng);
  case KEXSampleType::UInt16: return std::uniform_int_distribution<int>(0, 65535)(rng);
  case KEXSampleType::Float32:
    if (nanOneIn > 0 && std::uniform_int_distribution<int>(1, nanOneIn)(rng) == 1)
      return std::nan("");
    return double(float(std::uniform_real_distribution<double>(-floatRange, floatRange)(rng)));
  }
  return 0.0;
}

void encodeSample(double v, KEXSampleType t, bool bigEndian, unsigned char* out)
{
  unsigned char native[4];
  const size_t n = kexSampleSize(t);
  switch (t) {
  case KEXSampleType::UInt8: native[0] = uint8_t(v); break;
  case KEXSampleType::Int16: { const int16_t x = int16_t(v); std::memcpy(native, &x, 2); break; }
  case KEXSampleType::UInt16: { const uint16_t x = uint16_t(v); std::memcpy(native, &x, 2); break; }
  case KEXSampleType::Float32: { const float x = float(v); std::memcpy(native, &x, 4); break; }
  }
  const uint16_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  const bool hostBig = first == 0;
  for (size_t b = 0; b < n; ++b)
    out[b] = bigEndian == hostBig ? native[b] : native[n - 1 - b];
}

std::string encodeSamples(const std::vector<double>& values, KEXSampleType t, bool bigEndian)
{
  const size_t n = kexSampleSize(t);
  std::string out(values.size() * n, '\0');
  for (size_t i = 0; i < values.size(); ++i)
    encodeSample(values[i], t, bigEndian, reinterpret_cast<unsigned char*>(out.data()) + i * n);
  return out;
}

} // namespace kexmeshtest
