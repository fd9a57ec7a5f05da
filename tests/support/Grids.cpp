// Float32 grids filled from a function of the grid coordinates (see Grids.h).
#include "support/Grids.h"

namespace kexgeometrytest {

bool makeFloatGrid(KEXGrid& grid, int nx, int ny, int nz, const KEXVector3<double>& origin,
                   const KEXVector3<double>& spacing, const GridFunction& f)
{
  return grid.create(KEXSampleType::Float32, nx, ny, nz) && grid.setUniformPositions(origin, spacing) &&
         fillFloatGrid(grid, f);
}

bool fillFloatGrid(KEXGrid& grid, const GridFunction& f)
{
  float* data = static_cast<float*>(grid.getWritableData());
  if (!data || grid.getSampleType() != KEXSampleType::Float32)
    return false;
  KEXVector3<int> s = grid.getSize();
  size_t n = 0;
  for (int k = 0; k < s.z; ++k)
    for (int j = 0; j < s.y; ++j)
      for (int i = 0; i < s.x; ++i)
        data[n++] = float(f(grid.getPosition(0, i), grid.getPosition(1, j), grid.getPosition(2, k)));
  grid.samplesChanged();
  return true;
}

} // namespace kexgeometrytest
