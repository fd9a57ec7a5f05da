#pragma once
// KEXGridIO: the abstract base of volume file handlers (grids of samples: CT, MRI, sampled fields).
// Like the mesh handlers, the concrete formats live in a plug-in module and are found by class name
// (KEXMetaClass::find("KEXGridIOINR") binds the module that defines them).
//
// A read fills a KEXGrid. Uncompressed samples are not copied: the file is mapped into memory and
// attached to the grid, which unmaps it when it lets go of it, so a volume larger than memory can
// still be read slab by slab. Compressed samples are inflated into the grid's own storage.
#include "kexgeometry/GeometryIO.h"
#include "kexgeometry/Grid.h"
#include "kexmesh/core/ClassRegistration.h"

class KEXGridIO : public KEXGeometryIO {
  KEXMESH_DECLARE_CLASS(KEXGridIO)

public:
  /// What a headerless (raw) file holds: samples of type, nx * ny * nz of them, x fastest, after
  /// headerBytes bytes of anything, spaced sx, sy, sz apart.
  struct RawLayout {
    KEXSampleType type = KEXSampleType::UInt8;
    int nx = 0, ny = 0, nz = 0;
    double sx = 1.0, sy = 1.0, sz = 1.0;
    bool bigEndian = false;
    long long headerBytes = 0;
  };

  /// Gives a format without a header the layout of the next reads. Default: false (the format's
  /// files describe themselves).
  virtual bool setRawLayout(const RawLayout& layout);

  /// Reads fileName into grid: layout, spacing and samples. On failure report says why and grid is
  /// unchanged, except that a compressed read failing after the samples were allocated leaves it
  /// empty. Default: Unsupported.
  virtual bool readGrid(const char* fileName, KEXGrid& grid, Report& report);

  /// Reads fileName into geometry, which must be a KEXGrid (else Unsupported, file not read).
  bool read(const char* fileName, KEXObject* geometry, Report& report) override;
  /// Volume handlers read only: Unsupported.
  bool write(const char* fileName, const KEXObject* geometry, Report& report) override;
  bool canWrite() const override { return false; }
  /// Level 0: the registered enum "KEXGridIO"; deeper levels ask KEXGeometryIO.
  KEXenum getObjectID(int level) const override;

  /// Creates the handler for fileName's extension by class name, binding its plug-in module on
  /// first use. Null, with Unsupported and the supported extensions in report, when the extension
  /// is unknown or the module cannot be loaded. Free the handler with destroy().
  static KEXGridIO* createForFile(const char* fileName, Report& report);
  /// Creates a handler by class name (null when the class is unknown or not a grid handler).
  static KEXGridIO* create(const char* className);
  /// Drops the creator's reference to a handler (null is ignored).
  static void destroy(KEXGridIO* handler);
  /// The extensions of the volume handlers, space separated ("raw inr inr.gz ...").
  static const char* getSupportedExtensions();

  /// Registers the role GridIO (a kind of GeometryIO) once; later calls return at once.
  static bool registerRole();

protected:
  /// Sets the protected flags 0x110100 and applies the metaclass's default flags.
  KEXGridIO();
  KEXGridIO(const KEXGridIO& other);
  KEXGridIO& operator=(const KEXGridIO& other);
  ~KEXGridIO() override;

private:
  friend bool kexmeshdetail::checkedDestruct<KEXGridIO>(KEXClass*, bool); // its factory destroys in place
};
