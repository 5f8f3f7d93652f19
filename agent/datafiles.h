// The agent's own data file (the unowned-terminal limit) and its reading of
// the library's monitored-terminal file, both under the product's snmp
// directory, next to the contact file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kxagent {

constexpr uint32_t kDefaultUnownedLimit = 60;
constexpr const char *kLimitFile = "kxsunownedlimit.data";
constexpr const char *kMonitoredFile = "kxsmonitoreddtus.data";

// ROOT/var/opt/ZARNkx/snmp/NAME
std::string data_path(const std::string &root, const char *name);

// The file's first `cap` bytes; empty when it is absent, a link, not a
// regular file, or unreadable. Never blocks on a FIFO.
std::string read_data_file(const std::string &path, size_t cap);

// The limit as stored: decimal digits, optionally ended by one line feed,
// at most 4294967295. Anything else is not a limit.
std::optional<uint32_t> parse_limit(std::string_view text);

// Replaces the file atomically (temporary file, flush, rename): a crash
// leaves the old limit or the new one. False when it cannot be stored.
bool store_limit(const std::string &path, uint32_t limit);

// The terminal IDs of the monitored file, one a line, at most 999.
std::vector<std::string> monitored_ids(std::string_view text);

}  // namespace kxagent
