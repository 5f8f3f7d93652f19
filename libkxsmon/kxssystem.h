// System information: version and patches, system contact.
#pragma once

#include "kxsmon.h"

#include <cstdint>

namespace kx {

class Handle;

constexpr const char *kContactPath = "/var/opt/ZARNkx/snmp/kxssyscontact.data";
constexpr const char *kDefaultContact = "System Admin";
// The lookup key of the product's patches.
constexpr const char *kPatchKey = "kestrel";

KXSVersion *getPackageInfo(const char *package);
// Picks VERSION and INSTDATE out of the package tool's "KEY: VALUE" lines,
// as read with fgets into a 128-byte buffer. Values are owned by the caller.
void parse_package_info(const char *output, char **version, char **installDate);
char *getPatches(const char *key);

// Hundredths of a second from `start` to `now` (seconds since the epoch),
// never 0: the up time of something started then.
uint32_t up_time_since(uint32_t now, uint32_t start);
// The product's up time: the shortest among the session manager, the
// authentication manager and every critical service; 0 when any is down.
uint32_t up_time(Handle *handle);

// The authentication manager's figures, asked of this host anew on each
// call: its desktop units, and its users (a multihead group counts once,
// through its primary). 0 when they cannot be had.
int32_t desktop_count(const Handle *handle);
uint32_t user_count(const Handle *handle);

// The product's policy tool, run under the root.
constexpr const char *kPolicyTool = "/opt/ZARNkx/sbin/kxpolicy";
// The policy tool's output without its comment lines and final newline
// (malloc()ed), or NULL when the tool cannot be run.
char *get_local_policy();
// The policy: the tool's free text, or the options of the tool's own
// command line with their leading blank; NULL when it cannot be had.
char *policy_text();

void kxs_initSystemContact(Handle *handle);
void kxs_freeContact(Handle *handle);

}  // namespace kx
