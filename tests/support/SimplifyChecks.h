#pragma once
// Judges of a simplified mesh, computed from the triangle list alone: whether every vertex stands
// where some input vertex stood, and a runner of the contraction with a chosen random state and
// thread count (the topology is judged by eulerCharacteristic of MeshChecks.h).
#include "kex/Testing.h"
#include "kexmesh/simplify/ContractVertexPairsAlgorithm.h"
#include "support/AlgorithmSweeps.h"
#include "support/MeshChecks.h"

#include <functional>
#include <map>
#include <set>
#include <tuple>
#include <utility>

namespace kexmeshtest {

/// How many used vertices of b stand at no vertex position of input.
inline int verticesOffInput(const KEXTriangleMeshBuffer& b, const KEXTriangleMeshBuffer& input)
{
  std::set<std::tuple<float, float, float>> positions;
  for (const KEXVector3<float>& p : input.vertexList)
    positions.insert({p.x, p.y, p.z});
  std::set<int> used;
  for (const KEXTriangle<int>& t : b.triangleList)
    for (int k = 0; k < 3; ++k)
      used.insert(t[k]);
  int off = 0;
  for (int v : used) {
    const KEXVector3<float>& p = b.vertexList[v];
    off += positions.count({p.x, p.y, p.z}) == 0;
  }
  return off;
}

/// Runs the contraction on b from the given random state with the given worker count.
inline bool contract(KEXTriangleMeshBuffer& b, const std::function<void(KEXContractVertexPairsAlgorithm&)>& configure,
                     uint64_t randomState = 0xDEADBEEF, int threads = 0)
{
  KEXContractVertexPairsAlgorithm algorithm;
  if (configure)
    configure(algorithm);
  KEXContractVertexPairsAlgorithm::setRandomState(randomState);
  kexTest::setThreadCount(threads);
  const bool result = runAlgorithm(b, algorithm);
  kexTest::setThreadCount(0);
  return result;
}

} // namespace kexmeshtest
