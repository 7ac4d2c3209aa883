// qx318: talk to QX318 devices on an RS-485 bus from a shell, through the
// library, or to a simulated bus in this process (--simulate, demo).
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <functional>

#include "common/version.h"
#include "host/address_list.h"
#include "host/commands.h"
#include "host/demo.h"
#include "host/measure_stream.h"
#include "host/run.h"
#include "tool_support.h"

namespace {

using namespace qx318::host;

constexpr int kLastAddress = qx318::kAddressMask;

struct Arguments {
  Target target;
  std::string address_text = "1";
  bool port_given = false;
  bool output_given = false;
  bool json = false;
  bool trace = false;
  bool csv = false;
  bool simulate = false;
  bool no_progress = false;
  ScanRange scan;
  std::string code_text;
  std::string value_text;
  bool verify = false;
  std::string image_output;
  MeasureStreamOptions stream;
};

// The subcommand the line chose: its usage check (the combinations CLI11
// cannot see) and its body, run by the skeleton in run.h.
struct Chosen {
  std::string name;                    // "param get"
  std::function<std::string()> check;  // a usage problem, or empty
  std::function<Body()> body;          // built once the line is parsed
  bool own_bus = false;                // demo: brings its own bus and takes no port
  bool address_list = false;           // polls several devices in turn (--address 1,3)
};

// The subcommands that poll every device of an address list in turn.
constexpr const char *kListCommands = "hello, measure and image";

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

// Accepts "3", "1,3" or "1-4,7" while parsing, so that a bad list is a
// usage error like any other.
CLI::Validator AddressList() {
  return CLI::Validator(
      [](std::string &text) -> std::string {
        std::string problem;
        return ParseAddressList(text, kLastAddress, &problem).empty() ? problem : std::string();
      },
      "0-31|LIST");
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

// "port P, address A: " when the line gave a port, so that a usage error
// names the bus and device it was meant for; the raw text, as typed.
std::string WhereFromLine(const CLI::App &app) {
  const CLI::Option *port = app.get_option("--port");
  if (port->count() == 0 || port->results().empty()) return {};
  const CLI::Option *address = app.get_option("--address");
  const std::string address_text =
      address->count() > 0 && !address->results().empty() ? address->results().back() : "1";
  return fmt::format("port {}, address {}: ", port->results().back(), address_text);
}

// 'frob', the words the parser could not place (an unknown subcommand).
std::string StrayWords(const CLI::App &app) {
  const std::vector<std::string> words = app.remaining();
  if (words.empty()) return {};
  return fmt::format("'{}'", fmt::join(words, " "));
}

void DefineGlobalOptions(CLI::App &app, Arguments &a) {
  app.add_option("-p,--port", a.target.port,
                 "Serial device path (/dev/ttyUSB0, a pseudo-terminal) or the converter's USB "
                 "product description");
  app.add_option("-b,--baud", a.target.baud, "Line rate")
      ->check(CLI::Range(1u, 4000000u))
      ->capture_default_str();
  app.add_option("-a,--address", a.address_text,
                 "Bus address of the device (0-31); hello, measure and image also take a list "
                 "polled in turn (1,3 or 1-4)")
      ->check(AddressList())
      ->capture_default_str();
  app.add_flag("--json", a.json, "Print the result as JSON");
  app.add_flag("--trace", a.trace, "Trace every frame on the port to stderr");
  app.add_flag("--simulate", a.simulate,
               "Run against a simulated bus in this process (devices at address 1 and --address)");
  app.add_flag("--no-progress", a.no_progress, "No progress display, even on a terminal");
}

void DefineMeasureStreamOptions(CLI::App *measure, MeasureStreamOptions &o) {
  measure
      ->add_option("--every", o.every_ms,
                   "Repeat the measurement every MS milliseconds (0: as fast as the bus "
                   "allows; with several addresses, the round of all) until --count, "
                   "--duration or Ctrl-C")
      ->check(CLI::Range(0u, 86400000u));
  measure->add_option("--count", o.count, "Stop after N measurements of each device");
  measure->add_option("--duration", o.duration_s, "Stop after S seconds");
  measure->add_flag("--stop-on-failure", o.stop_on_failure,
                    "End the stream at the first failed measurement");
  measure->add_option("--output", o.output,
                      "Write the records to FILE (.csv: CSV, .json or .jsonl: JSON lines); an "
                      "existing FILE is replaced when the stream ends");
  measure->add_flag("--append", o.append,
                    "Add the records to the end of --output FILE, flushed per measurement (the "
                    "header only into an empty file)");
  measure->add_option("--plot", o.plot,
                      "Draw the (latest) profile into FILE.png, replaced whole at each update");
}

// The demo brings its own bus and prints for a person; only --baud applies.
std::string DemoProblem(const Arguments &a) {
  if (a.port_given) return "demo runs on its own simulated bus; --port does not apply";
  if (a.json) return "demo prints for a person; --json does not apply";
  return {};
}

// Every subcommand on the line. Each checks what only it knows (the
// target's checks are common to all but demo, see TargetProblem).
void DefineSubcommands(CLI::App &app, Arguments &a, Chosen &chosen) {
  auto choose = [&chosen](CLI::App *sub, std::string name, std::function<std::string()> check,
                          std::function<Body()> body, bool address_list = false) {
    sub->callback([&chosen, name = std::move(name), check = std::move(check),
                   body = std::move(body), address_list] {
      chosen = Chosen{name, check, body, false, address_list};
    });
  };
  const auto no_check = [] { return std::string(); };

  CLI::App *scan =
      app.add_subcommand("scan", "Send hello to every address, list those that answer");
  scan->add_option("--first", a.scan.first, "First address")
      ->check(CLI::Range(0, kLastAddress))
      ->capture_default_str();
  scan->add_option("--last", a.scan.last, "Last address")
      ->check(CLI::Range(0, kLastAddress))
      ->capture_default_str();
  choose(
      scan, "scan", [&a] { return ScanRangeProblem(a.scan); }, [&a] { return Scan(a.scan); });

  choose(app.add_subcommand("hello", "Send hello, print the seven answer values"), "hello",
         no_check, Hello, true);

  CLI::App *param = app.add_subcommand("param", "Read, write, save or restore parameters");
  param->require_subcommand(1);
  CLI::App *get = param->add_subcommand("get", "Read a parameter");
  get->add_option("CODE", a.code_text,
                  "Parameter code: high byte group count, low byte number "
                  "(0x0205 = parameter 5 in 2 groups)")
      ->required()
      ->check(SixteenBitNumber());
  choose(
      get, "param get", [&a] { return ParameterCodeProblem(a.code_text); },
      [&a] { return ParamGet(static_cast<ParameterCode>(*ParseNumber(a.code_text))); });
  CLI::App *set = param->add_subcommand("set", "Write a parameter (the device does not answer)");
  set->add_option("CODE", a.code_text, "Parameter code")->required()->check(SixteenBitNumber());
  set->add_option("VALUE", a.value_text, "Value, 0-65535 within what the groups carry")
      ->required()
      ->check(SixteenBitNumber());
  set->add_flag("--verify", a.verify, "Read the parameter back and compare");
  choose(
      set, "param set", [&a] { return ParameterValueProblem(a.code_text, a.value_text); },
      [&a] {
        return ParamSet(static_cast<ParameterCode>(*ParseNumber(a.code_text)),
                        static_cast<uint16_t>(*ParseNumber(a.value_text)), a.verify);
      });
  choose(param->add_subcommand("save", "Save the parameters to flash"), "param save", no_check,
         [] { return ParamFlash(true); });
  choose(param->add_subcommand("restore", "Restore the parameters from flash"), "param restore",
         no_check, [] { return ParamFlash(false); });

  CLI::App *measure = app.add_subcommand("measure", "Fetch one measurement, or a stream of them");
  measure->add_flag("--csv", a.csv, "Print the pairs as CSV");
  DefineMeasureStreamOptions(measure, a.stream);
  choose(
      measure, "measure",
      [&a] {
        return MeasureProblem(a.stream, OutputStyle{a.json, a.csv, false});
      },
      [&a] { return Measure(a.stream); }, true);

  choose(app.add_subcommand("lock", "Send the lock-result command"), "lock", no_check, Lock);

  CLI::App *image = app.add_subcommand("image", "Fetch an image");
  image->add_option("-o,--output", a.image_output, "Write it to FILE.png or FILE.pgm")
      ->each([&a](const std::string &) { a.output_given = true; });
  choose(
      image, "image", [&a] { return ImageOutputProblem(a.output_given, a.image_output); },
      [&a] { return Image(a.image_output); }, true);

  choose(app.add_subcommand("rotate", "Rotate the XY axes, print the angle"), "rotate", no_check,
         Rotate);

  CLI::App *angle = app.add_subcommand("angle", "Read, save or restore the rotation angle");
  angle->require_subcommand(1);
  choose(angle->add_subcommand("get", "Read the angle"), "angle get", no_check, AngleGet);
  choose(angle->add_subcommand("save", "Save the angle to flash"), "angle save", no_check,
         [] { return AngleFlash(true); });
  choose(angle->add_subcommand("restore", "Restore the angle from flash"), "angle restore",
         no_check, [] { return AngleFlash(false); });

  app.add_subcommand("demo", "Run every command against a simulated bus in this process")
      ->callback([&chosen, &a] {
        chosen = Chosen{"demo", [&a] { return DemoProblem(a); }, {}, true};
      });
}

// The usage errors of the bus every subcommand but demo runs on.
std::string TargetProblem(const Arguments &a) {
  if (a.simulate && a.port_given) return "--simulate and --port exclude each other";
  if (!a.simulate && !a.port_given) {
    return "no port: give --port PATH|DESCRIPTION, or --simulate for a simulated bus";
  }
  if (a.port_given && a.target.port.empty()) return "--port is empty";
  return {};
}

std::string AddressListProblem(const Arguments &a, const Chosen &chosen) {
  if (chosen.address_list || a.target.addresses.size() <= 1) return {};
  return fmt::format(
      "{} talks to one device: --address takes one address here (a list applies "
      "to {})",
      chosen.name, kListCommands);
}

std::string CheckCombination(const Arguments &a, const Chosen &chosen) {
  const std::string target = chosen.own_bus ? std::string() : TargetProblem(a);
  if (!target.empty()) return target;
  const std::string list = chosen.own_bus ? std::string() : AddressListProblem(a, chosen);
  return list.empty() ? chosen.check() : list;
}

int RunChosen(const Arguments &a, const Chosen &chosen) {
  const bool on_terminal = isatty(STDERR_FILENO) == 1 && !a.no_progress;
  if (chosen.own_bus) return OutputWritten(chosen.name, RunDemo(a.target.baud, on_terminal));
  const OutputStyle style{a.json, a.csv, on_terminal && !a.json};
  return RunSubcommand(chosen.name, Bus{a.simulate, a.trace}, a.target, style, chosen.body());
}

}  // namespace

int main(int argc, char **argv) {
  // A closed output pipe shows up as a failed write, reported, not as a
  // silent death by SIGPIPE.
  (void)std::signal(SIGPIPE, SIG_IGN);
  try {
    CLI::App app{
        "qx318: control and read QX318 devices on an RS-485 bus.\n"
        "Try 'qx318 demo', or 'qx318 --port /dev/ttyUSB0 scan'.",
        "qx318"};
    app.fallthrough();
    app.require_subcommand(1);
    qx318::tools::AddVersionFlag(app, qx318::tools::Tool::kHost);
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
    } catch (const CLI::CallForVersion &e) {
      return app.exit(e);
    } catch (const CLI::ParseError &e) {
      const std::string command = ParsedCommand(app);
      const bool no_command =
          command.empty() && std::string(e.what()).find("subcommand") != std::string::npos;
      const std::string stray = StrayWords(app);
      const std::string what = no_command && !stray.empty()
                                   ? "unknown command " + stray + "; commands" + kCommandList
                                   : OneLine(e.what()) + (no_command ? kCommandList : "");
      std::fprintf(
          stderr, "%s\n",
          fmt::format("qx318{}: {}{} (see qx318 --help)", command, WhereFromLine(app), what)
              .c_str());
      return kExitUsage;
    }
    arguments.port_given = app.count("--port") > 0;
    std::string unused;
    arguments.target.addresses = ParseAddressList(arguments.address_text, kLastAddress, &unused);
    arguments.target.address = arguments.target.addresses.front();
    const std::string problem = CheckCombination(arguments, chosen);
    if (!problem.empty()) {
      std::fprintf(
          stderr, "%s\n",
          fmt::format("qx318 {}: {}{} (see qx318 --help)", chosen.name, WhereFromLine(app), problem)
              .c_str());
      return kExitUsage;
    }
    return RunChosen(arguments, chosen);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "qx318: unexpected failure: %s\n", OneLine(e.what()).c_str());
    return kExitDevice;
  }
}
