#include "util/failure.h"

#include <cstdarg>
#include <cstdio>

namespace kv {

void fail(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  std::vsnprintf(message.data(), message.size() + 1, format, args);
  va_end(args);
  throw Failure(status, std::move(message));
}

int report_failure(const Failure& failure) {
  std::fputs(failure.message.c_str(), stdout);
  std::fflush(stdout);
  return failure.status;
}

}  // namespace kv
