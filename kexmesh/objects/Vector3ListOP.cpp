#include "kexmesh/objects/Vector3ListOP.h"

namespace {
using ParentIF = KEXValueArrayPropertyIF<KEXVector3<float>>;
}

KEXMESH_DEFINE_CLASS(KEXVector3ListOP, ParentIF)
