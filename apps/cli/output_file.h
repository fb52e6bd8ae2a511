// Files the programs write: every output goes to a temporary name beside its
// target and is renamed into place only when complete, so a failure or an
// interruption never leaves a partial file under a final name. A target that
// is a symbolic link is written where the link points (the link stays); one
// that is a device, pipe or socket is written into, never replaced.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace cli {

// Installs the handler of SIGINT, SIGTERM, SIGHUP and SIGPIPE (those not
// ignored already) that removes every temporary file still registered, then
// ends the process by the same signal. Call once, early.
void install_cleanup_handler();

// A file the program writes in place (the classic form's outputs), removed
// if a signal ends the program while it is armed, so that an interrupted run
// leaves no file cut short under its final name.
class RemovedOnSignal {
 public:
  RemovedOnSignal() = default;
  RemovedOnSignal(const RemovedOnSignal&) = delete;
  RemovedOnSignal& operator=(const RemovedOnSignal&) = delete;
  ~RemovedOnSignal() { disarm(); }
  // From now on a signal removes `path`; false when it cannot be registered.
  bool arm(const std::string& path);
  bool armed() const { return slot_ >= 0; }
  // The file is complete (or was never touched): a signal leaves it.
  void disarm();
  // The run failed while armed: removes the file it began, and disarms.
  void remove();

 private:
  int slot_ = -1;
};

// `path` with its last component's symbolic links followed (a dangling link
// gives the name it points at). Stops after 40 links, as the system does.
std::string followed_links(const std::string& path);

// True when both names exist and are the same file (links included).
bool same_file(const std::string& a, const std::string& b);
// True when `path` is "-", the standard stream.
inline bool is_stdio(const std::string& path) { return path == "-"; }

// A temporary file registered for removal on failure or interruption.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();  // removes the file unless committed

  // Creates "<dir>/.<name>.<random><suffix>" beside `target`, after following
  // `target`'s symbolic links; in the temporary folder when `target` is empty
  // or is an existing file that is not a regular file or a folder. False,
  // with errno set, when it cannot be created.
  bool create(const std::string& target, const std::string& suffix = "");
  const std::string& path() const { return path_; }
  // Puts the file in place of the target given to create: renamed onto a
  // regular target (taking its permissions), copied into any other. False, with errno set, on failure
  // (the temporary file is then still removed by the destructor).
  bool commit();
  void remove();

 private:
  std::string path_;
  std::string destination_;
  bool copy_ = false;
  int slot_ = -1;
};

// Writes all of `bytes` to the file at `path`, which exists. False, with
// errno set, on any failure.
bool write_bytes(const std::string& path, std::span<const uint8_t> bytes);
// Writes all of `bytes` to standard output and flushes it.
bool write_stdout(std::span<const uint8_t> bytes);
// The whole file (at most `limit` bytes), or standard input for "-". False,
// with errno set, on failure. `accept`, when given, sees the first 8 bytes
// (or all of a shorter file) as soon as they have arrived; reading stops
// with false (errno 0) unless it returns true, so that an endless source
// (/dev/zero) that is not what is wanted is given up at once.
bool read_bytes(const std::string& path, std::vector<uint8_t>& bytes, size_t limit = SIZE_MAX,
                bool (*accept)(std::span<const uint8_t> head) = nullptr);
// Whether `head` begins a kelvane stream: read_bytes' `accept` for streams.
bool stream_start(std::span<const uint8_t> head);
// True when `path` is "-" or names a pipe, FIFO or device: what can be read
// only once, so never sniffed and then read again.
bool read_once_only(const std::string& path);

// True when `path` names an existing device, pipe or socket (links
// followed): an output written into rather than replaced.
bool is_special_file(const std::string& path);

// The status to end with once standard output is flushed: `status`, or
// kFailure (1) with a message on standard error when what was printed there
// (JSON lines, help, reports) could not all be written.
int finish_stdout(int status);

// Empty when `dir` exists, is a folder and can be written; otherwise the reason.
std::string check_writable_dir(const std::string& dir);

}  // namespace cli
