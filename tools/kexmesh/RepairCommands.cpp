// The repair subcommands: close-gaps, enhance, dye and fix. fix and enhance run their filter's own
// actions in buffer mode, as a host would, so the options reach the steps as filter properties.
#include "Commands.h"
#include "Json.h"
#include "Session.h"

#include <CLI/CLI.hpp>

#include "kex/Values.h"
#include "kexmesh/objects/ExecuteSequenceAction.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/EnhanceTriangleMesh.h"
#include "kexmesh/repair/FixReport.h"
#include "kexmesh/repair/FixTriangleMesh.h"

#include <cstdio>
#include <strings.h>
#include <memory>
#include <string>

namespace kexmeshtool {

namespace {

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
      if (name && strcasecmp(step.c_str(), name) == 0)
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

void printRepairJson(const KEXFixReport& r, bool ok)
{
  JsonWriter j;
  j.boolean("succeeded", ok);
  if (r.failedStep.isValid())
    j.string("failedStep", r.failedStep.getString());
  j.array("steps");
  for (const KEXFixReport::Step& s : r.steps)
    j.element()
        .string("name", s.name.getString())
        .number("seconds", s.seconds)
        .integer("vertices", s.verticesAfter)
        .integer("triangles", s.trianglesAfter)
        .end();
  j.end();
  j.integer("verticesWelded", r.verticesWelded).integer("trianglesDropped", r.trianglesDropped);
  j.integer("trianglesAdded", r.trianglesAdded);
  // Figures a run did not reach (its step was not in the sequence) are left out rather than given
  // as -1.
  auto optional = [&j](const char* key, long long value) {
    if (value >= 0)
      j.integer(key, value);
  };
  optional("holesBefore", r.holesBefore);
  optional("holesAfter", r.holesAfter);
  j.integer("sheetOutlines", r.sheetOutlines).integer("unfillableLoops", r.unfillableLoops);
  j.integer("givenUpLoops", r.givenUpLoops).integer("componentsTurnedOutward", r.componentsTurnedOutward);
  optional("degenerateLeft", r.degenerateLeft);
  optional("trianglesReoriented", r.trianglesReoriented);
  optional("componentsFlipped", r.componentsFlipped);
  if (r.weldDistance >= 0.0f)
    j.number("weldDistance", double(r.weldDistance));
  optional("openEdges", r.openEdges);
  optional("openLoops", r.openLoops);
  optional("nonManifoldEdges", r.nonManifoldEdges);
  optional("duplicateTriangles", r.duplicateTriangles);
  optional("closedComponents", r.closedComponents);
  optional("inwardComponents", r.inwardComponents);
  j.integer("invalidVertices", r.invalidVertices).integer("invalidTriangles", r.invalidTriangles);
  j.boolean("problemsLeft", r.problemsLeft());
}

/// Runs the filter's own Filter action on b in buffer mode, as a host would, with the report
/// watching its steps, and prints the report. The filter's properties reach the steps there.
int runFixFilter(KEXFixTriangleMesh& filter, KEXTriangleMeshBuffer& b, ReportOutput output)
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
  if (interruptCount() > 0) {
    // A stopped repair has no figures worth printing: only what the steps reached.
    printError("repair stopped by the user");
    return OperationFailed;
  }
  if (output == ReportOutput::Json)
    printRepairJson(report, ok);
  else if (output != ReportOutput::None)
    printRepairReport(report, output == ReportOutput::ReportAndSteps);
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

int runCloseGaps(const Options& o)
{
  return transformFile(o.input, o.output, o.ascii, [](KEXTriangleMeshBuffer& b) {
    int before = b.getTriangleCount();
    int code = step(b, "KEXCloseGapsAlgorithm", "closing gaps");
    if (code == Success)
      printNote("added %d triangles", b.getTriangleCount() - before);
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
  return transformFile(o.input, o.output, o.ascii, [&](KEXTriangleMeshBuffer& b) {
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
  return transformFile(o.input, o.output, o.ascii, [](KEXTriangleMeshBuffer& b) {
    return step(b, "KEXDyeBadTrianglesAlgorithm", "dyeing bad triangles");
  });
}

} // namespace

int repairBuffer(KEXTriangleMeshBuffer& b, const RepairSettings& settings, ReportOutput output)
{
  FilterHandle<KEXFixTriangleMesh> filter("KEXFixTriangleMesh");
  if (!filter)
    return OperationFailed;
  if (int code = configureFix(*filter, settings))
    return code;
  return runFixFilter(*filter, b, output);
}

namespace {

int runFix(const Options& o, const RepairSettings& settings, bool json)
{
  // The filter is set up before the mesh is read: bad settings are usage errors whatever the input.
  FilterHandle<KEXFixTriangleMesh> filter("KEXFixTriangleMesh");
  if (!filter)
    return OperationFailed;
  if (int code = configureFix(*filter, settings))
    return code;
  // Without a distance the welding step estimates one from the mesh (half its shortest edge, at
  // most 1e-5 of the diagonal): it joins vertex copies and never the two ends of an edge.
  const ReportOutput output = json ? ReportOutput::Json : o.quiet ? ReportOutput::None : ReportOutput::ReportAndSteps;
  return transformFile(o.input, o.output, o.ascii, [&](KEXTriangleMeshBuffer& b) { return runFixFilter(*filter, b, output); });
}

} // namespace

void addRepairCommands(CLI::App& app, Options& o)
{
  auto s = std::make_shared<RepairSettings>();
  CLI::App* closeGaps = app.add_subcommand("close-gaps", "Fill holes of the surface");
  addInputOutput(*closeGaps, o);
  closeGaps->callback([&o] { o.run = [&o] { return runCloseGaps(o); }; });

  auto limitOptions = [s](CLI::App* c) {
    c->add_option("--angle-limits", s->angleLimits, "Degenerate-angle limits a,b in degrees (0 <= a <= b <= 90)")
        ->expected(2)
        ->delimiter(',');
    c->add_option("--cap-limits", s->capLimits, "Cap-angle limits a,b in degrees (90 <= a <= b <= 180)")
        ->expected(2)
        ->delimiter(',');
    c->add_option("--needle-limits", s->needleLimits, "Needle-angle limits a,b in degrees (0 <= a <= b <= 22.5)")
        ->expected(2)
        ->delimiter(',');
  };
  CLI::App* enhance = app.add_subcommand("enhance", "Remove cap triangles and repair needles and slivers");
  addInputOutput(*enhance, o);
  limitOptions(enhance);
  enhance->callback([&o, s] { o.run = [&o, s] { return runEnhance(o, *s); }; });

  CLI::App* dye = app.add_subcommand("dye", "Colour the bad triangles (for viewing)");
  addInputOutput(*dye, o);
  dye->callback([&o] { o.run = [&o] { return runDye(o); }; });

  CLI::App* fix = app.add_subcommand("fix", "Full repair: invalid data, weld, orientation, bad triangles, holes");
  addInputOutput(*fix, o);
  fix->add_option("--steps", s->steps, "Repair steps to run, in order, any case (default: the full repair)")
      ->delimiter(',');
  {
    FilterHandle<KEXFixTriangleMesh> filter("KEXFixTriangleMesh");
    if (filter)
      fix->footer("Steps: " + validStepNames(*filter) +
                  "\nExit codes: 0 repaired, 1 failed or stopped, 2 bad usage or unreadable input, 3 problems left "
                  "(the output is written and the report lists them).");
  }
  auto json = std::make_shared<bool>(false);
  fix->add_flag("--json", *json, "Print the repair report as one JSON object (no table)");
  CLI::Option* maxDistance =
      fix->add_option("-d,--distance,--max-distance", s->maxDistance,
                      "Welding distance (default or negative: half the shortest edge, at most 1e-5 of the diagonal)");
  limitOptions(fix);
  fix->callback([&o, s, maxDistance, json] {
    s->distanceGiven = maxDistance->count() > 0;
    o.run = [&o, s, json] { return runFix(o, *s, *json); };
  });
}

} // namespace kexmeshtool
