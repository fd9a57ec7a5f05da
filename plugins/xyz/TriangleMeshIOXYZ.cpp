// Oriented point clouds as text, one point per line: "x y z" or "x y z nx ny nz". The first data
// line fixes the column count for the whole file. A first line holding a single integer is taken
// as the point count and must match. A UTF-8 byte order mark before the first line is read past.
#include "TriangleMeshIOXYZ.h"

#include "../common/MeshFileSupport.h"

using namespace kexmeshio;

KEXMESHIO_DEFINE_PLUGIN_CLASS(KEXTriangleMeshIOXYZ, "kexmeshioxyz")

namespace {

bool readXYZ(const InputFile& in, KEXTriangleMeshBuffer& b, Report& report)
{
  TextScanner s(in.text(), in.end(), in.name());
  s.setCommentCharacter('#');
  Progress progress("Reading XYZ file", double(in.size()));
  Appender<KEXVector3<float>> points(b.vertexList);
  Appender<KEXVector3<float>> normals(b.vertexNormalList);
  auto fail = [&](const char* what) {
    s.fail(report, what);
    return progress.finish(report);
  };
  long long declared = -1;
  s.skipEmptyLines('#');
  {
    // An optional count line: exactly one integer.
    const char* start = s.position();
    long long line = s.line();
    long long n;
    if (s.integer(n) && s.atLineEnd()) {
      if (n < 0)
        return fail("negative point count");
      declared = n;
      s.nextLine();
    } else {
      s.setPosition(start);
      s.setLine(line);
    }
  }
  int columns = 0;
  long long count = 0;
  for (;;) {
    s.skipEmptyLines('#');
    if (s.atEnd())
      break;
    float v[6];
    int k = 0;
    while (!s.atLineEnd()) {
      if (k == 6)
        return fail("too many columns (x y z or x y z nx ny nz expected)");
      if (!s.number(v[k]))
        return fail("invalid number (finite numbers expected)");
      ++k;
    }
    if (k != 3 && k != 6)
      return fail("a point needs three or six numbers");
    if (columns == 0)
      columns = k;
    else if (k != columns)
      return fail("the number of columns changes");
    if (!points.add(KEXVector3<float>(v[0], v[1], v[2])) ||
        (k == 6 && !normals.add(KEXVector3<float>(v[3], v[4], v[5])))) {
      outOfMemory(report, in.name());
      return progress.finish(report);
    }
    s.nextLine();
    if ((++count & 65535) == 0 && !progress.add(65536.0 * 40.0)) {
      stopped(report, in.name());
      return progress.finish(report);
    }
  }
  points.finish();
  normals.finish();
  if (count == 0)
    return fail("no points");
  if (declared >= 0 && declared != count) {
    report.fail(Report::Malformed, "%s:1: the file declares %lld points but holds %lld", in.name(), declared, count);
    return progress.finish(report);
  }
  return progress.finish(report);
}

} // namespace

bool KEXTriangleMeshIOXYZ::readBuffer(const char* fileName, KEXTriangleMeshBuffer& buffer, Report& report)
{
  return readWith(fileName, buffer, report, readXYZ);
}

bool KEXTriangleMeshIOXYZ::writeBuffer(const char* fileName, const KEXTriangleMeshBuffer& b, Report& report)
{
  report.clear();
  if (!checkWritable(b, fileName, report))
    return false;
  int nv = b.getVertexCount();
  bool normals = b.hasVertexNormalList();
  if (b.getTriangleCount() > 0)
    report.warn("%s: the triangles are not written (XYZ holds points only)", fileName);
  OutputFile out;
  if (!out.open(fileName, report))
    return false;
  Progress progress("Writing XYZ file", double(nv));
  bool stop = false;
  char line[256];
  for (int i = 0; i < nv && !stop; ++i) {
    char* p = line;
    const KEXVector3<float>& v = b.vertexList[i];
    p = formatFloat(p, v.x), *p++ = ' ';
    p = formatFloat(p, v.y), *p++ = ' ';
    p = formatFloat(p, v.z);
    if (normals) {
      const KEXVector3<float>& n = b.vertexNormalList[i];
      for (float f : {n.x, n.y, n.z})
        *p++ = ' ', p = formatFloat(p, std::isfinite(f) ? f : 0.0f);
    }
    *p++ = '\n';
    out.put(line, size_t(p - line));
    stop = !progress.step(i + 1);
  }
  if (stop)
    stopped(report, fileName);
  else
    out.commit(report);
  return progress.finish(report);
}
