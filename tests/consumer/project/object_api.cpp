// The library example of the README: repair a mesh object with the fix filter, both created by class
// name and driven through properties and actions, the way a host application does.
#include <kexmesh/kexmesh.h>
#include <cstdio>

int main()
{
  // A tetrahedron stored as a triangle soup: every triangle has its own three vertex copies.
  const KEXVector3<float> p[4] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  const int faces[4][3] = {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}};
  KEXVector3<float> soup[12];
  KEXTriangle<int> triangles[4];
  for (int t = 0; t < 4; ++t) {
    for (int k = 0; k < 3; ++k)
      soup[3 * t + k] = p[faces[t][k]];
    triangles[t] = KEXTriangle<int>(3 * t, 3 * t + 1, 3 * t + 2);
  }
  auto* mesh = static_cast<KEXTriangleMesh*>(KEXMetaClass::find("KEXTriangleMeshData")->create());
  auto* fix = static_cast<KEXObject*>(KEXMetaClass::find("KEXFixTriangleMesh")->create());
  if (!mesh || !fix)
    return 2;
  mesh->initVertices(12, soup, nullptr, nullptr, nullptr, nullptr);
  mesh->initTriangles(4, triangles, nullptr, nullptr);
  fix->setValue(KEX::Geometry, KEXObjectLink(mesh)); // source and destination
  bool ok = fix->getAction(KEX::Filter)->execute(nullptr); // weld, orient, close, check, ...
  std::printf("%s: %d vertices, %d triangles\n", ok ? "repaired" : "failed", mesh->getVertexCount(),
              mesh->getNumberOfTriangles());
  fix->setValue(KEX::Geometry, KEXObjectLink());
  fix->release();
  mesh->release();
  return ok ? 0 : 1;
}
