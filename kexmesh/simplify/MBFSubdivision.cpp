// The modified butterfly subdivision filter: its one action runs KEXMBFSubdivisionAlgorithm.
#include "kexmesh/simplify/MBFSubdivision.h"
#include "kexmesh/objects/internal/SingleActionFilter.h"
#include "kexmesh/simplify/MBFSubdivisionAlgorithm.h"

KEXMESH_DEFINE_SINGLE_ACTION_FILTER(KEXMBFSubdivision, KEXMBFSubdivisionAlgorithm)

bool KEXMBFSubdivision::filter() { return m_private && m_private->filter.execute(nullptr); }
