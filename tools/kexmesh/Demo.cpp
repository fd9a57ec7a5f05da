// The demo: a generated surface is damaged the way scans come damaged (a triangle soup whose
// vertex copies disagree in the last bits, a NaN vertex, invalid indices, cap slivers, holes,
// triangles facing the wrong way), repaired with the repair filter's default sequence, and compared
// before and after. Also the shape generator of `kexmesh generate`.
#include "Commands.h"
#include "Session.h"

#include <CLI/CLI.hpp>

#include "kex/Values.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

#include "kexmesh/core/HarmonizeVertexNormalsAlgorithm.h"
#include "kexmesh/objects/TriangleMeshFilter.h"
#include "kexmesh/simplify/SimplifyTriangleMesh.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <cfloat>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <tuple>
#include <utility>
#include <vector>

namespace kexmeshtool {

namespace {

using V3 = KEXVector3<float>;

bool fill(KEXTriangleMeshBuffer& b, const std::vector<V3>& v, const std::vector<KEXTriangle<int>>& t)
{
  if (!b.vertexList.setCount(int(v.size())) || !b.triangleList.setCount(int(t.size())))
    return false;
  std::copy(v.begin(), v.end(), b.vertexList.begin());
  std::copy(t.begin(), t.end(), b.triangleList.begin());
  return true;
}

/// A torus with a gentle ripple, nu x nv quads, outward oriented.
bool makeTorus(KEXTriangleMeshBuffer& b, int nu, int nv)
{
  std::vector<V3> v;
  std::vector<KEXTriangle<int>> t;
  const double R = 2.0, r = 0.6;
  for (int i = 0; i < nu; ++i)
    for (int j = 0; j < nv; ++j) {
      double u = 2 * std::numbers::pi * i / nu, w = 2 * std::numbers::pi * j / nv;
      double rr = r * (1.0 + 0.12 * std::sin(5 * u) * std::cos(3 * w));
      v.emplace_back(float((R + rr * std::cos(w)) * std::cos(u)), float((R + rr * std::cos(w)) * std::sin(u)),
                     float(rr * std::sin(w)));
    }
  auto id = [&](int i, int j) { return (i % nu) * nv + (j % nv); };
  for (int i = 0; i < nu; ++i)
    for (int j = 0; j < nv; ++j) {
      int a = id(i, j), c = id(i + 1, j), d = id(i + 1, j + 1), e = id(i, j + 1);
      t.emplace_back(a, c, d);
      t.emplace_back(a, d, e);
    }
  return fill(b, v, t);
}

/// A sphere made from a subdivided cube projected outwards: 12 n^2 triangles.
bool makeSphere(KEXTriangleMeshBuffer& b, int n)
{
  std::vector<V3> v;
  std::vector<KEXTriangle<int>> t;
  std::map<std::tuple<int, int, int>, int> index;
  auto vertex = [&](int x, int y, int z) {
    auto key = std::make_tuple(x, y, z);
    auto it = index.find(key);
    if (it != index.end())
      return it->second;
    double p[3] = {2.0 * x / n - 1.0, 2.0 * y / n - 1.0, 2.0 * z / n - 1.0};
    double l = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    v.emplace_back(float(p[0] / l), float(p[1] / l), float(p[2] / l));
    index.emplace(key, int(v.size()) - 1);
    return int(v.size()) - 1;
  };
  // Each face: a fixed axis at 0 or n, two running axes chosen so that the winding faces out.
  for (int axis = 0; axis < 3; ++axis)
    for (int side = 0; side < 2; ++side)
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
          int q[4][3];
          int corners[4][2] = {{i, j}, {i + 1, j}, {i + 1, j + 1}, {i, j + 1}};
          for (int k = 0; k < 4; ++k) {
            q[k][axis] = side * n;
            q[k][(axis + 1) % 3] = corners[k][0];
            q[k][(axis + 2) % 3] = corners[k][1];
          }
          int a = vertex(q[0][0], q[0][1], q[0][2]), c = vertex(q[1][0], q[1][1], q[1][2]);
          int d = vertex(q[2][0], q[2][1], q[2][2]), e = vertex(q[3][0], q[3][1], q[3][2]);
          if (side == 1) {
            t.emplace_back(a, c, d);
            t.emplace_back(a, d, e);
          } else {
            t.emplace_back(a, d, c);
            t.emplace_back(a, e, d);
          }
        }
  return fill(b, v, t);
}

double signedVolume(const KEXTriangleMeshBuffer& b)
{
  double vol = 0;
  for (int i = 0; i < b.getTriangleCount(); ++i) {
    const KEXTriangle<int>& t = b.triangleList[i];
    if (!b.isValidVertex(t[0]) || !b.isValidVertex(t[1]) || !b.isValidVertex(t[2]))
      continue;
    KEXVector3<double> p(b.vertexList[t[0]]), q(b.vertexList[t[1]]), r(b.vertexList[t[2]]);
    double x = p.dot(q.cross(r)) / 6.0;
    if (std::isfinite(x))
      vol += x;
  }
  return vol;
}

double diagonal(const KEXTriangleMeshBuffer& b)
{
  KEXInterval<V3> box;
  for (const V3& v : b.vertexList)
    if (std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z))
      box.unite(v);
  return box.getDiameter();
}

struct Damage {
  int holes = 0, slivers = 0, flipped = 0, invalid = 0;
};

/// Damages a clean mesh into `soup` the way scans come: returns what was done. writable receives
/// the damaged state before the NaN vertex and the invalid indices (which no file format holds).
Damage damage(const KEXTriangleMeshBuffer& clean, KEXTriangleMeshBuffer& soup, KEXTriangleMeshBuffer& writable)
{
  Damage d;
  std::mt19937 rng(2026);
  std::vector<V3> v(clean.vertexList.begin(), clean.vertexList.end());
  std::vector<KEXTriangle<int>> t(clean.triangleList.begin(), clean.triangleList.end());
  // Holes: drop the fans of three vertices far apart.
  std::vector<char> dropped(t.size(), 0);
  for (int h = 0; h < 3; ++h) {
    int center = int(rng() % v.size());
    for (size_t i = 0; i < t.size(); ++i)
      if (t[i][0] == center || t[i][1] == center || t[i][2] == center)
        dropped[i] = 1;
    ++d.holes;
  }
  std::vector<KEXTriangle<int>> kept;
  for (size_t i = 0; i < t.size(); ++i)
    if (!dropped[i])
      kept.push_back(t[i]);
  t.swap(kept);
  // Cap slivers: split an edge (a, b) of a triangle (a, b, c) at a point m pushed a hair towards
  // c, and fill the gap to the neighbour with the nearly flat triangle (b, m, a).
  for (int s = 0; s < 25; ++s) {
    size_t i = rng() % t.size();
    KEXTriangle<int> tri = t[i];
    int a = tri[0], b = tri[1], c = tri[2];
    KEXVector3<double> pa(v[size_t(a)]), pb(v[size_t(b)]), pc(v[size_t(c)]);
    KEXVector3<double> mid = (pa + pb) * 0.5;
    KEXVector3<double> m = mid + (pc - mid) * 1e-3;
    v.emplace_back(float(m.x), float(m.y), float(m.z));
    int mi = int(v.size()) - 1;
    t[i] = KEXTriangle<int>(a, mi, c);
    t.emplace_back(mi, b, c);
    t.emplace_back(b, mi, a);
    ++d.slivers;
  }
  // Wrong-way triangles.
  for (auto& tri : t)
    if (rng() % 100 < 30) {
      std::swap(tri[1], tri[2]);
      ++d.flipped;
    }
  std::shuffle(t.begin(), t.end(), rng);
  // Triangle soup: each corner its own vertex, copies disagreeing by ~1e-7 of the diagonal.
  double jitter = 1e-7 * diagonal(clean);
  std::uniform_real_distribution<double> u(-jitter, jitter);
  std::vector<V3> sv;
  std::vector<KEXTriangle<int>> st;
  for (const auto& tri : t) {
    int base = int(sv.size());
    for (int k = 0; k < 3; ++k) {
      const V3& p = v[size_t(tri[k])];
      sv.emplace_back(float(p.x + u(rng)), float(p.y + u(rng)), float(p.z + u(rng)));
    }
    st.emplace_back(base, base + 1, base + 2);
  }
  fill(writable, sv, st);
  // A NaN vertex and triangles with invalid indices.
  sv[sv.size() / 2].y = std::numeric_limits<float>::quiet_NaN();
  int nv = int(sv.size());
  st.emplace_back(0, -1, 2);
  st.emplace_back(nv, 1, 2);
  st.emplace_back(3, 4, nv + 100);
  st.emplace_back(5, 5, 6);
  d.invalid = 4;
  fill(soup, sv, st);
  return d;
}

bool ensureDirectory(const std::string& d)
{
  struct stat st;
  if (stat(d.c_str(), &st) == 0)
    return S_ISDIR(st.st_mode);
  return mkdir(d.c_str(), 0777) == 0;
}


/// The demo's repair: the repair filter's default sequence (welding only the vertex copies), then
/// unit vertex normals for viewing.
int repairPipeline(KEXTriangleMeshBuffer& b, double weldDistance)
{
  RepairSettings settings;
  settings.maxDistance = weldDistance;
  settings.distanceGiven = true;
  if (int code = repairBuffer(b, settings, ReportOutput::ReportAndSteps))
    return code;
  std::printf("\n");
  if (int code = exitCodeOf(runAlgorithm("KEXCalculateVertexNormalsAlgorithm", b), "vertex normals"))
    return code;
  return exitCodeOf(runAlgorithm("KEXHarmonizeVertexNormalsAlgorithm", b,
                                 [](KEXTriangleMeshAlgorithmIF& a) {
                                   return static_cast<KEXHarmonizeVertexNormalsAlgorithm&>(a).setVectorLength(1.0f);
                                 }),
                    "unit normals");
}


int runGenerate(const Options& o, const std::string& shape, int triangles, bool soup)
{
  KEXTriangleMeshBuffer b;
  bool ok;
  if (shape == "sphere") {
    int n = std::max(1, int(std::lround(std::sqrt(triangles / 12.0))));
    ok = makeSphere(b, n);
  } else {
    int nv = std::max(3, int(std::lround(std::sqrt(triangles / 4.0))));
    ok = makeTorus(b, 2 * nv, nv);
  }
  if (ok && soup) {
    KEXTriangleMeshBuffer s;
    std::vector<V3> v;
    std::vector<KEXTriangle<int>> t;
    v.reserve(size_t(b.getTriangleCount()) * 3);
    for (int i = 0; i < b.getTriangleCount(); ++i) {
      for (int k = 0; k < 3; ++k)
        v.push_back(b.vertexList[b.triangleList[i][k]]);
      t.emplace_back(3 * i, 3 * i + 1, 3 * i + 2);
    }
    ok = fill(s, v, t);
    b.swap(s);
  }
  if (!ok) {
    printError("not enough memory for %d triangles", triangles);
    return OperationFailed;
  }
  return writeMesh(o.output, b, o.ascii);
}

/// The repaired mesh through the rest of the main job, each step by its filter as a host runs it:
/// simplified to a quarter, one circular-arc smoothing pass, one Loop subdivision step. Writes each
/// result with its picture and prints a line per step.
int processRepaired(const Options& o, const KEXTriangleMeshBuffer& repaired, const std::string& dir,
                    const PictureSettings& picture)
{
  struct Step {
    const char* name;
    const char* filter;
    const char* what;
  };
  const Step steps[] = {{"simplified", "KEXSimplifyTriangleMesh", "simplification"},
                        {"smoothed", "KEXCASmoothing", "smoothing"},
                        {"subdivided", "KEXLoopSubdivision", "subdivision"}};
  std::printf("\n%-28s %12s %12s %12s %12s\n", "then", "vertices", "triangles", "open edges", "seconds");
  KEXTriangleMeshBuffer mesh = repaired;
  for (const Step& step : steps) {
    FilterHandle<KEXTriangleMeshFilter> filter(step.filter);
    if (!filter)
      return OperationFailed;
    if (auto* simplify = dynamic_cast<KEXSimplifyTriangleMesh*>(&*filter)) {
      // The target alone decides: a quarter of the triangles, whatever the error.
      if (!simplify->setTriangleLimit(std::max(1, mesh.getTriangleCount() / 4)) ||
          !simplify->setErrorLimit(FLT_MAX)) {
        printError("the simplify filter refused the demo's target");
        return OperationFailed;
      }
    }
    const auto start = std::chrono::steady_clock::now();
    if (int code = runFilterAction(*filter, mesh, step.what))
      return code;
    if (interruptCount() > 0)
      return OperationFailed;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const MeshStats s = computeStats(mesh);
    std::printf("%-28s %12d %12d %12lld %12.3f\n", step.name, mesh.getVertexCount(), mesh.getTriangleCount(),
                s.boundaryEdges, seconds);
    if (int code = writeMesh(dir + step.name + ".ply", mesh, o.ascii))
      return code;
    if (int code = renderPicture(mesh, dir + step.name + ".png", picture))
      return code;
  }
  std::fflush(stdout);
  return Success;
}

int runDemo(const Options& o, const std::string& directory)
{
  if (!ensureDirectory(directory)) {
    printError("cannot create the directory %s", directory.c_str());
    return OperationFailed;
  }
  KEXTriangleMeshBuffer clean, soup, writable;
  if (!makeTorus(clean, 160, 64)) {
    printError("not enough memory for the demo mesh");
    return OperationFailed;
  }
  Damage d = damage(clean, soup, writable);
  std::printf("kexmesh demo: a rippled torus (%d triangles), damaged like a raw scan:\n", clean.getTriangleCount());
  std::printf("  triangle soup (%d vertex copies, jittered by 1e-7 of the diagonal), %d holes, %d cap slivers,\n",
              soup.getVertexCount(), d.holes, d.slivers);
  std::printf("  %d triangles facing the wrong way, one NaN vertex, %d triangles with invalid indices\n\n", d.flipped,
              d.invalid);
  std::string dir = directory + "/";
  int code = writeMesh(dir + "original.ply", clean, o.ascii);
  if (code == Success)
    code = writeMesh(dir + "damaged.ply", writable, o.ascii);
  if (code != Success)
    return code;
  {
    KEXTriangleMeshBuffer dyed = writable;
    muteDiagnostics(true);
    RunResult r = runAlgorithm("KEXDyeBadTrianglesAlgorithm", dyed);
    muteDiagnostics(false);
    if (r == RunResult::Done && (code = writeMesh(dir + "damaged-dyed.ply", dyed, o.ascii)) != Success)
      return code;
  }
  MeshStats before = computeStats(soup);
  double beforeVolume = signedVolume(soup);
  KEXTriangleMeshBuffer repaired = soup;
  muteDiagnostics(o.quiet);
  int result = repairPipeline(repaired, 1e-6 * diagonal(clean));
  muteDiagnostics(false);
  if (result == Success)
    result = writeMesh(dir + "repaired.ply", repaired, o.ascii);
  MeshStats ref = computeStats(clean), after = computeStats(repaired);
  std::printf("%-28s %12s %12s %12s\n", "", "original", "damaged", "repaired");
  auto row = [](const char* name, long long a, long long b, long long c) {
    std::printf("%-28s %12lld %12lld %12lld\n", name, a, b, c);
  };
  row("vertices", ref.vertices, before.vertices, after.vertices);
  row("triangles", ref.triangles, before.triangles, after.triangles);
  row("NaN/infinite vertices", ref.nonFiniteVertices, before.nonFiniteVertices, after.nonFiniteVertices);
  row("invalid triangles", ref.invalidTriangles, before.invalidTriangles, after.invalidTriangles);
  row("duplicate vertices", ref.duplicateVertices, before.duplicateVertices, after.duplicateVertices);
  row("degenerate triangles", ref.degenerateTriangles, before.degenerateTriangles, after.degenerateTriangles);
  row("boundary edges", ref.boundaryEdges, before.boundaryEdges, after.boundaryEdges);
  row("holes (boundary loops)", ref.boundaryLoops, before.boundaryLoops, after.boundaryLoops);
  row("non-manifold edges", ref.nonManifoldEdges, before.nonManifoldEdges, after.nonManifoldEdges);
  row("wrongly oriented edges", ref.flippedEdges, before.flippedEdges, after.flippedEdges);
  std::printf("%-28s %12.4f %12.4f %12.4f\n", "volume", signedVolume(clean), beforeVolume, signedVolume(repaired));
  std::printf("\nwrote %soriginal.ply, %sdamaged.ply%s%s\n", dir.c_str(), dir.c_str(),
              result == Success ? ", " : "", result == Success ? (dir + "repaired.ply").c_str() : "");
  std::fflush(stdout);
  // Pictures beside the meshes: the holes and the red, wrongly facing patches of the damaged mesh
  // are seen at once, and their absence after the repair.
  PictureSettings picture;
  picture.width = 640;
  picture.height = 480;
  picture.antialias = true;
  const std::pair<const char*, const KEXTriangleMeshBuffer*> pictures[] = {
      {"original", &clean}, {"damaged", &writable}, {"repaired", &repaired}};
  for (const auto& [name, mesh] : pictures) {
    if (mesh == &repaired && result != Success)
      continue;
    const int code = renderPicture(*mesh, dir + name + ".png", picture);
    if (result == Success)
      result = code;
  }
  if (result == Success)
    result = processRepaired(o, repaired, dir, picture);
  return result;
}

} // namespace

void addDemoCommands(CLI::App& app, Options& o)
{
  struct GenerateArgs {
    std::string shape = "torus";
    int triangles = 20000;
    bool soup = false;
  };
  auto g = std::make_shared<GenerateArgs>();
  CLI::App* generate = app.add_subcommand("generate", "Write a generated test shape");
  generate->add_option("shape", g->shape, "sphere or torus")->required()->check(CLI::IsMember({"sphere", "torus"}));
  generate->add_option("output", o.output, "Mesh file to write")->required();
  generate->add_option("-n,--triangles", g->triangles, "About this many triangles")->check(CLI::Range(8, 100000000));
  generate->add_flag("--soup", g->soup, "Give every triangle its own vertices");
  generate->callback([&o, g] { o.run = [&o, g] { return runGenerate(o, g->shape, g->triangles, g->soup); }; });

  auto directory = std::make_shared<std::string>("kexmesh-demo");
  CLI::App* demo = app.add_subcommand("demo", "Damage a generated mesh like a scan, repair it, compare");
  demo->add_option("-o,--output-dir", *directory, "Where the demo writes its meshes");
  demo->callback([&o, directory] { o.run = [&o, directory] { return runDemo(o, *directory); }; });
}

} // namespace kexmeshtool
