// The Laplacian smoothing filter: its one action runs KEXILPSmoothingAlgorithm.
#include "kexmesh/simplify/ILPSmoothing.h"
#include "kexmesh/objects/internal/SingleActionFilter.h"
#include "kexmesh/simplify/ILPSmoothingAlgorithm.h"

KEXMESH_DEFINE_SINGLE_ACTION_FILTER(KEXILPSmoothing, KEXILPSmoothingAlgorithm)
