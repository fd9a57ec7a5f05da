// Registration of the library's vocabulary with the framework.
//
// The registrations are static objects of the library, so they are released in reverse order when
// the library is unloaded. Each one is constructed in place the first time the initialisation gets
// that far, which makes a repeated call (after a failed dependency) register nothing twice.
#include "kexmesh/objects/Vocabulary.h"
#include "kexgeometry/GeometryLibrary.h"

#include <atomic>
#include <mutex>
#include <new>

namespace {
const char* const g_names[KEXMesh::VOCABULARY_SIZE] = {
#define KEXMESH_VOCABULARY_STRING(name) #name,
    KEXMESH_VOCABULARY(KEXMESH_VOCABULARY_STRING)
#undef KEXMESH_VOCABULARY_STRING
};

// Storage of the 110 registrations; constructed on demand, destroyed at unload.
class Registrations {
public:
  constexpr Registrations() = default;
  ~Registrations()
  {
    for (int i = m_count - 1; i >= 0; --i)
      item(i)->~KEXRegisteredEnum();
    m_count = 0;
  }
  void registerAll()
  {
    for (int i = m_count; i < KEXMesh::VOCABULARY_SIZE; ++i) {
      new (m_storage[i]) KEXRegisteredEnum(g_names[i], 0, "kexmesh");
      m_count = i + 1;
    }
  }

private:
  KEXRegisteredEnum* item(int i) { return std::launder(reinterpret_cast<KEXRegisteredEnum*>(m_storage[i])); }
  alignas(KEXRegisteredEnum) unsigned char m_storage[KEXMesh::VOCABULARY_SIZE][sizeof(KEXRegisteredEnum)] = {};
  int m_count = 0;
};

constinit Registrations g_registrations;
std::mutex g_mutex;
bool g_done = false;
} // namespace

const char* KEXMesh::vocabularyName(int i) { return i >= 0 && i < VOCABULARY_SIZE ? g_names[i] : nullptr; }

bool KEXMesh::testing::enumInitDone()
{
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_done;
}

void KEXMesh::testing::forgetEnumInitDone()
{
  std::lock_guard<std::mutex> lock(g_mutex);
  g_done = false;
}

bool __kexmesh_enum_init()
{
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_done)
    return true;
  bool dependencies = __kex_enum_init();
  dependencies = __kexgeometry_enum_init() && dependencies;
  g_registrations.registerAll();
  g_done = dependencies;
  return true;
}

namespace {
// The library registers its vocabulary when it is loaded.
[[maybe_unused]] const bool g_initialisedAtLoad = __kexmesh_enum_init();
} // namespace
