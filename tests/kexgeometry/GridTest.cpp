// The grid (storage, positions, stamps, read access), the work dispatcher of grid calculations and
// the read cache. The cache is checked against a plain reference (raw sample through the transfer
// rule, distances written out per axis) on many random grids of every sample type, in both byte
// orders, with and without masks and over windows reaching into the padding.
#include "kex/Testing.h"
#include "kexgeometry/kexgeometry.h"
#include "support/Grids.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <vector>

namespace {

using Dispatcher = KEXGridFilterAction::WorkDispatcher;
using CellBox = KEXGridFilterAction::CellBox;

const KEXSampleType kTypes[] = {KEXSampleType::UInt8, KEXSampleType::Int16, KEXSampleType::UInt16,
                                KEXSampleType::Float32};

// A random grid with its raw samples kept as doubles, stored in the requested byte order (owned
// when native, attached otherwise or at random).
struct RandomGrid {
  KEXGrid grid;
  std::vector<unsigned char> bytes;
  std::vector<double> raw;
  int n[3] = {0, 0, 0};
  double at(int i, int j, int k) const { return raw[size_t(i + n[0] * (j + n[1] * k))]; }
};

double randomRaw(std::mt19937& rng, KEXSampleType t)
{
  switch (t) {
  case KEXSampleType::UInt8: return double(std::uniform_int_distribution<int>(0, 255)(rng));
  case KEXSampleType::Int16: return double(std::uniform_int_distribution<int>(-32768, 32767)(rng));
  case KEXSampleType::UInt16: return double(std::uniform_int_distribution<int>(0, 65535)(rng));
  case KEXSampleType::Float32:
    if (std::uniform_int_distribution<int>(0, 9)(rng) == 0)
      return std::nan("");
    return double(std::uniform_real_distribution<float>(-1000.0f, 1000.0f)(rng));
  }
  return 0.0;
}

void encode(double v, KEXSampleType t, bool bigEndian, unsigned char* out)
{
  unsigned char tmp[4];
  size_t s = kexSampleSize(t);
  switch (t) {
  case KEXSampleType::UInt8: tmp[0] = uint8_t(v); break;
  case KEXSampleType::Int16: { int16_t x = int16_t(v); std::memcpy(tmp, &x, 2); break; }
  case KEXSampleType::UInt16: { uint16_t x = uint16_t(v); std::memcpy(tmp, &x, 2); break; }
  case KEXSampleType::Float32: { float x = float(v); std::memcpy(tmp, &x, 4); break; }
  }
  const uint16_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  bool hostBig = first == 0;
  for (size_t b = 0; b < s; ++b)
    out[b] = bigEndian == hostBig ? tmp[b] : tmp[s - 1 - b];
}

std::vector<double> randomIncreasing(std::mt19937& rng, int n)
{
  std::vector<double> p(static_cast<size_t>(n));
  double x = std::uniform_real_distribution<double>(-5.0, 5.0)(rng);
  for (int i = 0; i < n; ++i) {
    p[size_t(i)] = x;
    x += std::uniform_real_distribution<double>(0.1, 2.0)(rng);
  }
  return p;
}

void makeRandomGrid(std::mt19937& rng, KEXSampleType t, bool bigEndian, RandomGrid& g)
{
  for (int& s : g.n)
    s = std::uniform_int_distribution<int>(1, 6)(rng);
  size_t count = size_t(g.n[0] * g.n[1] * g.n[2]);
  g.raw.resize(count);
  g.bytes.assign(count * kexSampleSize(t), 0);
  for (size_t i = 0; i < count; ++i) {
    g.raw[i] = randomRaw(rng, t);
    encode(g.raw[i], t, bigEndian, g.bytes.data() + i * kexSampleSize(t));
  }
  bool attach = bigEndian || std::uniform_int_distribution<int>(0, 1)(rng) == 1;
  if (attach) {
    ASSERT_TRUE(g.grid.attach(t, g.n[0], g.n[1], g.n[2], g.bytes.data(), g.bytes.size(), bigEndian, nullptr, nullptr));
  } else {
    ASSERT_TRUE(g.grid.create(t, g.n[0], g.n[1], g.n[2]));
    std::memcpy(g.grid.getWritableData(), g.bytes.data(), g.bytes.size());
    g.grid.samplesChanged();
  }
  if (std::uniform_int_distribution<int>(0, 1)(rng)) {
    ASSERT_TRUE(g.grid.setUniformPositions({-1.5, 0.25, 3.0}, {0.5, 1.25, 2.0}));
  }
  for (int a = 0; a < 3; ++a)
    if (std::uniform_int_distribution<int>(0, 1)(rng)) {
      std::vector<double> p = randomIncreasing(rng, g.n[a]);
      ASSERT_TRUE(g.grid.setPositions(a, p.data()));
    }
}

// Position of index i on axis with padding, written out from the grid's table.
double paddedPosition(const KEXGrid& g, int a, int i)
{
  int n = g.getSize()[a];
  double h0 = n > 1 ? g.getPosition(a, 1) - g.getPosition(a, 0) : 1.0;
  double hl = n > 1 ? g.getPosition(a, n - 1) - g.getPosition(a, n - 2) : 1.0;
  if (i < 0)
    return g.getPosition(a, 0) - h0;
  if (i >= n)
    return g.getPosition(a, n - 1) + hl;
  return g.getPosition(a, i);
}

double referenceSecond(const KEXGrid& g, const std::vector<KEXSampleMask>& masks, int i, int j, int k)
{
  int idx[3] = {i, j, k};
  double d = DBL_MAX;
  double p[3];
  for (int a = 0; a < 3; ++a) {
    int n = g.getSize()[a];
    double h0 = n > 1 ? g.getPosition(a, 1) - g.getPosition(a, 0) : 1.0;
    double hl = n > 1 ? g.getPosition(a, n - 1) - g.getPosition(a, n - 2) : 1.0;
    double lo = g.getPosition(a, 0) - h0 / 2, hi = g.getPosition(a, n - 1) + hl / 2;
    p[a] = paddedPosition(g, a, idx[a]);
    d = std::min(d, std::min(p[a] - lo, hi - p[a]));
  }
  if (masks.empty())
    return d;
  double best = -DBL_MAX;
  for (const KEXSampleMask& m : masks) {
    double in = DBL_MAX;
    for (int a = 0; a < 3; ++a)
      in = std::min(in, std::min(p[a] - double(m.getMin()[a]), double(m.getMax()[a]) - p[a]));
    best = std::max(best, in);
  }
  return std::min(d, best);
}

float referenceValue(double raw, const KEXSampleTransferSpec& tr)
{
  if (std::isnan(raw))
    return -FLT_MAX;
  if (tr.isIdentity())
    return float(raw);
  return float(raw) * float(tr.scale) + float(tr.offset);
}

std::vector<KEXSampleMask> randomMasks(std::mt19937& rng, const KEXGrid& g)
{
  std::vector<KEXSampleMask> masks;
  int count = std::uniform_int_distribution<int>(1, 3)(rng);
  KEXInterval<KEXVector3<double>> e = g.getExtent();
  for (int m = 0; m < count; ++m) {
    KEXVector3<float> lo, hi;
    for (int a = 0; a < 3; ++a) {
      std::uniform_real_distribution<double> u(e.getMin()[a] - 1.0, e.getMax()[a] + 1.0);
      double x = u(rng), y = u(rng);
      lo[a] = float(std::min(x, y));
      hi[a] = float(std::max(x, y));
    }
    masks.emplace_back(lo, hi);
  }
  return masks;
}

long live() { return kexTest::liveAllocations(); }

} // namespace

TEST(GridReadCache, LinesMatchReferenceOnRandomGrids)
{
  std::mt19937 rng(7);
  int checked = 0;
  for (int trial = 0; trial < 320; ++trial) {
    KEXSampleType t = kTypes[trial % 4];
    bool bigEndian = (trial / 4) % 2 == 1;
    bool withMasks = (trial / 8) % 2 == 1;
    SCOPED_TRACE(trial);
    RandomGrid g;
    makeRandomGrid(rng, t, bigEndian, g);
    ASSERT_EQ(g.grid.isBigEndian(), bigEndian);
    for (int k = 0; k < g.n[2]; ++k)
      for (int j = 0; j < g.n[1]; ++j)
        for (int i = 0; i < g.n[0]; ++i) {
          double s = g.grid.getSample(i, j, k);
          ASSERT_TRUE(std::isnan(g.at(i, j, k)) ? std::isnan(s) : s == g.at(i, j, k));
        }
    KEXSampleTransferSpec tr;
    if (trial % 3 != 0) {
      tr.scale = std::uniform_real_distribution<double>(-2.0, 2.0)(rng);
      tr.offset = std::uniform_real_distribution<double>(-10.0, 10.0)(rng);
    }
    std::vector<KEXSampleMask> masks = withMasks ? randomMasks(rng, g.grid) : std::vector<KEXSampleMask>();
    KEXGridReadCache cache;
    ASSERT_TRUE(cache.setSource(g.grid, tr, masks.data(), int(masks.size())));
    KEXGridFilterAction::ReadAccessHandle access;
    ASSERT_TRUE(access.beginAccess(g.grid));
    for (int w = 0; w < 6; ++w) {
      int L = std::uniform_int_distribution<int>(1, g.n[0] + 2)(rng);
      int C = std::uniform_int_distribution<int>(1, g.n[1] + 2)(rng);
      int x0 = std::uniform_int_distribution<int>(-1, g.n[0] + 1 - L)(rng);
      int y0 = std::uniform_int_distribution<int>(-1, g.n[1] + 1 - C)(rng);
      int z = std::uniform_int_distribution<int>(-1, g.n[2])(rng);
      KEXGridReadCache::Lines lines;
      ASSERT_TRUE(cache.allocLines(lines, L, C));
      ASSERT_TRUE(cache.fetchLines(access, lines, x0, y0, z));
      for (int l = 0; l < C; ++l)
        for (int i = 0; i < L; ++i) {
          int x = x0 + i, y = y0 + l;
          double raw = g.at(std::clamp(x, 0, g.n[0] - 1), std::clamp(y, 0, g.n[1] - 1), std::clamp(z, 0, g.n[2] - 1));
          float v = lines.values[l * L + i], ref = referenceValue(raw, tr);
          ASSERT_NEAR(v, ref, 1e-5 * std::max(1.0f, std::fabs(ref))) << x << " " << y << " " << z;
          double sec = referenceSecond(g.grid, masks, x, y, z);
          ASSERT_NEAR(lines.seconds[l * L + i], sec, 1e-5 * std::max(1.0, std::fabs(sec)));
          if (x < 0 || y < 0 || z < 0 || x >= g.n[0] || y >= g.n[1] || z >= g.n[2]) {
            ASSERT_LT(lines.seconds[l * L + i], 0.0f);
          }
          ++checked;
        }
      cache.releaseData(lines);
      EXPECT_EQ(lines.values, nullptr);
    }
    for (int a = 0; a < 3; ++a)
      for (int i = -1; i <= g.n[a]; ++i)
        ASSERT_DOUBLE_EQ(cache.getPosition(a, i), paddedPosition(g.grid, a, i));
  }
  EXPECT_GT(checked, 1000);
}

TEST(GridReadCache, ConcurrentFetchEqualsSerial)
{
  std::mt19937 rng(11);
  KEXGrid grid;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 9, 7, 8, {0.0, 0.0, 0.0}, {0.5, 0.75, 1.0},
                                             [](double x, double y, double z) { return x * x + y - z; }));
  std::vector<KEXSampleMask> masks = randomMasks(rng, grid);
  KEXGridReadCache cache;
  ASSERT_TRUE(cache.setSource(grid, {2.0, -1.0}, masks.data(), int(masks.size())));
  KEXGridFilterAction::ReadAccessHandle access;
  ASSERT_TRUE(access.beginAccess(grid));
  const int L = 11, C = 9, planes = 10;
  auto fetchAll = [&](std::vector<float>& out) {
    KEXGridReadCache::Lines lines;
    if (!cache.allocLines(lines, L, C))
      return false;
    bool ok = true;
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
  ASSERT_EQ(serial.size(), size_t(2 * L * C * planes));
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int r = 0; r < 20; ++r) {
        std::vector<float> out;
        if (fetchAll(out) && out == serial)
          ++ok;
      }
    });
  for (std::thread& th : threads)
    th.join();
  EXPECT_EQ(ok.load(), 80);
}

TEST(GridReadCache, RefusesWithoutAccessOrBeyondPadding)
{
  KEXGrid grid, other;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 4, 3, 2, {0, 0, 0}, {1, 1, 1}, [](double x, double, double) { return x; }));
  ASSERT_TRUE(other.create(KEXSampleType::UInt8, 2, 2, 2));
  KEXGridReadCache cache;
  ASSERT_TRUE(cache.setSource(grid, {}, nullptr, 0));
  KEXGridReadCache::Lines lines;
  ASSERT_TRUE(cache.allocLines(lines, 6, 5));
  KEXGridFilterAction::ReadAccessHandle access;
  EXPECT_FALSE(cache.fetchLines(access, lines, -1, -1, 0)); // no access
  ASSERT_TRUE(access.beginAccess(other));
  EXPECT_FALSE(cache.fetchLines(access, lines, -1, -1, 0)); // access to another grid
  ASSERT_TRUE(access.beginAccess(grid));
  EXPECT_EQ(other.getReadAccessCount(), 0);
  EXPECT_TRUE(cache.fetchLines(access, lines, -1, -1, -1));
  EXPECT_TRUE(cache.fetchLines(access, lines, -1, -1, 2));
  struct Bad { int x0, y0, z; } bad[] = {{-2, -1, 0}, {0, -1, 0}, {-1, -2, 0}, {-1, 0, 0}, {-1, -1, -2}, {-1, -1, 3}};
  for (const Bad& b : bad)
    EXPECT_FALSE(cache.fetchLines(access, lines, b.x0, b.y0, b.z)) << b.x0 << " " << b.y0 << " " << b.z;
  cache.releaseData(lines);
}

TEST(GridReadCache, StoreDataWritesOwnedFloatGridsOnly)
{
  KEXGrid grid;
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 5, 4, 3, {0, 0, 0}, {1, 1, 1},
                                             [](double x, double y, double z) { return x + 10 * y + 100 * z; }));
  KEXGridReadCache cache;
  ASSERT_TRUE(cache.setSource(grid, {}, nullptr, 0));
  KEXGridReadCache::Lines lines;
  ASSERT_TRUE(cache.allocLines(lines, 3, 2));
  for (int i = 0; i < 6; ++i)
    lines.values[i] = -float(i + 1);
  uint64_t before = grid.getModificationTime();
  ASSERT_TRUE(cache.storeData(lines, grid, 1, 2, 1));
  EXPECT_GT(grid.getModificationTime(), before);
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 4; ++j)
      for (int i = 0; i < 5; ++i) {
        bool written = k == 1 && j >= 2 && i >= 1 && i <= 3;
        double expected = written ? -double((j - 2) * 3 + (i - 1) + 1) : i + 10 * j + 100 * k;
        EXPECT_EQ(grid.getSample(i, j, k), expected);
      }
  EXPECT_FALSE(cache.storeData(lines, grid, 3, 0, 0));
  EXPECT_FALSE(cache.storeData(lines, grid, -1, 0, 0));
  EXPECT_FALSE(cache.storeData(lines, grid, 0, 3, 0));
  EXPECT_FALSE(cache.storeData(lines, grid, 0, 0, 3));
  KEXGrid bytes;
  ASSERT_TRUE(bytes.create(KEXSampleType::UInt8, 5, 4, 3));
  EXPECT_FALSE(cache.storeData(lines, bytes, 0, 0, 0));
  std::vector<float> mem(60, 0.0f);
  KEXGrid attached;
  ASSERT_TRUE(attached.attach(KEXSampleType::Float32, 5, 4, 3, mem.data(), mem.size() * 4, false, nullptr, nullptr));
  EXPECT_FALSE(cache.storeData(lines, attached, 0, 0, 0));
  cache.releaseData(lines);
}

TEST(GridReadCache, AllocationFailuresLeaveNothingBehind)
{
  KEXGrid grid;
  ASSERT_TRUE(grid.create(KEXSampleType::Int16, 3, 3, 3));
  KEXSampleMask mask(KEXVector3<float>(0, 0, 0), KEXVector3<float>(1, 1, 1));
  long base = live();
  for (long n = 1; n <= 2; ++n) {
    KEXGridReadCache cache;
    KEXGridReadCache::Lines lines;
    {
      kexTest::AllocationFault fault(n);
      EXPECT_FALSE(cache.allocLines(lines, 4, 4)) << n;
      EXPECT_TRUE(fault.fired());
    }
    EXPECT_EQ(lines.values, nullptr);
    EXPECT_EQ(lines.seconds, nullptr);
    EXPECT_EQ(live(), base);
  }
  bool succeeded = false;
  for (long n = 1; n < 20 && !succeeded; ++n) {
    KEXGridReadCache cache;
    {
      kexTest::AllocationFault fault(n);
      succeeded = cache.setSource(grid, {}, &mask, 1);
      EXPECT_EQ(succeeded, !fault.fired()) << n;
    }
    KEXGridFilterAction::ReadAccessHandle access;
    ASSERT_TRUE(access.beginAccess(grid));
    KEXGridReadCache::Lines lines;
    ASSERT_TRUE(cache.allocLines(lines, 1, 1));
    EXPECT_EQ(cache.fetchLines(access, lines, 0, 0, 0), succeeded);
    cache.releaseData(lines);
  }
  EXPECT_TRUE(succeeded);
  EXPECT_EQ(live(), base);
}

TEST(GridDispatcher, RangesPartitionTheRegionOnce)
{
  std::mt19937 rng(3);
  for (int trial = 0; trial < 60; ++trial) {
    SCOPED_TRACE(trial);
    KEXGrid grid;
    int n[3];
    for (int& s : n)
      s = std::uniform_int_distribution<int>(1, 9)(rng);
    ASSERT_TRUE(grid.create(KEXSampleType::UInt8, n[0], n[1], n[2]));
    Dispatcher d;
    d.setGrid(grid);
    d.setRangeLayers(std::uniform_int_distribution<int>(0, 5)(rng));
    EXPECT_GE(d.getRangeLayers(), 1);
    KEXGridFilterAction::BoundingBoxList boxes;
    int count = std::uniform_int_distribution<int>(0, 3)(rng);
    // Brute-force bounding box of the clipped union.
    KEXVector3<int> lo(INT_MAX, INT_MAX, INT_MAX), hi(INT_MIN, INT_MIN, INT_MIN), firstCell;
    for (int b = 0; b < count; ++b) {
      KEXVector3<int> a, c;
      for (int ax = 0; ax < 3; ++ax) {
        int x = std::uniform_int_distribution<int>(-4, n[ax] + 3)(rng), y = std::uniform_int_distribution<int>(-4, n[ax] + 3)(rng);
        a[ax] = std::min(x, y);
        c[ax] = std::max(x, y);
      }
      ASSERT_TRUE(boxes.append(CellBox(a, c)));
      bool inside = true;
      KEXVector3<int> cl, ch;
      for (int ax = 0; ax < 3; ++ax) {
        cl[ax] = std::max(a[ax], -1);
        ch[ax] = std::min(c[ax], n[ax] - 1);
        inside = inside && cl[ax] <= ch[ax];
      }
      if (inside && lo.x > hi.x)
        firstCell = cl;
      if (inside)
        for (int ax = 0; ax < 3; ++ax) {
          lo[ax] = std::min(lo[ax], cl[ax]);
          hi[ax] = std::max(hi[ax], ch[ax]);
        }
    }
    ASSERT_TRUE(d.addRegionOfInterest(boxes));
    CellBox roi = d.getRegionOfInterest();
    bool empty = lo.x > hi.x;
    ASSERT_EQ(roi.isEmpty(), empty);
    if (!empty) {
      EXPECT_EQ(roi.getMin(), lo);
      EXPECT_EQ(roi.getMax(), hi);
      EXPECT_EQ(d.getRegionOfInterestArea(), double(hi.x - lo.x + 1) * (hi.y - lo.y + 1) * (hi.z - lo.z + 1));
    } else {
      EXPECT_EQ(d.getRangeCount(), 0);
    }
    // Three threads take ranges; each index is handed out exactly once.
    std::vector<std::atomic<int>> handed(size_t(std::max(1, d.getRangeCount())));
    std::vector<std::vector<KEXGridFilterAction::WorkRange>> taken(3);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
      threads.emplace_back([&, t] {
        KEXGridFilterAction::WorkRange r;
        while (d.requestWorkRange(r) == Dispatcher::Granted) {
          ++handed[size_t(r.index)];
          taken[size_t(t)].push_back(r);
        }
      });
    for (std::thread& th : threads)
      th.join();
    for (int i = 0; i < d.getRangeCount(); ++i)
      EXPECT_EQ(handed[size_t(i)].load(), 1) << i;
    // Every cell of the region's box is in exactly one range's region, and no other cell is.
    std::vector<int> cover(size_t((n[0] + 1) * (n[1] + 1) * (n[2] + 1)), 0);
    for (const auto& list : taken)
      for (const KEXGridFilterAction::WorkRange& r : list) {
        CellBox reg;
        ASSERT_TRUE(d.getRegion(r, reg));
        for (int z = reg.getMin().z; z <= reg.getMax().z; ++z)
          for (int y = reg.getMin().y; y <= reg.getMax().y; ++y)
            for (int x = reg.getMin().x; x <= reg.getMax().x; ++x)
              ++cover[size_t((x + 1) + (n[0] + 1) * ((y + 1) + (n[1] + 1) * (z + 1)))];
      }
    for (int z = -1; z < n[2]; ++z)
      for (int y = -1; y < n[1]; ++y)
        for (int x = -1; x < n[0]; ++x) {
          bool in = !empty && x >= lo.x && x <= hi.x && y >= lo.y && y <= hi.y && z >= lo.z && z <= hi.z;
          ASSERT_EQ(cover[size_t((x + 1) + (n[0] + 1) * ((y + 1) + (n[1] + 1) * (z + 1)))], in ? 1 : 0);
        }
    KEXGridFilterAction::WorkRange r;
    EXPECT_EQ(d.requestWorkRange(r), Dispatcher::Finished);
    d.reset();
    if (!empty) {
      ASSERT_EQ(d.requestWorkRange(r), Dispatcher::Granted);
      EXPECT_EQ(r.index, 0);
      KEXGridFilterAction::WorkRange bogus = r;
      bogus.z0 += 1;
      CellBox reg;
      EXPECT_FALSE(d.getRegion(bogus, reg));
      bogus.index = d.getRangeCount();
      EXPECT_FALSE(d.getRegion(bogus, reg));
      // Intersection with one cell of the region keeps just that cell.
      KEXGridFilterAction::BoundingBoxList one;
      ASSERT_TRUE(one.append(CellBox(firstCell, firstCell)));
      ASSERT_TRUE(d.intersectRegionOfInterest(one));
      EXPECT_EQ(d.getRegionOfInterest().getMin(), firstCell);
      EXPECT_EQ(d.getRegionOfInterest().getMax(), firstCell);
      EXPECT_EQ(d.getRangeCount(), 1);
    }
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
  KEXGridFilterAction::BoundingBoxList boxes, more, cut;
  ASSERT_TRUE(boxes.append(CellBox(KEXVector3<int>(0, 0, 0), KEXVector3<int>(2, 2, 2))));
  ASSERT_TRUE(more.append(CellBox(KEXVector3<int>(3, 3, 3), KEXVector3<int>(9, 9, 9))));
  ASSERT_TRUE(cut.append(CellBox(KEXVector3<int>(1, 1, 1), KEXVector3<int>(4, 4, 4))));
  EXPECT_FALSE(d.addRegionOfInterest(boxes)); // no grid yet
  d.setGrid(grid);
  {
    kexTest::AllocationFault fault(1);
    EXPECT_FALSE(d.addRegionOfInterest(boxes));
  }
  EXPECT_TRUE(d.getRegionOfInterest().isEmpty());
  ASSERT_TRUE(d.addRegionOfInterest(boxes));
  {
    // The grown copy of the region is the only allocation (its block has room for the box).
    kexTest::AllocationFault fault(1);
    EXPECT_FALSE(d.addRegionOfInterest(more));
    EXPECT_TRUE(fault.fired());
    EXPECT_EQ(d.getRegionOfInterest().getMax(), KEXVector3<int>(2, 2, 2));
  }
  ASSERT_TRUE(d.addRegionOfInterest(more));
  EXPECT_EQ(d.getRegionOfInterest().getMax(), KEXVector3<int>(5, 5, 5)); // clipped to the cells
  {
    kexTest::AllocationFault fault(1);
    EXPECT_FALSE(d.intersectRegionOfInterest(cut));
  }
  EXPECT_EQ(d.getRegionOfInterest().getMin(), KEXVector3<int>(0, 0, 0));
  ASSERT_TRUE(d.intersectRegionOfInterest(cut));
  EXPECT_EQ(d.getRegionOfInterest().getMin(), KEXVector3<int>(1, 1, 1));
  EXPECT_EQ(d.getRegionOfInterest().getMax(), KEXVector3<int>(4, 4, 4));
  d.setGrid(grid);
  EXPECT_TRUE(d.getRegionOfInterest().isEmpty());
}

TEST(Grid, RefusesAbsurdSizesAndKeepsTheGrid)
{
  struct Size { int nx, ny, nz; } sizes[] = {
      {0, 1, 1}, {1, 0, 1}, {1, 1, 0}, {-1, 2, 2}, {2, -5, 2}, {INT_MAX, INT_MAX, INT_MAX},
      {1 << 20, 1 << 20, 2}, {1 << 14, 1 << 13, 1 << 14}};
  KEXGrid grid;
  ASSERT_TRUE(grid.create(KEXSampleType::UInt16, 2, 3, 4));
  unsigned char buffer[64] = {};
  for (const Size& s : sizes) {
    uint64_t stamp = grid.getModificationTime();
    long base = live();
    EXPECT_FALSE(grid.create(KEXSampleType::UInt8, s.nx, s.ny, s.nz));
    EXPECT_FALSE(grid.attach(KEXSampleType::UInt8, s.nx, s.ny, s.nz, buffer, sizeof buffer, false, nullptr, nullptr));
    EXPECT_EQ(live(), base);
    EXPECT_EQ(grid.getSize(), KEXVector3<int>(2, 3, 4));
    EXPECT_EQ(grid.getModificationTime(), stamp);
  }
  EXPECT_FALSE(grid.attach(KEXSampleType::UInt16, 4, 4, 4, buffer, sizeof buffer, false, nullptr, nullptr));
  EXPECT_EQ(grid.getSampleType(), KEXSampleType::UInt16);
}

TEST(Grid, AllocationFailuresReportAndLeaveTheGridUnchanged)
{
  KEXGrid grid;
  ASSERT_TRUE(grid.create(KEXSampleType::UInt8, 2, 2, 2));
  long base = live();
  for (long n = 1; n <= 4; ++n) {
    kexTest::ErrorCapture errors;
    uint64_t stamp = grid.getModificationTime();
    {
      kexTest::AllocationFault fault(n);
      EXPECT_FALSE(grid.create(KEXSampleType::Float32, 3, 4, 5)) << n;
    }
    EXPECT_TRUE(errors.has(KEX::OutOfMemory));
    EXPECT_EQ(grid.getSize(), KEXVector3<int>(2, 2, 2));
    EXPECT_EQ(grid.getModificationTime(), stamp);
    EXPECT_EQ(live(), base);
  }
  unsigned char buffer[8] = {};
  int released = 0;
  auto release = [](void* c, const void*, size_t) { ++*static_cast<int*>(c); };
  {
    kexTest::AllocationFault fault(1);
    EXPECT_FALSE(grid.attach(KEXSampleType::UInt8, 2, 2, 2, buffer, 8, false, release, &released));
  }
  EXPECT_EQ(released, 0);
  EXPECT_EQ(live(), base);
  // Copy: the copy is empty and the failure reported.
  for (long n = 1; n <= 4; ++n) {
    kexTest::ErrorCapture errors;
    {
      kexTest::AllocationFault fault(n);
      KEXGrid copy(grid);
      EXPECT_TRUE(copy.isEmpty()) << n;
    }
    EXPECT_TRUE(errors.has(KEX::OutOfMemory));
    EXPECT_EQ(live(), base);
  }
  // Assignment: the target keeps what it had.
  KEXGrid target;
  ASSERT_TRUE(target.create(KEXSampleType::Int16, 1, 2, 1));
  base = live();
  for (long n = 1; n <= 4; ++n) {
    kexTest::ErrorCapture errors;
    uint64_t stamp = target.getModificationTime();
    {
      kexTest::AllocationFault fault(n);
      target = grid;
    }
    EXPECT_TRUE(errors.has(KEX::OutOfMemory)) << n;
    EXPECT_EQ(target.getSize(), KEXVector3<int>(1, 2, 1));
    EXPECT_EQ(target.getSampleType(), KEXSampleType::Int16);
    EXPECT_EQ(target.getModificationTime(), stamp);
    EXPECT_EQ(live(), base);
  }
  double p[2] = {0.0, 5.0};
  {
    kexTest::ErrorCapture errors;
    kexTest::AllocationFault fault(1);
    EXPECT_FALSE(grid.setPositions(1, p));
    EXPECT_TRUE(errors.has(KEX::OutOfMemory));
  }
  EXPECT_EQ(grid.getPosition(1, 1), 1.0);
  EXPECT_EQ(live(), base);
}

TEST(Grid, AttachedStorageIsReleasedExactlyOnce)
{
  static int released = 0;
  static const void* lastData = nullptr;
  auto release = [](void* c, const void* d, size_t) { ++*static_cast<int*>(c); lastData = d; };
  unsigned char a[8] = {}, b[8] = {};
  enum End { Create, Attach, Clear, Destroy };
  for (End e : {Create, Attach, Clear, Destroy}) {
    released = 0;
    {
      KEXGrid grid;
      ASSERT_TRUE(grid.attach(KEXSampleType::UInt8, 2, 2, 2, a, 8, false, release, &released));
      EXPECT_FALSE(grid.attach(KEXSampleType::UInt8, 2, 2, 2, b, 4, false, release, &released)); // too small
      EXPECT_EQ(released, 0);
      EXPECT_EQ(grid.getWritableData(), nullptr);
      EXPECT_EQ(grid.getData(), a);
      if (e == Create) {
        ASSERT_TRUE(grid.create(KEXSampleType::UInt8, 1, 1, 1));
      }
      if (e == Attach) {
        ASSERT_TRUE(grid.attach(KEXSampleType::UInt8, 2, 1, 1, b, 2, false, nullptr, nullptr));
      }
      if (e == Clear) {
        grid.clear();
        EXPECT_TRUE(grid.isEmpty());
        grid.clear();
      }
      if (e != Destroy) {
        EXPECT_EQ(released, 1);
      }
    }
    EXPECT_EQ(released, 1) << e;
    EXPECT_EQ(lastData, a);
  }
}

TEST(Grid, OpenReadAccessBlocksLayoutChanges)
{
  KEXGrid grid;
  KEXGridFilterAction::ReadAccessHandle access;
  EXPECT_FALSE(access.beginAccess(grid)); // empty
  ASSERT_TRUE(grid.create(KEXSampleType::UInt8, 2, 3, 2));
  unsigned char buffer[12] = {};
  int released = 0;
  auto release = [](void* c, const void*, size_t) { ++*static_cast<int*>(c); };
  double p[3] = {0.0, 1.0, 3.0};
  {
    KEXGridFilterAction::ReadAccessHandle second;
    ASSERT_TRUE(access.beginAccess(grid));
    ASSERT_TRUE(second.beginAccess(grid));
    EXPECT_EQ(grid.getReadAccessCount(), 2);
    EXPECT_EQ(access.getGrid(), &grid);
    EXPECT_FALSE(grid.create(KEXSampleType::UInt8, 4, 4, 4));
    EXPECT_FALSE(grid.attach(KEXSampleType::UInt8, 2, 3, 2, buffer, 12, false, release, &released));
    EXPECT_FALSE(grid.setPositions(1, p));
    EXPECT_FALSE(grid.setUniformPositions({0, 0, 0}, {2, 2, 2}));
    grid.clear();
    EXPECT_FALSE(grid.isEmpty());
    EXPECT_EQ(released, 0);
  }
  EXPECT_EQ(grid.getReadAccessCount(), 1);
  access.endAccess();
  EXPECT_EQ(grid.getReadAccessCount(), 0);
  EXPECT_TRUE(grid.setPositions(1, p));
  {
    KEXGridFilterAction::LockScope lock(grid);
    EXPECT_EQ(grid.getSize(), KEXVector3<int>(2, 3, 2));
  }
  EXPECT_TRUE(grid.create(KEXSampleType::UInt8, 4, 4, 4));
}

TEST(Grid, EveryChangeTakesANewerStamp)
{
  KEXGrid grid;
  unsigned char buffer[8] = {};
  double p[2] = {0.0, 0.5};
  KEXMatrix4<double> m(2.0);
  std::vector<std::function<bool()>> changes = {
      [&] { return grid.create(KEXSampleType::UInt8, 2, 2, 2); },
      [&] { return grid.setUniformPositions({1, 2, 3}, {0.5, 0.5, 0.5}); },
      [&] { return grid.setPositions(0, p); },
      [&] { grid.setGridToObjectTransform(m); return true; },
      [&] { grid.samplesChanged(); return true; },
      [&] { return grid.attach(KEXSampleType::UInt8, 2, 2, 2, buffer, 8, false, nullptr, nullptr); },
      [&] { grid.clear(); return true; },
  };
  uint64_t last = grid.getModificationTime();
  for (size_t i = 0; i < changes.size(); ++i) {
    ASSERT_TRUE(changes[i]()) << i;
    EXPECT_GT(grid.getModificationTime(), last) << i;
    last = grid.getModificationTime();
  }
}

TEST(Grid, PositionsExtentAndCopies)
{
  KEXGrid grid;
  EXPECT_TRUE(grid.isEmpty());
  EXPECT_TRUE(grid.getExtent().isEmpty());
  EXPECT_EQ(grid.getData(), nullptr);
  EXPECT_EQ(grid.getGridToObjectTransform(), KEXMatrix4<double>(1.0));
  ASSERT_TRUE(grid.create(KEXSampleType::Int16, 3, 1, 4));
  EXPECT_EQ(grid.getSampleCount(), 12u);
  EXPECT_EQ(grid.getSample(2, 0, 3), 0.0);
  EXPECT_DOUBLE_EQ(grid.getSamplingDistance(), 1.0);
  ASSERT_TRUE(grid.setUniformPositions({1, 2, 3}, {0.5, 2.0, 0.25}));
  EXPECT_TRUE(grid.isUniform());
  EXPECT_EQ(grid.getOrigin(), KEXVector3<double>(1, 2, 3));
  EXPECT_DOUBLE_EQ(grid.getPosition(2, 3), 3.75);
  EXPECT_DOUBLE_EQ(grid.getSamplingDistance(), 0.25);
  EXPECT_EQ(grid.getExtent().getMax(), KEXVector3<double>(2.0, 2.0, 3.75));
  struct Bad { KEXVector3<double> o, s; } bad[] = {{{0, 0, 0}, {0, 1, 1}}, {{0, 0, 0}, {1, -1, 1}},
                                                  {{0, NAN, 0}, {1, 1, 1}}, {{0, 0, 0}, {1, 1, INFINITY}}};
  for (const Bad& b : bad)
    EXPECT_FALSE(grid.setUniformPositions(b.o, b.s));
  double dec[4] = {0, 1, 1, 2}, nan4[4] = {0, 1, NAN, 3}, ok[4] = {0, 0.1, 1, 5};
  EXPECT_FALSE(grid.setPositions(2, dec));
  EXPECT_FALSE(grid.setPositions(2, nan4));
  EXPECT_FALSE(grid.setPositions(3, ok));
  ASSERT_TRUE(grid.setPositions(2, ok));
  EXPECT_FALSE(grid.isUniform());
  EXPECT_DOUBLE_EQ(grid.getSamplingDistance(), 0.1);
  EXPECT_EQ(grid.getPositions(2)[3], 5.0);

  // A copy of big-endian attached samples owns them in native order.
  std::vector<unsigned char> bytes(24);
  for (int i = 0; i < 12; ++i)
    encode(double(i * 1000 - 5000), KEXSampleType::Int16, true, bytes.data() + 2 * i);
  KEXGrid attached;
  ASSERT_TRUE(attached.attach(KEXSampleType::Int16, 3, 1, 4, bytes.data(), bytes.size(), true, nullptr, nullptr));
  ASSERT_TRUE(attached.setPositions(2, ok));
  attached.setGridToObjectTransform(KEXMatrix4<double>(3.0));
  KEXGrid copy(attached);
  EXPECT_FALSE(copy.isBigEndian());
  EXPECT_NE(copy.getWritableData(), nullptr);
  EXPECT_EQ(copy.getGridToObjectTransform(), KEXMatrix4<double>(3.0));
  grid = attached;
  for (const KEXGrid* g : {&copy, &grid}) {
    EXPECT_EQ(g->getPositions(2)[1], 0.1);
    for (int k = 0; k < 4; ++k)
      for (int i = 0; i < 3; ++i)
        EXPECT_EQ(g->getSample(i, 0, k), attached.getSample(i, 0, k));
  }
  EXPECT_EQ(attached.getSample(1, 0, 1), 4 * 1000 - 5000);
  std::memset(bytes.data(), 0, bytes.size());
  EXPECT_EQ(copy.getSample(1, 0, 1), 4 * 1000 - 5000);

  KEXClass* made = KEXGrid::metaClass().create();
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(&made->getMetaClass(), &KEXGrid::metaClass());
  EXPECT_TRUE(KEXGrid::metaClass().destruct(made, true));
  EXPECT_EQ(KEXMetaClass::find("KEXGrid"), &KEXGrid::metaClass());
}

TEST(Grid, FloatGridHelperSamplesTheFunction)
{
  KEXGrid grid;
  auto f = [](double x, double y, double z) { return std::sin(x) + y * z; };
  ASSERT_TRUE(kexgeometrytest::makeFloatGrid(grid, 4, 5, 3, {-1, 0, 2}, {0.5, 0.25, 1}, f));
  double pz[3] = {0, 2, 7};
  ASSERT_TRUE(grid.setPositions(2, pz));
  ASSERT_TRUE(kexgeometrytest::fillFloatGrid(grid, f));
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 5; ++j)
      for (int i = 0; i < 4; ++i)
        EXPECT_EQ(grid.getSample(i, j, k), double(float(f(-1 + 0.5 * i, 0.25 * j, pz[k]))));
  KEXGrid bytes;
  ASSERT_TRUE(bytes.create(KEXSampleType::UInt8, 1, 1, 1));
  EXPECT_FALSE(kexgeometrytest::fillFloatGrid(bytes, f));
}
