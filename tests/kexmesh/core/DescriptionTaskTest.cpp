// The counted task message: "%1" shows the counter as it is when the text is asked for, from any
// thread, while other threads change it.
#include "kexmesh/core/DescriptionTask.h"
#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(DescriptionTask, MessageShowsTheCounterAsItStands)
{
  kexTest::RecordingScope monitor;
  std::atomic<int> counter{1200};
  {
    KEXDescriptionTask task("Reduced point cloud to %1 points, %2 left", 10.0, 0x10000, counter);
    EXPECT_EQ(task.getMessageText(), "Reduced point cloud to 1200 points, %2 left");
    counter.store(-7);
    EXPECT_EQ(task.getMessageText(), "Reduced point cloud to -7 points, %2 left");
    EXPECT_TRUE(task.getArgument(2) == nullptr && task.getArgument(0) == nullptr);
    // Readers on several threads each get their own text, always one of the values written.
    std::vector<std::thread> threads;
    std::atomic<bool> wrong{false};
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&, t] {
        for (int k = 0; k < 2000; ++k) {
          if (t == 0) {
            counter.fetch_sub(1);
            continue;
          }
          const int value = std::stoi(std::string(task.getArgument(1)));
          wrong = wrong || value > -7 || value < -7 - 2000;
        }
      });
    for (std::thread& t : threads)
      t.join();
    EXPECT_TRUE(!wrong && task.getCount() == -2007);
    counter.store(5);
    EXPECT_TRUE(task.ok());
  }
  ASSERT_FALSE(monitor.endings().empty());
  EXPECT_EQ(monitor.endings().back().message, "Reduced point cloud to 5 points, %2 left");
}

} // namespace
