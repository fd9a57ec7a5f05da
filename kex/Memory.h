#pragma once
// Memory of the framework. Every list of the library is allocated through these three functions so
// that a test can make any single allocation fail (see kex/Testing.h).
#include <cstddef>
#include <cstdint>

/// Allocates size bytes (16-byte aligned). Returns null on failure or for size 0; never throws.
void* kexMalloc(size_t size);
/// Resizes a block. Null on failure, in which case the old block stays valid (also for a shrink).
/// kexRealloc(p, 0) frees p and returns null; kexRealloc(nullptr, n) allocates.
void* kexRealloc(void* ptr, size_t size);
/// Frees a block from kexMalloc/kexRealloc; null is ignored.
void kexFree(void* ptr);

/// Free physical memory of the machine in bytes (may be negative on odd systems; callers clamp).
int64_t kexGetFreePhysicalMemory();
