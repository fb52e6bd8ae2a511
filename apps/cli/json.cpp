#include "cli/json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace cli {

std::string json_string(const std::string& value) {
  std::string out = "\"";
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
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
