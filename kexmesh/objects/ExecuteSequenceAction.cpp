// The sequence routine. Every action of a sequence receives the same parameter record: the first
// action that runs finds no buffer in it and fills the shared buffer from the source object; all
// later actions work on that buffer; after the last one the buffer is written to the destination.
// So a sequence of n algorithms converts the mesh twice, not 2n times, and a failure anywhere
// leaves the destination object as it was. The observer hooks sit inside each step's sub-task,
// right around the action, so what an observer measures is the step and not the conversion; without
// an observer the routine pays one null test per step. The adjacency lists a step builds stay for the
// later steps and go after the last one.
#include "kexmesh/objects/ExecuteSequenceAction.h"
#include "kex/Error.h"
#include "kex/Properties.h"
#include "kex/Task.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/core/internal/TaskEnd.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"

namespace {
constexpr unsigned int SEQUENCE_ACTION_FLAGS = 0x4100050;
constexpr unsigned int SEQUENCE_TASK_FLAGS = 0x1030000;
constexpr double SETUP_WEIGHT = 0.01;

/// Lets the steps leave the adjacency lists they build to the steps after them (a repair sequence
/// would otherwise build the vertex adjacency of the same mesh at nearly every step), and takes
/// away at the end, however the sequence ends, what the buffer did not have when it came to the
/// sequence. Inside another sequence on the same buffer the outer one does that.
class AdjacencyKeeper {
public:
  AdjacencyKeeper() = default;
  AdjacencyKeeper(const AdjacencyKeeper&) = delete;
  AdjacencyKeeper& operator=(const AdjacencyKeeper&) = delete;
  ~AdjacencyKeeper() { release(); }

  void attach(KEXTriangleMeshBuffer& b)
  {
    if (m_buffer)
      return;
    m_buffer = &b;
    m_hadVertex = b.hasVertexAdjacencyList();
    m_hadTriangle = b.hasTriangleAdjacencyList();
    m_outer = b.isAdjacencyKept();
    b.setAdjacencyKept(true);
  }
  void release()
  {
    if (!m_buffer)
      return;
    if (!m_outer) {
      if (!m_hadVertex)
        m_buffer->removeVertexAdjacencyList();
      if (!m_hadTriangle)
        m_buffer->removeTriangleAdjacencyList();
    }
    m_buffer->setAdjacencyKept(m_outer);
    m_buffer = nullptr;
  }

private:
  KEXTriangleMeshBuffer* m_buffer = nullptr;
  bool m_hadVertex = false, m_hadTriangle = false, m_outer = false;
};
} // namespace

KEXExecuteSequenceAction::KEXExecuteSequenceAction() : KEXActionAttr(SEQUENCE_ACTION_FLAGS) {}

KEXExecuteSequenceAction::KEXExecuteSequenceAction(const KEXExecuteSequenceAction& other) : KEXActionAttr(other) {}

KEXExecuteSequenceAction& KEXExecuteSequenceAction::operator=(const KEXExecuteSequenceAction& other)
{
  KEXActionAttr::operator=(other);
  return *this;
}

bool KEXExecuteSequenceAction::executeSequence(KEXObject* owner, const KEXenum* names, int count, void* parameters,
                                               Observer* observer)
{
  const int n = names && count > 0 ? count : 0;
  KEXTask task("Executing operation sequence", n + SETUP_WEIGHT, SEQUENCE_TASK_FLAGS, 0);
  task.incProgress(SETUP_WEIGHT, true);
  if (!owner) {
    KEXError::emitError(KEXError::Message(KEX::InvalidValue));
    return task.error(KEX::GenericError);
  }
  if (!names) {
    KEXError::emitError(KEXError::Message(owner, KEX::InvalidValue));
    return task.error(KEX::GenericError);
  }
  if (n < 1)
    return task.ok();

  KEXValueList<KEXTriangleMeshAction*> actions(16, true);
  if (!actions.setCount(n)) {
    KEXError::emitError(KEXError::Message(owner, KEX::OutOfMemory));
    return kexEndOutOfMemory(task);
  }
  for (int i = 0; i < n; ++i) {
    KEXAction* a = owner->getAction(names[i]);
    if (!a || !a->getMetaClass().isOfType(KEXTriangleMeshAction::metaClass())) {
      KEXError::emitError(KEXError::Message(owner, KEX::InvalidValue));
      return task.error(KEX::GenericError);
    }
    actions[i] = static_cast<KEXTriangleMeshAction*>(a);
  }

  // A caller that hands in a record with a buffer asks for the steps to run on that buffer in place,
  // as a single mesh action does; only without one are the linked objects read and written.
  KEXTriangleMeshAction::Parameters* caller = KEXTriangleMeshAction::Parameters::fromPointer(parameters);
  KEXTriangleMeshBuffer* callerBuffer = caller ? caller->getBuffer() : nullptr;
  KEXTriangleMeshAction::Parameters record(callerBuffer, callerBuffer ? caller->getData() : parameters);
  KEXTriangleMeshBuffer local;
  AdjacencyKeeper adjacency; // after local: it lets go of the buffer before local goes
  KEXObjectLink source, destination;
  owner->getValue(KEX::FirstSource, source);
  owner->getValue(KEX::FirstDestination, destination);

  for (int i = 0; i < n; ++i) {
    {
      KEXSubTask step(nullptr, 1.0);
      if (!record.getBuffer()) {
        if (!record.setBuffer(&local) || !KEXTriangleMeshAction::bufferFromObject(&local, source.get()))
          return task.statusOf(step, KEX::GenericError);
      }
      KEXTriangleMeshBuffer& buffer = *record.getBuffer();
      adjacency.attach(buffer);
      if (observer)
        observer->stepBegins(i, names[i], buffer);
      const bool ok = actions[i]->execute(&record);
      if (observer)
        observer->stepEnds(i, names[i], buffer, ok);
      if (!ok)
        return task.statusOf(step, KEX::GenericError);
    }
    if (task.wasAborted())
      return task.aborted();
    if (task.wasStopped())
      break;
  }
  adjacency.release();
  if (observer)
    observer->sequenceEnds(*record.getBuffer());
  if (record.getBuffer() == &local && !KEXTriangleMeshAction::objectFromBuffer(destination.get(), &local))
    return task.error(KEX::GenericError);
  return task.wasStopped() ? task.stopped() : task.ok();
}

bool KEXExecuteSequenceAction::action(void* parameters)
{
  KEXObject* owner = getOwner();
  if (!owner)
    return executeSequence(nullptr, nullptr, 0, parameters, m_observer);
  auto* list = dynamic_cast<const KEXValueArrayPropertyIF<KEXenum>*>(owner->getProperty(KEX::ActionList));
  if (!list)
    return executeSequence(owner, nullptr, 0, parameters, m_observer);
  const int count = list->getCount();
  KEXValueList<KEXenum> names(16, true);
  if (!names.setCount(count) || (count > 0 && !list->getItems(0, count - 1, names.getData()))) {
    KEXError::emitError(KEXError::Message(owner, KEX::OutOfMemory));
    return false;
  }
  static const KEXenum none;
  return executeSequence(owner, count > 0 ? names.getData() : &none, count, parameters, m_observer);
}

KEXenum KEXExecuteSequenceAction::checkAction(void*)
{
  KEXObject* owner = getOwner();
  KEXObjectLink fs, ss, fd, sd;
  if (!owner || !owner->getValue(KEX::FirstSource, fs) || !owner->getValue(KEX::FirstDestination, fd) || fs.isNull() ||
      fd.isNull())
    return KEX::InvalidValue;
  if ((owner->getValue(KEX::SecondSource, ss) && !ss.isNull()) || (owner->getValue(KEX::SecondDestination, sd) && !sd.isNull()))
    return KEX::InvalidValue;
  return KEX::NoError;
}
