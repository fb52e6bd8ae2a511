#include "cli/json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace cli {

namespace {

// The length of the well-formed UTF-8 sequence at value[at] (lead byte 0x80
// or above), or 0 when it is not one (overlong forms and surrogates
// included).
size_t utf8_length(const std::string& value, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(value[i]); };
  const unsigned char lead = byte(at);
  const size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xF0 && lead <= 0xF4                                  ? 4
                                                                                        : 0;
  if (length == 0 || value.size() - at < length) return 0;
  const unsigned char second = byte(at + 1);
  const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (second < low || second > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  return length;
}

}  // namespace

// Bytes that are not UTF-8 (file names may hold any) become U+FFFD, so that
// the line stays valid JSON.
std::string json_string(const std::string& value) {
  std::string out = "\"";
  for (size_t at = 0; at < value.size();) {
    const char c = value[at];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      const size_t length = utf8_length(value, at);
      out += length ? value.substr(at, length) : "\\ufffd";
      at += length ? length : 1;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
    ++at;
  }
  return out + "\"";
}

std::string json_number(double value) {
  if (!std::isfinite(value)) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  // The shortest form that reads back as the same double.
  for (int digits = 6; digits < 17; ++digits) {
    char shorter[32];
    std::snprintf(shorter, sizeof shorter, "%.*g", digits, value);
    if (std::strtod(shorter, nullptr) == value) return shorter;
  }
  return text;
}

void JsonLine::key(const std::string& name) {
  if (!body_.empty()) body_ += ",";
  body_ += json_string(name) + ":";
}

JsonLine& JsonLine::text(const std::string& name, const std::string& value) {
  key(name);
  body_ += json_string(value);
  return *this;
}

JsonLine& JsonLine::integer(const std::string& name, int64_t value) {
  key(name);
  body_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::number(const std::string& name, double value) {
  key(name);
  body_ += json_number(value);
  return *this;
}

JsonLine& JsonLine::numbers(const std::string& name, const std::vector<double>& values) {
  key(name);
  body_ += "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) body_ += ",";
    body_ += json_number(values[i]);
  }
  body_ += "]";
  return *this;
}

JsonLine& JsonLine::raw(const std::string& name, const std::string& json) {
  key(name);
  body_ += json;
  return *this;
}

JsonLine& JsonLine::null(const std::string& name) {
  key(name);
  body_ += "null";
  return *this;
}

}  // namespace cli
