// kexmesh: the command-line tool. Reads meshes through the format plug-ins (the format follows the
// file extension), runs the library's algorithms created by class name, and writes the result.
// Exit codes: 0 success, 1 the operation failed, 2 bad usage or unreadable input, 3 the mesh still
// has problems (what fix could not repair, what check found).
#include "Commands.h"
#include "Session.h"

#include "kex/Thread.h"

#include <CLI/CLI.hpp>

using namespace kexmeshtool;

int main(int argc, char** argv)
{
  CLI::App app{"kexmesh: inspect, repair and convert triangle meshes (PLY, STL, OFF, OBJ, XYZ)"};
  app.require_subcommand(1);
  // Global options also after the subcommand: kexmesh fix in.off out.ply --quiet
  app.fallthrough();
  Options o;
  app.add_flag("-q,--quiet", o.quiet, "No progress bar and no warnings");
  app.add_option("-j,--threads", o.threads, "Worker threads (default: all cores)")->check(CLI::Range(1, 1024));
  app.add_flag("--ascii", o.ascii, "Write the text encoding of formats that have one (PLY, STL)");

  auto inputOnly = [&](CLI::App* c) { c->add_option("input", o.input, "Mesh file")->required(); };
  auto inputOutput = [&](CLI::App* c) {
    c->add_option("input", o.input, "Mesh file to read")->required();
    c->add_option("output", o.output, "Mesh file to write")->required();
  };

  CLI::App* info = app.add_subcommand("info", "Counts, validity, bounding box, sampling distance, integrity check");
  inputOnly(info);
  CLI::App* check = app.add_subcommand("check", "Integrity and shape check; exit code 3 when problems are found");
  inputOnly(check);
  CLI::App* normals = app.add_subcommand("normals", "Compute unit vertex normals");
  inputOutput(normals);
  double distance = -1.0;
  CLI::App* weld = app.add_subcommand("weld", "Join vertices closer than a distance (default: estimated)");
  inputOutput(weld);
  weld->add_option("-d,--distance", distance,
                   "Largest distance of vertices that are joined (default: half the shortest edge, at most 1e-5 "
                   "of the diagonal)");
  CLI::App* flip = app.add_subcommand("flip", "Reverse the orientation of every triangle");
  inputOutput(flip);
  std::vector<double> matrix, scale, translate;
  CLI::App* transform = app.add_subcommand("transform", "Apply a matrix, scale or translation");
  inputOutput(transform);
  transform->add_option("--matrix", matrix, "16 numbers, row by row (affine 4x4)")->expected(16);
  transform->add_option("--scale", scale, "One factor, or three (x y z)")->expected(1, 3);
  transform->add_option("--translate", translate, "Offset x y z")->expected(3);
  CLI::App* convert = app.add_subcommand("convert", "Write the mesh in the format of the output's extension");
  inputOutput(convert);
  CLI::App* orient = app.add_subcommand("orient", "Make the triangle orientation consistent and outward");
  inputOutput(orient);
  CLI::App* closeGaps = app.add_subcommand("close-gaps", "Fill holes of the surface");
  inputOutput(closeGaps);
  RepairSettings repair;
  auto limitOptions = [&](CLI::App* c) {
    c->add_option("--angle-limits", repair.angleLimits, "Degenerate-angle limits a,b in degrees (0 <= a <= b <= 90)")
        ->expected(2)
        ->delimiter(',');
    c->add_option("--cap-limits", repair.capLimits, "Cap-angle limits a,b in degrees (90 <= a <= b <= 180)")
        ->expected(2)
        ->delimiter(',');
    c->add_option("--needle-limits", repair.needleLimits, "Needle-angle limits a,b in degrees (0 <= a <= b <= 22.5)")
        ->expected(2)
        ->delimiter(',');
  };
  CLI::App* enhance = app.add_subcommand("enhance", "Remove cap triangles and repair needles and slivers");
  inputOutput(enhance);
  limitOptions(enhance);
  CLI::App* dye = app.add_subcommand("dye", "Colour the bad triangles (for viewing)");
  inputOutput(dye);
  CLI::App* fix = app.add_subcommand("fix", "Full repair: invalid data, weld, orientation, bad triangles, holes");
  inputOutput(fix);
  fix->add_option("--steps", repair.steps, "Repair steps to run, in order (default: the full repair)")->delimiter(',');
  CLI::Option* maxDistance =
      fix->add_option("-d,--distance,--max-distance", repair.maxDistance,
                      "Welding distance (default or negative: half the shortest edge, at most 1e-5 of the diagonal)");
  limitOptions(fix);
  std::string shape = "torus";
  int triangles = 20000;
  bool soup = false;
  CLI::App* generate = app.add_subcommand("generate", "Write a generated test shape");
  generate->add_option("shape", shape, "sphere or torus")->check(CLI::IsMember({"sphere", "torus"}));
  generate->add_option("output", o.output, "Mesh file to write")->required();
  generate->add_option("-n,--triangles", triangles, "About this many triangles")->check(CLI::Range(8, 100000000));
  generate->add_flag("--soup", soup, "Give every triangle its own vertices");
  std::string directory = "kexmesh-demo";
  CLI::App* demo = app.add_subcommand("demo", "Damage a generated mesh like a scan, repair it, compare");
  demo->add_option("-o,--output-dir", directory, "Where the demo writes its meshes");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? Success : BadInput;
  }

  if (o.threads > 0)
    KEXMultiThread::setDefaultNumberOfThreads(o.threads);
  setWarningsShown(!o.quiet);
  installInterruptHandler();
  TerminalMonitor monitor(o.quiet);
  KEXTaskMonitorScope scope(&monitor);

  if (info->parsed())
    return runInfo(o);
  if (check->parsed())
    return runCheck(o);
  if (normals->parsed())
    return runNormals(o);
  if (weld->parsed())
    return runWeld(o, distance);
  if (flip->parsed())
    return runFlip(o);
  if (transform->parsed()) {
    int given = !matrix.empty() + !scale.empty() + !translate.empty();
    if (given != 1) {
      printError("transform needs exactly one of --matrix, --scale or --translate");
      return BadInput;
    }
    return runTransform(o, matrix, scale, translate);
  }
  if (convert->parsed())
    return runConvert(o);
  if (orient->parsed())
    return runOrient(o);
  if (closeGaps->parsed())
    return runCloseGaps(o);
  if (enhance->parsed())
    return runEnhance(o, repair);
  if (dye->parsed())
    return runDye(o);
  if (fix->parsed()) {
    repair.distanceGiven = maxDistance->count() > 0;
    return runFix(o, repair);
  }
  if (generate->parsed())
    return runGenerate(o, shape, triangles, soup);
  if (demo->parsed())
    return runDemo(o, directory);
  return BadInput;
}
