#pragma once
// Set-up shared by the tests of the repair filter, its report and gap closing: meshes moved in and
// out of mesh objects, and the small damages the tests do to generated surfaces.
#include "kexmesh/core/TriangleMeshBuffer.h"
#include "kexmesh/objects/TriangleMeshAction.h"
#include "kexmesh/objects/TriangleMeshData.h"

#include <gtest/gtest.h>

#include <utility>

namespace kexmeshtest {

/// Copies b into mesh / mesh into a buffer (the test fails when that fails).
inline void toObject(const KEXTriangleMeshBuffer& b, KEXTriangleMeshData& mesh)
{
  EXPECT_TRUE(KEXTriangleMeshAction::objectFromBuffer(&mesh, &b));
}
inline KEXTriangleMeshBuffer fromObject(const KEXTriangleMeshData& mesh)
{
  KEXTriangleMeshBuffer b;
  EXPECT_TRUE(KEXTriangleMeshAction::bufferFromObject(&b, &mesh));
  return b;
}

/// b with every triangle reversed (corners 1 and 2 exchanged): a closed body then faces inward.
inline KEXTriangleMeshBuffer inverted(KEXTriangleMeshBuffer b)
{
  for (auto& t : b.triangleList)
    std::swap(t[1], t[2]);
  return b;
}

/// Removes triangle t, the last one taking its place (every vertex kept).
inline void cutTriangle(KEXTriangleMeshBuffer& b, int t)
{
  b.triangleList[t] = b.triangleList[b.getTriangleCount() - 1];
  b.triangleList.setCount(b.getTriangleCount() - 1);
}

} // namespace kexmeshtest
