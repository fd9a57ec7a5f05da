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
#include "support/MeshQuality.h"
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

TEST(FixReport, ComponentCountsAgainstAnIndependentCount)
{
  std::mt19937 rng(5);
  for (int round = 0; round < 40; ++round) {
    KEXTriangleMeshBuffer b;
    if (round % 2 == 0) {
      RandomMeshOptions o;
      o.vertices = 10 + round;
      o.triangles = 12 + 2 * round;
      b = makeRandomMesh(rng, o);
    } else {
      // Closed bodies, some inside out, some with a triangle removed, doubled or turned.
      b = makeIcosphere(1);
      for (int body = 0; body < 3; ++body) {
        KEXTriangleMeshBuffer other = makeIcosphere(1, Vec3(3.0f * float(body + 1), 0, 0));
        if (rng() % 2)
          flipRandomTriangles(other, 1.0, rng);
        append(b, other);
      }
      const int t = int(rng() % unsigned(b.getTriangleCount()));
      switch (rng() % 4) {
      case 0: b.triangleList[t] = b.triangleList[b.getTriangleCount() - 1]; break;
      case 1: std::swap(b.triangleList[t][1], b.triangleList[t][2]); break;
      case 2: b.triangleList.append(b.triangleList[t]); break;
      default: break;
      }
    }
    int duplicates = -1, closed = -1, inward = -1;
    ASSERT_TRUE(KEXFixReport::countComponents(b, duplicates, closed, inward));
    const MeshQuality q = measure(b);
    EXPECT_EQ(duplicates, q.duplicateTriangles) << round;
    EXPECT_EQ(closed, q.closedComponents) << round;
    EXPECT_EQ(inward, q.inwardComponents) << round;
  }
}

TEST(FixReport, ComponentCountsUnderAllocationFailures)
{
  const KEXTriangleMeshBuffer b = makeIcosphere(2);
  int faults = 0;
  for (long n = 1; n < 100; ++n) {
    int duplicates = -7, closed = -7, inward = -7;
    bool counted;
    {
      kexTest::AllocationFault fault(n);
      counted = KEXFixReport::countComponents(b, duplicates, closed, inward);
      if (!fault.fired()) {
        EXPECT_TRUE(counted);
        EXPECT_EQ(closed, 1);
        break;
      }
    }
    ++faults;
    EXPECT_FALSE(counted);
    EXPECT_EQ(duplicates + closed + inward, -21) << "counts untouched";
  }
  EXPECT_GT(faults, 3);
}
