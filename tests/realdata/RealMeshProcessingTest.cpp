// Simplification, subdivision and smoothing on every real closed mesh of data/meshes, run through
// the filters' Filter actions as a host runs them and judged by an independent count
// (support/MeshQuality): a closed, manifold, consistently oriented, outward mesh must come back
// as one, with as many closed components. Small coarse CAD parts are the hard cases (a contraction
// that turns a whole component inside out passes every local test).
#include "kex/Class.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshFilter.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/simplify/SimplifyTriangleMesh.h"
#include "support/MeshQuality.h"
#include "support/RealData.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <filesystem>
#include <functional>
#include <string>

using namespace kexmeshtest;

namespace {

/// Meshes above this size are left to the benchmarks: the sweep runs under the sanitizers.
constexpr int MAX_TRIANGLES = 40000;

bool soundClosed(const MeshQuality& q)
{
  return q.triangles > 0 && q.borderEdges == 0 && q.nonManifoldEdges == 0 && q.inconsistentEdges == 0 &&
         q.duplicateTriangles == 0 && q.inwardComponents == 0;
}

/// The named filter's Filter action on b, after configure.
bool runFilter(const char* className, KEXTriangleMeshBuffer& b, const std::function<bool(KEXClass&)>& configure)
{
  const KEXMetaClass* meta = KEXMetaClass::find(className);
  if (!meta)
    return false;
  auto* filter = dynamic_cast<KEXTriangleMeshFilter*>(meta->create());
  if (!filter)
    return false;
  KEXTriangleMeshAction::Parameters record(&b, nullptr);
  const bool ok = configure(*filter) && filter->getAction(KEX::Filter)->execute(&record);
  filter->release();
  return ok;
}

struct Operation {
  const char* name;
  const char* filter;
  std::function<bool(KEXClass&, const KEXTriangleMeshBuffer&)> configure;
  int triangleFactor; ///< output triangles = factor * input (0: at most the input's)
};

const Operation operations[] = {
    {"simplify to a quarter", "KEXSimplifyTriangleMesh",
     [](KEXClass& f, const KEXTriangleMeshBuffer& b) {
       auto& s = dynamic_cast<KEXSimplifyTriangleMesh&>(f);
       return s.setTriangleLimit(std::max(4, b.getTriangleCount() / 4)) && s.setErrorLimit(FLT_MAX);
     },
     0},
    {"simplify to the coarsest", "KEXSimplifyTriangleMesh",
     [](KEXClass& f, const KEXTriangleMeshBuffer&) {
       auto& s = dynamic_cast<KEXSimplifyTriangleMesh&>(f);
       return s.setTriangleLimit(4) && s.setErrorLimit(FLT_MAX);
     },
     0},
    {"Loop subdivision", "KEXLoopSubdivision", [](KEXClass&, const KEXTriangleMeshBuffer&) { return true; }, 4},
    {"butterfly subdivision", "KEXMBFSubdivision", [](KEXClass&, const KEXTriangleMeshBuffer&) { return true; }, 4},
    {"Laplacian smoothing", "KEXILPSmoothing", [](KEXClass&, const KEXTriangleMeshBuffer&) { return true; }, 1},
};

} // namespace

TEST(RealMeshProcessing, ClosedMeshesStayClosedManifoldAndOutward)
{
  int tested = 0;
  for (const std::string& path : meshFiles()) {
    const std::string name = std::filesystem::path(path).filename().string();
    KEXTriangleMeshBuffer input;
    if (!readMesh(path, input) || input.getTriangleCount() > MAX_TRIANGLES)
      continue;
    const MeshQuality before = measure(input);
    if (!soundClosed(before))
      continue;
    ++tested;
    for (const Operation& op : operations) {
      SCOPED_TRACE(name + ": " + op.name);
      KEXTriangleMeshBuffer b(input);
      ASSERT_TRUE(runFilter(op.filter, b, [&](KEXClass& f) { return op.configure(f, input); }));
      const MeshQuality after = measure(b);
      EXPECT_TRUE(soundClosed(after)) << "before: " << before.summary() << "\nafter:  " << after.summary();
      EXPECT_EQ(after.closedComponents, before.closedComponents);
      if (op.triangleFactor == 0) {
        EXPECT_LE(after.triangles, before.triangles); // a tetrahedron, a genus-3 coarse part stay
      } else {
        EXPECT_EQ(after.triangles, op.triangleFactor * before.triangles);
      }
    }
  }
  if (tested == 0)
    GTEST_SKIP() << meshFolder() << " holds no closed meshes: run scripts/fetch-data";
  std::printf("%d closed real meshes processed\n", tested);
}
