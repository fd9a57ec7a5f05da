#pragma once
// Umbrella header of the mesh library: includes every public header.
#include "kex/kex.h"
#include "kexmesh/core/ClassRegistration.h"
#include "kexmesh/core/CompactIndexArray.h"
#include "kexmesh/core/SmallArrayPool.h"
#include "kexmesh/core/Triangle.h"
#include "kexmesh/core/TriangleCalculus.h"
#include "kexmesh/core/TriangleMeshAlgorithmIF.h"
#include "kexmesh/core/TriangleMeshBuffer.h"
