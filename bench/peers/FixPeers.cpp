// The whole repair of a damaged triangle soup side by side: kexmesh's eleven-step default sequence
// (KEXFixReport on a plain buffer) against a CGAL pipeline doing the same job: repair_polygon_soup
// (drops degenerate polygons, merges duplicate points), orient_polygon_soup,
// polygon_soup_to_polygon_mesh, remove_degenerate_faces, triangulate_hole on every border cycle and
// orient_to_bound_a_volume (PMP::orient when the result is not closed), and admesh (exact
// matching, nearby matching, hole filling, normal fixing) on the STL version when the admesh
// program is installed. Inputs: the generated 2M-triangle torus soup and the soup of
// mech-holes-shark.off from data/ when present. Non-finite triangles are dropped while converting
// for CGAL (which cannot take NaN points); conversions and file writing are not timed, admesh is
// timed as a whole process including reading its STL. Prints per-step times and peer / kexmesh.
#include "../FixInputs.h"
#include "kexmesh/repair/FixReport.h"
#include "kexmesh/repair/FixTriangleMesh.h"
#include "support/OffReader.h"

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Polygon_mesh_processing/orient_polygon_soup.h>
#include <CGAL/Polygon_mesh_processing/orientation.h>
#include <CGAL/Polygon_mesh_processing/polygon_soup_to_polygon_mesh.h>
#include <CGAL/Polygon_mesh_processing/repair.h>
#include <CGAL/Polygon_mesh_processing/repair_polygon_soup.h>
#include <CGAL/Polygon_mesh_processing/triangulate_hole.h>
#include <CGAL/Surface_mesh.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace PMP = CGAL::Polygon_mesh_processing;
using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using Point = Kernel::Point_3;
using SurfaceMesh = CGAL::Surface_mesh<Point>;
using Halfedge = SurfaceMesh::Halfedge_index;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Result {
  double seconds = 0;
  int holesFilled = 0;
  long triangles = 0;
};

Result runKexmesh(const KEXTriangleMeshBuffer& soup)
{
  KEXFixTriangleMesh filter;
  KEXTriangleMeshBuffer b;
  b.vertexList = soup.vertexList;
  b.triangleList = soup.triangleList;
  Clock::time_point start = Clock::now();
  bool ok = KEXFixReport::run(filter, b, nullptr);
  Result r;
  r.seconds = since(start);
  if (!ok)
    std::printf("  kexmesh: repair failed\n");
  // A second run with counting, for the per-step times and the hole count.
  KEXFixReport report;
  KEXTriangleMeshBuffer c;
  c.vertexList = soup.vertexList;
  c.triangleList = soup.triangleList;
  KEXFixReport::run(filter, c, &report);
  for (int i = 0; i < report.steps.getCount(); ++i)
    std::printf("  kexmesh step %2d %-26s %8.3f s  V %d -> %d  T %d -> %d\n", i + 1, report.steps[i].name.getString(),
                report.steps[i].seconds, report.steps[i].verticesBefore, report.steps[i].verticesAfter,
                report.steps[i].trianglesBefore, report.steps[i].trianglesAfter);
  std::printf("  kexmesh: welded %d, holes %d -> %d, reoriented %d triangles / %d components, open edges %d, "
              "non-manifold %d\n",
              report.verticesWelded, report.holesBefore, report.holesAfter, report.trianglesReoriented,
              report.componentsFlipped, report.openEdges, report.nonManifoldEdges);
  r.holesFilled = report.holesBefore - report.holesAfter;
  r.triangles = b.getTriangleCount();
  return r;
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
  for (Halfedge h : holes) {
    std::vector<SurfaceMesh::Face_index> patch;
    PMP::triangulate_hole(mesh, h, std::back_inserter(patch));
    r.holesFilled += !patch.empty();
  }
  std::printf("  cgal triangulate_hole x %-6zu     %8.3f s\n", holes.size(), since(step));
  step = Clock::now();
  if (CGAL::is_closed(mesh))
    PMP::orient_to_bound_a_volume(mesh);
  else
    PMP::orient(mesh);
  std::printf("  cgal orient_to_bound_a_volume     %8.3f s\n", since(step));
  r.seconds = since(start);
  r.triangles = long(mesh.number_of_faces());
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

double runAdmesh(const KEXTriangleMeshBuffer& soup)
{
  if (std::system("command -v admesh > /dev/null 2>&1") != 0)
    return -1.0;
  const std::string in = "/tmp/kexmesh-fixpeers-in.stl", out = "/tmp/kexmesh-fixpeers-out.stl";
  if (!writeStl(soup, in))
    return -1.0;
  const std::string command = "admesh --exact --nearby --fill-holes --normal-directions --normal-values -b " + out + " " +
                              in + " > /tmp/kexmesh-fixpeers-admesh.log 2>&1";
  Clock::time_point start = Clock::now();
  int rc = std::system(command.c_str());
  double seconds = since(start);
  std::remove(in.c_str());
  std::remove(out.c_str());
  return rc == 0 ? seconds : -1.0;
}

void compare(const char* name, const KEXTriangleMeshBuffer& soup)
{
  std::printf("%s: %d triangles, %d vertices\n", name, soup.getTriangleCount(), soup.getVertexCount());
  Result ours = runKexmesh(soup);
  Result cgal = runCgal(soup);
  double admesh = runAdmesh(soup);
  std::printf("  kexmesh %.3f s (holes filled %d, %ld triangles)\n", ours.seconds, ours.holesFilled, ours.triangles);
  std::printf("  cgal    %.3f s (holes filled %d, %ld triangles)  ratio cgal/kexmesh %.2f\n", cgal.seconds,
              cgal.holesFilled, cgal.triangles, cgal.seconds / ours.seconds);
  if (admesh > 0)
    std::printf("  admesh  %.3f s (whole process incl. reading)  ratio admesh/kexmesh %.2f\n", admesh,
                admesh / ours.seconds);
  else
    std::printf("  admesh  not run (not installed or failed)\n");
}

} // namespace

int main()
{
  compare("torus 2M soup", kexmeshbench::generatedSoup());
  const std::filesystem::path data = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "data/meshes";
  for (const char* name : {"mech-holes-shark.off", "elephant-with-holes.off"}) {
    KEXTriangleMeshBuffer mesh;
    if (!std::filesystem::exists(data / name) || !kexmeshtest::readOff((data / name).string(), mesh)) {
      std::printf("%s: not found, run scripts/fetch-data\n", name);
      continue;
    }
    compare(name, kexmeshbench::damagedSoup(mesh, 0, 3, 5));
  }
  return 0;
}
