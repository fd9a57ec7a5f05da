// The editing subcommands: normals, weld, flip, transform, convert, orient. Each reads the mesh, runs
// one or two of the library's algorithms by class name (normals and transform: the actions of the
// normals and transform filters, in buffer mode as a host would) and writes the result.
#include "Commands.h"
#include "Session.h"

#include <CLI/CLI.hpp>

#include "kex/Values.h"
#include "kexmesh/objects/ModifyTriangleMesh.h"
#include "kexmesh/objects/TransformTriangleMesh.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/ClusterVerticesAlgorithm.h"

#include <cstdio>
#include <initializer_list>

namespace kexmeshtool {

namespace {

/// Runs the named actions of filter on b in buffer mode, one after the other; what names each for
/// the error message. OperationFailed (printed) when one fails, Success after a stop (transformFile
/// reports it).
int runFilterActions(KEXObject& filter, KEXTriangleMeshBuffer& b, std::initializer_list<KEXenum> names,
                     const char* what)
{
  KEXTriangleMeshAction::Parameters record(&b, nullptr);
  for (KEXenum name : names) {
    if (interruptCount() > 0)
      return Success;
    KEXAction* action = filter.getAction(name);
    if (!action) {
      printError("the %s filter has no action %s", what, name.getString());
      return OperationFailed;
    }
    if (!action->execute(&record)) {
      if (interruptCount() == 0)
        printError("%s failed in %s", what, name.getString());
      return OperationFailed;
    }
  }
  return Success;
}

int computeNormals(KEXModifyTriangleMesh& filter, KEXTriangleMeshBuffer& b)
{
  if (b.getTriangleCount() == 0) {
    printWarning("a point cloud has no triangles to compute normals from");
    return Success;
  }
  // The filter's VectorLength (1 by default) reaches the harmonization.
  return runFilterActions(filter, b, {KEX::CalculateVertexNormals, KEX::HarmonizeVertexNormals}, "normals");
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
    printNote("welded %d vertices into %d (distance %g)", before, b.getVertexCount(), double(used));
  return code;
}

int runNormals(const Options& o)
{
  FilterHandle<KEXModifyTriangleMesh> filter("KEXModifyTriangleMesh");
  if (!filter)
    return OperationFailed;
  return transformFile(o.input, o.output, o.ascii, [&](KEXTriangleMeshBuffer& b) { return computeNormals(*filter, b); });
}

int runWeld(const Options& o, double distance)
{
  return transformFile(o.input, o.output, o.ascii, [&](KEXTriangleMeshBuffer& b) { return weldBuffer(b, distance); });
}

int runFlip(const Options& o)
{
  return transformFile(o.input, o.output, o.ascii, [](KEXTriangleMeshBuffer& b) { return step(b, "KEXFlipOrientationAlgorithm", "flip"); });
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
  FilterHandle<KEXTransformTriangleMesh> filter("KEXTransformTriangleMesh");
  if (!filter)
    return OperationFailed;
  const double det = KEXMatrix4<double>(m).determinant();
  if (!filter->setTransformMatrix(m)) {
    printError("the transform is singular or not finite (determinant %g)", det);
    return BadInput;
  }
  return transformFile(o.input, o.output, o.ascii, [&](KEXTriangleMeshBuffer& b) {
    // The filter's sequence: vertices, vertex normals, triangle normals.
    if (int code = runFilterActions(*filter, b, {KEX::Filter}, "transform"))
      return code;
    if (det < 0 && b.getTriangleCount() > 0 && interruptCount() == 0) {
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
  return transformFile(o.input, o.output, o.ascii, [](KEXTriangleMeshBuffer&) { return int(Success); });
}

int runOrient(const Options& o, bool ignoreNormals)
{
  return transformFile(o.input, o.output, o.ascii, [ignoreNormals](KEXTriangleMeshBuffer& b) {
    if (!ignoreNormals || !b.hasVertexNormalList())
      return step(b, "KEXConsolidateOrientationAlgorithm", "orientation");
    // Outward by the volume alone: the stored normals are set aside for the vote and computed
    // anew from the oriented triangles, so that they agree with them.
    b.vertexNormalList.clear();
    if (int code = step(b, "KEXConsolidateOrientationAlgorithm", "orientation"))
      return code;
    FilterHandle<KEXModifyTriangleMesh> filter("KEXModifyTriangleMesh");
    return filter ? computeNormals(*filter, b) : int(OperationFailed);
  });
}

} // namespace

void addEditCommands(CLI::App& app, Options& o)
{
  CLI::App* normals = app.add_subcommand("normals", "Compute unit vertex normals");
  addInputOutput(*normals, o);
  normals->callback([&o] { o.run = [&o] { return runNormals(o); }; });

  auto distance = std::make_shared<double>(-1.0);
  CLI::App* weld = app.add_subcommand("weld", "Join vertices closer than a distance (default: estimated)");
  addInputOutput(*weld, o);
  weld->add_option("-d,--distance", *distance,
                   "Largest distance of vertices that are joined (default: half the shortest edge, at most 1e-5 "
                   "of the diagonal)");
  weld->callback([&o, distance] { o.run = [&o, distance] { return runWeld(o, *distance); }; });

  CLI::App* flip = app.add_subcommand("flip", "Reverse the orientation of every triangle");
  addInputOutput(*flip, o);
  flip->callback([&o] { o.run = [&o] { return runFlip(o); }; });

  struct TransformArgs {
    std::vector<double> matrix, scale, translate;
  };
  auto t = std::make_shared<TransformArgs>();
  CLI::App* transform = app.add_subcommand("transform", "Apply a matrix, scale or translation");
  addInputOutput(*transform, o);
  CLI::Option_group* how = transform->add_option_group("transform", "exactly one of these");
  how->add_option("--matrix", t->matrix, "16 numbers, row by row (affine 4x4)")->expected(16);
  how->add_option("--scale", t->scale, "One factor, or three (x y z)")->expected(1, 3);
  how->add_option("--translate", t->translate, "Offset x y z")->expected(3);
  how->require_option(1);
  transform->callback([&o, t] {
    if (t->scale.size() == 2)
      throw CLI::ValidationError("--scale", "takes one factor or three (x y z), not two");
    o.run = [&o, t] { return runTransform(o, t->matrix, t->scale, t->translate); };
  });

  CLI::App* convert = app.add_subcommand("convert", "Write the mesh in the format of the output's extension");
  addInputOutput(*convert, o);
  convert->callback([&o] { o.run = [&o] { return runConvert(o); }; });

  auto ignoreNormals = std::make_shared<bool>(false);
  CLI::App* orient = app.add_subcommand("orient", "Make the triangle orientation consistent and outward");
  addInputOutput(*orient, o);
  orient->add_flag("--ignore-normals", *ignoreNormals,
                   "Decide outward by each closed part's volume, not by the stored vertex normals (they are "
                   "recomputed)");
  orient->footer("What decides outward: the stored vertex normals when the mesh has them (each connected part "
                 "is turned to agree with them), otherwise the sign of the part's volume.");
  orient->callback([&o, ignoreNormals] { o.run = [&o, ignoreNormals] { return runOrient(o, *ignoreNormals); }; });
}

} // namespace kexmeshtool
