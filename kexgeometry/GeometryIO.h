#pragma once
// KEXGeometryIO: base of the file handlers of geometry types. A handler is a framework object
// (reference counted, found and created by class name); it names its format and the file
// extensions it serves, and reports what went wrong in a Report the caller owns: a kind and a
// message that names the file and the line (text) or byte offset (binary) of the fault.
// The object-level entry points read a file into a geometry object and write one to a file; the
// geometry type's own handler base implements them on top of its working representation.
#include "kex/Object.h"

#include <cstdint>
#include <string>
#include <vector>

class KEXGeometryIO : public KEXObject {
public:
  /// How a handler writes a format that has more than one encoding. Readers detect the encoding.
  enum Encoding { DefaultEncoding, Ascii, BinaryLittleEndian, BinaryBigEndian };

  /// What became of a read or write.
  struct Report {
    enum Kind {
      Ok,          ///< nothing went wrong
      Unreadable,  ///< the file cannot be opened or read
      Malformed,   ///< the content is not a valid file of the format
      Unsupported, ///< valid, but uses something this handler does not handle
      OutOfMemory, ///< memory ran short
      Stopped,     ///< the user stopped or aborted the operation
      WriteFailed  ///< the file could not be written completely
    };
    Kind kind = Ok;
    std::string message;               ///< "<file>:<line>: ..." or "<file>: byte <n>: ..."
    std::vector<std::string> warnings; ///< things read past or approximated
    void clear()
    {
      kind = Ok;
      message.clear();
      warnings.clear();
    }
    bool isOk() const { return kind == Ok; }
    /// Sets kind and a printf-formatted message (the first failure wins); returns false.
    bool fail(Kind k, const char* format, ...) __attribute__((format(printf, 3, 4)));
    /// Adds a printf-formatted warning (at most 20 are kept).
    void warn(const char* format, ...) __attribute__((format(printf, 2, 3)));
  };

  KEXGeometryIO();
  /// Copies the encoding and the object flags; the copy is a new object (own reference count,
  /// no properties or actions of the source).
  KEXGeometryIO(const KEXGeometryIO& other) = default;
  KEXGeometryIO& operator=(const KEXGeometryIO& other) = default;
  ~KEXGeometryIO() override;
  const KEXMetaClass& getMetaClass() const override;
  static const KEXMetaClass& metaClass();
  /// Level 0: the registered enum "KEXGeometryIO"; deeper levels ask KEXObject.
  KEXenum getObjectID(int level) const override;

  /// Reads fileName into geometry, replacing what it holds. On failure geometry is left as it was
  /// and report says why.
  /// \pre geometry is an object of the kind the handler serves.
  /// Default: fails with Unsupported.
  virtual bool read(const char* fileName, KEXObject* geometry, Report& report);
  /// Writes geometry to fileName with getEncoding(). On failure no partial file is left behind and
  /// report says why. Default: fails with Unsupported.
  virtual bool write(const char* fileName, const KEXObject* geometry, Report& report);

  /// Short name of the format ("PLY"). Default: "".
  virtual const char* getFormatName() const;
  /// Space-separated lower-case extensions without dots ("ply"). Default: "".
  virtual const char* getFileExtensions() const;
  virtual bool canRead() const { return true; }
  virtual bool canWrite() const { return true; }

  /// The encoding the next write uses; DefaultEncoding lets the handler choose (binary where the
  /// format has one).
  void setEncoding(Encoding encoding) { m_encoding = encoding; }
  Encoding getEncoding() const { return m_encoding; }

  /// Whether fileName's base name ends in "." followed by one of extensions (space separated,
  /// compared without case; one of two parts, "inr.gz", as a whole), with a name before the dot.
  static bool matchesExtension(const char* fileName, const char* extensions);
  /// The extension of fileName without the dot, lower-cased ("" when there is none).
  static std::string extensionOf(const char* fileName);

private:
  Encoding m_encoding = DefaultEncoding;
};
