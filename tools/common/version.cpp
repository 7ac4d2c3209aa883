#include "common/version.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>

// The build defines these from the project's one version (CMakeLists.txt)
// and from whether cairo was found (tools/CMakeLists.txt).
#ifndef QX318_VERSION
#error "QX318_VERSION must be defined by the build"
#endif
#ifndef QX318_PLOT_SUPPORT
#error "QX318_PLOT_SUPPORT must be defined by the build"
#endif

namespace qx318::tools {
namespace {

std::string PlotLine() {
  return fmt::format("profile plot (measure --plot): {}\n", QX318_PLOT_SUPPORT);
}

}  // namespace

std::string VersionText(Tool tool) {
  const bool host = tool == Tool::kHost;
  // The tools carry the library inside them (qx318_posix_library), so the
  // library is the release they were built with.
  return fmt::format("{} {}\nQX318_RS485 library {} (linked in)\n{}", host ? "qx318" : "qx318-sim",
                     QX318_VERSION, QX318_VERSION, host ? PlotLine() : std::string());
}

void AddVersionFlag(CLI::App &app, Tool tool) {
  std::string text = VersionText(tool);
  // CLI11 prints the text and adds a newline of its own.
  text.pop_back();
  app.set_version_flag("--version", text, "Print the tool's and the library's version and exit");
}

}  // namespace qx318::tools
