// libFuzzer harness of one file reader (the class is chosen at compile time by KEXMESH_FUZZ_CLASS
// and KEXMESH_FUZZ_EXTENSION). The input bytes become a file, which the reader must either read
// into a consistent buffer with valid indices or refuse with a message; anything else aborts, and
// so does a warning that does not name the file. The file lives in /dev/shm where there is one:
// writing it to a disk would cost more than most reads.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/io/TriangleMeshIO.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

KEXTriangleMeshIO* handler()
{
  static KEXTriangleMeshIO* h = KEXTriangleMeshIO::create(KEXMESH_FUZZ_CLASS);
  if (!h) {
    std::fprintf(stderr, "cannot create %s (plug-in not found)\n", KEXMESH_FUZZ_CLASS);
    std::abort();
  }
  return h;
}

const std::string& path()
{
  static const std::string p = [] {
    struct stat st;
    std::string dir = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    return dir + "/kexmesh-fuzz-" + std::to_string(getpid()) + "." KEXMESH_FUZZ_EXTENSION;
  }();
  return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  FILE* f = std::fopen(path().c_str(), "wb");
  if (!f)
    std::abort();
  if (size)
    std::fwrite(data, 1, size, f);
  std::fclose(f);
  KEXTriangleMeshBuffer buffer;
  KEXGeometryIO::Report report;
  bool ok = handler()->readBuffer(path().c_str(), buffer, report);
  if (ok) {
    if (!buffer.isConsistent())
      std::abort();
    for (int t = 0; t < buffer.getTriangleCount(); ++t)
      for (int k = 0; k < 3; ++k)
        if (!buffer.isValidVertex(buffer.triangleList[t][k]))
          std::abort();
  } else if (report.message.empty() || report.isOk()) {
    std::abort(); // a failure must say why
  }
  for (const std::string& w : report.warnings)
    if (w.find(path()) == std::string::npos)
      std::abort();
  return 0;
}
