#pragma once
// KEXTriangleMeshIO: the abstract base of triangle mesh file handlers. The library itself reads and
// writes no format; handlers live in plug-in modules and are found by class name
// (KEXMetaClass::find("KEXTriangleMeshIOPLY") binds the module that defines them).
//
// Handlers work on a KEXTriangleMeshBuffer: a read is all-or-nothing (the buffer is replaced only
// by a complete result), a write goes to a temporary file that is renamed over the target only
// when everything was written. Both run under a task, so a host sees progress and may stop them.
// Every handler also reads into and writes from a mesh object (KEXTriangleMeshData or any object
// with the mesh list properties) through the buffer entry points, with the same guarantees.
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

  /// Reads fileName with readBuffer and stores the result in the list properties of geometry
  /// (every list is replaced; lists the file does not carry become empty). All-or-nothing: when
  /// reading or storing fails, geometry holds its former lists again.
  /// \pre geometry has VertexList and TriangleList properties (else Unsupported, file not read).
  /// Fails with Unsupported when the file carries an attribute geometry has no writable list for,
  /// OutOfMemory when geometry cannot take the lists, or whatever readBuffer reports.
  bool read(const char* fileName, KEXObject* geometry, Report& report) override;
  /// Takes the list properties of geometry into a buffer and writes it with writeBuffer.
  /// \pre geometry has VertexList and TriangleList properties (else Unsupported).
  /// Fails with Malformed, before any file is created, when an optional list is neither empty nor
  /// as long as the vertex (triangle) list; with OutOfMemory when the lists cannot be copied;
  /// otherwise as writeBuffer.
  bool write(const char* fileName, const KEXObject* geometry, Report& report) override;
  /// Level 0: the registered enum "KEXTriangleMeshIO"; deeper levels ask KEXGeometryIO.
  KEXenum getObjectID(int level) const override;

  /// Creates the handler for fileName's extension by class name, the way a host does: the
  /// framework binds the plug-in module that defines it on first use.
  /// \return null, with Unsupported and the list of supported extensions in report, when the
  /// extension is unknown or its module cannot be loaded. Free the handler with destroy().
  static KEXTriangleMeshIO* createForFile(const char* fileName, Report& report);
  /// Creates a handler by class name (null when the class is unknown or not a handler).
  static KEXTriangleMeshIO* create(const char* className);
  /// Drops the creator's reference to a handler made by create or createForFile (null is
  /// ignored); the handler is destroyed through its metaclass once no reference remains.
  static void destroy(KEXTriangleMeshIO* handler);
  /// The file extensions handled by the plug-ins, space separated ("ply stl off obj xyz pwn").
  static const char* getSupportedExtensions();

  /// Registers the role TriangleMeshIO (a kind of GeometryIO) once; later calls return at once.
  static bool registerRole();

protected:
  /// Sets the protected flags 0x110100 and applies the metaclass's default flags.
  KEXTriangleMeshIO();
  KEXTriangleMeshIO(const KEXTriangleMeshIO& other);
  KEXTriangleMeshIO& operator=(const KEXTriangleMeshIO& other);
  ~KEXTriangleMeshIO() override;

private:
  friend bool kexmeshdetail::checkedDestruct<KEXTriangleMeshIO>(KEXClass*, bool); // its factory destroys in place
};
