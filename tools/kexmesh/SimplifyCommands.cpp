// The simplify subcommand: the simplification filter's own Filter action in buffer mode, as a host
// would run it, with the target and the error limit handed over as the filter's properties.
#include "Commands.h"
#include "Session.h"

#include <CLI/CLI.hpp>

#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/simplify/SimplifyTriangleMesh.h"

#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

namespace kexmeshtool {

namespace {

struct SimplifySettings {
  long long triangles = 0, vertices = 0;
  double ratio = 0.0;
  double error = -1.0; ///< negative: not given
  std::string quality = "nicest";
};

/// The filter's properties from the settings and the mesh's size; BadInput (printed) when refused.
int configure(KEXSimplifyTriangleMesh& f, const SimplifySettings& s, const KEXTriangleMeshBuffer& b)
{
  static const std::map<std::string, KEXenum> qualities = {
      {"fastest", KEX::Fastest}, {"normal", KEX::Normal}, {"advanced", KEX::Advanced}, {"nicest", KEX::Nicest}};
  if (!f.setMethodQuality(qualities.at(s.quality))) {
    printError("the simplify filter refused the quality %s", s.quality.c_str());
    return BadInput;
  }
  bool ok = true;
  if (s.triangles > 0) {
    ok = f.setTriangleLimit(int(s.triangles));
  } else if (s.vertices > 0) {
    ok = f.setVertexLimit(int(s.vertices));
  } else {
    // At least one triangle: a limit of 0 would mean "not reduced".
    const long long target = std::llround(s.ratio * double(b.getTriangleCount()));
    ok = f.setTriangleLimit(int(target > 1 ? target : 1));
  }
  // Without --error the target alone ends the run: the largest error limit the filter accepts.
  const double limit = s.error >= 0.0 ? s.error / double(KEXSimplifyTriangleMesh::ERROR_LIMIT_SCALE) : double(FLT_MAX);
  if (ok && !f.setErrorLimit(float(limit > double(FLT_MAX) ? double(FLT_MAX) : limit))) {
    printError("--error %g refused: it must be finite and >= 0", s.error);
    return BadInput;
  }
  if (!ok) {
    printError("the simplify filter refused the target");
    return BadInput;
  }
  return Success;
}

int runSimplify(const Options& o, const SimplifySettings& s)
{
  FilterHandle<KEXSimplifyTriangleMesh> filter("KEXSimplifyTriangleMesh");
  if (!filter)
    return OperationFailed;
  return transformFile(o.input, o.output, o.ascii, [&](KEXTriangleMeshBuffer& b) {
    if (int code = configure(*filter, s, b))
      return code;
    const int trianglesBefore = b.getTriangleCount(), verticesBefore = b.getVertexCount();
    const auto start = std::chrono::steady_clock::now();
    if (int code = runFilterAction(*filter, b,
                                   "simplification (it needs valid indices, finite vertices and some extent; "
                                   "`kexmesh fix` repairs the first two)"))
      return code;
    if (interruptCount() > 0)
      return int(Success); // transformFile reports the stop and writes nothing
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printNote("simplified %d -> %d triangles, %d -> %d vertices in %.2f s", trianglesBefore, b.getTriangleCount(),
              verticesBefore, b.getVertexCount(), seconds);
    return int(Success);
  });
}

} // namespace

void addSimplifyCommands(CLI::App& app, Options& o)
{
  auto s = std::make_shared<SimplifySettings>();
  CLI::App* simplify = app.add_subcommand("simplify", "Reduce the triangle count, keeping shape and topology");
  addInputOutput(*simplify, o);
  CLI::Option_group* target = simplify->add_option_group("target", "exactly one of these");
  target->add_option("--triangles", s->triangles, "At most this many triangles")->check(CLI::Range(1LL, 2000000000LL));
  target->add_option("--vertices", s->vertices, "At most this many vertices")->check(CLI::Range(1LL, 1000000000LL));
  target->add_option("--ratio", s->ratio, "Keep this share of the triangles (0 < r <= 1)")
      ->check(CLI::Range(1e-9, 1.0));
  target->require_option(1);
  simplify->add_option("--error", s->error,
                       "Largest error of a contraction, in mesh units (default: none, the target decides)")
      ->check(CLI::Range(0.0, 1e30));
  simplify->add_option("--quality", s->quality, "fastest, normal, advanced or nicest (default)")
      ->check(CLI::IsMember({"fastest", "normal", "advanced", "nicest"}));
  simplify->callback([&o, s] { o.run = [&o, s] { return runSimplify(o, *s); }; });
}

} // namespace kexmeshtool
