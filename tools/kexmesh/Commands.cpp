// The subcommands of the kexmesh tool: read, run the library's algorithms by class name, write.
#include "Commands.h"

#include "Session.h"

#include "kex/Class.h"
#include "kex/Values.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "kexmesh/core/TriangleMeshBuffer.h"

#if __has_include("kexmesh/repair/ClusterVerticesAlgorithm.h")
#include "kexmesh/repair/ClusterVerticesAlgorithm.h"
#define KEXMESH_TOOL_HAS_CLUSTER 1
#endif
#if __has_include("kexmesh/repair/CheckTriangleMeshAlgorithm.h")
#include "kexmesh/repair/CheckTriangleMeshAlgorithm.h"
#define KEXMESH_TOOL_HAS_CHECK 1
#endif
#if __has_include("kexmesh/core/TransformListAlgorithmBase.h")
#include "kexmesh/core/TransformListAlgorithmBase.h"
#define KEXMESH_TOOL_HAS_TRANSFORM 1
#endif
#if __has_include("kexmesh/core/HarmonizeVertexNormalsAlgorithm.h")
#include "kexmesh/core/HarmonizeVertexNormalsAlgorithm.h"
#define KEXMESH_TOOL_HAS_HARMONIZE 1
#endif

#include <cmath>
#include <cstdio>

namespace kexmeshtool {

namespace {

struct CheckCounts {
  bool ran = false;
  int invalidVertices = 0, invalidTriangles = 0, emptyTriangles = 0;
};

CheckCounts runCheckAlgorithm(KEXTriangleMeshBuffer& b)
{
  CheckCounts c;
#ifdef KEXMESH_TOOL_HAS_CHECK
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
#else
  (void)b;
#endif
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

// read -> steps -> write, the shape of most subcommands.
int transformFile(const Options& o, const std::function<int(KEXTriangleMeshBuffer&)>& steps)
{
  KEXTriangleMeshBuffer b;
  if (int code = readMesh(o.input, b))
    return code;
  if (int code = steps(b))
    return code;
  if (interruptCount() > 0) {
    printError("stopped by the user; %s was not written", o.output.c_str());
    return OperationFailed;
  }
  return writeMesh(o.output, b, o.ascii);
}

int step(KEXTriangleMeshBuffer& b, const char* className, const char* what,
         const std::function<bool(KEXTriangleMeshAlgorithmIF&)>& configure = nullptr)
{
  return exitCodeOf(runAlgorithm(className, b, configure), what);
}

int computeNormals(KEXTriangleMeshBuffer& b)
{
  if (b.getTriangleCount() == 0) {
    printWarning("a point cloud has no triangles to compute normals from");
    return Success;
  }
  if (int code = step(b, "KEXCalculateVertexNormalsAlgorithm", "vertex normals"))
    return code;
#ifdef KEXMESH_TOOL_HAS_HARMONIZE
  return step(b, "KEXHarmonizeVertexNormalsAlgorithm", "normal harmonisation", [](KEXTriangleMeshAlgorithmIF& a) {
    return static_cast<KEXHarmonizeVertexNormalsAlgorithm&>(a).setVectorLength(1.0f);
  });
#else
  return Success;
#endif
}

int weldBuffer(KEXTriangleMeshBuffer& b, double distance)
{
#ifdef KEXMESH_TOOL_HAS_CLUSTER
  int before = b.getVertexCount();
  int code = step(b, "KEXClusterVerticesAlgorithm", "weld", [&](KEXTriangleMeshAlgorithmIF& a) {
    return static_cast<KEXClusterVerticesAlgorithm&>(a).setMaximumDistance(float(distance));
  });
  if (code == Success && b.getTriangleCount() > 0)
    code = step(b, "KEXRemoveOrphanedVerticesAlgorithm", "removing unused vertices");
  if (code == Success)
    std::fprintf(stderr, "welded %d vertices into %d\n", before, b.getVertexCount());
  return code;
#else
  (void)b;
  (void)distance;
  printError("welding is not available in this build");
  return OperationFailed;
#endif
}

} // namespace

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
  bool problems = c.invalidVertices || c.invalidTriangles || c.emptyTriangles || s.nonFiniteVertices ||
                  s.invalidTriangles || s.nonManifoldEdges || s.flippedEdges || s.degenerateTriangles;
  std::printf("%s\n", problems ? "problems found" : "no problems found");
  return problems ? OperationFailed : Success;
}

int runNormals(const Options& o) { return transformFile(o, computeNormals); }

int runWeld(const Options& o, double distance)
{
  return transformFile(o, [&](KEXTriangleMeshBuffer& b) { return weldBuffer(b, distance); });
}

int runFlip(const Options& o)
{
  return transformFile(o, [](KEXTriangleMeshBuffer& b) { return step(b, "KEXFlipOrientationAlgorithm", "flip"); });
}

int runTransform(const Options& o, const std::vector<double>& matrix, const std::vector<double>& scale,
                 const std::vector<double>& translate)
{
  KEXMatrix4<float> m(1.0f);
  if (matrix.size() == 16) {
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c)
        m(r, c) = float(matrix[size_t(4 * r + c)]);
  } else if (!scale.empty()) {
    double sx = scale[0], sy = scale.size() == 3 ? scale[1] : sx, sz = scale.size() == 3 ? scale[2] : sx;
    m = KEXMatrix4<float>::createScaleMatrix(float(sx), float(sy), float(sz));
  } else if (translate.size() == 3) {
    m = KEXMatrix4<float>::createTranslationMatrix(float(translate[0]), float(translate[1]), float(translate[2]));
  } else {
    printError("--scale takes one or three numbers");
    return BadInput;
  }
  double det = m(0, 0) * (double(m(1, 1)) * m(2, 2) - double(m(1, 2)) * m(2, 1)) -
               m(0, 1) * (double(m(1, 0)) * m(2, 2) - double(m(1, 2)) * m(2, 0)) +
               m(0, 2) * (double(m(1, 0)) * m(2, 1) - double(m(1, 1)) * m(2, 0));
  if (!std::isfinite(det) || det == 0.0) {
    printError("the transform is singular (determinant %g)", det);
    return BadInput;
  }
#ifdef KEXMESH_TOOL_HAS_TRANSFORM
  return transformFile(o, [&](KEXTriangleMeshBuffer& b) {
    auto set = [&](KEXTriangleMeshAlgorithmIF& a) {
      return static_cast<KEXTransformListAlgorithmBase&>(a).setTransformMatrix(m);
    };
    if (int code = step(b, "KEXTransformVertexListAlgorithm", "vertex transform", set))
      return code;
    if (b.hasVertexNormalList())
      if (int code = step(b, "KEXTransformVertexNormalListAlgorithm", "normal transform", set))
        return code;
    if (b.hasTriangleNormalList())
      if (int code = step(b, "KEXTransformTriangleNormalListAlgorithm", "normal transform", set))
        return code;
    if (det < 0 && b.getTriangleCount() > 0) {
      // A mirror turns the surface inside out: flip the triangles back. Flipping negates the
      // triangle normals, which the transform already got right, so they are recomputed later.
      b.removeTriangleNormalList();
      return step(b, "KEXFlipOrientationAlgorithm", "orientation after mirroring");
    }
    return int(Success);
  });
#else
  printError("transforms are not available in this build");
  return OperationFailed;
#endif
}

int runConvert(const Options& o)
{
  return transformFile(o, [](KEXTriangleMeshBuffer&) { return int(Success); });
}

int runOrient(const Options& o)
{
  return transformFile(o, [](KEXTriangleMeshBuffer& b) {
    return step(b, "KEXConsolidateOrientationAlgorithm", "orientation");
  });
}

int runCloseGaps(const Options& o)
{
  return transformFile(o, [](KEXTriangleMeshBuffer& b) {
    int before = b.getTriangleCount();
    int code = step(b, "KEXCloseGapsAlgorithm", "closing gaps");
    if (code == Success)
      std::fprintf(stderr, "added %d triangles\n", b.getTriangleCount() - before);
    return code;
  });
}

int runEnhance(const Options& o)
{
  return transformFile(o, [](KEXTriangleMeshBuffer& b) {
    if (int code = step(b, "KEXRemoveCapTrianglesAlgorithm", "cap triangle removal"))
      return code;
    return step(b, "KEXRepairBadTrianglesAlgorithm", "bad triangle repair");
  });
}

int runDye(const Options& o)
{
  return transformFile(o, [](KEXTriangleMeshBuffer& b) {
    return step(b, "KEXDyeBadTrianglesAlgorithm", "dyeing bad triangles");
  });
}

int repairPipeline(KEXTriangleMeshBuffer& b, double weldDistance, bool verbose);

int runFix(const Options& o)
{
  // Only copies of a vertex are joined (a millionth of the diagonal): the estimated welding
  // distance of `weld` would also merge genuinely close vertices of a clean mesh.
  return transformFile(o, [](KEXTriangleMeshBuffer& b) {
    KEXInterval<KEXVector3<float>> box;
    double distance = b.calculateBoundingBox(box) && !box.isEmpty() ? 1e-6 * box.getDiameter() : -1.0;
    return repairPipeline(b, distance, true);
  });
}

} // namespace kexmeshtool
