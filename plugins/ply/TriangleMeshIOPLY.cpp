// PLY reading and writing. The header is parsed into elements and typed properties; the body is
// then decoded element by element, ascii by tokens or binary by records, with every property routed
// to its target (position, normal, colour, face indices) or skipped. Binary records of fixed size
// are decoded without per-byte bookkeeping, which keeps large files at memory speed.
//
// Nothing from the header is trusted: each element's count times its smallest possible record
// must fit in the bytes that follow before anything is allocated for it, every face index is
// checked against the vertex count, and the buffer is replaced only once the whole file was read.
//
// Writers do not agree on the name of the face's index list: vertex_indices and vertex_index are
// both common, and a face element's only integer list is its indices whatever its name. A face
// element with records but no such list is refused rather than read as a mesh without faces.
#include "TriangleMeshIOPLY.h"

#include "../common/MeshFileSupport.h"

#include <climits>
#include <vector>

using namespace kexmeshio;

KEXMESHIO_DEFINE_PLUGIN_CLASS(KEXTriangleMeshIOPLY, "kexmeshioply")

namespace {

enum Type { NoType, Int8, UInt8, Int16, UInt16, Int32, UInt32, Float32, Float64 };
enum Target { Skip, X, Y, Z, NX, NY, NZ, Red, Green, Blue, Alpha, Indices };
enum Format { Ascii, BinaryLE, BinaryBE };

int typeSize(Type t)
{
  static const int sizes[] = {0, 1, 1, 2, 2, 4, 4, 4, 8};
  return sizes[t];
}

Type parseType(const std::string& s)
{
  if (s == "char" || s == "int8")
    return Int8;
  if (s == "uchar" || s == "uint8")
    return UInt8;
  if (s == "short" || s == "int16")
    return Int16;
  if (s == "ushort" || s == "uint16")
    return UInt16;
  if (s == "int" || s == "int32")
    return Int32;
  if (s == "uint" || s == "uint32")
    return UInt32;
  if (s == "float" || s == "float32")
    return Float32;
  if (s == "double" || s == "float64")
    return Float64;
  return NoType;
}

struct Property {
  std::string name;
  Type type = NoType;
  Type countType = NoType; // a list when set
  Target target = Skip;
};

struct Element {
  std::string name;
  long long count = 0;
  std::vector<Property> properties;
  bool isVertex = false, isFace = false;
  int fixedSize = 0;  // record size when every property is scalar, else 0
  int minimumSize = 0; // smallest possible binary record
};

Target vertexTarget(const std::string& n)
{
  static const char* names[] = {"x", "y", "z", "nx", "ny", "nz", "red", "green", "blue", "alpha"};
  static const Target targets[] = {X, Y, Z, NX, NY, NZ, Red, Green, Blue, Alpha};
  for (int i = 0; i < 10; ++i)
    if (n == names[i])
      return targets[i];
  if (n == "r")
    return Red;
  if (n == "g")
    return Green;
  if (n == "b")
    return Blue;
  if (n == "a")
    return Alpha;
  return Skip;
}

bool isInteger(Type t) { return t != NoType && t != Float32 && t != Float64; }

// Finds the index list of a face element: one named as expected, else its only list when that
// holds integers. True when found, or when there is nothing to find (no records).
bool resolveFaceIndices(Element& e)
{
  Property* only = nullptr;
  int lists = 0;
  for (Property& p : e.properties) {
    if (p.target == Indices)
      return true;
    if (p.countType != NoType) {
      only = &p;
      ++lists;
    }
  }
  if (lists == 1 && isInteger(only->type)) {
    only->target = Indices;
    return true;
  }
  return e.count == 0;
}

struct Header {
  Format format = Ascii;
  std::vector<Element> elements;
  const char* bodyStart = nullptr;
  long long bodyLine = 0;
};

bool parseHeader(TextScanner& s, Header& h, Report& report)
{
  if (!s.keyword("ply") || !s.atLineEnd())
    return report.fail(Report::Malformed, "%s:1: not a PLY file (the first line must be \"ply\")", s.file());
  s.nextLine();
  bool haveFormat = false;
  std::string w;
  for (;;) {
    if (s.atEnd())
      return s.fail(report, "the header ends without end_header");
    if (!s.word(w)) {
      s.nextLine();
      continue;
    }
    if (w == "comment" || w == "obj_info") {
      s.nextLine();
      continue;
    }
    if (w == "end_header") {
      // The body starts right after this line's end (a single \n, \r\n or \r).
      s.nextLine();
      h.bodyStart = s.position();
      h.bodyLine = s.line();
      break;
    }
    if (w == "format") {
      std::string f, version;
      s.word(f);
      s.word(version);
      if (f == "ascii")
        h.format = Ascii;
      else if (f == "binary_little_endian")
        h.format = BinaryLE;
      else if (f == "binary_big_endian")
        h.format = BinaryBE;
      else
        return s.fail(report, "unknown PLY format (ascii, binary_little_endian or binary_big_endian expected)");
      if (version != "1.0")
        return s.fail(report, "unsupported PLY version (1.0 expected)");
      haveFormat = true;
    } else if (w == "element") {
      Element e;
      long long count;
      if (!s.word(e.name) || !s.integer(count) || count < 0)
        return s.fail(report, "malformed element line (\"element <name> <count>\" expected)");
      e.count = count;
      e.isVertex = e.name == "vertex";
      e.isFace = e.name == "face";
      for (const Element& other : h.elements)
        if (other.name == e.name && (e.isVertex || e.isFace))
          return s.fail(report, "element declared twice");
      h.elements.push_back(e);
    } else if (w == "property") {
      if (h.elements.empty())
        return s.fail(report, "property before any element");
      Element& e = h.elements.back();
      Property p;
      std::string t;
      s.word(t);
      if (t == "list") {
        std::string ct, it;
        s.word(ct);
        s.word(it);
        p.countType = parseType(ct);
        p.type = parseType(it);
        if (p.countType == NoType || p.type == NoType || p.countType == Float32 || p.countType == Float64)
          return s.fail(report, "malformed list property");
      } else {
        p.type = parseType(t);
        if (p.type == NoType)
          return s.fail(report, "unknown property type");
      }
      if (!s.word(p.name))
        return s.fail(report, "property without a name");
      if (e.isVertex && p.countType == NoType)
        p.target = vertexTarget(p.name);
      if (e.isFace && p.countType == NoType) {
        Target t = vertexTarget(p.name);
        if (t >= Red && t <= Alpha)
          p.target = t; // a face colour
      }
      if (e.isFace && p.countType != NoType && (p.name == "vertex_indices" || p.name == "vertex_index")) {
        if (!isInteger(p.type))
          return s.fail(report, "face indices must be integers");
        p.target = Indices;
      }
      for (const Property& q : e.properties)
        if (q.target != Skip && q.target == p.target)
          return s.fail(report, "property declared twice");
      e.properties.push_back(p);
    } else {
      return s.fail(report, "unknown header keyword");
    }
    if (!s.atLineEnd())
      return s.fail(report, "unexpected text at the end of a header line");
    s.nextLine();
  }
  if (!haveFormat)
    return report.fail(Report::Malformed, "%s: the PLY header has no format line", s.file());
  for (Element& e : h.elements) {
    bool fixed = true;
    for (const Property& p : e.properties) {
      if (p.countType != NoType) {
        fixed = false;
        e.minimumSize += typeSize(p.countType);
      } else {
        e.minimumSize += typeSize(p.type);
      }
    }
    e.fixedSize = fixed ? e.minimumSize : 0;
    if (e.isFace && !resolveFaceIndices(e))
      return report.fail(Report::Malformed,
                         "%s: the face element has no list of vertex indices (an integer list named "
                         "vertex_indices or vertex_index, or the face's only list, expected)",
                         s.file());
    if (e.isVertex) {
      bool x = false, y = false, z = false;
      for (const Property& p : e.properties) {
        x |= p.target == X;
        y |= p.target == Y;
        z |= p.target == Z;
      }
      if (!(x && y && z))
        return report.fail(Report::Malformed, "%s: the vertex element lacks x, y or z", s.file());
    }
  }
  return true;
}

template <class T>
inline T load(const unsigned char* p)
{
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Value of a binary scalar as double (swap: other byte order than the host).
inline double binaryValue(const unsigned char* p, Type t, bool swap)
{
  unsigned char b[8];
  int n = typeSize(t);
  if (swap) {
    for (int i = 0; i < n; ++i)
      b[i] = p[n - 1 - i];
    p = b;
  }
  switch (t) {
  case Int8: return double(load<int8_t>(p));
  case UInt8: return double(load<uint8_t>(p));
  case Int16: return double(load<int16_t>(p));
  case UInt16: return double(load<uint16_t>(p));
  case Int32: return double(load<int32_t>(p));
  case UInt32: return double(load<uint32_t>(p));
  case Float32: return double(load<float>(p));
  case Float64: return load<double>(p);
  default: return 0.0;
  }
}

float colourValue(double v, Type t)
{
  if (t == UInt8)
    return float(v / 255.0);
  if (t == UInt16)
    return float(v / 65535.0);
  return float(v);
}

// Decoded target values of one vertex record.
struct VertexSink {
  KEXTriangleMeshBuffer& b;
  bool normals, colours;
  float values[12];
  void store(int i)
  {
    b.vertexList[i] = KEXVector3<float>(values[X], values[Y], values[Z]);
    if (normals)
      b.vertexNormalList[i] = KEXVector3<float>(values[NX], values[NY], values[NZ]);
    if (colours)
      b.vertexColorList[i] = KEXRGBA<float>(values[Red], values[Green], values[Blue], values[Alpha]);
  }
};

class Reader {
public:
  Reader(const InputFile& in, const Header& h, KEXTriangleMeshBuffer& b, Report& r, double total)
      : m_in(in), m_h(h), m_b(b), m_r(r), m_progress("Reading PLY file", total)
  {
  }
  bool read();
  Progress& progress() { return m_progress; }

private:
  bool prepareVertices(const Element& e);
  bool readBinaryElement(const Element& e, const unsigned char*& p, const unsigned char* end);
  bool readAsciiElement(const Element& e, TextScanner& s);
  bool addFace(const long long* idx, int n, long long record, const char* where);
  bool failAt(const unsigned char* p, const char* format, long long a = 0, long long b = 0)
  {
    char what[256];
    std::snprintf(what, sizeof what, format, a, b);
    return m_r.fail(Report::Malformed, "%s: byte %lld: %s", m_in.name(), (long long)(p - base()), what);
  }
  const unsigned char* base() const { return reinterpret_cast<const unsigned char*>(m_in.data()); }

  const InputFile& m_in;
  const Header& m_h;
  KEXTriangleMeshBuffer& m_b;
  Report& m_r;
  Progress m_progress;
  long long m_vertexCount = 0;
  int m_triangles = 0;
  long long m_skippedFaces = 0;
  bool m_normals = false, m_colours = false;
  bool m_faceColours = false;
  Appender<KEXRGBA<float>> m_triangleColours{m_b.triangleColorList};
  // Gives the triangles made from one face (from index first on) that face's colour.
  bool colourFace(int first, const float* c)
  {
    for (int t = first; t < m_triangles; ++t)
      if (!m_triangleColours.add(KEXRGBA<float>(c[0], c[1], c[2], c[3])))
        return outOfMemory(m_r, m_in.name());
    return true;
  }
  void detectFaceColours(const Element& e)
  {
    for (const Property& q : e.properties)
      m_faceColours |= e.isFace && q.target >= Red && q.target <= Alpha;
  }
};

bool Reader::prepareVertices(const Element& e)
{
  for (const Property& p : e.properties) {
    m_normals |= p.target == NX || p.target == NY || p.target == NZ;
    m_colours |= p.target == Red || p.target == Green || p.target == Blue;
  }
  int n = int(e.count);
  if (!m_b.vertexList.setCount(n) || (m_normals && !m_b.vertexNormalList.setCount(n)) ||
      (m_colours && !m_b.vertexColorList.setCount(n)))
    return outOfMemory(m_r, m_in.name());
  return true;
}

bool Reader::addFace(const long long* idx, int n, long long record, const char* where)
{
  if (n < 3) {
    ++m_skippedFaces;
    return true;
  }
  for (int k = 0; k < n; ++k) {
    if (idx[k] < 0 || idx[k] >= m_vertexCount) {
      return m_r.fail(Report::Malformed, "%s%s: face %lld refers to vertex %lld, the file has %lld vertices",
                      m_in.name(), where, record, idx[k], m_vertexCount);
    }
  }
  int needed = n - 2;
  if (m_triangles > INT_MAX - needed)
    return outOfMemory(m_r, m_in.name());
  if (m_triangles + needed > m_b.triangleList.getCount()) {
    long long grow = (long long)m_b.triangleList.getCount() * 2 + needed;
    if (grow > INT_MAX)
      grow = INT_MAX;
    if (!m_b.triangleList.setCount(int(grow)))
      return outOfMemory(m_r, m_in.name());
  }
  KEXTriangle<int>* t = m_b.triangleList.getData() + m_triangles;
  for (int k = 1; k + 1 < n; ++k)
    *t++ = KEXTriangle<int>(int(idx[0]), int(idx[k]), int(idx[k + 1]));
  m_triangles += needed;
  return true;
}

bool Reader::readBinaryElement(const Element& e, const unsigned char*& p, const unsigned char* end)
{
  bool swap = (m_h.format == BinaryLE) != hostIsLittleEndian();
  long long available = end - p;
  if (e.minimumSize == 0) {
    if (e.count > 0 && !e.properties.empty())
      return failAt(p, "element has records of no size");
    return true;
  }
  if (e.count > available / e.minimumSize)
    return failAt(p, "the header declares %lld records, the file ends before (truncated file?)", e.count);
  if (e.count > INT_MAX)
    return failAt(p, "too many records (%lld)", e.count);
  if (e.isVertex) {
    if (!prepareVertices(e))
      return false;
    VertexSink sink{m_b, m_normals, m_colours, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1.0f, 0}};
    // Fast path: fixed records of little-endian floats x y z first (the common layout).
    bool plain = e.fixedSize > 0 && !swap;
    for (const Property& q : e.properties)
      plain &= q.target == Skip || q.type == Float32;
    if (plain) {
      int off = 0;
      std::vector<std::pair<int, Target>> used;
      for (const Property& q : e.properties) {
        if (q.target != Skip)
          used.emplace_back(off, q.target);
        off += typeSize(q.type);
      }
      for (long long i = 0; i < e.count; ++i) {
        for (const auto& [o, t] : used)
          std::memcpy(&sink.values[t], p + o, 4);
        for (int t = X; t <= Z; ++t)
          if (!std::isfinite(sink.values[t]))
            return failAt(p, "vertex %lld has a coordinate that is not a finite number", i);
        sink.store(int(i));
        p += e.fixedSize;
        if (!m_progress.step(i + 1))
          return stopped(m_r, m_in.name());
      }
      return true;
    }
    for (long long i = 0; i < e.count; ++i) {
      const unsigned char* record = p;
      for (const Property& q : e.properties) {
        if (q.countType != NoType) {
          if (end - p < typeSize(q.countType))
            return failAt(p, "the file ends inside vertex %lld", i);
          double c = binaryValue(p, q.countType, swap);
          p += typeSize(q.countType);
          if (c < 0 || c * typeSize(q.type) > double(end - p))
            return failAt(p, "list of vertex %lld runs past the end of the file", i);
          p += (long long)c * typeSize(q.type);
          continue;
        }
        if (end - p < typeSize(q.type))
          return failAt(p, "the file ends inside vertex %lld", i);
        double v = binaryValue(p, q.type, swap);
        p += typeSize(q.type);
        if (q.target >= Red && q.target <= Alpha)
          sink.values[q.target] = colourValue(v, q.type);
        else if (q.target != Skip)
          sink.values[q.target] = float(v);
      }
      for (int t = X; t <= Z; ++t)
        if (!std::isfinite(sink.values[t]))
          return failAt(record, "vertex %lld has a coordinate that is not a finite number", i);
      sink.store(int(i));
      if (!m_progress.step(i + 1))
        return stopped(m_r, m_in.name());
    }
    return true;
  }
  // Faces and other elements: walk records, lists included.
  bool face = e.isFace;
  if (face && m_b.triangleList.getCount() < int(e.count) && !m_b.triangleList.setCount(int(e.count)))
    return outOfMemory(m_r, m_in.name());
  // Fast path: "list uchar int|uint vertex_indices" alone, triangles, host byte order.
  bool plainFaces = face && e.properties.size() == 1 && e.properties[0].target == Indices &&
                    e.properties[0].countType == UInt8 &&
                    (e.properties[0].type == Int32 || e.properties[0].type == UInt32) && !swap;
  long long idx[3];
  detectFaceColours(e);
  for (long long i = 0; i < e.count; ++i) {
    const unsigned char* record = p;
    float faceColour[4] = {1, 1, 1, 1};
    int firstTriangle = m_triangles;
    if (plainFaces && end - p >= 13 && p[0] == 3) {
      int32_t v[3];
      std::memcpy(v, p + 1, 12);
      uint32_t vc = uint32_t(m_vertexCount);
      if (uint32_t(v[0]) < vc && uint32_t(v[1]) < vc && uint32_t(v[2]) < vc && m_triangles < m_b.triangleList.getCount()) {
        m_b.triangleList[m_triangles++] = KEXTriangle<int>(v[0], v[1], v[2]);
        p += 13;
        if (!m_progress.step(i + 1))
          return stopped(m_r, m_in.name());
        continue;
      }
    }
    for (const Property& q : e.properties) {
      if (q.countType == NoType) {
        if (end - p < typeSize(q.type))
          return failAt(p, "the file ends inside record %lld", i);
        if (q.target >= Red && q.target <= Alpha)
          faceColour[q.target - Red] = colourValue(binaryValue(p, q.type, swap), q.type);
        p += typeSize(q.type);
        continue;
      }
      if (end - p < typeSize(q.countType))
        return failAt(p, "the file ends inside record %lld", i);
      double c = binaryValue(p, q.countType, swap);
      p += typeSize(q.countType);
      int size = typeSize(q.type);
      if (c < 0 || c * size > double(end - p))
        return failAt(record, "the list of record %lld runs past the end of the file", i);
      long long n = (long long)c;
      if (q.target == Indices) {
        if (n <= 3) {
          for (long long k = 0; k < n; ++k)
            idx[k] = (long long)binaryValue(p + k * size, q.type, swap);
          char where[48];
          std::snprintf(where, sizeof where, ": byte %lld", (long long)(record - base()));
          if (!addFace(idx, int(n), i, where))
            return false;
        } else {
          std::vector<long long> all((size_t(n)));
          for (long long k = 0; k < n; ++k)
            all[size_t(k)] = (long long)binaryValue(p + k * size, q.type, swap);
          char where[48];
          std::snprintf(where, sizeof where, ": byte %lld", (long long)(record - base()));
          if (!addFace(all.data(), int(n), i, where))
            return false;
        }
      }
      p += n * size;
    }
    if (m_faceColours && !colourFace(firstTriangle, faceColour))
      return false;
    if (!m_progress.step(i + 1))
      return stopped(m_r, m_in.name());
  }
  return true;
}

bool Reader::readAsciiElement(const Element& e, TextScanner& s)
{
  // Each value takes at least two characters ("0 "), so the count is bounded by the bytes left.
  long long minChars = 2 * (long long)e.properties.size();
  if (minChars == 0)
    return true;
  if (e.count > (s.remaining() + 1) / minChars || e.count > INT_MAX)
    return s.fail(m_r, "the header declares more records than the file can hold (truncated file?)");
  if (e.isVertex && !prepareVertices(e))
    return false;
  if (e.isFace && m_b.triangleList.getCount() < int(e.count) && !m_b.triangleList.setCount(int(e.count)))
    return outOfMemory(m_r, m_in.name());
  VertexSink sink{m_b, m_normals, m_colours, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1.0f, 0}};
  std::vector<long long> corners;
  detectFaceColours(e);
  for (long long i = 0; i < e.count; ++i) {
    s.skipSpaceAndLines();
    long long line = s.line();
    float faceColour[4] = {1, 1, 1, 1};
    int firstTriangle = m_triangles;
    for (const Property& q : e.properties) {
      s.skipSpaceAndLines();
      if (s.atEnd())
        return s.fail(m_r, "the file ends before all records declared in the header were read");
      if (q.countType != NoType) {
        long long n;
        if (!s.integer(n) || n < 0 || n > s.remaining())
          return s.fail(m_r, "invalid list length");
        if (q.target == Indices)
          corners.resize(size_t(n));
        for (long long k = 0; k < n; ++k) {
          s.skipSpaceAndLines();
          long long v;
          float f;
          if (q.type == Float32 || q.type == Float64) {
            if (!s.number(f))
              return s.fail(m_r, "invalid number");
          } else if (!s.integer(v)) {
            return s.fail(m_r, "invalid integer");
          } else if (q.target == Indices) {
            corners[size_t(k)] = v;
          }
        }
        if (q.target == Indices) {
          char where[48];
          std::snprintf(where, sizeof where, ":%lld", line);
          if (!addFace(corners.data(), int(n), i, where))
            return false;
        }
        continue;
      }
      if (q.type == Float32 || q.type == Float64) {
        float f;
        if (!s.number(f))
          return s.fail(m_r, "invalid number (NaN and infinities are not accepted)");
        if (q.target != Skip)
          sink.values[q.target] = q.target >= Red ? colourValue(f, q.type) : f;
        if (e.isFace && q.target >= Red && q.target <= Alpha)
          faceColour[q.target - Red] = colourValue(f, q.type);
      } else {
        long long v;
        if (!s.integer(v))
          return s.fail(m_r, "invalid integer");
        if (q.target != Skip)
          sink.values[q.target] = q.target >= Red ? colourValue(double(v), q.type) : float(v);
        if (e.isFace && q.target >= Red && q.target <= Alpha)
          faceColour[q.target - Red] = colourValue(double(v), q.type);
      }
    }
    if (e.isVertex)
      sink.store(int(i));
    if (e.isFace && m_faceColours && !colourFace(firstTriangle, faceColour))
      return false;
    if (!m_progress.step(i + 1))
      return stopped(m_r, m_in.name());
  }
  return true;
}

bool Reader::read()
{
  for (const Element& e : m_h.elements)
    if (e.isVertex)
      m_vertexCount = e.count;
  if (m_vertexCount > INT_MAX)
    return m_r.fail(Report::Malformed, "%s: too many vertices (%lld)", m_in.name(), m_vertexCount);
  if (m_h.format == Ascii) {
    const char* end = m_in.data() + m_in.size();
    TextScanner s(m_h.bodyStart, end, m_in.name());
    s.setLine(m_h.bodyLine);
    for (const Element& e : m_h.elements)
      if (!readAsciiElement(e, s))
        return false;
  } else {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(m_h.bodyStart);
    const unsigned char* end = base() + m_in.size();
    for (const Element& e : m_h.elements)
      if (!readBinaryElement(e, p, end))
        return false;
  }
  m_b.triangleList.setCount(m_triangles);
  if (m_faceColours)
    m_triangleColours.finish();
  warnShortFaces(m_r, m_in.name(), m_skippedFaces);
  return true;
}

} // namespace

bool KEXTriangleMeshIOPLY::readBuffer(const char* fileName, KEXTriangleMeshBuffer& buffer, Report& report)
{
  report.clear();
  InputFile in;
  if (!loadNonEmpty(in, fileName, report))
    return false;
  TextScanner header(in.text(), in.end(), in.name());
  Header h;
  if (!parseHeader(header, h, report))
    return false;
  KEXTriangleMeshBuffer result;
  double total = 0;
  for (const Element& e : h.elements)
    total += double(e.count);
  Reader reader(in, h, result, report, total);
  bool ok = reader.read();
  ok = reader.progress().finish(report) && ok;
  if (!ok)
    return false;
  buffer.swap(result);
  return true;
}

namespace {

class Writer {
public:
  Writer(OutputFile& out) : m_out(out) {}
  char* reserve(size_t n)
  {
    if (m_fill + n > sizeof m_chunk)
      flush();
    return m_chunk + m_fill;
  }
  void commit(char* p) { m_fill = size_t(p - m_chunk); }
  bool flush()
  {
    bool ok = m_out.put(m_chunk, m_fill);
    m_fill = 0;
    return ok;
  }

private:
  OutputFile& m_out;
  char m_chunk[1 << 16];
  size_t m_fill = 0;
};

template <class T>
inline char* store(char* p, T v, bool swap)
{
  std::memcpy(p, &v, sizeof v);
  if (swap)
    byteSwap(p, sizeof v);
  return p + sizeof v;
}

} // namespace

bool KEXTriangleMeshIOPLY::writeBuffer(const char* fileName, const KEXTriangleMeshBuffer& b, Report& report)
{
  report.clear();
  if (!checkWritable(b, fileName, report))
    return false;
  Encoding enc = getEncoding() == DefaultEncoding ? BinaryLittleEndian : getEncoding();
  int nv = b.getVertexCount(), nt = b.getTriangleCount();
  bool normals = b.hasVertexNormalList(), colours = b.hasVertexColorList();
  bool faceColours = b.hasTriangleColorList();
  OutputFile out;
  if (!out.open(fileName, report))
    return false;
  Progress progress("Writing PLY file", double(nv) + double(nt));
  std::string h = "ply\nformat ";
  h += enc == Ascii ? "ascii" : (enc == BinaryBigEndian ? "binary_big_endian" : "binary_little_endian");
  h += " 1.0\ncomment written by kexmesh\nelement vertex " + std::to_string(nv) +
       "\nproperty float x\nproperty float y\nproperty float z\n";
  if (normals)
    h += "property float nx\nproperty float ny\nproperty float nz\n";
  if (colours)
    h += "property uchar red\nproperty uchar green\nproperty uchar blue\nproperty uchar alpha\n";
  if (nt > 0)
    h += "element face " + std::to_string(nt) + "\nproperty list uchar int vertex_indices\n";
  if (nt > 0 && faceColours)
    h += "property uchar red\nproperty uchar green\nproperty uchar blue\nproperty uchar alpha\n";
  h += "end_header\n";
  out.put(h.c_str(), h.size());
  Writer w(out);
  bool swap = (enc == BinaryBigEndian) == hostIsLittleEndian();
  bool stop = false;
  for (int i = 0; i < nv && !stop; ++i) {
    const KEXVector3<float>& v = b.vertexList[i];
    char* p = w.reserve(128);
    if (enc == Ascii) {
      p = formatFloat(p, v.x);
      *p++ = ' ';
      p = formatFloat(p, v.y);
      *p++ = ' ';
      p = formatFloat(p, v.z);
      if (normals) {
        const KEXVector3<float>& n = b.vertexNormalList[i];
        for (float f : {n.x, n.y, n.z}) {
          *p++ = ' ';
          p = formatFloat(p, f);
        }
      }
      if (colours) {
        KEXRGBA<unsigned char> c(b.vertexColorList[i]);
        for (int x : {c.r, c.g, c.b, c.a}) {
          *p++ = ' ';
          p = formatInt(p, x);
        }
      }
      *p++ = '\n';
    } else {
      p = store(p, v.x, swap);
      p = store(p, v.y, swap);
      p = store(p, v.z, swap);
      if (normals) {
        const KEXVector3<float>& n = b.vertexNormalList[i];
        p = store(p, n.x, swap);
        p = store(p, n.y, swap);
        p = store(p, n.z, swap);
      }
      if (colours) {
        KEXRGBA<unsigned char> c(b.vertexColorList[i]);
        *p++ = char(c.r);
        *p++ = char(c.g);
        *p++ = char(c.b);
        *p++ = char(c.a);
      }
    }
    w.commit(p);
    stop = !progress.step(i + 1);
  }
  for (int i = 0; i < nt && !stop; ++i) {
    const KEXTriangle<int>& t = b.triangleList[i];
    char* p = w.reserve(64);
    if (enc == Ascii) {
      *p++ = '3';
      for (int k = 0; k < 3; ++k) {
        *p++ = ' ';
        p = formatInt(p, t[k]);
      }
      if (faceColours) {
        KEXRGBA<unsigned char> c(b.triangleColorList[i]);
        for (int x : {c.r, c.g, c.b, c.a}) {
          *p++ = ' ';
          p = formatInt(p, x);
        }
      }
      *p++ = '\n';
    } else {
      *p++ = 3;
      for (int k = 0; k < 3; ++k)
        p = store(p, int32_t(t[k]), swap);
      if (faceColours) {
        KEXRGBA<unsigned char> c(b.triangleColorList[i]);
        *p++ = char(c.r);
        *p++ = char(c.g);
        *p++ = char(c.b);
        *p++ = char(c.a);
      }
    }
    w.commit(p);
    stop = !progress.step(i + 1);
  }
  if (stop)
    stopped(report, fileName);
  else if (!w.flush() || !out.commit(report))
    report.fail(Report::WriteFailed, "%s: write failed", fileName);
  return progress.finish(report);
}
