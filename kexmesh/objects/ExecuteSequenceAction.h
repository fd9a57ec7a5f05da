#pragma once
// KEXExecuteSequenceAction: runs the mesh actions named by its owner's ActionList one after the
// other on one shared buffer. The mesh is read from the owner's FirstSource object once before the
// first action and written to its FirstDestination object once after the last; a failing action
// ends the sequence and nothing is written back.
#include "kex/Object.h"

class KEXExecuteSequenceAction : public KEXActionAttr {
public:
  /// Class flags 0x4100050.
  KEXExecuteSequenceAction();
  KEXExecuteSequenceAction(const KEXExecuteSequenceAction& other) = default;
  KEXExecuteSequenceAction& operator=(const KEXExecuteSequenceAction& other) = default;

  /// The sequence routine, also used by filters with their own name lists: runs the actions names
  /// [0 ... count-1] of owner (each must be a KEXTriangleMeshAction) under the task "Executing
  /// operation sequence". parameters is handed to the algorithms.
  /// \return false when owner or names are missing, an action is missing or not a mesh action, or
  ///         a step fails (InvalidValue / OutOfMemory go to KEXError; the task ends with the code);
  ///         true on success and after a stop request (what was done so far is written back).
  static bool executeSequence(KEXObject* owner, const KEXenum* names, int count, void* parameters);

protected:
  /// executeSequence with the owner's ActionList.
  bool action(void* parameters) override;
  /// NoError when FirstSource and FirstDestination are set and the second links empty, else
  /// InvalidValue.
  KEXenum checkAction(void* parameters) override;
};
