#pragma once
// KEXTriangleMeshAlgorithmIF: the frame of every mesh algorithm. A caller attaches its buffer,
// execute() moves the buffer's content into the algorithm (a swap, nothing is copied), calls
// init, run and cleanup, and hands the content back, also a partial result after a failure.
#include "kex/Class.h"
#include "kex/Enum.h"
#include "kexmesh/core/ClassRegistration.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

class KEXTriangleMeshAlgorithmIF : public KEXClass {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshAlgorithmIF)

public:
  /// Allocates the attachment cell; when that fails, reports OutOfMemory and the object can run
  /// nothing.
  KEXTriangleMeshAlgorithmIF();
  /// The copy is attached to the same buffer as the source; its working buffer starts empty.
  KEXTriangleMeshAlgorithmIF(const KEXTriangleMeshAlgorithmIF& other);
  /// Copies the attached buffer's address; the working buffer is not copied.
  KEXTriangleMeshAlgorithmIF& operator=(const KEXTriangleMeshAlgorithmIF& other);
  ~KEXTriangleMeshAlgorithmIF() override;

  /// Attaches buffer (null detaches). False only without an attachment cell.
  bool setBuffer(KEXTriangleMeshBuffer* buffer) const;
  KEXTriangleMeshBuffer* getBuffer() const;
  /// False when construction ran out of memory for the attachment cell: such an instance can never
  /// be attached and is to be destroyed.
  bool isUsable() const { return m_cell != nullptr; }

  /// init, run (when init succeeded) and cleanup on the attached buffer's content.
  /// \pre the caller does not touch the attached buffer meanwhile.
  /// \return run's result; false without an attached buffer or when init refuses.
  bool execute(void* parameters);
  /// init and cleanup only; never runs. error (optional) gets NoError or InvalidOperation.
  bool checkExecute(void* parameters, KEXenum* error);

protected:
  /// Prepares; false refuses the run. Default: the working buffer is consistent.
  virtual bool init(void* parameters);
  /// The work. Default: nothing, true.
  virtual bool run(void* parameters);
  /// Releases what init or run acquired. Default: nothing.
  virtual void cleanup(bool success);

  /// The working buffer: holds the caller's content during a run, empty otherwise.
  KEXTriangleMeshBuffer m_buffer;

private:
  KEXTriangleMeshBuffer** m_cell = nullptr;
};
