#include "host/commands.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <new>
#include <nlohmann/json.hpp>
#include <vector>

#include "host/image_file.h"
#include "tool_support.h"

namespace qx318::host {
namespace {

using Json = nlohmann::ordered_json;

constexpr uint32_t kMaxValues = 2 * kMax14BitValue;  // a 14-bit pair count
constexpr int kProgressWidth = 30;

// Paths are bytes, not necessarily UTF-8: a byte JSON cannot carry becomes
// U+FFFD instead of an exception.
void PrintJson(const Json &doc) {
  fmt::print("{}\n", doc.dump(2, ' ', false, Json::error_handler_t::replace));
}

Json HelloJson(const HelloAnswer &a) {
  return Json{{"value1", a.value1}, {"value2", a.value2}, {"value3", a.value3},
              {"value4", a.value4}, {"value5", a.value5}, {"value6", a.value6},
              {"value7", a.value7}};
}

std::string HelloText(const HelloAnswer &a) {
  return fmt::format("value1 {}, value2 {}, value3 {}, value4 {}, value5 {}, value6 {}, value7 {}",
                     a.value1, a.value2, a.value3, a.value4, a.value5, a.value6, a.value7);
}

// Draws "image [#####-----] 40/120 rows" on stderr, redrawn in place.
struct ProgressBar {
  const char *label;
  bool drawn = false;

  void OnRow(uint32_t done, uint32_t total) {
    const int filled =
        total == 0 ? kProgressWidth : static_cast<int>(uint64_t{done} * kProgressWidth / total);
    fmt::print(stderr, "\r{} [{}{}] {}/{} rows", label,
               std::string(static_cast<size_t>(filled), '#'),
               std::string(static_cast<size_t>(kProgressWidth - filled), '-'), done, total);
    std::fflush(stderr);
    drawn = true;
  }
  void Finish() const {
    if (drawn) fmt::print(stderr, "\n");
  }
};

// The pixel buffer, sized once the image header has told the image's size:
// a small image costs little memory however large an image could be.
struct PixelBuffer {
  std::vector<uint8_t> pixels;
  bool out_of_memory = false;

  uint8_t *Allocate(uint32_t row_count, uint32_t row_length) {
    try {
      // One byte at least: an empty image still needs a buffer to point to.
      pixels.assign(std::max<size_t>(size_t{row_count} * row_length, 1), 0);
      return pixels.data();
    } catch (const std::bad_alloc &) {
      out_of_memory = true;
      return nullptr;
    }
  }
};

// The library takes an absolute path as a device path and anything else as
// a USB product description; a relative path the user sees in the folder
// means the file.
std::string PortName(const std::string &port) {
  std::error_code ignored;
  if (!port.empty() && port.front() != '/' && std::filesystem::exists(port, ignored)) {
    return std::filesystem::absolute(port, ignored).string();
  }
  return port;
}

}  // namespace

std::optional<uint32_t> ParseNumber(const std::string &text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char *begin = text.data() + (hex ? 2 : 0);
  const char *end = text.data() + text.size();
  uint32_t value = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, value, hex ? 16 : 10);
  if (begin == end || ec != std::errc() || ptr != end || value > UINT16_MAX) return std::nullopt;
  return value;
}

std::string GroupCount(ParameterCode code) {
  const unsigned groups = code >> 8;
  return fmt::format("{} group{}", groups, groups == 1 ? "" : "s");
}

uint32_t LargestValueFor(ParameterCode code) {
  const uint32_t groups = code >> 8;
  return groups >= 3 ? UINT16_MAX : (1u << (kBitsPerGroup * groups)) - 1;
}

void ReportFailure(const std::string &command, const Target &target, const std::string &what) {
  fmt::print(stderr, "qx318 {}: port {}, address {}: {}\n", command, target.port, target.address,
             what);
}

// The library's own reason for the call that just failed on this thread:
// its detail with the figures, or its sentence when there are none.
std::string LastFailureText() {
  const std::string detail = QX318_GetLastFailureDetail();
  return detail.empty() ? QX318_FailureText(QX318_GetLastFailure()) : detail;
}

void ReportLibraryFailure(const std::string &command, const Target &target,
                          const std::string &context) {
  const int32_t code = QX318_GetLastFailure();
  const std::string detail = QX318_GetLastFailureDetail();
  const std::string what = context.empty() ? LastFailureText() : context + ": " + LastFailureText();
  ReportFailure(command, target, what);
  if (target.json_errors) {
    PrintJson(
        Json{{"error", {{"code", code}, {"reason", QX318_FailureText(code)}, {"detail", detail}}}});
  }
}

std::optional<Session> Session::Open(const std::string &command, const Target &target) {
  PortHandle port = QX318_INVALID_PORT;
  if (QX318_OpenPort(PortName(target.port).c_str(), target.baud, &port) != 1) {
    ReportLibraryFailure(command, target,
                         fmt::format("cannot open the port at {} baud", target.baud));
    return std::nullopt;
  }
  return Session(port);
}

Session::Session(Session &&other) noexcept : port_(other.port_) {
  other.port_ = QX318_INVALID_PORT;
}

Session::~Session() { (void)QX318_ClosePort(port_); }

int RunScan(const Target &target, const OutputStyle &style, ScanRange range) {
  const auto session = Session::Open("scan", target);
  if (!session) return kExitDevice;
  Json devices = Json::array();
  Json failures = Json::array();
  for (int address = range.first; address <= range.last; ++address) {
    if (style.progress) {
      // A silent address costs the whole time-out: say which one is waited on.
      fmt::print(stderr, "\rscanning address {:2} of {}-{}", address, range.first, range.last);
      std::fflush(stderr);
    }
    HelloAnswer answer{};
    if (QX318_HelloCmd(session->port(), address, &answer) != 1) {
      // Anything but silence means something answered there: a CRC error
      // or a wrong length is worth knowing about.
      const int32_t code = QX318_GetLastFailure();
      if (code == QX318_FAIL_NO_ANSWER) continue;
      if (style.progress) fmt::print(stderr, "\r\033[K");
      fmt::print(stderr, "qx318 scan: port {}, address {}: {}\n", target.port, address,
                 LastFailureText());
      failures.push_back(Json{{"address", address},
                              {"code", code},
                              {"reason", QX318_FailureText(code)},
                              {"detail", QX318_GetLastFailureDetail()}});
      continue;
    }
    devices.push_back(Json{{"address", address}, {"hello", HelloJson(answer)}});
    if (style.progress) fmt::print(stderr, "\r\033[K");
    if (!style.json) fmt::print("address {:2}: {}\n", address, HelloText(answer));
    std::fflush(stdout);
  }
  if (style.progress) fmt::print(stderr, "\r\033[K");
  if (style.json) {
    PrintJson(Json{{"port", target.port}, {"devices", devices}, {"failures", failures}});
  }
  if (devices.empty()) {
    fmt::print(stderr, "qx318 scan: port {}: no device answered at addresses {}-{}\n", target.port,
               range.first, range.last);
    return kExitDevice;
  }
  return kExitOk;
}

int RunHello(const Target &target, const OutputStyle &style) {
  const auto session = Session::Open("hello", target);
  if (!session) return kExitDevice;
  HelloAnswer answer{};
  if (QX318_HelloCmd(session->port(), target.address, &answer) != 1) {
    ReportLibraryFailure("hello", target, "");
    return kExitDevice;
  }
  if (style.json) {
    PrintJson(Json{{"address", target.address}, {"hello", HelloJson(answer)}});
  } else {
    fmt::print("address {}: {}\n", target.address, HelloText(answer));
  }
  return kExitOk;
}

int RunParamGet(const Target &target, const OutputStyle &style, ParameterCode code) {
  const auto session = Session::Open("param get", target);
  if (!session) return kExitDevice;
  uint16_t value = 0;
  if (QX318_ReadParameter(session->port(), target.address, code, &value) != 1) {
    ReportLibraryFailure("param get", target, fmt::format("code 0x{:04X}", code));
    return kExitDevice;
  }
  if (style.json) {
    PrintJson(Json{{"address", target.address},
                   {"code", code},
                   {"parameter", code & 0xFF},
                   {"groups", code >> 8},
                   {"value", value}});
  } else {
    fmt::print("parameter {} (code 0x{:04X}, {}) = {}\n", code & 0xFF, code, GroupCount(code),
               value);
  }
  return kExitOk;
}

int RunParamSet(const Target &target, const OutputStyle &style, ParameterCode code, uint16_t value,
                bool verify) {
  const auto session = Session::Open("param set", target);
  if (!session) return kExitDevice;
  if (QX318_WriteParameter(session->port(), target.address, code, value) != 1) {
    ReportLibraryFailure("param set", target, "");
    return kExitDevice;
  }
  if (verify) {
    uint16_t read_back = 0;
    if (QX318_ReadParameter(session->port(), target.address, code, &read_back) != 1) {
      ReportLibraryFailure("param set", target, fmt::format("reading back code 0x{:04X}", code));
      return kExitDevice;
    }
    if (read_back != value) {
      ReportFailure(
          "param set", target,
          fmt::format("code 0x{:04X} reads back {} after writing {}", code, read_back, value));
      return kExitDevice;
    }
  }
  if (style.json) {
    PrintJson(Json{{"address", target.address},
                   {"code", code},
                   {"parameter", code & 0xFF},
                   {"groups", code >> 8},
                   {"value", value},
                   {"verified", verify}});
  } else {
    fmt::print("parameter {} (code 0x{:04X}) set to {}{}\n", code & 0xFF, code, value,
               verify ? ", read back the same" : " (the device does not confirm writes)");
  }
  return kExitOk;
}

// The flash confirmation commands differ only in what they keep in flash and
// in the two library calls.
struct FlashCommand {
  const char *subject;  // "param" or "angle", as on the command line
  const char *what;     // what is saved or restored, for people
  int32_t(QX318_CALL *save)(PortHandle, int32_t);
  int32_t(QX318_CALL *restore)(PortHandle, int32_t);
};

int RunFlash(const Target &target, const OutputStyle &style, const FlashCommand &flash, bool save) {
  const std::string command = fmt::format("{} {}", flash.subject, save ? "save" : "restore");
  const auto session = Session::Open(command, target);
  if (!session) return kExitDevice;
  const int32_t ok = (save ? flash.save : flash.restore)(session->port(), target.address);
  if (ok != 1) {
    ReportLibraryFailure(command, target, "");
    return kExitDevice;
  }
  if (style.json) {
    PrintJson(Json{{"address", target.address}, {save ? "saved" : "restored", true}});
  } else {
    fmt::print("{} {} flash\n", flash.what, save ? "saved to" : "restored from");
  }
  return kExitOk;
}

int RunParamFlash(const Target &target, const OutputStyle &style, bool save) {
  static constexpr FlashCommand kParameters{"param", "parameters", QX318_FlushParamsToFlash,
                                            QX318_RestoreParamsFromFlash};
  return RunFlash(target, style, kParameters, save);
}

int RunMeasure(const Target &target, const OutputStyle &style) {
  const auto session = Session::Open("measure", target);
  if (!session) return kExitDevice;
  MeasureHeader header{};
  std::vector<uint16_t> values(kMaxValues);
  if (QX318_GetMeasureEx(session->port(), target.address, &header, values.data(), kMaxValues) !=
      1) {
    ReportLibraryFailure("measure", target, "");
    return kExitDevice;
  }
  const size_t pairs = header.pair_count;
  if (style.csv) {
    fmt::print("pair,first,second\n");
    for (size_t k = 0; k < pairs; ++k)
      fmt::print("{},{},{}\n", k, values[2 * k], values[2 * k + 1]);
  } else if (style.json) {
    Json list = Json::array();
    for (size_t k = 0; k < pairs; ++k)
      list.push_back(Json::array({values[2 * k], values[2 * k + 1]}));
    PrintJson(Json{{"address", target.address},
                   {"lead_byte", header.lead_byte},
                   {"pair_count", header.pair_count},
                   {"pairs", list}});
  } else {
    fmt::print("measurement: lead byte {}, {} pairs\n", header.lead_byte, pairs);
    for (size_t k = 0; k < pairs; ++k) {
      fmt::print("{:6} {:6} {:6}\n", k, values[2 * k], values[2 * k + 1]);
    }
  }
  return kExitOk;
}

int RunLock(const Target &target, const OutputStyle &style) {
  const auto session = Session::Open("lock", target);
  if (!session) return kExitDevice;
  if (QX318_LockResult(session->port(), target.address) != 1) {
    ReportLibraryFailure("lock", target, "");
    return kExitDevice;
  }
  if (style.json) {
    PrintJson(Json{{"address", target.address}, {"sent", true}});
  } else {
    fmt::print("lock-result sent (the device does not answer it)\n");
  }
  return kExitOk;
}

int RunImage(const Target &target, const OutputStyle &style, const std::string &output) {
  const ImageFormat format = output.empty() ? ImageFormat::kUnknown : FormatOf(output);
  const auto session = Session::Open("image", target);
  if (!session) return kExitDevice;
  PixelBuffer buffer;
  ProgressBar bar{"image"};
  ImageHeader header{};
  const int32_t ok = tools::FetchImage(
      session->port(), target.address, &header,
      [&buffer](uint32_t rows, uint32_t length) { return buffer.Allocate(rows, length); },
      style.progress
          ? tools::RowProgress([&bar](uint32_t done, uint32_t total) { bar.OnRow(done, total); })
          : tools::RowProgress());
  bar.Finish();
  if (ok != 1) {
    if (buffer.out_of_memory) {
      ReportFailure("image", target, "no memory for the pixel buffer");
    } else {
      ReportLibraryFailure("image", target, "");
    }
    return kExitDevice;
  }
  if (!output.empty()) {
    std::string error;
    if (!WriteImageFile(output, format, buffer.pixels.data(), header.row_count, header.row_length,
                        &error)) {
      ReportFailure("image", target, error);
      return kExitDevice;
    }
  }
  const size_t count = size_t{header.row_count} * header.row_length;
  const uint8_t *begin = buffer.pixels.data();
  const auto [low, high] = std::minmax_element(begin, begin + count);
  if (style.json) {
    Json doc{{"address", target.address},       {"row_count", header.row_count},
             {"row_length", header.row_length}, {"word3", header.word3},
             {"word4", header.word4},           {"min_pixel", count ? *low : 0},
             {"max_pixel", count ? *high : 0}};
    if (!output.empty()) doc["output"] = output;
    PrintJson(doc);
  } else {
    fmt::print("image: {} rows x {} pixels, word3 {}, word4 {}, pixels {}-{}{}\n", header.row_count,
               header.row_length, header.word3, header.word4, count ? *low : 0, count ? *high : 0,
               output.empty() ? std::string() : ", written to " + output);
  }
  return kExitOk;
}

namespace {

int RunAngleValue(const Target &target, const OutputStyle &style, bool rotate) {
  const std::string command = rotate ? "rotate" : "angle get";
  const auto session = Session::Open(command, target);
  if (!session) return kExitDevice;
  int32_t value = 0;
  const int32_t ok = rotate ? QX318_RotateAxisXY(session->port(), target.address, &value)
                            : QX318_GetRotateAngle(session->port(), target.address, &value);
  if (ok != 1) {
    ReportLibraryFailure(command, target, "");
    return kExitDevice;
  }
  if (style.json) {
    PrintJson(Json{{"address", target.address}, {"angle", value}});
  } else {
    fmt::print("{}angle {}\n", rotate ? "axis rotated: " : "", value);
  }
  return kExitOk;
}

}  // namespace

int RunRotate(const Target &target, const OutputStyle &style) {
  return RunAngleValue(target, style, true);
}

int RunAngleGet(const Target &target, const OutputStyle &style) {
  return RunAngleValue(target, style, false);
}

int RunAngleFlash(const Target &target, const OutputStyle &style, bool save) {
  static constexpr FlashCommand kAngle{"angle", "angle", QX318_FlushAngleToFlash,
                                       QX318_RestoreAngleFromFlash};
  return RunFlash(target, style, kAngle, save);
}

}  // namespace qx318::host
