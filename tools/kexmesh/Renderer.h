#pragma once
// Headless pictures of triangle meshes: a small depth-buffer rasteriser with Phong shading.
//
// Why our own rasteriser and not an off-screen OpenGL: a picture of a mesh needs nothing but
// orthographic projection, a depth test and per-pixel lighting, which is a few hundred lines; a
// software GL brings a large dependency, driver state and its own idea of thread use, and its
// output differs between versions. This one is deterministic: the picture is bit-identical for
// any number of worker threads, so pictures can be compared in tests and diffs.
//
// How it works: vertices are projected once; triangles are sorted into bands of rows; worker
// threads take bands one at a time (KEXMultiThread's counter), rasterise the band's triangles into
// a visibility buffer (depth and triangle index per sample, the first triangle in list order winning
// ties) and shade the band's samples. Each band is written by one worker only. Lines (open and
// non-manifold edges) are drawn afterwards with a depth tolerance; with anti-aliasing the picture
// is rendered at twice the size and averaged down.
//
// Front faces are the ones whose vertices run counter-clockwise seen from the camera; they get the
// material's front side, the others its back side. Normals always face the camera, so both sides
// are lit alike.
#include "kex/ValueList.h"
#include "kex/Values.h"

#include <vector>

class KEXTriangleMeshBuffer;
class KEXGeometryColorMaterial;
class KEXObject;

namespace kexmeshtool {

/// The Phong terms of one side, read from a KEXGeometryColorMaterialSide.
struct ShadingSide {
  KEXRGB<float> ambient{0, 0, 0}, diffuse{0, 0, 0}, specular{0, 0, 0}, emission{0, 0, 0};
  float ambientIntensity = 0, diffuseIntensity = 0, specularIntensity = 0, emissionIntensity = 0;
  float shininess = 1;
  /// Reads the nine properties of side; false when one is missing.
  bool read(const KEXObject& side);
};

struct ShadingMaterial {
  ShadingSide front, back;
  /// Reads both sides of material; false when a side or one of its properties is missing.
  bool read(const KEXGeometryColorMaterial& material);
};

/// Camera directions. Front looks along -z with y up; top looks down along -y with -z up; iso
/// looks from (1, 1, 1) with y up.
enum class View { Iso, Front, Back, Top, Bottom, Left, Right };
/// The view of a name ("iso", "front", ...); false for an unknown name.
bool viewFromName(const char* name, View& view);
/// The accepted view names, comma separated.
const char* viewNames();

/// A line drawn over the picture, between two vertices of the mesh.
struct OverlayLine {
  int a = 0, b = 0;
  KEXRGB<float> color;
};

struct RenderSettings {
  /// Largest side and largest number of samples (pixels, four times that with anti-aliasing) the
  /// renderer accepts: about 0.8 GB of buffers at most.
  static constexpr int MAX_SIDE = 8192;
  static constexpr long long MAX_SAMPLES = 1LL << 26;

  int width = 1024, height = 768;
  View view = View::Iso;
  bool wireframe = false;
  bool antialias = false;
  KEXRGB<float> background{1.0f, 1.0f, 1.0f};
  KEXRGB<float> wireColor{0.08f, 0.08f, 0.1f};
  /// Per triangle a colour that replaces the ambient, diffuse and emission colours of the side it
  /// shows (shaded with that side's intensities and specular colour), or empty.
  std::vector<KEXRGB<float>> triangleColors;
  /// Per triangle whether triangleColors applies (empty: everywhere when triangleColors is given).
  std::vector<char> triangleColored;
  std::vector<OverlayLine> lines;
  /// Line width in pixels of the picture.
  float lineWidth = 2.0f;

  /// Whether the size is within 1 ... MAX_SIDE per side and MAX_SAMPLES in all.
  bool isValidSize() const;
};

/// An 8-bit RGB picture, rows top to bottom.
struct Image {
  int width = 0, height = 0;
  KEXValueList<unsigned char> pixels{1 << 16, true};
  const unsigned char* at(int x, int y) const { return pixels.getData() + (size_t(y) * size_t(width) + size_t(x)) * 3; }
};

struct RenderStats {
  int drawnTriangles = 0;
  /// Triangles left out: an index out of range or a vertex with a NaN or infinite coordinate.
  int skippedTriangles = 0;
  int frontFacing = 0, backFacing = 0;
};

enum class RenderStatus { Done, Stopped, InvalidSize, OutOfMemory };

/// Draws the triangles of mesh into image under the task "Rendering picture" (progress per band;
/// a stop or abort ends it). The view fits the finite vertices of the drawn triangles; a mesh with
/// nothing to draw gives a picture of the background only.
/// \return Done with image filled; otherwise image is empty: InvalidSize (nothing allocated),
/// OutOfMemory, or Stopped when a progress report was refused.
RenderStatus renderMesh(const KEXTriangleMeshBuffer& mesh, const ShadingMaterial& material,
                        const RenderSettings& settings, Image& image, RenderStats& stats);

/// Edges to point out in a picture: edges of one triangle (open) and of three or more
/// (non-manifold), each once with its vertices in ascending order, sorted. Triangles with an
/// invalid index are ignored. False when memory is short.
struct EdgeClasses {
  std::vector<KEXValuePair<int>> open, nonManifold;
};
bool classifyEdges(const KEXTriangleMeshBuffer& mesh, EdgeClasses& edges);

} // namespace kexmeshtool
