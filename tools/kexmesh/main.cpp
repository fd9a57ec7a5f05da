// kexmesh: the command-line tool. Reads meshes through the format plug-ins (the format follows the
// file extension), runs the library's algorithms created by class name, and writes the result.
// Exit codes: 0 success, 1 the operation failed, 2 bad usage or unreadable input, 3 the mesh still
// has problems (what fix could not repair, what check found).
#include "Commands.h"
#include "Session.h"

#include "kex/Thread.h"

#include <CLI/CLI.hpp>

namespace kexmeshtool {

void addInput(CLI::App& command, Options& o) { command.add_option("input", o.input, "Mesh file")->required(); }

void addInputOutput(CLI::App& command, Options& o)
{
  command.add_option("input", o.input, "Mesh file to read")->required();
  command.add_option("output", o.output, "Mesh file to write")->required();
}

} // namespace kexmeshtool

using namespace kexmeshtool;

int main(int argc, char** argv)
{
  CLI::App app{"kexmesh: analyse, repair, simplify, smooth, subdivide, convert and draw triangle meshes (PLY, STL, OFF, OBJ, XYZ)"};
  app.require_subcommand(1);
  // Global options also after the subcommand: kexmesh fix in.off out.ply --quiet
  app.fallthrough();
  app.set_version_flag("--version", std::string("kexmesh ") + KEXMESH_VERSION);
  Options o;
  app.add_flag("-q,--quiet", o.quiet, "Only errors: no progress bar, warnings, notes or repair report");
  app.add_option("-j,--threads", o.threads, "Worker threads (default: all cores)")->check(CLI::Range(1, 1024));
  app.add_flag("--ascii", o.ascii, "Write the text encoding of formats that have one (PLY, STL)");

  addInfoCommands(app, o);
  addEditCommands(app, o);
  addRepairCommands(app, o);
  addReduceCommands(app, o);
  addReconstructCommands(app, o);
  addExtractCommands(app, o);
  addSimplifyCommands(app, o);
  addSmoothCommands(app, o);
  addSubdivideCommands(app, o);
  addDemoCommands(app, o);
  addRenderCommands(app, o);

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

  return o.run ? o.run() : int(BadInput);
}
