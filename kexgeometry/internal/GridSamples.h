#pragma once
// Reading one raw grid sample of a known type in either byte order. Shared by the grid's single
// sample reads and the read cache's line conversion so both agree on every bit.
#include <cstdint>
#include <cstring>

namespace kexgridinternal {

inline uint16_t swap16(uint16_t v) { return uint16_t((v >> 8) | (v << 8)); }
inline uint32_t swap32(uint32_t v)
{
  return (v >> 24) | ((v >> 8) & 0x0000ff00u) | ((v << 8) & 0x00ff0000u) | (v << 24);
}

/// Sample i of an array of T at data, swapped when Swap is set (memcpy: attached data need not be
/// aligned).
template <class T, bool Swap>
inline T readSample(const unsigned char* data, uint64_t i)
{
  T v;
  std::memcpy(&v, data + i * sizeof(T), sizeof(T));
  if constexpr (Swap && sizeof(T) == 2) {
    uint16_t u;
    std::memcpy(&u, &v, 2);
    u = swap16(u);
    std::memcpy(&v, &u, 2);
  } else if constexpr (Swap && sizeof(T) == 4) {
    uint32_t u;
    std::memcpy(&u, &v, 4);
    u = swap32(u);
    std::memcpy(&v, &u, 4);
  }
  return v;
}

/// Whether this machine stores big-endian.
inline bool hostIsBigEndian()
{
  const uint16_t one = 1;
  unsigned char b;
  std::memcpy(&b, &one, 1);
  return b == 0;
}

} // namespace kexgridinternal
