// Base of geometry file handlers: format naming, extension matching and the failure report.
#include "kexgeometry/GeometryIO.h"

#include "kex/Enum.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <new>

namespace {

std::string vformat(const char* format, va_list args)
{
  char text[2048];
  int n = std::vsnprintf(text, sizeof text, format, args);
  if (n < 0)
    return std::string();
  return std::string(text, size_t(n) < sizeof text ? size_t(n) : sizeof text - 1);
}

} // namespace

bool KEXGeometryIO::Report::fail(Kind k, const char* format, ...)
{
  if (kind != Ok)
    return false;
  kind = k;
  va_list args;
  va_start(args, format);
  message = vformat(format, args);
  va_end(args);
  return false;
}

void KEXGeometryIO::Report::warn(const char* format, ...)
{
  if (warnings.size() >= 20)
    return;
  va_list args;
  va_start(args, format);
  warnings.push_back(vformat(format, args));
  va_end(args);
}

KEXGeometryIO::KEXGeometryIO() = default;
KEXGeometryIO::~KEXGeometryIO() = default;

const KEXMetaClass& KEXGeometryIO::metaClass()
{
  // Leaky on purpose: handlers in plug-ins may outlive the static destructors of this library.
  static const KEXMetaClass* meta = new KEXMetaClass("KEXGeometryIO", sizeof(KEXGeometryIO), &KEXObject::metaClass(),
                                                     &KEXAbstractFactory::instance(), "kexgeometry", 0, 0, 0, nullptr, nullptr, false);
  return *meta;
}

const KEXMetaClass& KEXGeometryIO::getMetaClass() const { return metaClass(); }

KEXenum KEXGeometryIO::getObjectID(int level) const
{
  static const KEXRegisteredEnum id("KEXGeometryIO", 0, "kexgeometry");
  return level == 0 ? id.get() : KEXObject::getObjectID(level - 1);
}

bool KEXGeometryIO::read(const char* fileName, KEXObject*, Report& report)
{
  report.clear();
  return report.fail(Report::Unsupported, "%s: this handler cannot read into objects", fileName ? fileName : "");
}

bool KEXGeometryIO::write(const char* fileName, const KEXObject*, Report& report)
{
  report.clear();
  return report.fail(Report::Unsupported, "%s: this handler cannot write objects", fileName ? fileName : "");
}

namespace {
[[maybe_unused]] const bool geometryIOAtLoad = (KEXGeometryIO::metaClass(), true);
}

const char* KEXGeometryIO::getFormatName() const { return ""; }

const char* KEXGeometryIO::getFileExtensions() const { return ""; }

std::string KEXGeometryIO::extensionOf(const char* fileName)
{
  if (!fileName)
    return std::string();
  const char* slash = std::strrchr(fileName, '/');
  const char* base = slash ? slash + 1 : fileName;
  const char* dot = std::strrchr(base, '.');
  if (!dot || dot == base)
    return std::string();
  std::string ext(dot + 1);
  for (char& c : ext)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

bool KEXGeometryIO::matchesExtension(const char* fileName, const char* extensions)
{
  if (!fileName || !extensions)
    return false;
  // The base name must end in "." and the extension, without case, and have a name before the
  // dot; an extension of two parts ("inr.gz") is compared as a whole.
  const char* slash = std::strrchr(fileName, '/');
  const char* base = slash ? slash + 1 : fileName;
  const size_t length = std::strlen(base);
  for (const char* p = extensions; *p;) {
    while (*p == ' ')
      ++p;
    const char* start = p;
    while (*p && *p != ' ')
      ++p;
    const size_t n = size_t(p - start);
    if (n > 0 && length > n + 1 && base[length - n - 1] == '.' && strncasecmp(base + length - n, start, n) == 0)
      return true;
  }
  return false;
}
