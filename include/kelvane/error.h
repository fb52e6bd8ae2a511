// The one failure type of the kelvane library: a code for programs and a
// message for people. Every call that can fail throws kelvane::Error and
// nothing else; nothing in the library prints on its own or ends the process.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace kelvane {

enum class ErrorCode {
  kImageRead,       // an image file cannot be opened or read, or is not an image the library reads
  kImageWrite,      // an output file cannot be written, or is the file being read
  kNotAStream,      // the data does not begin as a kelvane stream
  kOutOfMemory,     // the image would need more memory than allowed or available
  kInvalidImage,    // an Image whose shape or sample count the codec does not take
  kTruncatedStream, // a stream or compressed file ends before its data does
  kCorruptStream,   // a stream holds values no encoder writes
  kStreamFile,      // a stream or veluna file cannot be opened, read, written or closed
  kEncodeFailed,    // the coder cannot go on: a value outside its range, models it cannot create
  kTargetUnreachable, // a size target below the smallest stream the image can have, or a target that is not a number
};

class Error : public std::exception {
 public:
  Error(ErrorCode code, std::string message) : code_(code), message_(std::move(message)) {}
  ErrorCode code() const noexcept { return code_; }
  // One line without a newline: what the classic programs print for it.
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  ErrorCode code_;
  std::string message_;
};

// The status the classic command lines end with for an error of this code:
// 255 for a file, image or memory problem the codec found, 1 for one the
// arithmetic coder or its files found.
constexpr int classic_status(ErrorCode code) {
  switch (code) {
    case ErrorCode::kImageRead:
    case ErrorCode::kImageWrite:
    case ErrorCode::kNotAStream:
    case ErrorCode::kOutOfMemory:
    case ErrorCode::kInvalidImage:
      return 255;
    default:
      return 1;
  }
}

}  // namespace kelvane
