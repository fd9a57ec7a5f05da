// The Loop subdivision filter: its one action runs KEXLoopSubdivisionAlgorithm.
#include "kexmesh/simplify/LoopSubdivision.h"
#include "kexmesh/objects/internal/SingleActionFilter.h"
#include "kexmesh/simplify/LoopSubdivisionAlgorithm.h"

KEXMESH_DEFINE_SINGLE_ACTION_FILTER(KEXLoopSubdivision, KEXLoopSubdivisionAlgorithm)

bool KEXLoopSubdivision::filter() { return m_private && m_private->filter.execute(nullptr); }
