// Standard error as the command line uses it: messages, one per line, and a
// progress bar redrawn in place below them on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace cli {

// Prints `line` and a newline on standard error, clearing the progress bar
// first and redrawing it after. Safe from any thread.
void message(const std::string& line);

// A progress bar on standard error. Draws nothing unless enabled (standard
// error a terminal, not --quiet), nor before the work has run half a second;
// redraws at most ten times a second. Safe from any thread.
class Progress {
 public:
  // `files` inputs of `total_bytes` bytes together.
  Progress(bool enabled, size_t files, uint64_t total_bytes);
  ~Progress();  // clears the bar
  // The fraction (0..1) of the one file being coded.
  void fraction(double value);
  // One more file finished, `bytes` its input size.
  void file_done(uint64_t bytes);

  static bool terminal();  // whether standard error is a terminal

 private:
  friend void message(const std::string& line);
  void draw_locked(bool force);
  std::string bar_locked() const;

  bool enabled_;
  size_t files_;
  uint64_t total_bytes_;
  size_t files_done_ = 0;
  uint64_t bytes_done_ = 0;
  double fraction_ = 0;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace cli
