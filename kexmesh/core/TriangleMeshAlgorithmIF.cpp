#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "kex/Error.h"
#include "kex/Memory.h"

KEXMESH_DEFINE_ABSTRACT_CLASS(KEXTriangleMeshAlgorithmIF, KEXClass)

namespace {
KEXTriangleMeshBuffer** allocateCell(KEXTriangleMeshBuffer* value)
{
  auto* cell = static_cast<KEXTriangleMeshBuffer**>(kexMalloc(sizeof(KEXTriangleMeshBuffer*)));
  if (!cell) {
    KEXError::emitError(KEXError::Message(KEX::OutOfMemory));
    return nullptr;
  }
  *cell = value;
  return cell;
}
} // namespace

KEXTriangleMeshAlgorithmIF::KEXTriangleMeshAlgorithmIF() : m_cell(allocateCell(nullptr)) {}

KEXTriangleMeshAlgorithmIF::KEXTriangleMeshAlgorithmIF(const KEXTriangleMeshAlgorithmIF& other)
    : KEXClass(other), m_cell(allocateCell(other.getBuffer()))
{
}

KEXTriangleMeshAlgorithmIF& KEXTriangleMeshAlgorithmIF::operator=(const KEXTriangleMeshAlgorithmIF& other)
{
  if (this != &other) {
    KEXClass::operator=(other);
    if (m_cell && other.m_cell)
      *m_cell = *other.m_cell;
  }
  return *this;
}

KEXTriangleMeshAlgorithmIF::~KEXTriangleMeshAlgorithmIF() { kexFree(m_cell); }

bool KEXTriangleMeshAlgorithmIF::setBuffer(KEXTriangleMeshBuffer* buffer) const
{
  if (!m_cell)
    return false;
  *m_cell = buffer;
  return true;
}

KEXTriangleMeshBuffer* KEXTriangleMeshAlgorithmIF::getBuffer() const { return m_cell ? *m_cell : nullptr; }

bool KEXTriangleMeshAlgorithmIF::execute(void* parameters)
{
  KEXTriangleMeshBuffer* attached = getBuffer();
  if (!attached)
    return false;
  m_buffer.swap(*attached);
  bool result = init(parameters) ? run(parameters) : false;
  cleanup(result);
  // Hand the content to the buffer attached now (also a partial result after a failure).
  if (KEXTriangleMeshBuffer* target = getBuffer())
    m_buffer.swap(*target);
  else
    attached->swap(m_buffer);
  return result;
}

bool KEXTriangleMeshAlgorithmIF::checkExecute(void* parameters, KEXenum* error)
{
  bool result = false;
  if (KEXTriangleMeshBuffer* attached = getBuffer()) {
    m_buffer.swap(*attached);
    result = init(parameters);
    cleanup(result);
    if (KEXTriangleMeshBuffer* target = getBuffer())
      m_buffer.swap(*target);
    else
      attached->swap(m_buffer);
  }
  if (error)
    *error = result ? KEX::NoError : KEX::InvalidOperation;
  return result;
}

bool KEXTriangleMeshAlgorithmIF::init(void*) { return m_buffer.isConsistent(); }
bool KEXTriangleMeshAlgorithmIF::run(void*) { return true; }
void KEXTriangleMeshAlgorithmIF::cleanup(bool) {}
