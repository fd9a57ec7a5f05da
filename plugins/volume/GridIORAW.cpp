// Headerless volume reading: the caller says what the file holds (setRawLayout) and the samples
// are mapped and attached to the grid as they are.
#include "GridIOVolume.h"
#include "VolumeSupport.h"

#include "../common/MeshFileSupport.h"

using namespace kexmeshvolume;

KEXMESHIO_DEFINE_PLUGIN_CLASS_OF(KEXGridIORAW, KEXGridIO, "kexmeshiovolume")

bool KEXGridIORAW::setRawLayout(const RawLayout& layout)
{
  const int type = int(layout.type);
  if (layout.nx < 1 || layout.ny < 1 || layout.nz < 1 || !validSpacing(layout.sx) || !validSpacing(layout.sy) ||
      !validSpacing(layout.sz) || layout.headerBytes < 0 || type < 0 || type > int(KEXSampleType::Float32))
    return false;
  m_layout = layout;
  m_hasLayout = true;
  return true;
}

bool KEXGridIORAW::readGrid(const char* fileName, KEXGrid& grid, Report& report)
{
  report.clear();
  const char* file = fileName ? fileName : "";
  if (!m_hasLayout)
    return report.fail(Report::Unsupported, "%s: a raw file needs its layout (sample type, size, spacing) first",
                       file);
  const RawLayout& l = m_layout;
  if (!attachFileRegion(file, l.headerBytes, l.type, l.nx, l.ny, l.nz, l.bigEndian, grid, report))
    return false;
  setSpacing(grid, l.sx, l.sy, l.sz);
  return true;
}
