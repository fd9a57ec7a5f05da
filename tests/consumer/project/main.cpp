// An outside project using the installed package: fills a buffer, runs a registered algorithm found
// by class name, and checks the result.
#include <kex/kex.h>
#include <kexmesh/kexmesh.h>

#include <cstdio>

int main()
{
  KEXTriangleMeshBuffer buffer;
  buffer.vertexList.append(KEXVector3<float>(0, 0, 0));
  buffer.vertexList.append(KEXVector3<float>(1, 0, 0));
  buffer.vertexList.append(KEXVector3<float>(0, 1, 0));
  buffer.vertexList.append(KEXVector3<float>(0, 0, 1));
  buffer.triangleList.append(KEXTriangle<int>(0, 2, 1));
  buffer.triangleList.append(KEXTriangle<int>(0, 1, 3));
  buffer.triangleList.append(KEXTriangle<int>(0, 3, 2));
  buffer.triangleList.append(KEXTriangle<int>(1, 2, 3));
  if (!buffer.createTriangleAdjacencyList())
    return 1;
  for (const KEXTriangle<int>& a : buffer.triangleAdjacencyList)
    for (int k = 0; k < 3; ++k)
      if (a[k] < 0)
        return 2;
  const KEXMetaClass* frame = KEXMetaClass::find("KEXTriangleMeshAlgorithmIF");
  if (!frame || !frame->isOfType(KEXClass::metaClass()))
    return 3;
  std::printf("consumer: %d vertices, %d triangles, closed\n", buffer.getVertexCount(), buffer.getTriangleCount());
  return 0;
}
