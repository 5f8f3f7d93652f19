// The product's DHCP summary.
#pragma once

#include "kxsmon.h"

#include <cstdint>
#include <string_view>

namespace kx {

// Lines of the summary tool are read in pieces of at most this many bytes,
// NUL included; each piece counts as a line.
constexpr int kDhcpLineSize = 128;

// Reads one line of the summary tool ("name<TAB>count"); false for a line
// without a tab. `name` views the line's name without its blanks (empty when
// blank), `available` is the count read as atoi does, up to the next tab.
bool split_dhcp_line(const char *line, std::string_view &name, int32_t &available);

}  // namespace kx
