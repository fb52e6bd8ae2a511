#include "api_support.h"

#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

namespace kelvane::test {

std::vector<uint8_t> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

RunResult run_in(const fs::path& dir, const std::string& program, const std::vector<std::string>& args) {
  RunResult result;
  int ends[2];
  if (::pipe(ends) != 0) return result;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(ends[1], STDOUT_FILENO);
    ::close(ends[0]);
    ::close(ends[1]);
    if (::chdir(dir.c_str()) == 0) ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(ends[1]);
  char buffer[4096];
  ssize_t got;
  while ((got = ::read(ends[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, static_cast<size_t>(got));
  ::close(ends[0]);
  int status = 0;
  if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

void ScratchDir::SetUp() {
  char pattern[] = "/tmp/kelvane-api-test-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  dir = pattern;
}

void ScratchDir::TearDown() { fs::remove_all(dir); }

Image test_image(const std::string& name, int x0, int y0, int w, int h) {
  const Image whole = read_image((fs::path(KV_TEST_DATA) / "images" / name).string());
  Image out{w, h, whole.channels, {}};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < whole.channels; ++c)
        out.samples.push_back(
            whole.samples[(static_cast<size_t>(y0 + y) * static_cast<size_t>(whole.width) + static_cast<size_t>(x0 + x)) *
                              static_cast<size_t>(whole.channels) + static_cast<size_t>(c)]);
  return out;
}

std::vector<uint8_t> pack_rows(const std::vector<uint16_t>& values, uint32_t samples_per_row, int bit_depth) {
  std::vector<uint8_t> rows;
  for (size_t start = 0; start < values.size(); start += samples_per_row) {
    if (bit_depth == 16) {
      for (size_t i = start; i < start + samples_per_row; ++i) {
        rows.push_back(static_cast<uint8_t>(values[i] >> 8));
        rows.push_back(static_cast<uint8_t>(values[i]));
      }
      continue;
    }
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = start; i < start + samples_per_row; ++i) {
      acc = (acc << bit_depth) | values[i];
      bits += bit_depth;
      if (bits == 8) {
        rows.push_back(static_cast<uint8_t>(acc));
        acc = 0;
        bits = 0;
      }
    }
    if (bits) rows.push_back(static_cast<uint8_t>(acc << (8 - bits)));
  }
  return rows;
}

namespace {

[[noreturn]] void on_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// Only plain locals here: an error jumps back to the setjmp.
bool write_all(png_structp png, png_infop info, std::FILE* file, const PngPicture* p, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, file);
  png_set_IHDR(png, info, p->width, p->height, p->bit_depth, p->colour_type,
               p->interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_color palette[256];
  const int entries = static_cast<int>(p->palette.size() / 3);
  for (int i = 0; i < entries; ++i)
    palette[i] = png_color{p->palette[3 * i], p->palette[3 * i + 1], p->palette[3 * i + 2]};
  if (entries) png_set_PLTE(png, info, palette, entries);
  png_color_16 colour{};
  if (p->transparent) {
    const std::vector<uint16_t>& t = *p->transparent;
    if (t.size() == 1) colour.gray = t[0];
    if (t.size() == 3) colour.red = t[0], colour.green = t[1], colour.blue = t[2];
  }
  if (!p->alphas.empty())
    png_set_tRNS(png, info, p->alphas.data(), static_cast<int>(p->alphas.size()), nullptr);
  else if (p->transparent)
    png_set_tRNS(png, info, nullptr, 0, &colour);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

void write_png_file(const fs::path& path, const PngPicture& picture) {
  const size_t row_bytes = picture.rows.size() / picture.height;
  std::vector<uint8_t> copy = picture.rows;
  std::vector<png_bytep> rows(picture.height);
  for (size_t y = 0; y < rows.size(); ++y) rows[y] = copy.data() + y * row_bytes;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, on_error, nullptr);
  png_infop info = png_create_info_struct(png);
  const bool ok = write_all(png, info, file, &picture, rows.data());
  png_destroy_write_struct(&png, &info);
  std::fclose(file);
  ASSERT_TRUE(ok) << path;
}

}  // namespace kelvane::test
