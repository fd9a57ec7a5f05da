#include "kexmesh/objects/EdgeFlagListOP.h"

namespace {
using ParentIF = KEXValueArrayPropertyIF<int>;
}

KEXMESH_DEFINE_CLASS(KEXEdgeFlagListOP, ParentIF)
