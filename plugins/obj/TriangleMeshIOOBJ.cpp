// OBJ reading and writing. OBJ has no header counts: lists grow by doubling as lines come. Face
// corners are resolved against the vertices seen so far (negative indices) and checked against
// the final vertex count (positive ones may in principle point forward). A corner's normal index
// attaches that normal to the corner's vertex. Faces of fewer than three corners bound no surface:
// they are skipped (and counted in one warning), as every reader does.
#include "TriangleMeshIOOBJ.h"

#include "../common/MeshFileSupport.h"

#include <climits>
#include <vector>

using namespace kexmeshio;

KEXMESHIO_DEFINE_PLUGIN_CLASS(KEXTriangleMeshIOOBJ, "kexmeshioobj")

namespace {

struct Corner {
  long long v, n;
};

// Parses "v", "v/t", "v//n" or "v/t/n" (no blanks inside).
bool parseCorner(const char*& p, const char* end, Corner& c)
{
  c.n = 0;
  if (!parseInteger(p, end, c.v))
    return false;
  if (p < end && *p == '/') {
    ++p;
    long long t;
    if (p < end && *p != '/' && !parseInteger(p, end, t))
      return false;
    if (p < end && *p == '/') {
      ++p;
      if (!parseInteger(p, end, c.n))
        return false;
    }
  }
  return p >= end || TextScanner::isSpace(*p);
}

bool readOBJ(const InputFile& in, KEXTriangleMeshBuffer& b, Report& report)
{
  TextScanner s(in.text(), in.end(), in.name());
  s.setCommentCharacter('#');
  Progress progress("Reading OBJ file", double(in.size()));
  KEXValueList<KEXVector3<float>> objNormals;
  KEXValueList<KEXRGBA<float>> colours;
  KEXValueList<int> normalOfVertex; // per vertex the OBJ normal index (0: none)
  Appender<KEXVector3<float>> vertices(b.vertexList);
  Appender<KEXVector3<float>> normals(objNormals);
  Appender<KEXRGBA<float>> vertexColours(colours);
  Appender<KEXTriangle<int>> triangles(b.triangleList);
  std::vector<Corner> face;
  std::vector<int> corners;
  std::vector<std::pair<int, long long>> cornerNormals; // (vertex, normal index) per corner
  std::vector<long long> faceLines;                     // line of the first triangle of each face
  bool anyColour = false;
  long long lines = 0, shortFaces = 0;
  auto fail = [&](const char* what) {
    s.fail(report, what);
    return progress.finish(report);
  };
  auto oom = [&]() {
    outOfMemory(report, in.name());
    return progress.finish(report);
  };
  std::string w;
  while (!s.atEnd()) {
    s.skipBlanks();
    const char* p = s.position();
    if (s.atLineEnd() || *p == '#') {
      s.nextLine();
      continue;
    }
    if (p[0] == 'v' && (p[1] == ' ' || p[1] == '\t')) {
      s.setPosition(p + 1);
      KEXVector3<float> v;
      if (!s.number(v.x) || !s.number(v.y) || !s.number(v.z))
        return fail("invalid vertex (finite numbers expected)");
      float extra[4];
      int k = 0;
      while (!s.atLineEnd() && k < 4) {
        if (!s.number(extra[k]))
          return fail("invalid vertex component");
        ++k;
      }
      if (!s.atLineEnd())
        return fail("too many vertex components");
      KEXRGBA<float> c(1, 1, 1, 1);
      if (k == 3 || k == 4) {
        int o = k - 3;
        c = KEXRGBA<float>(extra[o], extra[o + 1], extra[o + 2], 1.0f);
        anyColour = true;
      } else if (k == 2) {
        return fail("a vertex has three, four, six or seven components");
      }
      if (!vertices.add(v) || !vertexColours.add(c))
        return oom();
    } else if (p[0] == 'v' && p[1] == 'n' && (p[2] == ' ' || p[2] == '\t')) {
      s.setPosition(p + 2);
      KEXVector3<float> n;
      if (!s.number(n.x) || !s.number(n.y) || !s.number(n.z))
        return fail("invalid vertex normal (three finite numbers expected)");
      if (!normals.add(n))
        return oom();
    } else if (p[0] == 'f' && (p + 1 == in.end() || TextScanner::isSpace(p[1]))) { // "f" alone: no corners
      s.setPosition(p + 1);
      face.clear();
      for (;;) {
        s.skipBlanks();
        if (s.atLineEnd())
          break;
        const char* q = s.position();
        Corner c;
        if (!parseCorner(q, in.end(), c))
          return fail("invalid face corner (v, v/t, v//n or v/t/n expected)");
        s.setPosition(q);
        long long nv = vertices.count();
        if (c.v < 0)
          c.v = nv + c.v; // -1 is the last vertex read
        else if (c.v > 0)
          c.v -= 1;
        else
          return fail("vertex index 0 (OBJ indices start at 1)");
        if (c.v < 0)
          return fail("a negative vertex index reaches before the first vertex");
        if (c.n < 0)
          c.n = normals.count() + c.n + 1;
        if (c.n < 0 || c.n > LLONG_MAX / 2)
          return fail("invalid normal index");
        face.push_back(c);
      }
      if (face.size() < 3) {
        ++shortFaces;
      } else {
        corners.resize(face.size());
        for (size_t k = 0; k < face.size(); ++k) {
          if (face[k].v > INT_MAX)
            return fail("vertex index out of range");
          corners[k] = int(face[k].v);
          if (face[k].n > 0)
            cornerNormals.emplace_back(int(face[k].v), face[k].n);
        }
        for (size_t k = 1; k + 1 < face.size(); ++k)
          faceLines.push_back(s.line());
        if (!appendFan(triangles, corners.data(), int(face.size())))
          return oom();
      }
    }
    // Everything else (vt, g, o, s, usemtl, mtllib, l, p, ...) is read past.
    s.nextLine();
    if ((++lines & 65535) == 0 && !progress.add(65536.0 * 30.0)) {
      stopped(report, in.name());
      return progress.finish(report);
    }
  }
  vertices.finish();
  triangles.finish();
  normals.finish();
  vertexColours.finish();
  int nv = b.getVertexCount();
  for (int t = 0; t < b.getTriangleCount(); ++t)
    for (int k = 0; k < 3; ++k)
      if (b.triangleList[t][k] >= nv) {
        char what[160];
        std::snprintf(what, sizeof what, "%s:%lld: face refers to vertex %d, the file has %d vertices", in.name(),
                      faceLines[size_t(t)], b.triangleList[t][k] + 1, nv);
        report.fail(Report::Malformed, "%s", what);
        return progress.finish(report);
      }
  if (!cornerNormals.empty() || (objNormals.getCount() == nv && nv > 0)) {
    if (!b.vertexNormalList.setCount(nv, KEXVector3<float>(0, 0, 0)) || !normalOfVertex.setCount(nv, 0))
      return oom();
    long long conflicts = 0;
    // One normal per vertex: a vertex no corner gives a normal takes the one of its own index.
    if (objNormals.getCount() == nv)
      for (int i = 0; i < nv; ++i)
        b.vertexNormalList[i] = objNormals[i];
    for (const auto& [v, n] : cornerNormals) {
      if (n > objNormals.getCount()) {
        report.fail(Report::Malformed, "%s: a face refers to normal %lld, the file has %d normals", in.name(), n,
                    objNormals.getCount());
        return progress.finish(report);
      }
      if (normalOfVertex[v] == 0) {
        normalOfVertex[v] = int(n);
        b.vertexNormalList[v] = objNormals[int(n) - 1];
      } else if (normalOfVertex[v] != n && objNormals[normalOfVertex[v] - 1] != objNormals[int(n) - 1]) {
        ++conflicts;
      }
    }
    if (conflicts)
      report.warn("%s: %lld corners have a normal other than their vertex's first one; the first was kept",
                  in.name(), conflicts);
  }
  if (anyColour)
    b.vertexColorList.swap(colours);
  warnShortFaces(report, in.name(), shortFaces);
  return progress.finish(report);
}

} // namespace

bool KEXTriangleMeshIOOBJ::readBuffer(const char* fileName, KEXTriangleMeshBuffer& buffer, Report& report)
{
  return readWith(fileName, buffer, report, [](InputFile& in, KEXTriangleMeshBuffer& result, Report& r) {
    if (!readOBJ(in, result, r))
      return false;
    if (result.getVertexCount() == 0)
      return r.fail(Report::Malformed, "%s: no vertices (not an OBJ file?)", in.name());
    return true;
  });
}

bool KEXTriangleMeshIOOBJ::writeBuffer(const char* fileName, const KEXTriangleMeshBuffer& b, Report& report)
{
  report.clear();
  if (!checkWritable(b, fileName, report))
    return false;
  int nv = b.getVertexCount(), nt = b.getTriangleCount();
  bool normals = b.hasVertexNormalList(), colours = b.hasVertexColorList();
  warnFaceColoursDropped(report, b, fileName);
  OutputFile out;
  if (!out.open(fileName, report))
    return false;
  Progress progress("Writing OBJ file", double(nv) + double(nt));
  out.put("# written by kexmesh\n");
  bool stop = false;
  char line[512];
  for (int i = 0; i < nv && !stop; ++i) {
    char* p = line;
    const KEXVector3<float>& v = b.vertexList[i];
    *p++ = 'v';
    for (float f : {v.x, v.y, v.z})
      *p++ = ' ', p = formatFloat(p, f);
    if (colours) {
      KEXRGBA<float> c = b.vertexColorList[i];
      for (float f : {c.r, c.g, c.b})
        *p++ = ' ', p = formatFloat(p, std::isfinite(f) ? f : 0.0f);
    }
    *p++ = '\n';
    if (normals) {
      const KEXVector3<float>& n = b.vertexNormalList[i];
      *p++ = 'v', *p++ = 'n';
      for (float f : {n.x, n.y, n.z})
        *p++ = ' ', p = formatFloat(p, std::isfinite(f) ? f : 0.0f);
      *p++ = '\n';
    }
    out.put(line, size_t(p - line));
    stop = !progress.step(i + 1);
  }
  for (int i = 0; i < nt && !stop; ++i) {
    char* p = line;
    *p++ = 'f';
    for (int k = 0; k < 3; ++k) {
      *p++ = ' ';
      p = formatInt(p, (long long)b.triangleList[i][k] + 1);
      if (normals) {
        *p++ = '/', *p++ = '/';
        p = formatInt(p, (long long)b.triangleList[i][k] + 1);
      }
    }
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
