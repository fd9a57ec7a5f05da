#pragma once
// A minimal OFF reader for tests that use real meshes from data/ (the library's own readers are
// plug-ins). Reads "OFF" headers with vertex/face counts, vertex lines and polygon lines; polygons
// with more than three corners are fanned. Returns false for anything it does not understand.
#include "kexmesh/core/TriangleMeshBuffer.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kexmeshtest {

inline bool readOff(const std::string& path, KEXTriangleMeshBuffer& b)
{
  std::ifstream in(path);
  auto skipComments = [&in]() {
    while (in >> std::ws && in.peek() == '#') {
      std::string line;
      std::getline(in, line);
    }
  };
  std::string word;
  skipComments(); // some tools write comment lines before the header
  if (!(in >> word) || word.rfind("OFF", 0) != 0)
    return false;
  skipComments();
  long nv = 0, nf = 0, ne = 0;
  if (!(in >> nv >> nf >> ne) || nv < 0 || nf < 0)
    return false;
  b.clear();
  for (long i = 0; i < nv; ++i) {
    skipComments();
    double x, y, z;
    if (!(in >> x >> y >> z) || !b.vertexList.append(KEXVector3<float>(float(x), float(y), float(z))))
      return false;
    std::string rest;
    std::getline(in, rest);
  }
  for (long f = 0; f < nf; ++f) {
    skipComments();
    int n = 0;
    if (!(in >> n) || n < 3)
      return false;
    std::vector<int> corners(static_cast<size_t>(n));
    for (int& c : corners)
      if (!(in >> c))
        return false;
    std::string rest;
    std::getline(in, rest);
    for (int k = 1; k + 1 < n; ++k)
      if (!b.triangleList.append(KEXTriangle<int>(corners[0], corners[size_t(k)], corners[size_t(k) + 1])))
        return false;
  }
  return true;
}

} // namespace kexmeshtest
