// The benchmarks' measure of geometric error: zero for a surface against itself, the known offset
// for parallel and concentric copies, and the larger side of a one-sided difference.
#include "bench/SurfaceError.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

using namespace kexmeshtest;

namespace {

KEXTriangleMeshBuffer moved(KEXTriangleMeshBuffer b, Vec3 offset, float scale = 1.0f)
{
  for (Vec3& p : b.vertexList)
    p = p * scale + offset;
  return b;
}

TEST(SurfaceError, KnownDistancesBetweenCopies)
{
  struct Case {
    const char* what;
    KEXTriangleMeshBuffer a, b;
    double low, high; // bounds of the Hausdorff distance; the RMS lies in them as well
  } cases[] = {
      {"itself", makeIcosphere(3), makeIcosphere(3), 0.0, 1e-9},
      {"parallel plane", makeGrid(10, 10), moved(makeGrid(10, 10), Vec3(0, 0, 0.5f)), 0.5 - 1e-6, 0.5 + 1e-6},
      {"concentric sphere", makeIcosphere(4), moved(makeIcosphere(4), Vec3(0, 0, 0), 1.01f), 0.0099, 0.01001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const kexmeshbench::SurfaceError e = kexmeshbench::surfaceError(c.a, c.b, 10.0, 20000);
    EXPECT_FALSE(e.capped);
    EXPECT_GE(e.hausdorff, c.low);
    EXPECT_LE(e.hausdorff, c.high);
    EXPECT_GE(e.rms, c.low);
    EXPECT_LE(e.rms, c.high);
  }
}

TEST(SurfaceError, TheLargerSideCounts)
{
  // A grid against its left half: the half lies on the grid (0 one way), the grid's right part is
  // up to 5 away from the half (the other way).
  const KEXTriangleMeshBuffer grid = makeGrid(10, 4);
  KEXTriangleMeshBuffer half = makeGrid(5, 4);
  const kexmeshbench::SurfaceError e = kexmeshbench::surfaceError(grid, half, 200.0, 20000);
  EXPECT_FALSE(e.capped);
  EXPECT_NEAR(e.hausdorff, 5.0, 0.05);
  EXPECT_GT(e.rms, 1.0);
  EXPECT_LT(e.rms, 3.0);
  // The search stops at 5% of the diagonal: farther points count there and are flagged.
  const kexmeshbench::SurfaceError f = kexmeshbench::surfaceError(grid, half, 4.0, 20000);
  EXPECT_TRUE(f.capped);
  EXPECT_NEAR(f.hausdorff, 0.2, 1e-12);
}

} // namespace
