// The kelvane Python extension: numpy arrays and byte buffers in and out of
// the library, kelvane::Error raised as kelvane.KelvaneError. Every coding
// call runs without the interpreter lock, so Python threads code in
// parallel; a fork waits until no call is coding (see CallGate).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kelvane/kelvane.h"

namespace py = pybind11;

namespace {

// Counts the calls coding outside the interpreter lock. os.fork waits, with
// the gate closed, until there are none: a child must not inherit a lock
// (the library's spare memory, a worker pool) that a coding thread held.
class CallGate {
 public:
  void enter() {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [&] { return !forking_; });
    ++calls_;
  }
  void leave() {
    std::lock_guard lock(mutex_);
    if (--calls_ == 0) idle_.notify_all();
  }
  // Before fork: closes the gate and waits for the running calls.
  void close() {
    std::unique_lock lock(mutex_);
    forking_ = true;
    idle_.wait(lock, [&] { return calls_ == 0; });
  }
  // After fork, in the parent.
  void open() {
    std::lock_guard lock(mutex_);
    forking_ = false;
    opened_.notify_all();
  }
  // After fork, in the child: its only thread is the one that forked, so the
  // parent's other threads, which may have been waiting at the gate or held
  // its mutex for a moment, are forgotten rather than signalled.
  void restart() {
    std::construct_at(&mutex_);
    std::construct_at(&idle_);
    std::construct_at(&opened_);
    calls_ = 0;
    forking_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable idle_, opened_;
  int calls_ = 0;
  bool forking_ = false;
};

CallGate gate;

// Runs `work` without the interpreter lock, counted by the gate.
template <typename Work>
auto coding(Work&& work) -> decltype(work()) {
  py::gil_scoped_release unlocked;
  gate.enter();
  struct Leave {
    ~Leave() { gate.leave(); }
  } leave;
  return work();
}

const char* code_name(kelvane::ErrorCode code) {
  switch (code) {
    case kelvane::ErrorCode::kImageRead: return "image_read";
    case kelvane::ErrorCode::kImageWrite: return "image_write";
    case kelvane::ErrorCode::kNotAStream: return "not_a_stream";
    case kelvane::ErrorCode::kOutOfMemory: return "out_of_memory";
    case kelvane::ErrorCode::kInvalidImage: return "invalid_image";
    case kelvane::ErrorCode::kTruncatedStream: return "truncated_stream";
    case kelvane::ErrorCode::kCorruptStream: return "corrupt_stream";
    case kelvane::ErrorCode::kStreamFile: return "stream_file";
    case kelvane::ErrorCode::kEncodeFailed: return "encode_failed";
    case kelvane::ErrorCode::kTargetUnreachable: return "target_unreachable";
  }
  return "unknown";
}

// The target keyword arguments as the library's Target: at most one, a
// positive number (the PSNR may be infinite: the lossless stream).
kelvane::Target make_target(std::optional<double> size, std::optional<double> bpp, std::optional<double> psnr) {
  kelvane::Target target;
  int given = 0;
  for (auto [value, kind, name, infinite_ok] :
       {std::tuple{size, kelvane::Target::Kind::kBytes, "target_size", false},
        std::tuple{bpp, kelvane::Target::Kind::kBitsPerPixel, "target_bpp", false},
        std::tuple{psnr, kelvane::Target::Kind::kPsnr, "target_psnr", true}}) {
    if (!value) continue;
    if (!(*value > 0) || (std::isinf(*value) && !infinite_ok))
      throw py::value_error(std::string(name) + " must be a positive " + (infinite_ok ? "number" : "finite number"));
    if (++given > 1) throw py::value_error("give at most one of target_size, target_bpp and target_psnr");
    target.kind = kind;
    target.value = *value;
  }
  return target;
}

// The program refuses what is not a finite quantization value; so do the calls.
kelvane::EncodeOptions make_options(float quantization, bool rdo, int threads, const kelvane::Target& target) {
  if (!std::isfinite(quantization)) throw py::value_error("quantization must be a finite number");
  if (threads < 0) throw py::value_error("threads must be 0 (every core) or more");
  kelvane::EncodeOptions options;
  options.rate_distortion = rdo;
  options.threads = threads;
  options.target = target;
  return options;
}

const char kAccepted[] = "kelvane.encode takes a uint8 array of shape (height, width) or (height, width, channels)";

// Where an accepted array's samples lie.
struct Layout {
  const uint8_t* base;
  py::ssize_t height, width, channels;
  py::ssize_t row_step, column_step, channel_step;  // in bytes
};

// Checks the array's type and shape.
Layout check_array(const py::array& array) {
  if (array.dtype().kind() != 'u' || array.itemsize() != 1)
    throw py::type_error(std::string(kAccepted) + "; got dtype " + py::str(array.dtype()).cast<std::string>());
  const py::ssize_t dims = array.ndim();
  if (dims != 2 && dims != 3)
    throw py::value_error(std::string(kAccepted) + "; got " + std::to_string(dims) + " dimensions");
  const Layout layout{static_cast<const uint8_t*>(array.data()), array.shape(0), array.shape(1),
                      dims == 3 ? array.shape(2) : 1, array.strides(0), array.strides(1),
                      dims == 3 ? array.strides(2) : 0};
  if (layout.height < 1 || layout.height > 65535 || layout.width < 1 || layout.width > 65535 || layout.channels < 1 ||
      layout.channels > 255) {
    std::string shape;
    for (py::ssize_t d = 0; d < dims; ++d) {
      if (d) shape += ", ";
      shape += std::to_string(array.shape(d));
    }
    throw py::value_error(std::string(kAccepted) + ", with 1..65535 rows and columns and 1..255 channels; got shape (" +
                          shape + ")");
  }
  return layout;
}

// The samples as the codec's Image, read through their strides: views and
// slices cost no copy beyond this one, which the codec's sample type needs.
kelvane::Image to_image(const Layout& in) {
  kelvane::Image image{static_cast<int32_t>(in.width), static_cast<int32_t>(in.height),
                       static_cast<int32_t>(in.channels), {}};
  image.samples.resize(static_cast<size_t>(in.height * in.width * in.channels));
  int32_t* out = image.samples.data();
  const bool packed_rows = in.column_step == in.channels && (in.channels == 1 || in.channel_step == 1);
  for (py::ssize_t y = 0; y < in.height; ++y) {
    const uint8_t* row = in.base + y * in.row_step;
    if (packed_rows) {
      for (py::ssize_t i = 0; i < in.width * in.channels; ++i) *out++ = row[i];
    } else {
      for (py::ssize_t x = 0; x < in.width; ++x)
        for (py::ssize_t c = 0; c < in.channels; ++c) *out++ = row[x * in.column_step + c * in.channel_step];
    }
  }
  return image;
}

// A read-only view of any object with the buffer protocol, held until
// destroyed; the bytes are not copied.
class ByteView {
 public:
  explicit ByteView(const py::object& data) {
    if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_SIMPLE) != 0) {
      PyErr_Clear();
      throw py::type_error("expected bytes, bytearray, memoryview or another contiguous buffer; got " +
                           py::str(py::type::of(data)).cast<std::string>());
    }
  }
  ~ByteView() { PyBuffer_Release(&view_); }
  ByteView(const ByteView&) = delete;
  ByteView& operator=(const ByteView&) = delete;
  std::span<const uint8_t> bytes() const {
    return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

py::bytes encode(const py::object& data, float quantization, bool rdo, int threads, std::optional<double> target_size,
                 std::optional<double> target_bpp, std::optional<double> target_psnr) {
  const kelvane::EncodeOptions options =
      make_options(quantization, rdo, threads, make_target(target_size, target_bpp, target_psnr));
  const py::array array = py::array::ensure(data);
  if (!array) throw py::type_error(std::string(kAccepted) + "; got " + py::str(py::type::of(data)).cast<std::string>());
  const Layout layout = check_array(array);
  const std::vector<uint8_t> stream = coding([&] { return kelvane::encode(to_image(layout), quantization, options); });
  return py::bytes(reinterpret_cast<const char*>(stream.data()), stream.size());
}

kelvane::DecodeOptions decode_options(int64_t memory_limit, int threads) {
  if (memory_limit < 0) throw py::value_error("memory_limit must be 0 (the machine's memory) or more");
  if (threads < 0) throw py::value_error("threads must be 0 (every core) or more");
  kelvane::DecodeOptions options;
  options.memory_limit = static_cast<uint64_t>(memory_limit);
  options.threads = threads;
  return options;
}

// The library's warnings (a damaged trailer, alpha lost or left out of a
// PNM; samples reduced to 8 bits, an invalid ICC profile left out) as
// Python warnings: the call did its work, but not all of it.
// `level`: the frames between this call and the caller's code, as
// warnings.warn's stacklevel counts them.
void warn(const std::vector<std::string>& warnings, int level = 2) {
  const std::string prefix = "Warning: ";  // the category says it already
  for (const std::string& line : warnings) {
    const std::string text = line.starts_with(prefix) ? line.substr(prefix.size()) : line;
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), level) != 0) throw py::error_already_set();
  }
}

py::array decode(const py::object& data, int64_t memory_limit, int threads) {
  kelvane::DecodeOptions options = decode_options(memory_limit, threads);
  kelvane::DecodeReport report;
  options.report = &report;
  const ByteView view(data);
  auto* bytes = new std::vector<uint8_t>;
  py::capsule owner(bytes, [](void* p) { delete static_cast<std::vector<uint8_t>*>(p); });
  const kelvane::Image image = coding([&] {
    kelvane::Image decoded = kelvane::decode(view.bytes(), options);
    *bytes = decoded.to_8bit();
    decoded.samples = {};
    return decoded;
  });
  warn(report.warnings);
  std::vector<py::ssize_t> shape{image.height, image.width};
  if (image.channels != 1) shape.push_back(image.channels);
  return py::array_t<uint8_t>(shape, bytes->data(), owner);
}

py::dict info(const py::object& data) {
  const ByteView view(data);
  const kelvane::StreamInfo stream = coding([&] { return kelvane::read_info(view.bytes()); });
  // Only a whole stream ends in its trailer; a beginning reads as without.
  const bool alpha = coding([&] { return kelvane::read_trailer_info(view.bytes()).alpha; });
  py::dict result;
  result["width"] = stream.width;
  result["height"] = stream.height;
  result["channels"] = stream.channels;
  result["quantization"] = stream.quantization;
  result["alpha"] = alpha;
  return result;
}

// `text` with every `written` (the temporary file the package has the
// library write) replaced by `shown` (the output the caller named).
std::string shown_as(std::string text, const std::string& written, const std::string& shown) {
  if (written.empty() || written == shown) return text;
  for (size_t at = 0; (at = text.find(written, at)) != std::string::npos; at += shown.size())
    text.replace(at, written.size(), shown);
  return text;
}

// Runs a file call that writes `written`, its messages naming `shown` instead.
template <typename Work>
void writing(const std::string& written, const std::string& shown, std::vector<std::string>& warnings, Work&& work) {
  try {
    coding(work);
  } catch (const kelvane::Error& error) {
    throw kelvane::Error(error.code(), shown_as(error.message(), written, shown));
  }
  for (std::string& line : warnings) line = shown_as(line, written, shown);
  warn(warnings, 4);  // through the package's encode_file or decode_file, _write_whole and its lambda
}

void encode_file(const std::filesystem::path& image, const std::filesystem::path& stream, float quantization, bool rdo,
                 int threads, std::optional<double> target_size, std::optional<double> target_bpp,
                 std::optional<double> target_psnr, const std::filesystem::path& shown) {
  kelvane::EncodeOptions options =
      make_options(quantization, rdo, threads, make_target(target_size, target_bpp, target_psnr));
  std::vector<std::string> warnings;
  options.warnings = &warnings;
  writing(stream.string(), shown.empty() ? stream.string() : shown.string(), warnings,
          [&] { kelvane::encode_file(image.string(), stream.string(), quantization, options); });
}

void decode_file(const std::filesystem::path& stream, const std::filesystem::path& image, int64_t memory_limit,
                 int threads, const std::filesystem::path& shown) {
  kelvane::DecodeOptions options = decode_options(memory_limit, threads);
  kelvane::DecodeReport report;
  options.report = &report;
  writing(image.string(), shown.empty() ? image.string() : shown.string(), report.warnings,
          [&] { kelvane::decode_file(stream.string(), image.string(), options); });
}

}  // namespace

PYBIND11_MODULE(_kelvane, m) {
  m.doc() = "The kelvane image codec's extension module; use the kelvane package.";
  m.attr("__version__") = KV_VERSION;

  static py::exception<kelvane::Error> error_type(m, "KelvaneError", PyExc_ValueError);
  error_type.attr("__module__") = "kelvane";
  error_type.doc() =
      "A failure the kelvane library reports; a subclass of ValueError.\n\n"
      "str(error) and error.message are the message the kelvane program prints,\n"
      "error.code names its kind ('not_a_stream', 'truncated_stream', 'corrupt_stream',\n"
      "'image_read', 'image_write', 'out_of_memory', 'invalid_image', 'stream_file',\n"
      "'encode_failed', 'target_unreachable') and error.status is the program's exit status for it.";
  py::register_exception_translator([](std::exception_ptr failure) {
    try {
      if (failure) std::rethrow_exception(failure);
    } catch (const kelvane::Error& error) {
      py::object raised = py::reinterpret_borrow<py::object>(error_type)(error.message());
      raised.attr("message") = error.message();
      raised.attr("code") = code_name(error.code());
      raised.attr("status") = kelvane::classic_status(error.code());
      PyErr_SetObject(error_type.ptr(), raised.ptr());
    }
  });

  using namespace pybind11::literals;
  m.def("encode", &encode, "array"_a, "quantization"_a = 8.0f, py::kw_only(), "rdo"_a = false, "threads"_a = 0,
        "target_size"_a = py::none(), "target_bpp"_a = py::none(), "target_psnr"_a = py::none());
  m.def("decode", &decode, "data"_a, py::kw_only(), "memory_limit"_a = 0, "threads"_a = 0);
  m.def("info", &info, "data"_a);
  m.def("encode_file", &encode_file, "src"_a, "dst"_a, "quantization"_a = 8.0f, py::kw_only(), "rdo"_a = false,
        "threads"_a = 0, "target_size"_a = py::none(), "target_bpp"_a = py::none(), "target_psnr"_a = py::none(),
        "shown"_a = std::filesystem::path());
  m.def("decode_file", &decode_file, "src"_a, "dst"_a, py::kw_only(), "memory_limit"_a = 0, "threads"_a = 0,
        "shown"_a = std::filesystem::path());
  m.def("_before_fork", [] {
    py::gil_scoped_release unlocked;
    gate.close();
  });
  m.def("_after_fork_in_parent", [] { gate.open(); });
  m.def("_after_fork_in_child", [] { gate.restart(); });
}
