// Volume file handlers: small writers of this test produce INR (plain and gzip-compressed), raw,
// NRRD (attached and detached, raw and gzip) and MetaImage (attached, compressed, detached) files
// for every sample type and byte order from random grids, and each read must give back every
// sample, the spacing and the origin. The real volumes of data/ read with their declared sizes, and a
// table of broken files must each fail with the expected kind and a message naming the file.
#include "kexmesh/io/GridIO.h"
#include "support/TemporaryFiles.h"

#include "kex/Testing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
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

// --- the test's writer ------------------------------------------------------------------------

// A source volume: raw sample values in double (each exactly representable in its type).
struct Volume {
  KEXSampleType type;
  int nx, ny, nz;
  double sx, sy, sz;
  std::vector<double> values;
  double origin[3] = {0, 0, 0};
};

Volume randomVolume(std::mt19937& rng, KEXSampleType type)
{
  std::uniform_int_distribution<int> dim(1, 7);
  std::uniform_real_distribution<double> spacing(0.1, 4.0);
  Volume v{type, dim(rng), dim(rng), dim(rng), spacing(rng), spacing(rng), spacing(rng), {}};
  v.values.resize(size_t(v.nx) * v.ny * v.nz);
  for (double& x : v.values) {
    switch (type) {
    case KEXSampleType::UInt8: x = std::uniform_int_distribution<int>(0, 255)(rng); break;
    case KEXSampleType::Int16: x = std::uniform_int_distribution<int>(-32768, 32767)(rng); break;
    case KEXSampleType::UInt16: x = std::uniform_int_distribution<int>(0, 65535)(rng); break;
    case KEXSampleType::Float32: x = double(float(std::uniform_real_distribution<double>(-1e6, 1e6)(rng))); break;
    }
  }
  return v;
}

std::string sampleBytes(const Volume& v, bool bigEndian)
{
  std::string out;
  for (double x : v.values) {
    unsigned char b[4];
    size_t n = 0;
    switch (v.type) {
    case KEXSampleType::UInt8: b[0] = (unsigned char)x, n = 1; break;
    case KEXSampleType::Int16: {
      int16_t s = int16_t(x);
      std::memcpy(b, &s, 2), n = 2;
      break;
    }
    case KEXSampleType::UInt16: {
      uint16_t s = uint16_t(x);
      std::memcpy(b, &s, 2), n = 2;
      break;
    }
    case KEXSampleType::Float32: {
      float f = float(x);
      std::memcpy(b, &f, 4), n = 4;
      break;
    }
    }
    const uint16_t one = 1;
    const bool hostLittle = *reinterpret_cast<const unsigned char*>(&one) == 1;
    if (bigEndian == hostLittle)
      for (size_t i = 0; i < n / 2; ++i)
        std::swap(b[i], b[n - 1 - i]);
    out.append(reinterpret_cast<char*>(b), n);
  }
  return out;
}

// An INR header with the given lines, "##}" and padding to a whole number of 256-byte blocks.
std::string inrHeader(const std::string& lines)
{
  std::string h = "#INRIMAGE-4#{\n" + lines;
  const size_t blocks = (h.size() + 4 + 255) / 256;
  h.append(blocks * 256 - h.size() - 4, '\n');
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

uint32_t crc32Of(const std::string& s)
{
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; ++k)
      c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

// A gzip stream of stored (uncompressed) deflate blocks: what any inflater must read.
std::string gzipStored(const std::string& data)
{
  std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  size_t at = 0;
  do {
    const size_t n = std::min<size_t>(65535, data.size() - at);
    const bool last = at + n == data.size();
    out += char(last ? 1 : 0);
    out += char(n & 0xFF), out += char(n >> 8), out += char(~n & 0xFF), out += char((~n >> 8) & 0xFF);
    out.append(data, at, n);
    at += n;
  } while (at < data.size());
  const uint32_t crc = crc32Of(data), size = uint32_t(data.size());
  for (uint32_t w : {crc, size})
    for (int k = 0; k < 4; ++k)
      out += char((w >> (8 * k)) & 0xFF);
  return out;
}

void expectSamples(const KEXGrid& g, const Volume& v, const std::string& what)
{
  ASSERT_EQ(g.getSampleType(), v.type) << what;
  ASSERT_EQ(g.getSize().x, v.nx) << what;
  ASSERT_EQ(g.getSize().y, v.ny) << what;
  ASSERT_EQ(g.getSize().z, v.nz) << what;
  size_t mismatches = 0;
  for (int k = 0; k < v.nz; ++k)
    for (int j = 0; j < v.ny; ++j)
      for (int i = 0; i < v.nx; ++i)
        mismatches += g.getSample(i, j, k) != v.values[(size_t(k) * v.ny + j) * v.nx + i];
  EXPECT_EQ(mismatches, 0u) << what;
  const double spacing[3] = {v.sx, v.sy, v.sz};
  const int size[3] = {v.nx, v.ny, v.nz};
  for (int a = 0; a < 3; ++a) {
    EXPECT_DOUBLE_EQ(g.getPosition(a, 0), v.origin[a]) << what;
    if (size[a] > 1) {
      EXPECT_NEAR(g.getPosition(a, size[a] - 1), v.origin[a] + spacing[a] * (size[a] - 1),
                  1e-9 * (spacing[a] * size[a] + std::fabs(v.origin[a])))
          << what;
    }
  }
}

// The zlib stream compress2 makes of data (a compressed MetaImage holds one).
std::string zlibOf(const std::string& data)
{
  uLongf n = compressBound(uLong(data.size()));
  std::string out(n, '\0');
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(data.data()),
                      uLong(data.size()), 6),
            Z_OK);
  out.resize(n);
  return out;
}

// Writes text to path and appends data as a gzip member (gzopen appends after the text).
void writeWithGzip(const std::string& path, const std::string& text, const std::string& data)
{
  writeFile(path, text);
  gzFile f = gzopen(path.c_str(), "ab");
  ASSERT_NE(f, nullptr) << path;
  EXPECT_EQ(gzwrite(f, data.data(), unsigned(data.size())), int(data.size()));
  EXPECT_EQ(gzclose(f), Z_OK);
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string threeNumbers(const char* format, double a, double b, double c)
{
  char buf[200];
  std::snprintf(buf, sizeof buf, format, a, b, c);
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
         threeNumbers((std::string(origins[round % 3]) + " = %.17g %.17g %.17g\n").c_str(), v.origin[0], v.origin[1],
                      v.origin[2]) +
         threeNumbers(round % 2 ? "ElementSpacing = %.17g %.17g %.17g\n" : "ElementSize = %.17g %.17g %.17g\n", v.sx,
                      v.sy, v.sz) +
         "DimSize = " + std::to_string(v.nx) + " " + std::to_string(v.ny) + " " + std::to_string(v.nz) +
         "\nElementType = " + types[int(v.type)] + "\n" + extra;
}

// One way of storing a volume in a NRRD or MetaImage file. Detached samples go to "<path>.raw"
// (or "<path>.raw.gz"); mapped samples keep the file's byte order.
struct Form {
  const char* name;
  bool mapped;
  void (*write)(const std::string& path, const Volume& v, const std::string& samples, bool big, int round);
};

// Bytes to read past before detached samples: a skip of -1 (samples at the end) on odd rounds,
// lines and bytes skipped on even ones.
const Form forms[] = {
    {"round.nrrd", true,
     [](const std::string& p, const Volume& v, const std::string& s, bool big, int r) {
       writeFile(p, nrrdHeader(v, big, r, "encoding: raw\n\n") + s);
     }},
    {"round-gzip.nrrd", false,
     [](const std::string& p, const Volume& v, const std::string& s, bool big, int r) {
       writeWithGzip(p, nrrdHeader(v, big, r, r % 2 ? "encoding: gz\n\n" : "encoding: gzip\n\n"), s);
     }},
    {"round.nhdr", true,
     [](const std::string& p, const Volume& v, const std::string& s, bool big, int r) {
       const std::string data = baseName(p) + ".raw";
       writeFile(p, nrrdHeader(v, big, r,
                               (r % 2 ? "byte skip: -1\ndata file: " : "line skip: 2\nbyte skip: 5\ndatafile: ") + data +
                                   "\nencoding: raw\n"));
       writeFile(p + ".raw", (r % 2 ? std::string(size_t(r * 7), 'j') : "one line\nline two\nbytes") + s);
     }},
    {"round-gzip.nhdr", false,
     [](const std::string& p, const Volume& v, const std::string& s, bool big, int r) {
       writeFile(p, nrrdHeader(v, big, r, "encoding: gzip\nbyte skip: 3\ndata file: " + baseName(p) + ".raw.gz\n"));
       writeWithGzip(p + ".raw.gz", "", "123" + s);
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

const Form& formNamed(const char* name)
{
  for (const Form& f : forms)
    if (std::strcmp(f.name, name) == 0)
      return f;
  ADD_FAILURE() << name;
  return forms[0];
}

void removeForm(const std::string& path)
{
  for (const char* suffix : {"", ".raw", ".raw.gz"})
    std::remove((path + suffix).c_str());
}

const KEXSampleType allTypes[] = {KEXSampleType::UInt8, KEXSampleType::Int16, KEXSampleType::UInt16,
                                  KEXSampleType::Float32};

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

// Reads path with h into a grid holding a 3 x 1 x 1 marker; a failure must name the file, say
// what went wrong and leave a grid that is either untouched or empty.
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

} // namespace

TEST(GridIO, CreateForFileChoosesTheHandlerByExtension)
{
  struct Case {
    const char* name;
    const char* format;
  };
  const Case cases[] = {{"a.inr", "INR"},   {"b.INR", "INR"},        {"dir/c.inr.gz", "INR"},    {"d.raw", "RAW"},
                        {"e.nrrd", "NRRD"}, {"f.nhdr", "NRRD"},      {"g.mha", "MetaImage"},     {"h.MHD", "MetaImage"}};
  for (const Case& c : cases) {
    Report r;
    Handler h(KEXGridIO::createForFile(c.name, r));
    ASSERT_NE(h, nullptr) << c.name << ": " << r.message;
    EXPECT_STREQ(h->getFormatName(), c.format);
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
  Handler h = handler("KEXGridIOINR");
  ASSERT_TRUE(h);
  KEXGrid grid;
  Report r;
  EXPECT_TRUE(h->read(KEXMESH_DATA_DIR "/sphere.inr", &grid, r)) << r.message;
  EXPECT_EQ(grid.getSize().x, 10);
  Handler other = handler("KEXGridIORAW");
  ASSERT_TRUE(other);
  EXPECT_FALSE(h->read("x.inr", other.get(), r)) << "a handler object is no grid";
  EXPECT_EQ(r.kind, Report::Unsupported);
  EXPECT_FALSE(h->read("x.inr", nullptr, r));
  EXPECT_FALSE(h->write("y.inr", &grid, r));
  EXPECT_EQ(r.kind, Report::Unsupported);
  EXPECT_NE(r.message.find("y.inr"), std::string::npos);
}

// Every sample type in both byte orders, plain and compressed, as raw data behind a random header
// and in every NRRD and MetaImage form, from random grids: each read gives back every sample, the
// spacing and the origin.
TEST(GridIO, RoundTripEveryTypeAndByteOrder)
{
  std::mt19937 rng(20261207);
  Handler inr = handler("KEXGridIOINR");
  Handler raw = handler("KEXGridIORAW");
  ASSERT_TRUE(inr && raw);
  const std::string path = tempPath("round.inr"), gzPath = tempPath("round.inr.gz"), rawPath = tempPath("round.raw");
  for (int round = 0; round < 6; ++round)
    for (KEXSampleType type : allTypes)
      for (bool big : {false, true}) {
        const Volume v = randomVolume(rng, type);
        const std::string samples = sampleBytes(v, big);
        const std::string what = "type " + std::to_string(int(type)) + (big ? " big" : " little") + " endian, round " +
                                 std::to_string(round);
        const std::string inrBytes = inrHeader(inrLines(v, big)) + samples;
        writeFile(path, inrBytes);
        writeFile(gzPath, gzipStored(inrBytes));
        for (const std::string& p : {path, gzPath}) {
          KEXGrid g;
          Report r;
          ASSERT_TRUE(inr->readGrid(p.c_str(), g, r)) << what << ": " << r.message;
          expectSamples(g, v, what + " " + p);
          // Attached storage keeps the file's order; inflated storage is the machine's.
          if (p == path)
            EXPECT_EQ(g.isBigEndian(), big) << what;
          else
            EXPECT_FALSE(g.isBigEndian()) << what;
        }
        const long long header = std::uniform_int_distribution<int>(0, 700)(rng);
        writeFile(rawPath, std::string(size_t(header), 'h') + samples + "trailing bytes are read past");
        KEXGridIO::RawLayout layout{type, v.nx, v.ny, v.nz, v.sx, v.sy, v.sz, big, header};
        ASSERT_TRUE(raw->setRawLayout(layout));
        KEXGrid g;
        Report r;
        ASSERT_TRUE(raw->readGrid(rawPath.c_str(), g, r)) << what << ": " << r.message;
        expectSamples(g, v, what + " raw");
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
  std::remove(path.c_str());
  std::remove(gzPath.c_str());
  std::remove(rawPath.c_str());
}

// A grid that outlives its handler and is re-read keeps working: the mapping belongs to the grid.
TEST(GridIO, MappedSamplesOutliveTheHandlerAndAreReleasedOnReplace)
{
  std::mt19937 rng(7);
  const Volume v = randomVolume(rng, KEXSampleType::Int16);
  const std::string path = tempPath("outlive.inr");
  writeFile(path, inrHeader(inrLines(v, true)) + sampleBytes(v, true));
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
  Handler raw = handler("KEXGridIORAW");
  Handler inr = handler("KEXGridIOINR");
  ASSERT_TRUE(raw && inr);
  const std::string path = tempPath("layout.raw");
  writeFile(path, std::string(64, '\x01'));
  KEXGrid g;
  Outcome o = readInto(*raw, path, g);
  EXPECT_EQ(o.report.kind, Report::Unsupported) << "no layout yet";
  KEXGridIO::RawLayout good{KEXSampleType::UInt16, 4, 4, 2, 1, 1, 1, false, 0};
  EXPECT_FALSE(inr->setRawLayout(good)) << "a format with a header takes no layout";
  using L = KEXGridIO::RawLayout;
  const L bad[] = {
      {KEXSampleType::UInt8, 0, 1, 1, 1, 1, 1, false, 0},        {KEXSampleType::UInt8, 1, -1, 1, 1, 1, 1, false, 0},
      {KEXSampleType::UInt8, 1, 1, 1, 0, 1, 1, false, 0},        {KEXSampleType::UInt8, 1, 1, 1, 1, NAN, 1, false, 0},
      {KEXSampleType::UInt8, 1, 1, 1, 1, 1, INFINITY, false, 0}, {KEXSampleType::UInt8, 1, 1, 1, 1, 1, 1, false, -1},
      {KEXSampleType(9), 1, 1, 1, 1, 1, 1, false, 0},
  };
  for (const L& l : bad)
    EXPECT_FALSE(raw->setRawLayout(l));
  ASSERT_TRUE(raw->setRawLayout(good));
  ASSERT_TRUE(raw->readGrid(path.c_str(), g, o.report)) << o.report.message;
  EXPECT_EQ(g.getSample(3, 3, 1), 257.0);
  // One sample more than the file holds, or a header past its end: truncated.
  for (L l : {L{KEXSampleType::UInt16, 4, 4, 2, 1, 1, 1, false, 1}, L{KEXSampleType::UInt8, 1, 1, 1, 1, 1, 1, false, 65},
              L{KEXSampleType::Float32, 17, 1, 1, 1, 1, 1, false, 0}}) {
    ASSERT_TRUE(raw->setRawLayout(l));
    KEXGrid marker;
    ASSERT_TRUE(marker.create(KEXSampleType::UInt8, 3, 1, 1));
    o = readInto(*raw, path, marker);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.report.kind, Report::Malformed) << o.report.message;
    EXPECT_EQ(marker.getSize().x, 3) << "a refused read left the grid as it was";
  }
  // Beyond the largest grid: refused before the file is even measured.
  ASSERT_TRUE(raw->setRawLayout(L{KEXSampleType::UInt8, 1 << 20, 1 << 20, 2, 1, 1, 1, false, 0}));
  KEXGrid empty;
  o = readInto(*raw, path, empty);
  EXPECT_EQ(o.report.kind, Report::Unsupported) << o.report.message;
  std::remove(path.c_str());
}

// The real volumes, with the sizes and spacings their headers declare.
TEST(GridIO, RealVolumes)
{
  struct Real {
    const char* file;
    int nx, ny, nz;
    KEXSampleType type;
    double sx, sy, sz;
    bool warns; // an unpadded header
  };
  const Real reals[] = {
      {"12323.inr", 2, 2, 2, KEXSampleType::UInt8, 100, 100, 100, false},
      {"20012323.inr", 2, 2, 2, KEXSampleType::UInt8, 100, 100, 100, false},
      {"40420.inr", 2, 2, 2, KEXSampleType::UInt8, 100, 100, 100, false},
      {"420.inr", 2, 2, 2, KEXSampleType::UInt8, 100, 100, 100, false},
      {"small-scalar.inr", 2, 2, 2, KEXSampleType::Float32, 100, 100, 100, true},
      {"sphere.inr", 10, 10, 10, KEXSampleType::UInt8, 1, 1, 1, false},
      {"sphere.inr.gz", 10, 10, 10, KEXSampleType::UInt8, 1, 1, 1, false},
      {"skull_2.9.inr", 64, 64, 64, KEXSampleType::Float32, 3.943050, 3.943050, 3.650790, false},
      {"liver.inr.gz", 438, 353, 165, KEXSampleType::UInt8, 0.617188, 0.617188, 1.33333, false},
  };
  Handler h = handler("KEXGridIOINR");
  ASSERT_TRUE(h);
  KEXGrid plain;
  for (const Real& real : reals) {
    const std::string path = std::string(KEXMESH_DATA_DIR) + "/" + real.file;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      ADD_FAILURE() << path << " is missing";
      continue;
    }
    KEXGrid g;
    Report r;
    ASSERT_TRUE(h->readGrid(path.c_str(), g, r)) << r.message;
    EXPECT_EQ(g.getSize().x, real.nx) << real.file;
    EXPECT_EQ(g.getSize().y, real.ny) << real.file;
    EXPECT_EQ(g.getSize().z, real.nz) << real.file;
    EXPECT_EQ(g.getSampleType(), real.type) << real.file;
    EXPECT_NEAR(g.getPosition(0, 1), real.sx, 1e-12) << real.file;
    EXPECT_NEAR(g.getPosition(1, 1), real.sy, 1e-12) << real.file;
    EXPECT_NEAR(g.getPosition(2, 1), real.sz, 1e-12) << real.file;
    EXPECT_EQ(r.warnings.size(), real.warns ? 1u : 0u) << real.file;
    double sum = 0;
    for (int k = 0; k < real.nz; k += 3)
      for (int j = 0; j < real.ny; j += 3)
        for (int i = 0; i < real.nx; i += 3)
          sum += std::fabs(g.getSample(i, j, k));
    EXPECT_TRUE(std::isfinite(sum)) << real.file;
    if (std::string(real.file) == "sphere.inr")
      plain = g;
    if (std::string(real.file) == "sphere.inr.gz") {
      ASSERT_FALSE(plain.isEmpty());
      int differ = 0;
      for (int k = 0; k < 10; ++k)
        for (int j = 0; j < 10; ++j)
          for (int i = 0; i < 10; ++i)
            differ += plain.getSample(i, j, k) != g.getSample(i, j, k);
      EXPECT_EQ(differ, 0) << "the compressed sphere holds the plain one's samples";
    }
  }
}

// Broken files: each fails with the expected kind, names the file and leaves the target grid as
// it was (or, for a compressed stream failing after allocation, empty).
TEST(GridIO, BadInputsFailCleanly)
{
  const std::string lines = "XDIM=4\nYDIM=3\nZDIM=2\nVDIM=1\nTYPE=unsigned fixed\nPIXSIZE=16 bits\nCPU=decm\n";
  const std::string samples(48, '\x02');
  const std::string good = inrHeader(lines) + samples;
  auto with = [&](const std::string& from, const std::string& to) { return inrHeader(edited(lines, from, to)) + samples; };
  struct Bad {
    const char* what;
    std::string bytes;
    bool gz;
    Report::Kind kind;
  };
  const std::string hugeDims = "XDIM=1048576\nYDIM=1048576\nZDIM=2\n";
  const Bad bads[] = {
      {"empty file", "", false, Report::Malformed},
      {"wrong magic", "#INRIMAGE-5#{\n" + good.substr(14), false, Report::Malformed},
      {"no end of header", "#INRIMAGE-4#{\n" + lines + std::string(300, '\n'), false, Report::Malformed},
      {"header cut in its first block", good.substr(0, 100), false, Report::Malformed},
      {"truncated samples", good.substr(0, good.size() - 1), false, Report::Malformed},
      {"no samples at all", good.substr(0, 256), false, Report::Malformed},
      {"zero size", with("YDIM=3", "YDIM=0"), false, Report::Malformed},
      {"negative size", with("ZDIM=2", "ZDIM=-2"), false, Report::Malformed},
      {"size not a number", with("XDIM=4", "XDIM=four"), false, Report::Malformed},
      {"missing ZDIM", with("ZDIM=2\n", ""), false, Report::Malformed},
      {"missing TYPE", with("TYPE=unsigned fixed\n", ""), false, Report::Malformed},
      {"missing PIXSIZE", with("PIXSIZE=16 bits\n", ""), false, Report::Malformed},
      {"PIXSIZE without bits", with("PIXSIZE=16 bits", "PIXSIZE=16"), false, Report::Malformed},
      {"a line without =", with("VDIM=1", "VDIM 1"), false, Report::Malformed},
      {"zero spacing", with("VDIM=1", "VDIM=1\nVX=0"), false, Report::Malformed},
      {"spacing not a number", with("VDIM=1", "VDIM=1\nVY=abc"), false, Report::Malformed},
      {"absurd size", with("XDIM=4\nYDIM=3\nZDIM=2\n", hugeDims), false, Report::Unsupported},
      {"dimension beyond int", with("XDIM=4", "XDIM=3000000000"), false, Report::Unsupported},
      {"vector samples", with("VDIM=1", "VDIM=3"), false, Report::Unsupported},
      {"64-bit float", with("TYPE=unsigned fixed\nPIXSIZE=16 bits", "TYPE=float\nPIXSIZE=64 bits"), false,
       Report::Unsupported},
      {"8-bit signed", with("TYPE=unsigned fixed\nPIXSIZE=16 bits", "TYPE=signed fixed\nPIXSIZE=8 bits"), false,
       Report::Unsupported},
      {"unknown type", with("TYPE=unsigned fixed", "TYPE=packed"), false, Report::Unsupported},
      {"unknown cpu", with("CPU=decm", "CPU=vax"), false, Report::Unsupported},
      {"gzip samples cut short", good.substr(0, good.size() - 5), true, Report::Malformed},
      {"gzip header cut short", good.substr(0, 200), true, Report::Malformed},
      {"gzip absurd size", with("XDIM=4\nYDIM=3\nZDIM=2\n", hugeDims), true, Report::Unsupported},
  };
  Handler h = handler("KEXGridIOINR");
  ASSERT_TRUE(h);
  for (const Bad& b : bads) {
    const std::string path = tempPath(std::string("bad.inr") + (b.gz ? ".gz" : ""));
    writeFile(path, b.gz ? gzipStored(b.bytes) : b.bytes);
    KEXGrid g;
    ASSERT_TRUE(g.create(KEXSampleType::UInt8, 3, 1, 1));
    Outcome o = readInto(*h, path, g);
    EXPECT_FALSE(o.ok) << b.what;
    EXPECT_EQ(o.report.kind, b.kind) << b.what << ": " << o.report.message;
    std::remove(path.c_str());
  }
  // A gzip stream cut inside its deflate data (not at a block boundary of the samples) and one
  // whose checksum is wrong.
  const std::string gz = gzipStored(good);
  struct Corrupt {
    const char* what;
    std::string bytes;
  };
  std::string badCrc = gz;
  badCrc[badCrc.size() - 6] ^= 0x55;
  const Corrupt corrupt[] = {{"cut stream", gz.substr(0, gz.size() - 20)}, {"bad checksum", badCrc}};
  for (const Corrupt& c : corrupt) {
    const std::string path = tempPath("corrupt.inr.gz");
    writeFile(path, c.bytes);
    KEXGrid g;
    Outcome o = readInto(*h, path, g);
    EXPECT_FALSE(o.ok) << c.what;
    EXPECT_EQ(o.report.kind, Report::Malformed) << c.what << ": " << o.report.message;
    EXPECT_TRUE(g.isEmpty()) << c.what;
    std::remove(path.c_str());
  }
  // NRRD and MetaImage: a good header of each, edited. A detached header names "<file>.raw", which
  // holds data unless that is empty (then it is missing).
  const std::string nrrd = "NRRD0004\ntype: ushort\ndimension: 3\nsizes: 4 3 2\nendian: little\nencoding: raw\n";
  const std::string mha = "NDims = 3\nDimSize = 4 3 2\nElementType = MET_USHORT\nElementDataFile = LOCAL\n";
  const std::string nhdrData = "data file: " + baseName(tempPath("bad.nhdr")) + ".raw\n";
  const std::string mhdData = "ElementDataFile = " + baseName(tempPath("bad.mhd")) + ".raw\n";
  auto n = [&](const std::string& from, const std::string& to) { return edited(nrrd, from, to) + "\n" + samples; };
  auto m = [&](const std::string& from, const std::string& to) { return edited(mha, from, to) + samples; };
  const std::string gzipNrrd = edited(nrrd, "raw", "gzip") + "\n";
  const std::string zlibMha = edited(mha, "ElementDataFile", "CompressedData = True\nElementDataFile");
  std::string corruptZlib = zlibOf(samples);
  corruptZlib[corruptZlib.size() - 2] ^= 0x55;
  struct BadHeader {
    const char* what;
    const char* name;
    std::string bytes, data;
    Report::Kind kind;
  };
  const BadHeader badHeaders[] = {
      {"nrrd wrong magic", "bad.nrrd", n("NRRD0004", "NRRD0009"), "", Report::Malformed},
      {"nrrd truncated samples", "bad.nrrd", nrrd + "\n" + samples.substr(1), "", Report::Malformed},
      {"nrrd more samples than sizes", "bad.nrrd", n("4 3 2", "4 3 1"), "", Report::Malformed},
      {"nrrd header does not end", "bad.nrrd", nrrd, "", Report::Malformed},
      {"nrrd line without colon", "bad.nrrd", n("dimension: 3", "dimension 3"), "", Report::Malformed},
      {"nrrd missing sizes", "bad.nrrd", n("sizes: 4 3 2\n", ""), "", Report::Malformed},
      {"nrrd two sizes", "bad.nrrd", n("4 3 2", "4 3"), "", Report::Malformed},
      {"nrrd missing endian", "bad.nrrd", n("endian: little\n", ""), "", Report::Malformed},
      {"nrrd zero spacing", "bad.nrrd", n("raw\n", "raw\nspacings: 1 0 1\n"), "", Report::Malformed},
      {"nrrd byte skip -2", "bad.nrrd", n("raw\n", "raw\nbyte skip: -2\n"), "", Report::Malformed},
      {"nrrd gzip byte skip -1", "bad.nrrd", edited(gzipNrrd, "gzip\n", "gzip\nbyte skip: -1\n"), "",
       Report::Malformed},
      {"nrrd 2-d", "bad.nrrd", n("dimension: 3", "dimension: 2"), "", Report::Unsupported},
      {"nrrd double samples", "bad.nrrd", n("ushort", "double"), "", Report::Unsupported},
      {"nrrd skewed axes", "bad.nrrd", n("raw\n", "raw\nspace directions: (1,0.5,0) (0,1,0) (0,0,1)\n"), "",
       Report::Unsupported},
      {"nrrd flipped axis", "bad.nrrd", n("raw\n", "raw\nspace directions: (-1,0,0) (0,1,0) (0,0,1)\n"), "",
       Report::Unsupported},
      {"nrrd bzip2", "bad.nrrd", n("raw", "bzip2"), "", Report::Unsupported},
      {"nrrd absurd size", "bad.nrrd", n("4 3 2", "1048576 1048576 2"), "", Report::Unsupported},
      {"nrrd gzip cut short", "bad.nrrd", gzipNrrd + gzipStored(samples).substr(0, 40), "", Report::Malformed},
      {"nrrd gzip holds more", "bad.nrrd", edited(gzipNrrd, "4 3 2", "4 3 1") + gzipStored(samples), "",
       Report::Malformed},
      {"nrrd gzip that is not", "bad.nrrd", gzipNrrd + samples, "", Report::Malformed},
      {"nrrd data file list", "bad.nhdr", nrrd + "data file: LIST\n", "", Report::Unsupported},
      {"nhdr data file missing", "bad.nhdr", nrrd + nhdrData, "", Report::Unreadable},
      {"nhdr data file a folder", "bad.nhdr", nrrd + "data file: .\n", "", Report::Unreadable},
      {"nhdr data truncated", "bad.nhdr", nrrd + nhdrData, samples.substr(1), Report::Malformed},
      {"nhdr lines beyond the data", "bad.nhdr", nrrd + "line skip: 3\n" + nhdrData, samples, Report::Malformed},
      {"mha 2-d", "bad.mha", m("NDims = 3", "NDims = 2"), "", Report::Unsupported},
      {"mha missing DimSize", "bad.mha", m("DimSize = 4 3 2\n", ""), "", Report::Malformed},
      {"mha missing ElementDataFile", "bad.mha", edited(mha, "ElementDataFile = LOCAL\n", ""), "",
       Report::Malformed},
      {"mha line without =", "bad.mha", m("NDims = 3", "NDims 3"), "", Report::Malformed},
      {"mha double samples", "bad.mha", m("MET_USHORT", "MET_DOUBLE"), "", Report::Unsupported},
      {"mha rotated", "bad.mha", m("NDims = 3\n", "NDims = 3\nTransformMatrix = 0 1 0 1 0 0 0 0 1\n"), "",
       Report::Unsupported},
      {"mha three channels", "bad.mha", m("NDims = 3\n", "NDims = 3\nElementNumberOfChannels = 3\n"), "",
       Report::Unsupported},
      {"mha text samples", "bad.mha", m("NDims = 3\n", "NDims = 3\nBinaryData = False\n"), "", Report::Unsupported},
      {"mha flag neither true nor false", "bad.mha", m("NDims = 3\n", "NDims = 3\nElementByteOrderMSB = maybe\n"), "",
       Report::Malformed},
      {"mha negative spacing", "bad.mha", m("NDims = 3\n", "NDims = 3\nElementSpacing = 1 -1 1\n"), "",
       Report::Malformed},
      {"mha truncated samples", "bad.mha", mha + samples.substr(1), "", Report::Malformed},
      {"mha more samples than sizes", "bad.mha", m("4 3 2", "4 1 2"), "", Report::Malformed},
      {"mha absurd size", "bad.mha", m("4 3 2", "1048576 1048576 2"), "", Report::Unsupported},
      {"mha compressed at the end", "bad.mha", edited(zlibMha, "NDims", "HeaderSize = -1\nNDims") + zlibOf(samples), "",
       Report::Malformed},
      {"mha corrupt zlib stream", "bad.mha", zlibMha + corruptZlib, "", Report::Malformed},
      {"mha zlib stream cut short", "bad.mha", zlibMha + zlibOf(samples).substr(0, 8), "", Report::Malformed},
      {"mha zlib holds more", "bad.mha", edited(zlibMha, "4 3 2", "4 3 1") + zlibOf(samples), "", Report::Malformed},
      {"mhd data file missing", "bad.mhd", edited(mha, "ElementDataFile = LOCAL\n", mhdData), "", Report::Unreadable},
      {"mhd data truncated", "bad.mhd", edited(mha, "ElementDataFile = LOCAL\n", mhdData), samples.substr(2),
       Report::Malformed},
  };
  for (const BadHeader& b : badHeaders) {
    const std::string path = tempPath(b.name);
    writeFile(path, b.bytes);
    if (!b.data.empty())
      writeFile(path + ".raw", b.data);
    Report r;
    Handler reader(KEXGridIO::createForFile(path.c_str(), r));
    ASSERT_TRUE(reader) << r.message;
    KEXGrid g;
    ASSERT_TRUE(g.create(KEXSampleType::UInt8, 3, 1, 1));
    Outcome o = readInto(*reader, path, g);
    EXPECT_FALSE(o.ok) << b.what;
    EXPECT_EQ(o.report.kind, b.kind) << b.what << ": " << o.report.message;
    removeForm(path);
  }
  // Not a file: a directory, and a name that does not exist.
  KEXGrid g;
  const std::string folder = ::testing::TempDir();
  Handler nrrdReader = handler("KEXGridIONRRD"), metaReader = handler("KEXGridIOMetaImage");
  ASSERT_TRUE(nrrdReader && metaReader);
  for (KEXGridIO* handlerOf : {h.get(), nrrdReader.get(), metaReader.get()}) {
    Outcome o = readInto(*handlerOf, folder, g);
    EXPECT_EQ(o.report.kind, Report::Unreadable) << o.report.message;
    EXPECT_NE(o.report.message.find("directory"), std::string::npos) << o.report.message;
    o = readInto(*handlerOf, tempPath("missing.volume"), g);
    EXPECT_EQ(o.report.kind, Report::Unreadable) << o.report.message;
  }
  Handler raw = handler("KEXGridIORAW");
  ASSERT_TRUE(raw);
  ASSERT_TRUE(raw->setRawLayout(KEXGridIO::RawLayout{KEXSampleType::UInt8, 1, 1, 1, 1, 1, 1, false, 0}));
  Outcome o = readInto(*raw, folder, g);
  EXPECT_EQ(o.report.kind, Report::Unreadable) << o.report.message;
  o = readInto(*raw, tempPath("missing.raw"), g);
  EXPECT_EQ(o.report.kind, Report::Unreadable) << o.report.message;
}

// Every allocation of a compressed read may fail (a gzip INR, and a zlib MetaImage whose inflater
// state and window are framework memory): the read then fails cleanly (OutOfMemory) and nothing
// leaks.
TEST(GridIO, AllocationFailuresOfACompressedRead)
{
  std::mt19937 rng(3);
  for (const char* className : {"KEXGridIOINR", "KEXGridIOMetaImage"}) {
    const bool inr = std::strcmp(className, "KEXGridIOINR") == 0;
    Volume v = randomVolume(rng, KEXSampleType::UInt16);
    if (!inr) {
      // Random samples beyond one buffer of compressed input: the inflater then needs its window.
      v.nx = v.ny = v.nz = 40;
      v.values.resize(40 * 40 * 40);
      for (double& x : v.values)
        x = std::uniform_int_distribution<int>(0, 65535)(rng);
    }
    const std::string path = tempPath(inr ? "alloc.inr.gz" : "alloc.mha");
    if (inr)
      writeFile(path, gzipStored(inrHeader(inrLines(v, false)) + sampleBytes(v, false)));
    else
      formNamed("round-compressed.mha").write(path, v, sampleBytes(v, false), false, 1);
    Handler h = handler(className);
    ASSERT_TRUE(h);
    bool sawOutOfMemory = false;
    for (long n = 1; n < 50; ++n) {
      KEXGrid g;
      Report r;
      bool ok;
      bool fired;
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
    EXPECT_TRUE(sawOutOfMemory) << className;
    std::remove(path.c_str());
  }
}
