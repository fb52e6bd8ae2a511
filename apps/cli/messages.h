// The command line's words for failures: what went wrong, in the user's
// terms, naming the file. The classic form keeps the library's own texts.
#pragma once

#include <string>

#include "kelvane/error.h"

namespace cli {

// What the failing file was to the command.
enum class Role { kImageInput, kStreamInput, kOutput };

// "<file>: <reason>" for an error the library threw while working on `file`.
// `memory_limit` is the --max-memory value, 0 when none was given.
std::string describe(const kelvane::Error& error, const std::string& file, Role role, uint64_t memory_limit = 0);

// Why the image at `path` cannot be read, found from its first bytes: a
// missing file, a folder, another format, a PNG of 16 bits, a side larger
// than the codec takes. A generic reason when
// none of these shows.
std::string image_read_reason(const std::string& path);

// "<file>: warning: <line>" for a warning the library gave while working on
// `file` ("-": standard input), its own leading "Warning: " left out.
std::string warning_line(const std::string& file, const std::string& line);

// The text of errno `error` in lower case, as the messages use it.
std::string system_reason(int error);

}  // namespace cli
