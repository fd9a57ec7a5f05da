// The subdivide subcommand: steps of Loop or modified butterfly subdivision, each run through the
// library's subdivision filter in buffer mode, as a host would.
#include "Commands.h"
#include "Session.h"

#include <CLI/CLI.hpp>

#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshFilter.h"
#include "kexmesh/objects/Vocabulary.h"

#include <cstdio>
#include <memory>
#include <string>

namespace kexmeshtool {

namespace {

struct SubdivideArgs {
  std::string method = "loop";
  int steps = 1;
};

int runSubdivide(const Options& o, const SubdivideArgs& args)
{
  const bool butterfly = args.method == "butterfly";
  FilterHandle<KEXTriangleMeshFilter> filter(butterfly ? "KEXMBFSubdivision" : "KEXLoopSubdivision");
  if (!filter)
    return OperationFailed;
  return transformFile(o.input, o.output, o.ascii, [&](KEXTriangleMeshBuffer& b) {
    if (b.getTriangleCount() == 0) {
      printError("%s has no triangles to subdivide", o.input.c_str());
      return int(BadInput);
    }
    const int vertices = b.getVertexCount(), triangles = b.getTriangleCount();
    const std::string what = args.method + " subdivision";
    if (int code = runFilterAction(*filter, b, what.c_str(), args.steps))
      return code;
    printNote("subdivided %d vertices, %d triangles into %d vertices, %d triangles", vertices, triangles,
              b.getVertexCount(), b.getTriangleCount());
    return int(Success);
  });
}

} // namespace

void addSubdivideCommands(CLI::App& app, Options& o)
{
  auto args = std::make_shared<SubdivideArgs>();
  CLI::App* subdivide = app.add_subcommand("subdivide", "Refine the mesh: every triangle into four per step");
  addInputOutput(*subdivide, o);
  subdivide->add_option("-m,--method", args->method, "loop (approximating, smooth) or butterfly (interpolating)")
      ->check(CLI::IsMember({"loop", "butterfly"}))
      ->capture_default_str();
  // Each step multiplies the triangle count by four: ten steps make a million of one triangle.
  subdivide->add_option("-s,--steps", args->steps, "Number of steps")->check(CLI::Range(1, 10))->capture_default_str();
  subdivide->callback([&o, args] { o.run = [&o, args] { return runSubdivide(o, *args); }; });
}

} // namespace kexmeshtool
