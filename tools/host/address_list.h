// The devices a subcommand talks to in turn: `--address 1,3` or `1-4,7`,
// and the per-device file names that a list needs.
#pragma once

#include <string>
#include <vector>

namespace qx318::host {

// The addresses of text in its order: numbers 0 to largest, or ranges
// "FIRST-LAST" rising, separated by commas. Empty, with *problem set, when
// text is not such a list or names an address twice.
std::vector<int> ParseAddressList(const std::string &text, int largest, std::string *problem);

// "frame.png" for one device stays "frame.png"; with several each gets its
// own, the address before the extension: "frame-a3.png".
std::string PathForAddress(const std::string &path, int address, bool several);

}  // namespace qx318::host
