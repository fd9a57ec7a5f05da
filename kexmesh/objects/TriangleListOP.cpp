#include "kexmesh/objects/TriangleListOP.h"

namespace {
using ParentIF = KEXTriangleArrayPropertyIF;
}

KEXMESH_DEFINE_CLASS(KEXTriangleListOP, ParentIF)
