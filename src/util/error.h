// The library's one failure path: fail() throws kelvane::Error with a code
// and the one-line message the classic programs print for it.
#pragma once

#include "kelvane/error.h"

namespace kv {

using kelvane::Error;
using kelvane::ErrorCode;
using kelvane::classic_status;

[[noreturn]] void fail(ErrorCode code, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kv
