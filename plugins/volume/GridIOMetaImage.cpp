// MetaImage reading. The header is text, "Key = Value" lines, of which ElementDataFile comes last:
// "LOCAL" (a .mha file) means the samples follow its line, any other name (a .mhd header) is a
// data file in the header's folder. HeaderSize bytes before the samples are read past (-1: the
// samples end the file). Uncompressed samples are mapped and attached to the grid; compressed
// ones (CompressedData = True) are a zlib stream, inflated into the grid. Only three-dimensional
// scalar volumes with an identity orientation are read: the grid has no rotation, and a rotated
// volume read as if aligned would be silently wrong.
#include "GridIOVolume.h"
#include "VolumeSupport.h"

#include "../common/MeshFileSupport.h"

#include <cmath>
#include <string>
#include <string_view>
#include <strings.h>

using namespace kexmeshvolume;

KEXMESHIO_DEFINE_PLUGIN_CLASS_OF(KEXGridIOMetaImage, KEXGridIO, "kexmeshiovolume")

namespace {

enum FieldId {
  ObjectType, NDims, DimSize, Spacing, Size, Origin, ElementType, ByteOrder, Compressed, Binary, HeaderSize,
  Transform, Channels, DataFile, FIELDS
};
struct FieldName {
  const char* name;
  FieldId id;
};
const FieldName fieldNames[] = {
    {"ObjectType", ObjectType},         {"NDims", NDims},
    {"DimSize", DimSize},               {"ElementSpacing", Spacing},
    {"ElementSize", Size},              {"Offset", Origin},
    {"Position", Origin},               {"Origin", Origin},
    {"ElementType", ElementType},       {"BinaryDataByteOrderMSB", ByteOrder},
    {"ElementByteOrderMSB", ByteOrder}, {"CompressedData", Compressed},
    {"BinaryData", Binary},             {"HeaderSize", HeaderSize},
    {"TransformMatrix", Transform},     {"Rotation", Transform},
    {"Orientation", Transform},         {"ElementNumberOfChannels", Channels},
    {"ElementDataFile", DataFile},
};

struct TypeName {
  const char* name;
  KEXSampleType type;
};
const TypeName typeNames[] = {{"MET_UCHAR", KEXSampleType::UInt8},
                              {"MET_SHORT", KEXSampleType::Int16},
                              {"MET_USHORT", KEXSampleType::UInt16},
                              {"MET_FLOAT", KEXSampleType::Float32}};

struct Header {
  HeaderField fields[FIELDS];
  size_t dataStart = 0; // after the ElementDataFile line
};

bool parseHeader(const char* file, std::string_view text, Header& h, Report& report)
{
  size_t at = 0;
  std::string_view line;
  for (int number = 1; nextLine(text, at, line); ++number) {
    line = trimmed(line);
    if (line.empty())
      continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos)
      return report.fail(Report::Malformed, "%s:%d: \"Key = Value\" expected", file, number);
    const std::string_view key = trimmed(line.substr(0, eq));
    for (const FieldName& f : fieldNames)
      if (key == f.name)
        h.fields[f.id] = HeaderField{trimmed(line.substr(eq + 1)), number};
    if (key == "ElementDataFile") {
      h.dataStart = at;
      break;
    }
  }
  for (FieldId id : {NDims, DimSize, ElementType, DataFile})
    if (!h.fields[id].seen())
      return report.fail(Report::Malformed, "%s: the header has no %s", file,
                         id == NDims ? "NDims" : id == DimSize ? "DimSize" : id == ElementType ? "ElementType"
                                                                                                 : "ElementDataFile");
  return true;
}

} // namespace

bool KEXGridIOMetaImage::readGrid(const char* fileName, KEXGrid& grid, Report& report)
{
  report.clear();
  const char* file = fileName ? fileName : "";
  std::string text;
  if (!readHeaderText(file, text, report))
    return false;
  Header h;
  if (!parseHeader(file, text, h, report))
    return false;
  const HeaderField* f = h.fields;
  auto bad = [&](FieldId id, Report::Kind kind, const char* what) { return failField(report, kind, file, f[id], what); };
  // True or False, as written by any writer's case; absent is false.
  auto flag = [&](FieldId id, bool& out) {
    const std::string v(f[id].value);
    out = strcasecmp(v.c_str(), "true") == 0;
    return !f[id].seen() || out || strcasecmp(v.c_str(), "false") == 0 ||
           bad(id, Report::Malformed, "True or False expected, not");
  };
  if (f[ObjectType].seen() && f[ObjectType].value != "Image")
    return bad(ObjectType, Report::Unsupported, "images are read, not");
  long long dims = 0, channels = 1;
  if (!parseWhole(f[NDims].value, dims))
    return bad(NDims, Report::Malformed, "NDims is no integer:");
  if (dims != 3)
    return bad(NDims, Report::Unsupported, "only three-dimensional volumes are read, NDims is");
  if (f[Channels].seen() && (!parseWhole(f[Channels].value, channels) || channels != 1))
    return bad(Channels, Report::Unsupported, "scalar samples (one channel) are read, not");
  SampleSource s;
  long long sizes[3];
  if (!parseList(f[DimSize].value, sizes, 3))
    return bad(DimSize, Report::Malformed, "three integer sizes expected, not");
  s.nx = sizes[0], s.ny = sizes[1], s.nz = sizes[2];
  const TypeName* type = nullptr;
  for (const TypeName& t : typeNames)
    if (f[ElementType].value == t.name)
      type = &t;
  if (!type)
    return bad(ElementType, Report::Unsupported, "MET_UCHAR, MET_SHORT, MET_USHORT or MET_FLOAT samples are read, not");
  s.type = type->type;
  bool compressed = false, binary = true;
  if (!flag(ByteOrder, s.bigEndian) || !flag(Compressed, compressed) || !flag(Binary, binary))
    return false;
  if (f[Binary].seen() && !binary)
    return bad(Binary, Report::Unsupported, "binary samples are read, not text: BinaryData is");
  s.encoding = compressed ? SampleSource::Zlib : SampleSource::Raw;
  const FieldId spacing = f[Spacing].seen() ? Spacing : Size;
  if (f[spacing].seen() && (!parseList(f[spacing].value, s.spacing, 3) || !validSpacing(s.spacing[0]) ||
                            !validSpacing(s.spacing[1]) || !validSpacing(s.spacing[2])))
    return bad(spacing, Report::Malformed, "three positive spacings expected, not");
  if (f[Origin].seen()) {
    double o[3];
    if (!parseList(f[Origin].value, o, 3))
      return bad(Origin, Report::Malformed, "an origin of three numbers expected, not");
    s.origin = KEXVector3<double>(o[0], o[1], o[2]);
  }
  if (f[Transform].seen()) {
    double m[9];
    if (!parseList(f[Transform].value, m, 9))
      return bad(Transform, Report::Malformed, "a matrix of nine numbers expected, not");
    for (int i = 0; i < 9; ++i)
      if (std::fabs(m[i] - (i % 4 == 0 ? 1.0 : 0.0)) > 1e-9)
        return bad(Transform, Report::Unsupported, "only volumes aligned with the axes are read, not");
  }
  long long skip = 0;
  if (f[HeaderSize].seen() && (!parseWhole(f[HeaderSize].value, skip) || skip < -1))
    return bad(HeaderSize, Report::Malformed, "the header size is an integer of -1 or more, not");
  if (skip == -1 && compressed)
    return bad(HeaderSize, Report::Malformed, "a header size of -1 (samples at the end) needs uncompressed samples:");
  const std::string_view name = f[DataFile].value;
  if (name == "LOCAL") {
    s.file = file;
    s.offset = (long long)h.dataStart;
  } else if (name.empty() || name.substr(0, 4) == "LIST" || name.find('%') != std::string_view::npos) {
    return bad(DataFile, Report::Unsupported, "one data file is read, not a list or pattern:");
  } else {
    s.file = siblingPath(file, name);
  }
  s.offset = skip < 0 ? -1 : s.offset + skip;
  return readSamples(file, s, grid, report);
}
