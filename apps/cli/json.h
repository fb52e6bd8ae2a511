// One JSON object on one line, built field by field: the --json results.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

class JsonLine {
 public:
  JsonLine& text(const std::string& key, const std::string& value);
  JsonLine& integer(const std::string& key, int64_t value);
  // A number; null when it is not finite (an exact image's PSNR).
  JsonLine& number(const std::string& key, double value);
  JsonLine& numbers(const std::string& key, const std::vector<double>& values);
  JsonLine& raw(const std::string& key, const std::string& json);
  JsonLine& null(const std::string& key);
  // "{...}" without a newline.
  std::string str() const { return "{" + body_ + "}"; }

 private:
  void key(const std::string& name);
  std::string body_;
};

std::string json_string(const std::string& value);
std::string json_number(double value);

}  // namespace cli
