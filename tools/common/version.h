// What `--version` of the project's tools prints: the tool's version, the
// library it runs (linked into the tool, so always the same release) and,
// for qx318, whether this build draws profile plots.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace qx318::tools {

enum class Tool { kHost, kSimulator };

// The lines `--version` prints for tool, each ending in a newline.
std::string VersionText(Tool tool);

// Gives app a --version flag that prints VersionText(tool). CLI11 reports it
// as CLI::CallForVersion from parse(), which app.exit() turns into the
// printed text and a success status.
void AddVersionFlag(CLI::App &app, Tool tool);

}  // namespace qx318::tools
