#pragma once
// KEXSmallArrayPool: the process-wide allocator behind compact index arrays. Short int arrays take
// slots of 5, 11 or 36 ints carved from 32768-byte blocks (one size class per block); longer ones
// take heap blocks rounded to 256 ints. Every slot is preceded by a 16-bit back offset to its
// block's start (0 for a heap block), so freeing needs no search. Not locked: the pool belongs to
// one thread at a time, like the buffers that use it.
#include <cstddef>
#include <cstdint>

class KEXSmallArrayPool {
public:
  static constexpr int BLOCK_BYTES = 32768;
  static constexpr int SLOT_INTS[3] = {5, 11, 36};

  /// The process-wide instance (created on first use).
  static KEXSmallArrayPool& instance();

  /// Storage for n >= 1 ints: a 5-slot for n <= 3, an 11-slot for n <= 7, a 36-slot for n <= 24,
  /// else a heap block of ceil(n/256)*1024 + 2 bytes. Null when memory is short.
  int* allocate(int n);
  /// Storage able to hold n ints, keeping the entries of data (count entries). Returns data when it
  /// can stay, a new pointer when the entries moved (old storage freed), or null (data untouched)
  /// when memory is short.
  int* grow(int* data, int count, int n);
  /// Storage for n >= 1 ints of the size class that growing from empty one int at a time ends in:
  /// a 5-slot for n <= 5, an 11-slot for n <= 11, a 36-slot for n <= 36, else a heap block of
  /// ceil(n/256)*1024 + 8 bytes. For arrays whose final length is known before they are filled.
  /// Null when memory is short.
  int* allocateGrown(int n);
  void free(int* data);

  /// Capacity in ints of the storage at data (0 for null).
  static int capacity(const int* data);
  /// Whether data lives in a pool block (false: heap block).
  static bool isPooled(const int* data);

  /// Number of pool blocks currently held (for tests and statistics).
  int getBlockCount() const { return m_blockCount; }

  KEXSmallArrayPool() = default;
  ~KEXSmallArrayPool();
  KEXSmallArrayPool(const KEXSmallArrayPool&) = delete;
  KEXSmallArrayPool& operator=(const KEXSmallArrayPool&) = delete;

private:
  struct Block;
  int* allocateSlot(int sizeClass);
  static int* allocateHeap(int n);
  static void unlink(Block* b, Block** head);
  static void pushFront(Block* b, Block** head);
  Block* m_lists[3] = {nullptr, nullptr, nullptr}; // blocks with free slots, per class
  Block* m_full[3] = {nullptr, nullptr, nullptr};  // blocks without free slots, per class
  int m_blockCount = 0;
};
