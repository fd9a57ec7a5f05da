// The point cloud subcommand: reduce. Reads an oriented point cloud, thins it with the library's
// reduction and writes the kept points.
#include "Commands.h"
#include "Session.h"

#include <CLI/CLI.hpp>

#include "kex/Values.h"
#include "kexmesh/reconstruct/ReducePointCloudAlgorithm.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

namespace kexmeshtool {

namespace {

/// The estimate gives an axis along which the points do not spread (an axis-aligned flat scan) the
/// largest float. Taken as it is, the neighbourhood box becomes infinite along it, every weight
/// infinite and the drop test never true: a flat cloud would silently keep every point. Such an axis
/// takes the geometric mean of the others, the cloud's spacing within its plane or line.
KEXVector3<float> usableSpacing(KEXVector3<float> m)
{
  auto usable = [](float v) { return v > 0.0f && v < std::numeric_limits<float>::max(); }; // false for NaN
  double product = 1.0;
  int count = 0;
  for (int k = 0; k < 3; ++k)
    if (usable(m[k]))
      product *= m[k], ++count;
  const float fill = count == 0 ? 1.0f : float(std::pow(product, 1.0 / count));
  for (int k = 0; k < 3; ++k)
    if (!usable(m[k]))
      m[k] = fill;
  return m;
}

} // namespace

int reduceBuffer(KEXTriangleMeshBuffer& b, const ReduceSettings& s)
{
  KEXVector3<float> spacing(float(s.spacing), float(s.spacing), float(s.spacing));
  if (s.spacing < 0.0) {
    if (!b.calculateMeanSamplingDistance(spacing))
      spacing = KEXVector3<float>(1.0f, 1.0f, 1.0f); // an empty cloud: nothing to reduce anyway
    spacing = usableSpacing(spacing);
  }
  const int before = b.getVertexCount();
  int code = step(b, "KEXReducePointCloudAlgorithm", "reduce", [&](KEXTriangleMeshAlgorithmIF& a) {
    auto& reduce = static_cast<KEXReducePointCloudAlgorithm&>(a);
    return reduce.setTolerance(float(s.tolerance)) && reduce.setMinNormalScalarProduct(float(s.minDot)) &&
           reduce.setMeanSamplingDistance(spacing);
  });
  if (code == Success)
    std::fprintf(stderr, "reduced %d points to %d (tolerance %g, spacing %g %g %g)\n", before, b.getVertexCount(),
                 s.tolerance, double(spacing.x), double(spacing.y), double(spacing.z));
  return code;
}

void addReduceCommands(CLI::App& app, Options& o)
{
  auto s = std::make_shared<ReduceSettings>();
  CLI::App* reduce = app.add_subcommand("reduce", "Thin an oriented point cloud, dropping redundant points");
  reduce->add_option("input", o.input, "Point cloud to read (with normals: XYZ with normals, PLY)")->required();
  reduce->add_option("output", o.output, "Point cloud to write")->required();
  reduce->add_option("-t,--tolerance", s->tolerance,
                     "Largest distance of a neighbour from a point's tangent plane (0: no reduction)")
      ->required()
      ->check(CLI::NonNegativeNumber);
  reduce->add_option("--min-dot", s->minDot, "Least dot product of two neighbours' normals")
      ->capture_default_str()
      ->check(CLI::Range(-1.0, 1.0));
  reduce->add_option("--spacing", s->spacing,
                     "Sampling distance of the cloud, sizing the neighbourhoods (default: the cloud's mean "
                     "sampling distance)")
      ->check(CLI::PositiveNumber);
  reduce->callback([&o, s] {
    o.run = [&o, s] {
      return transformFile(o.input, o.output, o.ascii, [&](KEXTriangleMeshBuffer& b) { return reduceBuffer(b, *s); });
    };
  });
}

} // namespace kexmeshtool
