// The point tree of the weld: box queries against a brute-force scan for every depth and worker
// count, leaves and entries as the tree promises them.
#include "kexmesh/repair/PointBSPTree.h"
#include "kex/Testing.h"
#include "support/CoreSetup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <set>
#include <vector>

namespace {

using Vec3 = KEXVector3<float>;

// A cloud with clumps, exact duplicates, a flat layer and a few NaN and infinite points.
std::vector<Vec3> makeCloud(std::mt19937& rng, int n)
{
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<Vec3> points;
  for (int i = 0; i < n; ++i) {
    const unsigned kind = rng() % 6;
    if (kind == 0 && !points.empty())
      points.push_back(points[rng() % points.size()]);
    else
      points.push_back(Vec3(u(rng), u(rng), kind < 2 ? 0.25f : u(rng)));
  }
  const float nan = std::numeric_limits<float>::quiet_NaN();
  if (n > 10) {
    points[3] = Vec3(nan, 0, 0);
    points[7] = Vec3(0, 0, nan);
    points[9] = Vec3(std::numeric_limits<float>::infinity(), 0, 0);
  }
  return points;
}

KEXInterval<Vec3> boundsOf(const std::vector<Vec3>& points)
{
  KEXInterval<Vec3> box;
  for (const Vec3& p : points)
    box.unite(p);
  return box;
}

} // namespace

TEST(PointBSPTree, BoxQueriesEqualBruteForceForEveryDepthAndThreadCount)
{
  std::mt19937 rng(21);
  for (int threads : {1, 2, 7}) {
    kexmeshtest::ThreadCount tc(threads);
    for (int depth : {-1, 1, 2, 5, 18}) {
      for (int n : {0, 1, 8, 9, 700, 5000}) {
        std::vector<Vec3> points = makeCloud(rng, n);
        KEXPointBSPTree tree;
        kexTest::RecordingScope monitor;
        ASSERT_TRUE(tree.build(points.data(), n, boundsOf(points), depth));
        EXPECT_EQ(monitor.rootStatus(), KEXTaskInfo::Succeeded);
        int nans = 0;
        for (const Vec3& p : points)
          nans += (p.x != p.x || p.y != p.y || p.z != p.z) ? 1 : 0;
        ASSERT_EQ(tree.getPointCount(), n - nans);
        EXPECT_TRUE(depth < 1 || tree.getLevelCount() <= depth - 1);
        // The entries are a permutation of the non-NaN points.
        std::multiset<int> indices;
        for (int i = 0; i < tree.getPointCount(); ++i)
          indices.insert(tree.getEntries()[i].index);
        EXPECT_EQ(int(std::set<int>(indices.begin(), indices.end()).size()), tree.getPointCount());
        // Every leaf holds at most 8 points unless the depth budget ran out.
        int covered = 0;
        tree.forEachLeafStartingIn(0, tree.getPointCount(), [&](int first, int count) {
          EXPECT_EQ(first, covered);
          covered += count;
          EXPECT_TRUE(depth >= 1 || count <= 8);
        });
        EXPECT_EQ(covered, tree.getPointCount());
        std::uniform_real_distribution<float> u(-1.2f, 1.2f), s(0.0f, 0.6f);
        for (int q = 0; q < 40; ++q) {
          Vec3 c(u(rng), u(rng), q % 4 == 0 ? 0.25f : u(rng));
          float h = q % 5 == 0 ? 0.0f : s(rng);
          if (q % 7 == 0 && n > 0)
            c = points[rng() % points.size()];
          KEXValuePair<Vec3> box(Vec3(c.x - h, c.y - h, c.z - h), Vec3(c.x + h, c.y + h, c.z + h));
          std::vector<int> expected;
          for (int i = 0; i < n; ++i) {
            const Vec3& p = points[size_t(i)];
            if (p.x >= box.first.x && p.x <= box.second.x && p.y >= box.first.y && p.y <= box.second.y &&
                p.z >= box.first.z && p.z <= box.second.z)
              expected.push_back(i);
          }
          KEXValueList<int> list;
          ASSERT_EQ(tree.getPoints(box, list), int(expected.size()));
          std::vector<int> got(list.begin(), list.end());
          std::sort(got.begin(), got.end());
          ASSERT_EQ(got, expected) << "threads " << threads << " depth " << depth << " n " << n;
        }
      }
    }
  }
}
