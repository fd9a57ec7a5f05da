// Meshes near the float limits: every box, diagonal, sampling distance and weld must stay finite,
// so that a mesh of finite vertices is never turned into infinite ones and then discarded.
#include "kexmesh/repair/ClusterVerticesAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"
#include "support/MeshQuality.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>

using namespace kexmeshtest;

namespace {

// The torus (outer radius 2.5) scaled so that its largest coordinate reaches the given magnitude.
KEXTriangleMeshBuffer scaledSoup(double magnitude)
{
  KEXTriangleMeshBuffer b = toSoup(makeTorus(24, 12));
  const double f = magnitude / 2.5;
  for (Vec3& v : b.vertexList)
    v = Vec3(float(v.x * f), float(v.y * f), float(v.z * f));
  return b;
}

TEST(FloatLimits, MeasuresAndRepairWeldStayFiniteUpToTheLargestFloat)
{
  const KEXTriangleMeshBuffer reference = [] {
    KEXTriangleMeshBuffer b = scaledSoup(2.5);
    EXPECT_TRUE(runAlgorithm<KEXClusterVerticesAlgorithm>(b));
    return b;
  }();
  ASSERT_EQ(reference.getVertexCount(), 24 * 12);
  for (double magnitude : {1e-30, 1.0, 1e30, 1e38, 3.0e38, double(FLT_MAX)}) {
    SCOPED_TRACE(magnitude);
    KEXTriangleMeshBuffer b = scaledSoup(magnitude);
    KEXInterval<KEXVector3<float>> box;
    ASSERT_TRUE(b.calculateBoundingBox(box));
    EXPECT_TRUE(std::isfinite(box.getDiameter()) && finitePoint(box.getCenter()));
    EXPECT_NEAR(box.getDiameter() / magnitude, std::sqrt(51.0) / 2.5, 1e-4); // the box of 5 x 5 x 1
    Vec3 msd;
    ASSERT_TRUE(b.calculateMeanSamplingDistance(msd));
    EXPECT_TRUE(finitePoint(msd) && msd.x > 0.0f);
    KEXClusterVerticesAlgorithm weld;
    weld.setRepairMode(true);
    ASSERT_TRUE(runAlgorithm(b, weld));
    EXPECT_TRUE(std::isfinite(weld.getUsedDistance()));
    // The same welding as at unit size: every copy joined, nothing infinite.
    EXPECT_EQ(b.getVertexCount(), reference.getVertexCount());
    EXPECT_TRUE(std::all_of(b.vertexList.begin(), b.vertexList.end(), finitePoint));
    const MeshQuality q = measure(b);
    EXPECT_TRUE(q.borderEdges == 0 && q.closedComponents == 1) << q.summary();
  }
}

} // namespace
