#pragma once
// Handlers of the plug-in module kexmeshiovolume: volume files read into a KEXGrid.
#include "kexmesh/io/GridIO.h"

/// INRIA image files (.inr, and gzip-compressed .inr.gz): a text header of 256-byte blocks
/// ("#INRIMAGE-4#{" ... "##}") followed by the samples. Reads 8-bit unsigned, 16-bit signed and
/// unsigned and 32-bit float scalar samples of either byte order.
class KEXGridIOINR : public KEXGridIO {
  KEXMESH_DECLARE_CLASS(KEXGridIOINR)

public:
  KEXGridIOINR() = default;
  KEXGridIOINR(const KEXGridIOINR&) = default;
  KEXGridIOINR& operator=(const KEXGridIOINR&) = default;
  ~KEXGridIOINR() override = default;

  const char* getFormatName() const override { return "INR"; }
  const char* getFileExtensions() const override { return "inr inr.gz"; }
  bool readGrid(const char* fileName, KEXGrid& grid, Report& report) override;
};

/// NRRD files: .nrrd (the header and the samples in one file) and .nhdr (a header naming a
/// detached data file). Reads three-dimensional volumes of 8-bit unsigned, 16-bit signed and
/// unsigned and 32-bit float samples, raw or gzip-encoded, of either byte order, whose axes are
/// aligned with their space.
class KEXGridIONRRD : public KEXGridIO {
  KEXMESH_DECLARE_CLASS(KEXGridIONRRD)

public:
  KEXGridIONRRD() = default;
  KEXGridIONRRD(const KEXGridIONRRD&) = default;
  KEXGridIONRRD& operator=(const KEXGridIONRRD&) = default;
  ~KEXGridIONRRD() override = default;

  const char* getFormatName() const override { return "NRRD"; }
  const char* getFileExtensions() const override { return "nrrd nhdr"; }
  bool readGrid(const char* fileName, KEXGrid& grid, Report& report) override;
};

/// MetaImage files: .mha (the header and the samples in one file) and .mhd (a header naming a
/// detached data file). Reads three-dimensional volumes of MET_UCHAR, MET_SHORT, MET_USHORT and
/// MET_FLOAT samples, plain or zlib-compressed, of either byte order, with an identity orientation.
class KEXGridIOMetaImage : public KEXGridIO {
  KEXMESH_DECLARE_CLASS(KEXGridIOMetaImage)

public:
  KEXGridIOMetaImage() = default;
  KEXGridIOMetaImage(const KEXGridIOMetaImage&) = default;
  KEXGridIOMetaImage& operator=(const KEXGridIOMetaImage&) = default;
  ~KEXGridIOMetaImage() override = default;

  const char* getFormatName() const override { return "MetaImage"; }
  const char* getFileExtensions() const override { return "mha mhd"; }
  bool readGrid(const char* fileName, KEXGrid& grid, Report& report) override;
};

/// Headerless sample files: the layout comes from setRawLayout.
class KEXGridIORAW : public KEXGridIO {
  KEXMESH_DECLARE_CLASS(KEXGridIORAW)

public:
  KEXGridIORAW() = default;
  KEXGridIORAW(const KEXGridIORAW&) = default;
  KEXGridIORAW& operator=(const KEXGridIORAW&) = default;
  ~KEXGridIORAW() override = default;

  const char* getFormatName() const override { return "RAW"; }
  const char* getFileExtensions() const override { return "raw"; }
  /// Takes the layout of the next reads: false (layout kept) for a size below 1 on an axis, a
  /// spacing that is not finite and positive or a negative header size.
  bool setRawLayout(const RawLayout& layout) override;
  bool readGrid(const char* fileName, KEXGrid& grid, Report& report) override;

private:
  RawLayout m_layout;
  bool m_hasLayout = false;
};
