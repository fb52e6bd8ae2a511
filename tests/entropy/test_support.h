// What the tests share: a fresh scratch directory per test, removed
// afterwards, whole-file reading and writing, and checking a Failure.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "util/error.h"

namespace kv::test {

struct ScratchDir {
  std::filesystem::path path;
  ScratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("kv_") + (info ? info->test_suite_name() : "suite") + "_" +
                       (info ? info->name() : "test") + "_" + std::to_string(::getpid());
    for (char& c : name)
      if (c == '/') c = '_';
    path = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string file(const std::string& name) const { return (path / name).string(); }
};

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Runs `action`; the message it failed with, or "" where it did not fail.
template <typename Action>
std::string failure_message(Action&& action) {
  try {
    action();
  } catch (const Error& failure) {
    return failure.message();
  }
  return "";
}

// Runs `action`, which must fail with exactly this status and message.
template <typename Action>
void expect_failure(Action&& action, int status, const std::string& message) {
  try {
    action();
    ADD_FAILURE() << "no failure, expected: " << message;
  } catch (const Error& failure) {
    EXPECT_EQ(classic_status(failure.code()), status);
    EXPECT_EQ(failure.message(), message);
  }
}

}  // namespace kv::test
