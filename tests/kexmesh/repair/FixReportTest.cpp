// The step-by-step repair with counts: it must do exactly what the Filter action does, and its
// counts must match what was done to the mesh.
#include "kexmesh/repair/FixReport.h"
#include "kex/Error.h"
#include "kex/Testing.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"
#include "kexmesh/objects/Vocabulary.h"
#include "kexmesh/repair/FixTriangleMesh.h"
#include "support/MeshChecks.h"
#include "support/Meshes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <random>

using namespace kexmeshtest;

TEST(FixReport, SameResultAsTheFilterAndCountsThatMatch)
{
  std::mt19937 rng(21);
  // Two bodies, the second entirely inside out; three single-triangle holes in the first.
  KEXTriangleMeshBuffer mesh = makeIcosphere(2);
  KEXTriangleMeshBuffer other = makeIcosphere(2, Vec3(4, 0, 0), 0.5f);
  for (auto& t : other.triangleList)
    std::swap(t[1], t[2]);
  for (int t : {300, 200, 100}) { // far apart on the sphere, removed from the back
    mesh.triangleList[t] = mesh.triangleList[mesh.getTriangleCount() - 1];
    mesh.triangleList.setCount(mesh.getTriangleCount() - 1);
  }
  const int V = mesh.getVertexCount() + other.getVertexCount();
  append(mesh, other);
  KEXTriangleMeshBuffer soup = toSoup(mesh);
  shuffleTriangles(soup, rng);

  KEXFixTriangleMesh filter;
  KEXTriangleMeshBuffer buffer = soup;
  KEXFixReport report;
  ASSERT_TRUE(KEXFixReport::run(filter, buffer, &report));
  ASSERT_EQ(report.steps.getCount(), 11);
  EXPECT_FALSE(report.failedStep.isValid());
  EXPECT_EQ(report.verticesWelded, soup.getVertexCount() - V);
  EXPECT_EQ(report.holesBefore, 3);
  EXPECT_EQ(report.holesAfter, 0);
  EXPECT_EQ(report.openEdges, 0);
  EXPECT_EQ(report.nonManifoldEdges, 0);
  EXPECT_EQ(report.componentsFlipped, 1);
  EXPECT_EQ(report.trianglesReoriented, other.getTriangleCount());
  EXPECT_EQ(report.invalidVertices + report.invalidTriangles, 0);
  EXPECT_EQ(report.trianglesAdded - report.trianglesDropped, buffer.getTriangleCount() - soup.getTriangleCount());
  for (int i = 0; i < report.steps.getCount(); ++i) {
    EXPECT_EQ(report.steps[i].name, KEXFixTriangleMesh::getDefaultSequence()[i]);
    if (i > 0) {
      EXPECT_EQ(report.steps[i].trianglesBefore, report.steps[i - 1].trianglesAfter);
    }
  }
  EXPECT_TRUE(closedAndConsistent(buffer));

  KEXTriangleMeshData object;
  ASSERT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&object, &soup));
  ASSERT_TRUE(filter.setValue(KEX::Geometry, KEXObjectLink(&object)));
  ASSERT_TRUE(filter.executeSequence(nullptr));
  KEXTriangleMeshBuffer viaFilter;
  ASSERT_TRUE(KEXTriangleMeshAction::bufferFromObject(&viaFilter, &object));
  EXPECT_EQ(triangles(viaFilter), triangles(buffer));
  EXPECT_EQ(vertices(viaFilter), vertices(buffer));
  filter.setValue(KEX::Geometry, KEXObjectLink());
}

TEST(FixReport, UnknownStepRunsNothingAndFailingStepIsNamed)
{
  KEXFixTriangleMesh filter;
  KEXTriangleMeshBuffer buffer = makeIcosphere(1);
  const KEXTriangleMeshBuffer original = buffer;
  const KEXenum bad[] = {KEX::FlipOrientation, KEXenum("NoSuchStep")};
  ASSERT_TRUE(filter.setSequenceList(bad, 2));
  kexTest::ErrorCapture errors;
  KEXFixReport report;
  EXPECT_FALSE(KEXFixReport::run(filter, buffer, &report));
  EXPECT_TRUE(errors.has(KEX::InvalidValue, &filter));
  EXPECT_EQ(triangles(buffer), triangles(original));
  EXPECT_EQ(report.steps.getCount(), 0);

  buffer.vertexList[0].z = std::numeric_limits<float>::quiet_NaN();
  const KEXenum failing[] = {KEX::FlipOrientation, KEX::Check, KEX::FlipOrientation};
  ASSERT_TRUE(filter.setSequenceList(failing, 3));
  EXPECT_FALSE(KEXFixReport::run(filter, buffer, &report));
  EXPECT_EQ(report.failedStep, KEX::Check);
  EXPECT_EQ(report.steps.getCount(), 2);
  EXPECT_EQ(report.invalidVertices, 0) << "final counts are only taken after a complete run";
}

TEST(FixReport, EdgeCountsAgainstBruteForce)
{
  std::mt19937 rng(4);
  for (int round = 0; round < 30; ++round) {
    RandomMeshOptions o;
    o.vertices = 20 + round;
    o.triangles = 30 + 3 * round;
    KEXTriangleMeshBuffer b = makeRandomMesh(rng, o);
    int open = 0, nonManifold = 0, holes = 0;
    ASSERT_TRUE(KEXFixReport::countEdges(b, open, nonManifold, holes));
    std::map<std::pair<int, int>, int> edges;
    for (const auto& t : b.triangleList) {
      bool valid = true;
      for (int k = 0; k < 3; ++k)
        valid = valid && t[k] >= 0 && t[k] < b.getVertexCount();
      if (valid)
        for (int k = 0; k < 3; ++k)
          if (t[k] != t[(k + 1) % 3])
            ++edges[{std::min(t[k], t[(k + 1) % 3]), std::max(t[k], t[(k + 1) % 3])}];
    }
    int o1 = 0, nm = 0;
    for (const auto& [e, n] : edges) {
      o1 += n == 1;
      nm += n > 2;
    }
    EXPECT_EQ(open, o1);
    EXPECT_EQ(nonManifold, nm);
    EXPECT_LE(holes, open);
    EXPECT_EQ(holes == 0, open == 0);
  }
}
