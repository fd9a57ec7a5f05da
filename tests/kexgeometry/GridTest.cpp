// The grid (storage, positions, stamps, read access), the work dispatcher of grid calculations and
// the read cache. The cache is checked against a plain reference (raw sample through the transfer
// rule, distances written out per axis) on many random grids of every sample type, in both byte
// orders, with and without masks and over windows reaching into the padding.
#include "kex/Testing.h"
#include "kexgeometry/kexgeometry.h"
#include "support/Grids.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Dispatcher = KEXGridFilterAction::WorkDispatcher;
using CellBox = KEXGridFilterAction::CellBox;
using Access = KEXGridFilterAction::ReadAccessHandle;
using Lines = KEXGridReadCache::Lines;
using V3i = KEXVector3<int>;
using kexmeshtest::kSampleTypes;

int uniformInt(std::mt19937& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
double uniformReal(std::mt19937& rng, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
long live() { return kexTest::liveAllocations(); }

// A random grid with its raw samples kept as doubles, stored in the requested byte order (owned
// when native, attached otherwise or at random), with uniform or random increasing positions.
struct RandomGrid {
  KEXGrid grid;
  std::string bytes;
  std::vector<double> raw;
  int n[3] = {0, 0, 0};
  double at(int i, int j, int k) const { return raw[size_t(i + n[0] * (j + n[1] * k))]; }
};

void makeRandomGrid(std::mt19937& rng, KEXSampleType t, bool bigEndian, RandomGrid& g)
{
  for (int& s : g.n)
    s = uniformInt(rng, 1, 6);
  g.raw.resize(size_t(g.n[0] * g.n[1] * g.n[2]));
  for (double& x : g.raw)
    x = kexmeshtest::randomSample(rng, t, 1000.0, 10);
  g.bytes = kexmeshtest::encodeSamples(g.raw, t, bigEndian);
  if (bigEndian || uniformInt(rng, 0, 1)) {
    ASSERT_TRUE(g.grid.attach(t, g.n[0], g.n[1], g.n[2], g.bytes.data(), g.bytes.size(), bigEndian, nullptr, nullptr));
  } else {
    ASSERT_TRUE(g.grid.create(t, g.n[0], g.n[1], g.n[2]));
    std::memcpy(g.grid.getWritableData(), g.bytes.data(), g.bytes.size());
    g.grid.samplesChanged();
  }
  if (uniformInt(rng, 0, 1)) {
    ASSERT_TRUE(g.grid.setUniformPositions({-1.5, 0.25, 3.0}, {0.5, 1.25, 2.0}));
  }
  for (int a = 0; a < 3; ++a)
    if (uniformInt(rng, 0, 1)) {
      std::vector<double> p(size_t(g.n[a]));
      double x = uniformReal(rng, -5.0, 5.0);
      for (double& q : p)
        q = x, x += uniformReal(rng, 0.1, 2.0);
      ASSERT_TRUE(g.grid.setPositions(a, p.data()));
    }
}

// Position of index i on axis a with padding (-1 and n), written out from the grid's table.
double paddedPosition(const KEXGrid& g, int a, int i)
{
  const int n = g.getSize()[a];
  if (i < 0)
    return g.getPosition(a, 0) - (n > 1 ? g.getPosition(a, 1) - g.getPosition(a, 0) : 1.0);
  if (i >= n)
    return g.getPosition(a, n - 1) + (n > 1 ? g.getPosition(a, n - 1) - g.getPosition(a, n - 2) : 1.0);
  return g.getPosition(a, i);
}

// The second value of a sample: its distance inside the grid's extent grown by half a step, cut
// by its distance inside the best mask.
double referenceSecond(const KEXGrid& g, const std::vector<KEXSampleMask>& masks, int i, int j, int k)
{
  const int idx[3] = {i, j, k};
  double d = DBL_MAX, p[3];
  for (int a = 0; a < 3; ++a) {
    const int n = g.getSize()[a];
    p[a] = paddedPosition(g, a, idx[a]);
    d = std::min({d, p[a] - (paddedPosition(g, a, -1) + g.getPosition(a, 0)) / 2,
                  (paddedPosition(g, a, n) + g.getPosition(a, n - 1)) / 2 - p[a]});
  }
  if (masks.empty())
    return d;
  double best = -DBL_MAX;
  for (const KEXSampleMask& m : masks) {
    double in = DBL_MAX;
    for (int a = 0; a < 3; ++a)
      in = std::min({in, p[a] - double(m.getMin()[a]), double(m.getMax()[a]) - p[a]});
    best = std::max(best, in);
  }
  return std::min(d, best);
}

float referenceValue(double raw, const KEXSampleTransferSpec& tr)
{
  if (std::isnan(raw))
    return -FLT_MAX;
  return tr.isIdentity() ? float(raw) : float(raw) * float(tr.scale) + float(tr.offset);
}

std::vector<KEXSampleMask> randomMasks(std::mt19937& rng, const KEXGrid& g)
{
  std::vector<KEXSampleMask> masks;
  const KEXInterval<KEXVector3<double>> e = g.getExtent();
  for (int m = uniformInt(rng, 1, 3); m > 0; --m) {
    KEXVector3<float> lo, hi;
    for (int a = 0; a < 3; ++a) {
      const double x = uniformReal(rng, e.getMin()[a] - 1.0, e.getMax()[a] + 1.0);
      const double y = uniformReal(rng, e.getMin()[a] - 1.0, e.getMax()[a] + 1.0);
      lo[a] = float(std::min(x, y));
      hi[a] = float(std::max(x, y));
    }
    masks.emplace_back(lo, hi);
  }
  return masks;
}

KEXGridFilterAction::BoundingBoxList boxList(const V3i& lo, const V3i& hi)
{
  KEXGridFilterAction::BoundingBoxList l;
  EXPECT_TRUE(l.append(CellBox(lo, hi)));
  return l;
}

} // namespace

TEST(GridReadCache, LinesMatchReferenceOnRandomGrids)
{
  std::mt19937 rng(7);
  int checked = 0;
  for (int trial = 0; trial < 320; ++trial) {
    const KEXSampleType t = kSampleTypes[trial % 4];
    const bool bigEndian = (trial / 4) % 2 == 1, withMasks = (trial / 8) % 2 == 1;
    SCOPED_TRACE(trial);
    RandomGrid g;
    makeRandomGrid(rng, t, bigEndian, g);
    ASSERT_EQ(g.grid.isBigEndian(), bigEndian);
    auto expectRaw = [&](const KEXGrid& grid) {
      for (int k = 0; k < g.n[2]; ++k)
        for (int j = 0; j < g.n[1]; ++j)
          for (int i = 0; i < g.n[0]; ++i) {
            const double s = grid.getSample(i, j, k);
            ASSERT_TRUE(std::isnan(g.at(i, j, k)) ? std::isnan(s) : s == g.at(i, j, k));
          }
    };
    expectRaw(g.grid);
    KEXSampleTransferSpec tr;
    if (trial % 3 != 0)
      tr.scale = uniformReal(rng, -2.0, 2.0), tr.offset = uniformReal(rng, -10.0, 10.0);
    const std::vector<KEXSampleMask> masks = withMasks ? randomMasks(rng, g.grid) : std::vector<KEXSampleMask>();
    KEXGridReadCache cache;
    ASSERT_TRUE(cache.setSource(g.grid, tr, masks.data(), int(masks.size())));
    Access access;
    ASSERT_TRUE(access.beginAccess(g.grid));
    for (int w = 0; w < 6; ++w) {
      const int L = uniformInt(rng, 1, g.n[0] + 2), C = uniformInt(rng, 1, g.n[1] + 2);
      const int x0 = uniformInt(rng, -1, g.n[0] + 1 - L), y0 = uniformInt(rng, -1, g.n[1] + 1 - C);
      const int z = uniformInt(rng, -1, g.n[2]);
      Lines lines;
      ASSERT_TRUE(cache.allocLines(lines, L, C));
      ASSERT_TRUE(cache.fetchLines(access, lines, x0, y0, z));
      for (int l = 0; l < C; ++l)
        for (int i = 0; i < L; ++i, ++checked) {
          const int x = x0 + i, y = y0 + l;
          const float ref = referenceValue(
              g.at(std::clamp(x, 0, g.n[0] - 1), std::clamp(y, 0, g.n[1] - 1), std::clamp(z, 0, g.n[2] - 1)), tr);
          ASSERT_NEAR(lines.values[l * L + i], ref, 1e-5 * std::max(1.0f, std::fabs(ref))) << x << " " << y << " " << z;
          const double sec = referenceSecond(g.grid, masks, x, y, z);
          ASSERT_NEAR(lines.seconds[l * L + i], sec, 1e-5 * std::max(1.0, std::fabs(sec)));
          if (x < 0 || y < 0 || z < 0 || x >= g.n[0] || y >= g.n[1] || z >= g.n[2]) {
            ASSERT_LT(lines.seconds[l * L + i], 0.0f);
          }
        }
      cache.releaseData(lines);
      EXPECT_EQ(lines.values, nullptr);
    }
    for (int a = 0; a < 3; ++a)
      for (int i = -1; i <= g.n[a]; ++i)
        ASSERT_DOUBLE_EQ(cache.getPosition(a, i), paddedPosition(g.grid, a, i));
    // A copy and an assignment own the samples in native order, with the positions and transform,
    // and keep them when the attached memory goes.
    access.endAccess();
    g.grid.setGridToObjectTransform(KEXMatrix4<double>(3.0));
    KEXGrid copy(g.grid), assigned;
    ASSERT_TRUE(assigned.create(KEXSampleType::Int16, 1, 2, 1));
    assigned = g.grid;
    std::fill(g.bytes.begin(), g.bytes.end(), '\0');
    for (KEXGrid* c : {&copy, &assigned}) {
      EXPECT_TRUE(!c->isBigEndian() && c->getWritableData() != nullptr);
      EXPECT_EQ(c->getGridToObjectTransform(), KEXMatrix4<double>(3.0));
      expectRaw(*c);
      for (int a = 0; a < 3; ++a)
        for (int i = 0; i < g.n[a]; ++i)
          ASSERT_EQ(c->getPosition(a, i), g.grid.getPosition(a, i));
    }
  }
  EXPECT_GT(checked, 1000);
}

TEST(GridReadCache, ConcurrentFetchEqualsSerial)
{
  std::mt19937 rng(11);
  KEXGrid grid;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 9, 7, 8, {0.0, 0.0, 0.0}, {0.5, 0.75, 1.0},
                                             [](double x, double y, double z) { return x * x + y - z; }));
  const std::vector<KEXSampleMask> masks = randomMasks(rng, grid);
  KEXGridReadCache cache;
  ASSERT_TRUE(cache.setSource(grid, {2.0, -1.0}, masks.data(), int(masks.size())));
  Access access;
  ASSERT_TRUE(access.beginAccess(grid));
  const int L = 11, C = 9;
  auto fetchAll = [&](std::vector<float>& out) {
    Lines lines;
    bool ok = cache.allocLines(lines, L, C);
    for (int z = -1; z <= 8 && ok; ++z) {
      ok = cache.fetchLines(access, lines, -1, -1, z);
      out.insert(out.end(), lines.values, lines.values + L * C);
      out.insert(out.end(), lines.seconds, lines.seconds + L * C);
    }
    cache.releaseData(lines);
    return ok;
  };
  std::vector<float> serial;
  ASSERT_TRUE(fetchAll(serial));
  ASSERT_EQ(serial.size(), size_t(2 * L * C * 10));
  std::atomic<int> same{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int r = 0; r < 20; ++r) {
        std::vector<float> out;
        same += fetchAll(out) && out == serial;
      }
    });
  for (std::thread& th : threads)
    th.join();
  EXPECT_EQ(same.load(), 80);
}

// fetchLines needs read access to the cache's own grid and a window within the padding; storeData
// writes a window of lines into an owned Float32 grid inside its samples, and nothing else.
TEST(GridReadCache, RefusesWithoutAccessOrBeyondTheGrid)
{
  KEXGrid grid, other;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 5, 4, 3, {0, 0, 0}, {1, 1, 1},
                                             [](double x, double y, double z) { return x + 10 * y + 100 * z; }));
  ASSERT_TRUE(other.create(KEXSampleType::UInt8, 5, 4, 3));
  KEXGridReadCache cache;
  ASSERT_TRUE(cache.setSource(grid, {}, nullptr, 0));
  Lines lines, store;
  ASSERT_TRUE(cache.allocLines(lines, 7, 6));
  {
    Access access;
    EXPECT_FALSE(cache.fetchLines(access, lines, -1, -1, 0)); // no access
    ASSERT_TRUE(access.beginAccess(other));
    EXPECT_FALSE(cache.fetchLines(access, lines, -1, -1, 0)); // access to another grid
    ASSERT_TRUE(access.beginAccess(grid));
    EXPECT_EQ(other.getReadAccessCount(), 0);
    EXPECT_TRUE(cache.fetchLines(access, lines, -1, -1, -1) && cache.fetchLines(access, lines, -1, -1, 3));
    const int bad[][3] = {{-2, -1, 0}, {0, -1, 0}, {-1, -2, 0}, {-1, 0, 0}, {-1, -1, -2}, {-1, -1, 4}};
    for (const auto& b : bad)
      EXPECT_FALSE(cache.fetchLines(access, lines, b[0], b[1], b[2])) << b[0] << " " << b[1] << " " << b[2];
  }
  cache.releaseData(lines);
  ASSERT_TRUE(cache.allocLines(store, 3, 2));
  for (int i = 0; i < 6; ++i)
    store.values[i] = -float(i + 1);
  const uint64_t before = grid.getModificationTime();
  ASSERT_TRUE(cache.storeData(store, grid, 1, 2, 1));
  EXPECT_GT(grid.getModificationTime(), before);
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 4; ++j)
      for (int i = 0; i < 5; ++i) {
        const bool written = k == 1 && j >= 2 && i >= 1 && i <= 3;
        EXPECT_EQ(grid.getSample(i, j, k), written ? -double((j - 2) * 3 + (i - 1) + 1) : i + 10 * j + 100 * k);
      }
  for (const auto& at : {std::array{3, 0, 0}, std::array{-1, 0, 0}, std::array{0, 3, 0}, std::array{0, 0, 3}})
    EXPECT_FALSE(cache.storeData(store, grid, at[0], at[1], at[2]));
  std::vector<float> mem(60, 0.0f);
  KEXGrid attached;
  ASSERT_TRUE(attached.attach(KEXSampleType::Float32, 5, 4, 3, mem.data(), mem.size() * 4, false, nullptr, nullptr));
  EXPECT_FALSE(cache.storeData(store, other, 0, 0, 0)); // the same size, not Float32
  EXPECT_FALSE(cache.storeData(store, attached, 0, 0, 0));
  cache.releaseData(store);
}

TEST(GridReadCache, AllocationFailuresLeaveNothingBehind)
{
  KEXGrid grid;
  ASSERT_TRUE(grid.create(KEXSampleType::Int16, 3, 3, 3));
  const KEXSampleMask mask(KEXVector3<float>(0, 0, 0), KEXVector3<float>(1, 1, 1));
  const long base = live();
  for (long n = 1; n <= 2; ++n) {
    KEXGridReadCache cache;
    Lines lines;
    {
      kexTest::AllocationFault fault(n);
      EXPECT_FALSE(cache.allocLines(lines, 4, 4)) << n;
      EXPECT_TRUE(fault.fired());
    }
    EXPECT_TRUE(lines.values == nullptr && lines.seconds == nullptr && live() == base);
  }
  // A source whose set-up failed refuses to fetch.
  bool succeeded = false;
  for (long n = 1; n < 20 && !succeeded; ++n) {
    KEXGridReadCache cache;
    {
      kexTest::AllocationFault fault(n);
      succeeded = cache.setSource(grid, {}, &mask, 1);
      EXPECT_EQ(succeeded, !fault.fired()) << n;
    }
    Access access;
    ASSERT_TRUE(access.beginAccess(grid));
    Lines lines;
    ASSERT_TRUE(cache.allocLines(lines, 1, 1));
    EXPECT_EQ(cache.fetchLines(access, lines, 0, 0, 0), succeeded);
    cache.releaseData(lines);
  }
  EXPECT_TRUE(succeeded);
  EXPECT_EQ(live(), base);
}

// Random boxes on random grids against a brute-force bounding box of their clipped union; three
// threads take the ranges and every cell of the region is in exactly one range.
TEST(GridDispatcher, RangesPartitionTheRegionOnce)
{
  std::mt19937 rng(3);
  for (int trial = 0; trial < 60; ++trial) {
    SCOPED_TRACE(trial);
    KEXGrid grid;
    const int n[3] = {uniformInt(rng, 1, 9), uniformInt(rng, 1, 9), uniformInt(rng, 1, 9)};
    ASSERT_TRUE(grid.create(KEXSampleType::UInt8, n[0], n[1], n[2]));
    Dispatcher d;
    d.setGrid(grid);
    d.setRangeLayers(uniformInt(rng, 0, 5));
    EXPECT_GE(d.getRangeLayers(), 1);
    KEXGridFilterAction::BoundingBoxList boxes;
    V3i lo(INT_MAX, INT_MAX, INT_MAX), hi(INT_MIN, INT_MIN, INT_MIN), firstCell;
    for (int b = uniformInt(rng, 0, 3); b > 0; --b) {
      V3i a, c, cl, ch;
      bool inside = true;
      for (int ax = 0; ax < 3; ++ax) {
        const int x = uniformInt(rng, -4, n[ax] + 3), y = uniformInt(rng, -4, n[ax] + 3);
        a[ax] = std::min(x, y), c[ax] = std::max(x, y);
        cl[ax] = std::max(a[ax], -1), ch[ax] = std::min(c[ax], n[ax] - 1);
        inside = inside && cl[ax] <= ch[ax];
      }
      ASSERT_TRUE(boxes.append(CellBox(a, c)));
      if (inside && lo.x > hi.x)
        firstCell = cl;
      for (int ax = 0; inside && ax < 3; ++ax)
        lo[ax] = std::min(lo[ax], cl[ax]), hi[ax] = std::max(hi[ax], ch[ax]);
    }
    ASSERT_TRUE(d.addRegionOfInterest(boxes));
    const CellBox roi = d.getRegionOfInterest();
    const bool empty = lo.x > hi.x;
    ASSERT_EQ(roi.isEmpty(), empty);
    if (!empty) {
      EXPECT_TRUE(roi.getMin() == lo && roi.getMax() == hi);
      EXPECT_EQ(d.getRegionOfInterestArea(), double(hi.x - lo.x + 1) * (hi.y - lo.y + 1) * (hi.z - lo.z + 1));
    } else {
      EXPECT_EQ(d.getRangeCount(), 0);
    }
    std::vector<std::atomic<int>> handed(size_t(std::max(1, d.getRangeCount())));
    std::vector<std::vector<KEXGridFilterAction::WorkRange>> taken(3);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
      threads.emplace_back([&, t] {
        KEXGridFilterAction::WorkRange r;
        while (d.requestWorkRange(r) == Dispatcher::Granted)
          ++handed[size_t(r.index)], taken[size_t(t)].push_back(r);
      });
    for (std::thread& th : threads)
      th.join();
    for (int i = 0; i < d.getRangeCount(); ++i)
      EXPECT_EQ(handed[size_t(i)].load(), 1) << i;
    std::vector<int> cover(size_t((n[0] + 1) * (n[1] + 1) * (n[2] + 1)), 0);
    auto cell = [&](int x, int y, int z) -> int& { return cover[size_t((x + 1) + (n[0] + 1) * ((y + 1) + (n[1] + 1) * (z + 1)))]; };
    for (const auto& list : taken)
      for (const KEXGridFilterAction::WorkRange& r : list) {
        CellBox reg;
        ASSERT_TRUE(d.getRegion(r, reg));
        for (int z = reg.getMin().z; z <= reg.getMax().z; ++z)
          for (int y = reg.getMin().y; y <= reg.getMax().y; ++y)
            for (int x = reg.getMin().x; x <= reg.getMax().x; ++x)
              ++cell(x, y, z);
      }
    for (int z = -1; z < n[2]; ++z)
      for (int y = -1; y < n[1]; ++y)
        for (int x = -1; x < n[0]; ++x) {
          const bool in = !empty && x >= lo.x && x <= hi.x && y >= lo.y && y <= hi.y && z >= lo.z && z <= hi.z;
          ASSERT_EQ(cell(x, y, z), in ? 1 : 0);
        }
    KEXGridFilterAction::WorkRange r;
    EXPECT_EQ(d.requestWorkRange(r), Dispatcher::Finished);
    d.reset();
    if (empty)
      continue;
    // After a reset the ranges start again; a forged range has no region; intersecting with one
    // cell of the region keeps just that cell.
    ASSERT_EQ(d.requestWorkRange(r), Dispatcher::Granted);
    EXPECT_EQ(r.index, 0);
    KEXGridFilterAction::WorkRange bogus = r;
    bogus.z0 += 1;
    CellBox reg;
    EXPECT_FALSE(d.getRegion(bogus, reg));
    bogus.index = d.getRangeCount();
    EXPECT_FALSE(d.getRegion(bogus, reg));
    ASSERT_TRUE(d.intersectRegionOfInterest(boxList(firstCell, firstCell)));
    EXPECT_TRUE(d.getRegionOfInterest().getMin() == firstCell && d.getRegionOfInterest().getMax() == firstCell);
    EXPECT_EQ(d.getRangeCount(), 1);
  }
  Dispatcher none;
  KEXGridFilterAction::WorkRange r;
  EXPECT_EQ(none.requestWorkRange(r), Dispatcher::Failed);
}

TEST(GridDispatcher, MemoryShortageKeepsTheRegion)
{
  KEXGrid grid;
  ASSERT_TRUE(grid.create(KEXSampleType::UInt8, 6, 6, 6));
  Dispatcher d;
  const auto boxes = boxList(V3i(0, 0, 0), V3i(2, 2, 2)), more = boxList(V3i(3, 3, 3), V3i(9, 9, 9));
  const auto cut = boxList(V3i(1, 1, 1), V3i(4, 4, 4));
  // Under a fault at the first allocation: the result and whether the fault fired.
  auto shortOfMemory = [](const std::function<bool()>& op) {
    kexTest::AllocationFault fault(1);
    const bool ok = op();
    return std::pair{ok, fault.fired()};
  };
  EXPECT_FALSE(d.addRegionOfInterest(boxes)); // no grid yet
  d.setGrid(grid);
  EXPECT_FALSE(shortOfMemory([&] { return d.addRegionOfInterest(boxes); }).first);
  EXPECT_TRUE(d.getRegionOfInterest().isEmpty());
  ASSERT_TRUE(d.addRegionOfInterest(boxes));
  // The grown copy of the region is the only allocation (its block has room for the box).
  EXPECT_EQ(shortOfMemory([&] { return d.addRegionOfInterest(more); }), std::pair(false, true));
  EXPECT_EQ(d.getRegionOfInterest().getMax(), V3i(2, 2, 2));
  ASSERT_TRUE(d.addRegionOfInterest(more));
  EXPECT_EQ(d.getRegionOfInterest().getMax(), V3i(5, 5, 5)); // clipped to the cells
  EXPECT_FALSE(shortOfMemory([&] { return d.intersectRegionOfInterest(cut); }).first);
  EXPECT_EQ(d.getRegionOfInterest().getMin(), V3i(0, 0, 0));
  ASSERT_TRUE(d.intersectRegionOfInterest(cut));
  EXPECT_TRUE(d.getRegionOfInterest().getMin() == V3i(1, 1, 1) && d.getRegionOfInterest().getMax() == V3i(4, 4, 4));
  d.setGrid(grid);
  EXPECT_TRUE(d.getRegionOfInterest().isEmpty());
}

TEST(Grid, RefusesAbsurdSizesAndKeepsTheGrid)
{
  const int sizes[][3] = {{0, 1, 1},   {1, 0, 1},           {1, 1, 0}, {-1, 2, 2}, {2, -5, 2}, {INT_MAX, INT_MAX, INT_MAX},
                          {1 << 20, 1 << 20, 2}, {1 << 14, 1 << 13, 1 << 14}};
  KEXGrid grid;
  ASSERT_TRUE(grid.create(KEXSampleType::UInt16, 2, 3, 4));
  unsigned char buffer[64] = {};
  for (const auto& s : sizes) {
    const uint64_t stamp = grid.getModificationTime();
    const long base = live();
    EXPECT_FALSE(grid.create(KEXSampleType::UInt8, s[0], s[1], s[2]));
    EXPECT_FALSE(grid.attach(KEXSampleType::UInt8, s[0], s[1], s[2], buffer, sizeof buffer, false, nullptr, nullptr));
    EXPECT_TRUE(live() == base && grid.getSize() == V3i(2, 3, 4) && grid.getModificationTime() == stamp);
  }
  EXPECT_FALSE(grid.attach(KEXSampleType::UInt16, 4, 4, 4, buffer, sizeof buffer, false, nullptr, nullptr));
  EXPECT_EQ(grid.getSampleType(), KEXSampleType::UInt16);
}

// Each of the first allocations of create, copy and assignment fails in turn: the failure is
// reported, nothing leaks, a refused create or assignment keeps the grid and a failed copy is empty.
TEST(Grid, AllocationFailuresReportAndLeaveTheGridUnchanged)
{
  KEXGrid grid, target;
  ASSERT_TRUE(grid.create(KEXSampleType::UInt8, 2, 2, 2));
  ASSERT_TRUE(target.create(KEXSampleType::Int16, 1, 2, 1));
  const long base = live();
  const struct {
    const char* what;
    KEXGrid* kept; // the grid that must be as it was
    std::function<void()> run;
  } ops[] = {
      {"create", &grid, [&] { EXPECT_FALSE(grid.create(KEXSampleType::Float32, 3, 4, 5)); }},
      {"copy", &grid, [&] { KEXGrid copy(grid); EXPECT_TRUE(copy.isEmpty()); }},
      {"assignment", &target, [&] { target = grid; }},
  };
  for (const auto& op : ops)
    for (long n = 1; n <= 4; ++n) {
      SCOPED_TRACE(std::string(op.what) + " " + std::to_string(n));
      kexTest::ErrorCapture errors;
      const V3i size = op.kept->getSize();
      const KEXSampleType type = op.kept->getSampleType();
      const uint64_t stamp = op.kept->getModificationTime();
      {
        kexTest::AllocationFault fault(n);
        op.run();
      }
      EXPECT_TRUE(errors.has(KEX::OutOfMemory));
      EXPECT_TRUE(op.kept->getSize() == size && op.kept->getSampleType() == type);
      EXPECT_TRUE(op.kept->getModificationTime() == stamp && live() == base);
    }
  unsigned char buffer[8] = {};
  int released = 0;
  auto release = [](void* c, const void*, size_t) { ++*static_cast<int*>(c); };
  double p[2] = {0.0, 5.0};
  for (int op = 0; op < 2; ++op) {
    kexTest::ErrorCapture errors;
    kexTest::AllocationFault fault(1);
    EXPECT_FALSE(op ? grid.setPositions(1, p)
                    : grid.attach(KEXSampleType::UInt8, 2, 2, 2, buffer, 8, false, release, &released));
    EXPECT_TRUE(errors.has(KEX::OutOfMemory)) << op;
  }
  EXPECT_EQ(released, 0) << "a refused attach does not release what it was given";
  EXPECT_TRUE(grid.getPosition(1, 1) == 1.0 && live() == base);
}

// However attached storage ends (a create, another attach, clear, destruction), it is released
// exactly once, and a refused attach neither replaces nor releases it.
TEST(Grid, AttachedStorageIsReleasedExactlyOnce)
{
  static int released = 0;
  static const void* lastData = nullptr;
  auto release = [](void* c, const void* d, size_t) { ++*static_cast<int*>(c); lastData = d; };
  unsigned char a[8] = {}, b[8] = {};
  for (int end = 0; end < 4; ++end) { // a create, another attach, clear (twice), destruction
    released = 0;
    {
      KEXGrid grid;
      ASSERT_TRUE(grid.attach(KEXSampleType::UInt8, 2, 2, 2, a, 8, false, release, &released));
      EXPECT_FALSE(grid.attach(KEXSampleType::UInt8, 2, 2, 2, b, 4, false, release, &released)); // too small
      EXPECT_TRUE(released == 0 && grid.getWritableData() == nullptr && grid.getData() == a);
      const bool ended = end == 0   ? grid.create(KEXSampleType::UInt8, 1, 1, 1)
                         : end == 1 ? grid.attach(KEXSampleType::UInt8, 2, 1, 1, b, 2, false, nullptr, nullptr)
                         : end == 2 ? (grid.clear(), grid.isEmpty() && (grid.clear(), true))
                                    : true;
      EXPECT_TRUE(ended && released == (end == 3 ? 0 : 1)) << end;
    }
    EXPECT_TRUE(released == 1 && lastData == a) << end;
  }
}

// Every change of a grid takes a newer stamp. While read access is open, no layout change happens
// (nor is attached storage released or the stamp moved); once the last access ends they work again.
TEST(Grid, ChangesTakeANewerStampAndWaitForOpenReadAccess)
{
  KEXGrid grid;
  unsigned char buffer[12] = {};
  int released = 0;
  auto release = [](void* c, const void*, size_t) { ++*static_cast<int*>(c); };
  double p[3] = {0.0, 1.0, 3.0};
  const struct {
    const char* what;
    bool layout;
    std::function<bool()> run;
  } changes[] = {
      {"create", true, [&] { return grid.create(KEXSampleType::UInt8, 2, 3, 2); }},
      {"uniform positions", true, [&] { return grid.setUniformPositions({1, 2, 3}, {0.5, 0.5, 0.5}); }},
      {"positions", true, [&] { return grid.setPositions(1, p); }},
      {"transform", false, [&] { grid.setGridToObjectTransform(KEXMatrix4<double>(2.0)); return true; }},
      {"samples", false, [&] { grid.samplesChanged(); return true; }},
      {"attach", true, [&] { return grid.attach(KEXSampleType::UInt8, 2, 3, 2, buffer, 12, false, release, &released); }},
      {"create over attached", true, [&] { return grid.create(KEXSampleType::UInt8, 4, 4, 4); }},
      {"clear", true, [&] { grid.clear(); return grid.isEmpty(); }},
  };
  Access access;
  EXPECT_FALSE(access.beginAccess(grid)); // empty
  uint64_t last = grid.getModificationTime();
  for (const auto& c : changes) {
    SCOPED_TRACE(c.what);
    if (c.layout && !grid.isEmpty()) {
      const V3i size = grid.getSize();
      const int releasedBefore = released;
      {
        Access second;
        ASSERT_TRUE(access.beginAccess(grid) && second.beginAccess(grid));
        EXPECT_TRUE(grid.getReadAccessCount() == 2 && access.getGrid() == &grid);
        EXPECT_FALSE(c.run());
        EXPECT_TRUE(grid.getSize() == size && grid.getModificationTime() == last && released == releasedBefore);
      }
      EXPECT_EQ(grid.getReadAccessCount(), 1);
      access.endAccess();
      EXPECT_EQ(grid.getReadAccessCount(), 0);
      KEXGridFilterAction::LockScope lock(grid);
      EXPECT_EQ(grid.getSize(), size);
    }
    ASSERT_TRUE(c.run());
    EXPECT_GT(grid.getModificationTime(), last);
    last = grid.getModificationTime();
  }
  EXPECT_EQ(released, 1) << "the create over attached samples let go of them once";
}

// Positions, extent and the metaclass; the test grid helper samples its function at the grid's
// own (here non-uniform) positions and refuses a grid that is not Float32.
TEST(Grid, PositionsAndExtent)
{
  KEXGrid grid;
  EXPECT_TRUE(grid.isEmpty() && grid.getExtent().isEmpty() && grid.getData() == nullptr);
  EXPECT_EQ(grid.getGridToObjectTransform(), KEXMatrix4<double>(1.0));
  ASSERT_TRUE(grid.create(KEXSampleType::Int16, 3, 1, 4));
  EXPECT_TRUE(grid.getSampleCount() == 12u && grid.getSample(2, 0, 3) == 0.0);
  EXPECT_DOUBLE_EQ(grid.getSamplingDistance(), 1.0);
  ASSERT_TRUE(grid.setUniformPositions({1, 2, 3}, {0.5, 2.0, 0.25}));
  EXPECT_TRUE(grid.isUniform() && grid.getOrigin() == KEXVector3<double>(1, 2, 3));
  EXPECT_DOUBLE_EQ(grid.getPosition(2, 3), 3.75);
  EXPECT_DOUBLE_EQ(grid.getSamplingDistance(), 0.25);
  EXPECT_EQ(grid.getExtent().getMax(), KEXVector3<double>(2.0, 2.0, 3.75));
  const KEXVector3<double> badUniform[][2] = {{{0, 0, 0}, {0, 1, 1}}, {{0, 0, 0}, {1, -1, 1}},
                                              {{0, NAN, 0}, {1, 1, 1}}, {{0, 0, 0}, {1, 1, INFINITY}}};
  for (const auto& b : badUniform)
    EXPECT_FALSE(grid.setUniformPositions(b[0], b[1]));
  double dec[4] = {0, 1, 1, 2}, nan4[4] = {0, 1, NAN, 3}, ok[4] = {0, 0.1, 1, 5};
  EXPECT_FALSE(grid.setPositions(2, dec) || grid.setPositions(2, nan4) || grid.setPositions(3, ok));
  ASSERT_TRUE(grid.setPositions(2, ok));
  EXPECT_FALSE(grid.isUniform());
  EXPECT_DOUBLE_EQ(grid.getSamplingDistance(), 0.1);
  EXPECT_EQ(grid.getPositions(2)[3], 5.0);
  KEXClass* made = KEXGrid::metaClass().create();
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(&made->getMetaClass(), &KEXGrid::metaClass());
  EXPECT_TRUE(KEXGrid::metaClass().destruct(made, true));
  EXPECT_EQ(KEXMetaClass::find("KEXGrid"), &KEXGrid::metaClass());

  auto f = [](double x, double y, double z) { return std::sin(x) + y * z; };
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 4, 5, 3, {-1, 0, 2}, {0.5, 0.25, 1}, f));
  double pz[3] = {0, 2, 7};
  ASSERT_TRUE(grid.setPositions(2, pz) && kexgeometrytest::fillFloatGrid(grid, f));
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 5; ++j)
      for (int i = 0; i < 4; ++i)
        EXPECT_EQ(grid.getSample(i, j, k), double(float(f(-1 + 0.5 * i, 0.25 * j, pz[k]))));
  ASSERT_TRUE(grid.create(KEXSampleType::UInt8, 1, 1, 1));
  EXPECT_FALSE(kexgeometrytest::fillFloatGrid(grid, f));
}
