// Volume file handlers: small writers of this test produce INR (plain and gzip-compressed), raw,
// NRRD (attached and detached, raw and gzip) and MetaImage (attached, compressed, detached) files
// for every sample type and byte order from random grids, and each read must give back every
// sample, the spacing and the origin. The real volumes of data/ read with their declared sizes, and a
// table of broken files must each fail with the expected kind and a message naming the file.
#include "kexmesh/io/GridIO.h"
#include "support/TemporaryFiles.h"
#include "support/Volumes.h"

#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

using kexmeshtest::tempPath;
using kexmeshtest::writeFile;
using Report = KEXGeometryIO::Report;

namespace {

struct HandlerDeleter {
  void operator()(KEXGridIO* h) const { KEXGridIO::destroy(h); }
};
using Handler = std::unique_ptr<KEXGridIO, HandlerDeleter>;

Handler handler(const char* className)
{
  Handler h(KEXGridIO::create(className));
  EXPECT_NE(h, nullptr) << className;
  return h;
}

// A source volume: raw sample values in double (each exactly representable in its type).
struct Volume {
  KEXSampleType type;
  int nx, ny, nz;
  double sx, sy, sz;
  std::vector<double> values;
  double origin[3] = {0, 0, 0};
  std::string bytes(bool big) const { return kexmeshtest::encodeSamples(values, type, big); }
};

Volume randomVolume(std::mt19937& rng, KEXSampleType type, int minDim = 1, int maxDim = 7)
{
  std::uniform_int_distribution<int> dim(minDim, maxDim);
  std::uniform_real_distribution<double> spacing(0.1, 4.0);
  Volume v{type, dim(rng), dim(rng), dim(rng), spacing(rng), spacing(rng), spacing(rng), {}};
  v.values.resize(size_t(v.nx) * v.ny * v.nz);
  for (double& x : v.values)
    x = kexmeshtest::randomSample(rng, type, 1e6);
  return v;
}

// An INR header with the given lines, "##}" and padding to a whole number of 256-byte blocks.
std::string inrHeader(const std::string& lines)
{
  std::string h = "#INRIMAGE-4#{\n" + lines;
  h.append((h.size() + 4 + 255) / 256 * 256 - h.size() - 4, '\n');
  return h + "##}\n";
}

std::string inrLines(const Volume& v, bool bigEndian)
{
  static const char* const types[] = {"unsigned fixed", "signed fixed", "unsigned fixed", "float"};
  static const int bits[] = {8, 16, 16, 32};
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "XDIM=%d\nYDIM=%d\nZDIM=%d\nVDIM=1\nTYPE=%s\nPIXSIZE=%d bits\nSCALE=2**0\nCPU=%s\nVX=%.17g\nVY=%.17g\n"
                "VZ=%.17g\n#GEOMETRY=CARTESIAN\n",
                v.nx, v.ny, v.nz, types[int(v.type)], bits[int(v.type)], bigEndian ? "sun" : "decm", v.sx, v.sy, v.sz);
  return buf;
}

// data deflated by zlib: windowBits 31 wraps it as a gzip member, 15 as the zlib stream of a
// compressed MetaImage. Level 0 gives stored blocks, so a cut lands inside the samples.
std::string deflated(const std::string& data, int windowBits, int level)
{
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, uLong(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = uInt(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}
std::string gzipStored(const std::string& data) { return deflated(data, 31, 0); }
std::string gzipped(const std::string& data) { return deflated(data, 31, 6); }
std::string zlibOf(const std::string& data) { return deflated(data, 15, 6); }

void expectSamples(const KEXGrid& g, const Volume& v, const std::string& what)
{
  const int size[3] = {v.nx, v.ny, v.nz};
  const double spacing[3] = {v.sx, v.sy, v.sz};
  ASSERT_EQ(g.getSampleType(), v.type) << what;
  for (int a = 0; a < 3; ++a)
    ASSERT_EQ(g.getSize()[a], size[a]) << what;
  size_t mismatches = 0;
  for (int k = 0; k < v.nz; ++k)
    for (int j = 0; j < v.ny; ++j)
      for (int i = 0; i < v.nx; ++i)
        mismatches += g.getSample(i, j, k) != v.values[(size_t(k) * v.ny + j) * v.nx + i];
  EXPECT_EQ(mismatches, 0u) << what;
  for (int a = 0; a < 3; ++a) {
    EXPECT_DOUBLE_EQ(g.getPosition(a, 0), v.origin[a]) << what;
    if (size[a] > 1) {
      EXPECT_NEAR(g.getPosition(a, size[a] - 1), v.origin[a] + spacing[a] * (size[a] - 1),
                  1e-9 * (spacing[a] * size[a] + std::fabs(v.origin[a])))
          << what;
    }
  }
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string threeNumbers(const std::string& format, double a, double b, double c)
{
  char buf[200];
  std::snprintf(buf, sizeof buf, format.c_str(), a, b, c);
  return buf;
}

// A NRRD header of v, its optional fields and their spellings varied by round; extra ends it.
std::string nrrdHeader(const Volume& v, bool big, int round, const std::string& extra)
{
  static const char* const names[4][3] = {{"uchar", "uint8", "unsigned char"},
                                          {"short", "int16", "signed short"},
                                          {"ushort", "uint16", "unsigned short int"},
                                          {"float", "float", "float"}};
  std::string h = "NRRD000" + std::to_string(1 + round % 5) + "\n# a comment\ntype: " + names[int(v.type)][round % 3] +
                  "\ndimension: 3\nsizes: " + std::to_string(v.nx) + " " + std::to_string(v.ny) + " " +
                  std::to_string(v.nz) + "\nkex note:=a value: ignored\n";
  if (round % 2)
    h += threeNumbers("spacings: %.17g %.17g %.17g\n", v.sx, v.sy, v.sz);
  else
    h += "space: right-anterior-superior\n" +
         threeNumbers("space directions: (%.17g,0,0) (0, %.17g, 0) (0,0,%.17g)\n", v.sx, v.sy, v.sz) +
         threeNumbers("space origin: (%.17g,%.17g,%.17g)\n", v.origin[0], v.origin[1], v.origin[2]);
  if (v.type != KEXSampleType::UInt8 || round % 2 || big) // a byte needs no order
    h += big ? "endian: big\n" : "endian: little\n";
  return h + extra;
}

// A MetaImage header of v, its optional fields and their spellings varied by round; extra ends it.
std::string metaHeader(const Volume& v, bool big, int round, const std::string& extra)
{
  static const char* const types[] = {"MET_UCHAR", "MET_SHORT", "MET_USHORT", "MET_FLOAT"};
  static const char* const origins[] = {"Offset", "Origin", "Position"};
  return std::string("ObjectType = Image\nNDims = 3\nBinaryData = True\n") +
         (round % 2 ? "BinaryDataByteOrderMSB = " : "ElementByteOrderMSB = ") + (big ? "True" : "False") +
         "\nTransformMatrix = 1 0 0 0 1 0 0 0 1\n" +
         threeNumbers(origins[round % 3] + std::string(" = %.17g %.17g %.17g\n"), v.origin[0], v.origin[1],
                      v.origin[2]) +
         threeNumbers(round % 2 ? "ElementSpacing = %.17g %.17g %.17g\n" : "ElementSize = %.17g %.17g %.17g\n", v.sx,
                      v.sy, v.sz) +
         "DimSize = " + std::to_string(v.nx) + " " + std::to_string(v.ny) + " " + std::to_string(v.nz) +
         "\nElementType = " + types[int(v.type)] + "\n" + extra;
}

// One way of storing a volume in a NRRD or MetaImage file. Detached samples go to "<path>.raw"
// (or "<path>.raw.gz"), after a skip of -1 (samples at the end) on odd rounds and of lines and
// bytes on even ones; mapped samples keep the file's byte order.
struct Form {
  const char* name;
  bool mapped;
  void (*write)(const std::string& path, const Volume& v, const std::string& samples, bool big, int round);
};

const Form forms[] = {
    {"round.nrrd", true,
     [](const std::string& p, const Volume& v, const std::string& s, bool big, int r) {
       writeFile(p, nrrdHeader(v, big, r, "encoding: raw\n\n") + s);
     }},
    {"round-gzip.nrrd", false,
     [](const std::string& p, const Volume& v, const std::string& s, bool big, int r) {
       writeFile(p, nrrdHeader(v, big, r, r % 2 ? "encoding: gz\n\n" : "encoding: gzip\n\n") + gzipped(s));
     }},
    {"round.nhdr", true,
     [](const std::string& p, const Volume& v, const std::string& s, bool big, int r) {
       writeFile(p, nrrdHeader(v, big, r,
                               (r % 2 ? "byte skip: -1\ndata file: " : "line skip: 2\nbyte skip: 5\ndatafile: ") +
                                   baseName(p) + ".raw\nencoding: raw\n"));
       writeFile(p + ".raw", (r % 2 ? std::string(size_t(r * 7), 'j') : "one line\nline two\nbytes") + s);
     }},
    {"round-gzip.nhdr", false,
     [](const std::string& p, const Volume& v, const std::string& s, bool big, int r) {
       writeFile(p, nrrdHeader(v, big, r, "encoding: gzip\nbyte skip: 3\ndata file: " + baseName(p) + ".raw.gz\n"));
       writeFile(p + ".raw.gz", gzipped("123" + s));
     }},
    {"round.mha", true,
     [](const std::string& p, const Volume& v, const std::string& s, bool big, int r) {
       writeFile(p, metaHeader(v, big, r, "CompressedData = False\nElementDataFile = LOCAL\n") + s);
     }},
    {"round-compressed.mha", false,
     [](const std::string& p, const Volume& v, const std::string& s, bool big, int r) {
       writeFile(p, metaHeader(v, big, r, "CompressedData = True\nElementDataFile = LOCAL\n") + zlibOf(s));
     }},
    {"round.mhd", true,
     [](const std::string& p, const Volume& v, const std::string& s, bool big, int r) {
       writeFile(p, metaHeader(v, big, r, (r % 2 ? "HeaderSize = -1\n" : "HeaderSize = 9\n") +
                                              ("ElementDataFile = " + baseName(p) + ".raw\n")));
       writeFile(p + ".raw", std::string(r % 2 ? size_t(r * 11) : 9, 'h') + s);
     }},
};

void removeForm(const std::string& path)
{
  for (const char* suffix : {"", ".raw", ".raw.gz"})
    std::remove((path + suffix).c_str());
}

// s with its first from replaced by to (from must be in s).
std::string edited(std::string s, const std::string& from, const std::string& to)
{
  const size_t at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos)
    s.replace(at, from.size(), to);
  return s;
}

struct Outcome {
  bool ok;
  Report report;
};

// Reads path with h into g; a failure must name the file, say what went wrong and leave a grid
// that is either untouched (a 3 x 1 x 1 marker) or empty.
Outcome readInto(KEXGridIO& h, const std::string& path, KEXGrid& g)
{
  Outcome o;
  o.ok = h.readGrid(path.c_str(), g, o.report);
  if (!o.ok) {
    EXPECT_NE(o.report.kind, Report::Ok);
    EXPECT_NE(o.report.message.find(path), std::string::npos) << o.report.message;
    EXPECT_TRUE(g.isEmpty() || g.getSize().x == 3) << o.report.message;
  }
  return o;
}

KEXGrid marker()
{
  KEXGrid g;
  EXPECT_TRUE(g.create(KEXSampleType::UInt8, 3, 1, 1));
  return g;
}

} // namespace

TEST(GridIO, CreateForFileChoosesTheHandlerByExtension)
{
  const char* const cases[][2] = {{"a.inr", "INR"},   {"b.INR", "INR"},   {"dir/c.inr.gz", "INR"}, {"d.raw", "RAW"},
                                  {"e.nrrd", "NRRD"}, {"f.nhdr", "NRRD"}, {"g.mha", "MetaImage"},  {"h.MHD", "MetaImage"}};
  for (const auto& c : cases) {
    Report r;
    Handler h(KEXGridIO::createForFile(c[0], r));
    ASSERT_NE(h, nullptr) << c[0] << ": " << r.message;
    EXPECT_STREQ(h->getFormatName(), c[1]);
    EXPECT_TRUE(h->canRead());
    EXPECT_FALSE(h->canWrite());
    EXPECT_TRUE(h->getMetaClass().isOfType(KEXGridIO::metaClass()));
  }
  for (const char* name : {"e.ply", "f.gz", "g", "h.inrx"}) {
    Report r;
    EXPECT_EQ(KEXGridIO::createForFile(name, r), nullptr) << name;
    EXPECT_EQ(r.kind, Report::Unsupported);
    EXPECT_NE(r.message.find(name), std::string::npos);
    EXPECT_NE(r.message.find(KEXGridIO::getSupportedExtensions()), std::string::npos) << r.message;
  }
  EXPECT_EQ(KEXGridIO::create("KEXTriangleMeshIOPLY"), nullptr) << "a mesh handler is no grid handler";
  EXPECT_EQ(KEXGridIO::create(nullptr), nullptr);
  EXPECT_TRUE(KEXGridIO::registerRole());
  EXPECT_TRUE(KEXObject::RoleManager::hasRole(KEXenum("GridIO")));
}

TEST(GridIO, ObjectEntryPointsTakeGridsOnly)
{
  Handler h = handler("KEXGridIOINR"), other = handler("KEXGridIORAW");
  ASSERT_TRUE(h && other);
  KEXGrid grid;
  Report r;
  EXPECT_TRUE(h->read(KEXMESH_DATA_DIR "/sphere.inr", &grid, r)) << r.message;
  EXPECT_EQ(grid.getSize().x, 10);
  EXPECT_FALSE(h->read("x.inr", other.get(), r)) << "a handler object is no grid";
  EXPECT_EQ(r.kind, Report::Unsupported);
  EXPECT_FALSE(h->read("x.inr", nullptr, r));
  EXPECT_FALSE(h->write("y.inr", &grid, r));
  EXPECT_EQ(r.kind, Report::Unsupported);
  EXPECT_NE(r.message.find("y.inr"), std::string::npos);
}

// Every sample type in both byte orders, plain and compressed, as raw data behind a random header
// and in every NRRD and MetaImage form, from random grids: each read gives back every sample, the
// spacing and the origin. Mapped storage keeps the file's byte order, inflated storage is native.
TEST(GridIO, RoundTripEveryTypeAndByteOrder)
{
  std::mt19937 rng(20261207);
  Handler inr = handler("KEXGridIOINR"), raw = handler("KEXGridIORAW");
  ASSERT_TRUE(inr && raw);
  const std::string path = tempPath("round.inr"), gzPath = tempPath("round.inr.gz"), rawPath = tempPath("round.raw");
  for (int round = 0; round < 6; ++round)
    for (KEXSampleType type : kexmeshtest::kSampleTypes)
      for (bool big : {false, true}) {
        const Volume v = randomVolume(rng, type);
        const std::string samples = v.bytes(big);
        const std::string what = "type " + std::to_string(int(type)) + (big ? " big" : " little") + " endian, round " +
                                 std::to_string(round);
        const std::string inrBytes = inrHeader(inrLines(v, big)) + samples;
        writeFile(path, inrBytes);
        writeFile(gzPath, gzipStored(inrBytes));
        Report r;
        for (const std::string& p : {path, gzPath}) {
          KEXGrid g;
          ASSERT_TRUE(inr->readGrid(p.c_str(), g, r)) << what << ": " << r.message;
          expectSamples(g, v, what + " " + p);
          EXPECT_EQ(g.isBigEndian(), big && p == path) << what << " " << p;
        }
        const long long header = std::uniform_int_distribution<int>(0, 700)(rng);
        writeFile(rawPath, std::string(size_t(header), 'h') + samples + "trailing bytes are read past");
        ASSERT_TRUE(raw->setRawLayout({type, v.nx, v.ny, v.nz, v.sx, v.sy, v.sz, big, header}));
        KEXGrid g;
        ASSERT_TRUE(raw->readGrid(rawPath.c_str(), g, r)) << what << ": " << r.message;
        expectSamples(g, v, what + " raw");
        EXPECT_EQ(g.isBigEndian(), big) << what << " raw";
        Volume placed = v;
        if (round % 2 == 0)
          for (double& o : placed.origin)
            o = std::uniform_real_distribution<double>(-50, 50)(rng);
        for (const Form& f : forms) {
          const std::string p = tempPath(f.name);
          f.write(p, placed, samples, big, round);
          Handler h(KEXGridIO::createForFile(p.c_str(), r));
          ASSERT_TRUE(h) << r.message;
          KEXGrid read;
          ASSERT_TRUE(h->readGrid(p.c_str(), read, r)) << what << " " << f.name << ": " << r.message;
          expectSamples(read, placed, what + " " + f.name);
          EXPECT_EQ(read.isBigEndian(), f.mapped && big) << what << " " << f.name;
          removeForm(p);
        }
      }
  for (const std::string& p : {path, gzPath, rawPath})
    std::remove(p.c_str());
}

// A grid that outlives its handler and is re-read keeps working: the mapping belongs to the grid.
TEST(GridIO, MappedSamplesOutliveTheHandlerAndAreReleasedOnReplace)
{
  std::mt19937 rng(7);
  const Volume v = randomVolume(rng, KEXSampleType::Int16);
  const std::string path = tempPath("outlive.inr");
  writeFile(path, inrHeader(inrLines(v, true)) + v.bytes(true));
  KEXGrid g;
  {
    Handler h = handler("KEXGridIOINR");
    ASSERT_TRUE(h);
    Report r;
    ASSERT_TRUE(h->readGrid(path.c_str(), g, r)) << r.message;
    ASSERT_TRUE(h->readGrid(path.c_str(), g, r)) << "a second read replaces the first mapping: " << r.message;
  }
  std::remove(path.c_str()); // the mapping keeps the samples of an unlinked file
  expectSamples(g, v, "after the handler went and the file was removed");
  KEXGrid copy(g);
  expectSamples(copy, v, "copy");
  g.clear();
  expectSamples(copy, v, "copy after the source let go of its mapping");
}

TEST(GridIO, RawNeedsAValidLayout)
{
  using L = KEXGridIO::RawLayout;
  Handler raw = handler("KEXGridIORAW"), inr = handler("KEXGridIOINR");
  ASSERT_TRUE(raw && inr);
  const std::string path = tempPath("layout.raw");
  writeFile(path, std::string(64, '\x01'));
  KEXGrid g;
  EXPECT_EQ(readInto(*raw, path, g).report.kind, Report::Unsupported) << "no layout yet";
  const L good{KEXSampleType::UInt16, 4, 4, 2, 1, 1, 1, false, 0};
  EXPECT_FALSE(inr->setRawLayout(good)) << "a format with a header takes no layout";
  const KEXSampleType u8 = KEXSampleType::UInt8;
  for (const L& l : {L{u8, 0, 1, 1, 1, 1, 1, false, 0}, L{u8, 1, -1, 1, 1, 1, 1, false, 0},
                     L{u8, 1, 1, 1, 0, 1, 1, false, 0}, L{u8, 1, 1, 1, 1, NAN, 1, false, 0},
                     L{u8, 1, 1, 1, 1, 1, INFINITY, false, 0}, L{u8, 1, 1, 1, 1, 1, 1, false, -1},
                     L{KEXSampleType(9), 1, 1, 1, 1, 1, 1, false, 0}})
    EXPECT_FALSE(raw->setRawLayout(l));
  ASSERT_TRUE(raw->setRawLayout(good));
  Report r;
  ASSERT_TRUE(raw->readGrid(path.c_str(), g, r)) << r.message;
  EXPECT_EQ(g.getSample(3, 3, 1), 257.0);
  // One sample more than the file holds, or a header past its end: truncated. Beyond the largest
  // grid: refused before the file is even measured.
  const struct {
    L layout;
    Report::Kind kind;
  } refused[] = {{{KEXSampleType::UInt16, 4, 4, 2, 1, 1, 1, false, 1}, Report::Malformed},
                 {{u8, 1, 1, 1, 1, 1, 1, false, 65}, Report::Malformed},
                 {{KEXSampleType::Float32, 17, 1, 1, 1, 1, 1, false, 0}, Report::Malformed},
                 {{u8, 1 << 20, 1 << 20, 2, 1, 1, 1, false, 0}, Report::Unsupported}};
  for (const auto& c : refused) {
    ASSERT_TRUE(raw->setRawLayout(c.layout));
    KEXGrid m = marker();
    const Outcome o = readInto(*raw, path, m);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.report.kind, c.kind) << o.report.message;
    EXPECT_EQ(m.getSize().x, 3) << "a refused read left the grid as it was";
  }
  std::remove(path.c_str());
}

// The real volumes, with the sizes and spacings their headers declare; the compressed sphere holds
// the plain one's samples.
TEST(GridIO, RealVolumes)
{
  const struct {
    const char* file;
    int n[3];
    KEXSampleType type;
    double s[3];
    bool warns; // an unpadded header
  } reals[] = {
      {"12323.inr", {2, 2, 2}, KEXSampleType::UInt8, {100, 100, 100}, false},
      {"20012323.inr", {2, 2, 2}, KEXSampleType::UInt8, {100, 100, 100}, false},
      {"40420.inr", {2, 2, 2}, KEXSampleType::UInt8, {100, 100, 100}, false},
      {"420.inr", {2, 2, 2}, KEXSampleType::UInt8, {100, 100, 100}, false},
      {"small-scalar.inr", {2, 2, 2}, KEXSampleType::Float32, {100, 100, 100}, true},
      {"sphere.inr", {10, 10, 10}, KEXSampleType::UInt8, {1, 1, 1}, false},
      {"sphere.inr.gz", {10, 10, 10}, KEXSampleType::UInt8, {1, 1, 1}, false},
      {"skull_2.9.inr", {64, 64, 64}, KEXSampleType::Float32, {3.943050, 3.943050, 3.650790}, false},
      {"liver.inr.gz", {438, 353, 165}, KEXSampleType::UInt8, {0.617188, 0.617188, 1.33333}, false},
  };
  Handler h = handler("KEXGridIOINR");
  ASSERT_TRUE(h);
  KEXGrid plain;
  for (const auto& real : reals) {
    KEXGrid g;
    Report r;
    ASSERT_TRUE(h->readGrid((std::string(KEXMESH_DATA_DIR) + "/" + real.file).c_str(), g, r)) << r.message;
    EXPECT_EQ(g.getSampleType(), real.type) << real.file;
    for (int a = 0; a < 3; ++a) {
      EXPECT_EQ(g.getSize()[a], real.n[a]) << real.file;
      EXPECT_NEAR(g.getPosition(a, 1), real.s[a], 1e-12) << real.file;
    }
    EXPECT_EQ(r.warnings.size(), real.warns ? 1u : 0u) << real.file;
    if (std::string(real.file) == "sphere.inr")
      plain = g;
    if (std::string(real.file) == "sphere.inr.gz") {
      ASSERT_FALSE(plain.isEmpty());
      EXPECT_EQ(std::memcmp(plain.getData(), g.getData(), 1000), 0); // one byte a sample
    }
  }
}

// Broken files: each fails with the expected kind, names the file and leaves the target grid as
// it was (or, for a compressed stream failing after allocation, empty). Each kind of file starts
// from a good one, edited; a detached header names "<file>.raw", which holds data unless that is
// empty (then it is missing).
TEST(GridIO, BadInputsFailCleanly)
{
  constexpr Report::Kind M = Report::Malformed, U = Report::Unsupported, R = Report::Unreadable;
  const std::string samples(48, '\x02');
  const std::string lines = "XDIM=4\nYDIM=3\nZDIM=2\nVDIM=1\nTYPE=unsigned fixed\nPIXSIZE=16 bits\nCPU=decm\n";
  const std::string good = inrHeader(lines) + samples, gz = gzipStored(good);
  auto i = [&](const std::string& from, const std::string& to) { return inrHeader(edited(lines, from, to)) + samples; };
  const std::string hugeDims = "XDIM=1048576\nYDIM=1048576\nZDIM=2\n";
  std::string badCrc = gz;
  badCrc[badCrc.size() - 6] ^= 0x55;
  const std::string nrrd = "NRRD0004\ntype: ushort\ndimension: 3\nsizes: 4 3 2\nendian: little\nencoding: raw\n";
  const std::string mha = "NDims = 3\nDimSize = 4 3 2\nElementType = MET_USHORT\nElementDataFile = LOCAL\n";
  const std::string nhdrData = "data file: " + baseName(tempPath("bad.nhdr")) + ".raw\n";
  const std::string mhdData = "ElementDataFile = " + baseName(tempPath("bad.mhd")) + ".raw\n";
  auto n = [&](const std::string& from, const std::string& to) { return edited(nrrd, from, to) + "\n" + samples; };
  auto m = [&](const std::string& from, const std::string& to) { return edited(mha, from, to) + samples; };
  auto m3 = [&](const std::string& line) { return m("NDims = 3\n", "NDims = 3\n" + line + "\n"); };
  const std::string gzipNrrd = edited(nrrd, "raw", "gzip") + "\n";
  const std::string zlibMha = edited(mha, "ElementDataFile", "CompressedData = True\nElementDataFile");
  std::string corruptZlib = zlibOf(samples);
  corruptZlib[corruptZlib.size() - 2] ^= 0x55;
  const std::string mhd = edited(mha, "ElementDataFile = LOCAL\n", mhdData);
  const struct {
    const char* what;
    const char* name;
    std::string bytes, data;
    Report::Kind kind;
  } bads[] = {
      {"empty file", "bad.inr", "", "", M},
      {"wrong magic", "bad.inr", "#INRIMAGE-5#{\n" + good.substr(14), "", M},
      {"no end of header", "bad.inr", "#INRIMAGE-4#{\n" + lines + std::string(300, '\n'), "", M},
      {"header cut in its first block", "bad.inr", good.substr(0, 100), "", M},
      {"truncated samples", "bad.inr", good.substr(0, good.size() - 1), "", M},
      {"no samples at all", "bad.inr", good.substr(0, 256), "", M},
      {"zero size", "bad.inr", i("YDIM=3", "YDIM=0"), "", M},
      {"negative size", "bad.inr", i("ZDIM=2", "ZDIM=-2"), "", M},
      {"size not a number", "bad.inr", i("XDIM=4", "XDIM=four"), "", M},
      {"missing ZDIM", "bad.inr", i("ZDIM=2\n", ""), "", M},
      {"missing TYPE", "bad.inr", i("TYPE=unsigned fixed\n", ""), "", M},
      {"missing PIXSIZE", "bad.inr", i("PIXSIZE=16 bits\n", ""), "", M},
      {"PIXSIZE without bits", "bad.inr", i("PIXSIZE=16 bits", "PIXSIZE=16"), "", M},
      {"a line without =", "bad.inr", i("VDIM=1", "VDIM 1"), "", M},
      {"zero spacing", "bad.inr", i("VDIM=1", "VDIM=1\nVX=0"), "", M},
      {"spacing not a number", "bad.inr", i("VDIM=1", "VDIM=1\nVY=abc"), "", M},
      {"absurd size", "bad.inr", i("XDIM=4\nYDIM=3\nZDIM=2\n", hugeDims), "", U},
      {"dimension beyond int", "bad.inr", i("XDIM=4", "XDIM=3000000000"), "", U},
      {"vector samples", "bad.inr", i("VDIM=1", "VDIM=3"), "", U},
      {"64-bit float", "bad.inr", i("TYPE=unsigned fixed\nPIXSIZE=16 bits", "TYPE=float\nPIXSIZE=64 bits"), "", U},
      {"8-bit signed", "bad.inr", i("TYPE=unsigned fixed\nPIXSIZE=16 bits", "TYPE=signed fixed\nPIXSIZE=8 bits"), "",
       U},
      {"unknown type", "bad.inr", i("TYPE=unsigned fixed", "TYPE=packed"), "", U},
      {"unknown cpu", "bad.inr", i("CPU=decm", "CPU=vax"), "", U},
      {"gzip samples cut short", "bad.inr.gz", gzipStored(good.substr(0, good.size() - 5)), "", M},
      {"gzip header cut short", "bad.inr.gz", gzipStored(good.substr(0, 200)), "", M},
      {"gzip absurd size", "bad.inr.gz", gzipStored(i("XDIM=4\nYDIM=3\nZDIM=2\n", hugeDims)), "", U},
      {"gzip stream cut inside the samples", "bad.inr.gz", gz.substr(0, gz.size() - 20), "", M},
      {"gzip bad checksum", "bad.inr.gz", badCrc, "", M},
      {"nrrd wrong magic", "bad.nrrd", n("NRRD0004", "NRRD0009"), "", M},
      {"nrrd truncated samples", "bad.nrrd", nrrd + "\n" + samples.substr(1), "", M},
      {"nrrd more samples than sizes", "bad.nrrd", n("4 3 2", "4 3 1"), "", M},
      {"nrrd header does not end", "bad.nrrd", nrrd, "", M},
      {"nrrd line without colon", "bad.nrrd", n("dimension: 3", "dimension 3"), "", M},
      {"nrrd missing sizes", "bad.nrrd", n("sizes: 4 3 2\n", ""), "", M},
      {"nrrd two sizes", "bad.nrrd", n("4 3 2", "4 3"), "", M},
      {"nrrd missing endian", "bad.nrrd", n("endian: little\n", ""), "", M},
      {"nrrd zero spacing", "bad.nrrd", n("raw\n", "raw\nspacings: 1 0 1\n"), "", M},
      {"nrrd byte skip -2", "bad.nrrd", n("raw\n", "raw\nbyte skip: -2\n"), "", M},
      {"nrrd gzip byte skip -1", "bad.nrrd", edited(gzipNrrd, "gzip\n", "gzip\nbyte skip: -1\n"), "", M},
      {"nrrd 2-d", "bad.nrrd", n("dimension: 3", "dimension: 2"), "", U},
      {"nrrd double samples", "bad.nrrd", n("ushort", "double"), "", U},
      {"nrrd skewed axes", "bad.nrrd", n("raw\n", "raw\nspace directions: (1,0.5,0) (0,1,0) (0,0,1)\n"), "", U},
      {"nrrd flipped axis", "bad.nrrd", n("raw\n", "raw\nspace directions: (-1,0,0) (0,1,0) (0,0,1)\n"), "", U},
      {"nrrd bzip2", "bad.nrrd", n("raw", "bzip2"), "", U},
      {"nrrd absurd size", "bad.nrrd", n("4 3 2", "1048576 1048576 2"), "", U},
      {"nrrd gzip cut short", "bad.nrrd", gzipNrrd + gzipStored(samples).substr(0, 40), "", M},
      {"nrrd gzip holds more", "bad.nrrd", edited(gzipNrrd, "4 3 2", "4 3 1") + gzipStored(samples), "", M},
      {"nrrd gzip that is not", "bad.nrrd", gzipNrrd + samples, "", M},
      {"nrrd data file list", "bad.nhdr", nrrd + "data file: LIST\n", "", U},
      {"nhdr data file missing", "bad.nhdr", nrrd + nhdrData, "", R},
      {"nhdr data file a folder", "bad.nhdr", nrrd + "data file: .\n", "", R},
      {"nhdr data truncated", "bad.nhdr", nrrd + nhdrData, samples.substr(1), M},
      {"nhdr lines beyond the data", "bad.nhdr", nrrd + "line skip: 3\n" + nhdrData, samples, M},
      {"mha 2-d", "bad.mha", m("NDims = 3", "NDims = 2"), "", U},
      {"mha missing DimSize", "bad.mha", m("DimSize = 4 3 2\n", ""), "", M},
      {"mha missing ElementDataFile", "bad.mha", edited(mha, "ElementDataFile = LOCAL\n", ""), "", M},
      {"mha line without =", "bad.mha", m("NDims = 3", "NDims 3"), "", M},
      {"mha double samples", "bad.mha", m("MET_USHORT", "MET_DOUBLE"), "", U},
      {"mha rotated", "bad.mha", m3("TransformMatrix = 0 1 0 1 0 0 0 0 1"), "", U},
      {"mha three channels", "bad.mha", m3("ElementNumberOfChannels = 3"), "", U},
      {"mha text samples", "bad.mha", m3("BinaryData = False"), "", U},
      {"mha flag neither true nor false", "bad.mha", m3("ElementByteOrderMSB = maybe"), "", M},
      {"mha negative spacing", "bad.mha", m3("ElementSpacing = 1 -1 1"), "", M},
      {"mha truncated samples", "bad.mha", mha + samples.substr(1), "", M},
      {"mha more samples than sizes", "bad.mha", m("4 3 2", "4 1 2"), "", M},
      {"mha absurd size", "bad.mha", m("4 3 2", "1048576 1048576 2"), "", U},
      {"mha compressed at the end", "bad.mha", edited(zlibMha, "NDims", "HeaderSize = -1\nNDims") + zlibOf(samples), "",
       M},
      {"mha corrupt zlib stream", "bad.mha", zlibMha + corruptZlib, "", M},
      {"mha zlib stream cut short", "bad.mha", zlibMha + zlibOf(samples).substr(0, 8), "", M},
      {"mha zlib holds more", "bad.mha", edited(zlibMha, "4 3 2", "4 3 1") + zlibOf(samples), "", M},
      {"mhd data file missing", "bad.mhd", mhd, "", R},
      {"mhd data truncated", "bad.mhd", mhd, samples.substr(2), M},
  };
  for (const auto& b : bads) {
    const std::string path = tempPath(b.name);
    writeFile(path, b.bytes);
    if (!b.data.empty())
      writeFile(path + ".raw", b.data);
    Report r;
    Handler reader(KEXGridIO::createForFile(path.c_str(), r));
    ASSERT_TRUE(reader) << r.message;
    KEXGrid g = marker();
    const Outcome o = readInto(*reader, path, g);
    EXPECT_FALSE(o.ok) << b.what;
    EXPECT_EQ(o.report.kind, b.kind) << b.what << ": " << o.report.message;
    // A missing field is refused for being missing, not for what its absence breaks later.
    const std::string what = b.what;
    if (const size_t at = what.find("missing "); at != std::string::npos && what.find("file") == std::string::npos) {
      EXPECT_NE(o.report.message.find(what.substr(at + 8)), std::string::npos) << what << ": " << o.report.message;
    }
    removeForm(path);
  }
  // Not a file: a directory, and a name that does not exist.
  for (const char* className : {"KEXGridIOINR", "KEXGridIONRRD", "KEXGridIOMetaImage", "KEXGridIORAW"}) {
    Handler h = handler(className);
    ASSERT_TRUE(h);
    if (std::strcmp(className, "KEXGridIORAW") == 0) {
      ASSERT_TRUE(h->setRawLayout({KEXSampleType::UInt8, 1, 1, 1, 1, 1, 1, false, 0}));
    }
    KEXGrid g;
    Outcome o = readInto(*h, ::testing::TempDir(), g);
    EXPECT_EQ(o.report.kind, Report::Unreadable) << o.report.message;
    EXPECT_NE(o.report.message.find("directory"), std::string::npos) << o.report.message;
    o = readInto(*h, tempPath("missing.volume"), g);
    EXPECT_EQ(o.report.kind, Report::Unreadable) << o.report.message;
  }
}

// Every allocation of a compressed read may fail (a gzip INR, and a zlib MetaImage whose inflater
// state and window are framework memory): the read then fails cleanly (OutOfMemory) and nothing
// leaks.
TEST(GridIO, AllocationFailuresOfACompressedRead)
{
  std::mt19937 rng(3);
  for (const bool inr : {true, false}) {
    // The MetaImage holds random samples beyond one buffer of compressed input: the inflater then
    // needs its window.
    const Volume v = inr ? randomVolume(rng, KEXSampleType::UInt16) : randomVolume(rng, KEXSampleType::UInt16, 40, 40);
    const std::string path = tempPath(inr ? "alloc.inr.gz" : "alloc.mha");
    if (inr)
      writeFile(path, gzipStored(inrHeader(inrLines(v, false)) + v.bytes(false)));
    else
      forms[5].write(path, v, v.bytes(false), false, 1); // round-compressed.mha
    Handler h = handler(inr ? "KEXGridIOINR" : "KEXGridIOMetaImage");
    ASSERT_TRUE(h);
    bool sawOutOfMemory = false;
    for (long n = 1; n < 50; ++n) {
      KEXGrid g;
      Report r;
      bool ok, fired;
      {
        kexTest::AllocationFault fault(n);
        ok = h->readGrid(path.c_str(), g, r);
        fired = fault.fired();
      }
      if (!fired) {
        ASSERT_TRUE(ok) << r.message;
        expectSamples(g, v, "no fault");
        break;
      }
      if (!ok) {
        EXPECT_EQ(r.kind, Report::OutOfMemory) << r.message;
        EXPECT_NE(r.message.find(path), std::string::npos);
        EXPECT_TRUE(g.isEmpty());
        sawOutOfMemory = true;
      } else {
        expectSamples(g, v, "after a fault the reader did not need");
      }
    }
    EXPECT_TRUE(sawOutOfMemory) << (inr ? "INR" : "MetaImage");
    std::remove(path.c_str());
  }
}
