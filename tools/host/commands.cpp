#include "host/commands.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <new>
#include <vector>

#include "common/output_file.h"
#include "host/address_list.h"
#include "host/image_file.h"
#include "host/transfer_guard.h"
#include "tool_support.h"

namespace qx318::host {
namespace {

constexpr int kProgressWidth = 30;

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

// Clears the progress line of a scan, when there is one.
void ClearScanProgress(const OutputStyle &style) {
  if (style.progress) fmt::print(stderr, "\r\033[K");
}

int ScanAll(const Call &call, ScanRange range) {
  const OutputStyle &style = call.style();
  Json devices = Json::array();
  Json failures = Json::array();
  for (int address = range.first; address <= range.last; ++address) {
    if (style.progress) {
      // A silent address costs the whole time-out: say which one is waited on.
      fmt::print(stderr, "\rscanning address {:2} of {}-{}", address, range.first, range.last);
      std::fflush(stderr);
    }
    HelloAnswer answer{};
    if (QX318_HelloCmd(call.port(), address, &answer) != 1) {
      // Anything but silence means something answered there: a CRC error
      // or a wrong length is worth knowing about.
      const int32_t code = QX318_GetLastFailure();
      if (code == QX318_FAIL_NO_ANSWER) continue;
      ClearScanProgress(style);
      fmt::print(stderr, "qx318 scan: port {}, address {}: {}\n", call.target().port, address,
                 LastFailureText());
      Json failure{{"address", address}};
      failure.update(FailureJson(code, QX318_GetLastFailureDetail()));
      failures.push_back(std::move(failure));
      continue;
    }
    devices.push_back(Json{{"address", address}, {"hello", HelloJson(answer)}});
    ClearScanProgress(style);
    if (!style.json) fmt::print("address {:2}: {}\n", address, HelloText(answer));
    std::fflush(stdout);
  }
  ClearScanProgress(style);
  if (style.json) {
    PrintJson(Json{{"port", call.target().port}, {"devices", devices}, {"failures", failures}});
  }
  if (devices.empty()) {
    fmt::print(stderr, "qx318 scan: port {}: no device answered at addresses {}-{}\n",
               call.target().port, range.first, range.last);
    return kExitDevice;
  }
  return kExitOk;
}

// The flash confirmation commands differ only in what they keep in flash and
// in the two library calls.
struct FlashCommand {
  const char *what;  // what is saved or restored, for people
  int32_t(QX318_CALL *save)(PortHandle, int32_t);
  int32_t(QX318_CALL *restore)(PortHandle, int32_t);
};

Body Flash(const FlashCommand &flash, bool save) {
  return [flash, save](const Call &call) {
    if ((save ? flash.save : flash.restore)(call.port(), call.address()) != 1) {
      return call.LibraryFailed();
    }
    return call.Print(FlashConfirmed(call.address(), flash.what, save));
  };
}

Body AngleValue(bool rotate) {
  return [rotate](const Call &call) {
    int32_t value = 0;
    const int32_t ok = rotate ? QX318_RotateAxisXY(call.port(), call.address(), &value)
                              : QX318_GetRotateAngle(call.port(), call.address(), &value);
    if (ok != 1) return call.LibraryFailed();
    return call.Print(AngleResult(call.address(), value, rotate));
  };
}

// The file of the call's device: with several devices each has its own.
std::string ImagePathFor(const Call &call, const std::string &output) {
  return output.empty() ? output : PathForAddress(output, call.address(), call.several_addresses());
}

// Nothing is written before the pixels are whole; an interrupted transfer
// is read to its end (so that the bus is free) and dropped.
int FetchImage(const Call &call, const std::string &output) {
  const ImageFormat format = output.empty() ? ImageFormat::kUnknown : FormatOf(output);
  PixelBuffer buffer;
  ProgressBar bar{"image"};
  ImageSummary image;
  TransferGuard guard(call);
  const bool progress = call.style().progress;
  const int32_t ok = tools::FetchImage(
      call.port(), call.address(), &image.header,
      [&buffer, &guard](uint32_t rows, uint32_t length) {
        guard.OnSize(rows, length);
        return buffer.Allocate(rows, length);
      },
      [&bar, &guard, progress](uint32_t done, uint32_t total) {
        guard.OnRows(done);
        if (progress && !guard.interrupted()) bar.OnRow(done, total);
      });
  // After a stop the bar stopped where the guard's message began.
  if (guard.interrupted()) {
    return call.Interrupted(ok == 1
                                ? "the transfer was read to its end and not kept; the bus is free"
                                : "the transfer ended early: " + LastFailureText());
  }
  bar.Finish();
  if (ok != 1) {
    return buffer.out_of_memory ? call.Failed("no memory for the pixel buffer")
                                : call.LibraryFailed();
  }
  const ImageHeader &h = image.header;
  if (!output.empty()) {
    std::string error;
    if (!WriteImageFile(output, format, buffer.pixels.data(), h.row_count, h.row_length, &error)) {
      return call.Failed(error);
    }
  }
  const size_t count = size_t{h.row_count} * h.row_length;
  if (count != 0) {
    const uint8_t *begin = buffer.pixels.data();
    const auto [low, high] = std::minmax_element(begin, begin + count);
    image.min_pixel = *low;
    image.max_pixel = *high;
  }
  image.output = output;
  Rendered result = ImageResult(call.address(), image);
  if (call.several_addresses())
    result.text = fmt::format("address {}: {}", call.address(), result.text);
  return call.Print(result);
}

// Every device's file, checked before the first transfer, which may take
// many seconds at a low rate.
int CheckImageFiles(const Call &call, const std::string &output) {
  if (output.empty()) return kExitOk;
  for (const int address : call.target().addresses) {
    const std::string path = PathForAddress(output, address, call.several_addresses());
    if (const std::string problem = tools::OutputFileProblem(path); !problem.empty()) {
      return call.Failed(problem);
    }
  }
  return kExitOk;
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

uint32_t LargestValueFor(ParameterCode code) {
  const uint32_t groups = code >> 8;
  return groups >= kMostGroups ? UINT16_MAX : (1u << (kBitsPerGroup * groups)) - 1;
}

std::string ScanRangeProblem(ScanRange range) {
  return range.first > range.last ? "--first is above --last" : "";
}

std::string ParameterCodeProblem(const std::string &code_text) {
  const auto code = static_cast<ParameterCode>(*ParseNumber(code_text));
  const uint32_t number = code & 0xFF;
  if (number > kLargestParameterNumber) {
    return fmt::format("parameter number {} does not fit in a 7-bit data byte (0-{})", number,
                       kLargestParameterNumber);
  }
  // A group count outside 1-3 would send a request for a value the device
  // cannot hold, or none at all.
  const uint32_t groups = code >> 8;
  if (groups < kFewestGroups || groups > kMostGroups) {
    return fmt::format(
        "group count {} of code 0x{:04X} is outside {}-{} (a 16-bit value travels in {} to {} "
        "groups of 7 bits)",
        groups, code, kFewestGroups, kMostGroups, kFewestGroups, kMostGroups);
  }
  return {};
}

std::string ParameterValueProblem(const std::string &code_text, const std::string &value_text) {
  const std::string number = ParameterCodeProblem(code_text);
  if (!number.empty()) return number;
  const auto code = static_cast<ParameterCode>(*ParseNumber(code_text));
  const uint32_t value = *ParseNumber(value_text);
  if (value <= LargestValueFor(code)) return {};
  return fmt::format("VALUE {} does not fit in code 0x{:04X}, {} of 7 bits (at most {})", value,
                     code, GroupCount(code), LargestValueFor(code));
}

std::string ImageOutputProblem(bool output_given, const std::string &output) {
  if (output_given && output.empty()) return "--output is empty";
  if (!output.empty() && FormatOf(output) == ImageFormat::kUnknown) {
    return "--output must name a .png or .pgm file";
  }
  return {};
}

Body Scan(ScanRange range) {
  return [range](const Call &call) { return ScanAll(call, range); };
}

Body Hello() {
  return ForEachAddress([](const Call &call) {
    HelloAnswer answer{};
    if (QX318_HelloCmd(call.port(), call.address(), &answer) != 1) return call.LibraryFailed();
    return call.Print(HelloResult(call.address(), answer));
  });
}

namespace {

// A parameter answers in the group count of its last write, so an answer
// of another length most often means the code's group count is not the
// one the device holds: name the code that would match.
std::string GroupCountHint(ParameterCode code) {
  if (QX318_GetLastFailure() != QX318_FAIL_WRONG_LENGTH) return {};
  unsigned answered = 0;
  if (std::sscanf(QX318_GetLastFailureDetail(), "answer of %u data bytes", &answered) != 1) {
    return {};
  }
  if (answered < kFewestGroups || answered > kMostGroups || answered == (code >> 8u)) return {};
  const auto matching = static_cast<ParameterCode>(answered << 8u | (code & 0xFFu));
  return fmt::format("the device answered {} group{}: code 0x{:04X}?", answered,
                     answered == 1 ? "" : "s", matching);
}

}  // namespace

Body ParamGet(ParameterCode code) {
  return [code](const Call &call) {
    uint16_t value = 0;
    if (QX318_ReadParameter(call.port(), call.address(), code, &value) != 1) {
      return call.LibraryFailed(fmt::format("code 0x{:04X}", code), GroupCountHint(code));
    }
    return call.Print(ParameterRead(call.address(), code, value));
  };
}

Body ParamSet(ParameterCode code, uint16_t value, bool verify) {
  return [code, value, verify](const Call &call) {
    if (QX318_WriteParameter(call.port(), call.address(), code, value) != 1) {
      return call.LibraryFailed();
    }
    if (verify) {
      uint16_t read_back = 0;
      if (QX318_ReadParameter(call.port(), call.address(), code, &read_back) != 1) {
        return call.LibraryFailed(fmt::format("reading back code 0x{:04X}", code));
      }
      if (read_back != value) {
        return call.Failed(
            fmt::format("code 0x{:04X} reads back {} after writing {}", code, read_back, value));
      }
    }
    return call.Print(ParameterWritten(call.address(), code, value, verify));
  };
}

Body ParamFlash(bool save) {
  return Flash({"parameters", QX318_FlushParamsToFlash, QX318_RestoreParamsFromFlash}, save);
}

Body Lock() {
  return [](const Call &call) {
    if (QX318_LockResult(call.port(), call.address()) != 1) return call.LibraryFailed();
    return call.Print(LockSent(call.address()));
  };
}

Body Image(std::string output) {
  const Body each = ForEachAddress(
      [output](const Call &call) { return FetchImage(call, ImagePathFor(call, output)); });
  return [output = std::move(output), each](const Call &call) {
    const int files = CheckImageFiles(call, output);
    return files != kExitOk ? files : each(call);
  };
}

Body Rotate() { return AngleValue(true); }

Body AngleGet() { return AngleValue(false); }

Body AngleFlash(bool save) {
  return Flash({"angle", QX318_FlushAngleToFlash, QX318_RestoreAngleFromFlash}, save);
}

}  // namespace qx318::host
