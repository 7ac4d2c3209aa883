// qx318.hpp: a C++ interface over the QX318_RS485 C API, header-only.
//
//   auto port = qx318::Port::Open("/dev/ttyUSB0", 115200);
//   if (!port) { std::cerr << port.error().message() << '\n'; return 1; }
//   qx318::Device device = port->device(3);
//   if (auto hello = device.Hello()) std::cout << hello->value3 << '\n';
//
// Every call returns a Result: a value, or the Failure that says which
// command failed, on which port and address, and why (when the library keeps
// reasons). Nothing throws, except Result::value() on a failure (it throws
// qx318::Error) and memory exhaustion in the standard containers the
// allocating calls fill. Compiles as C++17 and C++20.
//
// Arguments a device cannot carry (an address outside 0-31, a parameter
// number above 127, a value wider than its code's groups) are refused before
// anything is sent, with the code kInvalidArgument and the words of
// docs/arguments.md: the C API would mask them into another request.
//
// Like the C API, one port carries one exchange at a time: calls through one
// Port and its Devices must not overlap; different ports are independent.
#ifndef QX318_HPP
#define QX318_HPP

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "QX318_RS485.h"

#if defined(_MSVC_LANG)
#define QX318_HPP_CPLUSPLUS _MSVC_LANG
#else
#define QX318_HPP_CPLUSPLUS __cplusplus
#endif

#if QX318_HPP_CPLUSPLUS >= 202002L && defined(__has_include)
#if __has_include(<span>)
#include <span>
#define QX318_HPP_STD_SPAN 1
#endif
#endif
#ifndef QX318_HPP_STD_SPAN
#define QX318_HPP_STD_SPAN 0
#endif

#if defined(__cpp_exceptions) || defined(__EXCEPTIONS) || defined(_CPPUNWIND)
#define QX318_HPP_EXCEPTIONS 1
#else
#define QX318_HPP_EXCEPTIONS 0
#endif

// A library that keeps the reason of its last failure declares
// QX318_GetLastFailure and the QX318_FAIL_ codes in the C header; against an
// older header every failure carries kUnknownFailure.
#if defined(QX318_FAIL_NONE)
#define QX318_HPP_FAILURE_REASONS 1
#else
#define QX318_HPP_FAILURE_REASONS 0
#endif

namespace qx318 {

// ---------------------------------------------------------------------------
// Span: std::span under C++20; under C++17 a pointer and a size with the
// same construction rules for what the calls here need.

#if QX318_HPP_STD_SPAN
template <class T>
using Span = std::span<T>;
#else
template <class T>
class Span {
 public:
  using element_type = T;
  using value_type = std::remove_cv_t<T>;
  using size_type = std::size_t;
  using pointer = T *;
  using iterator = T *;

  constexpr Span() noexcept = default;
  constexpr Span(T *data, std::size_t size) noexcept : data_(data), size_(size) {}
  template <std::size_t N>
  constexpr Span(T (&array)[N]) noexcept : data_(array), size_(N) {}
  // Any contiguous container whose data() converts to T*: std::vector,
  // std::array, std::string, another Span.
  template <class Container,
            class = std::enable_if_t<
                !std::is_array<std::remove_reference_t<Container> >::value &&
                std::is_convertible<decltype(std::declval<Container &>().data()), T *>::value>,
            class = decltype(std::declval<Container &>().size())>
  constexpr Span(Container &container) noexcept
      : data_(container.data()), size_(container.size()) {}

  constexpr T *data() const noexcept { return data_; }
  constexpr std::size_t size() const noexcept { return size_; }
  constexpr std::size_t size_bytes() const noexcept { return size_ * sizeof(T); }
  constexpr bool empty() const noexcept { return size_ == 0; }
  constexpr T *begin() const noexcept { return data_; }
  constexpr T *end() const noexcept { return data_ + size_; }
  constexpr T &operator[](std::size_t index) const noexcept { return data_[index]; }
  constexpr Span first(std::size_t count) const noexcept { return Span(data_, count); }
  constexpr Span subspan(std::size_t offset, std::size_t count) const noexcept {
    return Span(data_ + offset, count);
  }

 private:
  T *data_ = nullptr;
  std::size_t size_ = 0;
};
#endif

// ---------------------------------------------------------------------------
// Failures and results.

// The code of a failure when the library keeps no reasons.
constexpr int32_t kUnknownFailure = -1;
// The code of an argument refused before anything was sent; negative, like
// every code the library itself never gives.
constexpr int32_t kInvalidArgument = -2;

// Why a call failed, and where: the command, the port's description and the
// device address (-1 for opening a port).
struct Failure {
  const char *command = "";
  std::string port;
  int32_t address = -1;
  int32_t code = kUnknownFailure;  // a QX318_FAIL_ value, kUnknownFailure or kInvalidArgument
  std::string text;                // the library's sentence for the code
  std::string detail;              // the library's figures, may be empty

  // "hello to address 3 on /dev/ttyUSB0 failed: no byte arrived before the
  // time-out (no answer after 1100 ms)"
  std::string message() const {
    std::string out = command;
    if (address >= 0) out += " to address " + std::to_string(address);
    out += " on " + port + " failed";
    if (!text.empty()) out += ": " + text;
    if (!detail.empty()) out += " (" + detail + ")";
    return out;
  }
};

// What Result::value() throws for a failure.
class Error : public std::runtime_error {
 public:
  explicit Error(Failure failure)
      : std::runtime_error(failure.message()), failure_(std::move(failure)) {}
  const Failure &failure() const noexcept { return failure_; }

 private:
  Failure failure_;
};

namespace detail {

[[noreturn]] inline void RaiseFailure(const Failure &failure) {
#if QX318_HPP_EXCEPTIONS
  throw Error(failure);
#else
  (void)failure;
  std::abort();
#endif
}

// Reads the reason right after the failed call, on the same thread: the
// library keeps it per thread until that thread's next call.
inline Failure CaptureFailure(const char *command, const std::string &port, int32_t address) {
  Failure failure;
  failure.command = command;
  failure.port = port;
  failure.address = address;
#if QX318_HPP_FAILURE_REASONS
  failure.code = QX318_GetLastFailure();
  const char *text = QX318_FailureText(failure.code);
  const char *detail = QX318_GetLastFailureDetail();
  if (text != nullptr) failure.text = text;
  if (detail != nullptr) failure.detail = detail;
#endif
  return failure;
}

}  // namespace detail

// A value or the Failure that prevented it, in the manner of std::expected.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  // The value; throws qx318::Error (aborts without exceptions) on a failure.
  T &value() & {
    if (!has_value()) detail::RaiseFailure(error());
    return *std::get_if<0>(&state_);
  }
  const T &value() const & {
    if (!has_value()) detail::RaiseFailure(error());
    return *std::get_if<0>(&state_);
  }
  T &&value() && { return std::move(value()); }

  template <class U>
  T value_or(U &&fallback) const & {
    return has_value() ? *std::get_if<0>(&state_) : static_cast<T>(std::forward<U>(fallback));
  }

  // Unchecked access, for after a test of has_value().
  T &operator*() &noexcept { return *std::get_if<0>(&state_); }
  const T &operator*() const &noexcept { return *std::get_if<0>(&state_); }
  T &&operator*() &&noexcept { return std::move(*std::get_if<0>(&state_)); }
  T *operator->() noexcept { return std::get_if<0>(&state_); }
  const T *operator->() const noexcept { return std::get_if<0>(&state_); }

  // The failure; only after has_value() returned false.
  const Failure &error() const noexcept { return *std::get_if<1>(&state_); }

 private:
  std::variant<T, Failure> state_;
};

// The result of a call that has no value to give.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : failure_(std::move(failure)) {}

  bool has_value() const noexcept { return !failure_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  void value() const {
    if (failure_) detail::RaiseFailure(*failure_);
  }
  const Failure &error() const noexcept { return *failure_; }

 private:
  std::optional<Failure> failure_;
};

// ---------------------------------------------------------------------------
// Values.

// Low byte the parameter number (0-127 can be addressed), high byte the
// number of 7-bit groups the value travels in (1-3 for a 16-bit value).
constexpr ParameterCode MakeParameterCode(uint8_t number, uint8_t groups) noexcept {
  return static_cast<ParameterCode>((unsigned{groups} << 8) | number);
}

// The limits of docs/arguments.md: an address travels in 5 bits, a parameter
// number in one 7-bit data byte, a 16-bit value in 1 to 3 7-bit groups.
constexpr int32_t kLastAddress = 31;
constexpr unsigned kLastParameterNumber = 127;
constexpr unsigned kMinGroups = 1;
constexpr unsigned kMaxGroups = 3;

// The largest value a code's groups carry: 127, 16383, then all 16 bits.
constexpr uint32_t LargestValueFor(ParameterCode code) noexcept {
  const unsigned groups = code >> 8;
  return groups >= kMaxGroups ? uint32_t{UINT16_MAX} : (uint32_t{1} << (7 * groups)) - 1;
}

// The most values a measurement answer can announce: 16383 pairs.
constexpr std::size_t kMaxMeasureValues = 32766;
// What GetImage() allocates unless told otherwise; a device's largest image
// (16383 x 16383) would take 268 MB.
constexpr std::size_t kDefaultMaxPixels = std::size_t{4} << 20;

struct ValuePair {
  uint16_t first = 0;
  uint16_t second = 0;
};

struct Measurement {
  uint8_t lead_byte = 0;
  std::vector<ValuePair> pairs;
};

struct Image {
  ImageHeader header{};
  std::vector<uint8_t> pixels;  // row r starts at r * width()

  std::size_t width() const noexcept { return header.row_length; }
  std::size_t height() const noexcept { return header.row_count; }
  Span<const uint8_t> row(std::size_t r) const noexcept {
    return Span<const uint8_t>(pixels.data() + r * width(), width());
  }
};

// ---------------------------------------------------------------------------
// Port and Device.

namespace detail {

// Shared by a Port and its Devices, so that a Device survives moves of its
// Port and, once the Port is closed, calls the library with no handle (and
// fails) instead of with a handle that was freed.
struct PortState {
  PortHandle handle = QX318_INVALID_PORT;
  std::string description;
};

// The refusals of docs/arguments.md, in the host tool's words; each returns
// "" for an argument that passes.
inline std::string CodeText(ParameterCode code) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 12; shift >= 0; shift -= 4) text += kDigits[(code >> shift) & 0xF];
  return text;
}

inline std::string AddressProblem(int32_t address) {
  if (address >= 0 && address <= kLastAddress) return {};
  return "Value " + std::to_string(address) + " not in range 0 to " + std::to_string(kLastAddress);
}

inline std::string CodeProblem(ParameterCode code) {
  const unsigned number = code & 0xFFu;
  const unsigned groups = code >> 8;
  if (number > kLastParameterNumber) {
    return "parameter number " + std::to_string(number) + " does not fit in a 7-bit data byte (0-" +
           std::to_string(kLastParameterNumber) + ")";
  }
  if (groups < kMinGroups || groups > kMaxGroups) {
    return "group count " + std::to_string(groups) + " of code " + CodeText(code) +
           " is outside 1-3 (a 16-bit value travels in 1 to 3 groups of 7 bits)";
  }
  return {};
}

// For a code that CodeProblem() passed.
inline std::string ValueProblem(ParameterCode code, uint16_t value) {
  const uint32_t largest = LargestValueFor(code);
  if (value <= largest) return {};
  const unsigned groups = code >> 8;
  return "VALUE " + std::to_string(value) + " does not fit in code " + CodeText(code) + ", " +
         std::to_string(groups) + (groups == 1 ? " group" : " groups") + " of 7 bits (at most " +
         std::to_string(largest) + ")";
}

inline uint32_t ClampCapacity(std::size_t size) noexcept {
  return static_cast<uint32_t>(std::min<std::size_t>(size, UINT32_MAX));
}

template <class T>
bool ResizeWithoutThrowing(std::vector<T> &buffer, std::size_t size) {
#if QX318_HPP_EXCEPTIONS
  try {
    buffer.resize(size);
  } catch (const std::bad_alloc &) {
    return false;
  }
#else
  buffer.resize(size);
#endif
  return true;
}

}  // namespace detail

// One device on the bus of a Port. Cheap to copy. It follows its Port through
// moves; after the Port is closed or destroyed every call fails.
class Device {
 public:
  int32_t address() const noexcept { return address_; }
  const std::string &port_description() const noexcept { return port_->description; }

  Result<HelloAnswer> Hello() const {
    HelloAnswer answer{};
    if (Result<void> done = Run("hello", QX318_HelloCmd, &answer); !done) return done.error();
    return answer;
  }

  Result<uint16_t> ReadParameter(ParameterCode code) const {
    if (std::string problem = CodeProblem(code); !problem.empty()) {
      return Refused("read parameter", std::move(problem));
    }
    uint16_t value = 0;
    if (Result<void> done = Run("read parameter", QX318_ReadParameter, code, &value); !done) {
      return done.error();
    }
    return value;
  }

  // The device does not answer: success means the request left the port. A
  // value wider than the code's groups is refused, never cut.
  Result<void> WriteParameter(ParameterCode code, uint16_t value) const {
    std::string problem = CodeProblem(code);
    if (problem.empty()) problem = detail::ValueProblem(code, value);
    if (!problem.empty()) return Refused("write parameter", std::move(problem));
    return Run("write parameter", QX318_WriteParameter, code, value);
  }

  Result<void> SaveParameters() const { return Run("save parameters", QX318_FlushParamsToFlash); }
  Result<void> RestoreParameters() const {
    return Run("restore parameters", QX318_RestoreParamsFromFlash);
  }

  // Fills values with 2 x pair_count values; fails, writing nothing, when the
  // answer announces more than values holds.
  Result<MeasureHeader> MeasureInto(Span<uint16_t> values) const {
    MeasureHeader header{};
    if (Result<void> done = Run("measure", QX318_GetMeasureEx, &header, values.data(),
                                detail::ClampCapacity(values.size()));
        !done) {
      return done.error();
    }
    return header;
  }

  Result<Measurement> Measure() const {
    std::vector<uint16_t> values;
    if (!detail::ResizeWithoutThrowing(values, kMaxMeasureValues)) return OutOfMemory("measure");
    Result<MeasureHeader> header = MeasureInto(Span<uint16_t>(values));
    if (!header) return header.error();
    Measurement measurement;
    measurement.lead_byte = header->lead_byte;
    measurement.pairs.resize(header->pair_count);
    for (std::size_t i = 0; i < measurement.pairs.size(); ++i) {
      measurement.pairs[i] = ValuePair{values[2 * i], values[2 * i + 1]};
    }
    return measurement;
  }

  // The device does not answer: success means the request left the port.
  Result<void> LockResult() const { return Run("lock result", QX318_LockResult); }

  // Fills pixels with the image's rows; fails before reading a row when the
  // image is larger than pixels. After another failure pixels may hold part
  // of an image.
  Result<ImageHeader> GetImageInto(Span<uint8_t> pixels) const {
    ImageHeader header{};
    if (Result<void> done = Run("image", QX318_GetImageEx, &header, pixels.data(),
                                detail::ClampCapacity(pixels.size()));
        !done) {
      return done.error();
    }
    return header;
  }

  // Allocates max_pixels bytes for the answer; an image larger than that is
  // refused.
  Result<Image> GetImage(std::size_t max_pixels = kDefaultMaxPixels) const {
    Image image;
    if (!detail::ResizeWithoutThrowing(image.pixels, max_pixels)) return OutOfMemory("image");
    Result<ImageHeader> header = GetImageInto(Span<uint8_t>(image.pixels));
    if (!header) return header.error();
    image.header = *header;
    image.pixels.resize(image.width() * image.height());
    image.pixels.shrink_to_fit();
    return image;
  }

  Result<int32_t> RotateAxis() const { return ReadAngle("rotate axis", QX318_RotateAxisXY); }
  Result<int32_t> RotationAngle() const {
    return ReadAngle("rotation angle", QX318_GetRotateAngle);
  }

  Result<void> SaveAngle() const { return Run("save angle", QX318_FlushAngleToFlash); }
  Result<void> RestoreAngle() const { return Run("restore angle", QX318_RestoreAngleFromFlash); }

 private:
  friend class Port;
  Device(std::shared_ptr<const detail::PortState> port, int32_t address)
      : port_(std::move(port)), address_(address) {}

  // One exchange through the C function: port and address first, then args.
  template <class Function, class... Args>
  Result<void> Run(const char *command, Function function, Args... args) const {
    if (std::string problem = detail::AddressProblem(address_); !problem.empty()) {
      return Refused(command, std::move(problem));
    }
    if (IsClosed()) return Closed(command);
    if (!function(port_->handle, address_, args...)) return Fail(command);
    return {};
  }

  template <class Function>
  Result<int32_t> ReadAngle(const char *command, Function function) const {
    int32_t value = 0;
    if (Result<void> done = Run(command, function, &value); !done) return done.error();
    return value;
  }

  Failure Fail(const char *command) const {
    return detail::CaptureFailure(command, port_->description, address_);
  }
  // The address comes first, as in docs/arguments.md.
  std::string CodeProblem(ParameterCode code) const {
    std::string problem = detail::AddressProblem(address_);
    return problem.empty() ? detail::CodeProblem(code) : problem;
  }
  Failure Refused(const char *command, std::string text) const {
    return OwnFailure(command, kInvalidArgument, std::move(text));
  }

  Failure OwnFailure(const char *command, int32_t code, std::string text) const {
    Failure failure;
    failure.command = command;
    failure.port = port_->description;
    failure.address = address_;
    failure.code = code;
    failure.text = std::move(text);
    return failure;
  }
  // A closed port's handle was freed: no call reaches the library with it.
  bool IsClosed() const noexcept { return port_->handle == QX318_INVALID_PORT; }
  Failure Closed(const char *command) const {
#if QX318_HPP_FAILURE_REASONS
    return OwnFailure(command, QX318_FAIL_INVALID_HANDLE, "the port is closed");
#else
    return OwnFailure(command, kUnknownFailure, "the port is closed");
#endif
  }
  Failure OutOfMemory(const char *command) const {
#if QX318_HPP_FAILURE_REASONS
    return OwnFailure(command, QX318_FAIL_NO_MEMORY, "the answer buffer could not be allocated");
#else
    return OwnFailure(command, kUnknownFailure, "the answer buffer could not be allocated");
#endif
  }

  std::shared_ptr<const detail::PortState> port_;
  int32_t address_;
};

// An open converter port. Move-only; closes the port when destroyed.
class Port {
 public:
  static Result<Port> Open(const std::string &description, uint32_t baud_rate) {
    PortHandle handle = QX318_INVALID_PORT;
    if (!QX318_OpenPort(description.c_str(), baud_rate, &handle)) {
      return detail::CaptureFailure("open", description, -1);
    }
    return Port(handle, description);
  }

  Port() = default;  // no port; every Device from it fails
  ~Port() { Close(); }
  Port(const Port &) = delete;
  Port &operator=(const Port &) = delete;
  Port(Port &&other) noexcept : state_(std::move(other.state_)) {}
  Port &operator=(Port &&other) noexcept {
    if (this != &other) {
      Close();
      state_ = std::move(other.state_);
    }
    return *this;
  }

  bool is_open() const noexcept { return state_ && state_->handle != QX318_INVALID_PORT; }
  PortHandle handle() const noexcept { return state_ ? state_->handle : QX318_INVALID_PORT; }
  const std::string &description() const noexcept {
    static const std::string kNone;
    return state_ ? state_->description : kNone;
  }

  // Every call of a Device whose address is outside 0-31 fails with
  // kInvalidArgument, where the C API would use the address's low 5 bits.
  Device device(int32_t address) const {
    return Device(state_ ? std::shared_ptr<const detail::PortState>(state_)
                         : std::make_shared<const detail::PortState>(),
                  address);
  }

  // Closes now rather than at destruction; Devices fail from here on.
  void Close() noexcept {
    if (!is_open()) return;
    (void)QX318_ClosePort(state_->handle);
    state_->handle = QX318_INVALID_PORT;
  }

 private:
  Port(PortHandle handle, const std::string &description)
      : state_(std::make_shared<detail::PortState>()) {
    state_->handle = handle;
    state_->description = description;
  }

  std::shared_ptr<detail::PortState> state_;
};

}  // namespace qx318

#endif  // QX318_HPP
