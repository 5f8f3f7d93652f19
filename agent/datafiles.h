// The agent's own data file (the unowned-terminal limit), stored as the
// library stores its own under the product's snmp directory, and the stored
// figures that a library handle keeps in memory (the contact and the
// monitored table).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kxsmon.h"

namespace kxagent {

constexpr uint32_t kDefaultUnownedLimit = 60;

// The limit as stored: decimal digits, optionally ended by one line feed,
// at most 4294967295. Anything else is not a limit.
std::optional<uint32_t> parse_limit(std::string_view text);

// The stored limit under the product root set with kxs_setRoot; the default
// when there is none, or (with a diagnostic) when the file holds no limit or
// is refused as the library refuses a product file.
uint32_t read_limit();

// Replaces the file as the library replaces its data files: only in a
// trusted directory, never through a link, atomically. False when it
// cannot be stored (the old file is untouched).
bool store_limit(uint32_t limit);

// The monitored table that `handle` holds, in table order.
std::vector<std::string> monitored_table(const KXSHandle *handle);

// Reads the handle's monitored table again from its file, so that the
// changes made through another handle reach this one.
void reload_monitored(KXSHandle *handle);

}  // namespace kxagent
