#include "kexgeometry/GeometryLibrary.h"
#include "kex/Enum.h"

bool __kexgeometry_enum_init() { return __kex_enum_init(); }
