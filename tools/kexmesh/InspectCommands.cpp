// kexmesh info and check: what a mesh is made of and what is wrong with it. The figures come from
// the library's integrity check and from the tool's mesh statistics.
#include "Commands.h"
#include "Session.h"

#include <CLI/CLI.hpp>

#include "kexmesh/repair/CheckTriangleMeshAlgorithm.h"

#include <cstdio>
#include <string>

namespace kexmeshtool {

namespace {

struct CheckCounts {
  bool ran = false;
  int invalidVertices = 0, invalidTriangles = 0, emptyTriangles = 0;
};

CheckCounts runCheckAlgorithm(KEXTriangleMeshBuffer& b)
{
  CheckCounts c;
  // Created by class name like every step; the counts are read through the class's interface.
  const KEXMetaClass* meta = KEXMetaClass::find("KEXCheckTriangleMeshAlgorithm");
  if (meta) {
    auto* check = static_cast<KEXCheckTriangleMeshAlgorithm*>(meta->create());
    if (check) {
      check->setBuffer(&b);
      check->execute(nullptr);
      check->setBuffer(nullptr);
      c.ran = true;
      c.invalidVertices = check->getInvalidVertexCount();
      c.invalidTriangles = check->getInvalidTriangleCount();
      c.emptyTriangles = check->getEmptyTriangleCount();
      meta->destruct(check, true);
    }
  }
  return c;
}

void printStatsLines(const MeshStats& s)
{
  std::printf("  non-finite vertices:       %lld\n", s.nonFiniteVertices);
  std::printf("  invalid triangles:         %lld\n", s.invalidTriangles);
  std::printf("  duplicate vertices:        %lld\n", s.duplicateVertices);
  std::printf("  unused vertices:           %lld\n", s.unusedVertices);
  std::printf("  degenerate triangles:      %lld\n", s.degenerateTriangles);
  std::printf("  boundary edges:            %lld (in %lld loops)\n", s.boundaryEdges, s.boundaryLoops);
  std::printf("  non-manifold edges:        %lld\n", s.nonManifoldEdges);
  std::printf("  inconsistent orientation:  %lld edges\n", s.flippedEdges);
}

int runInfo(const Options& o)
{
  KEXTriangleMeshBuffer b;
  if (int code = readMesh(o.input, b))
    return code;
  MeshStats s = computeStats(b);
  std::printf("%s\n", o.input.c_str());
  std::printf("  vertices:                  %lld\n", s.vertices);
  if (s.triangles > 0)
    std::printf("  triangles:                 %lld\n", s.triangles);
  else
    std::printf("  triangles:                 0 (point cloud)\n");
  std::string attributes;
  if (b.hasVertexNormalList())
    attributes += " vertex-normals";
  if (b.hasVertexColorList())
    attributes += " vertex-colours";
  if (b.hasTriangleNormalList())
    attributes += " triangle-normals";
  if (b.hasTriangleColorList())
    attributes += " triangle-colours";
  std::printf("  attributes:               %s\n", attributes.empty() ? " none" : attributes.c_str());
  bool valid = b.isConsistent() && s.nonFiniteVertices == 0 && s.invalidTriangles == 0;
  std::printf("  valid:                     %s\n", valid ? "yes" : "no");
  KEXInterval<KEXVector3<float>> box;
  if (b.calculateBoundingBox(box) && !box.isEmpty()) {
    const KEXVector3<float>& lo = box.getMin();
    const KEXVector3<float>& hi = box.getMax();
    std::printf("  bounding box:              (%g %g %g) - (%g %g %g), diagonal %g\n", lo.x, lo.y, lo.z, hi.x, hi.y,
                hi.z, box.getDiameter());
  }
  KEXVector3<float> msd;
  if (b.calculateMeanSamplingDistance(msd))
    std::printf("  mean sampling distance:    %g %g %g\n", msd.x, msd.y, msd.z);
  muteDiagnostics(true); // the counts below say it all
  CheckCounts c = runCheckAlgorithm(b);
  muteDiagnostics(false);
  if (c.ran)
    std::printf("  integrity check:           %d invalid vertices, %d invalid triangles, %d empty triangles\n",
                c.invalidVertices, c.invalidTriangles, c.emptyTriangles);
  printStatsLines(s);
  return Success;
}

int runCheck(const Options& o)
{
  KEXTriangleMeshBuffer b;
  if (int code = readMesh(o.input, b))
    return code;
  CheckCounts c = runCheckAlgorithm(b);
  MeshStats s = computeStats(b);
  std::printf("%s: %lld vertices, %lld triangles\n", o.input.c_str(), s.vertices, s.triangles);
  if (c.ran)
    std::printf("  integrity check:           %d invalid vertices, %d invalid triangles, %d empty triangles\n",
                c.invalidVertices, c.invalidTriangles, c.emptyTriangles);
  printStatsLines(s);
  // Open borders are problems too (a triangle soup has nothing else): a repair would close them.
  bool problems = c.invalidVertices || c.invalidTriangles || c.emptyTriangles || s.nonFiniteVertices ||
                  s.invalidTriangles || s.nonManifoldEdges || s.flippedEdges || s.degenerateTriangles ||
                  s.boundaryEdges;
  std::printf("%s\n", problems ? "problems found" : "no problems found");
  return problems ? ProblemsLeft : Success;
}

} // namespace

void addInspectCommands(CLI::App& app, Options& o)
{
  CLI::App* info = app.add_subcommand("info", "Counts, validity, bounding box, sampling distance, integrity check");
  addInput(*info, o);
  info->callback([&o] { o.run = [&o] { return runInfo(o); }; });
  CLI::App* check = app.add_subcommand("check", "Integrity and shape check; exit code 3 when problems are found");
  addInput(*check, o);
  check->callback([&o] { o.run = [&o] { return runCheck(o); }; });
}

} // namespace kexmeshtool
