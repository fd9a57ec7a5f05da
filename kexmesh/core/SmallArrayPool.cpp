// The small-array pool keeps the many short int arrays of the vertex adjacency list and the vertex
// tree out of the general heap. A vertex of a closed mesh has about six corners, so most arrays are
// short: they take fixed slots of 5, 11 or 36 ints carved from 32 KiB blocks, one size class per
// block. Each slot is preceded by a 16-bit back offset from the data to the start of its block, so a
// free finds its block without a search; 0 marks a heap block of its own (arrays longer than 24).
//
// Layout of a pool block: the Block header, then slots of (2 spare + 2 header + 4 * ints) bytes so
// that every array starts 4-byte aligned. Free slots are chained through their 16-bit headers (the
// header of a free slot holds the data offset of the next free slot, 0 ends the chain); slots never
// used yet are carved lazily from the block's tail. A block whose last used slot is freed goes back
// to the heap at once, so a long-running process does not keep the peak of a large mesh.
//
// Heap blocks hold a multiple of 256 ints behind an 8-byte head: the capacity in ints (int32), two
// spare bytes and the 16-bit header 0.
#include "kexmesh/core/SmallArrayPool.h"

#include "kex/Memory.h"

#include <cstring>

struct KEXSmallArrayPool::Block {
  Block* next;
  Block* prev;
  uint16_t freeHead; // data offset of the first free slot, 0 when none
  uint16_t carved;   // data offset of the next never-used slot, 0 when the block is carved out
  uint16_t used;     // slots handed out
  uint16_t sizeClass;
  bool onFreeList; // whether the block sits on its class's list of blocks with free slots
};

namespace {

constexpr int HEAD_BYTES = 4; // 2 spare bytes and the 16-bit back offset before each slot's data
constexpr int HEAP_HEAD_BYTES = 8;
constexpr int BLOCK_HEAD_BYTES = 32; // sizeof(Block), rounded to 16
constexpr int FIRST_DATA = BLOCK_HEAD_BYTES + HEAD_BYTES;

// Set when the process-wide pool released its blocks at unload; later frees of pooled slots are void.
bool g_poolDestroyed = false;

inline uint16_t& headerOf(const int* data)
{
  return *reinterpret_cast<uint16_t*>(reinterpret_cast<char*>(const_cast<int*>(data)) - 2);
}

inline int slotBytes(int sizeClass) { return HEAD_BYTES + 4 * KEXSmallArrayPool::SLOT_INTS[sizeClass]; }

inline int heapBytes(int n) { return ((n + 255) / 256) * 1024 + HEAP_HEAD_BYTES; }

inline int heapCapacity(int n) { return ((n + 255) / 256) * 256; }

} // namespace

KEXSmallArrayPool& KEXSmallArrayPool::instance()
{
  static KEXSmallArrayPool pool;
  return pool;
}

KEXSmallArrayPool::~KEXSmallArrayPool()
{
  // At unload: give every block back. Arrays still alive now are leaks of their owners; their later
  // frees are ignored.
  for (int c = 0; c < 3; ++c) {
    Block* b = m_lists[c];
    while (b) {
      Block* n = b->next;
      kexFree(b);
      b = n;
    }
    m_lists[c] = nullptr;
  }
  for (int c = 0; c < 3; ++c) {
    Block* b = m_full[c];
    while (b) {
      Block* n = b->next;
      kexFree(b);
      b = n;
    }
    m_full[c] = nullptr;
  }
  m_blockCount = 0;
  g_poolDestroyed = true;
}

int KEXSmallArrayPool::capacity(const int* data)
{
  if (!data)
    return 0;
  uint16_t back = headerOf(data);
  if (back == 0) {
    int cap;
    std::memcpy(&cap, reinterpret_cast<const char*>(data) - HEAP_HEAD_BYTES, sizeof(int));
    return cap;
  }
  const Block* b = reinterpret_cast<const Block*>(reinterpret_cast<const char*>(data) - back);
  return SLOT_INTS[b->sizeClass];
}

bool KEXSmallArrayPool::isPooled(const int* data) { return data && headerOf(data) != 0; }

void KEXSmallArrayPool::unlink(Block* b, Block** head)
{
  if (b->prev)
    b->prev->next = b->next;
  else
    *head = b->next;
  if (b->next)
    b->next->prev = b->prev;
  b->next = b->prev = nullptr;
}

void KEXSmallArrayPool::pushFront(Block* b, Block** head)
{
  b->prev = nullptr;
  b->next = *head;
  if (*head)
    (*head)->prev = b;
  *head = b;
}

int* KEXSmallArrayPool::allocateSlot(int sizeClass)
{
  static_assert(sizeof(Block) <= BLOCK_HEAD_BYTES, "block head overlaps the first slot");
  Block* b = m_lists[sizeClass];
  if (!b) {
    b = static_cast<Block*>(kexMalloc(BLOCK_BYTES));
    if (!b)
      return nullptr;
    b->next = b->prev = nullptr;
    b->freeHead = 0;
    b->carved = uint16_t(FIRST_DATA);
    b->used = 0;
    b->sizeClass = uint16_t(sizeClass);
    b->onFreeList = true;
    pushFront(b, &m_lists[sizeClass]);
    ++m_blockCount;
  }
  char* base = reinterpret_cast<char*>(b);
  int offset;
  if (b->freeHead) {
    offset = b->freeHead;
    b->freeHead = headerOf(reinterpret_cast<int*>(base + offset));
  } else {
    offset = b->carved;
    int next = offset + slotBytes(sizeClass);
    // The next slot fits when its data end stays inside the block.
    b->carved = (next + 4 * SLOT_INTS[sizeClass] <= BLOCK_BYTES) ? uint16_t(next) : uint16_t(0);
  }
  ++b->used;
  if (!b->freeHead && !b->carved) { // full: move to the full list
    unlink(b, &m_lists[sizeClass]);
    pushFront(b, &m_full[sizeClass]);
    b->onFreeList = false;
  }
  int* data = reinterpret_cast<int*>(base + offset);
  headerOf(data) = uint16_t(offset);
  return data;
}

int* KEXSmallArrayPool::allocateHeap(int n)
{
  if (n > (1 << 29))
    return nullptr;
  char* p = static_cast<char*>(kexMalloc(size_t(heapBytes(n))));
  if (!p)
    return nullptr;
  int cap = heapCapacity(n);
  std::memcpy(p, &cap, sizeof(int));
  int* data = reinterpret_cast<int*>(p + HEAP_HEAD_BYTES);
  headerOf(data) = 0;
  return data;
}

int* KEXSmallArrayPool::allocate(int n)
{
  if (n <= 0)
    return nullptr;
  if (n <= 3)
    return allocateSlot(0);
  if (n <= 7)
    return allocateSlot(1);
  if (n <= 24)
    return allocateSlot(2);
  return allocateHeap(n);
}

int* KEXSmallArrayPool::allocateGrown(int n)
{
  // The classes grow() moves to: a first entry takes a 5-slot, which is kept up to 5 entries; then
  // 11- and 36-slots; beyond that a heap block rounded like every heap growth.
  if (n <= 0)
    return nullptr;
  if (n <= SLOT_INTS[0])
    return allocateSlot(0);
  if (n <= SLOT_INTS[1])
    return allocateSlot(1);
  if (n <= SLOT_INTS[2])
    return allocateSlot(2);
  return allocateHeap(n);
}

int* KEXSmallArrayPool::grow(int* data, int count, int n)
{
  if (!data)
    return allocate(n);
  if (n < 6)
    return data;
  int cap = capacity(data);
  if (headerOf(data) != 0) {
    if (cap >= n)
      return data;
    int* moved = n <= 11 ? allocateSlot(1) : n <= 36 ? allocateSlot(2) : allocateHeap(n);
    if (!moved)
      return nullptr;
    if (count > 0)
      std::memcpy(moved, data, sizeof(int) * size_t(count));
    free(data);
    return moved;
  }
  // Heap block: reallocate only when the rounded size changes (a shrunk block may still be larger).
  if (heapCapacity(n) <= cap)
    return data;
  if (n > (1 << 29))
    return nullptr;
  char* p = static_cast<char*>(kexRealloc(reinterpret_cast<char*>(data) - HEAP_HEAD_BYTES, size_t(heapBytes(n))));
  if (!p)
    return nullptr;
  int newCap = heapCapacity(n);
  std::memcpy(p, &newCap, sizeof(int));
  return reinterpret_cast<int*>(p + HEAP_HEAD_BYTES);
}

void KEXSmallArrayPool::free(int* data)
{
  if (!data)
    return;
  uint16_t back = headerOf(data);
  if (back == 0) {
    kexFree(reinterpret_cast<char*>(data) - HEAP_HEAD_BYTES);
    return;
  }
  if (g_poolDestroyed) // the blocks went back at unload already
    return;
  Block* b = reinterpret_cast<Block*>(reinterpret_cast<char*>(data) - back);
  int c = b->sizeClass;
  if (--b->used == 0) {
    unlink(b, b->onFreeList ? &m_lists[c] : &m_full[c]);
    kexFree(b);
    --m_blockCount;
    return;
  }
  headerOf(data) = b->freeHead;
  b->freeHead = back;
  if (!b->onFreeList) {
    unlink(b, &m_full[c]);
    pushFront(b, &m_lists[c]);
    b->onFreeList = true;
  }
}
