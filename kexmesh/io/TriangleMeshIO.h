#pragma once
// KEXTriangleMeshIO: the abstract base of triangle mesh file handlers. The library itself reads and
// writes no format; handlers live in plug-in modules and are found by class name
// (KEXMetaClass::find("KEXTriangleMeshIOPLY") binds the module that defines them).
//
// Handlers work on a KEXTriangleMeshBuffer: a read is all-or-nothing (the buffer is replaced only
// by a complete result), a write goes to a temporary file that is renamed over the target only
// when everything was written. Both run under a task, so a host sees progress and may stop them.
#include "kexgeometry/GeometryIO.h"
#include "kexmesh/core/ClassRegistration.h"

class KEXTriangleMeshBuffer;

class KEXTriangleMeshIO : public KEXGeometryIO {
  KEXMESH_DECLARE_CLASS(KEXTriangleMeshIO)

public:
  /// Reads fileName into buffer. On success buffer holds vertices, triangles (possibly none: a
  /// point cloud) and the attributes the file carries; on failure it is unchanged and report says
  /// why. Default: Unsupported.
  virtual bool readBuffer(const char* fileName, KEXTriangleMeshBuffer& buffer, Report& report);
  /// Writes buffer to fileName (vertices, triangles and the attributes the format holds) with
  /// getEncoding(). No partial file is left behind on failure. Default: Unsupported.
  virtual bool writeBuffer(const char* fileName, const KEXTriangleMeshBuffer& buffer, Report& report);

  /// Creates the handler for fileName's extension by class name, the way a host does: the
  /// framework binds the plug-in module that defines it on first use.
  /// \return null, with Unsupported and the list of supported extensions in report, when the
  /// extension is unknown or its module cannot be loaded. Free the handler with destroy().
  static KEXTriangleMeshIO* createForFile(const char* fileName, Report& report);
  /// Creates a handler by class name (null when the class is unknown or not a handler).
  static KEXTriangleMeshIO* create(const char* className);
  /// Destroys a handler made by create or createForFile (null is ignored).
  static void destroy(KEXTriangleMeshIO* handler);
  /// The file extensions handled by the plug-ins, space separated ("ply stl off obj xyz pwn").
  static const char* getSupportedExtensions();

  /// Registers the role TriangleMeshIO (a kind of GeometryIO) once; later calls return at once.
  static bool registerRole();

protected:
  /// Allocates the (empty) private part; when that fails, reports OutOfMemory. Sets the protected
  /// flags 0x110100 and applies the metaclass's default flags.
  KEXTriangleMeshIO();
  KEXTriangleMeshIO(const KEXTriangleMeshIO& other);
  KEXTriangleMeshIO& operator=(const KEXTriangleMeshIO& other);
  ~KEXTriangleMeshIO() override;

  /// Whether the private part exists (construction succeeded).
  bool isValid() const { return m_private != nullptr; }

public:
  /// The (so far empty) private part, reserved for state shared by all handlers.
  struct Private;

private:
  friend class kexmeshdetail::AbstractFactory<KEXTriangleMeshIO>;
  Private* m_private = nullptr;
};
