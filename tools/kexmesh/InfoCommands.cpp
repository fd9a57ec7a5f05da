// kexmesh info and check: what a mesh is made of and what is wrong with it. The validity figures
// come from the library's integrity check, the measurements (area, view box, angles) from its
// analyzer, driven the way a host drives them: a mesh object with an access object, an analyzer
// object created by class name, its Calculate action and its result object's properties.
#include "Commands.h"
#include "Json.h"
#include "Session.h"

#include <CLI/CLI.hpp>

#include "kex/Properties.h"
#include "kexmesh/access/TriangleMeshDirectAccess.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace kexmeshtool {

namespace {

struct InfoOptions {
  bool json = false;
  std::string histogram; ///< SVG file for the angle histogram
};

/// The analyzer's published figures.
struct Analysis {
  bool ran = false;
  int badEdges = -1, badTriangles = -1;
  float surfaceArea = -1.0f;
  KEXVector3<float> dimensions;
  std::vector<KEXVector2<float>> histogram; ///< x: bin start (radians), y: angles in the bin
  // Derived from the histogram, in degrees and shares of all angles.
  double minAngle = 0, maxAngle = 0, meanAngle = 0, below10 = 0, above160 = 0;
};

constexpr double BIN_DEGREES = 0.1;

void deriveAngleFigures(Analysis& a)
{
  double total = 0, weighted = 0, low = 0, high = 0;
  int first = -1, last = -1;
  for (int i = 0; i < int(a.histogram.size()); ++i) {
    const double n = a.histogram[size_t(i)].y;
    if (n <= 0)
      continue;
    if (first < 0)
      first = i;
    last = i;
    total += n;
    weighted += n * (i + 0.5) * BIN_DEGREES;
    if (i < 100)
      low += n;
    if (i >= 1600)
      high += n;
  }
  if (total <= 0)
    return;
  a.minAngle = first * BIN_DEGREES;
  a.maxAngle = (last + 1) * BIN_DEGREES;
  a.meanAngle = weighted / total;
  a.below10 = low / total;
  a.above160 = high / total;
}

/// Runs the analyzer on b. Failure (or a stop) leaves ran false; the analyzer's diagnostics have
/// been printed by the terminal monitor.
Analysis analyse(const KEXTriangleMeshBuffer& b)
{
  Analysis a;
  const KEXMetaClass* meshClass = KEXMetaClass::find("KEXTriangleMeshData");
  const KEXMetaClass* analyzerClass = KEXMetaClass::find("KEXTriangleMeshAnalyzer");
  KEXObject* mesh = meshClass ? dynamic_cast<KEXTriangleMeshData*>(meshClass->create()) : nullptr;
  KEXObject* analyzer = analyzerClass ? dynamic_cast<KEXObject*>(analyzerClass->create()) : nullptr;
  auto* meshObject = dynamic_cast<KEXTriangleMeshData*>(mesh);
  KEXAction* calculate = analyzer ? analyzer->getAction(KEX::Calculate) : nullptr;
  bool ok = meshObject && calculate && meshObject->fromBuffer(b) && KEXTriangleMeshDirectAccess::attach(*meshObject) &&
            analyzer->setValue<KEXObjectLink>(KEX::Geometry, KEXObjectLink(mesh)) && calculate->execute(nullptr);
  KEXObjectLink link;
  if (ok && analyzer->getValue<KEXObjectLink>(KEX::Result, link) && link.get()) {
    const KEXObject& r = *link.get();
    int first = 0, last = -1;
    a.ran = r.getValue<int>(KEX::BadEdges, a.badEdges) && r.getValue<int>(KEX::BadTriangles, a.badTriangles) &&
            r.getValue<float>(KEX::SurfaceArea, a.surfaceArea) &&
            r.getValue<KEXVector3<float>>(KEX::Dimensions, a.dimensions) &&
            r.getIndexRange<KEXVector2<float>>(KEX::AngleHistogram, first, last);
    if (a.ran && last >= 0) {
      a.histogram.resize(size_t(last + 1));
      a.ran = r.getArrayItems<KEXVector2<float>>(KEX::AngleHistogram, 0, last, a.histogram.data());
    }
  }
  link = KEXObjectLink();
  if (analyzer)
    analyzer->release();
  if (mesh)
    mesh->release();
  if (a.ran)
    deriveAngleFigures(a);
  return a;
}

/// 50544 -> "50,544".
std::string grouped(long long n)
{
  std::string digits = std::to_string(n < 0 ? -n : n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0)
      out += ',';
    out += digits[i];
  }
  return n < 0 ? "-" + out : out;
}

std::string attributesOf(const KEXTriangleMeshBuffer& b)
{
  std::string attributes;
  if (b.hasVertexNormalList())
    attributes += " vertex-normals";
  if (b.hasVertexColorList())
    attributes += " vertex-colours";
  if (b.hasTriangleNormalList())
    attributes += " triangle-normals";
  if (b.hasTriangleColorList())
    attributes += " triangle-colours";
  return attributes;
}

void printStatsLines(const MeshStats& s)
{
  if (s.checked)
    std::printf("  integrity check:           %lld invalid vertices, %lld invalid triangles, %lld empty triangles\n",
                s.nonFiniteVertices, s.invalidTriangles, s.degenerateTriangles);
  std::printf("  duplicate vertices:        %lld\n", s.duplicateVertices);
  std::printf("  unused vertices:           %lld\n", s.unusedVertices);
  if (s.isSoup()) {
    // Every border edge of a soup is an artefact of the copies, not a hole.
    std::printf("  triangle soup:             %s vertex copies, %s after welding exact duplicates\n",
                grouped(s.vertices).c_str(), grouped(s.vertices - s.duplicateVertices).c_str());
  } else {
    std::printf("  boundary edges:            %lld (in %lld loops)\n", s.boundaryEdges, s.boundaryLoops);
    std::printf("  non-manifold edges:        %lld\n", s.nonManifoldEdges);
    std::printf("  inconsistent orientation:  %lld edges\n", s.flippedEdges);
  }
}

void printAnalysisLines(const Analysis& a)
{
  std::printf("  surface area:              %g\n", a.surfaceArea);
  std::printf("  dimensions:                %g x %g x %g\n", a.dimensions.x, a.dimensions.y, a.dimensions.z);
  std::printf("  bad triangles:             %d\n", a.badTriangles);
  std::printf("  bad edges:                 %d\n", a.badEdges);
  std::printf("  angles:                    min %.1f, max %.1f, mean %.1f degrees\n", a.minAngle, a.maxAngle,
              a.meanAngle);
  std::printf("  angles below 10 degrees:   %.2f%%\n", 100.0 * a.below10);
  std::printf("  angles above 160 degrees:  %.2f%%\n", 100.0 * a.above160);
}

// --- JSON ----------------------------------------------------------------------------------------

void vector3(JsonWriter& j, const char* key, const KEXVector3<float>& v)
{
  j.array(key).element(v.x).element(v.y).element(v.z).end();
}

void statsJson(JsonWriter& j, const MeshStats& s)
{
  j.boolean("integrityCheck", s.checked);
  j.integer("invalidVertices", s.nonFiniteVertices).integer("invalidTriangles", s.invalidTriangles);
  j.integer("emptyTriangles", s.degenerateTriangles);
  j.integer("duplicateVertices", s.duplicateVertices).integer("unusedVertices", s.unusedVertices);
  j.boolean("triangleSoup", s.isSoup()).integer("verticesAfterWelding", s.vertices - s.duplicateVertices);
  j.integer("boundaryEdges", s.boundaryEdges).integer("boundaryLoops", s.boundaryLoops);
  j.integer("nonManifoldEdges", s.nonManifoldEdges).integer("inconsistentEdges", s.flippedEdges);
}

void analysisJson(JsonWriter& j, const Analysis& a)
{
  if (!a.ran) {
    j.null("analysis");
    return;
  }
  j.object("analysis").number("surfaceArea", a.surfaceArea);
  vector3(j, "dimensions", a.dimensions);
  j.integer("badTriangles", a.badTriangles).integer("badEdges", a.badEdges);
  j.number("minAngle", a.minAngle).number("maxAngle", a.maxAngle).number("meanAngle", a.meanAngle);
  j.number("shareBelow10Degrees", a.below10).number("shareAbove160Degrees", a.above160);
  j.number("angleHistogramBinDegrees", BIN_DEGREES).array("angleHistogram");
  for (const KEXVector2<float>& bin : a.histogram)
    j.element(bin.y);
  j.end().end();
}

// --- SVG histogram -------------------------------------------------------------------------------

/// A round step for axis ticks near range / 5.
double tickStep(double range)
{
  const double raw = range / 5.0;
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0})
    if (m * p >= raw)
      return m * p;
  return 10.0 * p;
}

bool writeHistogramSvg(const std::string& path, const std::string& title, const Analysis& a)
{
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f)
    return false;
  // Plot area 800 x 400 with margins for the labels; 1-degree columns (ten bins each) read better
  // than 1800 hairlines.
  const double left = 80, top = 50, width = 800, height = 400;
  std::vector<double> columns(180, 0.0);
  for (size_t i = 0; i < a.histogram.size(); ++i)
    columns[std::min<size_t>(179, i / 10)] += a.histogram[i].y;
  double peak = 1;
  for (double c : columns)
    peak = std::max(peak, c);
  const double step = tickStep(peak);
  const double yMax = std::ceil(peak / step) * step;
  std::string escaped;
  for (char c : title)
    escaped += c == '<' ? std::string("&lt;") : c == '&' ? std::string("&amp;") : std::string(1, c);
  std::fprintf(f,
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
               "font-family=\"sans-serif\" font-size=\"13\">\n"
               "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
               "<text x=\"%.0f\" y=\"28\" text-anchor=\"middle\" font-size=\"16\">Inner angles of %s</text>\n",
               left + width + 40, top + height + 70, left + width / 2, escaped.c_str());
  for (int c = 0; c < 180; ++c) {
    const double h = columns[size_t(c)] / yMax * height;
    if (h > 0)
      std::fprintf(f, "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"#4a7ab5\"/>\n",
                   left + c * width / 180, top + height - h, width / 180, h);
  }
  // Axes, ticks and labels.
  std::fprintf(f, "<path d=\"M%.0f %.0f V%.0f H%.0f\" stroke=\"black\" fill=\"none\"/>\n", left, top, top + height,
               left + width);
  for (int deg = 0; deg <= 180; deg += 30) {
    const double x = left + deg * width / 180;
    std::fprintf(f, "<line x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.0f\" stroke=\"black\"/>\n", x, top + height, x,
                 top + height + 5);
    std::fprintf(f, "<text x=\"%.1f\" y=\"%.0f\" text-anchor=\"middle\">%d</text>\n", x, top + height + 20, deg);
  }
  for (double v = 0; v <= yMax + step / 2; v += step) {
    const double y = top + height - v / yMax * height;
    std::fprintf(f, "<line x1=\"%.0f\" y1=\"%.1f\" x2=\"%.0f\" y2=\"%.1f\" stroke=\"black\"/>\n", left - 5, y, left, y);
    std::fprintf(f, "<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\">%.0f</text>\n", left - 8, y + 4, v);
  }
  std::fprintf(f, "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\">inner angle (degrees)</text>\n",
               left + width / 2, top + height + 45);
  std::fprintf(f,
               "<text x=\"20\" y=\"%.0f\" text-anchor=\"middle\" transform=\"rotate(-90 20 %.0f)\">"
               "angles per degree</text>\n</svg>\n",
               top + height / 2, top + height / 2);
  return std::fclose(f) == 0;
}

bool stopped()
{
  if (interruptCount() == 0)
    return false;
  printError("info: stopped by the user");
  return true;
}

int runInfo(const Options& o, const InfoOptions& io)
{
  KEXTriangleMeshBuffer b;
  if (int code = readMesh(o.input, b))
    return code;
  if (stopped())
    return OperationFailed;
  MeshStats s = computeStats(b);
  if (stopped())
    return OperationFailed;
  Analysis a;
  if (s.triangles > 0) {
    a = analyse(b);
    if (stopped())
      return OperationFailed;
    if (!a.ran)
      printWarning("the mesh could not be analysed");
  }
  KEXInterval<KEXVector3<float>> box;
  const bool hasBox = b.calculateBoundingBox(box) && !box.isEmpty();
  KEXVector3<float> msd;
  const bool hasMsd = b.calculateMeanSamplingDistance(msd);
  const bool valid = b.isConsistent() && s.nonFiniteVertices == 0 && s.invalidTriangles == 0;
  const std::string attributes = attributesOf(b);

  if (!io.histogram.empty()) {
    if (!a.ran) {
      printError("info: no angle histogram to write (the mesh has no analysable triangles)");
      return OperationFailed;
    }
    if (!writeHistogramSvg(io.histogram, o.input, a)) {
      printError("info: could not write %s", io.histogram.c_str());
      return OperationFailed;
    }
  }

  if (io.json) {
    JsonWriter j;
    j.string("file", o.input).integer("vertices", s.vertices).integer("triangles", s.triangles);
    j.array("attributes");
    for (size_t i = 0, k; i < attributes.size(); i = k) {
      k = attributes.find(' ', i + 1);
      if (k == std::string::npos)
        k = attributes.size();
      j.element(attributes.substr(i + 1, k - i - 1));
    }
    j.end().boolean("valid", valid);
    if (hasBox) {
      j.object("boundingBox");
      vector3(j, "min", box.getMin());
      vector3(j, "max", box.getMax());
      j.number("diagonal", box.getDiameter()).end();
    }
    if (hasMsd)
      vector3(j, "meanSamplingDistance", msd);
    statsJson(j, s);
    analysisJson(j, a);
    return Success;
  }

  std::printf("%s\n", o.input.c_str());
  std::printf("  vertices:                  %lld\n", s.vertices);
  if (s.triangles > 0)
    std::printf("  triangles:                 %lld\n", s.triangles);
  else
    std::printf("  triangles:                 0 (point cloud)\n");
  std::printf("  attributes:               %s\n", attributes.empty() ? " none" : attributes.c_str());
  std::printf("  valid:                     %s\n", valid ? "yes" : "no");
  if (hasBox) {
    const KEXVector3<float>& lo = box.getMin();
    const KEXVector3<float>& hi = box.getMax();
    std::printf("  bounding box:              (%g %g %g) - (%g %g %g), diagonal %g\n", lo.x, lo.y, lo.z, hi.x, hi.y,
                hi.z, box.getDiameter());
  }
  if (hasMsd)
    std::printf("  mean sampling distance:    %g %g %g\n", msd.x, msd.y, msd.z);
  if (a.ran)
    printAnalysisLines(a);
  printStatsLines(s);
  return Success;
}

int runCheck(const Options& o, const InfoOptions& io)
{
  KEXTriangleMeshBuffer b;
  if (int code = readMesh(o.input, b))
    return code;
  MeshStats s = computeStats(b);
  // Open borders are problems too (a triangle soup has nothing else): a repair would close them.
  bool problems = !s.checked || s.nonFiniteVertices || s.invalidTriangles || s.degenerateTriangles ||
                  s.nonManifoldEdges || s.flippedEdges || s.boundaryEdges;
  if (io.json) {
    JsonWriter j;
    j.string("file", o.input).integer("vertices", s.vertices).integer("triangles", s.triangles);
    statsJson(j, s);
    j.boolean("problems", problems);
    return problems ? ProblemsLeft : Success;
  }
  std::printf("%s: %lld vertices, %lld triangles\n", o.input.c_str(), s.vertices, s.triangles);
  printStatsLines(s);
  std::printf("%s\n", problems ? "problems found" : "no problems found");
  return problems ? ProblemsLeft : Success;
}

} // namespace

void addInfoCommands(CLI::App& app, Options& o)
{
  // Owned by the commands' callbacks for the life of the process.
  static InfoOptions infoOptions, checkOptions;
  CLI::App* info = app.add_subcommand(
      "info", "Counts, validity, bounding box, sampling distance, integrity check, area and angle figures");
  addInput(*info, o);
  info->add_flag("--json", infoOptions.json, "Print every figure as JSON");
  info->add_option("--histogram", infoOptions.histogram, "Write the inner-angle histogram as an SVG plot")
      ->type_name("FILE.svg");
  info->callback([&o] { o.run = [&o] { return runInfo(o, infoOptions); }; });
  CLI::App* check = app.add_subcommand("check", "Integrity and shape check; exit code 3 when problems are found");
  addInput(*check, o);
  check->add_flag("--json", checkOptions.json, "Print the figures as JSON");
  check->callback([&o] { o.run = [&o] { return runCheck(o, checkOptions); }; });
}

} // namespace kexmeshtool
