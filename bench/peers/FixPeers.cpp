// The whole repair of a damaged triangle soup side by side, every output judged: kexmesh's default
// sequence (the filter's Filter action on a plain buffer) against a CGAL pipeline doing the same job:
// repair_polygon_soup (drops degenerate polygons, merges duplicate points), orient_polygon_soup,
// polygon_soup_to_polygon_mesh, remove_degenerate_faces, triangulate_hole on every border cycle and
// orient_to_bound_a_volume (PMP::orient when the result is not closed), and admesh (exact
// matching, nearby matching, hole filling, normal fixing) on the STL version when the admesh
// program is installed.
//
// Inputs: float-noise soups (own vertex copies per triangle, shuffled, 30% flipped, copies moved by
// up to 1e-6 of the diagonal) of bunny_1M (bunny00.off Loop-subdivided twice) and of elephant.off,
// and the generated 2M-triangle torus soup with holes and NaN vertices.
//
// A fast wrong answer must not win, so every output goes through the test suite's independent
// checker (kexmeshtest::measure, SurfaceDistance): a result is WRONG when it has more non-manifold
// edges, duplicate triangles or inward components than the clean source mesh, or any input vertex
// farther than 1e-5 of the diagonal from the output surface or any output vertex that far from the
// input surface. A ratio peer / kexmesh is printed for every run but counts only when both sides
// are VALID. Non-finite triangles are dropped while converting for CGAL (which cannot take NaN
// points); conversions, checks and file writing are not timed, admesh is timed as a whole process
// including reading and writing its STL files.
#include "../FixInputs.h"
#include "kexmesh/objects/ExecuteSequenceAction.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/repair/FixReport.h"
#include "kexmesh/repair/FixTriangleMesh.h"
#include "support/MeshQuality.h"
#include "support/OffReader.h"

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Polygon_mesh_processing/orient_polygon_soup.h>
#include <CGAL/Polygon_mesh_processing/orientation.h>
#include <CGAL/Polygon_mesh_processing/polygon_soup_to_polygon_mesh.h>
#include <CGAL/Polygon_mesh_processing/repair.h>
#include <CGAL/Polygon_mesh_processing/repair_polygon_soup.h>
#include <CGAL/Polygon_mesh_processing/triangulate_hole.h>
#include <CGAL/Surface_mesh.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace PMP = CGAL::Polygon_mesh_processing;
using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using Point = Kernel::Point_3;
using SurfaceMesh = CGAL::Surface_mesh<Point>;
using Halfedge = SurfaceMesh::Halfedge_index;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

/// One tool's run: its time (negative when it did not run or failed) and what it produced.
struct Result {
  double seconds = -1.0;
  KEXTriangleMeshBuffer output;
};

Result runKexmesh(const KEXTriangleMeshBuffer& soup)
{
  KEXFixTriangleMesh filter;
  Result r;
  r.output.vertexList = soup.vertexList;
  r.output.triangleList = soup.triangleList;
  KEXTriangleMeshAction::Parameters record(&r.output, nullptr);
  Clock::time_point start = Clock::now();
  const bool ok = filter.executeSequence(&record);
  r.seconds = ok ? since(start) : -1.0;
  if (!ok)
    std::printf("  kexmesh: repair failed\n");
  // A second run with the report watching, for the per-step times and the library's own summary.
  KEXFixReport report(&filter);
  KEXTriangleMeshBuffer c;
  c.vertexList = soup.vertexList;
  c.triangleList = soup.triangleList;
  KEXTriangleMeshAction::Parameters counted(&c, nullptr);
  if (auto* sequence = dynamic_cast<KEXExecuteSequenceAction*>(filter.getAction(KEX::Filter))) {
    sequence->setObserver(&report);
    sequence->execute(&counted);
    sequence->setObserver(nullptr);
  }
  for (int i = 0; i < report.steps.getCount(); ++i)
    std::printf("  kexmesh step %2d %-26s %8.3f s  V %d -> %d  T %d -> %d\n", i + 1, report.steps[i].name.getString(),
                report.steps[i].seconds, report.steps[i].verticesBefore, report.steps[i].verticesAfter,
                report.steps[i].trianglesBefore, report.steps[i].trianglesAfter);
  std::printf("  kexmesh: weld distance %g, welded %d, holes %d -> %d, reoriented %d triangles / %d components, "
              "open edges %d, non-manifold %d\n",
              double(report.weldDistance), report.verticesWelded, report.holesBefore, report.holesAfter,
              report.trianglesReoriented, report.componentsFlipped, report.openEdges, report.nonManifoldEdges);
  return r;
}

/// The CGAL result back in a plain buffer, for the same checker as the others.
KEXTriangleMeshBuffer toBuffer(SurfaceMesh& mesh)
{
  mesh.collect_garbage();
  std::vector<kexmeshtest::Vec3> vertices;
  std::vector<kexmeshtest::Tri> triangles;
  vertices.reserve(mesh.number_of_vertices());
  for (SurfaceMesh::Vertex_index v : mesh.vertices()) {
    const Point& p = mesh.point(v);
    vertices.emplace_back(float(p.x()), float(p.y()), float(p.z()));
  }
  triangles.reserve(mesh.number_of_faces());
  for (SurfaceMesh::Face_index f : mesh.faces()) {
    // A face of more than three corners (none is expected) is fanned so that nothing is hidden.
    std::vector<int> corners;
    for (SurfaceMesh::Vertex_index v : mesh.vertices_around_face(mesh.halfedge(f)))
      corners.push_back(int(v.idx()));
    for (size_t k = 2; k < corners.size(); ++k)
      triangles.emplace_back(corners[0], corners[k - 1], corners[k]);
  }
  return kexmeshtest::makeBuffer(vertices, triangles);
}

Result runCgal(const KEXTriangleMeshBuffer& soup)
{
  std::vector<Point> points;
  std::vector<std::array<std::size_t, 3>> polygons;
  points.reserve(size_t(soup.getVertexCount()));
  for (const auto& p : soup.vertexList)
    points.emplace_back(p.x, p.y, p.z);
  for (const auto& t : soup.triangleList) {
    bool finite = true;
    for (int k = 0; k < 3; ++k) {
      const auto& p = soup.vertexList[t[k]];
      finite = finite && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
    }
    if (finite)
      polygons.push_back({size_t(t[0]), size_t(t[1]), size_t(t[2])});
  }
  Result r;
  Clock::time_point start = Clock::now(), step = start;
  PMP::repair_polygon_soup(points, polygons);
  std::printf("  cgal repair_polygon_soup          %8.3f s\n", since(step));
  step = Clock::now();
  PMP::orient_polygon_soup(points, polygons);
  std::printf("  cgal orient_polygon_soup          %8.3f s\n", since(step));
  step = Clock::now();
  SurfaceMesh mesh;
  PMP::polygon_soup_to_polygon_mesh(points, polygons, mesh);
  std::printf("  cgal polygon_soup_to_polygon_mesh %8.3f s\n", since(step));
  step = Clock::now();
  PMP::remove_degenerate_faces(mesh);
  mesh.collect_garbage();
  std::printf("  cgal remove_degenerate_faces      %8.3f s\n", since(step));
  step = Clock::now();
  std::vector<Halfedge> holes;
  std::vector<char> seen(mesh.number_of_halfedges(), 0);
  for (Halfedge h : mesh.halfedges()) {
    if (!mesh.is_border(h) || seen[size_t(h.idx())])
      continue;
    holes.push_back(h);
    for (Halfedge g = h; !seen[size_t(g.idx())]; g = mesh.next(g))
      seen[size_t(g.idx())] = 1;
  }
  int filled = 0;
  for (Halfedge h : holes) {
    std::vector<SurfaceMesh::Face_index> patch;
    PMP::triangulate_hole(mesh, h, std::back_inserter(patch));
    filled += !patch.empty();
  }
  std::printf("  cgal triangulate_hole %d of %zu    %8.3f s\n", filled, holes.size(), since(step));
  step = Clock::now();
  if (CGAL::is_closed(mesh))
    PMP::orient_to_bound_a_volume(mesh);
  else
    PMP::orient(mesh);
  std::printf("  cgal orient_to_bound_a_volume     %8.3f s\n", since(step));
  r.seconds = since(start);
  r.output = toBuffer(mesh);
  return r;
}

/// Seconds a peer may take on one input before it counts as not done.
constexpr int peerLimit = 300;

/// Runs a peer in a child process and waits at most limit seconds for it: a pipeline that does not
/// end (CGAL's volume orientation on a million separate pieces) is reported, not waited for. The
/// child sends its time and its output through a pipe.
template <class Run> Result runLimited(const char* tool, const KEXTriangleMeshBuffer& soup, Run run, int limit)
{
  Result r;
  int fds[2];
  if (pipe(fds) != 0)
    return r;
  std::fflush(stdout);
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    return r;
  }
  if (child == 0) {
    close(fds[0]);
    const Result done = run(soup);
    const int counts[2] = {done.output.getVertexCount(), done.output.getTriangleCount()};
    FILE* f = fdopen(fds[1], "wb");
    bool ok = f && std::fwrite(&done.seconds, sizeof done.seconds, 1, f) == 1 && std::fwrite(counts, 4, 2, f) == 2;
    for (int v = 0; ok && v < counts[0]; ++v)
      ok = std::fwrite(&done.output.vertexList[v].x, 4, 1, f) == 1 && std::fwrite(&done.output.vertexList[v].y, 4, 1, f) == 1 &&
           std::fwrite(&done.output.vertexList[v].z, 4, 1, f) == 1;
    for (int t = 0; ok && t < counts[1]; ++t)
      for (int k = 0; ok && k < 3; ++k)
        ok = std::fwrite(&done.output.triangleList[t][k], 4, 1, f) == 1;
    std::fflush(stdout);
    _exit(f && std::fclose(f) == 0 && ok ? 0 : 1);
  }
  close(fds[1]);
  // Wait for the first byte with a deadline, then read the rest (the child is done computing).
  pollfd wait{fds[0], POLLIN, 0};
  if (poll(&wait, 1, limit * 1000) <= 0) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(fds[0]);
    std::printf("  %s: stopped after %d s without a result\n", tool, limit);
    return r;
  }
  FILE* f = fdopen(fds[0], "rb");
  double seconds = -1.0;
  int counts[2] = {0, 0};
  bool ok = f && std::fread(&seconds, sizeof seconds, 1, f) == 1 && std::fread(counts, 4, 2, f) == 2 && counts[0] >= 0 &&
            counts[1] >= 0;
  std::vector<kexmeshtest::Vec3> vertices(ok ? size_t(counts[0]) : 0);
  std::vector<kexmeshtest::Tri> triangles(ok ? size_t(counts[1]) : 0);
  for (auto& p : vertices)
    ok = ok && std::fread(&p.x, 4, 1, f) == 1 && std::fread(&p.y, 4, 1, f) == 1 && std::fread(&p.z, 4, 1, f) == 1;
  for (auto& t : triangles)
    for (int k = 0; k < 3; ++k) {
      int i = 0;
      ok = ok && std::fread(&i, 4, 1, f) == 1;
      t[k] = i;
    }
  if (f)
    std::fclose(f);
  int status = 0;
  waitpid(child, &status, 0);
  if (ok && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    r.seconds = seconds;
    r.output = kexmeshtest::makeBuffer(vertices, triangles);
  } else
    std::printf("  %s: failed\n", tool);
  return r;
}

/// Writes the soup as binary STL (NaN vertices included, as a broken export would).
bool writeStl(const KEXTriangleMeshBuffer& soup, const std::string& path)
{
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f)
    return false;
  char header[80] = {};
  std::fwrite(header, 1, 80, f);
  uint32_t n = uint32_t(soup.getTriangleCount());
  std::fwrite(&n, 4, 1, f);
  for (const auto& t : soup.triangleList) {
    float data[12] = {};
    for (int k = 0; k < 3; ++k) {
      const auto& p = soup.vertexList[t[k]];
      data[3 + 3 * k] = p.x;
      data[4 + 3 * k] = p.y;
      data[5 + 3 * k] = p.z;
    }
    uint16_t attribute = 0;
    std::fwrite(data, 4, 12, f);
    std::fwrite(&attribute, 2, 1, f);
  }
  return std::fclose(f) == 0;
}

/// Reads a binary STL and joins the corners whose coordinates are bit for bit the same (after
/// -0 -> +0), which is how admesh leaves the vertices it matched. Kept apart from the library's
/// reader so that the judge of a peer shares no code with the library under test.
bool readStl(const std::string& path, KEXTriangleMeshBuffer& out)
{
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f)
    return false;
  char header[80];
  uint32_t n = 0;
  bool ok = std::fread(header, 1, 80, f) == 80 && std::fread(&n, 4, 1, f) == 1;
  std::vector<std::array<uint32_t, 3>> corners(ok ? 3 * size_t(n) : 0);
  for (uint32_t t = 0; ok && t < n; ++t) {
    unsigned char record[50];
    ok = std::fread(record, 1, 50, f) == 50;
    for (int k = 0; ok && k < 9; ++k) {
      float x;
      std::memcpy(&x, record + 12 + 4 * k, 4);
      x += 0.0f;
      std::memcpy(&corners[3 * size_t(t) + size_t(k / 3)][size_t(k % 3)], &x, 4);
    }
  }
  std::fclose(f);
  if (!ok)
    return false;
  std::vector<int> order(corners.size()), index(corners.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&corners](int a, int b) { return corners[size_t(a)] < corners[size_t(b)]; });
  std::vector<kexmeshtest::Vec3> vertices;
  for (size_t i = 0; i < order.size(); ++i) {
    const auto& c = corners[size_t(order[i])];
    if (i == 0 || c != corners[size_t(order[i - 1])]) {
      float p[3];
      std::memcpy(p, c.data(), 12);
      vertices.emplace_back(p[0], p[1], p[2]);
    }
    index[size_t(order[i])] = int(vertices.size()) - 1;
  }
  std::vector<kexmeshtest::Tri> triangles(n);
  for (size_t t = 0; t < n; ++t)
    triangles[t] = kexmeshtest::Tri(index[3 * t], index[3 * t + 1], index[3 * t + 2]);
  out = kexmeshtest::makeBuffer(vertices, triangles);
  return true;
}

Result runAdmesh(const KEXTriangleMeshBuffer& soup)
{
  Result r;
  if (std::system("command -v admesh > /dev/null 2>&1") != 0)
    return r;
  // Names of this process's own: another developer may run the same driver at the same time.
  const std::string stem = "/tmp/kexmesh-fixpeers-" + std::to_string(long(getpid()));
  const std::string in = stem + "-in.stl", out = stem + "-out.stl", log = stem + "-admesh.log";
  if (!writeStl(soup, in))
    return r;
  const std::string command = "timeout " + std::to_string(peerLimit) + " admesh --exact --nearby --fill-holes --normal-directions --normal-values -b " + out + " " +
                              in + " > " + log + " 2>&1";
  Clock::time_point start = Clock::now();
  const int rc = std::system(command.c_str());
  const double seconds = since(start);
  if (rc == 0 && readStl(out, r.output))
    r.seconds = seconds;
  std::remove(in.c_str());
  std::remove(out.c_str());
  if (r.seconds < 0)
    std::printf("  admesh failed (exit %d), its log: %s\n", rc, log.c_str());
  else
    std::remove(log.c_str());
  return r;
}

/// What the checker says about one output.
struct Check {
  kexmeshtest::MeshQuality q;
  int inputOff = 0;  ///< input vertices farther than r from the output surface
  int outputOff = 0; ///< output vertices farther than r from the input surface
  bool valid = false;
};

/// The input's finite triangles only: NaN corners are no surface to measure against, and no point
/// a repair is expected to keep.
KEXTriangleMeshBuffer finitePart(const KEXTriangleMeshBuffer& soup)
{
  KEXTriangleMeshBuffer b;
  b.vertexList = soup.vertexList;
  std::vector<kexmeshtest::Tri> kept;
  for (const auto& t : soup.triangleList) {
    bool finite = true;
    for (int k = 0; k < 3; ++k) {
      const auto& p = soup.vertexList[t[k]];
      finite = finite && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
    }
    if (finite)
      kept.push_back(t);
  }
  b.triangleList.setCount(int(kept.size()));
  for (size_t i = 0; i < kept.size(); ++i)
    b.triangleList[int(i)] = kept[i];
  return b;
}

Check check(const KEXTriangleMeshBuffer& output, const KEXTriangleMeshBuffer& input,
            const kexmeshtest::SurfaceDistance& inputSurface, const kexmeshtest::MeshQuality& source, double r)
{
  Check c;
  c.q = kexmeshtest::measure(output);
  double worst = 0.0;
  // The surface from the finite triangles only (a NaN corner would spoil the grid's cell size);
  // a used NaN vertex still counts below as a vertex off the input surface.
  const kexmeshtest::SurfaceDistance outputSurface(finitePart(output));
  c.inputOff = outputSurface.countFarther(input, r, worst);
  c.outputOff = inputSurface.countFarther(output, r, worst);
  c.valid = c.q.nonManifoldEdges <= source.nonManifoldEdges && c.q.duplicateTriangles <= source.duplicateTriangles &&
            c.q.inwardComponents <= source.inwardComponents && c.inputOff == 0 && c.outputOff == 0;
  return c;
}

void printRow(const char* tool, double seconds, double ratio, bool counts, const Check& c)
{
  char ratioText[32];
  if (ratio < 0)
    std::snprintf(ratioText, sizeof ratioText, "-");
  else
    std::snprintf(ratioText, sizeof ratioText, counts ? "%.2f" : "(%.2f) no count", ratio);
  std::printf("  %-8s %9.3f %16s %9d %9d %8d %8d %8d %7d %9d %9d  %s\n", tool, seconds, ratioText, c.q.vertices,
              c.q.triangles, c.q.nonManifoldEdges, c.q.duplicateTriangles, c.q.borderEdges, c.q.inwardComponents,
              c.inputOff, c.outputOff, c.valid ? "VALID" : "WRONG");
}

void compare(const char* name, const KEXTriangleMeshBuffer& source, const KEXTriangleMeshBuffer& soup)
{
  std::printf("%s: %d triangles, %d vertices\n", name, soup.getTriangleCount(), soup.getVertexCount());
  const kexmeshtest::MeshQuality sourceQuality = kexmeshtest::measure(source);
  std::printf("  source mesh: %s\n", sourceQuality.summary().c_str());
  const KEXTriangleMeshBuffer input = finitePart(soup);
  const double r = 1e-5 * kexmeshbench::diagonal(input);
  const kexmeshtest::SurfaceDistance inputSurface(input);

  const char* tools[3] = {"kexmesh", "cgal", "admesh"};
  const Result results[3] = {runKexmesh(soup), runLimited("cgal", soup, runCgal, peerLimit), runAdmesh(soup)};
  Check checks[3];
  for (int i = 0; i < 3; ++i)
    if (results[i].seconds >= 0) {
      const Clock::time_point start = Clock::now();
      checks[i] = check(results[i].output, input, inputSurface, sourceQuality, r);
      std::fprintf(stderr, "  (%s output checked in %.1f s)\n", tools[i], since(start));
    }

  std::printf("  checked with r = %.3g (1e-5 of the diagonal); WRONG: non-manifold, duplicates or inward above the "
              "source mesh's (%d, %d, %d), or any vertex off the other surface\n",
              r, sourceQuality.nonManifoldEdges, sourceQuality.duplicateTriangles, sourceQuality.inwardComponents);
  std::printf("  %-8s %9s %16s %9s %9s %8s %8s %8s %7s %9s %9s  %s\n", "tool", "time s", "peer/kexmesh", "vertices",
              "triangles", "non-man", "dup", "border", "inward", "in-off", "out-off", "verdict");
  const bool oursValid = results[0].seconds >= 0 && checks[0].valid;
  for (int i = 0; i < 3; ++i) {
    if (results[i].seconds < 0) {
      std::printf("  %-8s no result (not installed, failed or stopped at the limit: see above), no ratio\n", tools[i]);
      continue;
    }
    // A ratio is a comparison of two correct answers; against a wrong one on either side it is
    // shown for information only.
    const double ratio = i == 0 ? -1.0 : (results[0].seconds > 0 ? results[i].seconds / results[0].seconds : -1.0);
    printRow(tools[i], results[i].seconds, ratio, oursValid && checks[i].valid, checks[i]);
  }
  std::fflush(stdout);
}

} // namespace

int main()
{
  std::setvbuf(stdout, nullptr, _IOLBF, 0); // the lines of a long run show as they come, also in a file
  const std::filesystem::path data = std::filesystem::path(KEXMESH_DATA_DIR) / "meshes";
  KEXTriangleMeshBuffer bunny, elephant;
  if (kexmeshtest::readOff((data / "elephant.off").string(), elephant))
    compare("elephant float-noise soup", elephant, kexmeshbench::floatNoiseSoup(elephant, 0.3, 1e-6, 29));
  else
    std::printf("elephant.off: not found, run scripts/fetch-data\n");
  if (kexmeshtest::readOff((data / "bunny00.off").string(), bunny)) {
    const KEXTriangleMeshBuffer bunny1M = kexmeshbench::loopSubdivide(kexmeshbench::loopSubdivide(bunny));
    compare("bunny_1M float-noise soup", bunny1M, kexmeshbench::floatNoiseSoup(bunny1M, 0.3, 1e-6, 23));
  } else
    std::printf("bunny00.off: not found, run scripts/fetch-data\n");
  compare("torus 2M damaged soup", kexmeshtest::makeTorus(1000, 1000), kexmeshbench::generatedSoup());
  return 0;
}
