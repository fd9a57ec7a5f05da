// The error channel: the host's handler and test captures.
#include "kex/Error.h"
#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

struct Seen {
  std::vector<KEXenum> codes;
  std::vector<const KEXObject*> objects;
};

void record(const KEXError::Message& m, void* context)
{
  auto* seen = static_cast<Seen*>(context);
  seen->codes.push_back(m.getCode());
  seen->objects.push_back(m.getObject());
}

TEST(ErrorTest, HandlerReceivesEveryReportWithItsContext)
{
  Seen seen;
  void* previousContext = reinterpret_cast<void*>(1);
  KEXError::Handler previous = KEXError::setHandler(&record, &seen, &previousContext);
  EXPECT_EQ(previous, nullptr);
  EXPECT_EQ(previousContext, nullptr);
  const KEXObject* object = reinterpret_cast<const KEXObject*>(&seen); // only compared, never used
  KEXError::emitError(KEXError::Message(KEX::OutOfMemory));
  KEXError::emitError(KEXError::Message(object, KEX::InvalidValue));
  ASSERT_EQ(seen.codes.size(), 2u);
  EXPECT_EQ(seen.codes[0], KEX::OutOfMemory);
  EXPECT_EQ(seen.objects[0], nullptr);
  EXPECT_EQ(seen.codes[1], KEX::InvalidValue);
  EXPECT_EQ(seen.objects[1], object);

  void* ctx = nullptr;
  EXPECT_EQ(KEXError::setHandler(nullptr, nullptr, &ctx), &record);
  EXPECT_EQ(ctx, &seen);
  KEXError::emitError(KEXError::Message(KEX::GenericError)); // default: ignored
  EXPECT_EQ(seen.codes.size(), 2u);
}

TEST(ErrorTest, CapturesRecordWhileAliveAndFromAnyThread)
{
  KEXError::emitError(KEXError::Message(KEX::InvalidIndex)); // before any capture: lost
  kexTest::ErrorCapture outer;
  const KEXObject* object = reinterpret_cast<const KEXObject*>(&outer);
  {
    kexTest::ErrorCapture inner;
    KEXError::emitError(KEXError::Message(object, KEX::InvalidOperation));
    std::thread t([] { KEXError::emitError(KEXError::Message(KEX::OutOfMemory)); });
    t.join();
    EXPECT_EQ(inner.count(), 2u);
    EXPECT_TRUE(inner.has(KEX::InvalidOperation, object));
    EXPECT_TRUE(inner.has(KEX::InvalidOperation));
    EXPECT_FALSE(inner.has(KEX::OutOfMemory, object));
    EXPECT_TRUE(inner.has(KEX::OutOfMemory));
  }
  KEXError::emitError(KEXError::Message(KEX::GenericError));
  EXPECT_EQ(outer.count(), 3u);
  EXPECT_FALSE(outer.has(KEX::InvalidIndex));
  std::vector<kexTest::ErrorCapture::Entry> e = outer.entries();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[2].code, KEX::GenericError);
  outer.clear();
  EXPECT_EQ(outer.count(), 0u);
}

} // namespace
