// STL reading and writing. A binary file is recognised by its size matching the triangle count in
// its header (an ascii-looking "solid" header does not decide it: many binary writers start their
// header with that word); a file starting with "solid" that fails the size test is read as text.
// A binary file whose count promises more triangles than the file holds is refused, never read
// past its end. Reads keep the soup the file stores; joining the copies of a vertex is the weld's.
// A text file may start with a UTF-8 byte order mark; a facet of fewer than three vertices is
// skipped with a warning, as the other readers skip such faces.
#include "TriangleMeshIOSTL.h"

#include "../common/MeshFileSupport.h"

#include <climits>
#include <cmath>
#include <vector>

using namespace kexmeshio;

KEXMESHIO_DEFINE_PLUGIN_CLASS(KEXTriangleMeshIOSTL, "kexmeshiostl")

namespace {

inline float loadFloatLE(const unsigned char* p)
{
  float f;
  std::memcpy(&f, p, 4);
  if (!hostIsLittleEndian())
    byteSwap(&f, 4);
  return f;
}

bool startsWithSolid(const InputFile& in)
{
  const char* p = in.text();
  const char* end = in.end();
  while (p < end && TextScanner::isSpace(*p))
    ++p;
  return end - p >= 5 && std::memcmp(p, "solid", 5) == 0 && (end - p == 5 || TextScanner::isSpace(p[5]));
}

bool readBinary(const InputFile& in, uint32_t count, KEXTriangleMeshBuffer& b, Report& report)
{
  if ((long long)count * 3 > INT_MAX)
    return report.fail(Report::Malformed, "%s: byte 80: too many triangles (%u)", in.name(), count);
  int t = int(count);
  if (!b.vertexList.setCount(3 * t) || !b.triangleList.setCount(t) || !b.triangleNormalList.setCount(t))
    return outOfMemory(report, in.name());
  Progress progress("Reading STL file", double(t));
  const unsigned char* p = reinterpret_cast<const unsigned char*>(in.data()) + 84;
  long long badNormals = 0;
  bool little = hostIsLittleEndian();
  for (int i = 0; i < t; ++i, p += 50) {
    float f[12];
    std::memcpy(f, p, 48);
    if (!little)
      for (float& x : f)
        byteSwap(&x, 4);
    for (int k = 3; k < 12; ++k)
      if (!std::isfinite(f[k])) {
        report.fail(Report::Malformed, "%s: byte %lld: triangle %d has a coordinate that is not a finite number",
                    in.name(), (long long)(84 + 50LL * i), i);
        return progress.finish(report);
      }
    KEXVector3<float> n(f[0], f[1], f[2]);
    if (!std::isfinite(n.x) || !std::isfinite(n.y) || !std::isfinite(n.z)) {
      n = KEXVector3<float>(0, 0, 0);
      ++badNormals;
    }
    b.triangleNormalList[i] = n;
    b.vertexList[3 * i] = KEXVector3<float>(f[3], f[4], f[5]);
    b.vertexList[3 * i + 1] = KEXVector3<float>(f[6], f[7], f[8]);
    b.vertexList[3 * i + 2] = KEXVector3<float>(f[9], f[10], f[11]);
    b.triangleList[i] = KEXTriangle<int>(3 * i, 3 * i + 1, 3 * i + 2);
    if (!progress.step(i + 1)) {
      stopped(report, in.name());
      return progress.finish(report);
    }
  }
  if (badNormals)
    report.warn("%s: %lld facet normals were not finite and were set to zero", in.name(), badNormals);
  return progress.finish(report);
}

bool readAscii(const InputFile& in, KEXTriangleMeshBuffer& b, Report& report)
{
  TextScanner s(in.text(), in.end(), in.name());
  Progress progress("Reading STL file", double(in.size()));
  Appender<KEXVector3<float>> vertices(b.vertexList);
  Appender<KEXTriangle<int>> triangles(b.triangleList);
  Appender<KEXVector3<float>> normals(b.triangleNormalList);
  std::string w;
  long long facets = 0, shortFacets = 0;
  auto fail = [&](const char* what) {
    s.fail(report, what);
    return progress.finish(report);
  };
  s.skipSpaceAndLines();
  while (!s.atEnd()) {
    if (!s.keyword("solid"))
      return fail("\"solid\" expected");
    s.nextLine(); // the name
    for (;;) {
      s.skipSpaceAndLines();
      if (s.atEnd())
        return fail("the file ends inside a solid (\"endsolid\" missing)");
      if (s.keyword("endsolid")) {
        s.nextLine();
        break;
      }
      if (!s.keyword("facet") || !s.keyword("normal"))
        return fail("\"facet normal\" expected");
      KEXVector3<float> n;
      if (!s.number(n.x) || !s.number(n.y) || !s.number(n.z))
        return fail("invalid facet normal (three finite numbers expected)");
      s.skipSpaceAndLines();
      if (!s.keyword("outer") || !s.keyword("loop"))
        return fail("\"outer loop\" expected");
      int first = vertices.count();
      int corners = 0;
      for (;;) {
        s.skipSpaceAndLines();
        if (s.keyword("endloop"))
          break;
        if (!s.keyword("vertex"))
          return fail("\"vertex\" or \"endloop\" expected");
        KEXVector3<float> v;
        if (!s.number(v.x) || !s.number(v.y) || !s.number(v.z))
          return fail("invalid vertex (three finite numbers expected)");
        if (!vertices.add(v))
          return outOfMemory(report, in.name()), progress.finish(report);
        ++corners;
      }
      if (corners < 3) {
        ++shortFacets;
        vertices.truncate(first);
      }
      for (int k = 1; k + 1 < corners; ++k)
        if (!triangles.add(KEXTriangle<int>(first, first + k, first + k + 1)) || !normals.add(n))
          return outOfMemory(report, in.name()), progress.finish(report);
      s.skipSpaceAndLines();
      if (!s.keyword("endfacet"))
        return fail("\"endfacet\" expected");
      if ((++facets & 4095) == 0 && !progress.add(4096.0 * 250.0)) {
        stopped(report, in.name());
        return progress.finish(report);
      }
    }
    s.skipSpaceAndLines();
  }
  vertices.finish();
  triangles.finish();
  normals.finish();
  warnShortFaces(report, in.name(), shortFacets);
  return progress.finish(report);
}

} // namespace

bool KEXTriangleMeshIOSTL::readBuffer(const char* fileName, KEXTriangleMeshBuffer& buffer, Report& report)
{
  report.clear();
  InputFile in;
  if (!loadNonEmpty(in, fileName, report))
    return false;
  KEXTriangleMeshBuffer result;
  bool ok;
  uint32_t count = 0;
  if (in.size() >= 84) {
    std::memcpy(&count, in.data() + 80, 4);
    if (!hostIsLittleEndian())
      byteSwap(&count, 4);
  }
  bool sizeFits = in.size() >= 84 && 84 + 50LL * count == in.size();
  if (sizeFits) {
    ok = readBinary(in, count, result, report);
  } else if (startsWithSolid(in)) {
    ok = readAscii(in, result, report);
  } else if (in.size() < 84) {
    return report.fail(Report::Malformed, "%s: byte %lld: too short for a binary STL file and not an ascii one",
                       in.name(), (long long)in.size());
  } else if (84 + 50LL * count > in.size()) {
    return report.fail(Report::Malformed,
                       "%s: byte 80: the header declares %u triangles (%lld bytes), the file has only %lld bytes",
                       in.name(), count, 84 + 50LL * count, (long long)in.size());
  } else {
    report.warn("%s: %lld bytes after the last triangle were ignored", in.name(),
                (long long)(in.size() - 84 - 50LL * count));
    ok = readBinary(in, count, result, report);
  }
  if (!ok)
    return false;
  buffer.swap(result);
  return true;
}

namespace {

KEXVector3<float> facetNormal(const KEXTriangleMeshBuffer& b, int i)
{
  if (b.hasTriangleNormalList()) {
    KEXVector3<float> n = b.triangleNormalList[i];
    double l = std::sqrt(double(n.x) * n.x + double(n.y) * n.y + double(n.z) * n.z);
    if (l > 0 && std::isfinite(l))
      return KEXVector3<float>(float(n.x / l), float(n.y / l), float(n.z / l));
    return KEXVector3<float>(0, 0, 0);
  }
  const KEXTriangle<int>& t = b.triangleList[i];
  KEXVector3<double> a(b.vertexList[t[0]]), c(b.vertexList[t[1]]), d(b.vertexList[t[2]]);
  KEXVector3<double> n = (c - a).cross(d - a);
  double l = n.length();
  if (!(l > 0) || !std::isfinite(l))
    return KEXVector3<float>(0, 0, 0);
  return KEXVector3<float>(float(n.x / l), float(n.y / l), float(n.z / l));
}

} // namespace

bool KEXTriangleMeshIOSTL::writeBuffer(const char* fileName, const KEXTriangleMeshBuffer& b, Report& report)
{
  report.clear();
  if (!checkWritable(b, fileName, report))
    return false;
  bool ascii = getEncoding() == Ascii;
  warnFaceColoursDropped(report, b, fileName);
  int nt = b.getTriangleCount();
  OutputFile out;
  if (!out.open(fileName, report))
    return false;
  Progress progress("Writing STL file", double(nt));
  bool stop = false;
  std::vector<char> chunkStorage(1 << 16);
  char* chunk = chunkStorage.data();
  const size_t chunkSize = chunkStorage.size();
  size_t fill = 0;
  auto flushChunk = [&]() {
    out.put(chunk, fill);
    fill = 0;
  };
  if (ascii) {
    out.put("solid kexmesh\n");
    for (int i = 0; i < nt && !stop; ++i) {
      if (fill > chunkSize - 512)
        flushChunk();
      char* p = chunk + fill;
      KEXVector3<float> n = facetNormal(b, i);
      p = (char*)std::memcpy(p, "facet normal ", 13) + 13;
      p = formatFloat(p, n.x), *p++ = ' ';
      p = formatFloat(p, n.y), *p++ = ' ';
      p = formatFloat(p, n.z);
      p = (char*)std::memcpy(p, "\n outer loop\n", 13) + 13;
      for (int k = 0; k < 3; ++k) {
        const KEXVector3<float>& v = b.vertexList[b.triangleList[i][k]];
        p = (char*)std::memcpy(p, "  vertex ", 9) + 9;
        p = formatFloat(p, v.x), *p++ = ' ';
        p = formatFloat(p, v.y), *p++ = ' ';
        p = formatFloat(p, v.z), *p++ = '\n';
      }
      p = (char*)std::memcpy(p, " endloop\nendfacet\n", 18) + 18;
      fill = size_t(p - chunk);
      stop = !progress.step(i + 1);
    }
    flushChunk();
    out.put("endsolid kexmesh\n");
  } else {
    char header[84] = "binary STL written by kexmesh";
    uint32_t count = uint32_t(nt);
    std::memcpy(header + 80, &count, 4);
    if (!hostIsLittleEndian())
      byteSwap(header + 80, 4);
    out.put(header, 84);
    bool little = hostIsLittleEndian();
    for (int i = 0; i < nt && !stop; ++i) {
      if (fill > chunkSize - 50)
        flushChunk();
      float f[12];
      KEXVector3<float> n = facetNormal(b, i);
      f[0] = n.x, f[1] = n.y, f[2] = n.z;
      for (int k = 0; k < 3; ++k) {
        const KEXVector3<float>& v = b.vertexList[b.triangleList[i][k]];
        f[3 + 3 * k] = v.x, f[4 + 3 * k] = v.y, f[5 + 3 * k] = v.z;
      }
      if (!little)
        for (float& x : f)
          byteSwap(&x, 4);
      std::memcpy(chunk + fill, f, 48);
      chunk[fill + 48] = chunk[fill + 49] = 0;
      fill += 50;
      stop = !progress.step(i + 1);
    }
    flushChunk();
  }
  if (stop)
    stopped(report, fileName);
  else
    out.commit(report);
  return progress.finish(report);
}
