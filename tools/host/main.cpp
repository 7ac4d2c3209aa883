// qx318: talk to QX318 devices on an RS-485 bus from a shell, through the
// library, or to a simulated bus in this process (--simulate, demo).
#include <fmt/format.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>

#include "host/commands.h"
#include "host/demo.h"
#include "host/image_file.h"
#include "sim/in_process_bus.h"

namespace {

using namespace qx318::host;

struct Arguments {
  Target target;
  bool port_given = false;
  bool json = false;
  bool csv = false;
  bool simulate = false;
  bool no_progress = false;
  ScanRange scan;
  std::string code_text;
  std::string value_text;
  bool verify = false;
  std::string image_output;
};

// Runs the command the line chose, against target.
using Runner = std::function<int(const Target &, const OutputStyle &)>;

struct Chosen {
  std::string name;  // "param get"
  Runner run;
};

// Accepts "0x0205" or "517" (0-65535); the check happens while parsing so
// that a bad number is a usage error like any other.
CLI::Validator SixteenBitNumber() {
  return CLI::Validator(
      [](std::string &text) -> std::string {
        return ParseNumber(text) ? std::string()
                                 : "'" + text +
                                       "' is not a number from 0 to 65535 "
                                       "(decimal, or hex as 0x...)";
      },
      "0-65535|0x0-0xFFFF");
}

constexpr const char *kCommandList =
    ": scan, hello, param get|set|save|restore, measure, lock, image, rotate, angle "
    "get|save|restore, demo";

// " param get" for the subcommands the line named before it went wrong.
std::string ParsedCommand(const CLI::App &app) {
  std::string name;
  for (const CLI::App *sub = &app; sub != nullptr;) {
    const auto parsed = sub->get_subcommands();
    sub = parsed.empty() ? nullptr : parsed.front();
    if (sub != nullptr) name += " " + sub->get_name();
  }
  return name;
}

std::string OneLine(std::string text) {
  for (char &c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

void DefineGlobalOptions(CLI::App &app, Arguments &a) {
  app.add_option("-p,--port", a.target.port,
                 "Serial device path (/dev/ttyUSB0, a pseudo-terminal) or the converter's USB "
                 "product description");
  app.add_option("-b,--baud", a.target.baud, "Line rate")
      ->check(CLI::Range(1u, 4000000u))
      ->capture_default_str();
  app.add_option("-a,--address", a.target.address, "Bus address of the device (0-31)")
      ->check(CLI::Range(0, 31))
      ->capture_default_str();
  app.add_flag("--json", a.json, "Print the result as JSON");
  app.add_flag("--simulate", a.simulate,
               "Run against a simulated bus in this process (devices at address 1 and --address)");
  app.add_flag("--no-progress", a.no_progress, "No progress display, even on a terminal");
}

void DefineSubcommands(CLI::App &app, Arguments &a, Chosen &chosen) {
  auto choose = [&chosen](CLI::App *sub, std::string name, Runner run) {
    sub->callback([&chosen, name = std::move(name), run = std::move(run)] {
      chosen.name = name;
      chosen.run = run;
    });
  };

  CLI::App *scan =
      app.add_subcommand("scan", "Send hello to every address, list those that answer");
  scan->add_option("--first", a.scan.first, "First address")
      ->check(CLI::Range(0, 31))
      ->capture_default_str();
  scan->add_option("--last", a.scan.last, "Last address")
      ->check(CLI::Range(0, 31))
      ->capture_default_str();
  choose(scan, "scan",
         [&a](const Target &t, const OutputStyle &s) { return RunScan(t, s, a.scan); });

  choose(app.add_subcommand("hello", "Send hello, print the seven answer values"), "hello",
         RunHello);

  CLI::App *param = app.add_subcommand("param", "Read, write, save or restore parameters");
  param->require_subcommand(1);
  CLI::App *get = param->add_subcommand("get", "Read a parameter");
  get->add_option("CODE", a.code_text,
                  "Parameter code: high byte group count, low byte number "
                  "(0x0205 = parameter 5 in 2 groups)")
      ->required()
      ->check(SixteenBitNumber());
  choose(get, "param get", [&a](const Target &t, const OutputStyle &s) {
    return RunParamGet(t, s, static_cast<ParameterCode>(*ParseNumber(a.code_text)));
  });
  CLI::App *set = param->add_subcommand("set", "Write a parameter (the device does not answer)");
  set->add_option("CODE", a.code_text, "Parameter code")->required()->check(SixteenBitNumber());
  set->add_option("VALUE", a.value_text, "Value, 0-65535 within what the groups carry")
      ->required()
      ->check(SixteenBitNumber());
  set->add_flag("--verify", a.verify, "Read the parameter back and compare");
  choose(set, "param set", [&a](const Target &t, const OutputStyle &s) {
    return RunParamSet(t, s, static_cast<ParameterCode>(*ParseNumber(a.code_text)),
                       static_cast<uint16_t>(*ParseNumber(a.value_text)), a.verify);
  });
  choose(param->add_subcommand("save", "Save the parameters to flash"), "param save",
         [](const Target &t, const OutputStyle &s) { return RunParamFlash(t, s, true); });
  choose(param->add_subcommand("restore", "Restore the parameters from flash"), "param restore",
         [](const Target &t, const OutputStyle &s) { return RunParamFlash(t, s, false); });

  CLI::App *measure = app.add_subcommand("measure", "Fetch one measurement");
  measure->add_flag("--csv", a.csv, "Print the pairs as CSV");
  choose(measure, "measure", RunMeasure);

  choose(app.add_subcommand("lock", "Send the lock-result command"), "lock", RunLock);

  CLI::App *image = app.add_subcommand("image", "Fetch an image");
  image->add_option("-o,--output", a.image_output, "Write it to FILE.png or FILE.pgm");
  choose(image, "image",
         [&a](const Target &t, const OutputStyle &s) { return RunImage(t, s, a.image_output); });

  choose(app.add_subcommand("rotate", "Rotate the XY axes, print the angle"), "rotate", RunRotate);

  CLI::App *angle = app.add_subcommand("angle", "Read, save or restore the rotation angle");
  angle->require_subcommand(1);
  choose(angle->add_subcommand("get", "Read the angle"), "angle get", RunAngleGet);
  choose(angle->add_subcommand("save", "Save the angle to flash"), "angle save",
         [](const Target &t, const OutputStyle &s) { return RunAngleFlash(t, s, true); });
  choose(angle->add_subcommand("restore", "Restore the angle from flash"), "angle restore",
         [](const Target &t, const OutputStyle &s) { return RunAngleFlash(t, s, false); });

  choose(app.add_subcommand("demo", "Run every command against a simulated bus in this process"),
         "demo", nullptr);
}

// Usage errors that CLI11 cannot see: they depend on several arguments.
std::string CheckCombination(const Arguments &a, const Chosen &chosen) {
  if (chosen.name == "demo") return {};
  if (a.simulate && a.port_given) return "--simulate and --port exclude each other";
  if (!a.simulate && !a.port_given) {
    return "no port: give --port PATH|DESCRIPTION, or --simulate for a simulated bus";
  }
  if (a.csv && a.json) return "--csv and --json exclude each other";
  if (chosen.name == "scan" && a.scan.first > a.scan.last) return "--first is above --last";
  if (chosen.name == "param set") {
    const auto code = static_cast<ParameterCode>(*ParseNumber(a.code_text));
    const uint32_t value = *ParseNumber(a.value_text);
    if (value > LargestValueFor(code)) {
      return fmt::format("VALUE {} does not fit in code 0x{:04X}, {} groups of 7 bits (at most {})",
                         value, code, code >> 8, LargestValueFor(code));
    }
  }
  if (chosen.name == "image" && !a.image_output.empty() &&
      FormatOf(a.image_output) == ImageFormat::kUnknown) {
    return "--output must name a .png or .pgm file";
  }
  return {};
}

int RunSimulated(const Arguments &a, const Chosen &chosen, const OutputStyle &style) {
  qx318::sim::BusOptions options;
  options.devices.clear();
  for (const int address : std::set<int>{1, a.target.address}) {
    qx318::sim::DeviceConfig config;
    config.address = static_cast<uint8_t>(address);
    options.devices.push_back(config);
  }
  qx318::sim::InProcessBus bus(std::move(options));
  if (!bus.ok()) {
    fmt::print(stderr, "qx318 {}: cannot start the simulated bus: {}\n", chosen.name, bus.error());
    return kExitDevice;
  }
  Target target = a.target;
  target.port = bus.port_path();
  return chosen.run(target, style);
}

}  // namespace

int main(int argc, char **argv) {
  try {
    CLI::App app{
        "qx318: control and read QX318 devices on an RS-485 bus.\n"
        "Try 'qx318 demo', or 'qx318 --port /dev/ttyUSB0 scan'.",
        "qx318"};
    app.fallthrough();
    app.require_subcommand(1);
    Arguments arguments;
    Chosen chosen;
    DefineGlobalOptions(app, arguments);
    DefineSubcommands(app, arguments, chosen);
    try {
      app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
      return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
      return app.exit(e);
    } catch (const CLI::ParseError &e) {
      const std::string command = ParsedCommand(app);
      const bool no_command =
          command.empty() && std::string(e.what()).find("subcommand") != std::string::npos;
      fmt::print(stderr, "qx318{}: {}{} (see qx318 --help)\n", command, OneLine(e.what()),
                 no_command ? kCommandList : "");
      return kExitUsage;
    }
    arguments.port_given = app.count("--port") > 0;
    const std::string problem = CheckCombination(arguments, chosen);
    if (!problem.empty()) {
      fmt::print(stderr, "qx318 {}: {} (see qx318 --help)\n", chosen.name, problem);
      return kExitUsage;
    }
    const bool on_terminal = isatty(STDERR_FILENO) == 1 && !arguments.no_progress;
    if (chosen.name == "demo") return RunDemo(arguments.target.baud, on_terminal);
    const OutputStyle style{arguments.json, arguments.csv, on_terminal && !arguments.json};
    if (arguments.simulate) return RunSimulated(arguments, chosen, style);
    return chosen.run(arguments.target, style);
  } catch (const std::exception &e) {
    fmt::print(stderr, "qx318: unexpected failure: {}\n", OneLine(e.what()));
    return kExitDevice;
  }
}
