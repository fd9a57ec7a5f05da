#pragma once
// A small writer of one JSON object on stdout, for the --json output of the subcommands: keys in
// the order written, numbers printed so that they read back exactly, nested objects and arrays.
#include <cmath>
#include <cstdio>
#include <string>

namespace kexmeshtool {

class JsonWriter {
public:
  explicit JsonWriter(std::FILE* out = stdout) : m_out(out) { std::fputc('{', m_out); }
  ~JsonWriter()
  {
    std::fputs("}\n", m_out);
    std::fflush(m_out);
  }
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  JsonWriter& number(const char* key, double value)
  {
    this->key(key);
    if (std::isfinite(value))
      std::fprintf(m_out, "%.17g", value);
    else
      std::fputs("null", m_out); // JSON has no NaN or infinity
    return *this;
  }
  JsonWriter& integer(const char* key, long long value)
  {
    this->key(key);
    std::fprintf(m_out, "%lld", value);
    return *this;
  }
  JsonWriter& boolean(const char* key, bool value)
  {
    this->key(key);
    std::fputs(value ? "true" : "false", m_out);
    return *this;
  }
  JsonWriter& string(const char* key, const std::string& value)
  {
    this->key(key);
    quoted(value);
    return *this;
  }
  JsonWriter& null(const char* key)
  {
    this->key(key);
    std::fputs("null", m_out);
    return *this;
  }
  /// Opens a nested object or array under key; close it with end().
  JsonWriter& object(const char* key) { return open(key, '{'); }
  JsonWriter& array(const char* key) { return open(key, '['); }
  /// An element of the array just opened: an object (close with end()) or a number.
  JsonWriter& element() { return open(nullptr, '{'); }
  JsonWriter& element(double value)
  {
    separate();
    if (std::isfinite(value))
      std::fprintf(m_out, "%.17g", value);
    else
      std::fputs("null", m_out);
    return *this;
  }
  JsonWriter& element(const std::string& value)
  {
    separate();
    quoted(value);
    return *this;
  }
  JsonWriter& end()
  {
    if (!m_stack.empty()) {
      std::fputc(m_stack.back() == '{' ? '}' : ']', m_out);
      m_stack.pop_back();
    }
    m_first = false;
    return *this;
  }

private:
  void separate()
  {
    if (!m_first)
      std::fputs(", ", m_out);
    m_first = false;
  }
  void key(const char* k)
  {
    separate();
    quoted(k);
    std::fputs(": ", m_out);
  }
  JsonWriter& open(const char* k, char bracket)
  {
    if (k)
      key(k);
    else
      separate();
    std::fputc(bracket, m_out);
    m_stack.push_back(bracket);
    m_first = true;
    return *this;
  }
  void quoted(const std::string& s)
  {
    std::fputc('"', m_out);
    for (unsigned char c : s) {
      if (c == '"' || c == '\\')
        std::fprintf(m_out, "\\%c", c);
      else if (c < 0x20)
        std::fprintf(m_out, "\\u%04x", c);
      else
        std::fputc(c, m_out);
    }
    std::fputc('"', m_out);
  }

  std::FILE* m_out;
  std::string m_stack;
  bool m_first = true;
};

} // namespace kexmeshtool
