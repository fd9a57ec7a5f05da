#pragma once
// KEXTriangleMeshAction: the bridge between mesh objects and mesh algorithms. The action runs one
// algorithm class either on a caller's buffer (handed in a Parameters record) or on the mesh object
// named by its owner's FirstSource link, writing the result to the FirstDestination object. It also
// holds the exact copy rules between a mesh object and a buffer.
#include "kex/Object.h"
#include "kex/Properties.h"
#include "kexmesh/core/ClassRegistration.h"

class KEXTriangleMeshAlgorithmIF;
class KEXTriangleMeshBuffer;

class KEXTriangleMeshAction : public KEXAction {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshAction)

public:
  /// The parameter record of a buffer-mode run: the buffer to work on and the algorithm's own
  /// parameters (handed through to the algorithm's execute).
  class Parameters : public KEXParameterClass {
    KEXMESH_DECLARE_CLASS(Parameters)

  public:
    /// Allocation failure of the private record leaves a record whose setters fail.
    Parameters(KEXTriangleMeshBuffer* buffer = nullptr, void* data = nullptr);
    Parameters(const Parameters& other);
    Parameters& operator=(const Parameters& other);
    ~Parameters() override;
    /// False only without a private record.
    bool setBuffer(KEXTriangleMeshBuffer* buffer);
    /// Null without a private record.
    KEXTriangleMeshBuffer* getBuffer() const;
    bool setData(void* data);
    void* getData() const;
    /// The record behind parameters when it is one, else null (never dereferences foreign data).
    static Parameters* fromPointer(void* parameters);

  private:
    struct Record {
      KEXTriangleMeshBuffer* buffer;
      void* data;
    };
    Record* m_record = nullptr;
  };

  /// Class flags (setFlags | 0x4100040) without clearFlags; the action runs algorithmClass.
  /// Allocation failure of the private record reports OutOfMemory.
  explicit KEXTriangleMeshAction(const KEXMetaClass* algorithmClass = nullptr, unsigned int setFlags = 0,
                                 unsigned int clearFlags = 0);
  /// Copies the algorithm class, not the instance; the copy's flags lose 0x400080.
  KEXTriangleMeshAction(const KEXTriangleMeshAction& other);
  /// Copies the flags; a source holding an algorithm instance replaces the target's instance by a
  /// clone of it (adopting its class).
  KEXTriangleMeshAction& operator=(const KEXTriangleMeshAction& other);
  ~KEXTriangleMeshAction() override;

  KEXAction* clone(KEXenum name) const override;

  /// Destroys the algorithm instance; true when none remains.
  virtual bool reset();
  /// InvalidOperation without private record or algorithm; InvalidValue when prepare fails; else
  /// check().
  KEXenum checkAction(void* parameters) override;
  /// InvalidOperation without algorithm; InvalidValue for unusable links or buffer; else the
  /// algorithm's checkExecute code.
  virtual KEXenum check(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters);
  /// Configures the algorithm before init. Default: true when algorithm is given.
  virtual bool prepare(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters);
  /// Default: true when algorithm is given.
  virtual bool init(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters);
  /// Runs the algorithm on the record's buffer, or on the source object's lists (written to the
  /// destination object only when the algorithm succeeded).
  virtual bool run(KEXTriangleMeshAlgorithmIF* algorithm, void* parameters);
  virtual void cleanup(KEXTriangleMeshAlgorithmIF* algorithm, bool success);

  /// The algorithm class, and the instance (null until first used).
  const KEXMetaClass* getAlgorithmClass() const;
  KEXTriangleMeshAlgorithmIF* getAlgorithm() const;

  /// Copies the object's eight list properties into buffer (cleared first). Missing lists copy as
  /// empty; lists are taken at any length. On failure the buffer is left empty.
  /// \return false for a null argument or when a copy fails.
  static bool bufferFromObject(KEXTriangleMeshBuffer* buffer, const KEXObject* object);
  /// Writes the buffer's eight lists into the object's list properties, notifications held until
  /// the last write. VertexList and TriangleList must be written; an optional list may fail only
  /// when the buffer's list is empty. Stops at the first failure (earlier lists stay written).
  static bool objectFromBuffer(KEXObject* object, const KEXTriangleMeshBuffer* buffer);

  /// Transfer buffer size of the copies: 1040 bytes (86 three-float items per chunk).
  static constexpr int TRANSFER_BYTES = 1040;

protected:
  /// init, run and cleanup of the algorithm (created on first use).
  bool action(void* parameters) override;
  /// The algorithm instance, created from the algorithm class if needed (null if impossible).
  KEXTriangleMeshAlgorithmIF* ensureAlgorithm();

private:
  struct Private;
  Private* m_private = nullptr;
};

/// A mesh action declared as a member of another class (allocated through the framework's memory).
class KEXTriangleMeshActionAttr : public KEXTriangleMeshAction, public KEXClassMember {
public:
  using KEXClassMember::operator new;
  using KEXClassMember::operator delete;
  /// Flags setFlags | 16, clearFlags without 16.
  explicit KEXTriangleMeshActionAttr(const KEXMetaClass* algorithmClass = nullptr, unsigned int setFlags = 0,
                                     unsigned int clearFlags = 0);
  KEXTriangleMeshActionAttr(const KEXTriangleMeshActionAttr& other) = default;
  KEXTriangleMeshActionAttr& operator=(const KEXTriangleMeshActionAttr& other) = default;
};
