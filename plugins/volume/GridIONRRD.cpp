// NRRD reading. The header is text: a magic line "NRRD000N", then "field: value" lines ("#"
// comments and "key:=value" pairs are read past). A .nrrd file ends its header with an empty line
// and the samples follow it; a .nhdr header names a detached data file ("data file:", relative to
// the header's folder). The samples are raw (mapped and attached to the grid as they are) or gzip
// (inflated into the grid). Only three-dimensional scalar volumes whose axes are aligned with the
// space they live in are read: the grid has no rotation, and a skewed volume read as if aligned
// would be silently wrong.
#include "GridIOVolume.h"
#include "VolumeSupport.h"

#include "../common/MeshFileSupport.h"

#include <cstring>
#include <string>
#include <string_view>

using namespace kexmeshvolume;

KEXMESHIO_DEFINE_PLUGIN_CLASS_OF(KEXGridIONRRD, KEXGridIO, "kexmeshiovolume")

namespace {

struct TypeName {
  const char* name;
  KEXSampleType type;
};
const TypeName typeNames[] = {
    {"uchar", KEXSampleType::UInt8},
    {"unsigned char", KEXSampleType::UInt8},
    {"uint8", KEXSampleType::UInt8},
    {"uint8_t", KEXSampleType::UInt8},
    {"short", KEXSampleType::Int16},
    {"short int", KEXSampleType::Int16},
    {"signed short", KEXSampleType::Int16},
    {"signed short int", KEXSampleType::Int16},
    {"int16", KEXSampleType::Int16},
    {"int16_t", KEXSampleType::Int16},
    {"ushort", KEXSampleType::UInt16},
    {"unsigned short", KEXSampleType::UInt16},
    {"unsigned short int", KEXSampleType::UInt16},
    {"uint16", KEXSampleType::UInt16},
    {"uint16_t", KEXSampleType::UInt16},
    {"float", KEXSampleType::Float32},
};

enum FieldId {
  Type, Dimension, Sizes, Spacings, Directions, Origin, Endian, EncodingField, ByteSkip, LineSkip, DataFile, FIELDS
};
struct FieldName {
  const char* name;
  FieldId id;
};
const FieldName fieldNames[] = {
    {"type", Type},
    {"dimension", Dimension},
    {"sizes", Sizes},
    {"spacings", Spacings},
    {"space directions", Directions},
    {"space origin", Origin},
    {"endian", Endian},
    {"encoding", EncodingField},
    {"byte skip", ByteSkip},
    {"line skip", LineSkip},
    {"data file", DataFile},
    {"datafile", DataFile},
};

// A vector "(x,y,z)" of three finite numbers.
bool parseVector(std::string_view v, double* out)
{
  v = trimmed(v);
  if (v.size() < 2 || v.front() != '(' || v.back() != ')')
    return false;
  v = v.substr(1, v.size() - 2);
  for (int i = 0; i < 3; ++i) {
    const size_t comma = v.find(',');
    if ((i < 2) == (comma == std::string_view::npos) || !parseWhole(trimmed(v.substr(0, comma)), out[i]))
      return false;
    v = i < 2 ? v.substr(comma + 1) : std::string_view();
  }
  return true;
}

// Three vectors "(..) (..) (..)" into rows of m; "none" (an axis that is not in space) fails.
bool parseDirections(std::string_view v, double m[3][3])
{
  for (int a = 0; a < 3; ++a) {
    v = trimmed(v);
    const size_t close = v.find(')');
    if (close == std::string_view::npos || !parseVector(v.substr(0, close + 1), m[a]))
      return false;
    v = v.substr(close + 1);
  }
  return trimmed(v).empty();
}

struct Header {
  HeaderField fields[FIELDS];
  size_t dataStart = 0; // where attached samples start (after the empty line)
  bool ended = false;   // whether an empty line ended the header
};

bool parseHeader(const char* file, std::string_view text, Header& h, Report& report)
{
  size_t at = 0;
  std::string_view line;
  if (!nextLine(text, at, line) || line.size() != 8 || line.compare(0, 7, "NRRD000") != 0 || line[7] < '1' ||
      line[7] > '5')
    return report.fail(Report::Malformed, "%s: not a NRRD file (it must start with NRRD0001 to NRRD0005)", file);
  for (int number = 2; nextLine(text, at, line); ++number) {
    if (line.empty()) {
      h.ended = true;
      h.dataStart = at;
      break;
    }
    if (line.front() == '#')
      continue;
    size_t colon = line.find(": ");
    if (colon == std::string_view::npos && line.back() == ':')
      colon = line.size() - 1;
    const size_t pair = line.find(":=");
    if (pair != std::string_view::npos && (colon == std::string_view::npos || pair < colon))
      continue;
    if (colon == std::string_view::npos)
      return report.fail(Report::Malformed, "%s:%d: \"field: value\" expected", file, number);
    const std::string_view key = line.substr(0, colon);
    for (const FieldName& f : fieldNames)
      if (key == f.name)
        h.fields[f.id] = HeaderField{trimmed(line.substr(colon + 1)), number};
  }
  for (FieldId id : {Dimension, Type, Sizes, EncodingField})
    if (!h.fields[id].seen())
      return report.fail(Report::Malformed, "%s: the header has no \"%s\" field", file,
                         id == Dimension ? "dimension" : id == Type ? "type" : id == Sizes ? "sizes" : "encoding");
  return true;
}

// Where the samples start after skipping lines lines of text from offset in file.
bool skipLines(const char* header, const std::string& file, long long& offset, long long lines, Report& report)
{
  std::string text;
  if (!readHeaderText(file.c_str(), text, report)) {
    report.message = std::string(header) + ": data file " + report.message;
    return false;
  }
  size_t at = size_t(offset);
  std::string_view line;
  bool ended = false;
  for (long long n = 0; n < lines; ++n)
    if (!nextLine(text, at, line, &ended) || !ended)
      return report.fail(Report::Malformed, "%s: the data ends inside the %lld lines to skip", header, lines);
  offset = (long long)at;
  return true;
}

} // namespace

bool KEXGridIONRRD::readGrid(const char* fileName, KEXGrid& grid, Report& report)
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
  long long dimension = 0;
  if (!parseWhole(f[Dimension].value, dimension))
    return bad(Dimension, Report::Malformed, "the dimension is no integer:");
  if (dimension != 3)
    return bad(Dimension, Report::Unsupported, "only three-dimensional volumes are read, the dimension is");
  SampleSource s;
  const TypeName* type = nullptr;
  for (const TypeName& t : typeNames)
    if (f[Type].value == t.name)
      type = &t;
  if (!type)
    return bad(Type, Report::Unsupported, "samples of type uchar, short, ushort or float are read, not");
  s.type = type->type;
  long long sizes[3];
  if (!parseList(f[Sizes].value, sizes, 3))
    return bad(Sizes, Report::Malformed, "three integer sizes expected, not");
  s.nx = sizes[0], s.ny = sizes[1], s.nz = sizes[2];
  const std::string_view encoding = f[EncodingField].value;
  if (encoding == "gzip" || encoding == "gz")
    s.encoding = SampleSource::Gzip;
  else if (encoding != "raw")
    return bad(EncodingField, Report::Unsupported, "raw or gzip samples are read, not");
  if (f[Endian].seen()) {
    if (f[Endian].value != "little" && f[Endian].value != "big")
      return bad(Endian, Report::Malformed, "the endian is little or big, not");
    s.bigEndian = f[Endian].value == "big";
  } else if (kexSampleSize(s.type) > 1) {
    return report.fail(Report::Malformed, "%s: the header has no \"endian\" field (needed for %.*s samples)", file,
                       int(f[Type].value.size()), f[Type].value.data());
  }
  if (f[Directions].seen()) {
    double m[3][3];
    if (!parseDirections(f[Directions].value, m))
      return bad(Directions, Report::Malformed, "three space vectors (x,y,z) expected, not");
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b)
        if (a != b && m[a][b] != 0)
          return bad(Directions, Report::Unsupported, "only axes aligned with the space are read, not");
    for (int a = 0; a < 3; ++a) {
      if (m[a][a] == 0)
        return bad(Directions, Report::Malformed, "an axis without length in");
      if (m[a][a] < 0)
        return bad(Directions, Report::Unsupported, "flipped axes are not read:");
      s.spacing[a] = m[a][a];
    }
  } else if (f[Spacings].seen()) {
    if (!parseList(f[Spacings].value, s.spacing, 3) || !validSpacing(s.spacing[0]) || !validSpacing(s.spacing[1]) ||
        !validSpacing(s.spacing[2]))
      return bad(Spacings, Report::Malformed, "three positive spacings expected, not");
  }
  if (f[Origin].seen()) {
    double o[3];
    if (!parseVector(f[Origin].value, o))
      return bad(Origin, Report::Malformed, "a space origin (x,y,z) expected, not");
    s.origin = KEXVector3<double>(o[0], o[1], o[2]);
  }
  long long byteSkip = 0, lineSkip = 0;
  if (f[ByteSkip].seen() && (!parseWhole(f[ByteSkip].value, byteSkip) || byteSkip < -1))
    return bad(ByteSkip, Report::Malformed, "the byte skip is an integer of -1 or more, not");
  if (byteSkip == -1 && s.encoding != SampleSource::Raw)
    return bad(ByteSkip, Report::Malformed, "a byte skip of -1 (samples at the end) needs raw samples:");
  if (f[LineSkip].seen() && (!parseWhole(f[LineSkip].value, lineSkip) || lineSkip < 0))
    return bad(LineSkip, Report::Malformed, "the line skip is a non-negative integer, not");
  if (f[DataFile].seen()) {
    const std::string_view name = f[DataFile].value;
    if (name.empty() || name == "LIST" || name.substr(0, 5) == "LIST " ||
        (name.find('%') != std::string_view::npos && name.find(' ') != std::string_view::npos))
      return bad(DataFile, Report::Unsupported, "one data file is read, not a list or pattern:");
    s.file = siblingPath(file, name);
  } else if (!h.ended) {
    return report.fail(Report::Malformed, "%s: the header does not end (no empty line before the samples)", file);
  } else {
    s.file = file;
    s.offset = (long long)h.dataStart;
  }
  // Lines are skipped in the file as it is; bytes in the samples, after inflating them.
  if (lineSkip > 0 && !skipLines(file, s.file, s.offset, lineSkip, report))
    return false;
  if (s.encoding != SampleSource::Raw)
    s.inflatedSkip = byteSkip;
  else
    s.offset = byteSkip < 0 ? -1 : s.offset + byteSkip;
  return readSamples(file, s, grid, report);
}
