// One failure path for the whole suite: every fatal condition becomes a
// Failure carrying the exact console message and the process status. The
// programs' entry points print the message and return the status; library
// callers catch it and go on.
#pragma once

#include <exception>
#include <string>

namespace kv {

struct Failure : std::exception {
  int status;
  std::string message;
  Failure(int status_, std::string message_) : status(status_), message(std::move(message_)) {}
  const char* what() const noexcept override { return message.c_str(); }
};

[[noreturn]] void fail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Prints the failure's message (no newline is added) and flushes standard output.
int report_failure(const Failure& failure);

}  // namespace kv
