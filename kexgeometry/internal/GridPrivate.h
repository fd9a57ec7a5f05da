#pragma once
// The state behind KEXGrid, shared by the grid and the read-access and lock scopes of
// KEXGridFilterAction, which count readers and take the grid's lock.
#include "kexgeometry/Grid.h"

#include <atomic>
#include <mutex>

struct KEXGrid::Private {
  KEXSampleType type = KEXSampleType::UInt8;
  int size[3] = {0, 0, 0};
  uint64_t count = 0;
  void* data = nullptr;
  size_t bytes = 0;
  bool owned = false;
  bool bigEndian = false;
  ReleaseFunction release = nullptr;
  void* context = nullptr;
  double* positions[3] = {nullptr, nullptr, nullptr};
  bool uniform[3] = {true, true, true};
  KEXMatrix4<double> transform{1.0};
  uint64_t stamp = 0;
  std::atomic<int> readCount{0};
  std::mutex mutex;
};
