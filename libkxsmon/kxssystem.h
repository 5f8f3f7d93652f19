// System information: version and patches, system contact.
#pragma once

#include "kxsmon.h"

namespace kx {

constexpr const char *kContactPath = "/var/opt/ZARNkx/snmp/kxssyscontact.data";
constexpr const char *kDefaultContact = "System Admin";
// The lookup key of the product's patches.
constexpr const char *kPatchKey = "kestrel";

KXSVersion *getPackageInfo(const char *package);
// Picks VERSION and INSTDATE out of the package tool's "KEY: VALUE" lines,
// as read with fgets into a 128-byte buffer. Values are owned by the caller.
void parse_package_info(const char *output, char **version, char **installDate);
char *getPatches(const char *key);

void kxs_initSystemContact(KXSHandle *handle);
void kxs_freeContact(KXSHandle *handle);

}  // namespace kx
