// The circular-arc smoothing filter: its one action runs KEXCASmoothingAlgorithm.
#include "kexmesh/simplify/CASmoothing.h"
#include "kexmesh/objects/internal/SingleActionFilter.h"
#include "kexmesh/simplify/CASmoothingAlgorithm.h"

KEXMESH_DEFINE_SINGLE_ACTION_FILTER(KEXCASmoothing, KEXCASmoothingAlgorithm)
