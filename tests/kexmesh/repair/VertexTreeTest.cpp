#include "kexmesh/repair/VertexTree.h"

#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
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

// The cell index of a coordinate as the grid defines it: floor((f - 1) * 64) for f in [1, 2).
int cellIndex(float value, float bottom, float scale)
{
  float f = (value - bottom) * scale + 1.0f;
  return int(std::floor((double(f) - 1.0) * 64.0));
}

} // namespace

TEST(VertexTree, CellsOfTheUnitBox)
{
  KEXVertexTree tree(UNIT);
  ASSERT_TRUE(tree.isValid());
  EXPECT_FLOAT_EQ(tree.getScale().x, 0.9984375f);
  EXPECT_EQ(KEXVertexTreeTestAccess::slot(tree, Vec3(0, 0, 0)), 0);
  EXPECT_EQ(KEXVertexTreeTestAccess::slot(tree, Vec3(1, 1, 1)), 262143);
  EXPECT_EQ(KEXVertexTreeTestAccess::slot(tree, Vec3(1.002f, 0, 0)), -1);
  EXPECT_EQ(KEXVertexTreeTestAccess::slot(tree, Vec3(-0.0001f, 0, 0)), -1);
  EXPECT_EQ(KEXVertexTreeTestAccess::slot(tree, Vec3(0, 0, 1.001f)), 63 << 12); // inside the 0.16 % margin
  EXPECT_EQ(KEXVertexTreeTestAccess::slot(tree, Vec3(0.5f, 0.25f, 0.75f)),
            cellIndex(0.5f, 0, tree.getScale().x) | cellIndex(0.25f, 0, tree.getScale().y) << 6 |
                cellIndex(0.75f, 0, tree.getScale().z) << 12);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(KEXVertexTreeTestAccess::slot(tree, Vec3(nan, 0, 0)), -1);
  EXPECT_EQ(KEXVertexTreeTestAccess::slot(tree, Vec3(0, -inf, 0)), -1);
  EXPECT_EQ(KEXVertexTreeTestAccess::slot(tree, Vec3(0, 0, inf)), -1);

  // Random points agree with floor arithmetic.
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-0.1f, 1.1f);
  for (int i = 0; i < 20000; ++i) {
    Vec3 p(u(rng), u(rng), u(rng));
    int expected = 0;
    for (int a = 0; a < 3; ++a) {
      int c = cellIndex(p[a], 0.0f, tree.getScale()[a]);
      float f = (p[a] - 0.0f) * tree.getScale()[a] + 1.0f;
      if (!(f >= 1.0f && f < 2.0f)) {
        expected = -1;
        break;
      }
      expected |= c << (6 * a);
    }
    ASSERT_EQ(KEXVertexTreeTestAccess::slot(tree, p), expected) << p.x << " " << p.y << " " << p.z;
  }
}

TEST(VertexTree, DegenerateBoxPutsEveryFinitePointIntoCellZero)
{
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const Box& box : {Box(Vec3(0, 0, 0), Vec3(1, 0, 1)), Box(Vec3(1, 1, 1), Vec3(0, 2, 2)),
                         Box(Vec3(0, nan, 0), Vec3(1, 1, 1))}) {
    KEXVertexTree tree(box);
    EXPECT_EQ(tree.getScale(), Vec3(0, 0, 0));
    EXPECT_EQ(KEXVertexTreeTestAccess::slot(tree, Vec3(1e30f, -5, 3)), 0);
    EXPECT_EQ(KEXVertexTreeTestAccess::slot(tree, Vec3(nan, 0, 0)), -1);
    ASSERT_TRUE(tree.insert(4, Vec3(100, 100, 100)));
    EXPECT_EQ(tree.getOutsideVertexCount(), 0);
    EXPECT_EQ(tree.getVertexCount(Box(Vec3(-1e30f, -1e30f, -1e30f), Vec3(1e30f, 1e30f, 1e30f))), 1);
  }
  // A box thinner than float resolves keeps its bottom face in cell 0 (no 0 * inf = NaN).
  KEXVertexTree thin(Box(Vec3(0, 0, 0), Vec3(1e-45f, 1, 1)));
  EXPECT_EQ(KEXVertexTreeTestAccess::slot(thin, Vec3(0, 0, 0)), 0);
}

TEST(VertexTree, InsertFindReplaceRemove)
{
  const long live = kexTest::liveAllocations();
  {
    KEXVertexTree tree(UNIT);
    Vec3 p(0.3f, 0.3f, 0.3f), q(5, 5, 5);
    EXPECT_EQ(tree.find(1, p), nullptr); // no bucket yet
    EXPECT_FALSE(tree.remove(1, p));
    ASSERT_TRUE(tree.insert(1, p));
    ASSERT_TRUE(tree.insert(1, p)); // duplicates are stored twice
    ASSERT_TRUE(tree.insert(2, p));
    ASSERT_TRUE(tree.insert(9, q));
    EXPECT_EQ(tree.getOutsideVertexCount(), 1);
    EXPECT_EQ(tree.getVertexCount(UNIT), 3);
    ASSERT_NE(tree.find(2, p), nullptr);
    EXPECT_EQ(*tree.find(2, p), 2);
    EXPECT_EQ(tree.find(3, p), nullptr);
    EXPECT_NE(tree.find(9, q), nullptr);

    EXPECT_TRUE(tree.remove(1, p)); // one copy
    EXPECT_EQ(tree.getVertexCount(UNIT), 2);
    ASSERT_NE(tree.find(1, p), nullptr);
    EXPECT_FALSE(tree.remove(7, p)); // absent: nothing changes
    EXPECT_EQ(tree.getVertexCount(UNIT), 2);

    EXPECT_TRUE(tree.replace(2, p, 20));
    EXPECT_EQ(tree.find(2, p), nullptr);
    EXPECT_NE(tree.find(20, p), nullptr);
    EXPECT_FALSE(tree.replace(2, p, 21));

    EXPECT_TRUE(tree.remove(1, p));
    EXPECT_TRUE(tree.remove(20, p)); // bucket empty now, it stays
    EXPECT_EQ(tree.getVertexCount(UNIT), 0);
    EXPECT_FALSE(tree.remove(20, p));
    EXPECT_TRUE(tree.remove(9, q));
    EXPECT_EQ(tree.getOutsideVertexCount(), 0);

    // The range form indexes positions by absolute vertex index.
    std::vector<Vec3> positions(10, Vec3(0.1f, 0.1f, 0.1f));
    positions[6] = Vec3(2, 2, 2);
    EXPECT_EQ(tree.insert(5, 3, positions.data()), 3);
    KEXValueList<int> list;
    EXPECT_EQ(tree.getVertexList(UNIT, list), 2);
    EXPECT_EQ(sorted(list), (std::vector<int>{5, 7}));
    EXPECT_EQ(tree.getOutsideVertexList(list), 3);
    EXPECT_EQ(list[2], 6);
    EXPECT_EQ(tree.insert(0, 0, positions.data()), 0);
    EXPECT_EQ(tree.insert(0, 2, nullptr), -1);
  }
  EXPECT_EQ(kexTest::liveAllocations(), live);
}

TEST(VertexTree, ClearEmptiesTheGridButKeepsOutside)
{
  KEXVertexTree tree(UNIT);
  ASSERT_TRUE(tree.insert(0, Vec3(0.5f, 0.5f, 0.5f)));
  ASSERT_TRUE(tree.insert(1, Vec3(-1, 0, 0)));
  ASSERT_TRUE(tree.clear());
  EXPECT_EQ(tree.getVertexCount(UNIT), 0);
  EXPECT_EQ(tree.getOutsideVertexCount(), 1);
  EXPECT_EQ(tree.find(0, Vec3(0.5f, 0.5f, 0.5f)), nullptr);
  ASSERT_TRUE(tree.insert(2, Vec3(0.5f, 0.5f, 0.5f)));
  EXPECT_EQ(tree.getVertexCount(UNIT), 1);
}

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
    float f = (v - box.first[a]) * tree.getScale()[a] + 1.0f;
    if (f >= 1.0f && f < 2.0f)
      return cellIndex(v, box.first[a], tree.getScale()[a]);
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
      int slot = KEXVertexTreeTestAccess::slot(tree, points[size_t(i)]);
      if (slot < 0)
        continue;
      int c[3] = {slot & 63, (slot >> 6) & 63, slot >> 12};
      bool in = true, strictlyInner = true;
      for (int k = 0; k < 3; ++k) {
        in = in && c[k] >= clamped(a[k], k) && c[k] <= clamped(b[k], k);
        strictlyInner = strictlyInner && c[k] > clamped(inner.first[k], k) && c[k] < clamped(inner.second[k], k);
      }
      if (in)
        expected.push_back(i);
      if (in && !strictlyInner)
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

TEST(VertexTree, QueriesOutsideTheGridClampToBorderCells)
{
  KEXVertexTree tree(UNIT);
  ASSERT_TRUE(tree.insert(0, Vec3(0.001f, 0.5f, 0.5f)));  // x cell 0
  ASSERT_TRUE(tree.insert(1, Vec3(0.999f, 0.5f, 0.5f)));  // x cell 63
  ASSERT_TRUE(tree.insert(2, Vec3(0.5f, 0.5f, 0.5f)));    // x cell 31
  KEXValueList<int> below, above, reversed;
  EXPECT_EQ(tree.getVertexList(Box(Vec3(-5, 0, 0), Vec3(-4, 1, 1)), below), 1);
  EXPECT_EQ(below[0], 0);
  EXPECT_EQ(tree.getVertexList(Box(Vec3(4, 0, 0), Vec3(5, 1, 1)), above), 1);
  EXPECT_EQ(above[0], 1);
  // A reversed range on any axis yields nothing.
  EXPECT_EQ(tree.getVertexList(Box(Vec3(0, 0, 1), Vec3(1, 1, 0)), reversed), 0);
  EXPECT_EQ(tree.getVertexList(Box(Vec3(1, 0, 0), Vec3(0, 1, 1)), reversed), 0);
  EXPECT_EQ(tree.getVertexCount(Box(Vec3(0, 1, 0), Vec3(1, 0, 1))), 0);
  // Results are whole cells: a tiny box inside vertex 2's cell returns it.
  EXPECT_EQ(tree.getVertexCount(Box(Vec3(0.49f, 0.49f, 0.49f), Vec3(0.491f, 0.491f, 0.491f))), 1);
}

TEST(VertexTree, AllocationFailures)
{
  const long live = kexTest::liveAllocations();
  {
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
    EXPECT_TRUE(tree->isValid());
    EXPECT_EQ(tree->getOutsideVertexCount(), 1);
    EXPECT_TRUE(tree->insert(0, Vec3(0.5f, 0.5f, 0.5f)));
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
      if (!fired) {
        EXPECT_EQ(inserted, 200);
        break;
      }
      EXPECT_LT(inserted, 200);
    }
    KEXValueList<int> big;
    {
      kexTest::AllocationFault fault(1);
      EXPECT_EQ(grid.getVertexList(UNIT, big), -1);
    }
    EXPECT_EQ(big.getCount(), 0);
  }
  EXPECT_EQ(kexTest::liveAllocations(), live);
}

TEST(VertexTree, CreateBuildsOverTheBoundingBox)
{
  const long live = kexTest::liveAllocations();
  {
    KEXValueList<Vec3> vertices;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f);
    for (int i = 0; i < 40000; ++i)
      vertices.append(Vec3(u(rng), u(rng), u(rng)));
    vertices[17] = Vec3(std::numeric_limits<float>::quiet_NaN(), 0, 0);
    vertices[18] = Vec3(0, -std::numeric_limits<float>::infinity(), 0);

    kexTest::RecordingScope monitor;
    KEXVertexTree* tree = KEXVertexTree::create(vertices);
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(monitor.rootStatus(), KEXTaskInfo::Succeeded);
    EXPECT_EQ(monitor.begunMessages().front(), "Calculating vertex tree");
    EXPECT_TRUE(monitor.progressMonotone());
    Box box;
    tree->getBoundingBox(box);
    for (int i = 0; i < vertices.getCount(); ++i) {
      if (i == 17 || i == 18)
        continue;
      for (int a = 0; a < 3; ++a) {
        EXPECT_LE(box.first[a], vertices[i][a]);
        EXPECT_GE(box.second[a], vertices[i][a]);
      }
    }
    EXPECT_EQ(tree->getOutsideVertexCount(), 2); // the NaN and the infinite vertex
    EXPECT_EQ(tree->getVertexCount(box), 39998);
    for (int i : {0, 100, 39999}) {
      EXPECT_NE(tree->find(i, vertices[i]), nullptr);
    }
    delete tree;

    KEXValueList<Vec3> empty;
    EXPECT_EQ(KEXVertexTree::create(empty), nullptr);

    // Every allocation failure and every stop gives no tree and no leak.
    // 64 distinct positions: few buckets, so the sweeps stay short; the stop sweep's list spans
    // three blocks.
    KEXValueList<Vec3> small, large;
    for (int i = 0; i < 40000; ++i)
      (i < 2000 ? small : large).append(Vec3(float(i % 4), float(i / 4 % 4), float(i / 16 % 4)));
    for (int i = 0; i < 2000; ++i)
      large.append(small[i]);
    for (int n = 1;; ++n) {
      kexTest::RecordingScope m;
      KEXVertexTree* t;
      bool fired;
      {
        kexTest::AllocationFault fault(n);
        t = KEXVertexTree::create(small);
        fired = fault.fired();
      }
      if (!fired) {
        EXPECT_NE(t, nullptr);
        delete t;
        break;
      }
      EXPECT_EQ(t, nullptr);
      EXPECT_EQ(m.rootStatus(), KEXTaskInfo::Failed);
      EXPECT_TRUE(m.rootCode() == KEX::OutOfMemory || m.rootCode() == KEX::GenericError);
      if (n <= 2) {
        EXPECT_EQ(m.rootCode(), KEX::OutOfMemory);
        EXPECT_TRUE(m.hasDiagnostic("Out of memory"));
      }
      ASSERT_LT(n, 5000);
    }
    for (long n = 1;; ++n) {
      kexTest::RecordingScope m;
      m.stopAfterReports(n, n % 2 ? KEXTaskMonitor::Stop : KEXTaskMonitor::Abort);
      KEXVertexTree* t = KEXVertexTree::create(large);
      if (m.reportCount() < n) {
        EXPECT_NE(t, nullptr);
        delete t;
        break;
      }
      EXPECT_EQ(t, nullptr);
      EXPECT_EQ(m.rootStatus(), n % 2 ? KEXTaskInfo::Failed : KEXTaskInfo::Aborted);
      EXPECT_TRUE(m.misuses().empty());
    }
  }
  EXPECT_EQ(kexTest::liveAllocations(), live);
}
