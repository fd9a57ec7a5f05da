// PNG writing with zlib's default level: mesh pictures are mostly background and smooth shading,
// which compress to a few tens of kilobytes. The best level saves a few per cent but, on the long
// runs of background, costs more time than drawing a million triangles. libpng reports errors by
// longjmp, so the functions that call it hold nothing with a destructor.
#include "PngFile.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace kexmeshtool {

namespace {

// Returns 0 on success, otherwise a static message.
const char* writeRows(FILE* file, const unsigned char* pixels, int width, int height)
{
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png)
    return "out of memory";
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return "out of memory";
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return "the PNG encoder failed (disk full?)";
  }
  png_init_io(png, file);
  png_set_compression_level(png, 6);
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y)
    png_write_row(png, pixels + size_t(y) * size_t(width) * 3);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return nullptr;
}

} // namespace

bool writePng(const std::string& path, const Image& image, std::string& error)
{
  if (image.width < 1 || image.height < 1 || image.pixels.getCount() != 3 * image.width * image.height) {
    error = "no picture to write";
    return false;
  }
  const std::string temporary = path + ".part";
  FILE* file = std::fopen(temporary.c_str(), "wb");
  if (!file) {
    error = path + ": cannot write (" + std::strerror(errno) + ")";
    return false;
  }
  const char* failed = writeRows(file, image.pixels.getData(), image.width, image.height);
  const bool closed = std::fclose(file) == 0;
  if (!failed && !closed)
    failed = "the file could not be completed (disk full?)";
  if (!failed && std::rename(temporary.c_str(), path.c_str()) != 0)
    failed = std::strerror(errno);
  if (failed) {
    std::remove(temporary.c_str());
    error = path + ": " + failed;
    return false;
  }
  return true;
}

bool readPng(const std::string& path, Image& image, std::string& error)
{
  png_image png;
  std::memset(&png, 0, sizeof(png));
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) {
    error = path + ": " + png.message;
    return false;
  }
  png.format = PNG_FORMAT_RGB;
  image.width = int(png.width);
  image.height = int(png.height);
  if (!image.pixels.setCount(int(PNG_IMAGE_SIZE(png)))) {
    png_image_free(&png);
    error = "out of memory";
    return false;
  }
  if (!png_image_finish_read(&png, nullptr, image.pixels.getData(), 0, nullptr)) {
    error = path + ": " + png.message;
    image.pixels.clear();
    image.width = image.height = 0;
    return false;
  }
  return true;
}

} // namespace kexmeshtool
