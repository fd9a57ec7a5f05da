#pragma once
// Pictures as PNG files (8-bit RGB) through libpng.
#include "Renderer.h"

#include <string>

namespace kexmeshtool {

/// Writes image to path, all or nothing: the picture goes to a temporary file beside path that is
/// renamed over it once complete. False with the reason in error when the file cannot be written.
bool writePng(const std::string& path, const Image& image, std::string& error);
/// Reads an 8-bit RGB (or grey, or with alpha: converted) PNG into image. False with the reason in
/// error when the file is missing or is not a PNG.
bool readPng(const std::string& path, Image& image, std::string& error);

} // namespace kexmeshtool
