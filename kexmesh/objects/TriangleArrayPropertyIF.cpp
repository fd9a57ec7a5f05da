#include "kexmesh/objects/TriangleArrayPropertyIF.h"

KEXMESH_DEFINE_ABSTRACT_CLASS(KEXTriangleArrayPropertyIF, KEXProperty)

int KEXTriangleArrayPropertyIF::compare(const KEXTriangle<int>& a, const KEXTriangle<int>& b) const
{
  for (int k = 0; k < 3; ++k)
    if (a[k] != b[k])
      return a[k] < b[k] ? -1 : 1;
  return 0;
}
