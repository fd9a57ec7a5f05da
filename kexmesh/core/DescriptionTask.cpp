// The counter is formatted into a per-thread buffer: the host may ask for the text from any worker
// thread while the count changes, and each caller needs its own copy only until it has used it.
#include "kexmesh/core/DescriptionTask.h"

#include <cstdio>

KEXDescriptionTask::KEXDescriptionTask(const char* message, double weight, unsigned int flags,
                                       const std::atomic<int>& counter)
    : KEXTask(message, weight, flags), m_counter(counter)
{
}

KEXDescriptionTask::~KEXDescriptionTask() = default;

const char* KEXDescriptionTask::getArgument(int index) const
{
  if (index != 1)
    return nullptr;
  thread_local char text[16];
  std::snprintf(text, sizeof text, "%d", getCount());
  return text;
}
