// Reading and writing a two-million-triangle binary PLY and binary STL, side by side with Open3D
// and VTK. Files are made by the kexmesh handlers once; each reader then reads the same file
// (best of five, file in the page cache). Prints peer time / kexmesh time.
// Usage: kexmesh_peers_io [scratch directory]
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/io/TriangleMeshIO.h"

#include <open3d/geometry/TriangleMesh.h>
#include <open3d/io/TriangleMeshIO.h>
#include <vtkNew.h>
#include <vtkPLYReader.h>
#include <vtkPLYWriter.h>
#include <vtkPolyData.h>
#include <vtkSTLReader.h>
#include <vtkSTLWriter.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

namespace {

double best(const std::function<void()>& f, int runs = 5)
{
  double b = 1e30;
  for (int i = 0; i < runs; ++i) {
    auto t = std::chrono::steady_clock::now();
    f();
    b = std::min(b, std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
  }
  return b;
}

// A sphere of about 2M triangles from a cube grid, vertices shared.
KEXTriangleMeshBuffer sphere(int n)
{
  KEXTriangleMeshBuffer b;
  int side = n + 1;
  b.vertexList.setCount(6 * side * side);
  b.triangleList.setCount(12 * n * n);
  int v = 0, t = 0;
  for (int face = 0; face < 6; ++face) {
    int axis = face / 2, sign = face % 2 ? 1 : -1, base = v;
    for (int i = 0; i <= n; ++i)
      for (int j = 0; j <= n; ++j) {
        double p[3];
        p[axis] = sign;
        p[(axis + 1) % 3] = 2.0 * i / n - 1;
        p[(axis + 2) % 3] = 2.0 * j / n - 1;
        double l = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
        b.vertexList[v++] = KEXVector3<float>(float(p[0] / l), float(p[1] / l), float(p[2] / l));
      }
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        int a = base + i * side + j, c = a + side, d = c + 1, e = a + 1;
        b.triangleList[t++] = KEXTriangle<int>(a, c, d);
        b.triangleList[t++] = KEXTriangle<int>(a, d, e);
      }
  }
  return b;
}

} // namespace

int main(int argc, char** argv)
{
  std::string dir = argc > 1 ? argv[1] : "/tmp";
  KEXTriangleMeshBuffer mesh = sphere(408);
  std::printf("mesh: %d vertices, %d triangles\n", mesh.getVertexCount(), mesh.getTriangleCount());
  for (const char* ext : {"ply", "stl"}) {
    std::string ours = dir + "/kexmesh-io-bench." + ext;
    std::string peer = dir + "/kexmesh-io-bench-peer." + ext;
    KEXGeometryIO::Report report;
    KEXTriangleMeshIO* io = KEXTriangleMeshIO::createForFile(ours.c_str(), report);
    if (!io)
      return std::printf("%s\n", report.message.c_str()), 1;
    double writeK = best([&] { io->writeBuffer(ours.c_str(), mesh, report); });
    double readK = best([&] {
      KEXTriangleMeshBuffer b;
      io->readBuffer(ours.c_str(), b, report);
    });
    // Peers read our file; for writing they start from their own mesh type (built untimed).
    double readO = best([&] {
      open3d::geometry::TriangleMesh m;
      open3d::io::ReadTriangleMesh(ours, m);
    });
    open3d::geometry::TriangleMesh om;
    open3d::io::ReadTriangleMesh(ours, om);
    double writeO = best([&] { open3d::io::WriteTriangleMesh(peer, om, false); });
    double readV, writeV;
    if (std::string(ext) == "ply") {
      readV = best([&] {
        vtkNew<vtkPLYReader> r;
        r->SetFileName(ours.c_str());
        r->Update();
      });
      vtkNew<vtkPLYReader> r;
      r->SetFileName(ours.c_str());
      r->Update();
      writeV = best([&] {
        vtkNew<vtkPLYWriter> w;
        w->SetFileName(peer.c_str());
        w->SetInputData(r->GetOutput());
        w->SetFileTypeToBinary();
        w->Write();
      });
    } else {
      readV = best([&] {
        vtkNew<vtkSTLReader> r;
        r->SetFileName(ours.c_str());
        r->Update();
      });
      vtkNew<vtkSTLReader> r;
      r->SetFileName(ours.c_str());
      r->Update();
      writeV = best([&] {
        vtkNew<vtkSTLWriter> w;
        w->SetFileName(peer.c_str());
        w->SetInputData(r->GetOutput());
        w->SetFileTypeToBinary();
        w->Write();
      });
    }
    std::printf("%s read : kexmesh %.3fs  Open3D %.3fs (x%.1f)  VTK %.3fs (x%.1f)\n", ext, readK, readO,
                readO / readK, readV, readV / readK);
    std::printf("%s write: kexmesh %.3fs  Open3D %.3fs (x%.1f)  VTK %.3fs (x%.1f)\n", ext, writeK, writeO,
                writeO / writeK, writeV, writeV / writeK);
    KEXTriangleMeshIO::destroy(io);
    std::remove(ours.c_str());
    std::remove(peer.c_str());
  }
  return 0;
}
