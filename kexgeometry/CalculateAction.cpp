// The calculation protocol of cached results (see the header).
#include "kexgeometry/CalculateAction.h"

#include "kex/Memory.h"
#include "kex/Properties.h"

#include <new>

KEXCalculateAction::KEXCalculateAction(unsigned int flags) : KEXActionAttr(flags) {}

KEXCalculateAction::KEXCalculateAction(const KEXCalculateAction& other) : KEXActionAttr(other) {}

KEXCalculateAction& KEXCalculateAction::operator=(const KEXCalculateAction& other)
{
  KEXActionAttr::operator=(other);
  return *this;
}

KEXCalculateAction::~KEXCalculateAction()
{
  // action() always ends and frees its task; nothing can be left here.
}

const KEXMetaClass& KEXCalculateAction::metaClass()
{
  static const KEXMetaClass* meta =
      new KEXMetaClass("KEXCalculateAction", sizeof(KEXCalculateAction), &KEXActionAttr::metaClass(),
                       &KEXAbstractFactory::instance(), "kexgeometry", 0, 0, 0, nullptr, nullptr, false);
  return *meta;
}

const KEXMetaClass& KEXCalculateAction::getMetaClass() const { return metaClass(); }

bool KEXCalculateAction::init(void*) { return true; }

void KEXCalculateAction::cleanup(KEXenum) {}

bool KEXCalculateAction::taskBegin(const char* message, double weight, unsigned int flags, unsigned int flags2)
{
  // The task's memory comes from the framework allocator so that a shortage here is as real (and
  // as testable) as one inside the calculation.
  void* place = m_task ? nullptr : kexMalloc(sizeof(KEXTask));
  if (!place) {
    kexTaskDiagnostics(KEX::Error, "Out of memory");
    std::lock_guard<std::mutex> guard(m_errorMutex);
    if (!m_failed.exchange(true))
      m_errorCode = KEX::OutOfMemory;
    return false;
  }
  m_task = new (place) KEXTask(message, weight, flags, flags2);
  return true;
}

bool KEXCalculateAction::taskIncProgress(double delta) { return m_task && m_task->incProgress(delta, true); }

bool KEXCalculateAction::taskError(KEXenum code, const KEXTask::Diagnostics* diagnostics)
{
  std::lock_guard<std::mutex> guard(m_errorMutex);
  if (!m_failed.exchange(true))
    m_errorCode = code;
  if (diagnostics) {
    if (m_task)
      m_task->addDiagnostics(*diagnostics);
    else
      kexTaskDiagnostics(diagnostics->getSeverity(), "%s", diagnostics->getText());
  }
  return false;
}

bool KEXCalculateAction::taskOutOfMemory()
{
  KEXTask::Diagnostics diagnostics(KEX::Error, "Out of memory");
  return taskError(KEX::OutOfMemory, &diagnostics);
}

bool KEXCalculateAction::taskStatusOf(const KEXSubTask& s, KEXenum code)
{
  bool innerFailed = s.hasOutcome() && s.getOutcomeStatus() == KEXTaskInfo::Failed;
  return taskError(innerFailed ? s.getOutcomeCode() : code);
}

void KEXCalculateAction::endTask(bool calculated)
{
  KEXenum code = m_failed ? m_errorCode : (calculated ? KEX::NoError : KEX::GenericError);
  const bool aborted = m_task && m_task->wasAborted();
  if (aborted && code == KEX::NoError)
    code = KEX::GenericError; // an aborted calculation has no result, whatever it returned
  if (m_task) {
    if (aborted)
      m_task->aborted();
    else if (code == KEX::NoError)
      m_task->ok();
    else
      m_task->error(code);
    m_task->~KEXTask();
    kexFree(m_task);
    m_task = nullptr;
  }
  m_status = code;
}

bool KEXCalculateAction::action(void* parameters)
{
  if (!m_forced && !isRecalculationNeeded()) {
    m_status = KEX::Unchanged;
    cleanup(m_status);
    return true;
  }
  m_forced = false;
  m_failed = false;
  m_errorCode = KEX::NoError;
  bool calculated = false;
  if (init(parameters)) {
    ++m_calculations;
    calculated = calculate(parameters);
  }
  endTask(calculated);
  cleanup(m_status);
  return m_status == KEX::NoError;
}

// --- cached result --------------------------------------------------------------------------------

KEXCachedResultAction::KEXCachedResultAction(KEXenum resultProperty, unsigned int setFlags, unsigned int clearFlags)
    : KEXCalculateAction(setFlags & ~clearFlags), m_resultProperty(resultProperty)
{
}

const KEXMetaClass& KEXCachedResultAction::metaClass()
{
  static const KEXMetaClass* meta =
      new KEXMetaClass("KEXCachedResultAction", sizeof(KEXCachedResultAction), &KEXCalculateAction::metaClass(),
                       &KEXAbstractFactory::instance(), "kexgeometry", 0, 0, 0, nullptr, nullptr, false);
  return *meta;
}

const KEXMetaClass& KEXCachedResultAction::getMetaClass() const { return metaClass(); }

KEXObject* KEXCachedResultAction::getResult() const
{
  KEXObject* owner = getOwner();
  KEXObjectLink link;
  if (!owner || !owner->getValue<KEXObjectLink>(m_resultProperty, link))
    return nullptr;
  return link.get();
}
