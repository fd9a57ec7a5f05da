// Welding at a vanishing distance by hashing (see ExactWeld.h).
//
// Each coordinate becomes a key: its bit pattern, 0 for +0 and -0, and 0 as well for a tiny
// coordinate (magnitude below tau), which marks the vertex fuzzy. Vertices without a fuzzy
// coordinate and with equal keys are equal up to the signs of zeros: their distance is 0, they
// form one cluster, and the first of them in index order is its smallest index. They go into an
// open-addressing table (linear probing, key and first index per slot) in ascending order, so each
// vertex finds the first one of its key or becomes it. Vertices of different keys are at least 2d
// apart on some axis and never link. A fuzzy vertex can only link to vertices of its own key: it is
// tested against that key's first exact vertex (all of them lie at the same distance from it) and
// against the other fuzzy vertices of its key, and joined with the smaller-root rule.
//
// The table lives in one block from kexMalloc that doubles at half load. Slots are prefetched a
// batch ahead: the table is far larger than the caches, and the vertices come in an order the
// hash scatters.
#include "kexmesh/repair/internal/ExactWeld.h"

#include "kex/Memory.h"
#include "kex/ValueList.h"
#include "kexmesh/core/internal/UnionFind.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace kexweld {

namespace {

struct Key {
  uint32_t k[3];
  bool operator==(const Key& o) const { return k[0] == o.k[0] && k[1] == o.k[1] && k[2] == o.k[2]; }
  bool operator<(const Key& o) const
  {
    return k[0] != o.k[0] ? k[0] < o.k[0] : k[1] != o.k[1] ? k[1] < o.k[1] : k[2] < o.k[2];
  }
};

struct Slot {
  Key key;
  int32_t index; // -1: empty
};

enum Kind : uint8_t { Plain, Fuzzy, Alone, Other }; // Other: a vertex of another partition

uint32_t coordinateKey(float x, double tau, uint8_t& kind)
{
  if (!std::isfinite(x)) {
    kind = Alone; // inf - inf and NaN fail every distance test
    return 0;
  }
  if (x == 0.0f)
    return 0;
  if (std::fabs(double(x)) < tau) {
    if (kind == Plain)
      kind = Fuzzy;
    return 0;
  }
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}

Key keyOf(const KEXVector3<float>& p, double tau, uint8_t& kind)
{
  kind = Plain;
  Key key;
  for (int a = 0; a < 3; ++a)
    key.k[a] = coordinateKey(p[a], tau, kind);
  return key;
}

uint64_t hashOf(const Key& key)
{
  uint64_t h = uint64_t(key.k[0]) * 0x9E3779B97F4A7C15ull ^ uint64_t(key.k[1]) * 0xC2B2AE3D27D4EB4Full ^
               uint64_t(key.k[2]) * 0x165667B19E3779F9ull;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 32);
}

/// The partition of a hash (from its high half; slots are taken from the low bits).
int partitionOf(uint64_t h, int parts) { return int(((h >> 32) * uint64_t(parts)) >> 32); }

/// The distance rule of the tree search, in the same arithmetic.
bool linked(const KEXVector3<float>& p, const KEXVector3<float>& q, double limit)
{
  const double dx = double(q.x) - double(p.x);
  const double dy = double(q.y) - double(p.y);
  const double dz = double(q.z) - double(p.z);
  return dx * dx + dy * dy + dz * dz <= limit;
}

class Table {
public:
  ~Table() { kexFree(m_slots); }
  bool init(size_t capacity) { return grow(capacity); }
  size_t mask() const { return m_capacity - 1; }
  bool needsRoom(size_t more) const { return 2 * (m_count + more) > m_capacity; }
  bool grow() { return grow(2 * m_capacity); }
  const Slot* slotAt(uint64_t h) const { return m_slots + (h & mask()); }

  /// The first index of key, after inserting v as it when the key is new.
  int32_t findOrInsert(const Key& key, uint64_t h, int32_t v)
  {
    size_t i = h & mask();
    for (;; i = (i + 1) & mask()) {
      Slot& s = m_slots[i];
      if (s.index < 0) {
        s.key = key;
        s.index = v;
        ++m_count;
        return v;
      }
      if (s.key == key)
        return s.index;
    }
  }
  /// The first index of key, -1 when none.
  int32_t find(const Key& key, uint64_t h) const
  {
    for (size_t i = h & mask();; i = (i + 1) & mask()) {
      const Slot& s = m_slots[i];
      if (s.index < 0 || s.key == key)
        return s.index;
    }
  }

private:
  bool grow(size_t capacity)
  {
    Slot* slots = static_cast<Slot*>(kexMalloc(sizeof(Slot) * capacity));
    if (!slots)
      return false;
    for (size_t i = 0; i < capacity; ++i)
      slots[i].index = -1;
    Slot* old = m_slots;
    const size_t oldCapacity = m_capacity;
    m_slots = slots;
    m_capacity = capacity;
    m_count = 0;
    for (size_t i = 0; i < oldCapacity; ++i)
      if (old[i].index >= 0)
        findOrInsert(old[i].key, hashOf(old[i].key), old[i].index);
    kexFree(old);
    return true;
  }

  Slot* m_slots = nullptr;
  size_t m_capacity = 0, m_count = 0;
};

constexpr int BATCH = 16;
constexpr int RECENT = 1 << 14;
constexpr int REPORT_EVERY = 1 << 16;

} // namespace

double tinyBound(float d)
{
  if (!(d >= 0.0f))
    return -1.0;
  if (d == 0.0f)
    return 0.0;
  // 2^e <= d < 2^(e + 1); the float spacing just below 2^(e + 26) is 2^(e + 2) > 2d.
  const double tau = std::ldexp(1.0, std::ilogb(double(d)) + 26);
  return tau <= std::ldexp(1.0, -60) ? tau : -1.0;
}

int countFuzzy(const KEXVector3<float>* pos, int V, const char* closed, double tau)
{
  int n = 0;
  for (int v = 0; v < V; ++v) {
    if (closed && closed[v])
      continue;
    uint8_t kind;
    keyOf(pos[v], tau, kind);
    n += kind == Fuzzy;
  }
  return n;
}

int fuzzyLimit(int V)
{
  // n (n - 1) / 2 pair tests at most 4 V + 2^22.
  return int(std::sqrt(8.0 * double(V) + 8388608.0));
}

Outcome weldPartition(const KEXVector3<float>* pos, int V, const char* closed, float d, double tau, int part,
                      int parts, int* table, Report report, void* context)
{
  const double limit = double(d) * double(d);
  // A soup holds each vertex about six times: room for a third of the share without growing.
  size_t capacity = 1024;
  while (capacity < size_t(V / parts) / 3 + 1)
    capacity *= 2;
  Table hash;
  KEXValueList<int> fuzzy(1024, true);
  if (!hash.init(capacity))
    return Outcome::OutOfMemory;

  // The most recent first index of each key class: copies of a soup's vertex mostly follow each
  // other closely, and this small table answers them from the caches.
  Slot* recent = static_cast<Slot*>(kexMalloc(sizeof(Slot) * RECENT));
  if (!recent)
    return Outcome::OutOfMemory;
  for (int i = 0; i < RECENT; ++i)
    recent[i].index = -1;
  struct Release {
    Slot* p;
    ~Release() { kexFree(p); }
  } release{recent};
  auto recentOf = [recent](uint64_t h) -> Slot& { return recent[(h >> 40) & (RECENT - 1)]; };

  Key keys[BATCH];
  uint64_t hashes[BATCH];
  uint8_t kinds[BATCH];
  int sinceReport = 0;
  for (int begin = 0; begin < V; begin += BATCH) {
    const int n = std::min(BATCH, V - begin);
    if (hash.needsRoom(size_t(n)) && !hash.grow())
      return Outcome::OutOfMemory;
    for (int i = 0; i < n; ++i) {
      keys[i] = keyOf(pos[begin + i], tau, kinds[i]);
      hashes[i] = hashOf(keys[i]);
      if (closed && closed[begin + i])
        kinds[i] = Alone;
      if (partitionOf(hashes[i], parts) != part)
        kinds[i] = Other;
      else if (kinds[i] == Plain && !(recentOf(hashes[i]).key == keys[i]))
        __builtin_prefetch(hash.slotAt(hashes[i]));
    }
    for (int i = 0; i < n; ++i) {
      const int v = begin + i;
      if (kinds[i] == Plain) {
        Slot& r = recentOf(hashes[i]);
        if (r.index < 0 || !(r.key == keys[i])) {
          r.key = keys[i];
          r.index = hash.findOrInsert(keys[i], hashes[i], v);
        }
        table[v] = r.index;
      } else if (kinds[i] != Other) {
        table[v] = v;
        if (kinds[i] == Fuzzy && !fuzzy.append(v))
          return Outcome::OutOfMemory;
      }
    }
    sinceReport += n;
    if (sinceReport >= REPORT_EVERY || begin + n == V) {
      if (!report(context, sinceReport))
        return Outcome::Stopped;
      sinceReport = 0;
    }
  }

  // The fuzzy vertices: against the exact vertices of their key, then among each other by key.
  const int F = fuzzy.getCount();
  if (F == 0)
    return Outcome::Done;
  int* f = fuzzy.getData();
  uint8_t kind;
  for (int i = 0; i < F; ++i) {
    const Key key = keyOf(pos[f[i]], tau, kind);
    const int32_t first = hash.find(key, hashOf(key));
    if (first >= 0 && linked(pos[f[i]], pos[first], limit))
      kexunion::uniteToSmaller(table, first, f[i]);
  }
  std::sort(f, f + F, [&](int a, int b) {
    uint8_t ka, kb;
    const Key x = keyOf(pos[a], tau, ka), y = keyOf(pos[b], tau, kb);
    return x < y || (x == y && a < b);
  });
  for (int i = 0; i < F;) {
    const Key key = keyOf(pos[f[i]], tau, kind);
    int end = i + 1;
    while (end < F && keyOf(pos[f[end]], tau, kind) == key)
      ++end;
    for (int a = i; a < end; ++a)
      for (int b = a + 1; b < end; ++b)
        if (linked(pos[f[a]], pos[f[b]], limit))
          kexunion::uniteToSmaller(table, f[a], f[b]);
    i = end;
  }
  return Outcome::Done;
}

} // namespace kexweld
