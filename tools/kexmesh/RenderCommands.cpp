// The picture subcommand: `kexmesh render IN OUT.png`. The colours come from the library's colour
// material, created by class name as a host would and changed only through its sides' properties
// (which refuse colours outside 0 ... 1); the bad triangles of --highlight are the dye step's.
#include "Commands.h"
#include "PngFile.h"
#include "Renderer.h"
#include "Session.h"

#include <CLI/CLI.hpp>

#include "kexmesh/io/GeometryColorMaterial.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/DyeBadTrianglesAlgorithm.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

namespace kexmeshtool {

namespace {

// The colours of --highlight bad, chosen apart from the material's blue and red.
const KEXRGB<float> OPEN_EDGE_COLOR(0.0f, 0.85f, 0.2f);
const KEXRGB<float> NON_MANIFOLD_EDGE_COLOR(1.0f, 0.0f, 1.0f);
const KEXRGB<float> BAD_TRIANGLE_COLOR(1.0f, 0.6f, 0.0f);

bool parseSize(const std::string& text, int& width, int& height)
{
  char* end = nullptr;
  const long w = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || (*end != 'x' && *end != 'X'))
    return false;
  const char* rest = end + 1;
  const long h = std::strtol(rest, &end, 10);
  if (end == rest || *end != '\0')
    return false;
  // Clamped, so that a huge number is refused as too large rather than wrapped.
  width = int(std::max(-1L, std::min(w, 1000000000L)));
  height = int(std::max(-1L, std::min(h, 1000000000L)));
  return true;
}

bool parseColor(const std::string& text, KEXRGB<float>& color)
{
  float c[3];
  std::istringstream in(text);
  for (int i = 0; i < 3; ++i) {
    char comma = ',';
    if (!(in >> c[i]) || (i < 2 && (!(in >> comma) || comma != ',')))
      return false;
  }
  if (!(in >> std::ws).eof())
    return false;
  color = KEXRGB<float>(c[0], c[1], c[2]);
  return true;
}

/// Owns the creator's reference to a material made by class name.
struct MaterialHandle {
  MaterialHandle()
  {
    const KEXMetaClass* meta = KEXMetaClass::find("KEXGeometryColorMaterial");
    material = meta ? dynamic_cast<KEXGeometryColorMaterial*>(meta->create()) : nullptr;
  }
  ~MaterialHandle()
  {
    if (material)
      material->release();
  }
  MaterialHandle(const MaterialHandle&) = delete;
  MaterialHandle& operator=(const MaterialHandle&) = delete;
  KEXGeometryColorMaterial* material = nullptr;
};

/// The side's base hue: ambient, diffuse and emission; the specular highlight stays white.
bool setSideColor(KEXObject* side, const KEXRGB<float>& c)
{
  return side && side->setValue(KEX::AmbientColor, c) && side->setValue(KEX::DiffuseColor, c) &&
         side->setValue(KEX::EmissionColor, c);
}

/// The material's colours with the given changes; BadInput (printed) when a colour is refused.
int shadingOf(const PictureSettings& p, ShadingMaterial& shading)
{
  MaterialHandle handle;
  if (!handle.material) {
    printError("the colour material KEXGeometryColorMaterial is not available");
    return OperationFailed;
  }
  if (p.materialColors.size() == 2) {
    const char* which[2] = {"front", "back"};
    KEXObject* sides[2] = {handle.material->getFrontFace(), handle.material->getBackFace()};
    for (int i = 0; i < 2; ++i) {
      KEXRGB<float> c;
      if (!parseColor(p.materialColors[size_t(i)], c) || !setSideColor(sides[i], c)) {
        printError("--material: the %s colour '%s' is not r,g,b with each component within 0 and 1", which[i],
                   p.materialColors[size_t(i)].c_str());
        return BadInput;
      }
    }
  } else if (!p.materialColors.empty()) {
    printError("--material takes two colours: front r,g,b and back r,g,b");
    return BadInput;
  }
  if (!shading.read(*handle.material)) {
    printError("the colour material has no complete front and back side");
    return OperationFailed;
  }
  return Success;
}

/// Open and non-manifold edges as lines, the dye step's bad triangles in their own colour.
int addHighlights(const KEXTriangleMeshBuffer& b, RenderSettings& settings)
{
  EdgeClasses edges;
  if (!classifyEdges(b, edges)) {
    printError("not enough memory to find the open and non-manifold edges");
    return OperationFailed;
  }
  for (const auto& e : edges.open)
    settings.lines.push_back(OverlayLine{e.first, e.second, OPEN_EDGE_COLOR});
  for (const auto& e : edges.nonManifold)
    settings.lines.push_back(OverlayLine{e.first, e.second, NON_MANIFOLD_EDGE_COLOR});
  KEXTriangleMeshBuffer dyed = b;
  int bad = 0;
  muteDiagnostics(true);
  const RunResult dye = runAlgorithm("KEXDyeBadTrianglesAlgorithm", dyed);
  muteDiagnostics(false);
  if (dye == RunResult::Done && dyed.getTriangleCount() == b.getTriangleCount() && dyed.hasTriangleColorList()) {
    const KEXRGBA<float>& badColor = KEXDyeBadTrianglesAlgorithm::badColor();
    settings.triangleColors.assign(size_t(b.getTriangleCount()), BAD_TRIANGLE_COLOR);
    settings.triangleColored.assign(size_t(b.getTriangleCount()), 0);
    for (int t = 0; t < b.getTriangleCount(); ++t)
      if (dyed.triangleColorList[t] == badColor) {
        settings.triangleColored[size_t(t)] = 1;
        ++bad;
      }
  } else {
    printWarning("the bad triangles could not be found; only the edges are highlighted");
  }
  std::fprintf(stderr, "highlighted %zu open edges (green), %zu non-manifold edges (magenta), %d bad triangles (orange)\n",
               edges.open.size(), edges.nonManifold.size(), bad);
  return Success;
}

bool endsWithPng(const std::string& path)
{
  if (path.size() < 4)
    return false;
  std::string ext = path.substr(path.size() - 4);
  for (char& c : ext)
    c = char(std::tolower((unsigned char)c));
  return ext == ".png";
}

/// The settings as the renderer takes them and the material's colours; BadInput (printed) for a
/// refused name, view, size or colour.
int prepare(const std::string& path, const PictureSettings& p, RenderSettings& settings, ShadingMaterial& shading)
{
  settings.width = p.width;
  settings.height = p.height;
  settings.wireframe = p.wireframe;
  settings.antialias = p.antialias;
  if (!endsWithPng(path)) {
    printError("%s: pictures are written as PNG; give a file name ending in .png", path.c_str());
    return BadInput;
  }
  if (!viewFromName(p.view.c_str(), settings.view)) {
    printError("--view '%s' is not one of %s", p.view.c_str(), viewNames());
    return BadInput;
  }
  if (!settings.isValidSize()) {
    printError("--size %dx%d refused: each side must be 1 to %d pixels, at most %lld pixels in all (a quarter of "
               "that with --antialias)",
               p.width, p.height, RenderSettings::MAX_SIDE, RenderSettings::MAX_SAMPLES);
    return BadInput;
  }
  return shadingOf(p, shading);
}

int runRender(const Options& o, const PictureSettings& p)
{
  // Bad settings are usage errors whatever the input: checked before the mesh is read.
  RenderSettings settings;
  ShadingMaterial shading;
  if (int code = prepare(o.output, p, settings, shading))
    return code;
  KEXTriangleMeshBuffer b;
  if (int code = readMesh(o.input, b))
    return code;
  return renderPicture(b, o.output, p);
}

} // namespace

int renderPicture(const KEXTriangleMeshBuffer& b, const std::string& path, const PictureSettings& p)
{
  RenderSettings settings;
  ShadingMaterial shading;
  if (int code = prepare(path, p, settings, shading))
    return code;
  if (p.highlightBad)
    if (int code = addHighlights(b, settings))
      return code;

  Image image;
  RenderStats stats;
  switch (renderMesh(b, shading, settings, image, stats)) {
  case RenderStatus::Done: break;
  case RenderStatus::Stopped: printError("rendering stopped by the user; no picture written"); return OperationFailed;
  case RenderStatus::InvalidSize: printError("the picture size was refused"); return BadInput;
  case RenderStatus::OutOfMemory:
    printError("not enough memory for a %dx%d picture", p.width, p.height);
    return OperationFailed;
  }
  if (stats.skippedTriangles > 0)
    printWarning("skipped %d triangles with NaN or infinite vertices or invalid indices", stats.skippedTriangles);
  if (stats.drawnTriangles == 0)
    printWarning("the mesh has no triangles to draw; the picture is blank");
  std::string error;
  if (!writePng(path, image, error)) {
    printError("%s", error.c_str());
    return OperationFailed;
  }
  std::fprintf(stderr, "wrote %s (%dx%d, %d triangles)\n", path.c_str(), image.width, image.height,
               stats.drawnTriangles);
  return Success;
}

void addRenderCommands(CLI::App& app, Options& o)
{
  auto p = std::make_shared<PictureSettings>();
  auto size = std::make_shared<std::string>();
  CLI::App* render = app.add_subcommand("render", "Draw a picture of a mesh into a PNG file (front faces blue, back red)");
  render->add_option("input", o.input, "Mesh file to draw")->required();
  render->add_option("output", o.output, "PNG file to write")->required();
  render->add_option("--view", p->view, std::string("Camera direction: ") + viewNames() + " (default iso)");
  render->add_option("--size", *size, "Picture size WxH in pixels (default 1024x768)");
  render->add_option("--material", p->materialColors, "Front and back colours: r,g,b r,g,b (each within 0 and 1)")
      ->expected(2);
  render->add_flag("--wireframe", p->wireframe, "Draw the triangles' edges");
  render->add_flag("--antialias", p->antialias, "Smooth edges (renders at twice the size)");
  render->add_option("--highlight", p->highlight, "bad: open edges green, non-manifold edges magenta, bad triangles orange")
      ->check(CLI::IsMember({"bad"}));
  render->callback([&o, p, size] {
    p->highlightBad = p->highlight == "bad";
    if (!size->empty() && !parseSize(*size, p->width, p->height))
      throw CLI::ValidationError("--size", "'" + *size + "' is not WxH (for example 1024x768)");
    o.run = [&o, p] { return runRender(o, *p); };
  });
}

} // namespace kexmeshtool
