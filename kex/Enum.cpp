#include "kex/Enum.h"
#include "kex/Testing.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace {
struct EnumRegistry {
  std::mutex mutex;
  std::map<std::pair<std::string, std::string>, int> live;  // (name, module) -> live registrations
  std::map<std::pair<std::string, std::string>, int> total; // ever registered
};
// Never destroyed: registrations of other libraries may be released after our statics are gone.
EnumRegistry& registry()
{
  static EnumRegistry* r = new EnumRegistry;
  return *r;
}
std::atomic<bool> g_failNextInit{false};
} // namespace

KEXRegisteredEnum::KEXRegisteredEnum(const char* name, unsigned int, const char* module)
    : m_name(name), m_module(module ? module : "")
{
  EnumRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto key = std::make_pair(std::string(m_name ? m_name : ""), std::string(m_module));
  ++r.live[key];
  ++r.total[key];
}

KEXRegisteredEnum::~KEXRegisteredEnum()
{
  EnumRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto key = std::make_pair(std::string(m_name ? m_name : ""), std::string(m_module));
  if (--r.live[key] <= 0)
    r.live.erase(key);
}

KEXEnumSet::KEXEnumSet(const char* name, std::initializer_list<KEXenum> items) : m_name(name)
{
  for (const KEXenum& e : items)
    if (m_count < MaxItems)
      m_items[m_count++] = e;
}

bool KEXEnumSet::contains(const KEXenum& e) const
{
  for (int i = 0; i < m_count; ++i)
    if (m_items[i] == e)
      return true;
  return false;
}

bool __kex_enum_init()
{
  if (g_failNextInit.exchange(false))
    return false;
  return true;
}

namespace kexTest {
int enumRegistrationCount(const char* name, const char* module)
{
  EnumRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.total.find({name, module});
  return it == r.total.end() ? 0 : it->second;
}
bool enumRegistered(const char* name, const char* module)
{
  EnumRegistry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.live.count({name, module}) != 0;
}
void failNextKexEnumInit() { g_failNextInit.store(true); }
} // namespace kexTest
