// The mesh action and the copy rules between a mesh object and a buffer.
//
// An action runs one algorithm class. In buffer mode (a Parameters record) the caller's buffer is
// changed in place; in object mode the source object's lists are copied into a local buffer, the
// algorithm runs on it, and only a successful result is written to the destination object, so a
// failed run leaves the destination untouched.
//
// The copies go through a small fixed transfer buffer (1040 bytes) in chunks, converting between
// the property's interface element and the buffer's element (colours are bytes in the object and
// floats in the buffer; edge flags are read as int and kept as char), so that a list property of
// any storage can be read without knowing it.
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kex/Error.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/objects/Vocabulary.h"

#include <algorithm>

KEXMESH_DEFINE_CLASS(KEXTriangleMeshAction, KEXAction)
KEXMESH_DEFINE_NESTED_CLASS(KEXTriangleMeshAction::Parameters, KEXParameterClass, "KEXTriangleMeshAction::Parameters",
                            KEXTriangleMeshAction_Parameters__ClassFactory)

namespace {
constexpr unsigned int ACTION_FLAGS = 0x4100040;
constexpr unsigned int COPY_DROPPED_FLAGS = 0x400080;
constexpr unsigned int ATTRIBUTE_FLAG = 16;

template <class E>
const KEXValueArrayPropertyIF<E>* readList(const KEXObject& object, KEXenum name)
{
  return dynamic_cast<const KEXValueArrayPropertyIF<E>*>(object.getProperty(name));
}

template <class E>
KEXValueArrayPropertyIF<E>& writeList(KEXObject& object, KEXenum name)
{
  auto* p = dynamic_cast<KEXValueArrayPropertyIF<E>*>(object.getProperty(name));
  return p ? *p : KEXValueArrayPropertyIF<E>::null();
}

// Property -> buffer list, E being the property's element and B the buffer's.
template <class E, class B>
bool copyToBuffer(const KEXValueArrayPropertyIF<E>& property, KEXValueList<B>& list)
{
  int first = 0, last = -1;
  if (!property.getIndexRange(first, last) || first != 0 || last < -1)
    return false;
  const int count = last + 1;
  if (!list.setCount(count))
    return false;
  constexpr int chunk = KEXTriangleMeshAction::TRANSFER_BYTES / int(sizeof(E));
  E transfer[chunk];
  B* out = list.getData();
  for (int i = 0; i < count; i += chunk) {
    const int n = std::min(chunk, count - i);
    if (!property.getItems(i, i + n - 1, transfer))
      return false;
    for (int k = 0; k < n; ++k)
      out[i + k] = B(transfer[k]);
  }
  return true;
}

// Buffer list -> property.
template <class E, class B>
bool copyToProperty(const KEXValueList<B>& list, KEXValueArrayPropertyIF<E>& property)
{
  const int count = list.getCount();
  if (!property.setIndexRange(0, count - 1))
    return false;
  constexpr int chunk = KEXTriangleMeshAction::TRANSFER_BYTES / int(sizeof(E));
  E transfer[chunk];
  const B* in = list.getData();
  for (int i = 0; i < count; i += chunk) {
    const int n = std::min(chunk, count - i);
    for (int k = 0; k < n; ++k)
      transfer[k] = E(in[i + k]);
    if (!property.setItems(i, i + n - 1, transfer))
      return false;
  }
  return true;
}

// One list of the transfer: required lists copy a missing property as empty; optional ones skip it.
template <class E, class B>
bool readOne(const KEXObject& object, KEXenum name, KEXValueList<B>& list, bool required)
{
  const KEXValueArrayPropertyIF<E>* p = readList<E>(object, name);
  if (!p) {
    if (!required)
      return true;
    p = &KEXValueArrayPropertyIF<E>::null();
  }
  return copyToBuffer(*p, list);
}

template <class E, class B>
bool writeOne(KEXObject& object, KEXenum name, const KEXValueList<B>& list, bool required)
{
  if (copyToProperty(list, writeList<E>(object, name)))
    return true;
  return !required && list.getCount() == 0;
}

bool linkTarget(const KEXObject* owner, KEXenum name, KEXObjectLink& link)
{
  return owner && owner->getValue(name, link);
}
} // namespace

// --- Parameters ------------------------------------------------------------------------------------

KEXTriangleMeshAction::Parameters::Parameters(KEXTriangleMeshBuffer* buffer, void* data)
    : m_record(static_cast<Record*>(kexMalloc(sizeof(Record))))
{
  if (m_record)
    *m_record = Record{buffer, data};
}

KEXTriangleMeshAction::Parameters::Parameters(const Parameters& other)
    : KEXParameterClass(other), m_record(static_cast<Record*>(kexMalloc(sizeof(Record))))
{
  if (m_record)
    *m_record = Record{other.getBuffer(), other.getData()};
}

KEXTriangleMeshAction::Parameters& KEXTriangleMeshAction::Parameters::operator=(const Parameters& other)
{
  if (this != &other) {
    KEXParameterClass::operator=(other);
    if (m_record)
      *m_record = Record{other.getBuffer(), other.getData()};
  }
  return *this;
}

KEXTriangleMeshAction::Parameters::~Parameters() { kexFree(m_record); }

bool KEXTriangleMeshAction::Parameters::setBuffer(KEXTriangleMeshBuffer* buffer)
{
  if (!m_record)
    return false;
  m_record->buffer = buffer;
  return true;
}
KEXTriangleMeshBuffer* KEXTriangleMeshAction::Parameters::getBuffer() const { return m_record ? m_record->buffer : nullptr; }
bool KEXTriangleMeshAction::Parameters::setData(void* data)
{
  if (!m_record)
    return false;
  m_record->data = data;
  return true;
}
void* KEXTriangleMeshAction::Parameters::getData() const { return m_record ? m_record->data : nullptr; }

// --- action --------------------------------------------------------------------------------------

struct KEXTriangleMeshAction::Private : KEXClassMember {
  const KEXMetaClass* algorithmClass = nullptr;
  KEXTriangleMeshAlgorithmIF* algorithm = nullptr;
};

KEXTriangleMeshAction::KEXTriangleMeshAction(const KEXMetaClass* algorithmClass, unsigned int setFlags,
                                             unsigned int clearFlags)
    : KEXAction((setFlags | ACTION_FLAGS) & ~clearFlags), m_private(new Private)
{
  if (m_private)
    m_private->algorithmClass = algorithmClass;
  else
    KEXError::emitError(KEXError::Message(KEX::OutOfMemory));
}

KEXTriangleMeshAction::KEXTriangleMeshAction(const KEXTriangleMeshAction& other)
    : KEXAction(other.getFlags() & ~COPY_DROPPED_FLAGS), m_private(new Private)
{
  setProtectedFlags(other.getProtectedFlags(), 0);
  if (m_private)
    m_private->algorithmClass = other.getAlgorithmClass();
  else
    KEXError::emitError(KEXError::Message(KEX::OutOfMemory));
}

KEXTriangleMeshAction& KEXTriangleMeshAction::operator=(const KEXTriangleMeshAction& other)
{
  if (this == &other)
    return *this;
  KEXAction::operator=(other);
  if (!m_private || !other.m_private || !other.m_private->algorithm)
    return *this;
  const KEXMetaClass& cls = other.m_private->algorithm->getMetaClass();
  auto* copy = static_cast<KEXTriangleMeshAlgorithmIF*>(cls.clone(other.m_private->algorithm));
  if (!copy) {
    KEXError::emitError(KEXError::Message(KEX::OutOfMemory));
    return *this;
  }
  reset();
  m_private->algorithm = copy;
  m_private->algorithmClass = other.m_private->algorithmClass;
  return *this;
}

KEXTriangleMeshAction::~KEXTriangleMeshAction()
{
  reset();
  delete m_private;
}

KEXAction* KEXTriangleMeshAction::clone(KEXenum) const { return static_cast<KEXAction*>(getMetaClass().clone(this)); }

const KEXMetaClass* KEXTriangleMeshAction::getAlgorithmClass() const
{
  return m_private ? m_private->algorithmClass : nullptr;
}

KEXTriangleMeshAlgorithmIF* KEXTriangleMeshAction::getAlgorithm() const { return m_private ? m_private->algorithm : nullptr; }

bool KEXTriangleMeshAction::reset()
{
  if (!m_private)
    return true;
  if (m_private->algorithm) {
    const KEXMetaClass& cls = m_private->algorithm->getMetaClass();
    if (cls.destruct(m_private->algorithm, true))
      m_private->algorithm = nullptr;
  }
  return m_private->algorithm == nullptr;
}

KEXTriangleMeshAlgorithmIF* KEXTriangleMeshAction::ensureAlgorithm()
{
  if (!m_private)
    return nullptr;
  if (!m_private->algorithm && m_private->algorithmClass) {
    KEXClass* made = m_private->algorithmClass->create();
    if (made && !made->getMetaClass().isOfType(KEXTriangleMeshAlgorithmIF::metaClass())) {
      made->getMetaClass().destruct(made, true);
      KEXError::emitError(KEXError::Message(KEX::InvalidOperation));
      made = nullptr;
    } else if (made && !static_cast<KEXTriangleMeshAlgorithmIF*>(made)->isUsable()) {
      // Kept, it would fail every later run; dropped, the next run creates a sound one.
      made->getMetaClass().destruct(made, true);
      KEXError::emitError(KEXError::Message(KEX::OutOfMemory));
      made = nullptr;
    }
    m_private->algorithm = static_cast<KEXTriangleMeshAlgorithmIF*>(made);
  }
  return m_private->algorithm;
}

bool KEXTriangleMeshAction::action(void* parameters)
{
  KEXTriangleMeshAlgorithmIF* algorithm = ensureAlgorithm();
  if (!algorithm || !prepare(algorithm, parameters) || !init(algorithm, parameters))
    return false;
  bool result = run(algorithm, parameters);
  cleanup(algorithm, result);
  return result;
}

KEXenum KEXTriangleMeshAction::checkAction(void* parameters)
{
  KEXTriangleMeshAlgorithmIF* algorithm = ensureAlgorithm();
  if (!algorithm)
    return KEX::InvalidOperation;
  if (!prepare(algorithm, parameters))
    return KEX::InvalidValue;
  return check(algorithm, parameters);
}

bool KEXTriangleMeshAction::prepare(KEXTriangleMeshAlgorithmIF* algorithm, void*) { return algorithm != nullptr; }
bool KEXTriangleMeshAction::init(KEXTriangleMeshAlgorithmIF* algorithm, void*) { return algorithm != nullptr; }
void KEXTriangleMeshAction::cleanup(KEXTriangleMeshAlgorithmIF*, bool) {}

KEXTriangleMeshAction::Parameters* KEXTriangleMeshAction::Parameters::fromPointer(void* parameters)
{
  if (!KEXStructHeader::checkStruct(parameters))
    return nullptr;
  auto* base = static_cast<KEXParameterClass*>(parameters);
  if (!base->getMetaClass().isOfType(KEXTriangleMeshAction::Parameters::metaClass()))
    return nullptr;
  return static_cast<KEXTriangleMeshAction::Parameters*>(base);
}

namespace {
KEXTriangleMeshAction::Parameters* asParameters(void* parameters)
{
  return KEXTriangleMeshAction::Parameters::fromPointer(parameters);
}
} // namespace

bool KEXTriangleMeshAction::run(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters)
{
  if (!algorithm)
    return false;
  KEXTriangleMeshBuffer local;
  KEXTriangleMeshBuffer* buffer = nullptr;
  void* data = parameters;
  const bool objectMode = asParameters(parameters) == nullptr;
  if (!objectMode) {
    Parameters* record = asParameters(parameters);
    buffer = record->getBuffer();
    data = record->getData();
    if (!buffer)
      return false;
  } else {
    KEXObjectLink source;
    if (!linkTarget(getOwner(), KEX::FirstSource, source) || !bufferFromObject(&local, source.get()))
      return false;
    buffer = &local;
  }
  algorithm->setBuffer(buffer);
  bool result = algorithm->execute(data);
  algorithm->setBuffer(nullptr);
  if (objectMode && result) {
    KEXObjectLink destination;
    if (!linkTarget(getOwner(), KEX::FirstDestination, destination) || !objectFromBuffer(destination.get(), &local))
      return false;
  }
  return result;
}

KEXenum KEXTriangleMeshAction::check(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters)
{
  if (!algorithm)
    return KEX::InvalidOperation;
  KEXTriangleMeshBuffer local;
  KEXTriangleMeshBuffer* buffer = nullptr;
  if (Parameters* record = asParameters(parameters)) {
    buffer = record->getBuffer();
    if (!buffer)
      return KEX::InvalidValue;
  } else {
    const KEXObject* owner = getOwner();
    KEXObjectLink fs, ss, fd, sd;
    if (!linkTarget(owner, KEX::FirstSource, fs) || !linkTarget(owner, KEX::FirstDestination, fd) || fs.isNull() ||
        fd.isNull())
      return KEX::InvalidValue;
    if ((linkTarget(owner, KEX::SecondSource, ss) && !ss.isNull()) ||
        (linkTarget(owner, KEX::SecondDestination, sd) && !sd.isNull()))
      return KEX::InvalidValue;
    if (!bufferFromObject(&local, fs.get()))
      return KEX::InvalidValue;
    buffer = &local;
  }
  if (!algorithm->setBuffer(buffer))
    return KEX::InvalidValue;
  KEXenum code = KEX::InvalidOperation;
  algorithm->checkExecute(parameters, &code);
  algorithm->setBuffer(nullptr);
  return code;
}

// --- copies ----------------------------------------------------------------------------------------

bool KEXTriangleMeshAction::bufferFromObject(KEXTriangleMeshBuffer* buffer, const KEXObject* object)
{
  if (!buffer || !object)
    return false;
  buffer->clear();
  KEXTriangleMeshBuffer& b = *buffer;
  const KEXObject& o = *object;
  bool ok = readOne<KEXVector3<float>>(o, KEX::VertexList, b.vertexList, true) &&
            readOne<KEXVector3<float>>(o, KEX::VertexNormalList, b.vertexNormalList, false) &&
            readOne<KEXRGBA<float>>(o, KEX::VertexColorList, b.vertexColorList, false) &&
            readOne<int>(o, KEX::VertexEdgeFlagList, b.vertexEdgeFlagList, false) &&
            readOne<KEXVector2<float>>(o, KEX::TextureCoordinateList, b.textureCoordinateList, false) &&
            readOne<KEXTriangle<int>>(o, KEX::TriangleList, b.triangleList, true) &&
            readOne<KEXVector3<float>>(o, KEX::TriangleNormalList, b.triangleNormalList, false) &&
            readOne<KEXRGBA<float>>(o, KEX::TriangleColorList, b.triangleColorList, false);
  if (!ok)
    buffer->clear();
  return ok;
}

bool KEXTriangleMeshAction::objectFromBuffer(KEXObject* object, const KEXTriangleMeshBuffer* buffer)
{
  if (!object || !buffer)
    return false;
  const KEXTriangleMeshBuffer& b = *buffer;
  KEXObject& o = *object;
  o.lock(KEX::PropertyMessage);
  bool ok = writeOne<KEXVector3<float>>(o, KEX::VertexList, b.vertexList, true) &&
            writeOne<KEXVector3<float>>(o, KEX::VertexNormalList, b.vertexNormalList, false) &&
            writeOne<KEXRGBA<float>>(o, KEX::VertexColorList, b.vertexColorList, false) &&
            writeOne<int>(o, KEX::VertexEdgeFlagList, b.vertexEdgeFlagList, false) &&
            writeOne<KEXVector2<float>>(o, KEX::TextureCoordinateList, b.textureCoordinateList, false) &&
            writeOne<KEXTriangle<int>>(o, KEX::TriangleList, b.triangleList, true) &&
            writeOne<KEXVector3<float>>(o, KEX::TriangleNormalList, b.triangleNormalList, false) &&
            writeOne<KEXRGBA<float>>(o, KEX::TriangleColorList, b.triangleColorList, false);
  o.unlock(KEX::PropertyMessage);
  return ok;
}

// --- attribute -----------------------------------------------------------------------------------

KEXTriangleMeshActionAttr::KEXTriangleMeshActionAttr(const KEXMetaClass* algorithmClass, unsigned int setFlags,
                                                     unsigned int clearFlags)
    : KEXTriangleMeshAction(algorithmClass, setFlags | ATTRIBUTE_FLAG, clearFlags & ~ATTRIBUTE_FLAG)
{
}
