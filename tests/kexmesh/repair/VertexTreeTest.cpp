// The vertex tree of the weld: box and shell queries against the cell of every inserted point, and
// every allocation failure leaving a usable tree.
#include "kexmesh/repair/VertexTree.h"
#include "kex/Testing.h"
#include "support/CoreSetup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

struct KEXVertexTreeTestAccess {
  static int slot(const KEXVertexTree& t, const KEXVector3<float>& p) { return t.getCellSlot(p); }
};

namespace {

using Vec3 = KEXVector3<float>;
using Box = KEXVertexTree::Box;

const Box UNIT{Vec3(0, 0, 0), Vec3(1, 1, 1)};

std::vector<int> sorted(const KEXValueList<int>& list)
{
  std::vector<int> v(list.begin(), list.end());
  std::sort(v.begin(), v.end());
  return v;
}

} // namespace

// Box queries return exactly the indices of the cells in the clamped cell range, checked against
// the slot of every inserted point.
TEST(VertexTree, BoxQueriesMatchCellRanges)
{
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-2.0f, 12.0f);
  const Box box(Vec3(0, 1, 2), Vec3(10, 8, 9));
  KEXVertexTree tree(box);
  std::vector<Vec3> points(3000);
  for (int i = 0; i < 3000; ++i) {
    points[size_t(i)] = Vec3(u(rng), u(rng), u(rng));
    ASSERT_TRUE(tree.insert(i, points[size_t(i)]));
  }
  auto clamped = [&](float v, int a) {
    const float f = (v - box.first[a]) * tree.getScale()[a] + 1.0f;
    if (f >= 1.0f && f < 2.0f) // the cell index as the grid defines it
      return int(std::floor((double(f) - 1.0) * 64.0));
    return (f < 1.0f || std::signbit(f)) ? 0 : 63;
  };
  int outside = 0;
  for (const Vec3& p : points)
    outside += KEXVertexTreeTestAccess::slot(tree, p) < 0 ? 1 : 0;
  EXPECT_EQ(tree.getOutsideVertexCount(), outside);
  for (int q = 0; q < 300; ++q) {
    Vec3 a(u(rng), u(rng), u(rng)), b(u(rng), u(rng), u(rng));
    if (q % 3)
      for (int k = 0; k < 3; ++k)
        if (a[k] > b[k])
          std::swap(a[k], b[k]);
    Box query(a, b);
    Box inner(Vec3(a.x + 2, a.y + 2, a.z + 2), Vec3(b.x - 2, b.y - 2, b.z - 2));
    std::vector<int> expected, expectedShell;
    for (int i = 0; i < 3000; ++i) {
      const int slot = KEXVertexTreeTestAccess::slot(tree, points[size_t(i)]);
      const int c[3] = {slot & 63, (slot >> 6) & 63, slot >> 12};
      bool in = true, strictlyInner = true;
      for (int k = 0; k < 3; ++k) {
        in = in && c[k] >= clamped(a[k], k) && c[k] <= clamped(b[k], k);
        strictlyInner = strictlyInner && c[k] > clamped(inner.first[k], k) && c[k] < clamped(inner.second[k], k);
      }
      if (slot >= 0 && in)
        expected.push_back(i);
      if (slot >= 0 && in && !strictlyInner)
        expectedShell.push_back(i);
    }
    KEXValueList<int> list;
    list.append(-1); // queries append
    ASSERT_EQ(tree.getVertexList(query, list), int(expected.size()) + 1);
    EXPECT_EQ(list[0], -1);
    std::vector<int> got = sorted(list);
    got.erase(got.begin());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(tree.getVertexCount(query), int(expected.size()));
    KEXValueList<int> shell;
    ASSERT_EQ(tree.getVertexList(query, inner, shell), int(expectedShell.size()));
    EXPECT_EQ(sorted(shell), expectedShell);
  }
}

// Every allocation failure leaves a usable tree and no leak: construction, cells, inserts, queries.
TEST(VertexTree, AllocationFailures)
{
  {
    kexmeshtest::NoLeakScope noLeak;
    KEXVertexTree* missing;
    {
      kexTest::AllocationFault fault(1);
      missing = new KEXVertexTree(UNIT);
      EXPECT_TRUE(fault.fired());
    }
    EXPECT_EQ(missing, nullptr);
    KEXVertexTree* tree;
    {
      kexTest::AllocationFault fault(2); // the cell array
      tree = new KEXVertexTree(UNIT);
    }
    ASSERT_NE(tree, nullptr);
    EXPECT_FALSE(tree->isValid());
    EXPECT_FALSE(tree->insert(0, Vec3(0.5f, 0.5f, 0.5f)));
    EXPECT_TRUE(tree->insert(1, Vec3(5, 5, 5))); // outside needs no cells
    KEXValueList<int> list;
    EXPECT_EQ(tree->getVertexList(UNIT, list), 0);
    ASSERT_TRUE(tree->clear());
    EXPECT_TRUE(tree->isValid() && tree->getOutsideVertexCount() == 1 && tree->insert(0, Vec3(0.5f, 0.5f, 0.5f)));
    delete tree;
    // Inserts fail without adding; the range form stops at the first failure.
    KEXVertexTree grid(UNIT);
    std::vector<Vec3> positions;
    for (int i = 0; i < 200; ++i)
      positions.push_back(Vec3(float(i % 7) / 7.0f, float(i % 5) / 5.0f, 0.5f));
    for (int n = 1; n < 400; ++n) {
      ASSERT_TRUE(grid.clear());
      int inserted;
      bool fired;
      {
        kexTest::AllocationFault fault(n);
        inserted = grid.insert(0, 200, positions.data());
        fired = fault.fired();
      }
      EXPECT_EQ(grid.getVertexCount(UNIT), inserted);
      EXPECT_EQ(inserted < 200, fired);
      if (!fired)
        break;
    }
    KEXValueList<int> big;
    {
      kexTest::AllocationFault fault(1);
      EXPECT_EQ(grid.getVertexList(UNIT, big), -1);
    }
    EXPECT_EQ(big.getCount(), 0);
  }
}
