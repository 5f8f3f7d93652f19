// The administration configuration and the directory connection.
#pragma once

#include <functional>

namespace kx {

constexpr const char *kAdminConfigFile = "/etc/opt/ZARNkx/kxadmin.conf";

// Calls `apply` with the key and value of every setting line of a
// configuration file, in file order: lines of up to 511 characters ("#" in the
// first column is a comment, lines without "=" are skipped), key and value
// stripped, lines with an empty key or value ignored. `apply` returns false
// to stop. Returns false when the file cannot be opened (errno tells why).
bool for_each_config_line(const char *path,
                          const std::function<bool(const char *key, const char *value)> &apply);

// The value of the first line of the administration configuration whose key
// is `key`, newly allocated; NULL for a NULL key, no such line or no file.
char *get_kxadmin_info(const char *key);

}  // namespace kx
