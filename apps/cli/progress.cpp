#include "cli/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace cli {

namespace {

std::mutex terminal_mutex;
Progress* active = nullptr;  // the bar on screen, guarded by terminal_mutex

std::string duration_text(double seconds) {
  const long whole = std::lround(std::max(0.0, seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

void clear_line() { std::fputs("\r\033[K", stderr); }

}  // namespace

void message(const std::string& line) {
  std::lock_guard lock(terminal_mutex);
  if (active && active->shown_) clear_line();
  std::fputs(line.c_str(), stderr);
  std::fputc('\n', stderr);
  if (active && active->shown_) active->draw_locked(true);
  std::fflush(stderr);
}

bool Progress::terminal() { return ::isatty(STDERR_FILENO) == 1; }

Progress::Progress(bool enabled, size_t files, uint64_t total_bytes)
    : enabled_(enabled), files_(files), total_bytes_(total_bytes), start_(std::chrono::steady_clock::now()) {
  if (!enabled_) return;
  std::lock_guard lock(terminal_mutex);
  active = this;
}

Progress::~Progress() {
  if (!enabled_) return;
  std::lock_guard lock(terminal_mutex);
  if (shown_) {
    clear_line();
    std::fflush(stderr);
  }
  active = nullptr;
}

void Progress::fraction(double value) {
  if (!enabled_) return;
  std::lock_guard lock(terminal_mutex);
  fraction_ = std::clamp(value, 0.0, 1.0);
  draw_locked(false);
}

void Progress::file_done(uint64_t bytes) {
  if (!enabled_) return;
  std::lock_guard lock(terminal_mutex);
  ++files_done_;
  bytes_done_ += bytes;
  fraction_ = 0;
  draw_locked(false);
}

std::string Progress::bar_locked() const {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double done = files_ > 1 ? static_cast<double>(files_done_) / static_cast<double>(files_) : fraction_;
  const int width = 30;
  const int filled = static_cast<int>(done * width);
  std::string line = "[";
  line.append(static_cast<size_t>(filled), '=');
  line.append(static_cast<size_t>(width - filled), ' ');
  line += "]";
  char text[128];
  if (files_ > 1) {
    const double rate = static_cast<double>(bytes_done_) / 1e6 / std::max(seconds, 1e-3);
    std::snprintf(text, sizeof text, " %zu/%zu files  %.1f MB/s", files_done_, files_, rate);
  } else {
    std::snprintf(text, sizeof text, " %3d%%", static_cast<int>(done * 100));
  }
  line += text;
  // Time left in a batch follows the bytes: files differ in size.
  const double share = files_ > 1 && total_bytes_ > 0
                           ? static_cast<double>(bytes_done_) / static_cast<double>(total_bytes_)
                           : done;
  if (share > 0.02) {
    line += "  ";
    line += duration_text(seconds * (1 - share) / share);
    line += " left";
  }
  return line;
}

void Progress::draw_locked(bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (!force) {
    if (now - start_ < std::chrono::milliseconds(500)) return;
    if (shown_ && now - last_draw_ < std::chrono::milliseconds(100)) return;
  }
  last_draw_ = now;
  shown_ = true;
  std::fputc('\r', stderr);
  std::fputs(bar_locked().c_str(), stderr);
  std::fputs("\033[K", stderr);
  std::fflush(stderr);
}

}  // namespace cli
