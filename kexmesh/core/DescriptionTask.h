#pragma once
// KEXDescriptionTask: a progress task whose message shows a live count, e.g. "Reduced point cloud to
// %1 points". The count is an integer owned by the operation (often lowered by several worker
// threads at once); the task reads it whenever the host asks for the message text, so the text is
// never stale and no update can be lost.
#include "kex/Task.h"

#include <atomic>

class KEXDescriptionTask : public KEXTask {
public:
  /// Opens the task like KEXTask; message is a template whose "%1" stands for counter's value.
  /// \pre counter outlives the task.
  KEXDescriptionTask(const char* message, double weight, unsigned int flags, const std::atomic<int>& counter);
  ~KEXDescriptionTask() override;

  /// 1: the counter's current value in decimal; anything else: none. The text stays valid until
  /// the next call on the same thread.
  const char* getArgument(int index) const override;
  /// The counter's current value.
  int getCount() const { return m_counter.load(std::memory_order_relaxed); }

private:
  const std::atomic<int>& m_counter;
};
