// OFF reading and writing. The header keyword says which per-vertex attributes follow the
// position (N: a normal, C: a colour); the counts line says how many vertices and faces follow,
// and both counts are checked against the bytes left before anything is allocated. Faces are
// polygons "n i0 ... i(n-1)", fanned into triangles; three or four numbers after the indices are
// the face's colour (given to each of its triangles), anything else there (a colour map index) is
// read past. Faces of fewer than three corners and text after the declared faces are skipped
// with a warning.
#include "TriangleMeshIOOFF.h"

#include "../common/MeshFileSupport.h"

#include <climits>
#include <vector>

using namespace kexmeshio;

KEXMESHIO_DEFINE_PLUGIN_CLASS(KEXTriangleMeshIOOFF, "kexmeshiooff")

namespace {

// Colour components as OFF files write them: floats in [0, 1], or bytes when any exceeds 1 (a
// missing alpha is opaque either way).
KEXRGBA<float> offColour(const float* c, int k)
{
  float a = k == 4 ? c[3] : 1.0f;
  bool bytes = c[0] > 1 || c[1] > 1 || c[2] > 1 || a > 1;
  if (bytes && k == 3)
    a = 255;
  float f = bytes ? 1.0f / 255.0f : 1.0f;
  return KEXRGBA<float>(c[0] * f, c[1] * f, c[2] * f, a * f);
}

// Appends the shortest text of each colour component, clamped to [0, 1].
char* formatColour(char* p, KEXRGBA<float> c)
{
  c.clamp();
  for (float f : {c.r, c.g, c.b, c.a}) {
    *p++ = ' ';
    p = formatFloat(p, std::isfinite(f) ? f : 0.0f);
  }
  return p;
}

bool readOFF(const InputFile& in, KEXTriangleMeshBuffer& b, Report& report)
{
  TextScanner s(in.text(), in.end(), in.name());
  s.setCommentCharacter('#');
  s.skipEmptyLines('#');
  std::string w;
  if (!s.word(w) || w.size() < 3 || w.compare(w.size() - 3, 3, "OFF") != 0)
    return s.fail(report, "not an OFF file (the first word must be OFF, NOFF, COFF or CNOFF)");
  std::string prefix = w.substr(0, w.size() - 3);
  bool normals = false, colours = false;
  if (prefix == "N")
    normals = true;
  else if (prefix == "C")
    colours = true;
  else if (prefix == "CN" || prefix == "NC")
    normals = colours = true;
  else if (!prefix.empty())
    return s.fail(report, "unsupported OFF variant (OFF, NOFF, COFF or CNOFF expected)");
  if (s.keyword("BINARY"))
    return report.fail(Report::Unsupported, "%s:%lld: binary OFF is not supported", in.name(), s.line());
  if (s.atLineEnd()) {
    s.nextLine();
    s.skipEmptyLines('#');
  }
  long long nv, nf, ne;
  if (!s.integer(nv) || !s.integer(nf) || nv < 0 || nf < 0)
    return s.fail(report, "invalid counts line (\"<vertices> <faces> <edges>\" expected)");
  if (!s.atLineEnd() && !s.integer(ne))
    return s.fail(report, "invalid edge count");
  s.nextLine();
  // A vertex takes at least six characters ("0 0 0\n"), a face at least four ("0\n" is too short
  // to be a polygon, "3 0 0 0\n" is eight): bound both counts by the bytes left.
  long long left = s.remaining() + 1;
  if (nv > left / 6 || nf > left / 8 || nv * 6 + nf * 8 > left + 8 || nv > INT_MAX)
    return s.fail(report, "the counts declare more vertices and faces than the file can hold (truncated file?)");
  int n = int(nv);
  if (!b.vertexList.setCount(n) || (normals && !b.vertexNormalList.setCount(n)) ||
      (colours && !b.vertexColorList.setCount(n)) || !b.triangleList.setCount(int(nf)))
    return outOfMemory(report, in.name());
  Progress progress("Reading OFF file", double(nv + nf));
  auto fail = [&](const char* what) {
    s.fail(report, what);
    return progress.finish(report);
  };
  for (int i = 0; i < n; ++i) {
    s.skipEmptyLines('#');
    if (s.atEnd())
      return fail("the file ends before all vertices declared in the header were read");
    KEXVector3<float> v;
    if (!s.number(v.x) || !s.number(v.y) || !s.number(v.z))
      return fail("invalid vertex (finite numbers expected)");
    b.vertexList[i] = v;
    if (normals) {
      KEXVector3<float> nn;
      if (!s.number(nn.x) || !s.number(nn.y) || !s.number(nn.z))
        return fail("invalid vertex normal");
      b.vertexNormalList[i] = nn;
    }
    if (colours) {
      float c[4] = {1, 1, 1, 1};
      int k = 0;
      while (k < 4 && !s.atLineEnd()) {
        if (!s.number(c[k]))
          return fail("invalid vertex colour");
        ++k;
      }
      if (k < 3)
        return fail("a vertex colour needs three or four components");
      b.vertexColorList[i] = offColour(c, k);
    }
    s.nextLine();
    if (!progress.step(i + 1)) {
      stopped(report, in.name());
      return progress.finish(report);
    }
  }
  Appender<KEXTriangle<int>> triangles(b.triangleList);
  // Face colours are collected from the first coloured face on; the triangles before it (and
  // faces without a colour after it) are white.
  KEXValueList<KEXRGBA<float>> faceColourList;
  Appender<KEXRGBA<float>> faceColours(faceColourList);
  bool anyFaceColour = false;
  std::vector<int> corners;
  long long skipped = 0;
  for (long long f = 0; f < nf; ++f) {
    s.skipEmptyLines('#');
    if (s.atEnd())
      return fail("the file ends before all faces declared in the header were read");
    long long k;
    if (!s.integer(k) || k < 0 || k > s.remaining())
      return fail("invalid face (a corner count and that many vertex indices expected)");
    corners.resize(size_t(k));
    for (long long j = 0; j < k; ++j) {
      long long idx;
      if (!s.integer(idx))
        return fail("invalid vertex index");
      if (idx < 0 || idx >= nv) {
        char what[160];
        std::snprintf(what, sizeof what, "face %lld refers to vertex %lld, the file has %lld vertices", f, idx, nv);
        return fail(what);
      }
      corners[size_t(j)] = int(idx);
    }
    float c[4];
    int components = 0;
    while (components < 4 && !s.atLineEnd() && s.number(c[components]))
      ++components;
    const KEXRGBA<float> white(1, 1, 1, 1);
    const bool coloured = components >= 3 && k >= 3;
    if (coloured && !anyFaceColour) {
      anyFaceColour = true;
      for (int t = 0; t < triangles.count(); ++t)
        if (!faceColours.add(white))
          return outOfMemory(report, in.name()), progress.finish(report);
    }
    if (k < 3) {
      ++skipped;
    } else {
      if (!appendFan(triangles, corners.data(), int(k)))
        return outOfMemory(report, in.name()), progress.finish(report);
      const KEXRGBA<float> colour = coloured ? offColour(c, components) : white;
      while (anyFaceColour && faceColours.count() < triangles.count())
        if (!faceColours.add(colour))
          return outOfMemory(report, in.name()), progress.finish(report);
    }
    s.nextLine();
    if (!progress.step(nv + f + 1)) {
      stopped(report, in.name());
      return progress.finish(report);
    }
  }
  triangles.finish();
  if (anyFaceColour) {
    faceColours.finish();
    b.triangleColorList.swap(faceColourList);
  }
  warnShortFaces(report, in.name(), skipped);
  s.skipEmptyLines('#');
  if (!s.atEnd())
    report.warn("%s:%lld: the text after the %lld faces the header declares was ignored", in.name(), s.line(), nf);
  return progress.finish(report);
}

} // namespace

bool KEXTriangleMeshIOOFF::readBuffer(const char* fileName, KEXTriangleMeshBuffer& buffer, Report& report)
{
  return readWith(fileName, buffer, report, readOFF);
}

bool KEXTriangleMeshIOOFF::writeBuffer(const char* fileName, const KEXTriangleMeshBuffer& b, Report& report)
{
  report.clear();
  if (!checkWritable(b, fileName, report))
    return false;
  int nv = b.getVertexCount(), nt = b.getTriangleCount();
  bool normals = b.hasVertexNormalList(), colours = b.hasVertexColorList();
  bool faceColours = b.hasTriangleColorList();
  OutputFile out;
  if (!out.open(fileName, report))
    return false;
  Progress progress("Writing OFF file", double(nv) + double(nt));
  std::string h = std::string(colours ? "C" : "") + (normals ? "N" : "") + "OFF\n" + std::to_string(nv) + " " +
                  std::to_string(nt) + " 0\n";
  out.put(h.c_str(), h.size());
  bool stop = false;
  char line[512];
  for (int i = 0; i < nv && !stop; ++i) {
    char* p = line;
    const KEXVector3<float>& v = b.vertexList[i];
    p = formatFloat(p, v.x), *p++ = ' ';
    p = formatFloat(p, v.y), *p++ = ' ';
    p = formatFloat(p, v.z);
    if (normals) {
      const KEXVector3<float>& n = b.vertexNormalList[i];
      for (float f : {n.x, n.y, n.z})
        *p++ = ' ', p = formatFloat(p, f);
    }
    if (colours)
      p = formatColour(p, b.vertexColorList[i]);
    *p++ = '\n';
    out.put(line, size_t(p - line));
    stop = !progress.step(i + 1);
  }
  for (int i = 0; i < nt && !stop; ++i) {
    char* p = line;
    *p++ = '3';
    for (int k = 0; k < 3; ++k)
      *p++ = ' ', p = formatInt(p, b.triangleList[i][k]);
    if (faceColours)
      p = formatColour(p, b.triangleColorList[i]);
    *p++ = '\n';
    out.put(line, size_t(p - line));
    stop = !progress.step(nv + i + 1);
  }
  if (stop)
    stopped(report, fileName);
  else
    out.commit(report);
  return progress.finish(report);
}
