#include "cli/output_file.h"

#include "cli/messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <new>
#include <vector>

namespace cli {

namespace {

// The registry of temporary files the signal handler removes: fixed slots of
// fixed size, so that the handler touches no allocator.
constexpr int kSlots = 256;
constexpr size_t kPathBytes = 4096;
char slot_paths[kSlots][kPathBytes];
std::atomic<int> slot_used[kSlots];

// A slot in state 2 is taken but not yet named; the handler skips it.
int claim_slot(size_t path_size) {
  if (path_size >= kPathBytes) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (slot_used[i].compare_exchange_strong(expected, 2)) return i;
  }
  return -1;
}

void release_slot(int slot) {
  if (slot >= 0) slot_used[slot].store(0);
}

void on_signal(int signal) {
  for (int i = 0; i < kSlots; ++i)
    if (slot_used[i].load() == 1) ::unlink(slot_paths[i]);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

mode_t creation_mode() {
  static const mode_t mode = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

}  // namespace

void install_cleanup_handler() {
  creation_mode();
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  // A reader that went away (SIGPIPE) ends the program as before, but
  // without leftovers. A signal the parent ignores (nohup, a background job)
  // stays ignored: it never ended the program.
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction before {};
    if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

bool RemovedOnSignal::arm(const std::string& path) {
  disarm();
  const int slot = claim_slot(path.size());
  if (slot < 0) return false;
  std::memcpy(slot_paths[slot], path.c_str(), path.size() + 1);
  slot_used[slot].store(1);
  slot_ = slot;
  return true;
}

void RemovedOnSignal::disarm() {
  release_slot(slot_);
  slot_ = -1;
}

void RemovedOnSignal::remove() {
  if (slot_ >= 0) ::unlink(slot_paths[slot_]);
  disarm();
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool is_special_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

std::string followed_links(const std::string& path) {
  std::filesystem::path place(path);
  for (int links = 0; links < 40; ++links) {
    std::error_code error;
    if (!std::filesystem::is_symlink(place, error)) break;
    const std::filesystem::path to = std::filesystem::read_symlink(place, error);
    if (error) break;
    place = to.is_absolute() ? to : place.parent_path() / to;
  }
  return place.string();
}

TempFile::~TempFile() { remove(); }

bool TempFile::create(const std::string& target, const std::string& suffix) {
  remove();
  destination_ = target.empty() ? target : followed_links(target);
  copy_ = !target.empty() && is_special_file(destination_);
  std::string pattern;
  if (target.empty() || copy_) {
    const char* dir = std::getenv("TMPDIR");
    pattern = std::string(dir && *dir ? dir : "/tmp") + "/kelvane-XXXXXX" + suffix;
  } else {
    const std::filesystem::path path(destination_);
    const std::string dir = path.parent_path().string();
    pattern = (dir.empty() ? std::string() : dir + "/") + "." + path.filename().string() + ".XXXXXX" + suffix;
  }
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int slot = claim_slot(pattern.size());
  if (slot < 0) {
    errno = ENAMETOOLONG;
    return false;
  }
  const int fd = ::mkstemps(name.data(), static_cast<int>(suffix.size()));
  if (fd < 0) {
    const int error = errno;
    release_slot(slot);
    errno = error;
    return false;
  }
  std::memcpy(slot_paths[slot], name.data(), name.size());
  slot_used[slot].store(1);
  ::fchmod(fd, creation_mode());
  ::close(fd);
  path_ = name.data();
  slot_ = slot;
  return true;
}

bool TempFile::commit() {
  if (copy_) {
    std::vector<uint8_t> bytes;
    if (!read_bytes(path_, bytes) || !write_bytes(destination_, bytes)) return false;
    remove();
    return true;
  }
  // A file replaced keeps its permissions (a private file stays private).
  struct stat replaced;
  if (::stat(destination_.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode))
    ::chmod(path_.c_str(), replaced.st_mode & 0777);
  if (::rename(path_.c_str(), destination_.c_str()) != 0) return false;
  release_slot(slot_);
  slot_ = -1;
  path_.clear();
  return true;
}

void TempFile::remove() {
  if (!path_.empty()) ::unlink(path_.c_str());
  release_slot(slot_);
  slot_ = -1;
  path_.clear();
}

namespace {

bool write_fd(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(wrote);
  }
  return true;
}

}  // namespace

bool write_bytes(const std::string& path, std::span<const uint8_t> bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = write_fd(fd, bytes);
  const int error = errno;
  if (::close(fd) != 0 || !written) {
    if (!written) errno = error;
    return false;
  }
  return true;
}

bool write_stdout(std::span<const uint8_t> bytes) {
  std::fflush(stdout);
  return write_fd(STDOUT_FILENO, bytes);
}

bool read_bytes(const std::string& path, std::vector<uint8_t>& bytes, size_t limit,
                bool (*accept)(std::span<const uint8_t>)) {
  bytes.clear();
  const bool stdio = is_stdio(path);
  const int fd = stdio ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  constexpr size_t kHead = 8;
  bool ok = true;
  size_t filled = 0;
  try {
    while (filled < limit) {
      if (bytes.size() - filled < 65536) bytes.resize(std::min(limit, filled + std::max<size_t>(filled, 65536)));
      const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
      if (got < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      if (got == 0) break;
      const bool checked = filled >= kHead;
      filled += static_cast<size_t>(got);
      if (accept && !checked && filled >= kHead && !accept({bytes.data(), kHead})) {
        ok = false;
        errno = 0;
        break;
      }
    }
  } catch (const std::bad_alloc&) {
    ok = false;
    errno = ENOMEM;
  }
  if (ok && accept && filled < kHead && !accept({bytes.data(), filled})) {
    ok = false;
    errno = 0;
  }
  const int error = errno;
  bytes.resize(filled);
  if (!stdio) ::close(fd);
  errno = error;
  return ok;
}

bool stream_start(std::span<const uint8_t> head) { return head.size() >= 2 && head[0] == 'K' && head[1] == '$'; }

bool read_once_only(const std::string& path) {
  struct stat st;
  return is_stdio(path) || (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode));
}

std::string check_writable_dir(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return "not a folder";
  if (::access(dir.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
  return {};
}

int finish_stdout(int status) {
  std::cout.flush();
  const bool stream_failed = !std::cout;
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout) && !stream_failed) return status;
  const int error = errno;
  std::fprintf(stderr, "kelvane: standard output: cannot be written (%s)\n",
               error ? system_reason(error).c_str() : "write error");
  return status == 0 ? 1 : status;
}

}  // namespace cli
