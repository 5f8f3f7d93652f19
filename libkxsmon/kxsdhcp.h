// The product's DHCP summary.
#pragma once

#include "kxsmon.h"

namespace kx {

// Lines of the summary tool are read in pieces of at most this many bytes,
// NUL included; each piece counts as a line.
constexpr int kDhcpLineSize = 128;

// Reads one line of the summary tool ("name<TAB>count"): a new entry, or
// NULL for a line without a tab. The name is stripped (NULL when blank), the
// count read as atoi does, up to the next tab.
KXSDHCPEntry *parse_dhcp_line(const char *line);

}  // namespace kx
