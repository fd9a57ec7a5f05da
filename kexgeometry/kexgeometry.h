#pragma once
// Umbrella header of the geometry library stand-in.
#include "kexgeometry/CalculateAction.h"
#include "kexgeometry/GeometryIO.h"
#include "kexgeometry/GeometryLibrary.h"
#include "kexgeometry/Grid.h"
#include "kexgeometry/GridFilterAction.h"
#include "kexgeometry/GridReadCache.h"
