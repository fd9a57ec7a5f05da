#pragma once
// Grids for the grid and polygonisation tests: a Float32 grid whose samples are a function of their
// grid coordinates, so expected values can be computed at any sample without a stored copy.
#include "kexgeometry/Grid.h"

#include <functional>

namespace kexgeometrytest {

using GridFunction = std::function<double(double x, double y, double z)>;

/// Makes grid an owned Float32 grid of nx * ny * nz samples at origin + index * spacing and sets
/// every sample to f of its grid coordinates. False when the grid refuses the size or memory.
bool makeFloatGrid(KEXGrid& grid, int nx, int ny, int nz, const KEXVector3<double>& origin,
                   const KEXVector3<double>& spacing, const GridFunction& f);
/// Refills an owned Float32 grid with f of the grid coordinates of its samples (its own position
/// tables, uniform or not). False for any other grid.
bool fillFloatGrid(KEXGrid& grid, const GridFunction& f);

} // namespace kexgeometrytest
