// Host-name resolution for the daemon clients.
#pragma once

#include <netinet/in.h>

namespace kx::platform {

// Resolves `name` (a dotted IPv4 address or a host name) to its first IPv4
// address through the host's name service. Safe to call from several threads
// at once. Returns false when the name does not resolve.
bool resolve_ipv4(const char *name, in_addr &address);

}  // namespace kx::platform
