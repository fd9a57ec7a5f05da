#include "kexmesh/objects/RGBAListOP.h"

namespace {
using ParentIF = KEXValueArrayPropertyIF<KEXRGBA<float>>;
}

KEXMESH_DEFINE_CLASS(KEXRGBAListOP, ParentIF)
