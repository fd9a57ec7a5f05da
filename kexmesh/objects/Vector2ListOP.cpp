#include "kexmesh/objects/Vector2ListOP.h"

namespace {
using ParentIF = KEXValueArrayPropertyIF<KEXVector2<float>>;
}

KEXMESH_DEFINE_CLASS(KEXVector2ListOP, ParentIF)
