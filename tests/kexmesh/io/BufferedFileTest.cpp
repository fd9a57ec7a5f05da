#include "kexmesh/io/BufferedFile.h"

#include "kex/Testing.h"
#include "support/TemporaryFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using kexmeshtest::tempPath;
using kexmeshtest::readFile;
using kexmeshtest::exists;

struct WriteLog {
  WriteLog() { kexTest::setFileWriteLogging(true); }
  ~WriteLog() { kexTest::setFileWriteLogging(false), kexTest::clearFileWriteFault(); }
  std::vector<long long> get() const { return kexTest::fileWriteLog(); }
};

std::vector<char> pattern(size_t n, unsigned seed)
{
  std::vector<char> v(n);
  std::mt19937 rng(seed);
  for (char& c : v)
    c = char(rng());
  return v;
}

} // namespace

TEST(BufferedFile, PositionAndSizeIncludeBufferedBytes)
{
  std::string path = tempPath("pos");
  KEXBufferedFile f(path.c_str(), "wb");
  ASSERT_TRUE(f.isOpen());
  EXPECT_TRUE(f.write("abcdefg", 1, 7) == 7 && f.getBufferedCount() == 7);
  EXPECT_TRUE(f.getPos() == 7 && f.getBufferedCount() == 0);
  EXPECT_TRUE(f.write("hij", 1, 3) == 3 && f.getSize() == 10);
  EXPECT_TRUE(f.seek(2, KEXBufferedFile::SeekSet) && f.write("XY", 1, 2) == 2);
  EXPECT_TRUE(f.setPos(10) && f.write("k", 1, 1) == 1);
  // Formatted writes take up to 1023 characters.
  std::string fits(1023, 'a'), tooLong(1024, 'b');
  EXPECT_TRUE(f.write("%d-%s", 42, "x") == 4 && f.write("%s", fits.c_str()) == 1023);
  EXPECT_TRUE(f.write("%s", tooLong.c_str()) == 0 && f.write("%s", "") == 0);
  EXPECT_TRUE(f.resize(1040) && f.close());
  EXPECT_EQ(readFile(path), std::string("abXYefghijk42-x", 15) + fits + std::string(2, '\0'));
  std::remove(path.c_str());
}

TEST(BufferedFile, RemoveDropsBufferedBytesWithoutWriting)
{
  std::string path = tempPath("remove");
  WriteLog log;
  KEXBufferedFile f(path.c_str(), "wb");
  EXPECT_EQ(f.write("data", 1, 4), 4);
  EXPECT_TRUE(f.remove() && log.get().empty() && !exists(path));
  EXPECT_TRUE(!f.isOpen() && f.getFileMode() == nullptr);
  EXPECT_FALSE(f.remove()); // only for an open file
}

TEST(BufferedFile, ShortWriteKeepsUnwrittenBytesAndRetryCompletes)
{
  std::string path = tempPath("short");
  std::vector<char> data = pattern(1000, 2);
  WriteLog log;
  KEXBufferedFile f(path.c_str(), "wb");
  ASSERT_EQ(f.write(data.data(), 1, 1000), 1000);
  kexTest::failNextFileWrite(300);
  EXPECT_TRUE(!f.flush() && f.getBufferedCount() == 700);
  // A positioning call must not move while bytes are pending (they would land elsewhere).
  kexTest::failNextFileWrite(0);
  EXPECT_TRUE(!f.setPos(0) && f.getBufferedCount() == 700);
  EXPECT_TRUE(f.flush() && f.getBufferedCount() == 0 && f.close());
  EXPECT_EQ(readFile(path), std::string(data.begin(), data.end()));
  std::remove(path.c_str());
}

TEST(BufferedFile, WriteReportsZeroWhenAFlushFails)
{
  std::string path = tempPath("wfail");
  KEXBufferedFile f(path.c_str(), "wb");
  ASSERT_TRUE(f.setBufferSize(16));
  kexTest::failNextFileWrite(0);
  std::vector<char> data = pattern(40, 3);
  EXPECT_TRUE(f.write(data.data(), 1, 40) == 0 && f.getBufferedCount() == 16); // taken before the failure, still buffered
  EXPECT_EQ(f.write(static_cast<const void*>(nullptr), 1, 4) + f.write(data.data(), 0, 4) + f.write(data.data(), 4, 0), 0);
  EXPECT_TRUE(f.close() && readFile(path) == std::string(data.begin(), data.begin() + 16));
  std::remove(path.c_str());
  kexTest::clearFileWriteFault();
}

TEST(BufferedFile, BufferSizeChangesFlushAndRoundUp)
{
  std::string path = tempPath("size");
  WriteLog log;
  KEXBufferedFile f;
  EXPECT_TRUE(f.setBufferSize(100) && f.getBufferSize() == 100); // closed: only stored
  ASSERT_TRUE(f.open(path.c_str(), "wb"));
  EXPECT_STREQ(f.getFileMode(), "wb");
  std::vector<char> data = pattern(250, 4);
  EXPECT_TRUE(f.write(data.data(), 1, 250) == 250 && f.setBufferSize(10));
  EXPECT_EQ(log.get(), (std::vector<long long>{112, 112, 26})); // 100 rounded up to 112; the rest on resizing
  EXPECT_FALSE(f.setBufferSize(0));
  EXPECT_TRUE(f.close() && f.getFileMode() == nullptr && readFile(path) == std::string(data.begin(), data.end()));
  std::remove(path.c_str());
}

TEST(BufferedFile, RandomWriteSequencesMatchTheirConcatenation)
{
  std::mt19937 rng(7);
  const std::string path = tempPath("random");
  for (int round = 0; round < 20; ++round) {
    WriteLog log;
    const int bufferSize = 1 + int(rng() % 5000), capacity = (bufferSize + 15) / 16 * 16;
    KEXBufferedFile f;
    ASSERT_TRUE(f.setBufferSize(bufferSize) && f.open(path.c_str(), "wb"));
    std::string expected;
    for (int i = 0; i < 50; ++i) {
      const int size = 1 + int(rng() % 4), count = 1 + int(rng() % 3000);
      const std::vector<char> data = pattern(size_t(size) * count, unsigned(rng()));
      ASSERT_EQ(f.write(data.data(), size, count), size * count);
      expected.append(data.begin(), data.end());
    }
    for (long long n : log.get())
      EXPECT_EQ(n, capacity); // only full buffers are written while writing
    EXPECT_TRUE(f.close() && readFile(path) == expected);
  }
  std::remove(path.c_str());
}

TEST(BufferedFile, MissingRecordOrBufferFailsEverything)
{
  std::string path = tempPath("oom");
  {
    kexTest::ErrorCapture errors;
    kexTest::AllocationFault fault(1);
    KEXBufferedFile f;
    EXPECT_TRUE(fault.fired() && errors.has(KEX::OutOfMemory));
    EXPECT_FALSE(f.open(path.c_str(), "wb") || f.flush() || f.close() || f.isOpen());
    EXPECT_EQ(f.write("x", 1, 1) + f.write("%d", 1), 0);
    EXPECT_TRUE(f.getPos() == -1 && f.getSize() == -1 && f.getBufferSize() == -1);
  }
  // The write buffer is the last allocation of open: its failure closes the file again.
  KEXBufferedFile f;
  long long calls = kexTest::allocationCalls();
  ASSERT_TRUE(f.open(path.c_str(), "wb"));
  const long long perOpen = kexTest::allocationCalls() - calls;
  ASSERT_TRUE(f.close());
  {
    kexTest::AllocationFault fault(perOpen);
    EXPECT_TRUE(!f.open(path.c_str(), "wb") && fault.fired());
  }
  EXPECT_TRUE(!f.isOpen() && f.getFileMode() == nullptr && f.write("x", 1, 1) == 0);
  std::remove(path.c_str());
}

TEST(BufferedFile, CopiesShareSettingsNotTheFile)
{
  std::string path = tempPath("copy");
  KEXBufferedFile f;
  ASSERT_TRUE(f.setBufferSize(64) && f.open(path.c_str(), "wb") && f.write("abc", 1, 3) == 3);
  KEXBufferedFile g(f), h;
  h = f;
  EXPECT_TRUE(g.getBufferSize() == 64 && !g.isOpen() && h.getBufferSize() == 64);
  f = h; // closes f, flushing what it held
  EXPECT_TRUE(!f.isOpen() && readFile(path) == "abc");
  std::remove(path.c_str());
}
