// The subcommands of the kexmesh tool: read, run the library's algorithms by class name, write.
#include "Commands.h"

#include "Session.h"

#include "kex/Class.h"
#include "kex/Values.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/objects/ExecuteSequenceAction.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/EnhanceTriangleMesh.h"
#include "kexmesh/repair/FixReport.h"
#include "kexmesh/repair/FixTriangleMesh.h"

#include "kexmesh/repair/ClusterVerticesAlgorithm.h"
#include "kexmesh/repair/CheckTriangleMeshAlgorithm.h"
#include "kexmesh/core/TransformListAlgorithmBase.h"
#include "kexmesh/core/HarmonizeVertexNormalsAlgorithm.h"

#include <cmath>
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

// read -> steps -> write, the shape of most subcommands.
int transformFile(const Options& o, const std::function<int(KEXTriangleMeshBuffer&)>& steps)
{
  KEXTriangleMeshBuffer b;
  if (int code = readMesh(o.input, b))
    return code;
  // ProblemsLeft still writes: the repair did what it could, and the report says what is left.
  const int code = steps(b);
  if (code != Success && code != ProblemsLeft)
    return code;
  if (interruptCount() > 0) {
    printError("stopped by the user; %s was not written", o.output.c_str());
    return OperationFailed;
  }
  if (int written = writeMesh(o.output, b, o.ascii))
    return written;
  return code;
}

int step(KEXTriangleMeshBuffer& b, const char* className, const char* what,
         const std::function<bool(KEXTriangleMeshAlgorithmIF&)>& configure = nullptr,
         const std::function<void(KEXTriangleMeshAlgorithmIF&)>& inspect = nullptr)
{
  return exitCodeOf(runAlgorithm(className, b, configure, inspect), what);
}

int computeNormals(KEXTriangleMeshBuffer& b)
{
  if (b.getTriangleCount() == 0) {
    printWarning("a point cloud has no triangles to compute normals from");
    return Success;
  }
  if (int code = step(b, "KEXCalculateVertexNormalsAlgorithm", "vertex normals"))
    return code;
  return step(b, "KEXHarmonizeVertexNormalsAlgorithm", "normal harmonisation", [](KEXTriangleMeshAlgorithmIF& a) {
    return static_cast<KEXHarmonizeVertexNormalsAlgorithm&>(a).setVectorLength(1.0f);
  });
}

int weldBuffer(KEXTriangleMeshBuffer& b, double distance)
{
  int before = b.getVertexCount();
  float used = -1.0f;
  int code = step(b, "KEXClusterVerticesAlgorithm", "weld", [&](KEXTriangleMeshAlgorithmIF& a) {
    auto& cluster = static_cast<KEXClusterVerticesAlgorithm&>(a);
    // Without a distance the weld is the repair's: an estimated distance, closed fans kept apart.
    cluster.setRepairMode(distance < 0.0);
    return cluster.setMaximumDistance(float(distance));
  }, [&](KEXTriangleMeshAlgorithmIF& a) { used = static_cast<KEXClusterVerticesAlgorithm&>(a).getUsedDistance(); });
  if (code == Success && b.getTriangleCount() > 0)
    code = step(b, "KEXRemoveOrphanedVerticesAlgorithm", "removing unused vertices");
  if (code == Success)
    std::fprintf(stderr, "welded %d vertices into %d (distance %g)\n", before, b.getVertexCount(), double(used));
  return code;
}

/// Owns one reference to a filter created by class name through its metaclass.
template <class Filter>
class FilterHandle {
public:
  explicit FilterHandle(const char* className)
  {
    const KEXMetaClass* meta = KEXMetaClass::find(className);
    KEXClass* object = meta && meta->isOfType(Filter::metaClass()) ? meta->create() : nullptr;
    m_filter = static_cast<Filter*>(object);
    if (!m_filter)
      printError("the filter %s is not available", className);
  }
  ~FilterHandle()
  {
    if (m_filter)
      m_filter->release(); // the creator's reference; the metaclass destroys it at zero
  }
  FilterHandle(const FilterHandle&) = delete;
  FilterHandle& operator=(const FilterHandle&) = delete;
  explicit operator bool() const { return m_filter != nullptr; }
  Filter* operator->() const { return m_filter; }
  Filter& operator*() const { return *m_filter; }

private:
  Filter* m_filter = nullptr;
};

/// Sets the three angle-limit properties that were given; BadInput (printed) when one is refused.
int applyLimits(KEXObject& filter, const RepairSettings& s)
{
  struct Limit {
    const std::vector<double>* values;
    KEXenum name;
    const char* option;
    KEXValuePair<float> range;
  };
  const Limit limits[3] = {
      {&s.angleLimits, KEX::AngleLimits, "--angle-limits", KEXFixTriangleMesh::ANGLE_LIMITS_RANGE},
      {&s.capLimits, KEX::CapAngleLimits, "--cap-limits", KEXFixTriangleMesh::CAP_ANGLE_LIMITS_RANGE},
      {&s.needleLimits, KEX::NeedleAngleLimits, "--needle-limits", KEXFixTriangleMesh::NEEDLE_ANGLE_LIMITS_RANGE}};
  for (const Limit& l : limits) {
    if (l.values->empty())
      continue;
    if (l.values->size() != 2) {
      printError("%s takes two angles in degrees (a,b)", l.option);
      return BadInput;
    }
    KEXValuePair<float> pair{float((*l.values)[0]), float((*l.values)[1])};
    if (!filter.setValue(l.name, pair)) {
      printError("%s %g,%g refused: %s needs %g <= a <= b <= %g degrees", l.option, (*l.values)[0], (*l.values)[1],
                 l.name.getString(), double(l.range.first), double(l.range.second));
      return BadInput;
    }
  }
  return Success;
}

/// The step names the fix filter accepts: its mesh actions, all but the sequence itself.
std::string validStepNames(const KEXFixTriangleMesh& filter)
{
  std::string names;
  for (int i = 0; i < filter.getActionCount(); ++i) {
    KEXenum name = filter.getActionName(i);
    if (name == KEX::Filter)
      continue;
    names += names.empty() ? "" : ", ";
    names += name.getString();
  }
  return names;
}

/// Limits, steps and a given distance; BadInput (printed) when something is refused or unknown.
int configureFix(KEXFixTriangleMesh& filter, const RepairSettings& s)
{
  if (int code = applyLimits(filter, s))
    return code;
  if (s.distanceGiven && !filter.setValue(KEX::MaximumDistance, float(s.maxDistance))) {
    printError("--distance %g refused (it must be finite; negative: estimated)", s.maxDistance);
    return BadInput;
  }
  if (s.steps.empty())
    return Success;
  // The property keeps the name pointers, so every name is the library's own string from its
  // vocabulary, never a pointer into the command line.
  std::vector<KEXenum> list;
  for (const std::string& step : s.steps) {
    KEXenum found;
    for (int i = 0; i < KEXMesh::VOCABULARY_SIZE && !found.isValid(); ++i) {
      const char* name = KEXMesh::vocabularyName(i);
      if (name && step == name)
        found = KEXenum(name);
    }
    KEXAction* action = found.isValid() ? filter.getAction(found) : nullptr;
    if (!action || !action->getMetaClass().isOfType(KEXTriangleMeshAction::metaClass())) {
      printError("unknown repair step '%s'; the steps are: %s", step.c_str(), validStepNames(filter).c_str());
      return BadInput;
    }
    list.push_back(found);
  }
  if (!filter.setSequenceList(list.data(), int(list.size()))) {
    printError("the repair filter refused the step list");
    return OperationFailed;
  }
  return Success;
}

void printRepairReport(const KEXFixReport& r, bool steps)
{
  if (steps) {
    std::printf("%-28s %9s %10s %10s\n", "step", "seconds", "vertices", "triangles");
    for (const KEXFixReport::Step& s : r.steps)
      std::printf("%-28s %9.3f %10d %10d%s\n", s.name.getString(), s.seconds, s.verticesAfter, s.trianglesAfter,
                  s.name == r.failedStep ? "  FAILED" : "");
    std::printf("\n");
  }
  std::printf("repair report\n");
  std::printf("  vertices welded:           %d\n", r.verticesWelded);
  std::printf("  triangles dropped:         %d\n", r.trianglesDropped);
  std::printf("  triangles added:           %d\n", r.trianglesAdded);
  if (r.holesBefore >= 0 && r.holesAfter >= 0)
    std::printf("  holes filled:              %d (%d before, %d left)\n", r.holesBefore - r.holesAfter, r.holesBefore,
                r.holesAfter);
  if (r.sheetOutlines > 0)
    std::printf("  sheet outlines left open:  %d\n", r.sheetOutlines);
  if (r.unfillableLoops > 0)
    std::printf("  holes no fill could close: %d\n", r.unfillableLoops);
  if (r.givenUpLoops > 0)
    std::printf("  holes at bad edges:        %d\n", r.givenUpLoops);
  if (r.componentsTurnedOutward > 0)
    std::printf("  closed, turned outward:    %d\n", r.componentsTurnedOutward);
  if (r.degenerateLeft > 0)
    std::printf("  degenerate triangles left: %d\n", r.degenerateLeft);
  if (r.trianglesReoriented >= 0)
    std::printf("  triangles reoriented:      %d\n", r.trianglesReoriented);
  if (r.componentsFlipped >= 0)
    std::printf("  components flipped:        %d\n", r.componentsFlipped);
  if (r.weldDistance >= 0.0f)
    std::printf("  welding distance:          %g\n", double(r.weldDistance));
  if (r.openEdges >= 0)
    std::printf("  open edges left:           %d (in %d loops)\n", r.openEdges, r.openLoops);
  if (r.nonManifoldEdges >= 0)
    std::printf("  non-manifold edges left:   %d\n", r.nonManifoldEdges);
  if (r.duplicateTriangles >= 0)
    std::printf("  duplicate triangles left:  %d\n", r.duplicateTriangles);
  if (r.inwardComponents >= 0)
    std::printf("  inward components left:    %d (of %d closed)\n", r.inwardComponents, r.closedComponents);
  std::printf("  invalid vertices left:     %d\n", r.invalidVertices);
  std::printf("  invalid triangles left:    %d\n", r.invalidTriangles);
  std::fflush(stdout);
}

/// Runs the filter's own Filter action on b in buffer mode, as a host would, with the report
/// watching its steps, and prints the report. The filter's properties reach the steps there.
int runFixFilter(KEXFixTriangleMesh& filter, KEXTriangleMeshBuffer& b, bool verbose)
{
  auto* sequence = dynamic_cast<KEXExecuteSequenceAction*>(filter.getAction(KEX::Filter));
  if (!sequence) {
    printError("the repair filter has no sequence action %s", KEX::Filter.getString());
    return OperationFailed;
  }
  KEXFixReport report(&filter);
  KEXTriangleMeshAction::Parameters record(&b, nullptr);
  sequence->setObserver(&report);
  const bool ok = sequence->execute(&record);
  sequence->setObserver(nullptr);
  printRepairReport(report, verbose);
  if (interruptCount() > 0) {
    printError("repair stopped by the user");
    return OperationFailed;
  }
  if (!ok) {
    if (report.failedStep.isValid())
      printError("the repair step %s failed", report.failedStep.getString());
    else
      printError("the repair sequence could not run");
    return OperationFailed;
  }
  if (report.problemsLeft()) {
    printWarning("the repaired mesh still has problems (see the report)");
    return ProblemsLeft;
  }
  return Success;
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
  // Open borders are problems too (a triangle soup has nothing else): a repair would close them.
  bool problems = c.invalidVertices || c.invalidTriangles || c.emptyTriangles || s.nonFiniteVertices ||
                  s.invalidTriangles || s.nonManifoldEdges || s.flippedEdges || s.degenerateTriangles ||
                  s.boundaryEdges;
  std::printf("%s\n", problems ? "problems found" : "no problems found");
  return problems ? ProblemsLeft : Success;
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

int runEnhance(const Options& o, const RepairSettings& settings)
{
  FilterHandle<KEXEnhanceTriangleMesh> filter("KEXEnhanceTriangleMesh");
  if (!filter)
    return OperationFailed;
  if (int code = applyLimits(*filter, settings))
    return code;
  return transformFile(o, [&](KEXTriangleMeshBuffer& b) {
    // The filter's actions in buffer mode: its limits reach the algorithms as they would for a
    // mesh object.
    KEXTriangleMeshAction::Parameters record(&b, nullptr);
    const KEXenum steps[2] = {KEX::RemoveCapTriangles, KEX::RemoveDegenerateTriangles};
    const char* what[2] = {"cap triangle removal", "bad triangle repair"};
    for (int i = 0; i < 2; ++i) {
      if (interruptCount() > 0)
        return int(Success); // transformFile reports the stop
      KEXAction* action = filter->getAction(steps[i]);
      if (!action) {
        printError("the enhance filter has no step %s", steps[i].getString());
        return int(OperationFailed);
      }
      if (!action->execute(&record) && interruptCount() == 0) {
        printError("%s failed", what[i]);
        return int(OperationFailed);
      }
    }
    return int(Success);
  });
}

int runDye(const Options& o)
{
  return transformFile(o, [](KEXTriangleMeshBuffer& b) {
    return step(b, "KEXDyeBadTrianglesAlgorithm", "dyeing bad triangles");
  });
}

int repairBuffer(KEXTriangleMeshBuffer& b, const RepairSettings& settings, bool verbose)
{
  FilterHandle<KEXFixTriangleMesh> filter("KEXFixTriangleMesh");
  if (!filter)
    return OperationFailed;
  if (int code = configureFix(*filter, settings))
    return code;
  return runFixFilter(*filter, b, verbose);
}

int runFix(const Options& o, const RepairSettings& settings)
{
  // The filter is set up before the mesh is read: bad settings are usage errors whatever the input.
  FilterHandle<KEXFixTriangleMesh> filter("KEXFixTriangleMesh");
  if (!filter)
    return OperationFailed;
  if (int code = configureFix(*filter, settings))
    return code;
  // Without a distance the welding step estimates one from the mesh (half its shortest edge, at
  // most 1e-5 of the diagonal): it joins vertex copies and never the two ends of an edge.
  return transformFile(o, [&](KEXTriangleMeshBuffer& b) { return runFixFilter(*filter, b, true); });
}

} // namespace kexmeshtool
