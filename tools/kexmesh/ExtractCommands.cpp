// The volume subcommand: extract. Reads a volume (any format of the volume handlers, or raw samples
// described on the command line), extracts the iso-surface with the library's extractor object
// (created by class name, inputs set as properties, its Calculate action executed, the result
// object's lists read back) and writes the mesh. The closing line says what came out: triangles,
// vertices, components, whether the surface is closed, the time and the process's peak memory.
#include "Commands.h"
#include "Session.h"

#include <CLI/CLI.hpp>

#include "kex/Properties.h"
#include "kexgeometry/Grid.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/io/GridIO.h"
#include "kexmesh/objects/Vocabulary.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kexmeshtool {

namespace {

struct ExtractSettings {
  double iso = 0.5;
  std::vector<double> box;     ///< x0 y0 z0 x1 y1 z1: a mask in grid coordinates
  std::vector<double> spacing; ///< sx sy sz: replaces the file's spacing
  std::vector<int> rawDims;    ///< X Y Z of a raw volume
  std::string rawType = "u8";
  long long rawHeader = 0;
  bool bigEndian = false;
  std::string interpolation = "linear";
};

int readVolume(const std::string& path, const ExtractSettings& s, KEXGrid& grid)
{
  KEXGeometryIO::Report report;
  KEXGridIO* io = KEXGridIO::createForFile(path.c_str(), report);
  if (!io) {
    printError("%s", report.message.c_str());
    return BadInput;
  }
  bool ok = true;
  if (!s.rawDims.empty()) {
    static const std::map<std::string, KEXSampleType> types = {{"u8", KEXSampleType::UInt8},
                                                               {"i16", KEXSampleType::Int16},
                                                               {"u16", KEXSampleType::UInt16},
                                                               {"f32", KEXSampleType::Float32}};
    KEXGridIO::RawLayout layout;
    layout.type = types.at(s.rawType);
    layout.nx = s.rawDims[0];
    layout.ny = s.rawDims[1];
    layout.nz = s.rawDims[2];
    layout.bigEndian = s.bigEndian;
    layout.headerBytes = s.rawHeader;
    if (!io->setRawLayout(layout)) {
      printError("%s: --raw-dims is only for raw volumes (.raw)", path.c_str());
      ok = false;
    }
  }
  // A raw file without --raw-dims is refused by the handler itself; the hint names the options.
  ok = ok && io->readGrid(path.c_str(), grid, report);
  if (!ok && !report.message.empty())
    printError("%s", report.message.c_str());
  if (!ok && s.rawDims.empty() && std::string(io->getFormatName()) == "RAW")
    printError("a raw volume needs --raw-dims X Y Z and --raw-type u8|i16|u16|f32");
  for (const std::string& w : report.warnings)
    printWarning("%s", w.c_str());
  KEXGridIO::destroy(io);
  if (!ok)
    return BadInput;
  if (!s.spacing.empty() &&
      !grid.setUniformPositions(grid.getOrigin(), KEXVector3<double>(s.spacing[0], s.spacing[1], s.spacing[2]))) {
    printError("the spacing %g %g %g is refused", s.spacing[0], s.spacing[1], s.spacing[2]);
    return BadInput;
  }
  return Success;
}

int extractSurface(KEXGrid& grid, const ExtractSettings& s, KEXTriangleMeshBuffer& mesh)
{
  const KEXMetaClass* meta = KEXMetaClass::find("KEXTriangleMeshExtractor");
  KEXObject* x = meta ? static_cast<KEXObject*>(meta->create()) : nullptr;
  if (!x) {
    printError("the extractor KEXTriangleMeshExtractor is not available");
    return OperationFailed;
  }
  static const std::map<std::string, KEXenum> modes = {{"linear", KEX::Linear}, {"cubic", KEX::Cubic}, {"off", KEX::Off}};
  bool ok = x->setValue<KEXObjectLink>(KEX::SampleGrid, KEXObjectLink(&grid)) &&
            x->setValue<float>(KEX::IsoValue, float(s.iso)) &&
            x->setValue<KEXenum>(KEX::InterpolationMode, modes.at(s.interpolation));
  if (ok && !s.box.empty()) {
    const KEXSampleMask mask(KEXVector3<float>(float(s.box[0]), float(s.box[1]), float(s.box[2])),
                             KEXVector3<float>(float(s.box[3]), float(s.box[4]), float(s.box[5])));
    ok = x->initArray<KEXSampleMask>(KEX::SampleMaskList, 1, &mask);
  }
  if (!ok) {
    printError("the extractor refused the settings (iso value %g)", s.iso);
    x->release();
    return BadInput;
  }
  KEXAction* calculate = x->getAction(KEX::Calculate);
  const bool calculated = calculate && calculate->execute(nullptr);
  KEXObjectLink link;
  const bool read = calculated && x->getValue<KEXObjectLink>(KEX::Result, link) && link.get() &&
                    link.get()->getArray(KEX::TriangleList, mesh.triangleList) &&
                    link.get()->getArray(KEX::VertexList, mesh.vertexList);
  x->release();
  if (interruptCount() > 0)
    return OperationFailed; // the caller says the output was not written
  if (!calculated) {
    printError("the extraction failed");
    return OperationFailed;
  }
  if (!read) {
    printError("out of memory while reading the extracted surface");
    return OperationFailed;
  }
  return Success;
}

double peakMemoryMiB()
{
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
}

int runExtract(const Options& o, const ExtractSettings& s)
{
  const auto start = std::chrono::steady_clock::now();
  KEXGrid grid;
  if (int code = readVolume(o.input, s, grid))
    return code;
  const KEXVector3<int> size = grid.getSize();
  printNote("read %s: %d x %d x %d samples", o.input.c_str(), size.x, size.y, size.z);
  KEXTriangleMeshBuffer mesh;
  const int code = extractSurface(grid, s, mesh);
  if (code != Success) {
    if (interruptCount() > 0)
      printError("stopped by the user; %s was not written", o.output.c_str());
    return code;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const MeshStats stats = computeStats(mesh);
  if (int written = writeMesh(o.output, mesh, o.ascii))
    return written;
  const bool closed = stats.boundaryEdges == 0 && stats.nonManifoldEdges == 0 && stats.triangles > 0;
  printNote("extracted %lld triangles, %lld vertices, %lld component%s, %s, in %.2f s, peak memory %.0f MiB",
            stats.triangles, stats.vertices, stats.components, stats.components == 1 ? "" : "s",
            closed ? "closed" : (stats.triangles > 0 ? "open" : "empty"), seconds, peakMemoryMiB());
  return Success;
}

} // namespace

void addExtractCommands(CLI::App& app, Options& o)
{
  auto s = std::make_shared<ExtractSettings>();
  CLI::App* extract = app.add_subcommand("extract", "Extract the iso-surface of a volume as a closed triangle mesh");
  extract->add_option("input", o.input, std::string("Volume to read (") + KEXGridIO::getSupportedExtensions() + ")")
      ->required();
  extract->add_option("output", o.output, "Mesh to write")->required();
  extract->add_option("--iso", s->iso, "Iso value: samples at or above it are inside")->required();
  extract->add_option("--box", s->box, "Only the part inside this box (grid coordinates): x0 y0 z0 x1 y1 z1")
      ->expected(6);
  extract->add_option("--spacing", s->spacing, "Sample spacing per axis, replacing the file's: sx sy sz")
      ->expected(3)
      ->check(CLI::PositiveNumber);
  extract->add_option("--interpolation", s->interpolation, "Vertex placement on the cell edges")
      ->capture_default_str()
      ->check(CLI::IsMember({"linear", "cubic", "off"}, CLI::ignore_case));
  CLI::Option_group* raw = extract->add_option_group("raw volumes", "Layout of a .raw file");
  CLI::Option* dims = raw->add_option("--raw-dims", s->rawDims, "Samples per axis: X Y Z")->expected(3)->check(CLI::PositiveNumber);
  raw->add_option("--raw-type", s->rawType, "Sample type")
      ->capture_default_str()
      ->check(CLI::IsMember({"u8", "i16", "u16", "f32"}))
      ->needs(dims);
  raw->add_option("--raw-header", s->rawHeader, "Bytes before the first sample")->check(CLI::NonNegativeNumber)->needs(dims);
  raw->add_flag("--big-endian", s->bigEndian, "Samples are stored most significant byte first")->needs(dims);
  extract->callback([&o, s] {
    o.run = [&o, s] { return runExtract(o, *s); };
  });
}

} // namespace kexmeshtool
