#pragma once
// Geometry library stand-in: its vocabulary initialisation. The calculation actions, grid access and
// file handler bases join it as the mesh library comes to need them.

/// Registers the geometry library's vocabulary; false when it could not.
bool __kexgeometry_enum_init();
