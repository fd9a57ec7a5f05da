#include "kex/Error.h"
#include "kex/Testing.h"

#include <mutex>
#include <vector>

namespace {
struct ErrorChannel {
  std::mutex mutex;
  KEXError::Handler handler = nullptr;
  void* context = nullptr;
  std::vector<kexTest::ErrorCapture*> captures;
};
ErrorChannel& channel()
{
  static ErrorChannel* c = new ErrorChannel;
  return *c;
}
} // namespace

void KEXError::emitError(const Message& message)
{
  ErrorChannel& c = channel();
  Handler handler;
  void* context;
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    for (kexTest::ErrorCapture* capture : c.captures)
      capture->record(message.getCode(), message.getObject());
    handler = c.handler;
    context = c.context;
  }
  if (handler)
    handler(message, context);
}

KEXError::Handler KEXError::setHandler(Handler handler, void* context, void** previousContext)
{
  ErrorChannel& c = channel();
  std::lock_guard<std::mutex> lock(c.mutex);
  Handler old = c.handler;
  if (previousContext)
    *previousContext = c.context;
  c.handler = handler;
  c.context = context;
  return old;
}

namespace kexTest {
ErrorCapture::ErrorCapture()
{
  ErrorChannel& c = channel();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.captures.push_back(this);
}
ErrorCapture::~ErrorCapture()
{
  ErrorChannel& c = channel();
  std::lock_guard<std::mutex> lock(c.mutex);
  std::erase(c.captures, this);
}
void ErrorCapture::record(KEXenum code, const KEXObject* object)
{
  std::lock_guard<std::mutex> lock(m_mutex);
  m_entries.push_back({code, object});
}
std::vector<ErrorCapture::Entry> ErrorCapture::entries() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_entries;
}
bool ErrorCapture::has(KEXenum code, const KEXObject* object) const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const Entry& e : m_entries)
    if (e.code == code && (!object || e.object == object))
      return true;
  return false;
}
size_t ErrorCapture::count() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_entries.size();
}
void ErrorCapture::clear()
{
  std::lock_guard<std::mutex> lock(m_mutex);
  m_entries.clear();
}
} // namespace kexTest
