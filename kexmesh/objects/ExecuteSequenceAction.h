#pragma once
// KEXExecuteSequenceAction: runs the mesh actions named by its owner's ActionList one after the
// other on one shared buffer. The mesh is read from the owner's FirstSource object once before the
// first action and written to its FirstDestination object once after the last; a failing action
// ends the sequence and nothing is written back. An observer attached to the action is told about
// every step with the shared buffer, so a host can measure or report a run without running the
// steps itself.
#include "kex/Object.h"

class KEXTriangleMeshBuffer;

class KEXExecuteSequenceAction : public KEXActionAttr {
public:
  /// Told about the steps of a sequence while it runs, on the thread that runs it. Every hook sees
  /// the buffer all steps share: the caller's buffer in buffer mode, the one read from the source
  /// object in object mode (where it is read before the first step begins; a failed read calls no
  /// hook). The hooks only look: the buffer is not theirs to change. Not owned by the action.
  class Observer {
  public:
    virtual ~Observer() = default;
    /// Step index (0-based position in the name list) is about to run the action name.
    virtual void stepBegins(int index, KEXenum name, const KEXTriangleMeshBuffer& buffer) = 0;
    /// The step has run: ok false means it failed and the sequence ends without writing back (no
    /// further hook is called).
    virtual void stepEnds(int index, KEXenum name, const KEXTriangleMeshBuffer& buffer, bool ok) = 0;
    /// After the last step that ran, the list's last or the one a stop request ended the run
    /// after, and before the buffer is written to the destination object. Not called when a step
    /// failed, the run was aborted or no step ran.
    virtual void sequenceEnds(const KEXTriangleMeshBuffer& buffer) = 0;
  };

  /// Class flags 0x4100050.
  KEXExecuteSequenceAction();
  /// Copies the framework state; the copy has no observer (the one attached here watches this
  /// action's runs only and may not outlive a copy).
  KEXExecuteSequenceAction(const KEXExecuteSequenceAction& other);
  /// Assigns the framework state; the observer stays as it is.
  KEXExecuteSequenceAction& operator=(const KEXExecuteSequenceAction& other);

  /// Attaches the observer told about the steps of every later run (null: none, the default).
  void setObserver(Observer* observer) { m_observer = observer; }
  Observer* getObserver() const { return m_observer; }

  /// The sequence routine, also used by filters with their own name lists: runs the actions names
  /// [0 ... count-1] of owner (each must be a KEXTriangleMeshAction) under the task "Executing
  /// operation sequence". parameters is handed to the algorithms; observer (may be null) is told
  /// about every step.
  /// \return false when owner or names are missing, an action is missing or not a mesh action, or
  ///         a step fails (InvalidValue / OutOfMemory go to KEXError; the task ends with the code);
  ///         true on success and after a stop request (what was done so far is written back).
  static bool executeSequence(KEXObject* owner, const KEXenum* names, int count, void* parameters,
                              Observer* observer = nullptr);

protected:
  /// executeSequence with the owner's ActionList and the attached observer.
  bool action(void* parameters) override;
  /// NoError when FirstSource and FirstDestination are set and the second links empty, else
  /// InvalidValue.
  KEXenum checkAction(void* parameters) override;

private:
  Observer* m_observer = nullptr;
};
