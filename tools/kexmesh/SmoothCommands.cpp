// The smoothing subcommand: runs the Filter action of the circular-arc or the Laplacian smoothing
// filter on the mesh, in buffer mode as a host would, once per iteration.
#include "Commands.h"
#include "Session.h"

#include <CLI/CLI.hpp>

#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshFilter.h"
#include "kexmesh/objects/Vocabulary.h"

#include <cstdio>
#include <map>
#include <memory>
#include <string>

namespace kexmeshtool {

namespace {

struct SmoothSettings {
  std::string method = "arc";
  int iterations = 1;
};

// The filter class of each method.
const std::map<std::string, const char*>& smoothingFilters()
{
  static const std::map<std::string, const char*> filters = {{"arc", "KEXCASmoothing"}, {"laplace", "KEXILPSmoothing"}};
  return filters;
}

int runSmooth(const Options& o, const SmoothSettings& s)
{
  FilterHandle<KEXTriangleMeshFilter> filter(smoothingFilters().at(s.method));
  if (!filter)
    return OperationFailed;
  return transformFile(o.input, o.output, o.ascii, [&](KEXTriangleMeshBuffer& b) {
    if (int code = runFilterAction(*filter, b, "smoothing", s.iterations))
      return code;
    printNote("smoothed %d vertices: %d %s iteration%s", b.getVertexCount(), s.iterations, s.method.c_str(),
              s.iterations == 1 ? "" : "s");
    return int(Success);
  });
}

} // namespace

void addSmoothCommands(CLI::App& app, Options& o)
{
  auto s = std::make_shared<SmoothSettings>();
  CLI::App* smooth = app.add_subcommand("smooth", "Smooth the surface: circular arcs along the normals, or Laplacian");
  addInputOutput(*smooth, o);
  smooth->add_option("-m,--method", s->method,
                     "arc: move vertices along their normals onto the arcs of their neighbours (keeps the shape); "
                     "laplace: interior vertices to the mean of their neighbours, borders stay (default: arc)")
      ->check(CLI::IsMember({"arc", "laplace"}));
  smooth->add_option("-i,--iterations", s->iterations, "Passes (default 1)")->check(CLI::Range(1, 10000));
  smooth->callback([&o, s] { o.run = [&o, s] { return runSmooth(o, *s); }; });
}

} // namespace kexmeshtool
