// Dyeing of bad triangles: green exactly when all three edges have one partner.
#include "kexmesh/repair/DyeBadTrianglesAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/Meshes.h"
#include "support/Reference.h"

#include <gtest/gtest.h>

#include <random>

using namespace kexmeshtest;

namespace {

bool dye(KEXTriangleMeshBuffer& b) { return runAlgorithm<KEXDyeBadTrianglesAlgorithm>(b); }
const KEXRGBA<float> GREEN(0, 1, 0, 1), RED(1, 0, 0, 1);

} // namespace

TEST(DyeBadTriangles, RandomMeshesMatchTheReferenceAdjacency)
{
  std::mt19937 rng(31);
  for (int round = 0; round < 30; ++round) {
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, {8 + round % 10, 10 + 2 * round, round % 3 == 0 ? 0.05 : 0.0});
    ASSERT_TRUE(round % 2 == 0 || b.createTriangleAdjacencyList()); // a present list stays
    const std::vector<int> ref = referenceTriangleAdjacency(b);
    ASSERT_TRUE(dye(b));
    for (int t = 0; t < b.getTriangleCount(); ++t) {
      const bool good = ref[3 * t] >= 0 && ref[3 * t + 1] >= 0 && ref[3 * t + 2] >= 0;
      EXPECT_EQ(b.triangleColorList[t], good ? GREEN : RED) << "round " << round << " triangle " << t;
    }
    EXPECT_EQ(b.hasTriangleAdjacencyList(), round % 2 == 1);
  }
  KEXTriangleMeshBuffer cloud = makeBuffer({{0, 0, 0}}, {});
  EXPECT_TRUE(dye(cloud) && cloud.triangleColorList.isEmpty());
}

