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

Handler handler(const char* className) { return Handler(KEXGridIO::create(className)); }

// A source volume: raw sample values in double (each exactly representable in its type).
struct Volume {
  KEXSampleType type;
  int n[3];
  double s[3];
  std::vector<double> values;
  double origin[3] = {0, 0, 0};
  std::string bytes(bool big) const { return kexmeshtest::encodeSamples(values, type, big); }
};

Volume randomVolume(std::mt19937& rng, KEXSampleType type, int minDim = 1, int maxDim = 7)
{
  std::uniform_int_distribution<int> dim(minDim, maxDim);
  std::uniform_real_distribution<double> spacing(0.1, 4.0);
  Volume v{type, {dim(rng), dim(rng), dim(rng)}, {spacing(rng), spacing(rng), spacing(rng)}, {}};
  v.values.resize(size_t(v.n[0]) * v.n[1] * v.n[2]);
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

// printf into a string (every format of this file is short).
template <class... A> std::string format(const char* f, A... a)
{
  char buf[512];
  std::snprintf(buf, sizeof buf, f, a...);
  return buf;
}

std::string inrLines(const Volume& v, bool bigEndian)
{
  static const char* const types[] = {"unsigned fixed", "signed fixed", "unsigned fixed", "float"};
  static const int bits[] = {8, 16, 16, 32};
  return format("XDIM=%d\nYDIM=%d\nZDIM=%d\nVDIM=1\nTYPE=%s\nPIXSIZE=%d bits\nSCALE=2**0\nCPU=%s\nVX=%.17g\nVY=%.17g\n"
                "VZ=%.17g\n#GEOMETRY=CARTESIAN\n",
                v.n[0], v.n[1], v.n[2], types[int(v.type)], bits[int(v.type)], bigEndian ? "sun" : "decm", v.s[0],
                v.s[1], v.s[2]);
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
  ASSERT_EQ(g.getSampleType(), v.type) << what;
  ASSERT_EQ(g.getSize(), KEXVector3<int>(v.n[0], v.n[1], v.n[2])) << what;
  size_t mismatches = 0;
  for (int k = 0; k < v.n[2]; ++k)
    for (int j = 0; j < v.n[1]; ++j)
      for (int i = 0; i < v.n[0]; ++i)
        mismatches += g.getSample(i, j, k) != v.values[(size_t(k) * v.n[1] + j) * v.n[0] + i];
  EXPECT_EQ(mismatches, 0u) << what;
  for (int a = 0; a < 3; ++a) {
    EXPECT_DOUBLE_EQ(g.getPosition(a, 0), v.origin[a]) << what;
    EXPECT_NEAR(g.getPosition(a, v.n[a] - 1), v.origin[a] + v.s[a] * (v.n[a] - 1),
                1e-9 * (v.s[a] * v.n[a] + std::fabs(v.origin[a])))
        << what;
  }
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A NRRD header of v, its optional fields and their spellings varied by round; extra ends it.
std::string nrrdHeader(const Volume& v, bool big, int round, const std::string& extra)
{
  static const char* const names[4][3] = {{"uchar", "uint8", "unsigned char"},
                                          {"short", "int16", "signed short"},
                                          {"ushort", "uint16", "unsigned short int"},
                                          {"float", "float", "float"}};
  std::string h = format("NRRD000%d\n# a comment\ntype: %s\ndimension: 3\nsizes: %d %d %d\nkex note:=a value: ignored\n",
                         1 + round % 5, names[int(v.type)][round % 3], v.n[0], v.n[1], v.n[2]);
  if (round % 2)
    h += format("spacings: %.17g %.17g %.17g\n", v.s[0], v.s[1], v.s[2]);
  else
    h += "space: right-anterior-superior\n" +
         format("space directions: (%.17g,0,0) (0, %.17g, 0) (0,0,%.17g)\n", v.s[0], v.s[1], v.s[2]) +
         format("space origin: (%.17g,%.17g,%.17g)\n", v.origin[0], v.origin[1], v.origin[2]);
  if (v.type != KEXSampleType::UInt8 || round % 2 || big) // a byte needs no order
    h += big ? "endian: big\n" : "endian: little\n";
  return h + extra;
}

// A MetaImage header of v, its optional fields and their spellings varied by round; extra ends it.
std::string metaHeader(const Volume& v, bool big, int round, const std::string& extra)
{
  static const char* const types[] = {"MET_UCHAR", "MET_SHORT", "MET_USHORT", "MET_FLOAT"};
  static const char* const origins[] = {"Offset", "Origin", "Position"};
  return format("ObjectType = Image\nNDims = 3\nBinaryData = True\n%s = %s\nTransformMatrix = 1 0 0 0 1 0 0 0 1\n",
                round % 2 ? "BinaryDataByteOrderMSB" : "ElementByteOrderMSB", big ? "True" : "False") +
         format("%s = %.17g %.17g %.17g\n", origins[round % 3], v.origin[0], v.origin[1], v.origin[2]) +
         format("%s = %.17g %.17g %.17g\n", round % 2 ? "ElementSpacing" : "ElementSize", v.s[0], v.s[1], v.s[2]) +
         format("DimSize = %d %d %d\nElementType = %s\n", v.n[0], v.n[1], v.n[2], types[int(v.type)]) + extra;
}

// The ways of storing a volume in a NRRD or MetaImage file. Detached samples go to "<path>.raw"
// (or "<path>.raw.gz"), after a skip of -1 (samples at the end) on odd rounds and of lines and
// bytes on even ones; mapped samples keep the file's byte order.
struct Form {
  const char* name;
  bool mapped;
};
const Form forms[] = {{"round.nrrd", true}, {"round-gzip.nrrd", false}, {"round.nhdr", true},
                      {"round-gzip.nhdr", false}, {"round.mha", true}, {"round-compressed.mha", false},
                      {"round.mhd", true}};
constexpr int kCompressedMetaImage = 5;

void writeForm(int form, const std::string& p, const Volume& v, const std::string& s, bool big, int r)
{
  const std::string data = baseName(p) + ".raw";
  switch (form) {
  case 0: writeFile(p, nrrdHeader(v, big, r, "encoding: raw\n\n") + s); break;
  case 1: writeFile(p, nrrdHeader(v, big, r, r % 2 ? "encoding: gz\n\n" : "encoding: gzip\n\n") + gzipped(s)); break;
  case 2:
    writeFile(p, nrrdHeader(v, big, r, (r % 2 ? "byte skip: -1\ndata file: " : "line skip: 2\nbyte skip: 5\ndatafile: ") +
                                           data + "\nencoding: raw\n"));
    writeFile(p + ".raw", (r % 2 ? std::string(size_t(r * 7), 'j') : "one line\nline two\nbytes") + s);
    break;
  case 3:
    writeFile(p, nrrdHeader(v, big, r, "encoding: gzip\nbyte skip: 3\ndata file: " + data + ".gz\n"));
    writeFile(p + ".raw.gz", gzipped("123" + s));
    break;
  case 4: writeFile(p, metaHeader(v, big, r, "CompressedData = False\nElementDataFile = LOCAL\n") + s); break;
  case 5: writeFile(p, metaHeader(v, big, r, "CompressedData = True\nElementDataFile = LOCAL\n") + zlibOf(s)); break;
  default:
    writeFile(p, metaHeader(v, big, r, std::string(r % 2 ? "HeaderSize = -1\n" : "HeaderSize = 9\n") +
                                           "ElementDataFile = " + data + "\n"));
    writeFile(p + ".raw", std::string(r % 2 ? size_t(r * 11) : 9, 'h') + s);
  }
}

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
  return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

// Reads path with h into a 3 x 1 x 1 marker grid; a failure must name the file, say what went
// wrong and leave the grid untouched (or, unless keep, empty).
Report readInto(KEXGridIO& h, const std::string& path, bool* ok = nullptr, bool keep = false)
{
  KEXGrid g;
  EXPECT_TRUE(g.create(KEXSampleType::UInt8, 3, 1, 1));
  Report r;
  const bool read = h.readGrid(path.c_str(), g, r);
  if (!read) {
    EXPECT_NE(r.kind, Report::Ok);
    EXPECT_NE(r.message.find(path), std::string::npos) << r.message;
    EXPECT_TRUE((!keep && g.isEmpty()) || g.getSize().x == 3) << r.message;
  }
  if (ok)
    *ok = read;
  return r;
}

} // namespace

TEST(GridIO, HandlersByExtensionTakeGridsOnly)
{
  const char* const cases[][2] = {{"a.inr", "INR"},   {"b.INR", "INR"},   {"dir/c.inr.gz", "INR"}, {"d.raw", "RAW"},
                                  {"e.nrrd", "NRRD"}, {"f.nhdr", "NRRD"}, {"g.mha", "MetaImage"},  {"h.MHD", "MetaImage"}};
  for (const auto& c : cases) {
    Report r;
    Handler h(KEXGridIO::createForFile(c[0], r));
    ASSERT_NE(h, nullptr) << c[0] << ": " << r.message;
    EXPECT_STREQ(h->getFormatName(), c[1]);
    EXPECT_TRUE(h->canRead() && !h->canWrite() && h->getMetaClass().isOfType(KEXGridIO::metaClass()));
  }
  for (const char* name : {"e.ply", "f.gz", "g", "h.inrx"}) {
    Report r;
    EXPECT_EQ(KEXGridIO::createForFile(name, r), nullptr) << name;
    EXPECT_TRUE(r.kind == Report::Unsupported && r.message.find(name) != std::string::npos);
    EXPECT_NE(r.message.find(KEXGridIO::getSupportedExtensions()), std::string::npos) << r.message;
  }
  EXPECT_EQ(KEXGridIO::create("KEXTriangleMeshIOPLY"), nullptr) << "a mesh handler is no grid handler";
  EXPECT_EQ(KEXGridIO::create(nullptr), nullptr);
  EXPECT_TRUE(KEXGridIO::registerRole() && KEXObject::RoleManager::hasRole(KEXenum("GridIO")));
  // The object entry points.
  Handler h = handler("KEXGridIOINR"), other = handler("KEXGridIORAW");
  ASSERT_TRUE(h && other);
  KEXGrid grid;
  Report r;
  EXPECT_TRUE(h->read(KEXMESH_DATA_DIR "/sphere.inr", &grid, r)) << r.message;
  EXPECT_EQ(grid.getSize().x, 10);
  EXPECT_FALSE(h->read("x.inr", other.get(), r)) << "a handler object is no grid";
  EXPECT_EQ(r.kind, Report::Unsupported);
  EXPECT_FALSE(h->read("x.inr", nullptr, r) || h->write("y.inr", &grid, r));
  EXPECT_TRUE(r.kind == Report::Unsupported && r.message.find("y.inr") != std::string::npos);
}

// Every sample type in both byte orders, plain and compressed, as raw data behind a random header
// and in every NRRD and MetaImage form, from random grids: each read gives back every sample, the
// spacing and the origin. Mapped storage keeps the file's byte order, inflated storage is native;
// a grid that outlives its handler and is re-read keeps working: the mapping belongs to the grid.
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
        const std::string what = format("type %d %s endian, round %d", int(type), big ? "big" : "little", round);
        const std::string inrBytes = inrHeader(inrLines(v, big)) + samples;
        writeFile(path, inrBytes);
        writeFile(gzPath, gzipStored(inrBytes));
        const long long header = std::uniform_int_distribution<int>(0, 700)(rng);
        writeFile(rawPath, std::string(size_t(header), 'h') + samples + "trailing bytes are read past");
        ASSERT_TRUE(raw->setRawLayout({type, v.n[0], v.n[1], v.n[2], v.s[0], v.s[1], v.s[2], big, header}));
        Report r;
        for (const std::string& p : {path, gzPath, rawPath}) {
          KEXGrid g;
          ASSERT_TRUE((p == rawPath ? raw : inr)->readGrid(p.c_str(), g, r)) << what << ": " << r.message;
          expectSamples(g, v, what + " " + p);
          EXPECT_EQ(g.isBigEndian(), big && p != gzPath) << what << " " << p;
        }
        Volume placed = v;
        if (round % 2 == 0)
          for (double& o : placed.origin)
            o = std::uniform_real_distribution<double>(-50, 50)(rng);
        for (int f = 0; f < int(std::size(forms)); ++f) {
          const std::string p = tempPath(forms[f].name);
          writeForm(f, p, placed, samples, big, round);
          Handler h(KEXGridIO::createForFile(p.c_str(), r));
          ASSERT_TRUE(h) << r.message;
          KEXGrid read;
          ASSERT_TRUE(h->readGrid(p.c_str(), read, r) && h->readGrid(p.c_str(), read, r)) << what << " " << r.message;
          // The second read replaced the first mapping; the grid's mapping outlives the handler
          // and keeps the samples of the unlinked file, and a copy keeps them after the grid let go.
          h.reset();
          removeForm(p);
          expectSamples(read, placed, what + " " + forms[f].name);
          EXPECT_EQ(read.isBigEndian(), forms[f].mapped && big) << what << " " << forms[f].name;
          const KEXGrid copy(read);
          read.clear();
          expectSamples(copy, placed, what + " copy of " + forms[f].name);
        }
      }
  for (const std::string& p : {path, gzPath, rawPath})
    std::remove(p.c_str());
}

TEST(GridIO, RawNeedsAValidLayout)
{
  using L = KEXGridIO::RawLayout;
  Handler raw = handler("KEXGridIORAW"), inr = handler("KEXGridIOINR");
  ASSERT_TRUE(raw && inr);
  const std::string path = tempPath("layout.raw");
  writeFile(path, std::string(64, '\x01'));
  EXPECT_EQ(readInto(*raw, path).kind, Report::Unsupported) << "no layout yet";
  const KEXSampleType u8 = KEXSampleType::UInt8, u16 = KEXSampleType::UInt16;
  const L good{u16, 4, 4, 2, 1, 1, 1, false, 0};
  EXPECT_FALSE(inr->setRawLayout(good)) << "a format with a header takes no layout";
  for (const L& l : {L{u8, 0, 1, 1, 1, 1, 1, false, 0}, L{u8, 1, -1, 1, 1, 1, 1, false, 0},
                     L{u8, 1, 1, 1, 0, 1, 1, false, 0}, L{u8, 1, 1, 1, 1, NAN, 1, false, 0},
                     L{u8, 1, 1, 1, 1, 1, INFINITY, false, 0}, L{u8, 1, 1, 1, 1, 1, 1, false, -1},
                     L{KEXSampleType(9), 1, 1, 1, 1, 1, 1, false, 0}})
    EXPECT_FALSE(raw->setRawLayout(l));
  ASSERT_TRUE(raw->setRawLayout(good));
  KEXGrid g;
  Report r;
  ASSERT_TRUE(raw->readGrid(path.c_str(), g, r)) << r.message;
  EXPECT_EQ(g.getSample(3, 3, 1), 257.0);
  // One sample more than the file holds, or a header past its end: truncated. Beyond the largest
  // grid: refused before the file is even measured. A refused read leaves the grid as it was.
  const std::pair<L, Report::Kind> refused[] = {{{u16, 4, 4, 2, 1, 1, 1, false, 1}, Report::Malformed},
                                                {{u8, 1, 1, 1, 1, 1, 1, false, 65}, Report::Malformed},
                                                {{KEXSampleType::Float32, 17, 1, 1, 1, 1, 1, false, 0}, Report::Malformed},
                                                {{u8, 1 << 20, 1 << 20, 2, 1, 1, 1, false, 0}, Report::Unsupported}};
  for (const auto& [layout, kind] : refused) {
    ASSERT_TRUE(raw->setRawLayout(layout));
    bool ok = true;
    const Report o = readInto(*raw, path, &ok, true);
    EXPECT_FALSE(ok);
    EXPECT_EQ(o.kind, kind) << o.message;
  }
  std::remove(path.c_str());
}

// The real volumes, with the sizes and spacings their headers declare; the compressed sphere holds
// the plain one's samples.
TEST(GridIO, RealVolumes)
{
  const struct {
    const char* file;
    int n;
    bool byte;
    double s[3];
    bool warns; // an unpadded header
  } reals[] = {
      {"12323.inr", 2, true, {100, 100, 100}, false},    {"20012323.inr", 2, true, {100, 100, 100}, false},
      {"40420.inr", 2, true, {100, 100, 100}, false},    {"420.inr", 2, true, {100, 100, 100}, false},
      {"small-scalar.inr", 2, false, {100, 100, 100}, true}, {"sphere.inr", 10, true, {1, 1, 1}, false},
      {"sphere.inr.gz", 10, true, {1, 1, 1}, false},     {"skull_2.9.inr", 64, false, {3.943050, 3.943050, 3.650790}, false},
      {"liver.inr.gz", 0, true, {0.617188, 0.617188, 1.33333}, false},
  };
  Handler h = handler("KEXGridIOINR");
  ASSERT_TRUE(h);
  KEXGrid plain;
  for (const auto& real : reals) {
    KEXGrid g;
    Report r;
    ASSERT_TRUE(h->readGrid((std::string(KEXMESH_DATA_DIR) + "/" + real.file).c_str(), g, r)) << r.message;
    EXPECT_EQ(g.getSampleType(), real.byte ? KEXSampleType::UInt8 : KEXSampleType::Float32) << real.file;
    EXPECT_EQ(g.getSize(), real.n ? KEXVector3<int>(real.n, real.n, real.n) : KEXVector3<int>(438, 353, 165));
    for (int a = 0; a < 3; ++a)
      EXPECT_NEAR(g.getPosition(a, 1), real.s[a], 1e-12) << real.file;
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
// from a good one, edited; the file is "bad.<ext>" after the first word of the row (INR without
// one); a detached header names "<file>.raw", which holds the row's data unless that is empty
// (then it is missing).
TEST(GridIO, BadInputsFailCleanly)
{
  constexpr Report::Kind M = Report::Malformed, U = Report::Unsupported, R = Report::Unreadable;
  const std::string samples(48, '\x02');
  const std::string lines = "XDIM=4\nYDIM=3\nZDIM=2\nVDIM=1\nTYPE=unsigned fixed\nPIXSIZE=16 bits\nCPU=decm\n";
  const std::string good = inrHeader(lines) + samples, gz = gzipStored(good);
  auto i = [&](const std::string& from, const std::string& to) { return inrHeader(edited(lines, from, to)) + samples; };
  const std::string dims = "XDIM=4\nYDIM=3\nZDIM=2\n", hugeDims = "XDIM=1048576\nYDIM=1048576\nZDIM=2\n";
  const std::string u16 = "TYPE=unsigned fixed\nPIXSIZE=16 bits";
  std::string badCrc = gz;
  badCrc[badCrc.size() - 6] ^= 0x55;
  const std::string nrrd = "NRRD0004\ntype: ushort\ndimension: 3\nsizes: 4 3 2\nendian: little\nencoding: raw\n";
  const std::string mha = "NDims = 3\nDimSize = 4 3 2\nElementType = MET_USHORT\nElementDataFile = LOCAL\n";
  const std::string nhdrData = "data file: " + baseName(tempPath("bad.nhdr")) + ".raw\n";
  auto n = [&](const std::string& from, const std::string& to) { return edited(nrrd, from, to) + "\n" + samples; };
  auto m = [&](const std::string& from, const std::string& to) { return edited(mha, from, to) + samples; };
  auto m3 = [&](const std::string& line) { return m("NDims = 3\n", "NDims = 3\n" + line + "\n"); };
  const std::string gzipNrrd = edited(nrrd, "raw", "gzip") + "\n";
  const std::string zlibMha = edited(mha, "ElementDataFile", "CompressedData = True\nElementDataFile");
  std::string corruptZlib = zlibOf(samples);
  corruptZlib[corruptZlib.size() - 2] ^= 0x55;
  const std::string mhd = edited(mha, "LOCAL", baseName(tempPath("bad.mhd")) + ".raw");
  const std::string skew = "raw\nspace directions: (1,0.5,0) (0,1,0) (0,0,1)\n";
  const std::string flip = "raw\nspace directions: (-1,0,0) (0,1,0) (0,0,1)\n";
  const struct {
    const char* what;
    std::string bytes;
    Report::Kind kind;
    std::string data = {};
  } bads[] = {
      {"empty file", "", M}, {"wrong magic", "#INRIMAGE-5#{\n" + good.substr(14), M},
      {"no end of header", "#INRIMAGE-4#{\n" + lines + std::string(300, '\n'), M},
      {"header cut in its first block", good.substr(0, 100), M},
      {"truncated samples", good.substr(0, good.size() - 1), M}, {"no samples at all", good.substr(0, 256), M},
      {"zero size", i("YDIM=3", "YDIM=0"), M}, {"negative size", i("ZDIM=2", "ZDIM=-2"), M},
      {"size not a number", i("XDIM=4", "XDIM=four"), M}, {"missing ZDIM", i("ZDIM=2\n", ""), M},
      {"missing TYPE", i("TYPE=unsigned fixed\n", ""), M}, {"missing PIXSIZE", i("PIXSIZE=16 bits\n", ""), M},
      {"PIXSIZE without bits", i("PIXSIZE=16 bits", "PIXSIZE=16"), M}, {"a line without =", i("VDIM=1", "VDIM 1"), M},
      {"zero spacing", i("VDIM=1", "VDIM=1\nVX=0"), M}, {"spacing not a number", i("VDIM=1", "VDIM=1\nVY=abc"), M},
      {"absurd size", i(dims, hugeDims), U}, {"dimension beyond int", i("XDIM=4", "XDIM=3000000000"), U},
      {"vector samples", i("VDIM=1", "VDIM=3"), U}, {"64-bit float", i(u16, "TYPE=float\nPIXSIZE=64 bits"), U},
      {"8-bit signed", i(u16, "TYPE=signed fixed\nPIXSIZE=8 bits"), U},
      {"unknown type", i("TYPE=unsigned fixed", "TYPE=packed"), U}, {"unknown cpu", i("CPU=decm", "CPU=vax"), U},
      {"gzip samples cut short", gzipStored(good.substr(0, good.size() - 5)), M},
      {"gzip header cut short", gzipStored(good.substr(0, 200)), M},
      {"gzip absurd size", gzipStored(i(dims, hugeDims)), U},
      {"gzip stream cut inside the samples", gz.substr(0, gz.size() - 20), M}, {"gzip bad checksum", badCrc, M},
      {"nrrd wrong magic", n("NRRD0004", "NRRD0009"), M},
      {"nrrd truncated samples", nrrd + "\n" + samples.substr(1), M},
      {"nrrd more samples than sizes", n("4 3 2", "4 3 1"), M}, {"nrrd header does not end", nrrd, M},
      {"nrrd line without colon", n("dimension: 3", "dimension 3"), M},
      {"nrrd missing sizes", n("sizes: 4 3 2\n", ""), M}, {"nrrd two sizes", n("4 3 2", "4 3"), M},
      {"nrrd missing endian", n("endian: little\n", ""), M},
      {"nrrd zero spacing", n("raw\n", "raw\nspacings: 1 0 1\n"), M},
      {"nrrd byte skip -2", n("raw\n", "raw\nbyte skip: -2\n"), M},
      {"nrrd gzip byte skip -1", edited(gzipNrrd, "gzip\n", "gzip\nbyte skip: -1\n"), M},
      {"nrrd 2-d", n("dimension: 3", "dimension: 2"), U}, {"nrrd double samples", n("ushort", "double"), U},
      {"nrrd skewed axes", n("raw\n", skew), U}, {"nrrd flipped axis", n("raw\n", flip), U},
      {"nrrd bzip2", n("raw", "bzip2"), U}, {"nrrd absurd size", n("4 3 2", "1048576 1048576 2"), U},
      {"nrrd gzip cut short", gzipNrrd + gzipStored(samples).substr(0, 40), M},
      {"nrrd gzip holds more", edited(gzipNrrd, "4 3 2", "4 3 1") + gzipStored(samples), M},
      {"nrrd gzip that is not", gzipNrrd + samples, M},
      {"nhdr data file list", nrrd + "data file: LIST\n", U}, {"nhdr data file missing", nrrd + nhdrData, R},
      {"nhdr data file a folder", nrrd + "data file: .\n", R},
      {"nhdr data truncated", nrrd + nhdrData, M, samples.substr(1)},
      {"nhdr lines beyond the data", nrrd + "line skip: 3\n" + nhdrData, M, samples},
      {"mha 2-d", m("NDims = 3", "NDims = 2"), U}, {"mha missing DimSize", m("DimSize = 4 3 2\n", ""), M},
      {"mha missing ElementDataFile", edited(mha, "ElementDataFile = LOCAL\n", ""), M},
      {"mha line without =", m("NDims = 3", "NDims 3"), M}, {"mha double samples", m("MET_USHORT", "MET_DOUBLE"), U},
      {"mha rotated", m3("TransformMatrix = 0 1 0 1 0 0 0 0 1"), U},
      {"mha three channels", m3("ElementNumberOfChannels = 3"), U}, {"mha text samples", m3("BinaryData = False"), U},
      {"mha flag neither true nor false", m3("ElementByteOrderMSB = maybe"), M},
      {"mha negative spacing", m3("ElementSpacing = 1 -1 1"), M}, {"mha truncated samples", mha + samples.substr(1), M},
      {"mha more samples than sizes", m("4 3 2", "4 1 2"), M}, {"mha absurd size", m("4 3 2", "1048576 1048576 2"), U},
      {"mha compressed at the end", edited(zlibMha, "NDims", "HeaderSize = -1\nNDims") + zlibOf(samples), M},
      {"mha corrupt zlib stream", zlibMha + corruptZlib, M},
      {"mha zlib stream cut short", zlibMha + zlibOf(samples).substr(0, 8), M},
      {"mha zlib holds more", edited(zlibMha, "4 3 2", "4 3 1") + zlibOf(samples), M},
      {"mhd data file missing", mhd, R}, {"mhd data truncated", mhd, M, samples.substr(2)},
  };
  for (const auto& b : bads) {
    const std::string what = b.what, first = what.substr(0, what.find(' '));
    const bool named = first == "nrrd" || first == "nhdr" || first == "mha" || first == "mhd";
    const std::string path = tempPath("bad." + (named ? first : first == "gzip" ? "inr.gz" : "inr"));
    writeFile(path, b.bytes);
    if (!b.data.empty())
      writeFile(path + ".raw", b.data);
    Report r;
    Handler reader(KEXGridIO::createForFile(path.c_str(), r));
    ASSERT_TRUE(reader) << r.message;
    bool ok = true;
    r = readInto(*reader, path, &ok);
    EXPECT_FALSE(ok) << what;
    EXPECT_EQ(r.kind, b.kind) << what << ": " << r.message;
    // A missing field is refused for being missing, not for what its absence breaks later.
    if (const size_t at = what.find("missing "); at != std::string::npos && what.find("file") == std::string::npos) {
      EXPECT_NE(r.message.find(what.substr(at + 8)), std::string::npos) << what << ": " << r.message;
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
    const Report r = readInto(*h, ::testing::TempDir());
    EXPECT_TRUE(r.kind == Report::Unreadable && r.message.find("directory") != std::string::npos) << r.message;
    EXPECT_EQ(readInto(*h, tempPath("missing.volume")).kind, Report::Unreadable);
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
      writeForm(kCompressedMetaImage, path, v, v.bytes(false), false, 1);
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
      if (ok) {
        expectSamples(g, v, "after a fault the reader did not need");
        continue;
      }
      EXPECT_TRUE(r.kind == Report::OutOfMemory && r.message.find(path) != std::string::npos) << r.message;
      EXPECT_TRUE(g.isEmpty());
      sawOutOfMemory = true;
    }
    EXPECT_TRUE(sawOutOfMemory) << (inr ? "INR" : "MetaImage");
    std::remove(path.c_str());
  }
}
