// Random exact sample values and their byte encodings (see Volumes.h).
#include "support/Volumes.h"

#include <algorithm>
#include <bit>
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

std::string encodeSamples(const std::vector<double>& values, KEXSampleType t, bool bigEndian)
{
  const size_t n = kexSampleSize(t);
  std::string out(values.size() * n, '\0');
  for (size_t i = 0; i < values.size(); ++i) {
    const uint8_t u8 = uint8_t(values[i]);
    const int16_t i16 = int16_t(values[i]);
    const uint16_t u16 = uint16_t(values[i]);
    const float f = float(values[i]);
    const void* native = t == KEXSampleType::UInt8 ? static_cast<const void*>(&u8)
                         : t == KEXSampleType::Int16 ? static_cast<const void*>(&i16)
                         : t == KEXSampleType::UInt16 ? static_cast<const void*>(&u16) : static_cast<const void*>(&f);
    char* to = out.data() + i * n;
    std::memcpy(to, native, n);
    if (bigEndian != (std::endian::native == std::endian::big))
      std::reverse(to, to + n);
  }
  return out;
}

} // namespace kexmeshtest
