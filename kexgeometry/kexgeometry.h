#pragma once
// Umbrella header of the geometry library stand-in.
#include "kexgeometry/GeometryLibrary.h"
