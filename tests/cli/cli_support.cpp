#include "cli_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>

#include "kelvane/kelvane.h"

namespace cli::test {

std::vector<uint8_t> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string text_of(const fs::path& path) {
  std::vector<uint8_t> bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

namespace {

pid_t spawn(const fs::path& dir, const std::string& program, const std::vector<std::string>& args, int in, int out,
            int err) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  ::dup2(in, STDIN_FILENO);
  ::dup2(out, STDOUT_FILENO);
  ::dup2(err, STDERR_FILENO);
  if (::chdir(dir.c_str()) != 0) ::_exit(126);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  ::_exit(127);
}

}  // namespace

int finish(pid_t child) {
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Result run(const fs::path& dir, const std::string& program, const std::vector<std::string>& args,
           const std::string& input, int output_fd) {
  // Files rather than pipes: nothing can block however much either side writes.
  const fs::path in = dir / ".stdin", out = dir / ".stdout", err = dir / ".stderr";
  write_file(in, input);
  const int in_fd = ::open(in.c_str(), O_RDONLY);
  const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  Result result;
  result.status = finish(spawn(dir, program, args, in_fd, output_fd == -1 ? out_fd : output_fd, err_fd));
  ::close(in_fd);
  ::close(out_fd);
  ::close(err_fd);
  result.out = text_of(out);
  result.err = text_of(err);
  fs::remove(in);
  fs::remove(out);
  fs::remove(err);
  return result;
}

pid_t start(const fs::path& dir, const std::string& program, const std::vector<std::string>& args) {
  const int null = ::open("/dev/null", O_RDWR);
  const pid_t child = spawn(dir, program, args, null, null, null);
  ::close(null);
  return child;
}

std::string pnm_crop(const std::string& name, int x0, int y0, int w, int h) {
  const kelvane::Image image = kelvane::read_image(std::string(KV_TEST_DATA) + "/images/" + name);
  std::string bytes = (image.channels == 3 ? "P6\n" : "P5\n") + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x)
      for (int c = 0; c < image.channels; ++c)
        bytes += static_cast<char>(image.samples[(static_cast<size_t>(y) * image.width + x) * image.channels + c]);
  return bytes;
}

std::string noise_ppm(int w, int h) {
  std::string bytes = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  uint32_t x = 12345;
  for (int i = 0; i < w * h * 3; ++i) bytes += static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  return bytes;
}

std::string json_field(const std::string& line, const std::string& key) {
  std::smatch match;
  const std::regex pattern("\"" + key + "\":(\"[^\"]*\"|\\{[^}]*\\}|\\[[^a-z]*?\\]\\]?|\\[[^\\]]*\\]|[^,}]+)");
  return std::regex_search(line, match, pattern) ? match[1].str() : "<missing>";
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void CliTest::SetUp() {
  char pattern[] = "/tmp/kelvane-cli-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  dir = pattern;
}

void CliTest::TearDown() { fs::remove_all(dir); }

void CliTest::put_images() {
  write_file(dir / "gray.pgm", pnm_crop("camera.pgm", 100, 100, 24, 20));
  write_file(dir / "colour.ppm", pnm_crop("chelsea.ppm", 50, 40, 32, 24));
}

}  // namespace cli::test
