// Host-name and service-name resolution for the daemon clients.
#pragma once

#include <netinet/in.h>

namespace kx::platform {

// Resolves `name` (a dotted IPv4 address or a host name) to its first IPv4
// address through the host's name service. Safe to call from several threads
// at once. Returns false when the name does not resolve.
bool resolve_ipv4(const char *name, in_addr &address);

// The port (host byte order) of the service `name` for `protocol` ("tcp")
// in the host's services database, or 0 when it is not known. Safe to call
// from several threads at once.
int service_port(const char *name, const char *protocol);

}  // namespace kx::platform
