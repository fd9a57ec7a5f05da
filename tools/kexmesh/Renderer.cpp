// The rasteriser of `kexmesh render`: orthographic projection, a visibility buffer (depth and
// triangle index per sample) filled band by band on worker threads, deferred Phong shading of the
// visible samples, lines with a depth tolerance, and a 2x2 box filter for anti-aliasing. See
// Renderer.h for the design.
#include "Renderer.h"

#include "kex/Task.h"
#include "kex/Thread.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/io/GeometryColorMaterial.h"
#include "kexmesh/objects/Vocabulary.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

namespace kexmeshtool {

bool ShadingSide::read(const KEXObject& side)
{
  return side.getValue(KEX::AmbientColor, ambient) && side.getValue(KEX::DiffuseColor, diffuse) &&
         side.getValue(KEX::SpecularColor, specular) && side.getValue(KEX::EmissionColor, emission) &&
         side.getValue(KEX::AmbientIntensity, ambientIntensity) &&
         side.getValue(KEX::DiffuseIntensity, diffuseIntensity) &&
         side.getValue(KEX::SpecularIntensity, specularIntensity) &&
         side.getValue(KEX::EmissionIntensity, emissionIntensity) && side.getValue(KEX::Shininess, shininess);
}

bool ShadingMaterial::read(const KEXGeometryColorMaterial& material)
{
  const KEXGeometryColorMaterialSide* f = material.getFrontFace();
  const KEXGeometryColorMaterialSide* b = material.getBackFace();
  return f && b && front.read(*f) && back.read(*b);
}

namespace {

struct ViewName {
  const char* name;
  View view;
};
const ViewName g_views[] = {{"iso", View::Iso},   {"front", View::Front}, {"back", View::Back},  {"top", View::Top},
                            {"bottom", View::Bottom}, {"left", View::Left},   {"right", View::Right}};

using V3 = KEXVector3<double>;

V3 unit(const V3& v)
{
  double l = std::sqrt(v.dot(v));
  return l > 0.0 ? v / l : V3();
}

/// Camera: d points from the eye into the scene, r to the right, u up (u = r x d).
struct Camera {
  V3 d, r, u;
};

Camera cameraOf(View view)
{
  V3 d, up(0, 1, 0);
  switch (view) {
  case View::Iso: d = unit(V3(-1, -1, -1)); break;
  case View::Front: d = V3(0, 0, -1); break;
  case View::Back: d = V3(0, 0, 1); break;
  case View::Top: d = V3(0, -1, 0); up = V3(0, 0, -1); break;
  case View::Bottom: d = V3(0, 1, 0); up = V3(0, 0, 1); break;
  case View::Left: d = V3(1, 0, 0); break;
  case View::Right: d = V3(-1, 0, 0); break;
  }
  Camera c;
  c.d = d;
  c.r = unit(d.cross(up));
  c.u = c.r.cross(d);
  return c;
}

/// A vertex on the screen: sample coordinates (x right, y down) and depth (larger is farther).
struct Projected {
  float x, y, z;
};

bool finite(const KEXVector3<float>& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

/// Bands of rows: the unit of work of one worker and of one progress report.
constexpr int BAND_ROWS = 16;

/// Rows whose sample centres (y + 0.5) can lie inside [lo, hi], clamped to the picture.
bool rowRange(float lo, float hi, int height, int& first, int& last)
{
  first = std::max(0, int(std::ceil(double(lo) - 0.5)));
  last = std::min(height - 1, int(std::floor(double(hi) - 0.5)));
  return first <= last;
}

unsigned char toByte(float f) { return kexdetail::colorToByte(f); }

struct Frame {
  int width = 0, height = 0; // in samples
  KEXValueList<float> depth{1 << 16, true};
  KEXValueList<int> triangle{1 << 16, true};
  KEXValueList<unsigned char> rgb{1 << 16, true};
};

/// Everything the band workers read, and the one flag they write.
class BandWork : public KEXMultiThread {
public:
  const KEXTriangleMeshBuffer* mesh = nullptr;
  const ShadingMaterial* material = nullptr;
  const RenderSettings* settings = nullptr;
  const Projected* screen = nullptr;
  const KEXVector3<float>* vertexNormals = nullptr;
  const int* bandStart = nullptr;     // per band its first entry, and the end
  const int* bandTriangles = nullptr; // triangle indices per band, ascending
  int bands = 0;
  int scale = 1;
  Camera camera;
  V3 light;
  Frame* frame = nullptr;
  KEXTask* task = nullptr;
  std::atomic<bool> stop{false};

  bool run() override
  {
    for (;;) {
      if (stop.load())
        return true;
      const int band = getAtomic();
      if (band >= bands)
        return true;
      const int y0 = band * BAND_ROWS, y1 = std::min(frame->height, y0 + BAND_ROWS) - 1;
      for (int i = bandStart[band]; i < bandStart[band + 1]; ++i)
        rasterise(bandTriangles[i], y0, y1);
      shade(y0, y1);
      if (!task->incProgress(1.0))
        stop.store(true);
    }
  }

private:
  void rasterise(int t, int y0, int y1)
  {
    const KEXTriangle<int>& tri = mesh->triangleList[t];
    const Projected& a = screen[tri[0]];
    const Projected& b = screen[tri[1]];
    const Projected& c = screen[tri[2]];
    int first, last;
    if (!rowRange(std::min({a.y, b.y, c.y}), std::max({a.y, b.y, c.y}), frame->height, first, last))
      return;
    first = std::max(first, y0);
    last = std::min(last, y1);
    const int x0 = std::max(0, int(std::ceil(double(std::min({a.x, b.x, c.x})) - 0.5)));
    const int x1 = std::min(frame->width - 1, int(std::floor(double(std::max({a.x, b.x, c.x})) - 0.5)));
    const double area = (double(b.x) - a.x) * (double(c.y) - a.y) - (double(c.x) - a.x) * (double(b.y) - a.y);
    if (area == 0.0)
      return;
    const double inv = 1.0 / area;
    // Samples on a shared edge may fall a rounding error outside both triangles; the tolerance
    // closes such pinholes (the depth test decides between the two).
    const double tol = -1e-9;
    for (int y = first; y <= last; ++y) {
      const double py = y + 0.5;
      for (int x = x0; x <= x1; ++x) {
        const double px = x + 0.5;
        const double w0 = ((double(c.x) - b.x) * (py - b.y) - (double(c.y) - b.y) * (px - b.x)) * inv;
        const double w1 = ((double(a.x) - c.x) * (py - c.y) - (double(a.y) - c.y) * (px - c.x)) * inv;
        const double w2 = 1.0 - w0 - w1;
        if (w0 < tol || w1 < tol || w2 < tol)
          continue;
        const float z = float(w0 * a.z + w1 * b.z + w2 * c.z);
        const size_t i = size_t(y) * size_t(frame->width) + size_t(x);
        if (z < frame->depth[int(i)]) {
          frame->depth[int(i)] = z;
          frame->triangle[int(i)] = t;
        }
      }
    }
  }

  void shade(int y0, int y1)
  {
    const KEXRGB<float>& bg = settings->background;
    const unsigned char background[3] = {toByte(bg.r), toByte(bg.g), toByte(bg.b)};
    for (int y = y0; y <= y1; ++y)
      for (int x = 0; x < frame->width; ++x) {
        const size_t i = size_t(y) * size_t(frame->width) + size_t(x);
        unsigned char* out = frame->rgb.getData() + 3 * i;
        const int t = frame->triangle[int(i)];
        if (t < 0) {
          std::memcpy(out, background, 3);
          continue;
        }
        KEXRGB<float> c = shadeSample(t, x + 0.5, y + 0.5);
        out[0] = toByte(c.r);
        out[1] = toByte(c.g);
        out[2] = toByte(c.b);
      }
  }

  KEXRGB<float> shadeSample(int t, double px, double py) const
  {
    const KEXTriangle<int>& tri = mesh->triangleList[t];
    const Projected* s[3] = {&screen[tri[0]], &screen[tri[1]], &screen[tri[2]]};
    const double area =
        (double(s[1]->x) - s[0]->x) * (double(s[2]->y) - s[0]->y) - (double(s[2]->x) - s[0]->x) * (double(s[1]->y) - s[0]->y);
    double w[3];
    w[0] = ((double(s[2]->x) - s[1]->x) * (py - s[1]->y) - (double(s[2]->y) - s[1]->y) * (px - s[1]->x)) / area;
    w[1] = ((double(s[0]->x) - s[2]->x) * (py - s[2]->y) - (double(s[0]->y) - s[2]->y) * (px - s[2]->x)) / area;
    w[2] = 1.0 - w[0] - w[1];

    // Counter-clockwise seen from the camera is clockwise on the screen (y runs down).
    const bool front = area < 0.0;
    const V3 p0(mesh->vertexList[tri[0]]), p1(mesh->vertexList[tri[1]]), p2(mesh->vertexList[tri[2]]);
    V3 face = unit((p1 - p0).cross(p2 - p0));
    if (face.dot(camera.d) > 0.0)
      face = -face;
    // Smooth normals where the surface is smooth; across a crease of more than 45 degrees the
    // corner keeps the face's own normal, so edges stay sharp.
    V3 n;
    for (int k = 0; k < 3; ++k) {
      V3 vn = unit(V3(vertexNormals[tri[k]]));
      n += (vn.dot(face) >= 0.7071 ? vn : face) * std::max(0.0, w[k]);
    }
    n = unit(n);
    if (n.dot(n) == 0.0)
      n = face;

    const ShadingSide& side = front ? material->front : material->back;
    KEXRGB<float> ambient = side.ambient, diffuse = side.diffuse, emission = side.emission;
    if (!settings->triangleColors.empty() &&
        (settings->triangleColored.empty() || settings->triangleColored[size_t(t)])) {
      ambient = diffuse = emission = settings->triangleColors[size_t(t)];
    }
    const V3 toEye = -camera.d;
    const double ndl = n.dot(light);
    const double diffuseTerm = std::max(0.0, ndl);
    double specularTerm = 0.0;
    if (ndl > 0.0) {
      const V3 reflected = n * (2.0 * ndl) - light;
      specularTerm = std::pow(std::max(0.0, reflected.dot(toEye)), double(side.shininess));
    }
    auto channel = [&](float a, float d, float sp, float e) {
      double v = double(side.emissionIntensity) * e + double(side.ambientIntensity) * a +
                 double(side.diffuseIntensity) * d * diffuseTerm + double(side.specularIntensity) * sp * specularTerm;
      return float(std::clamp(v, 0.0, 1.0));
    };
    KEXRGB<float> c(channel(ambient.r, diffuse.r, side.specular.r, emission.r),
                    channel(ambient.g, diffuse.g, side.specular.g, emission.g),
                    channel(ambient.b, diffuse.b, side.specular.b, emission.b));
    if (settings->wireframe) {
      // Distance in samples to the nearest edge: barycentric weight times the triangle's height
      // over that edge.
      double nearest = std::numeric_limits<double>::max();
      for (int k = 0; k < 3; ++k) {
        const Projected& e0 = *s[(k + 1) % 3];
        const Projected& e1 = *s[(k + 2) % 3];
        const double len = std::hypot(double(e1.x) - e0.x, double(e1.y) - e0.y);
        if (len > 0.0)
          nearest = std::min(nearest, std::fabs(w[k] * area) / len);
      }
      if (nearest <= 0.5 * scale) {
        const KEXRGB<float>& wc = settings->wireColor;
        c = KEXRGB<float>(0.15f * c.r + 0.85f * wc.r, 0.15f * c.g + 0.85f * wc.g, 0.15f * c.b + 0.85f * wc.b);
      }
    }
    return c;
  }
};

/// Draws one line over the shaded frame: samples within half the width of the segment whose depth
/// is not behind the surface by more than tolerance.
void drawLine(Frame& f, const Projected& p, const Projected& q, const KEXRGB<float>& color, double halfWidth,
              double tolerance)
{
  // An edge may end at a vertex that only skipped triangles use, far outside the fitted view:
  // clamp before converting to sample indices.
  if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(q.x) || !std::isfinite(q.y))
    return;
  auto column = [&](double v) { return std::clamp(v - 0.5, -1.0, double(f.width)); };
  auto row = [&](double v) { return std::clamp(v - 0.5, -1.0, double(f.height)); };
  const int x0 = std::max(0, int(std::ceil(column(std::min(p.x, q.x) - halfWidth))));
  const int x1 = std::min(f.width - 1, int(std::floor(column(std::max(p.x, q.x) + halfWidth))));
  const int y0 = std::max(0, int(std::ceil(row(std::min(p.y, q.y) - halfWidth))));
  const int y1 = std::min(f.height - 1, int(std::floor(row(std::max(p.y, q.y) + halfWidth))));
  const double dx = double(q.x) - p.x, dy = double(q.y) - p.y, len2 = dx * dx + dy * dy;
  const unsigned char rgb[3] = {toByte(color.r), toByte(color.g), toByte(color.b)};
  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x) {
      const double px = x + 0.5 - p.x, py = y + 0.5 - p.y;
      const double s = len2 > 0.0 ? std::clamp((px * dx + py * dy) / len2, 0.0, 1.0) : 0.0;
      const double ex = px - s * dx, ey = py - s * dy;
      if (ex * ex + ey * ey > halfWidth * halfWidth)
        continue;
      const size_t i = size_t(y) * size_t(f.width) + size_t(x);
      const double z = p.z + s * (double(q.z) - p.z);
      if (z > double(f.depth[int(i)]) + tolerance)
        continue;
      std::memcpy(f.rgb.getData() + 3 * i, rgb, 3);
    }
}

RenderStatus endOutOfMemory(KEXTask& task, Image& image)
{
  image.pixels.clear();
  image.width = image.height = 0;
  const KEXTask::Diagnostics diagnostics(KEX::Error, "Out of memory");
  task.error(KEX::OutOfMemory, &diagnostics);
  return RenderStatus::OutOfMemory;
}

} // namespace

bool viewFromName(const char* name, View& view)
{
  for (const ViewName& v : g_views)
    if (name && std::strcmp(name, v.name) == 0) {
      view = v.view;
      return true;
    }
  return false;
}

const char* viewNames() { return "iso, front, back, top, bottom, left, right"; }

bool RenderSettings::isValidSize() const
{
  if (width < 1 || height < 1 || width > MAX_SIDE || height > MAX_SIDE)
    return false;
  const long long samples = (long long)width * height * (antialias ? 4 : 1);
  return samples <= MAX_SAMPLES;
}

RenderStatus renderMesh(const KEXTriangleMeshBuffer& mesh, const ShadingMaterial& material,
                        const RenderSettings& settings, Image& image, RenderStats& stats)
{
  stats = RenderStats();
  image.pixels.clear();
  image.width = image.height = 0;
  if (!settings.isValidSize())
    return RenderStatus::InvalidSize;
  const int scale = settings.antialias ? 2 : 1;
  const int W = settings.width * scale, H = settings.height * scale;
  const int bands = (H + BAND_ROWS - 1) / BAND_ROWS;
  const int V = mesh.getVertexCount(), T = mesh.getTriangleCount();
  const Camera camera = cameraOf(settings.view);

  // One progress unit per band; the set-up counts as one more.
  KEXTask task("Rendering picture", double(bands + 1));

  // Which triangles are drawn, and the extent of their vertices on the camera plane.
  KEXValueList<char> drawn(1 << 16, true);
  if (!drawn.setCount(T, 0))
    return endOutOfMemory(task, image);
  double lo[2] = {std::numeric_limits<double>::max(), std::numeric_limits<double>::max()};
  double hi[2] = {-lo[0], -lo[1]};
  for (int t = 0; t < T; ++t) {
    const KEXTriangle<int>& tri = mesh.triangleList[t];
    bool ok = true;
    for (int k = 0; k < 3 && ok; ++k)
      ok = mesh.isValidVertex(tri[k]) && finite(mesh.vertexList[tri[k]]);
    if (!ok) {
      ++stats.skippedTriangles;
      continue;
    }
    drawn[t] = 1;
    ++stats.drawnTriangles;
    for (int k = 0; k < 3; ++k) {
      const V3 p(mesh.vertexList[tri[k]]);
      const double sx = p.dot(camera.r), sy = p.dot(camera.u);
      lo[0] = std::min(lo[0], sx);
      hi[0] = std::max(hi[0], sx);
      lo[1] = std::min(lo[1], sy);
      hi[1] = std::max(hi[1], sy);
    }
  }

  // Fit the drawn part into the picture with a margin of 5% on each side.
  double factor = 1.0, cx = 0.0, cy = 0.0;
  if (stats.drawnTriangles > 0) {
    const double ex = hi[0] - lo[0], ey = hi[1] - lo[1];
    const double fx = ex > 0.0 ? 0.9 * W / ex : std::numeric_limits<double>::max();
    const double fy = ey > 0.0 ? 0.9 * H / ey : std::numeric_limits<double>::max();
    factor = std::min(fx, fy);
    if (!(factor < std::numeric_limits<double>::max()))
      factor = 1.0; // every drawn vertex at one point
    cx = 0.5 * (lo[0] + hi[0]);
    cy = 0.5 * (lo[1] + hi[1]);
  }
  KEXValueList<Projected> screen(1 << 16, true);
  if (!screen.setCount(V))
    return endOutOfMemory(task, image);
  double nearest = std::numeric_limits<double>::max(), farthest = -nearest;
  for (int v = 0; v < V; ++v) {
    const KEXVector3<float>& q = mesh.vertexList[v];
    if (!finite(q)) {
      screen[v] = Projected{0.0f, 0.0f, 0.0f};
      continue;
    }
    const V3 p(q);
    const double z = p.dot(camera.d);
    screen[v] = Projected{float(0.5 * W + (p.dot(camera.r) - cx) * factor), float(0.5 * H - (p.dot(camera.u) - cy) * factor),
                          float(z)};
    nearest = std::min(nearest, z);
    farthest = std::max(farthest, z);
  }

  // Vertex normals facing the camera: the sum of the area-weighted normals of the drawn triangles
  // around each vertex, each turned towards the camera, so that inconsistently oriented patches
  // are still lit smoothly (their side shows in the colour).
  KEXValueList<KEXVector3<float>> normals(1 << 16, true);
  if (!normals.setCount(V, KEXVector3<float>()))
    return endOutOfMemory(task, image);
  for (int t = 0; t < T; ++t) {
    if (!drawn[t])
      continue;
    const KEXTriangle<int>& tri = mesh.triangleList[t];
    const V3 p0(mesh.vertexList[tri[0]]), p1(mesh.vertexList[tri[1]]), p2(mesh.vertexList[tri[2]]);
    V3 n = (p1 - p0).cross(p2 - p0);
    if (n.dot(camera.d) > 0.0)
      n = -n;
    const KEXVector3<float> nf(n);
    for (int k = 0; k < 3; ++k)
      normals[tri[k]] += nf;
  }

  // Triangles per band, ascending within each band (a counting sort).
  KEXValueList<int> bandStart(1024, true), bandTriangles(1 << 16, true);
  if (!bandStart.setCount(bands + 1, 0))
    return endOutOfMemory(task, image);
  auto bandsOf = [&](int t, int& b0, int& b1) {
    const KEXTriangle<int>& tri = mesh.triangleList[t];
    const Projected& a = screen[tri[0]];
    const Projected& b = screen[tri[1]];
    const Projected& c = screen[tri[2]];
    int first, last;
    if (!rowRange(std::min({a.y, b.y, c.y}), std::max({a.y, b.y, c.y}), H, first, last))
      return false;
    if (std::max({a.x, b.x, c.x}) < 0.0f || std::min({a.x, b.x, c.x}) > float(W))
      return false;
    b0 = first / BAND_ROWS;
    b1 = last / BAND_ROWS;
    return true;
  };
  long long entries = 0;
  for (int t = 0; t < T; ++t) {
    int b0, b1;
    if (drawn[t] && bandsOf(t, b0, b1)) {
      for (int b = b0; b <= b1; ++b)
        ++bandStart[b + 1];
      entries += b1 - b0 + 1;
    }
  }
  if (entries > std::numeric_limits<int>::max() || !bandTriangles.setCount(int(entries)))
    return endOutOfMemory(task, image);
  for (int b = 0; b < bands; ++b)
    bandStart[b + 1] += bandStart[b];
  {
    KEXValueList<int> fill(bandStart);
    if (fill.getCount() != bandStart.getCount())
      return endOutOfMemory(task, image);
    for (int t = 0; t < T; ++t) {
      int b0, b1;
      if (drawn[t] && bandsOf(t, b0, b1))
        for (int b = b0; b <= b1; ++b)
          bandTriangles[fill[b]++] = t;
    }
  }

  Frame frame;
  frame.width = W;
  frame.height = H;
  const int samples = W * H;
  if (!frame.depth.setCount(samples, std::numeric_limits<float>::infinity()) || !frame.triangle.setCount(samples, -1) ||
      !frame.rgb.setCount(3 * samples))
    return endOutOfMemory(task, image);
  if (!task.incProgress(1.0)) {
    task.stopped();
    return RenderStatus::Stopped;
  }

  BandWork work;
  work.mesh = &mesh;
  work.material = &material;
  work.settings = &settings;
  work.screen = screen.getData();
  work.vertexNormals = normals.getData();
  work.bandStart = bandStart.getData();
  work.bandTriangles = bandTriangles.getData();
  work.bands = bands;
  work.scale = scale;
  work.camera = camera;
  // A head light from the upper left, a little in front of the camera.
  work.light = unit(-camera.d + camera.u * 0.5 - camera.r * 0.35);
  work.frame = &frame;
  work.task = &task;
  work.runAll();
  if (work.stop.load()) {
    task.stopped();
    return RenderStatus::Stopped;
  }

  // Lines after the surface, in list order.
  const double tolerance = 0.005 * std::max(farthest - nearest, 0.0) + 1e-7 * std::max(1.0, std::fabs(farthest));
  for (const OverlayLine& l : settings.lines) {
    if (!mesh.isValidVertex(l.a) || !mesh.isValidVertex(l.b) || !finite(mesh.vertexList[l.a]) ||
        !finite(mesh.vertexList[l.b]))
      continue;
    drawLine(frame, screen[l.a], screen[l.b], l.color, 0.5 * settings.lineWidth * scale, tolerance);
  }

  // Down to the picture's size: the mean of each scale x scale block.
  if (!image.pixels.setCount(3 * settings.width * settings.height))
    return endOutOfMemory(task, image);
  image.width = settings.width;
  image.height = settings.height;
  for (int y = 0; y < settings.height; ++y)
    for (int x = 0; x < settings.width; ++x)
      for (int ch = 0; ch < 3; ++ch) {
        int sum = 0;
        for (int j = 0; j < scale; ++j)
          for (int i = 0; i < scale; ++i)
            sum += frame.rgb[3 * ((y * scale + j) * W + (x * scale + i)) + ch];
        image.pixels[3 * (y * settings.width + x) + ch] = (unsigned char)((sum + scale * scale / 2) / (scale * scale));
      }
  task.ok();
  return RenderStatus::Done;
}

bool classifyEdges(const KEXTriangleMeshBuffer& mesh, EdgeClasses& edges)
{
  edges.open.clear();
  edges.nonManifold.clear();
  KEXValueList<uint64_t> keys(1 << 16, true);
  const int T = mesh.getTriangleCount();
  if (!keys.setCount(3 * T))
    return false;
  int count = 0;
  for (int t = 0; t < T; ++t) {
    const KEXTriangle<int>& tri = mesh.triangleList[t];
    if (!mesh.isValidVertex(tri[0]) || !mesh.isValidVertex(tri[1]) || !mesh.isValidVertex(tri[2]) ||
        tri[0] == tri[1] || tri[1] == tri[2] || tri[0] == tri[2])
      continue;
    for (int k = 0; k < 3; ++k) {
      const uint64_t a = uint32_t(std::min(tri[k], tri[(k + 1) % 3])), b = uint32_t(std::max(tri[k], tri[(k + 1) % 3]));
      keys[count++] = (a << 32) | b;
    }
  }
  std::sort(keys.begin(), keys.begin() + count);
  try {
    for (int i = 0; i < count;) {
      int j = i;
      while (j < count && keys[j] == keys[i])
        ++j;
      const KEXValuePair<int> e(int(keys[i] >> 32), int(keys[i] & 0xffffffffu));
      if (j - i == 1)
        edges.open.push_back(e);
      else if (j - i >= 3)
        edges.nonManifold.push_back(e);
      i = j;
    }
  } catch (const std::bad_alloc&) {
    edges.open.clear();
    edges.nonManifold.clear();
    return false;
  }
  return true;
}

} // namespace kexmeshtool
